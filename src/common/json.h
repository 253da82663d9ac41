#pragma once

#include <concepts>
#include <ostream>
#include <string>
#include <string_view>

namespace orvendal {

// `text` as a JSON string literal, quotes included: the characters JSON forbids raw (quote,
// backslash, U+0000 to U+001F) escaped, and DEL and the C1 controls too so that a line of JSON
// never carries a control character a terminal or a log would act on.
std::string jsonString(std::u16string_view text);

// JSON on one line, as every machine-read output of the program prints it:
// {"a": 1, "b": [2, null]}. It places the commas and the spaces; the caller opens and closes
// objects and arrays in their order, and gives a key before each member's value. Writes to a
// string, or straight to a stream so that a long list needs no copy in memory.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : string_(&out) {}
    explicit JsonWriter(std::ostream& out) : stream_(&out) {}

    JsonWriter& beginObject() { return open('{'); }
    JsonWriter& endObject() { return close('}'); }
    JsonWriter& beginArray() { return open('['); }
    JsonWriter& endArray() { return close(']'); }
    JsonWriter& key(std::string_view name);

    JsonWriter& string(std::u16string_view text);
    // UTF-8 text; malformed bytes are written as U+FFFD.
    JsonWriter& string(std::string_view utf8);
    template <std::integral T>
    requires(!std::same_as<T, bool>) JsonWriter& number(T value) {
        return value_(std::to_string(value));
    }
    // `value` with `decimals` digits after the point, as printf's "%.3f" in the C locale; null
    // for a NaN or an infinity, which JSON cannot hold.
    JsonWriter& fixed(double value, int decimals);
    JsonWriter& boolean(bool value) { return value_(value ? "true" : "false"); }
    JsonWriter& null() { return value_("null"); }
    // A value another JsonWriter wrote whole: a piece kept to be written again in many lines.
    JsonWriter& written(std::string_view json) { return value_(json); }

private:
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);
    JsonWriter& value_(std::string_view text);
    // ", " before every element of an object or array but its first.
    void separate();
    void put(std::string_view text);

    std::string* string_ = nullptr;
    std::ostream* stream_ = nullptr;
    // Whether the innermost object or array holds nothing yet. Closing one leaves its parent
    // with at least one element, so no stack is needed.
    bool empty_ = true;
    bool afterKey_ = false;
};

} // namespace orvendal
