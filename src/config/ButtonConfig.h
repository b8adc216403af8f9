// The button configuration: which command text each control sends, per action and panel role.
// Loaded once at start-up and only read afterwards; the command text is opaque here, how it is
// sent is the mapping engine's business.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Result.h"

namespace tarnwick {

struct JsonValue;

class ButtonConfig {
public:
    // Reads the JSON file at `path`: an object with optional "buttons" and "knobs" arrays of
    // entries {"name": text, "commands": {action: {role: command}}}. A failure holds one
    // message; a failure inside the arrays keeps what was read before it. Throws
    // std::filesystem::filesystem_error when the path cannot even be examined.
    Result Load(const std::string& path);

    // The command text for a control, action and role, all compared after NormalizeKey; an empty
    // role means "DEFAULT", and a role without an entry of its own falls back to "DEFAULT". Empty
    // when there is none. There is no fall-back across actions or controls.
    std::string Lookup(std::string_view controlName, std::string_view action,
                       std::string_view role) const;

    // True when the control has an entry, even one without actions.
    bool HasControl(std::string_view controlName) const;

    // Every control's name, normalized, sorted.
    std::vector<std::string> ControlNames() const;

    // One warning per command text longer than `maxBytes` (names normalized, sorted), for the
    // start-up log: such a command is refused whenever it would be sent.
    std::vector<std::string> OverLongCommands(std::size_t maxBytes) const;

    void Clear();

private:
    using RoleMap = std::unordered_map<std::string, std::string>;
    using ActionMap = std::unordered_map<std::string, RoleMap>;

    // Reads the entries of one array; `section` names it in messages.
    Result ReadSection(const std::string& section, const JsonValue& entries);

    std::unordered_map<std::string, ActionMap> controls_;
};

}  // namespace tarnwick
