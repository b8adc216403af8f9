#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/Json.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;

// Parses a heap copy of exactly text.size() bytes with no terminating NUL, so a sanitizer build
// reports any read past the end of the text.
JsonParseResult Parse(std::string_view text) {
    const std::unique_ptr<char[]> copy(new char[text.size()]);
    std::memcpy(copy.get(), text.data(), text.size());
    return ParseJson(std::string_view(copy.get(), text.size()));
}

bool IsEmptyNull(const JsonValue& v) {
    return v.kind == JsonKind::Null && !v.boolValue && v.numberValue == 0.0 &&
           v.stringValue.empty() && v.arrayValue.empty() && v.objectValue.empty();
}

JsonValue ParseOk(std::string_view text) {
    JsonParseResult result = Parse(text);
    EXPECT_TRUE(result.ok && result.error.empty()) << text << ": " << result.error;
    return std::move(result.value);
}

std::string Nested(int depth, const std::string& inner = "") {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonParseTest, FailuresReportOneWholeMessageAndNullValue) {
    std::string mixed;  // objects and arrays alternating, at the deepest level allowed
    for (int i = 0; i < kMaxJsonNestingDepth; ++i) {
        mixed += i % 2 == 0 ? "{\"k\":" : "[";
    }
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"Unexpected end of input", {"", " \t\r\n", "\xEF\xBB\xBF \n", "[1,  ", "{\"a\":"}},
        {"Unexpected token",
         {" \xEF\xBB\xBF{}", "\xEF\xBB\xBF\xEF\xBB\xBF{}", "\v1", "}", ",", ".5", "+1", "'a'",
          "NULL", "[1,]"}},
        {"Unterminated object", {"{", "{\"a\":1", "{\"a\":1,"}},
        {"Expected string key", {"{\"a\":1,  ", "{\"a\":1,}", "{a:1}"}},
        {"Expected ':' after key", {"{\"a\" 1}", "{\"a\""}},
        {"Expected ',' or '}'", {"{\"a\":1 \"b\":2}", "{\"a\":nullx}"}},
        {"Unterminated array", {"[", "[1", "[1,"}},
        {"Expected ',' or ']'", {"[1 2]", "[1}", "[trueX]"}},
        {"Invalid escape sequence", {"\"abc\\"}},
        {"Invalid unicode escape", {"\"\\u12", "\"\\u004", "\"\\u12G4\""}},
        {"Invalid escape character", {"\"\\x\"", "\"\\U0041\"", "{\"a\":1,\"a\":\"\\q\"}"}},
        {"Unterminated string", {"\"abc", "\"", "\"\\\"", "{\"a"}},
        {"Invalid number", {"-", "--1", "-.", "-e5", "1e", "1e+", "1E-]"}},
        {"Invalid boolean", {"tru", "trUe", "fals", "{\"a\":[1,{\"b\":tru}],\"c\":2}"}},
        {"Invalid null", {"nul", "nil"}},
        {"Nesting too deep",
         {Nested(kMaxJsonNestingDepth + 1), mixed + "[]", mixed + "{}", std::string(300000, '[')}}};
    for (const auto& [error, texts] : cases) {
        for (const std::string& text : texts) {
            const JsonParseResult result = Parse(text);
            EXPECT_EQ(result.error, error) << text.substr(0, 40);
            EXPECT_TRUE(!result.ok && IsEmptyNull(result.value)) << text.substr(0, 40);
        }
    }
    // Trailing characters keep the value read before them.
    for (const std::string& text : {"true false"s, "[1] x"s, "1.2.3"s, "1\0"s, "{}\xEF\xBB\xBF"s}) {
        const JsonParseResult result = Parse(text);
        EXPECT_EQ(result.error, "Unexpected trailing characters") << text;
        EXPECT_NE(result.value.kind, JsonKind::Null) << text;
    }
    EXPECT_EQ(Parse("1.2.3").value.numberValue, 1.2);
}

TEST(JsonParseTest, NumbersMatchTheCLibraryConversion) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, double> cases[] = {
        {"007", 7.0},
        {"1.", 1.0},
        {"-.5", -0.5},
        {"1.e2", 100.0},
        {"1E+2", 100.0},
        {"25e-1", 2.5},
        {"0.1", 0.1},
        {"-12.75", -12.75},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
        {"4.9e-324", std::numeric_limits<double>::denorm_min()},
        {"1e999", kInf},
        {"-1e999", -kInf},
        {"1e99999999999999999999999999", kInf},
        {"0.00000000000000000000000001e999", kInf},
        {"-0000000000000000000001e999", -kInf},
        {std::string(400, '0') + "1e-330", 0.0},
        {"0." + std::string(700, '0') + "1e300", 0.0},
        {"1000000000000000000000000000000e-999", 0.0},
        {"1e-99999999999999999999999999", 0.0}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(ParseOk(text).numberValue, value) << text.substr(0, 40);
    }
    EXPECT_TRUE(std::signbit(ParseOk("-0").numberValue));
    EXPECT_TRUE(std::signbit(ParseOk("-1e-400").numberValue));
}

