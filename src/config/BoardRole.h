// The role a "devices" entry gives its panel board: the display it serves when the board's mode
// switch names none. config.json may write any name ("PFD", "copilot"), since the button
// configuration keys its commands by any name; so the role is the text as written, for the log
// lines, and its normalized key, for outputs.roleProfiles, both read once when the file is loaded.
#pragma once

#include <string>
#include <utility>

#include "config/TextNormalize.h"

namespace tarnwick {

struct BoardRole {
    BoardRole() = default;
    // Reads `written` (implicit, so that an entry can be written with its role text).
    BoardRole(std::string written) : text(std::move(written)), key(NormalizeKey(text)) {}
    BoardRole(const char* written) : BoardRole(std::string(written)) {}

    bool Empty() const { return text.empty(); }

    std::string text;  // as written; empty for none
    std::string key;   // NormalizeKey(text)
};

}  // namespace tarnwick
