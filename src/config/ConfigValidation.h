// The rules a loaded configuration must satisfy before the bridge starts.
#pragma once

#include <string>

namespace tarnwick {

struct AppConfig;

// Applies the rules in their fixed order; false with the message of the first failing rule.
// Changes nothing, so it gives the same answer when run again.
bool ValidateAppConfig(const AppConfig& config, std::string& error);

}  // namespace tarnwick
