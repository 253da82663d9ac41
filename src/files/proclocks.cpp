#include "proclocks.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace orvendal::files {
namespace {

std::string_view nextWord(std::string_view& line) {
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const auto end = std::min(line.find(' '), line.size());
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
}

template <typename T> bool parse(std::string_view text, T& value, int base = 10) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// "fe:00:10953455": the device's major and minor in hexadecimal, the inode in decimal.
bool sameFile(std::string_view word, unsigned major, unsigned minor, std::uint64_t inode) {
    const auto first = word.find(':');
    const auto second = word.find(':', first == std::string_view::npos ? 0 : first + 1);
    unsigned ma = 0;
    unsigned mi = 0;
    std::uint64_t in = 0;
    return second != std::string_view::npos && parse(word.substr(0, first), ma, 16) &&
           parse(word.substr(first + 1, second - first - 1), mi, 16) &&
           parse(word.substr(second + 1), in) && ma == major && mi == minor && in == inode;
}

} // namespace

bool LockTableLines::add(std::string_view lines) {
    while (!lines.empty()) {
        const auto newline = std::min(lines.find('\n'), lines.size());
        std::string_view line = lines.substr(0, newline);
        lines.remove_prefix(std::min(newline + 1, lines.size()));
        if (line.empty()) {
            continue;
        }
        // "ID: KIND ADVISORY MODE PID MAJOR:MINOR:INODE START END", END inclusive or EOF.
        nextWord(line);
        const std::string_view kind = nextWord(line);
        if (kind != "POSIX" && kind != "OFDLCK") {
            ++otherLines_;
            continue;
        }
        nextWord(line);
        nextWord(line);
        nextWord(line);
        if (!sameFile(nextWord(line), major_, minor_, inode_)) {
            ++otherLines_;
            continue;
        }
        std::uint64_t start = 0;
        std::uint64_t last = 0;
        const bool started = parse(nextWord(line), start);
        const std::string_view end = nextWord(line);
        if (started && end == "EOF") {
            locks_.push_back({start, std::numeric_limits<std::uint64_t>::max()});
        } else if (started && parse(end, last) && last >= start) {
            locks_.push_back({start, last + 1});
        } else {
            return false;
        }
    }
    return true;
}

} // namespace orvendal::files
