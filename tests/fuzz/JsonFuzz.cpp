// libFuzzer target for the JSON parser: any byte sequence must parse or fail cleanly, and the
// result must keep the parser's invariants. Built and run by scripts/fuzz.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
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

bool IsKnownMessage(const std::string& error) {
    static const char* const kMessages[] = {
        "Unexpected end of input",
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
        "Nesting too deep",
    };
    for (const char* message : kMessages) {
        if (error == message) {
            return true;
        }
    }
    return false;
}

bool IsEmptyNull(const JsonValue& v) {
    return v.kind == JsonKind::Null && !v.boolValue && v.numberValue == 0.0 &&
           v.stringValue.empty() && v.arrayValue.empty() && v.objectValue.empty();
}

// Only the slot that matches the kind may hold anything, and containers stay within the limit.
void CheckTree(const JsonValue& v, int containerDepth) {
    const bool container = v.kind == JsonKind::Array || v.kind == JsonKind::Object;
    Check(containerDepth + (container ? 1 : 0) <= kMaxJsonNestingDepth);
    Check(v.kind == JsonKind::Bool || !v.boolValue);
    Check(v.kind == JsonKind::Number ? !std::isnan(v.numberValue) : v.numberValue == 0.0);
    Check(v.kind == JsonKind::String || v.stringValue.empty());
    Check(v.kind == JsonKind::Array || v.arrayValue.empty());
    Check(v.kind == JsonKind::Object || v.objectValue.empty());
    Check(static_cast<int>(v.kind) >= 0 && static_cast<int>(v.kind) <= 5);
    for (const JsonValue& element : v.arrayValue) {
        CheckTree(element, containerDepth + 1);
    }
    for (const auto& member : v.objectValue) {
        CheckTree(member.second, containerDepth + 1);
    }
}

std::int32_t ExpectedInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double truncated = std::trunc(value);
    if (truncated > 2147483647.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (truncated < -2147483648.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(truncated);
}

void CheckLookUps(const JsonValue& root, const std::string& key) {
    const JsonValue* member = nullptr;
    if (root.kind == JsonKind::Object) {
        const auto it = root.objectValue.find(key);
        member = it == root.objectValue.end() ? nullptr : &it->second;
    }
    const JsonKind kind = member == nullptr ? JsonKind::Null : member->kind;

    std::string text = "sentinel";
    const bool gotString = GetStringMember(root, key, text);
    Check(gotString == (member != nullptr && kind == JsonKind::String));
    Check(gotString ? text == member->stringValue : text == "sentinel");

    std::int32_t number = 424242;
    const bool gotInt = GetIntMember(root, key, number);
    Check(gotInt == (member != nullptr && kind == JsonKind::Number));
    Check(gotInt ? number == ExpectedInt(member->numberValue) : number == 424242);

    const JsonValue* object = &root;
    const bool gotObject = GetObjectMember(root, key, object);
    Check(gotObject == (member != nullptr && kind == JsonKind::Object));
    Check(object == (gotObject ? member : &root));
}

// A top-level number must equal what the C library's conversion gives for the same span; the
// fuzzing process never changes its locale, so strtod here is the C-locale conversion.
void CheckTopLevelNumber(std::string_view text, double value) {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    const std::string copy(text);
    char* end = nullptr;
    const double expected = std::strtod(copy.c_str(), &end);
    Check(end == copy.c_str() + copy.size());
    Check(std::memcmp(&expected, &value, sizeof value) == 0);
}

}  // namespace
}  // namespace tarnwick

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    JsonParseResult result = ParseJson(text);

    Check(result.ok == result.error.empty());
    if (!result.ok) {
        Check(IsKnownMessage(result.error));
        if (result.error != "Unexpected trailing characters") {
            Check(IsEmptyNull(result.value));
        }
    }
    CheckTree(result.value, 0);

    // A byte-order mark in front changes nothing, unless the text already starts with one.
    if (text.substr(0, 3) != "\xEF\xBB\xBF") {
        const JsonParseResult withMark = ParseJson("\xEF\xBB\xBF" + std::string(text));
        Check(withMark.ok == result.ok && withMark.error == result.error);
        Check(withMark.value.kind == result.value.kind);
    }

    if (!result.ok) {
        return 0;
    }
    Check(ParseJson(std::string(text) + " x").error == "Unexpected trailing characters");
    if (result.value.kind == JsonKind::Number) {
        CheckTopLevelNumber(text, result.value.numberValue);
    }

    const JsonValue& root = result.value;
    CheckLookUps(root, "");
    CheckLookUps(root, "hid");
    for (const auto& member : root.objectValue) {
        CheckLookUps(root, member.first);
        CheckLookUps(root, member.first + '\x01');
    }

    JsonValue copy = root;
    JsonValue moved = std::move(copy);
    Check(IsEmptyNull(copy));
    Check(moved.kind == root.kind && moved.objectValue.size() == root.objectValue.size() &&
          moved.arrayValue.size() == root.arrayValue.size());
    if (!moved.arrayValue.empty()) {
        moved = std::move(moved.arrayValue.front());
        Check(moved.kind == root.arrayValue.front().kind);
    }
    return 0;
}
