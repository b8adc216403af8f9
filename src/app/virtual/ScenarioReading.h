// The readers the scenario file's parts share. Each reads one member of a JSON object; a fault
// is one message that names its place, "where: what".
#pragma once

#include <initializer_list>
#include <string>

#include "app/virtual/Scenario.h"
#include "config/Json.h"

namespace tarnwick::scenarioread {

// The failure "where: what".
Result Fail(const std::string& where, const std::string& what);
// The first failure among reads already made in order, or success.
Result FirstFailure(std::initializer_list<Result> reads);
// The member named `key`, of any kind; null when absent.
const JsonValue* Member(const JsonValue& object, const char* key);
// A finite number member; false when absent or not such a number.
bool ReadNumber(const JsonValue& object, const char* key, double& out);
// An integer member within [low, high]; absent leaves `out`. A failure when present but not
// such a number.
Result ReadInt(const JsonValue& object, const char* key, long low, long high, long& out,
               const std::string& where);
// "finished", "error" or "silent" into `out`; false for any other text.
bool ReadModuleAnswer(const std::string& text, std::string& out);

// One timeline entry into `step`, its devices and simulator looked up in `scenario`.
Result ReadStep(const JsonValue& entry, const std::string& where, const Scenario& scenario,
                ScenarioStep& step);

}  // namespace tarnwick::scenarioread
