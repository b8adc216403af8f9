// The program's own small JSON reader: a one-pass recursive-descent parser over a byte string,
// producing a tree of JsonValue. Lenient in a few fixed ways (leading zeros, "1.", "-.5",
// raw control bytes in strings, duplicate keys where the first wins) and reporting only the first
// error as one fixed message without position.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

enum class JsonKind : std::int32_t {
    Null = 0,
    Bool = 1,
    Number = 2,
    String = 3,
    Array = 4,
    Object = 5,
};

// One record with a slot for every kind; only the slot matching `kind` is meaningful.
// Object members are kept in ascending byte-wise key order (std::string compares bytes as
// unsigned char through char_traits<char>), so iteration never follows document order.
struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolValue = false;
    double numberValue = 0.0;
    std::string stringValue;
    std::vector<JsonValue> arrayValue;
    std::map<std::string, JsonValue> objectValue;

    JsonValue() = default;
    JsonValue(const JsonValue&) = default;
    JsonValue& operator=(const JsonValue&) = default;
    // Moving leaves the source an empty Null value, not merely "valid but unspecified".
    JsonValue(JsonValue&& other) noexcept;
    JsonValue& operator=(JsonValue&& other) noexcept;

    bool IsObject() const { return kind == JsonKind::Object; }
    bool IsArray() const { return kind == JsonKind::Array; }
    bool IsString() const { return kind == JsonKind::String; }
    bool IsNumber() const { return kind == JsonKind::Number; }
};

struct JsonParseResult {
    JsonValue value;    // Null on failure inside the value; use only when ok
    std::string error;  // empty on success, else exactly one fixed message
    bool ok = false;
};

// Containers nested deeper than this fail with "Nesting too deep" instead of exhausting the
// stack on a broken or hostile file.
inline constexpr int kMaxJsonNestingDepth = 512;

JsonParseResult ParseJson(std::string_view text);

// The three member look-ups return false and leave `out` untouched when `object` is not an
// Object, has no member with exactly `key`, or the member is of another kind.
bool GetStringMember(const JsonValue& object, const std::string& key, std::string& out);
// Truncates toward zero and saturates to the signed 32-bit range; NaN gives 0.
bool GetIntMember(const JsonValue& object, const std::string& key, std::int32_t& out);
// `out` points into `object` and stays valid as long as `object` is neither changed nor moved.
bool GetObjectMember(const JsonValue& object, const std::string& key, const JsonValue*& out);

}  // namespace tarnwick