TEST(JsonParseTest, StringsValuesAndOrder) {
    const std::pair<std::string, std::string> strings[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u004a\u004A")", "AJJ"},
        {R"("\u007F\u0080\u00e9")", "\x7F??"},
        {R"("a\u0000b")", "a\0b"s},
        {R"("\ud83d\ude00")", "??"},
        // Raw control bytes, a raw NUL and bytes >= 0x80 (UTF-8 stays UTF-8) pass unchanged.
        {"\"a\tb\nc\x01\"", "a\tb\nc\x01"},
        {"\"x\0y\""s, "x\0y"s},
        {"\xEF\xBB\xBF\"\xC3\xA9\xEF\xBB\xBF\"", "\xC3\xA9\xEF\xBB\xBF"}};
    for (const auto& [text, value] : strings) {
        EXPECT_EQ(ParseOk(text).stringValue, value) << text;
    }
    // Arrays keep document order; object members iterate in byte order, the first duplicate wins.
    const JsonValue v = ParseOk(
        " [ 3 ,\t\"x\" ,\r\n[ ], { \t}, {\"k\":null}, true, false, "
        "{\"b\":1,\"a\":2,\"B\":3,\"\":5,\"\xC3\xA9\":7,\"a\":{}} ] \r\n");
    ASSERT_EQ(v.arrayValue.size(), 8u);
    std::string shape;
    for (const JsonValue& e : v.arrayValue) {
        shape += std::to_string(static_cast<int>(e.kind)) + std::to_string(e.boolValue) + ' ';
    }
    EXPECT_EQ(shape, "20 30 40 50 50 11 10 50 ");
    std::string keys;
    for (const auto& [key, member] : v.arrayValue[7].objectValue) {
        keys += key + "=" + std::to_string(static_cast<int>(member.numberValue)) + " ";
    }
    EXPECT_EQ(keys, "=5 B=3 a=2 b=1 \xC3\xA9=7 ");

    // Containers down to the limit, and siblings there: leaving one gives its level back.
    const std::string inner = Nested(kMaxJsonNestingDepth - 1);
    ParseOk("[" + inner + "," + inner + "]");
}

TEST(JsonMemberTest, LookUpsStoreTheMemberOrLeaveOutUntouched) {
    const JsonValue v = ParseOk(R"({"a":7.9,"b":-0.5,"c":2147483648,"d":1e999,"e":-2147483648.9,
        "f":-1e999,"g":-2147483647,"s":"7","t":true,"z":null,"o":{"x":1},"arr":[]})");
    const std::pair<const char*, std::int32_t> ints[] = {
        {"a", 7},         {"b", 0},         {"c", INT32_MAX},  {"d", INT32_MAX},
        {"e", INT32_MIN}, {"f", INT32_MIN}, {"g", -2147483647}};
    for (const auto& [key, value] : ints) {
        std::int32_t out = 12345;
        EXPECT_TRUE(GetIntMember(v, key, out) && out == value) << key << " " << out;
    }
    std::int32_t i = -1;
    std::string s = "untouched";
    const JsonValue* o = nullptr;
    for (const char* key : {"s", "t", "z", "o", "arr", "A", "missing"}) {
        EXPECT_FALSE(GetIntMember(v, key, i)) << key;
    }
    for (const char* key : {"a", "t", "o", "S"}) {
        EXPECT_FALSE(GetStringMember(v, key, s)) << key;
    }
    for (const char* key : {"a", "arr", "z", "O"}) {
        EXPECT_FALSE(GetObjectMember(v, key, o)) << key;
    }
    EXPECT_FALSE(GetIntMember(ParseOk(R"([{"a":7}])"), "a", i));
    EXPECT_EQ(std::to_string(i) + s, "-1untouched");
    EXPECT_EQ(o, nullptr);
    EXPECT_TRUE(GetStringMember(v, "s", s) && GetObjectMember(v, "o", o));
    EXPECT_EQ(s, "7");
    EXPECT_EQ(o, &v.objectValue.at("o"));

    JsonValue nan;
    nan.kind = JsonKind::Object;
    nan.objectValue["n"].kind = JsonKind::Number;
    nan.objectValue["n"].numberValue = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(GetIntMember(nan, "n", i) && i == 0);
}

TEST(JsonValueTest, MovingLeavesTheSourceAnEmptyNull) {
    JsonValue source = ParseOk(R"({"k":true})");
    source.stringValue = std::string(100, 's');  // beyond any small-string buffer
    JsonValue constructed(std::move(source));
    EXPECT_TRUE(IsEmptyNull(source));
    JsonValue assigned = ParseOk(R"({"old":[1,2]})");
    assigned = std::move(constructed);
    EXPECT_TRUE(IsEmptyNull(constructed));
    EXPECT_EQ(assigned.objectValue.count("k") + assigned.stringValue.size(), 101u);
    // Assigning a value its own child.
    JsonValue v = ParseOk(R"([{"a":[1,2,3]},4])");
    v = std::move(v.arrayValue[0]);
    v = std::move(v.objectValue.at("a"));
    ASSERT_EQ(v.arrayValue.size(), 3u);
    EXPECT_EQ(v.arrayValue[2].numberValue, 3.0);
}

}  // namespace
}  // namespace tarnwick
