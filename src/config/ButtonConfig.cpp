#include "config/ButtonConfig.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <utility>

#include "config/Json.h"
#include "config/PathText.h"
#include "config/TextNormalize.h"

namespace tarnwick {
namespace {

constexpr const char* kDefaultRole = "DEFAULT";

// A NUL ends a command text: the text reaches the simulator as a C string, so anything after it
// would be dropped there without a trace.
std::string UpToFirstNul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

}  // namespace

Result ButtonConfig::Load(const std::string& path) {
    if (!std::filesystem::exists(ToFsPath(path))) {
        return Result::Failure("Button config not found: " + path);
    }
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) {
        return Result::Failure("Failed to open button config: " + path);
    }
    const JsonParseResult parsed = ParseJson(*text);
    if (!parsed.ok) {
        return Result::Failure("Button config parse error: " + parsed.error);
    }
    const JsonValue& root = parsed.value;
    if (!root.IsObject()) {
        return Result::Failure("Button config root must be an object");
    }
    Clear();
    if (Result read = ReadSections(root, controls_); !read) {
        return read;
    }
    const auto sets = root.objectValue.find("aircraft");
    return sets == root.objectValue.end() ? Result::Success() : ReadAircraftSets(sets->second);
}

Result ButtonConfig::ReadSections(const JsonValue& object, ControlMap& controls) {
    // Both arrays feed the one control map; "buttons" is read first, so "knobs" entries of the
    // same normalized name add to and override it.
    for (const char* section : {"buttons", "knobs"}) {
        const auto it = object.objectValue.find(section);
        if (it == object.objectValue.end()) {
            continue;
        }
        if (!it->second.IsArray()) {
            return Result::Failure(std::string("'") + section + "' must be an array");
        }
        if (Result read = ReadSection(section, it->second, controls); !read) {
            return read;
        }
    }
    return Result::Success();
}

Result ButtonConfig::ReadAircraftSets(const JsonValue& sets) {
    if (!sets.IsArray()) {
        return Result::Failure("'aircraft' must be an array");
    }
    for (std::size_t i = 0; i < sets.arrayValue.size(); ++i) {
        const JsonValue& entry = sets.arrayValue[i];
        const std::string where = "aircraft[" + std::to_string(i) + "]";
        AircraftSet set;
        if (!entry.IsObject()) {
            return Result::Failure(where + " must be an object");
        }
        if (!GetStringMember(entry, "name", set.name)) {
            return Result::Failure(where + " missing name");
        }
        const std::string named = "aircraft set '" + set.name + "'";
        // An empty match would be contained in every title and hide the sets after it.
        if (!GetStringMember(entry, "match", set.match) || set.match.empty()) {
            return Result::Failure(named + " missing match");
        }
        set.match = AsciiLower(set.match);
        if (Result read = ReadSections(entry, set.controls); !read) {
            return Result::Failure(named + ": " + read.Error());
        }
        sets_.push_back(std::move(set));
    }
    return Result::Success();
}

Result ButtonConfig::ReadSection(const std::string& section, const JsonValue& entries,
                                 ControlMap& controls) {
    for (std::size_t i = 0; i < entries.arrayValue.size(); ++i) {
        const JsonValue& entry = entries.arrayValue[i];
        const std::string where = section + "[" + std::to_string(i) + "]";
        if (!entry.IsObject()) {
            return Result::Failure(where + " must be an object");
        }
        std::string name;
        if (!GetStringMember(entry, "name", name)) {
            return Result::Failure(where + " missing name");
        }
        const JsonValue* commands = nullptr;
        if (!GetObjectMember(entry, "commands", commands)) {
            continue;
        }
        ActionMap& actions = controls[NormalizeKey(name)];
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
    return Result::Success();
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

void ButtonConfig::AddOverLong(const ControlMap& controls, std::size_t maxBytes,
                               const std::string& where, std::vector<std::string>& warnings) {
    const std::size_t first = warnings.size();
    for (const auto& [control, actions] : controls) {
        for (const auto& [action, roles] : actions) {
            for (const auto& [role, command] : roles) {
                if (command.size() > maxBytes) {
                    warnings.push_back("Command for " + control + " " + action + " (role " + role +
                                       ")" + where + " is too long (" +
                                       std::to_string(command.size()) + " bytes, at most " +
                                       std::to_string(maxBytes) + "); it will not be sent");
                }
            }
        }
    }
    std::sort(warnings.begin() + static_cast<std::ptrdiff_t>(first), warnings.end());
}

std::vector<std::string> ButtonConfig::OverLongCommands(std::size_t maxBytes) const {
    std::vector<std::string> warnings;
    AddOverLong(controls_, maxBytes, "", warnings);
    for (const AircraftSet& set : sets_) {
        AddOverLong(set.controls, maxBytes, " in aircraft set '" + set.name + "'", warnings);
    }
    return warnings;
}

std::vector<std::string> ButtonConfig::ControlNames() const {
    std::vector<std::string> names;
    for (const auto& entry : controls_) {
        names.push_back(entry.first);
    }
    for (const AircraftSet& set : sets_) {
        for (const auto& entry : set.controls) {
            names.push_back(entry.first);
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::pair<std::string, std::string>> ButtonConfig::IdleAircraftSets() const {
    std::vector<std::pair<std::string, std::string>> idle;
    for (std::size_t i = 0; i < sets_.size(); ++i) {
        const AircraftSet& set = sets_[i];
        const std::string place = "aircraft[" + std::to_string(i) + "]";
        const auto earlier =
            std::find_if(sets_.begin(), sets_.begin() + static_cast<std::ptrdiff_t>(i),
                         [&](const AircraftSet& before) {
                             return set.match.find(before.match) != std::string::npos;
                         });
        if (earlier != sets_.begin() + static_cast<std::ptrdiff_t>(i)) {
            idle.emplace_back(place, "aircraft set '" + set.name +
                                         "' is never chosen: every title it matches also "
                                         "matches aircraft set '" +
                                         earlier->name + "', which comes first");
            continue;
        }
        ControlMap merged = controls_;
        LayOver(set, merged);
        if (merged == controls_) {
            idle.emplace_back(place, "aircraft set '" + set.name +
                                         "' changes nothing: the base sections already send "
                                         "each of its commands");
        }
    }
    return idle;
}

AircraftButtons ButtonConfig::ForAircraft(std::string_view title) const {
    AircraftButtons chosen{"base", {}};
    chosen.buttons.controls_ = controls_;
    const std::string lowerTitle = AsciiLower(title);
    for (const AircraftSet& set : sets_) {
        if (lowerTitle.find(set.match) == std::string::npos) {
            continue;
        }
        chosen.setName = set.name;
        LayOver(set, chosen.buttons.controls_);
        break;
    }
    return chosen;
}

void ButtonConfig::LayOver(const AircraftSet& set, ControlMap& controls) {
    for (const auto& [control, actions] : set.controls) {
        ActionMap& merged = controls[control];
        for (const auto& [action, roles] : actions) {
            // The set's DEFAULT answers every role of its action, as it would in the base: a
            // role of the base's own is kept only where the set leaves the role open.
            RoleMap& mergedRoles = merged[action];
            if (roles.contains(kDefaultRole)) {
                mergedRoles.clear();
            }
            for (const auto& [role, command] : roles) {
                mergedRoles[role] = command;
            }
        }
    }
}

void ButtonConfig::Clear() {
    controls_.clear();
    sets_.clear();
}

}  // namespace tarnwick
