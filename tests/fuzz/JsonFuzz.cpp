// libFuzzer target for the JSON parser: any byte sequence must parse or fail cleanly, and the
// result must keep the parser's invariants. Built and run by scripts/fuzz.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "config/Json.h"

namespace tarnwick {
namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// Only the slot that matches the kind may hold anything, and containers stay within the limit.
void CheckTree(const JsonValue& v, int depth) {
    const bool container = v.IsArray() || v.IsObject();
    Check(depth + (container ? 1 : 0) <= kMaxJsonNestingDepth);
    Check((v.kind == JsonKind::Bool || !v.boolValue) && (v.IsString() || v.stringValue.empty()));
    Check(v.IsNumber() ? !std::isnan(v.numberValue) : v.numberValue == 0.0);
    Check((v.IsArray() || v.arrayValue.empty()) && (v.IsObject() || v.objectValue.empty()));
    for (const JsonValue& element : v.arrayValue) {
        CheckTree(element, depth + 1);
    }
    for (const auto& member : v.objectValue) {
        CheckTree(member.second, depth + 1);
    }
}

}  // namespace
}  // namespace tarnwick

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    static const std::set<std::string> kMessages = {"Unexpected end of input",
                                                    "Unexpected token",
                                                    "Unexpected trailing characters",
                                                    "Expected string key",
                                                    "Expected ':' after key",
                                                    "Unterminated object",
                                                    "Expected ',' or '}'",
                                                    "Unterminated array",
                                                    "Expected ',' or ']'",
                                                    "Invalid escape sequence",
                                                    "Invalid unicode escape",
                                                    "Invalid escape character",
                                                    "Unterminated string",
                                                    "Invalid number",
                                                    "Invalid boolean",
                                                    "Invalid null",
                                                    "Nesting too deep"};
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    JsonParseResult result = ParseJson(text);
    Check(result.ok == result.error.empty() && (result.ok || kMessages.count(result.error) == 1));
    Check(result.ok || result.error == "Unexpected trailing characters" ||
          (result.value.kind == JsonKind::Null && result.value.arrayValue.empty() &&
           result.value.objectValue.empty()));
    CheckTree(result.value, 0);
    // A byte-order mark in front changes nothing, unless the text already starts with one.
    if (text.substr(0, 3) != "\xEF\xBB\xBF") {
        const JsonParseResult marked = ParseJson("\xEF\xBB\xBF" + std::string(text));
        Check(marked.error == result.error && marked.value.kind == result.value.kind);
    }
    if (!result.ok) {
        return 0;
    }
    Check(ParseJson(std::string(text) + " x").error == "Unexpected trailing characters");
    // A number equals what the C library's conversion gives for the same text (the process
    // never changes its locale, so strtod is the C-locale conversion).
    if (result.value.IsNumber() && text.find_first_of(" \t\r\n\xEF") == std::string_view::npos) {
        const std::string copy(text);
        char* end = nullptr;
        const double expected = std::strtod(copy.c_str(), &end);
        Check(end == copy.c_str() + copy.size());
        Check(std::memcmp(&expected, &result.value.numberValue, sizeof expected) == 0);
    }
    // Moving leaves the source an empty Null, also when a value takes its own child.
    JsonValue copy = result.value;
    JsonValue moved = std::move(copy);
    Check(copy.kind == JsonKind::Null && copy.arrayValue.empty() && copy.objectValue.empty());
    if (!moved.arrayValue.empty()) {
        moved = std::move(moved.arrayValue.front());
        Check(moved.kind == result.value.arrayValue.front().kind);
    }
    return 0;
}
