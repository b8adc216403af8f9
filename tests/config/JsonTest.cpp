#include <cstring>
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

TEST(JsonParseTest, FailuresReportOneWholeMessageAndNullValue) {
    std::string mixed;  // objects and arrays alternating, at the deepest level allowed
    for (int i = 0; i < kMaxJsonNestingDepth; ++i) {
        mixed += i % 2 == 0 ? "{\"k\":" : "[";
    }
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"Unexpected end of input", {"\xEF\xBB\xBF \n"}},
        {"Unexpected token", {" \xEF\xBB\xBF{}", "\v1", "[1,]"}},
        {"Unterminated object", {"{\"a\":1,"}},
        {"Expected string key", {"{\"a\":1,}"}},
        {"Expected ':' after key", {"{\"a\" 1}"}},
        {"Expected ',' or '}'", {"{\"a\":nullx}"}},
        {"Unterminated array", {"[1,"}},
        {"Expected ',' or ']'", {"[1}"}},
        {"Invalid escape sequence", {"\"abc\\"}},
        {"Invalid unicode escape", {"\"\\u004", "\"\\u12G4\""}},
        {"Invalid escape character", {"\"\\U0041\""}},
        {"Unterminated string", {"\"\\\"", "{\"a"}},
        {"Invalid number", {"-.", "1e+", "1E-]"}},
        {"Invalid boolean", {"trUe"}},
        {"Invalid null", {"nil"}},
        {"Nesting too deep", {mixed + "[]", mixed + "{}", std::string(300000, '[')}},
        // Only these keep the value read before the trailing characters.
        {"Unexpected trailing characters", {"1.2.3", "1\0"s, "{}\xEF\xBB\xBF"}}};
    for (const auto& [error, texts] : cases) {
        for (const std::string& text : texts) {
            const JsonParseResult result = Parse(text);
            EXPECT_EQ(result.error, error) << text.substr(0, 40);
            EXPECT_TRUE(!result.ok && IsEmptyNull(result.value) ==
                                          (result.error != "Unexpected trailing characters"))
                << text.substr(0, 40);
        }
    }
    // Containers down to the limit, and siblings there: leaving one gives its level back.
    const std::string inner(kMaxJsonNestingDepth - 1, '[');
    ParseOk("[" + inner + std::string(inner.size(), ']') + "," + inner +
            std::string(inner.size(), ']') + "]");
}

TEST(JsonParseTest, StringsValuesOrderAndMoves) {
    const std::pair<std::string, std::string> strings[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u004a\u007F\u0080\u0000")", "AJ\x7F?\0"s},
        {R"("\ud83d\ude00")", "??"},
        // Raw control bytes, a raw NUL and bytes >= 0x80 (UTF-8 stays UTF-8) pass unchanged.
        {"\xEF\xBB\xBF\"\t\x01\0\xC3\xA9\xEF\xBB\xBF\""s, "\t\x01\0\xC3\xA9\xEF\xBB\xBF"s}};
    for (const auto& [text, value] : strings) {
        EXPECT_EQ(ParseOk(text).stringValue, value) << text;
    }
    // Arrays keep document order; object members iterate in byte order, the first duplicate wins.
    JsonValue v = ParseOk(
        " [ 3 ,\t\"x\" ,\r\n[ ], { \t}, null, true, false, "
        "{\"b\":1,\"a\":2,\"B\":3,\"\":5,\"\xC3\xA9\":7,\"a\":{}} ] \r\n");
    std::string shape;
    for (const JsonValue& e : v.arrayValue) {
        shape += std::to_string(static_cast<int>(e.kind)) + std::to_string(e.boolValue) + ' ';
    }
    EXPECT_EQ(shape, "20 30 40 50 00 11 10 50 ");
    std::string keys;
    for (const auto& [key, member] : v.arrayValue[7].objectValue) {
        keys += key + "=" + std::to_string(static_cast<int>(member.numberValue)) + " ";
    }
    EXPECT_EQ(keys, "=5 B=3 a=2 b=1 \xC3\xA9=7 ");
    // A move empties its source, also when a value takes its own child.
    JsonValue moved(std::move(v.arrayValue[1]));
    EXPECT_TRUE(IsEmptyNull(v.arrayValue[1]) && moved.stringValue == "x");
    v = std::move(v.arrayValue[7]);
    v = std::move(v.objectValue.at("b"));
    EXPECT_EQ(v.numberValue, 1.0);
}

}  // namespace
}  // namespace tarnwick
