// libFuzzer target for the JSON parser: any byte sequence must parse or fail cleanly with one of
// the parser's messages, and the result must keep the parser's invariants. Run by scripts/fuzz.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "config/Json.h"

namespace tarnwick {
namespace {

// Only the slot that matches the kind may hold anything, and containers stay within the limit.
void CheckTree(const JsonValue& v, int depth) {
    FUZZ_CHECK(depth + (v.IsArray() || v.IsObject() ? 1 : 0) <= kMaxJsonNestingDepth);
    FUZZ_CHECK((v.kind == JsonKind::Bool || !v.boolValue) &&
               (v.IsString() || v.stringValue.empty()));
    FUZZ_CHECK(v.IsNumber() ? !std::isnan(v.numberValue) : v.numberValue == 0.0);
    FUZZ_CHECK((v.IsArray() || v.arrayValue.empty()) && (v.IsObject() || v.objectValue.empty()));
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
    static const std::string kMessages =
        "|Unexpected end of input|Unexpected token|Unexpected trailing characters|"
        "Expected string key|Expected ':' after key|Unterminated object|Expected ',' or '}'|"
        "Unterminated array|Expected ',' or ']'|Invalid escape sequence|Invalid unicode escape|"
        "Invalid escape character|Unterminated string|Invalid number|Invalid boolean|"
        "Invalid null|Nesting too deep|";
    const std::string text(reinterpret_cast<const char*>(data), size);
    const JsonParseResult result = ParseJson(text);
    FUZZ_CHECK(result.ok == result.error.empty() &&
               (result.ok || kMessages.find("|" + result.error + "|") != kMessages.npos));
    FUZZ_CHECK(result.ok || result.error == "Unexpected trailing characters" ||
               result.value.kind == JsonKind::Null);
    CheckTree(result.value, 0);
    // A number equals what the C library's conversion gives for the same text (the process
    // never changes its locale, so strtod is the C-locale conversion).
    if (result.ok && result.value.IsNumber() && text.find_first_of(" \t\r\n\xEF") == text.npos) {
        char* end = nullptr;
        const double expected = std::strtod(text.c_str(), &end);
        FUZZ_CHECK(end == text.c_str() + text.size());
        FUZZ_CHECK(std::memcmp(&expected, &result.value.numberValue, sizeof expected) == 0);
    }
    return 0;
}
