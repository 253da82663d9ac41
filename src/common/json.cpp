#include "json.h"

#include "text.h"

#include <array>
#include <cmath>

namespace orvendal {

std::string jsonString(std::u16string_view text) {
    static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                  '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    std::u16string plain;
    std::string out = "\"";
    const auto flush = [&] {
        out += toUtf8(plain);
        plain.clear();
    };
    for (const char16_t c : text) {
        const char* shortForm = c == u'"'    ? "\\\""
                                : c == u'\\' ? "\\\\"
                                : c == u'\n' ? "\\n"
                                : c == u'\r' ? "\\r"
                                : c == u'\t' ? "\\t"
                                             : nullptr;
        if (shortForm) {
            flush();
            out += shortForm;
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            flush();
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            plain += c;
        }
    }
    flush();
    return out + "\"";
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    put(jsonString(fromUtf8(name)));
    put(": ");
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::u16string_view text) {
    return value_(jsonString(text));
}

JsonWriter& JsonWriter::string(std::string_view utf8) {
    return value_(jsonString(fromUtf8(utf8)));
}

JsonWriter& JsonWriter::fixed(double value, int decimals) {
    return std::isfinite(value) ? value_(fixedDecimals(value, decimals)) : null();
}

JsonWriter& JsonWriter::open(char bracket) {
    separate();
    put(std::string_view(&bracket, 1));
    empty_ = true;
    return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
    put(std::string_view(&bracket, 1));
    empty_ = false;
    return *this;
}

JsonWriter& JsonWriter::value_(std::string_view text) {
    separate();
    put(text);
    empty_ = false;
    return *this;
}

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
    } else if (!empty_) {
        put(", ");
    }
}

void JsonWriter::put(std::string_view text) {
    if (string_) {
        string_->append(text);
    } else {
        stream_->write(text.data(), static_cast<std::streamsize>(text.size()));
    }
}

} // namespace orvendal
