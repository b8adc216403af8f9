// Names for the numbers a panel board reports: event type codes and control ids, loaded from
// hid_event_map.json. Filled once at start-up and only read afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/Result.h"

namespace tarnwick {

class HidEventMap {
public:
    // Reads a JSON object with the members "event_types" and "control_ids", each mapping names
    // to numbers. A failure holds one message. Failures before the document is
    // understood leave both tables as they were; a document without valid entries in one of the
    // two objects fails after the tables were refilled with what it did hold. Throws
    // std::filesystem::filesystem_error when the path cannot even be examined.
    Result Load(const std::string& path);

    // Exact look-ups; empty text when the number has no name.
    std::string FindEventType(int code) const;
    std::string FindControl(int id) const;
    // Whether some control id carries this name, both compared after NormalizeKey, as the button
    // configuration compares the names it is given.
    bool KnowsControl(std::string_view name) const;

private:
    std::map<std::int32_t, std::string> eventTypes_;
    std::map<std::int32_t, std::string> controlIds_;
};

}  // namespace tarnwick
