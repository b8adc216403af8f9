// The rules a loaded configuration must satisfy before the bridge starts.
#pragma once

#include "platform/Result.h"

namespace tarnwick {

struct AppConfig;

// Applies the rules in their fixed order; a failure holds the message of the first failing rule.
// Changes nothing, so it gives the same answer when run again.
Result ValidateAppConfig(const AppConfig& config);

}  // namespace tarnwick
