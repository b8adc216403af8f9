// The timeline's steps. A step is of the kind of the first step key it has, in the order of
// kStepKinds (docs/scenario.md lists the same order); each kind says what its key must hold,
// whether it acts on a device or on the simulator, and reads its own members.
#include <cstdint>
#include <string>

#include "app/virtual/ScenarioReading.h"
#include "config/Json.h"

namespace tarnwick::scenarioread {

namespace {

// What a step key must hold for the step to be of its kind; otherwise the walk goes on.
enum class KeyHolds { Anything, Number, Text };
// What a step acts on: it is checked before the step's own members are read.
enum class StepNeeds { Nothing, Device, Simulator };

using Kind = ScenarioActionKind;

using StepReader = bool (*)(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                            std::string& error);

struct StepKind {
    // The step key, or two keys either of which makes the step; messages name them "a/b".
    const char* keys[2];
    KeyHolds holds;
    StepNeeds needs;
    StepReader read;
};

bool ReadButton(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                std::string& error) {
    long control = 0;
    std::string action;
    if (!ReadInt(entry, "button", 0, 65535, control, where, error)) {
        return false;
    }
    GetStringMember(entry, "action", action);
    long level = 2;
    if (!ReadInt(entry, "level", 2, 4, level, where, error)) {
        return false;
    }
    if (action == "press") {
        step.value = 1;
    } else if (action == "release") {
        step.value = 0;
    } else if (action == "hold") {
        step.value = static_cast<std::int8_t>(level);
    } else {
        return Fail(error, where, "'action' must be \"press\", \"release\" or \"hold\"");
    }
    step.kind = Kind::Button;
    step.control = static_cast<std::uint16_t>(control);
    return true;
}

bool ReadEncoder(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                 std::string& error) {
    long control = 0;
    long detents = 1;
    long speed = 0;
    if (!ReadInt(entry, "encoder", 0, 65535, control, where, error) ||
        !ReadInt(entry, "detents", -128, 127, detents, where, error) ||
        !ReadInt(entry, "speed", 0, 255, speed, where, error)) {
        return false;
    }
    step.kind = Kind::Encoder;
    step.control = static_cast<std::uint16_t>(control);
    step.value = static_cast<std::int8_t>(detents);
    step.speed = static_cast<std::uint8_t>(speed);
    return true;
}

bool ReadSettings(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                  std::string& error) {
    double heading = 0.0;
    double course = 0.0;
    const bool hasHeading = ReadNumber(entry, "headingBug", heading);
    const bool hasCourse = ReadNumber(entry, "course", course);
    long sequence = 0;
    if (!ReadInt(entry, "sequence", 0, 65535, sequence, where, error)) {
        return false;
    }
    step.kind = Kind::Settings;
    step.flags = static_cast<std::uint8_t>((hasHeading ? 0x01 : 0) | (hasCourse ? 0x02 : 0));
    step.sequence = static_cast<std::uint16_t>(sequence);
    step.headingBug = static_cast<float>(heading);
    step.course = static_cast<float>(course);
    return true;
}

bool ReadPlug(const JsonValue& entry, const std::string&, ScenarioStep& step, std::string&) {
    step.kind = Member(entry, "plug") != nullptr ? Kind::Plug : Kind::Unplug;
    return true;
}

bool ReadWritesFail(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                    std::string& error) {
    long fail = 1;
    if (!ReadInt(entry, "writesFail", 0, 1, fail, where, error)) {
        return false;
    }
    step.kind = Kind::WritesFail;
    step.number = static_cast<double>(fail);
    return true;
}

bool ReadWritesStall(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                     std::string& error) {
    long stallMs = 0;
    if (!ReadInt(entry, "writesStall", 0, 86400000, stallMs, where, error)) {
        return false;
    }
    step.kind = Kind::WritesStall;
    step.number = static_cast<double>(stallMs);
    return true;
}

bool ReadReadError(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                   std::string& error) {
    long once = 1;
    if (!ReadInt(entry, "readError", 1, 1, once, where, error)) {
        return false;
    }
    step.kind = Kind::ReadError;
    return true;
}

bool ReadSimulatorStep(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                       std::string& error) {
    std::string text;
    GetStringMember(entry, "simulator", text);
    if (text == "start") {
        step.kind = Kind::SimStart;
    } else if (text == "quit") {
        step.kind = Kind::SimQuit;
    } else if (text == "drop") {
        step.kind = Kind::SimDrop;
    } else {
        return Fail(error, where, "'simulator' must be \"start\", \"quit\" or \"drop\"");
    }
    return true;
}

bool ReadBattery(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                 std::string& error) {
    long on = 1;
    if (!ReadInt(entry, "battery", 0, 1, on, where, error)) {
        return false;
    }
    step.kind = Kind::Battery;
    step.number = static_cast<double>(on);
    return true;
}

bool ReadLighting(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                  std::string& error) {
    if (!ReadNumber(entry, "lighting", step.number)) {
        return Fail(error, where, "'lighting' must be a number");
    }
    step.kind = Kind::Lighting;
    return true;
}

bool ReadModule(const JsonValue& entry, const std::string& where, ScenarioStep& step,
                std::string& error) {
    std::string text;
    GetStringMember(entry, "module", text);
    if (!ReadModuleAnswer(text, step.text)) {
        return Fail(error, where, "'module' must be \"finished\", \"error\" or \"silent\"");
    }
    step.kind = Kind::ModuleAnswer;
    return true;
}

// A step whose key alone says everything.
template <Kind kKind>
bool ReadKeyOnly(const JsonValue&, const std::string&, ScenarioStep& step, std::string&) {
    step.kind = kKind;
    return true;
}

constexpr StepKind kStepKinds[] = {
    {{"button"}, KeyHolds::Anything, StepNeeds::Device, ReadButton},
    {{"encoder"}, KeyHolds::Anything, StepNeeds::Device, ReadEncoder},
    {{"headingBug", "course"}, KeyHolds::Number, StepNeeds::Device, ReadSettings},
    {{"plug", "unplug"}, KeyHolds::Anything, StepNeeds::Device, ReadPlug},
    {{"writesFail"}, KeyHolds::Anything, StepNeeds::Device, ReadWritesFail},
    {{"writesStall"}, KeyHolds::Anything, StepNeeds::Device, ReadWritesStall},
    {{"readError"}, KeyHolds::Anything, StepNeeds::Device, ReadReadError},
    {{"simulator"}, KeyHolds::Text, StepNeeds::Simulator, ReadSimulatorStep},
    {{"battery"}, KeyHolds::Anything, StepNeeds::Simulator, ReadBattery},
    {{"lighting"}, KeyHolds::Anything, StepNeeds::Simulator, ReadLighting},
    {{"module"}, KeyHolds::Text, StepNeeds::Simulator, ReadModule},
    {{"simulatorCpu"}, KeyHolds::Anything, StepNeeds::Simulator, ReadKeyOnly<Kind::SimulatorCpu>},
    {{"end"}, KeyHolds::Anything, StepNeeds::Nothing, ReadKeyOnly<Kind::End>},
};

bool Holds(const JsonValue& entry, const char* key, KeyHolds holds) {
    switch (holds) {
        case KeyHolds::Number: {
            double number = 0.0;
            return ReadNumber(entry, key, number);
        }
        case KeyHolds::Text: {
            std::string text;
            return GetStringMember(entry, key, text);
        }
        case KeyHolds::Anything:
        default:
            return Member(entry, key) != nullptr;
    }
}

bool IsOfKind(const JsonValue& entry, const StepKind& kind) {
    for (const char* key : kind.keys) {
        if (key != nullptr && Holds(entry, key, kind.holds)) {
            return true;
        }
    }
    return false;
}

std::string KeyNames(const StepKind& kind) {
    std::string names = kind.keys[0];
    if (kind.keys[1] != nullptr) {
        names.append("/").append(kind.keys[1]);
    }
    return names;
}

}  // namespace

bool ReadStep(const JsonValue& entry, const std::string& where, const Scenario& scenario,
              ScenarioStep& step, std::string& error) {
    if (!entry.IsObject()) {
        return Fail(error, where, "must be an object");
    }
    long at = -1;
    if (!ReadInt(entry, "at", 0, 86400000, at, where, error)) {
        return false;
    }
    if (at < 0) {
        return Fail(error, where, "'at' (milliseconds from the start) is required");
    }
    step.atMs = static_cast<int>(at);

    const bool hasDevice = GetStringMember(entry, "device", step.device);
    const ScenarioDevice* device = nullptr;
    if (hasDevice) {
        for (const auto& d : scenario.devices) {
            if (d.name == step.device) {
                device = &d;
            }
        }
        if (device == nullptr) {
            return Fail(error, where, "unknown device '" + step.device + "'");
        }
    }

    long mode = 0;
    if (!ReadInt(entry, "mode", 0, 255, mode, where, error)) {
        return false;
    }
    step.mode = static_cast<std::uint8_t>(mode);

    for (const StepKind& kind : kStepKinds) {
        if (!IsOfKind(entry, kind)) {
            continue;
        }
        // Built by appending: GCC 12 sees a false overlap in "'" + text at -O3 (-Wrestrict).
        std::string quoted(1, '\'');
        quoted.append(KeyNames(kind)).append("' ");
        if (kind.needs == StepNeeds::Device && device == nullptr) {
            return Fail(error, where, quoted + "needs a 'device'");
        }
        if (kind.needs == StepNeeds::Simulator && !scenario.simulator) {
            return Fail(error, where, quoted + "needs a virtual simulator in the scenario");
        }
        return kind.read(entry, where, step, error);
    }
    return Fail(error, where, "says nothing to do");
}

}  // namespace tarnwick::scenarioread
