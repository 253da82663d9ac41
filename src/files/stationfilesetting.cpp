#include "stationfilesetting.h"

#include "error.h"
#include "smburl.h"
#include "text.h"

#include <algorithm>
#include <cerrno>

namespace orvendal::files {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// One line of a settings file: its text without its end ("\n", or "\r\n" as Windows editors
// leave it), and the whole of it as the file holds it.
struct Line {
    std::string_view text;
    std::string_view whole;
};

// Calls `each` with every line of `text`, a byte order mark at its start left out.
template <typename Each> void forEachLine(std::string_view text, Each each) {
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    while (!text.empty()) {
        const auto newline = text.find('\n');
        Line line{text.substr(0, newline),
                  text.substr(0, newline == text.npos ? text.size() : newline + 1)};
        text.remove_prefix(line.whole.size());
        if (line.text.ends_with('\r')) {
            line.text.remove_suffix(1);
        }
        each(line);
    }
}

// The key of a setting line; nothing for a blank line or a comment.
std::optional<std::string_view> keyOf(std::string_view line) {
    const std::string_view content = trimmedBlanks(line);
    if (content.empty() || content.front() == '#') {
        return std::nullopt;
    }
    return trimmedBlanks(content.substr(0, content.find('=')));
}

} // namespace

void requireStationFileValue(std::string_view stationFile) {
    if (isSmbPath(stationFile)) {
        parseSmbPath(stationFile);
    } else if (!stationFile.starts_with('/')) {
        throw Error(errnoCode(EINVAL),
                    "el fichero de estaciones ha de ser una ruta absoluta o una URL "
                    "smb://, no \"" +
                        std::string(stationFile) + "\"");
    }
}

std::optional<std::string> parseStationFileSetting(std::string_view text, const std::string& path) {
    std::optional<std::string> value;
    int number = 0;
    forEachLine(text, [&](const Line& line) {
        ++number;
        const auto bad = [&](const std::string& why) {
            return Error(errnoCode(EINVAL), "el fichero de configuración " + path + ", línea " +
                                                std::to_string(number) + ": " + why);
        };
        const auto key = keyOf(line.text);
        if (!key) {
            return;
        }
        if (std::any_of(line.text.begin(), line.text.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return (byte < 0x20 && c != '\t') || byte == 0x7F;
            })) {
            throw bad("lleva caracteres de control");
        }
        const auto equals = line.text.find('=');
        if (equals == std::string_view::npos) {
            throw bad("no tiene la forma clave=valor");
        }
        if (*key != kStationFileKey) {
            return;
        }
        if (value) {
            throw bad(std::string(kStationFileKey) + "= aparece por segunda vez");
        }
        const std::string_view setting = trimmedBlanks(line.text.substr(equals + 1));
        if (setting.empty()) {
            throw bad(std::string(kStationFileKey) + "= está vacío");
        }
        try {
            requireStationFileValue(setting);
        } catch (const Error& e) {
            throw bad(e.description());
        }
        value = setting;
    });
    return value;
}

std::string withStationFileSetting(std::string_view text, std::string_view stationFile) {
    const std::string setting = std::string(kStationFileKey) + "=" + std::string(stationFile);
    std::string result(text.starts_with(kByteOrderMark) ? kByteOrderMark : "");
    bool written = false;
    forEachLine(text, [&](const Line& line) {
        if (keyOf(line.text) == kStationFileKey) {
            if (!written) {
                result += setting + "\n";
                written = true;
            }
            return;
        }
        result += line.whole;
    });
    if (!written) {
        if (!result.empty() && result.back() != '\n' && result != kByteOrderMark) {
            result += '\n';
        }
        result += setting + "\n";
    }
    return result;
}

} // namespace orvendal::files
