#include "app/virtual/Scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#include "app/virtual/ScenarioReading.h"
#include "config/Json.h"
#include "config/PathText.h"
#include "config/TextNormalize.h"

namespace tarnwick {

namespace scenarioread {

bool Fail(std::string& error, const std::string& where, const std::string& what) {
    error = where;
    error.append(": ").append(what);
    return false;
}

const JsonValue* Member(const JsonValue& object, const char* key) {
    const auto it = object.objectValue.find(key);
    return it == object.objectValue.end() ? nullptr : &it->second;
}

bool ReadNumber(const JsonValue& object, const char* key, double& out) {
    const JsonValue* value = Member(object, key);
    if (value == nullptr || !value->IsNumber() || !std::isfinite(value->numberValue)) {
        return false;
    }
    out = value->numberValue;
    return true;
}

bool ReadInt(const JsonValue& object, const char* key, long low, long high, long& out,
             const std::string& where, std::string& error) {
    const JsonValue* value = Member(object, key);
    if (value == nullptr) {
        return true;
    }
    const double n = value->numberValue;
    if (!value->IsNumber() || !std::isfinite(n) || n != std::floor(n) || n < low || n > high) {
        return Fail(error, where,
                    std::string("'") + key + "' must be a whole number from " +
                        std::to_string(low) + " to " + std::to_string(high));
    }
    out = static_cast<long>(n);
    return true;
}

bool ReadModuleAnswer(const std::string& text, std::string& out) {
    if (text != "finished" && text != "error" && text != "silent") {
        return false;
    }
    out = text;
    return true;
}

}  // namespace scenarioread

namespace {

using scenarioread::Fail;
using scenarioread::Member;
using scenarioread::ReadInt;
using scenarioread::ReadModuleAnswer;
using scenarioread::ReadNumber;
using scenarioread::ReadStep;

// How long the scenario goes on after its last step when it does not say when it ends: time
// for the last command to reach the simulator before it quits.
constexpr int kDefaultTail = 1000;
// Enough for a hundred seconds at a thousand steps a second; small enough to stay a few megabytes.
constexpr long kMaxRepeat = 100000;

bool ReadHex16(const JsonValue& object, const char* key, std::uint16_t& out,
               const std::string& where, std::string& error) {
    std::string text;
    if (!GetStringMember(object, key, text)) {
        return Fail(error, where, std::string("'") + key + "' must be a hexadecimal string");
    }
    const HexId16 id = ReadHexId16(text);
    if (!id.value) {
        return Fail(error, where,
                    std::string("'") + key + "' is not a 16-bit hexadecimal id: " + text);
    }
    out = *id.value;
    return true;
}

// "1.4.0" into `count` bytes.
bool ReadVersion(const JsonValue& object, const char* key, std::uint8_t* parts, int count,
                 const std::string& where, std::string& error) {
    std::string text;
    if (Member(object, key) == nullptr) {
        return true;
    }
    if (!GetStringMember(object, key, text)) {
        return Fail(error, where, std::string("'") + key + "' must be a string");
    }
    size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        const size_t dot = text.find('.', pos);
        const std::string part = text.substr(pos, dot == std::string::npos ? dot : dot - pos);
        char* end = nullptr;
        const unsigned long value = std::strtoul(part.c_str(), &end, 10);
        const bool last = i == count - 1;
        if (part.empty() || *end != '\0' || value > 255 || (last != (dot == std::string::npos))) {
            return Fail(error, where,
                        std::string("'") + key + "' must be " + (count == 3 ? "x.y.z" : "x.y") +
                            " with numbers from 0 to 255: " + text);
        }
        parts[i] = static_cast<std::uint8_t>(value);
        pos = dot + 1;
    }
    return true;
}

bool ReadDevice(const JsonValue& entry, const std::string& where, ScenarioDevice& device,
                std::string& error) {
    if (!entry.IsObject()) {
        return Fail(error, where, "must be an object");
    }
    if (!GetStringMember(entry, "name", device.name) || device.name.empty()) {
        return Fail(error, where, "'name' must be a non-empty string");
    }
    std::string role(PanelRoleName(PanelRole::G1000));
    GetStringMember(entry, "role", role);
    device.role = ParsePanelRole(role);
    if (device.role == PanelRole::Unknown) {
        return Fail(error, where, "'role' must be \"g1000\" or \"touchpanel\": " + role);
    }
    if (!ReadHex16(entry, "vid", device.vendorId, where, error) ||
        !ReadHex16(entry, "pid", device.productId, where, error)) {
        return false;
    }
    if (Member(entry, "boardId") != nullptr) {
        std::string boardId;
        if (!GetStringMember(entry, "boardId", boardId)) {
            return Fail(error, where, "'boardId' must be a string");
        }
        device.boardId = NormalizeHexId(boardId);
        if (device.boardId.size() != 16 ||
            device.boardId.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
            return Fail(error, where, "'boardId' must be 16 hexadecimal digits: " + boardId);
        }
    }
    GetStringMember(entry, "serial", device.serial);
    long plugged = device.plugged ? 1 : 0;
    long readOnly = device.readOnly ? 1 : 0;
    if (!ReadVersion(entry, "firmware", device.firmware, 3, where, error) ||
        !ReadVersion(entry, "protocol", device.protocol, 2, where, error) ||
        !ReadInt(entry, "plugged", 0, 1, plugged, where, error) ||
        !ReadInt(entry, "readOnly", 0, 1, readOnly, where, error)) {
        return false;
    }
    device.plugged = plugged != 0;
    device.readOnly = readOnly != 0;
    return true;
}

bool ReadSimulator(const JsonValue& entry, ScenarioSimulator& sim, std::string& error) {
    const std::string where = "simulator";
    if (!entry.IsObject()) {
        return Fail(error, where, "must be an object");
    }
    long startMs = sim.startMs;
    long battery = sim.batteryOn ? 1 : 0;
    if (!ReadInt(entry, "startMs", 0, 86400000, startMs, where, error) ||
        !ReadInt(entry, "battery", 0, 1, battery, where, error)) {
        return false;
    }
    sim.startMs = static_cast<int>(startMs);
    sim.batteryOn = battery != 0;
    double lighting = 0.0;
    if (Member(entry, "lighting") != nullptr) {
        if (!ReadNumber(entry, "lighting", lighting)) {
            return Fail(error, where, "'lighting' must be a number");
        }
        sim.lighting = lighting;
    }
    std::string answer;
    if (GetStringMember(entry, "module", answer) && !ReadModuleAnswer(answer, sim.moduleAnswer)) {
        return Fail(error, where, "'module' must be \"finished\", \"error\" or \"silent\"");
    }
    return true;
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error) {
    scenario = Scenario{};
    const JsonParseResult parsed = ParseJson(text);
    if (!parsed.ok) {
        error = "Scenario parse error: " + parsed.error;
        return false;
    }
    const JsonValue& root = parsed.value;
    if (!root.IsObject()) {
        error = "Scenario root must be an object";
        return false;
    }

    if (const JsonValue* devices = Member(root, "devices")) {
        if (!devices->IsArray()) {
            return Fail(error, "devices", "must be an array");
        }
        scenario.hasDevices = true;
        std::set<std::string> names;
        for (size_t i = 0; i < devices->arrayValue.size(); ++i) {
            const std::string where = "devices[" + std::to_string(i) + "]";
            ScenarioDevice device;
            if (!ReadDevice(devices->arrayValue[i], where, device, error)) {
                return false;
            }
            if (!names.insert(device.name).second) {
                return Fail(error, where, "the name '" + device.name + "' is used twice");
            }
            scenario.devices.push_back(std::move(device));
        }
    }
    if (const JsonValue* sim = Member(root, "simulator")) {
        ScenarioSimulator simulator;
        if (!ReadSimulator(*sim, simulator, error)) {
            return false;
        }
        scenario.simulator = simulator;
    }

    bool hasEnd = false;
    if (const JsonValue* timeline = Member(root, "timeline")) {
        if (!timeline->IsArray()) {
            return Fail(error, "timeline", "must be an array");
        }
        for (size_t i = 0; i < timeline->arrayValue.size(); ++i) {
            const JsonValue& entry = timeline->arrayValue[i];
            const std::string where = "timeline[" + std::to_string(i) + "]";
            ScenarioStep step;
            if (!ReadStep(entry, where, scenario, step, error)) {
                return false;
            }
            hasEnd = hasEnd || step.kind == ScenarioActionKind::End;
            // "repeat": the same step that many times, "everyMs" apart (a knob turned steadily,
            // a load test).
            long repeat = 1;
            long everyMs = 0;
            if (!ReadInt(entry, "repeat", 1, kMaxRepeat, repeat, where, error) ||
                !ReadInt(entry, "everyMs", 0, 86400000, everyMs, where, error)) {
                return false;
            }
            if (step.kind == ScenarioActionKind::End && repeat > 1) {
                return Fail(error, where, "'end' cannot repeat");
            }
            for (long n = 0; n < repeat; ++n) {
                ScenarioStep copy = step;
                copy.atMs = static_cast<int>(std::min<long>(step.atMs + n * everyMs, 86400000));
                scenario.steps.push_back(std::move(copy));
            }
        }
    }
    std::stable_sort(scenario.steps.begin(), scenario.steps.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.atMs < b.atMs; });
    if (!hasEnd) {
        ScenarioStep end;
        end.atMs = (scenario.steps.empty() ? 0 : scenario.steps.back().atMs) + kDefaultTail;
        scenario.steps.push_back(end);
    }
    // Steps after the first end never happen.
    const auto firstEnd =
        std::find_if(scenario.steps.begin(), scenario.steps.end(),
                     [](const ScenarioStep& s) { return s.kind == ScenarioActionKind::End; });
    scenario.steps.erase(firstEnd + 1, scenario.steps.end());
    scenario.endMs = scenario.steps.back().atMs;
    return true;
}

bool LoadScenario(const std::string& path, Scenario& scenario, std::string& error) {
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) {
        error = "Failed to open scenario file: " + path;
        return false;
    }
    return ParseScenario(*text, scenario, error);
}

}  // namespace tarnwick
