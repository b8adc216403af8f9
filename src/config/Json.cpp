// The JSON value's moves and the typed look-ups of an object's members.
#include "config/Json.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace tarnwick {

JsonValue::JsonValue(JsonValue&& other) noexcept
    : kind(other.kind),
      boolValue(other.boolValue),
      numberValue(other.numberValue),
      stringValue(std::move(other.stringValue)),
      arrayValue(std::move(other.arrayValue)),
      objectValue(std::move(other.objectValue)) {
    // A moved-from standard container is only guaranteed to be valid; clear() makes it empty.
    other.kind = JsonKind::Null;
    other.boolValue = false;
    other.numberValue = 0.0;
    other.stringValue.clear();
    other.arrayValue.clear();
    other.objectValue.clear();
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    // `other` may live inside this value's own subtree (v = std::move(v.arrayValue[0])), so it is
    // taken out first; replacing our containers afterwards cannot destroy it mid-move.
    JsonValue taken(std::move(other));
    kind = taken.kind;
    boolValue = taken.boolValue;
    numberValue = taken.numberValue;
    stringValue = std::move(taken.stringValue);
    arrayValue = std::move(taken.arrayValue);
    objectValue = std::move(taken.objectValue);
    return *this;
}

namespace {

const JsonValue* FindMember(const JsonValue& object, const std::string& key, JsonKind kind) {
    if (object.kind != JsonKind::Object) {
        return nullptr;
    }
    const auto it = object.objectValue.find(key);
    if (it == object.objectValue.end() || it->second.kind != kind) {
        return nullptr;
    }
    return &it->second;
}

}  // namespace

bool GetStringMember(const JsonValue& object, const std::string& key, std::string& out) {
    const JsonValue* member = FindMember(object, key, JsonKind::String);
    if (member == nullptr) {
        return false;
    }
    out = member->stringValue;
    return true;
}

bool GetIntMember(const JsonValue& object, const std::string& key, std::int32_t& out) {
    const JsonValue* member = FindMember(object, key, JsonKind::Number);
    if (member == nullptr) {
        return false;
    }
    const double value = member->numberValue;
    // Converting a double whose truncation lies outside the target range is undefined behaviour,
    // so the range is checked first; the bounds are exact doubles.
    if (std::isnan(value)) {
        out = 0;
    } else if (value >= 2147483648.0) {
        out = std::numeric_limits<std::int32_t>::max();
    } else if (value <= -2147483649.0) {
        out = std::numeric_limits<std::int32_t>::min();
    } else {
        out = static_cast<std::int32_t>(value);
    }
    return true;
}

bool GetObjectMember(const JsonValue& object, const std::string& key, const JsonValue*& out) {
    const JsonValue* member = FindMember(object, key, JsonKind::Object);
    if (member == nullptr) {
        return false;
    }
    out = member;
    return true;
}

}  // namespace tarnwick
