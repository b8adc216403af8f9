// The readers the scenario file's parts share. Each reads one member of a JSON object; a fault
// leaves one message in `error` that names its place, "where: what".
#pragma once

#include <string>

#include "app/virtual/Scenario.h"
#include "config/Json.h"

namespace tarnwick::scenarioread {

// Sets `error` to "where: what"; always false, so that a reader can return it.
bool Fail(std::string& error, const std::string& where, const std::string& what);
// The member named `key`, of any kind; null when absent.
const JsonValue* Member(const JsonValue& object, const char* key);
// A finite number member; false when absent or not such a number.
bool ReadNumber(const JsonValue& object, const char* key, double& out);
// An integer member within [low, high]; absent leaves `out`. False (with `error`) when present
// but not such a number.
bool ReadInt(const JsonValue& object, const char* key, long low, long high, long& out,
             const std::string& where, std::string& error);
// "finished", "error" or "silent" into `out`; false for any other text.
bool ReadModuleAnswer(const std::string& text, std::string& out);

// One timeline entry into `step`, its devices and simulator looked up in `scenario`.
bool ReadStep(const JsonValue& entry, const std::string& where, const Scenario& scenario,
              ScenarioStep& step, std::string& error);

}  // namespace tarnwick::scenarioread
