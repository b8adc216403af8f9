#include <cmath>
#include <cstddef>
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
    if (!text.empty()) {
        std::memcpy(copy.get(), text.data(), text.size());
    }
    return ParseJson(std::string_view(copy.get(), text.size()));
}

bool IsEmptyNull(const JsonValue& v) {
    return v.kind == JsonKind::Null && !v.boolValue && v.numberValue == 0.0 &&
           v.stringValue.empty() && v.arrayValue.empty() && v.objectValue.empty();
}

JsonValue ParseOk(std::string_view text) {
    JsonParseResult result = Parse(text);
    EXPECT_TRUE(result.ok) << "text: " << text << " error: " << result.error;
    EXPECT_TRUE(result.error.empty());
    return std::move(result.value);
}

struct ErrorCase {
    std::string text;
    const char* error;
};

TEST(JsonParseTest, FailuresReportOneWholeMessageAndNullValue) {
    const std::vector<ErrorCase> cases = {
        {"", "Unexpected end of input"},
        {" \t\r\n", "Unexpected end of input"},
        {"\xEF\xBB\xBF", "Unexpected end of input"},
        {"\xEF\xBB\xBF \n", "Unexpected end of input"},
        {"[1,  ", "Unexpected end of input"},
        {"{\"a\":", "Unexpected end of input"},
        {" \xEF\xBB\xBF{}", "Unexpected token"},
        {"\xEF\xBB\xBF\xEF\xBB\xBF{}", "Unexpected token"},
        {"\v1", "Unexpected token"},
        {"}", "Unexpected token"},
        {"]", "Unexpected token"},
        {",", "Unexpected token"},
        {":", "Unexpected token"},
        {".5", "Unexpected token"},
        {"+1", "Unexpected token"},
        {"'a'", "Unexpected token"},
        {"NULL", "Unexpected token"},
        {"[1,]", "Unexpected token"},
        {"{", "Unterminated object"},
        {"{ \t", "Unterminated object"},
        {"{\"a\":1", "Unterminated object"},
        {"{\"a\":1,", "Unterminated object"},
        {"{\"a\":1,  ", "Expected string key"},
        {"{\"a\":1,}", "Expected string key"},
        {"{a:1}", "Expected string key"},
        {"{\"a\" 1}", "Expected ':' after key"},
        {"{\"a\"", "Expected ':' after key"},
        {"{\"a\":1 \"b\":2}", "Expected ',' or '}'"},
        {"{\"a\":1]", "Expected ',' or '}'"},
        {"{\"a\":nullx}", "Expected ',' or '}'"},
        {"[", "Unterminated array"},
        {"[1", "Unterminated array"},
        {"[1,", "Unterminated array"},
        {"[1 2]", "Expected ',' or ']'"},
        {"[1}", "Expected ',' or ']'"},
        {"[trueX]", "Expected ',' or ']'"},
        {"\"abc\\", "Invalid escape sequence"},
        {"\"\\u12", "Invalid unicode escape"},
        {"\"\\u004", "Invalid unicode escape"},
        {"\"\\u12\"", "Invalid unicode escape"},
        {"\"\\u12G4\"", "Invalid unicode escape"},
        {"\"\\x\"", "Invalid escape character"},
        {"\"\\U0041\"", "Invalid escape character"},
        {"\"abc", "Unterminated string"},
        {"\"", "Unterminated string"},
        {"\"\\\"", "Unterminated string"},
        {"{\"a", "Unterminated string"},
        {"-", "Invalid number"},
        {"--1", "Invalid number"},
        {"-a", "Invalid number"},
        {"-.", "Invalid number"},
        {"-e5", "Invalid number"},
        {"1e", "Invalid number"},
        {"1e+", "Invalid number"},
        {"1E-]", "Invalid number"},
        {"tru", "Invalid boolean"},
        {"trUe", "Invalid boolean"},
        {"fals", "Invalid boolean"},
        {"nul", "Invalid null"},
        {"nil", "Invalid null"},
        // The first error deep inside ends the whole parse and discards what was built.
        {"{\"a\":[1,{\"b\":tru}],\"c\":2}", "Invalid boolean"},
        {"{\"a\":1,\"a\":\"\\q\"}", "Invalid escape character"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE("text: " + c.text);
        const JsonParseResult result = Parse(c.text);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, c.error);
        EXPECT_TRUE(IsEmptyNull(result.value));
    }
}

