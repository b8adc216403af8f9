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

using StepReader = Result (*)(const JsonValue& entry, const std::string& where, ScenarioStep& step);

struct StepKind {
    // The step key, or two keys either of which makes the step; messages name them "a/b".
    const char* keys[2];
    KeyHolds holds;
    StepNeeds needs;
    StepReader read;
};

Result ReadButton(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    long control = 0;
    std::string action;
    if (Result read = ReadInt(entry, "button", 0, 65535, control, where); !read) {
        return read;
    }
    GetStringMember(entry, "action", action);
    long level = 2;
    if (Result read = ReadInt(entry, "level", 2, 4, level, where); !read) {
        return read;
    }
    if (action == "press") {
        step.value = 1;
    } else if (action == "release") {
        step.value = 0;
    } else if (action == "hold") {
        step.value = static_cast<std::int8_t>(level);
    } else {
        return Fail(where, "'action' must be \"press\", \"release\" or \"hold\"");
    }
    step.kind = Kind::Button;
    step.control = static_cast<std::uint16_t>(control);
    return Result::Success();
}

Result ReadEncoder(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    long control = 0;
    long detents = 1;
    long speed = 0;
    if (Result read = FirstFailure({ReadInt(entry, "encoder", 0, 65535, control, where),
                                    ReadInt(entry, "detents", -128, 127, detents, where),
                                    ReadInt(entry, "speed", 0, 255, speed, where)});
        !read) {
        return read;
    }
    step.kind = Kind::Encoder;
    step.control = static_cast<std::uint16_t>(control);
    step.value = static_cast<std::int8_t>(detents);
    step.speed = static_cast<std::uint8_t>(speed);
    return Result::Success();
}

Result ReadSettings(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    double heading = 0.0;
    double course = 0.0;
    const bool hasHeading = ReadNumber(entry, "headingBug", heading);
    const bool hasCourse = ReadNumber(entry, "course", course);
    long sequence = 0;
    if (Result read = ReadInt(entry, "sequence", 0, 65535, sequence, where); !read) {
        return read;
    }
    step.kind = Kind::Settings;
    step.flags = static_cast<std::uint8_t>((hasHeading ? 0x01 : 0) | (hasCourse ? 0x02 : 0));
    step.sequence = static_cast<std::uint16_t>(sequence);
    step.headingBug = static_cast<float>(heading);
    step.course = static_cast<float>(course);
    return Result::Success();
}

Result ReadPlug(const JsonValue& entry, const std::string&, ScenarioStep& step) {
    step.kind = Member(entry, "plug") != nullptr ? Kind::Plug : Kind::Unplug;
    return Result::Success();
}

Result ReadWritesFail(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    long fail = 1;
    if (Result read = ReadInt(entry, "writesFail", 0, 1, fail, where); !read) {
        return read;
    }
    step.kind = Kind::WritesFail;
    step.number = static_cast<double>(fail);
    return Result::Success();
}

Result ReadWritesStall(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    long stallMs = 0;
    if (Result read = ReadInt(entry, "writesStall", 0, 86400000, stallMs, where); !read) {
        return read;
    }
    step.kind = Kind::WritesStall;
    step.number = static_cast<double>(stallMs);
    return Result::Success();
}

Result ReadReadError(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    long once = 1;
    if (Result read = ReadInt(entry, "readError", 1, 1, once, where); !read) {
        return read;
    }
    step.kind = Kind::ReadError;
    return Result::Success();
}

Result ReadSimulatorStep(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    std::string text;
    GetStringMember(entry, "simulator", text);
    if (text == "start") {
        step.kind = Kind::SimStart;
    } else if (text == "quit") {
        step.kind = Kind::SimQuit;
    } else if (text == "drop") {
        step.kind = Kind::SimDrop;
    } else {
        return Fail(where, "'simulator' must be \"start\", \"quit\" or \"drop\"");
    }
    return Result::Success();
}

Result ReadBattery(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    long on = 1;
    if (Result read = ReadInt(entry, "battery", 0, 1, on, where); !read) {
        return read;
    }
    step.kind = Kind::Battery;
    step.number = static_cast<double>(on);
    return Result::Success();
}

Result ReadAircraft(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    if (!GetStringMember(entry, "aircraft", step.text)) {
        return Fail(where, "'aircraft' must be a string");
    }
    step.kind = Kind::Aircraft;
    return Result::Success();
}

Result ReadLighting(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    if (!ReadNumber(entry, "lighting", step.number)) {
        return Fail(where, "'lighting' must be a number");
    }
    step.kind = Kind::Lighting;
    return Result::Success();
}

Result ReadModule(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    std::string text;
    GetStringMember(entry, "module", text);
    if (!ReadModuleAnswer(text, step.text)) {
        return Fail(where, "'module' must be \"finished\", \"error\" or \"silent\"");
    }
    step.kind = Kind::ModuleAnswer;
    return Result::Success();
}

Result ReadReplaceFile(const JsonValue& entry, const std::string& where, ScenarioStep& step) {
    GetStringMember(entry, "replaceFile", step.text);
    if (!GetStringMember(entry, "with", step.source) || step.text.empty() || step.source.empty()) {
        return Fail(where, "'replaceFile' needs a file name and 'with' the file to put there");
    }
    step.kind = Kind::ReplaceFile;
    return Result::Success();
}

// A step whose key alone says everything.
template <Kind kKind>
Result ReadKeyOnly(const JsonValue&, const std::string&, ScenarioStep& step) {
    step.kind = kKind;
    return Result::Success();
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
    {{"aircraft"}, KeyHolds::Anything, StepNeeds::Simulator, ReadAircraft},
    {{"lighting"}, KeyHolds::Anything, StepNeeds::Simulator, ReadLighting},
    {{"module"}, KeyHolds::Text, StepNeeds::Simulator, ReadModule},
    {{"simulatorCpu"}, KeyHolds::Anything, StepNeeds::Simulator, ReadKeyOnly<Kind::SimulatorCpu>},
    {{"replaceFile"}, KeyHolds::Text, StepNeeds::Nothing, ReadReplaceFile},
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

Result ReadStep(const JsonValue& entry, const std::string& where, const Scenario& scenario,
                ScenarioStep& step) {
    if (!entry.IsObject()) {
        return Fail(where, "must be an object");
    }
    long at = -1;
    if (Result read = ReadInt(entry, "at", 0, 86400000, at, where); !read) {
        return read;
    }
    if (at < 0) {
        return Fail(where, "'at' (milliseconds from the start) is required");
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
            return Fail(where, "unknown device '" + step.device + "'");
        }
    }

    long mode = 0;
    if (Result read = ReadInt(entry, "mode", 0, 255, mode, where); !read) {
        return read;
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
            return Fail(where, quoted + "needs a 'device'");
        }
        if (kind.needs == StepNeeds::Simulator && !scenario.simulator) {
            return Fail(where, quoted + "needs a virtual simulator in the scenario");
        }
        return kind.read(entry, where, step);
    }
    return Fail(where, "says nothing to do");
}

}  // namespace tarnwick::scenarioread
