// Fuzzes the CSV writer: every field reads back, as RFC 4180 reads it, to the text it was given,
// a text that a spreadsheet would take for a formula with a ' before it.
#include "escape.h"
#include "fuzzcheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace orvendal;

using testing::fuzzCheck;

// One field as a CSV reader takes it: a quoted one with its quotes doubled inside, or a bare one
// without a comma, a quote or a line end.
std::string readField(std::string_view field) {
    if (field.empty() || field.front() != '"') {
        fuzzCheck(field.find_first_of(",\"\r\n") == std::string_view::npos,
                  "a bare field holds a comma, a quote or a line end");
        return std::string(field);
    }
    fuzzCheck(field.size() >= 2 && field.back() == '"', "a quoted field is not closed");
    std::string text;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        if (field[i] == '"') {
            fuzzCheck(i + 2 < field.size() && field[i + 1] == '"', "a lone quote inside a field");
            ++i;
        }
        text += field[i];
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzzCheck(readField(csvField(text)) == text, "a field of ours read back changed");
    const bool formula =
        !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
    fuzzCheck(readField(csvTextField(text)) == (formula ? "'" + text : text),
              "a text field read back is not the text, with a ' before a formula");
    return 0;
}
