#include "app/virtual/Scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>

#include "app/virtual/ScenarioReading.h"
#include "config/Json.h"
#include "config/PathText.h"
#include "config/TextNormalize.h"

namespace tarnwick {

namespace scenarioread {

Result Fail(const std::string& where, const std::string& what) {
    std::string message = where;
    message.append(": ").append(what);
    return Result::Failure(std::move(message));
}

Result FirstFailure(std::initializer_list<Result> reads) {
    for (const Result& read : reads) {
        if (!read) {
            return read;
        }
    }
    return Result::Success();
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

Result ReadInt(const JsonValue& object, const char* key, long low, long high, long& out,
               const std::string& where) {
    const JsonValue* value = Member(object, key);
    if (value == nullptr) {
        return Result::Success();
    }
    const double n = value->numberValue;
    if (!value->IsNumber() || !std::isfinite(n) || n != std::floor(n) || n < low || n > high) {
        return Fail(where, std::string("'") + key + "' must be a whole number from " +
                               std::to_string(low) + " to " + std::to_string(high));
    }
    out = static_cast<long>(n);
    return Result::Success();
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
using scenarioread::FirstFailure;
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

Result ReadHex16(const JsonValue& object, const char* key, std::uint16_t& out,
                 const std::string& where) {
    std::string text;
    if (!GetStringMember(object, key, text)) {
        return Fail(where, std::string("'") + key + "' must be a hexadecimal string");
    }
    const HexId16 id = ReadHexId16(text);
    if (!id.value) {
        return Fail(where, std::string("'") + key + "' is not a 16-bit hexadecimal id: " + text);
    }
    out = *id.value;
    return Result::Success();
}

// "1.4.0" into `count` bytes.
Result ReadVersion(const JsonValue& object, const char* key, std::uint8_t* parts, int count,
                   const std::string& where) {
    std::string text;
    if (Member(object, key) == nullptr) {
        return Result::Success();
    }
    if (!GetStringMember(object, key, text)) {
        return Fail(where, std::string("'") + key + "' must be a string");
    }
    size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        const size_t dot = text.find('.', pos);
        const std::string part = text.substr(pos, dot == std::string::npos ? dot : dot - pos);
        char* end = nullptr;
        const unsigned long value = std::strtoul(part.c_str(), &end, 10);
        const bool last = i == count - 1;
        if (part.empty() || *end != '\0' || value > 255 || (last != (dot == std::string::npos))) {
            return Fail(where, std::string("'") + key + "' must be " +
                                   (count == 3 ? "x.y.z" : "x.y") +
                                   " with numbers from 0 to 255: " + text);
        }
        parts[i] = static_cast<std::uint8_t>(value);
        pos = dot + 1;
    }
    return Result::Success();
}

Result ReadDevice(const JsonValue& entry, const std::string& where, ScenarioDevice& device) {
    if (!entry.IsObject()) {
        return Fail(where, "must be an object");
    }
    if (!GetStringMember(entry, "name", device.name) || device.name.empty()) {
        return Fail(where, "'name' must be a non-empty string");
    }
    std::string role(PanelRoleName(PanelRole::G1000));
    GetStringMember(entry, "role", role);
    device.role = ParsePanelRole(role);
    if (device.role == PanelRole::Unknown) {
        return Fail(where, "'role' must be \"g1000\" or \"touchpanel\": " + role);
    }
    if (Result read = FirstFailure({ReadHex16(entry, "vid", device.vendorId, where),
                                    ReadHex16(entry, "pid", device.productId, where)});
        !read) {
        return read;
    }
    if (Member(entry, "boardId") != nullptr) {
        std::string boardId;
        if (!GetStringMember(entry, "boardId", boardId)) {
            return Fail(where, "'boardId' must be a string");
        }
        device.boardId = NormalizeHexId(boardId);
        if (device.boardId.size() != 16 ||
            device.boardId.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
            return Fail(where, "'boardId' must be 16 hexadecimal digits: " + boardId);
        }
    }
    GetStringMember(entry, "serial", device.serial);
    long plugged = device.plugged ? 1 : 0;
    long readOnly = device.readOnly ? 1 : 0;
    if (Result read = FirstFailure({ReadVersion(entry, "firmware", device.firmware, 3, where),
                                    ReadVersion(entry, "protocol", device.protocol, 2, where),
                                    ReadInt(entry, "plugged", 0, 1, plugged, where),
                                    ReadInt(entry, "readOnly", 0, 1, readOnly, where)});
        !read) {
        return read;
    }
    device.plugged = plugged != 0;
    device.readOnly = readOnly != 0;
    return Result::Success();
}

Result ReadSimulator(const JsonValue& entry, ScenarioSimulator& sim) {
    const std::string where = "simulator";
    if (!entry.IsObject()) {
        return Fail(where, "must be an object");
    }
    long startMs = sim.startMs;
    long battery = sim.batteryOn ? 1 : 0;
    if (Result read = FirstFailure({ReadInt(entry, "startMs", 0, 86400000, startMs, where),
                                    ReadInt(entry, "battery", 0, 1, battery, where)});
        !read) {
        return read;
    }
    sim.startMs = static_cast<int>(startMs);
    sim.batteryOn = battery != 0;
    double lighting = 0.0;
    if (Member(entry, "lighting") != nullptr) {
        if (!ReadNumber(entry, "lighting", lighting)) {
            return Fail(where, "'lighting' must be a number");
        }
        sim.lighting = lighting;
    }
    if (Member(entry, "aircraft") != nullptr && !GetStringMember(entry, "aircraft", sim.aircraft)) {
        return Fail(where, "'aircraft' must be a string");
    }
    std::string answer;
    if (GetStringMember(entry, "module", answer) && !ReadModuleAnswer(answer, sim.moduleAnswer)) {
        return Fail(where, "'module' must be \"finished\", \"error\" or \"silent\"");
    }
    return Result::Success();
}

Result ReadScenario(const std::string& text, Scenario& scenario) {
    scenario = Scenario{};
    const JsonParseResult parsed = ParseJson(text);
    if (!parsed.ok) {
        return Result::Failure("Scenario parse error: " + parsed.error);
    }
    const JsonValue& root = parsed.value;
    if (!root.IsObject()) {
        return Result::Failure("Scenario root must be an object");
    }

    if (const JsonValue* devices = Member(root, "devices")) {
        if (!devices->IsArray()) {
            return Fail("devices", "must be an array");
        }
        scenario.hasDevices = true;
        std::set<std::string> names;
        for (size_t i = 0; i < devices->arrayValue.size(); ++i) {
            const std::string where = "devices[" + std::to_string(i) + "]";
            ScenarioDevice device;
            if (Result read = ReadDevice(devices->arrayValue[i], where, device); !read) {
                return read;
            }
            if (!names.insert(device.name).second) {
                return Fail(where, "the name '" + device.name + "' is used twice");
            }
            scenario.devices.push_back(std::move(device));
        }
    }
    if (const JsonValue* sim = Member(root, "simulator")) {
        ScenarioSimulator simulator;
        if (Result read = ReadSimulator(*sim, simulator); !read) {
            return read;
        }
        scenario.simulator = simulator;
    }

    bool hasEnd = false;
    if (const JsonValue* timeline = Member(root, "timeline")) {
        if (!timeline->IsArray()) {
            return Fail("timeline", "must be an array");
        }
        for (size_t i = 0; i < timeline->arrayValue.size(); ++i) {
            const JsonValue& entry = timeline->arrayValue[i];
            const std::string where = "timeline[" + std::to_string(i) + "]";
            ScenarioStep step;
            if (Result read = ReadStep(entry, where, scenario, step); !read) {
                return read;
            }
            hasEnd = hasEnd || step.kind == ScenarioActionKind::End;
            // "repeat": the same step that many times, "everyMs" apart (a knob turned steadily,
            // a load test).
            long repeat = 1;
            long everyMs = 0;
            if (Result read =
                    FirstFailure({ReadInt(entry, "repeat", 1, kMaxRepeat, repeat, where),
                                  ReadInt(entry, "everyMs", 0, 86400000, everyMs, where)});
                !read) {
                return read;
            }
            if (step.kind == ScenarioActionKind::End && repeat > 1) {
                return Fail(where, "'end' cannot repeat");
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
    return Result::Success();
}

}  // namespace

Result ParseScenario(const std::string& text, Scenario& scenario) {
    return ReadScenario(text, scenario);
}

Result LoadScenario(const std::string& path, Scenario& scenario) {
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) {
        return Result::Failure("Failed to open scenario file: " + path);
    }
    Result parsed = ParseScenario(*text, scenario);
    scenario.folder = FromFsPath(ToFsPath(path).parent_path());
    return parsed;
}

}  // namespace tarnwick
