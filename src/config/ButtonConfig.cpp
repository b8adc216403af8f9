#include "config/ButtonConfig.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <utility>

#include "config/Json.h"
#include "config/PathText.h"
#include "config/TextNormalize.h"

namespace tarnwick {
namespace {

constexpr const char* kDefaultRole = "DEFAULT";

bool Fail(std::string& errorText, std::string message) {
    errorText = std::move(message);
    return false;
}

// A NUL ends a command text: the text reaches the simulator as a C string, so anything after it
// would be dropped there without a trace.
std::string UpToFirstNul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace

bool ButtonConfig::Load(const std::string& path, std::string& errorText) {
    if (!std::filesystem::exists(ToFsPath(path))) {
        return Fail(errorText, "Button config not found: " + path);
    }
    std::string text;
    if (!ReadWholeFile(path, text)) {
        return Fail(errorText, "Failed to open button config: " + path);
    }
    const JsonParseResult parsed = ParseJson(text);
    if (!parsed.ok) {
        return Fail(errorText, "Button config parse error: " + parsed.error);
    }
    const JsonValue& root = parsed.value;
    if (!root.IsObject()) {
        return Fail(errorText, "Button config root must be an object");
    }
    Clear();
    // Both arrays feed the one control map; "buttons" is read first, so "knobs" entries of the
    // same normalized name add to and override it.
    for (const char* section : {"buttons", "knobs"}) {
        const auto it = root.objectValue.find(section);
        if (it == root.objectValue.end()) {
            continue;
        }
        if (!it->second.IsArray()) {
            return Fail(errorText, std::string("'") + section + "' must be an array");
        }
        if (!ReadSection(section, it->second, errorText)) {
            return false;
        }
    }
    return true;
}

bool ButtonConfig::ReadSection(const std::string& section, const JsonValue& entries,
                               std::string& errorText) {
    for (std::size_t i = 0; i < entries.arrayValue.size(); ++i) {
        const JsonValue& entry = entries.arrayValue[i];
        const std::string where = section + "[" + std::to_string(i) + "]";
        if (!entry.IsObject()) {
            return Fail(errorText, where + " must be an object");
        }
        std::string name;
        if (!GetStringMember(entry, "name", name)) {
            return Fail(errorText, where + " missing name");
        }
        const JsonValue* commands = nullptr;
        if (!GetObjectMember(entry, "commands", commands)) {
            continue;
        }
        ActionMap& actions = controls_[NormalizeKey(name)];
        for (const auto& [actionKey, roles] : commands->objectValue) {
            if (!roles.IsObject()) {
                continue;
            }
            RoleMap& roleMap = actions[NormalizeKey(actionKey)];
            for (const auto& [roleKey, command] : roles.objectValue) {
                if (!command.IsString()) {
                    continue;
                }
                const std::string role = roleKey.empty() ? kDefaultRole : NormalizeKey(roleKey);
                roleMap[role] = UpToFirstNul(command.stringValue);
            }
        }
    }
    return true;
}

std::string ButtonConfig::Lookup(std::string_view controlName, std::string_view action,
                                 std::string_view role) const {
    if (controlName.empty() || action.empty()) {
        return {};
    }
    const auto control = controls_.find(NormalizeKey(controlName));
    if (control == controls_.end()) {
        return {};
    }
    const auto roles = control->second.find(NormalizeKey(action));
    if (roles == control->second.end()) {
        return {};
    }
    const RoleMap& roleMap = roles->second;
    const auto exact = roleMap.find(role.empty() ? std::string(kDefaultRole) : NormalizeKey(role));
    if (exact != roleMap.end()) {
        return exact->second;
    }
    const auto fallback = roleMap.find(kDefaultRole);
    return fallback == roleMap.end() ? std::string() : fallback->second;
}

bool ButtonConfig::HasControl(std::string_view controlName) const {
    return controls_.contains(NormalizeKey(controlName));
}

std::vector<std::string> ButtonConfig::OverLongCommands(std::size_t maxBytes) const {
    std::vector<std::string> warnings;
    for (const auto& [control, actions] : controls_) {
        for (const auto& [action, roles] : actions) {
            for (const auto& [role, command] : roles) {
                if (command.size() > maxBytes) {
                    warnings.push_back("Command for " + control + " " + action + " (role " + role +
                                       ") is too long (" + std::to_string(command.size()) +
                                       " bytes, at most " + std::to_string(maxBytes) +
                                       "); it will not be sent");
                }
            }
        }
    }
    std::sort(warnings.begin(), warnings.end());
    return warnings;
}

void ButtonConfig::Clear() {
    controls_.clear();
}

}  // namespace tarnwick