TEST(JsonParseTest, TrailingCharactersKeepTheValueReadBeforeThem) {
    const std::vector<std::string> texts = {"true false", "trueX",          "[1] x",     "1.2.3",
                                            "1\0"s,       "{}\xEF\xBB\xBF", "\"a\"\"b\""};
    for (const std::string& text : texts) {
        SCOPED_TRACE("text: " + text);
        const JsonParseResult result = Parse(text);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "Unexpected trailing characters");
        EXPECT_NE(result.value.kind, JsonKind::Null);
    }
    EXPECT_EQ(Parse("[1] x").value.arrayValue.at(0).numberValue, 1.0);
    EXPECT_EQ(Parse("1.2.3").value.numberValue, 1.2);
}

TEST(JsonParseTest, NumbersMatchTheCLibraryConversion) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const struct {
        std::string text;
        double value;
    } cases[] = {
        {"0", 0.0},
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
        {"1e-400", 0.0},
        {"1000000000000000000000000000000e-999", 0.0},
        {"1e-99999999999999999999999999", 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const JsonValue v = ParseOk(c.text);
        EXPECT_EQ(v.kind, JsonKind::Number);
        EXPECT_EQ(v.numberValue, c.value);
    }
    EXPECT_TRUE(std::signbit(ParseOk("-0").numberValue));
    EXPECT_TRUE(std::signbit(ParseOk("-1e-400").numberValue));
    EXPECT_FALSE(std::signbit(ParseOk("1e-400").numberValue));
}

TEST(JsonParseTest, StringEscapesYieldOneByteEach) {
    const struct {
        std::string text;
        std::string value;
    } cases[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u004a\u004A")", "AJJ"},
        {R"("\u007F\u0080\u00e9")", "\x7F??"},
        {R"("a\u0000b")", "a\0b"s},
        {R"("\ud83d\ude00")", "??"},
        // Raw control bytes, a raw NUL and bytes >= 0x80 (UTF-8 stays UTF-8) pass unchanged.
        {"\"a\tb\nc\x01\"", "a\tb\nc\x01"},
        {"\"x\0y\""s, "x\0y"s},
        {"\"\xC3\xA9\xEF\xBB\xBF\"", "\xC3\xA9\xEF\xBB\xBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const JsonValue v = ParseOk(c.text);
        EXPECT_EQ(v.kind, JsonKind::String);
        EXPECT_EQ(v.stringValue, c.value);
    }
}

TEST(JsonParseTest, ReadsOnlyTheGivenLength) {
    const struct {
        std::string_view text;
        const char* error;
    } cases[] = {
        {std::string_view("truex", 3), "Invalid boolean"},
        {std::string_view("falsex", 4), "Invalid boolean"},
        {std::string_view("null", 3), "Invalid null"},
        {std::string_view("\"ab\"", 3), "Unterminated string"},
        {std::string_view("\"\\u0041\"", 6), "Invalid unicode escape"},
        {std::string_view("\"\\n\"", 2), "Invalid escape sequence"},
        {std::string_view("1e5", 2), "Invalid number"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.text).error, c.error) << c.text;
    }
    EXPECT_EQ(ParseOk(std::string_view("12345", 2)).numberValue, 12.0);
}

TEST(JsonParseTest, ObjectsIterateInByteOrderAndFirstDuplicateWins) {
    const JsonValue v = ParseOk(R"({"b":1,"a":2,"B":3,"ab":4,"":5,"z":6,")"
                                "\xC3\xA9"
                                R"(":7,"a":{"x":"ignored"}})");
    std::vector<std::string> keys;
    for (const auto& [key, member] : v.objectValue) {
        keys.push_back(key);
    }
    const std::vector<std::string> expected = {"", "B", "a", "ab", "b", "z", "\xC3\xA9"};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(v.objectValue.at("a").kind, JsonKind::Number);
    EXPECT_EQ(v.objectValue.at("a").numberValue, 2.0);
}

