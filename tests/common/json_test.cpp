#include "json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>

namespace orvendal {
namespace {

// The writer places every comma and space itself, so a member after a nested object or array,
// or an empty one, is where a misplaced comma would show; texts are escaped wherever they go,
// keys included.
TEST(JsonWriter, PlacesCommasAndEscapesAsTheOutputsPrint) {
    const struct {
        std::function<void(JsonWriter&)> write;
        std::string json;
    } cases[] = {
        {[](JsonWriter& j) { j.beginObject().endObject(); }, "{}"},
        {[](JsonWriter& j) { j.beginArray().written("[1, 2]").number(3).endArray(); },
         "[[1, 2], 3]"},
        {[](JsonWriter& j) { j.beginArray().null().boolean(false).number(-7).endArray(); },
         "[null, false, -7]"},
        {[](JsonWriter& j) {
             j.beginObject().key("a").beginArray().endArray().key("b").number(1U).endObject();
         },
         R"({"a": [], "b": 1})"},
        {[](JsonWriter& j) {
             j.beginArray().beginObject().key("x").beginObject().endObject().endObject();
             j.beginArray().number(std::uint8_t{200}).endArray().endArray();
         },
         R"([{"x": {}}, [200]])"},
        {[](JsonWriter& j) { j.beginObject().key("q\"\n").string(u"a\\b\u0001\u009b\u00e9"); },
         R"({"q\"\n": "a\\b\u0001\u009bé")"},
        {[](JsonWriter& j) { j.beginArray().string(std::string_view("\xff\t")).endArray(); },
         "[\"\uFFFD\\t\"]"},
        {[](JsonWriter& j) {
             j.beginArray().fixed(2.5, 3).fixed(-0.0005, 3).fixed(1e6 / 3, 3);
             j.fixed(NAN, 3).fixed(-INFINITY, 3).endArray();
         },
         "[2.500, -0.001, 333333.333, null, null]"},
    };
    for (const auto& c : cases) {
        std::string text;
        JsonWriter toString(text);
        c.write(toString);
        EXPECT_EQ(text, c.json);
        std::ostringstream stream;
        JsonWriter toStream(stream);
        c.write(toStream);
        EXPECT_EQ(stream.str(), c.json);
    }
}

} // namespace
} // namespace orvendal
