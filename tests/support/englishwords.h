#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace orvendal::testing {

// Words of the English texts the programs used to print, none of them Spanish. The programs' own
// messages must contain none of them; the system's own texts (strerror, drivers) are not ours and
// the cases that check this avoid them.
inline constexpr std::string_view kEnglishWords[] = {
    "usage",     "cannot", "invalid", "unknown",  "missing", "failed",   "the",      "option",
    "expected",  "try",    "must",    "requires", "command", "sessions", "stations", "disconnected",
    "connected", "given",  "between", "not",      "should",  "while",    "with",     "without",
};

// The first English word of `text`, matched as a whole word whatever its case; empty if none.
inline std::string firstEnglishWord(std::string_view text) {
    std::string word;
    const auto flush = [&word]() -> std::string {
        std::string lower = word;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        word.clear();
        const bool english = std::find(std::begin(kEnglishWords), std::end(kEnglishWords), lower) !=
                             std::end(kEnglishWords);
        return english ? lower : std::string();
    };
    for (const char c : text) {
        // Bytes of UTF-8 sequences count as letters, so "conexión" stays one word.
        if (std::isalpha(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80) {
            word += c;
        } else if (!word.empty()) {
            if (std::string found = flush(); !found.empty())
                return found;
        }
    }
    return word.empty() ? std::string() : flush();
}

} // namespace orvendal::testing