TEST(JsonParseTest, ArraysKeepDocumentOrder) {
    const JsonValue v = ParseOk(" [ 3 ,\t\"x\" ,\r\n[ ], { \t}, {\"k\":null}, true, false ] \r\n");
    ASSERT_EQ(v.kind, JsonKind::Array);
    ASSERT_EQ(v.arrayValue.size(), 7u);
    EXPECT_EQ(v.arrayValue[0].numberValue, 3.0);
    EXPECT_EQ(v.arrayValue[1].stringValue, "x");
    EXPECT_TRUE(v.arrayValue[2].IsArray() && v.arrayValue[2].arrayValue.empty());
    EXPECT_TRUE(v.arrayValue[3].IsObject() && v.arrayValue[3].objectValue.empty());
    EXPECT_EQ(v.arrayValue[4].objectValue.at("k").kind, JsonKind::Null);
    EXPECT_TRUE(v.arrayValue[5].kind == JsonKind::Bool && v.arrayValue[5].boolValue);
    EXPECT_TRUE(v.arrayValue[6].kind == JsonKind::Bool && !v.arrayValue[6].boolValue);
    EXPECT_TRUE(ParseOk("\xEF\xBB\xBF{}").IsObject());
}

std::string Nested(int depth, const std::string& inner = "") {
    return std::string(static_cast<std::size_t>(depth), '[') + inner +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(JsonParseTest, NestingDepthIsLimited) {
    const JsonValue deepest = ParseOk(Nested(kMaxJsonNestingDepth));
    int depth = 0;
    for (const JsonValue* p = &deepest; p->kind == JsonKind::Array; p = &p->arrayValue[0]) {
        ++depth;
        if (p->arrayValue.empty()) {
            break;
        }
    }
    EXPECT_EQ(depth, kMaxJsonNestingDepth);

    // Siblings at the limit: leaving a container must give its level back.
    const std::string inner = Nested(kMaxJsonNestingDepth - 1);
    ParseOk("[" + inner + "," + inner + "," + inner + "]");

    std::string mixed;
    for (int i = 0; i < kMaxJsonNestingDepth; ++i) {
        mixed += i % 2 == 0 ? "{\"k\":" : "[";
    }
    const std::vector<std::string> tooDeep = {Nested(kMaxJsonNestingDepth + 1), mixed + "[]",
                                              mixed + "{}", std::string(300000, '['),
                                              std::string(300000, '[') + std::string(300000, ']')};
    for (const std::string& text : tooDeep) {
        const JsonParseResult result = Parse(text);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "Nesting too deep");
        EXPECT_TRUE(IsEmptyNull(result.value));
    }
}

TEST(JsonMemberTest, GetIntMemberTruncatesAndSaturates) {
    const JsonValue v = ParseOk(R"({"a":7.9,"b":-7.9,"c":-0.5,"d":2147483647.9,"e":2147483648,
        "f":1e300,"g":1e999,"h":-2147483648.9,"i":-2147483649,"j":-1e999,"k":-2147483647})");
    const struct {
        const char* key;
        std::int32_t value;
    } cases[] = {
        {"a", 7},         {"b", -7},        {"c", 0},           {"d", INT32_MAX},
        {"e", INT32_MAX}, {"f", INT32_MAX}, {"g", INT32_MAX},   {"h", INT32_MIN},
        {"i", INT32_MIN}, {"j", INT32_MIN}, {"k", -2147483647},
    };
    for (const auto& c : cases) {
        std::int32_t out = 12345;
        EXPECT_TRUE(GetIntMember(v, c.key, out)) << c.key;
        EXPECT_EQ(out, c.value) << c.key;
    }

    JsonValue withNan;
    withNan.kind = JsonKind::Object;
    withNan.objectValue["n"].kind = JsonKind::Number;
    withNan.objectValue["n"].numberValue = std::numeric_limits<double>::quiet_NaN();
    std::int32_t out = 12345;
    EXPECT_TRUE(GetIntMember(withNan, "n", out));
    EXPECT_EQ(out, 0);
}

