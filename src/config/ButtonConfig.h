// The button configuration: which command text each control sends, per action and panel role,
// with sets for particular aircraft laid over it. Loaded at start-up and only read afterwards;
// the command text is opaque here, how it is sent is the mapping engine's business.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Result.h"

namespace tarnwick {

struct JsonValue;
struct AircraftButtons;

class ButtonConfig {
public:
    // Reads the JSON file at `path`: an object with optional "buttons" and "knobs" arrays of
    // entries {"name": text, "commands": {action: {role: command}}}, and an optional "aircraft"
    // array of sets {"name": text, "match": text, "buttons": [...], "knobs": [...]}. A failure
    // holds one message (inside a set, it names the set); a failure inside the base arrays keeps
    // what was read before it. Throws
    // std::filesystem::filesystem_error when the path cannot even be examined.
    Result Load(const std::string& path);

    // The command text for a control, action and role, all compared after NormalizeKey; an empty
    // role means "DEFAULT", and a role without an entry of its own falls back to "DEFAULT". Empty
    // when there is none. There is no fall-back across actions or controls.
    std::string Lookup(std::string_view controlName, std::string_view action,
                       std::string_view role) const;

    // True when the control has an entry, even one without actions.
    bool HasControl(std::string_view controlName) const;

    // Every control's name, normalized, sorted, once; the aircraft sets' controls too.
    std::vector<std::string> ControlNames() const;

    // One warning per command text longer than `maxBytes` (names normalized, sorted; the base
    // sections' first, then each aircraft set's), for the start-up log: such a command is
    // refused whenever it would be sent.
    std::vector<std::string> OverLongCommands(std::size_t maxBytes) const;

    // The aircraft sets that can make no difference, with their place ("aircraft[N]") and why:
    // a set that leaves every command as the base sections have it, and a set that no title can
    // choose because an earlier set matches every title it matches.
    std::vector<std::pair<std::string, std::string>> IdleAircraftSets() const;

    // The configuration for an aircraft: the first set whose match is contained in `title`
    // (ASCII case ignored) laid over the base sections, so that a control, action or role the set
    // lacks keeps the base's command (an action with a DEFAULT in the set takes no role from the
    // base); the base alone, named "base", when no set matches.
    AircraftButtons ForAircraft(std::string_view title) const;

    void Clear();

private:
    using RoleMap = std::unordered_map<std::string, std::string>;
    using ActionMap = std::unordered_map<std::string, RoleMap>;

    using ControlMap = std::unordered_map<std::string, ActionMap>;

    struct AircraftSet {
        std::string name;
        std::string match;  // lower-cased
        ControlMap controls;
    };

    // Reads the "buttons" and "knobs" arrays of `object` into `controls`.
    static Result ReadSections(const JsonValue& object, ControlMap& controls);
    // Reads the entries of one array; `section` names it in messages.
    static Result ReadSection(const std::string& section, const JsonValue& entries,
                              ControlMap& controls);
    Result ReadAircraftSets(const JsonValue& sets);
    // Lays `set` over `controls`.
    static void LayOver(const AircraftSet& set, ControlMap& controls);
    static void AddOverLong(const ControlMap& controls, std::size_t maxBytes,
                            const std::string& where, std::vector<std::string>& warnings);

    ControlMap controls_;
    std::vector<AircraftSet> sets_;
};

struct AircraftButtons {
    std::string setName;  // the matching set's name, or "base"
    ButtonConfig buttons;
};

}  // namespace tarnwick
