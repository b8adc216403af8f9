#include "config/HidEventMap.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>

#include "config/Json.h"
#include "config/PathText.h"
#include "config/TextNormalize.h"

namespace tarnwick {
namespace {

Result LoadEventMapDocument(const std::string& path, JsonValue& root) {
    if (!std::filesystem::exists(ToFsPath(path))) {
        return Result::Failure("Event map not found: " + path);
    }
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) {
        return Result::Failure("Failed to open event map: " + path);
    }
    JsonParseResult parsed = ParseJson(*text);
    if (!parsed.ok) {
        return Result::Failure("Event map parse error: " + parsed.error);
    }
    if (!parsed.value.IsObject()) {
        return Result::Failure("Event map root must be an object");
    }
    root = std::move(parsed.value);
    return Result::Success();
}

// A number whose truncation falls outside the signed 32-bit range (or that is not finite) can
// never name a code the boards send, so it is not an entry; testing the range first also keeps
// the conversion defined.
bool ToCode(double number, std::int32_t& code) {
    if (!(number > -2147483649.0 && number < 2147483648.0)) {
        return false;
    }
    code = static_cast<std::int32_t>(number);
    return true;
}

// Fills `table` number -> name from the Number members of root[key]; returns how many members
// gave an entry. Members come in ascending key order, so of two names for one number the later
// key wins.
int ReadNames(const JsonValue& root, const std::string& key,
              std::map<std::int32_t, std::string>& table) {
    const JsonValue* object = nullptr;
    if (!GetObjectMember(root, key, object)) {
        return 0;
    }
    int count = 0;
    for (const auto& [name, value] : object->objectValue) {
        std::int32_t code = 0;
        if (value.IsNumber() && ToCode(value.numberValue, code)) {
            table[code] = name;
            ++count;
        }
    }
    return count;
}

std::string Find(const std::map<std::int32_t, std::string>& table, int key) {
    const auto it = table.find(key);
    return it == table.end() ? std::string() : it->second;
}

}  // namespace

Result HidEventMap::Load(const std::string& path) {
    JsonValue root;
    if (Result document = LoadEventMapDocument(path, root); !document) {
        return document;
    }
    eventTypes_.clear();
    controlIds_.clear();
    const int typeCount = ReadNames(root, "event_types", eventTypes_);
    const int controlCount = ReadNames(root, "control_ids", controlIds_);
    if (typeCount == 0) {
        return Result::Failure("Event map missing valid event_types entries");
    }
    if (controlCount == 0) {
        return Result::Failure("Event map missing valid control_ids entries");
    }
    return Result::Success();
}

std::string HidEventMap::FindEventType(int code) const {
    return Find(eventTypes_, code);
}

std::string HidEventMap::FindControl(int id) const {
    return Find(controlIds_, id);
}

bool HidEventMap::KnowsControl(std::string_view name) const {
    const std::string key = NormalizeKey(name);
    return std::any_of(controlIds_.begin(), controlIds_.end(),
                       [&key](const auto& entry) { return NormalizeKey(entry.second) == key; });
}

}  // namespace tarnwick