TEST(JsonMemberTest, LookUpsFailWithoutTouchingOut) {
    const JsonValue v = ParseOk(R"({"s":"7","n":7,"t":true,"z":null,"o":{},"a":[]})");
    const JsonValue array = ParseOk(R"([{"n":7}])");
    std::int32_t i = -1;
    std::string s = "untouched";
    const JsonValue* o = &array;
    for (const char* key : {"s", "t", "z", "o", "a", "N", "missing"}) {
        EXPECT_FALSE(GetIntMember(v, key, i)) << key;
    }
    for (const char* key : {"n", "t", "o", "S"}) {
        EXPECT_FALSE(GetStringMember(v, key, s)) << key;
    }
    for (const char* key : {"n", "a", "z", "O"}) {
        EXPECT_FALSE(GetObjectMember(v, key, o)) << key;
    }
    EXPECT_FALSE(GetIntMember(array, "n", i));
    EXPECT_FALSE(GetStringMember(ParseOk("\"s\""), "s", s));
    EXPECT_FALSE(GetObjectMember(JsonValue(), "o", o));
    EXPECT_EQ(i, -1);
    EXPECT_EQ(s, "untouched");
    EXPECT_EQ(o, &array);
}

TEST(JsonMemberTest, LookUpsStoreTheMember) {
    const JsonValue v = ParseOk(R"({"hid":{"name":"g1000","rate":20},"x":"\u0041"})");
    const JsonValue* hid = nullptr;
    ASSERT_TRUE(GetObjectMember(v, "hid", hid));
    EXPECT_EQ(hid, &v.objectValue.at("hid"));
    std::string name;
    std::int32_t rate = 0;
    EXPECT_TRUE(GetStringMember(*hid, "name", name));
    EXPECT_TRUE(GetIntMember(*hid, "rate", rate));
    EXPECT_EQ(name, "g1000");
    EXPECT_EQ(rate, 20);
}

JsonValue EverySlotSet() {
    JsonValue v;
    v.kind = JsonKind::Number;
    v.boolValue = true;
    v.numberValue = 3.5;
    v.stringValue = std::string(100, 's');  // beyond any small-string buffer
    v.arrayValue.resize(3);
    v.objectValue["k"].kind = JsonKind::Bool;
    return v;
}

TEST(JsonValueTest, MovingLeavesTheSourceAnEmptyNull) {
    JsonValue source = EverySlotSet();
    JsonValue constructed(std::move(source));
    EXPECT_TRUE(IsEmptyNull(source));
    EXPECT_EQ(constructed.numberValue, 3.5);
    EXPECT_EQ(constructed.stringValue.size(), 100u);
    EXPECT_EQ(constructed.arrayValue.size(), 3u);
    EXPECT_TRUE(constructed.boolValue);

    JsonValue assigned = ParseOk(R"({"old":[1,2]})");
    assigned = std::move(constructed);
    EXPECT_TRUE(IsEmptyNull(constructed));
    EXPECT_EQ(assigned.kind, JsonKind::Number);
    EXPECT_EQ(assigned.objectValue.count("old"), 0u);
    EXPECT_EQ(assigned.objectValue.count("k"), 1u);

    JsonValue& alias = assigned;
    assigned = std::move(alias);
    EXPECT_EQ(assigned.numberValue, 3.5);
}

TEST(JsonValueTest, MoveAssignFromOwnChild) {
    JsonValue v = ParseOk(R"([{"a":[1,2,3]},4])");
    v = std::move(v.arrayValue[0]);
    ASSERT_EQ(v.kind, JsonKind::Object);
    v = std::move(v.objectValue.at("a"));
    ASSERT_EQ(v.arrayValue.size(), 3u);
    EXPECT_EQ(v.arrayValue[2].numberValue, 3.0);
}

}  // namespace
}  // namespace tarnwick
