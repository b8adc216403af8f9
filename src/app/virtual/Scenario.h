// A scenario for the virtual cockpit: the virtual panel boards and touch panels, the virtual
// simulator, and a timeline of what happens to them. Read from a JSON file with the project's
// own parser; the format is documented in docs/scenario.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/PanelRole.h"
#include "platform/Result.h"

namespace tarnwick {

struct ScenarioDevice {
    std::string name;             // how the timeline refers to the device
    PanelRole role = PanelRole::G1000;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string boardId;          // panel boards: 16 hex digits; empty: no device-info answer
    std::string serial;           // USB serial number; empty: none
    std::uint8_t firmware[3] = {1, 0, 0};
    std::uint8_t protocol[2] = {1, 0};
    bool plugged = true;          // plugged in when the scenario starts
    bool readOnly = false;        // refuses read-write opening
};

struct ScenarioSimulator {
    int startMs = 0;                 // when the simulator process starts
    bool batteryOn = true;           // master battery 2
    std::optional<double> lighting;  // the panel-lighting potentiometer, 0 to 1
    std::string moduleAnswer = "finished";  // "finished", "error" or "silent"
    std::string aircraft;            // the user aircraft's title
};

enum class ScenarioActionKind {
    Button,    // control, value (0 release, 1 press, 2 to 4 hold), mode
    Encoder,   // control, value (signed detents), speed, mode
    Settings,  // touch panel settings: flags, sequence, headingBug, course
    Plug,
    Unplug,
    WritesFail,   // the device's writes fail from now on (number != 0) or work again
    WritesStall,  // number: each write of the device takes that many ms from now on (0: none)
    ReadError,    // the device's pending read fails once, as after a USB stall
    SimStart,
    SimQuit,      // the user closes the simulator
    SimDrop,      // the connection breaks, the simulator keeps running
    Battery,      // number: 0 off, else on
    Lighting,     // number: the potentiometer, 0 to 1
    ModuleAnswer, // text: "finished", "error" or "silent"
    SimulatorCpu, // logs the CPU time the virtual simulator's own work has taken so far
    End,          // the scenario ends: the simulator quits if it still runs
    Aircraft,     // text: the user aircraft's new title
    ReplaceFile,  // text: the configuration file replaced; source: the file put in its place
};

struct ScenarioStep {
    int atMs = 0;
    ScenarioActionKind kind = ScenarioActionKind::End;
    std::string device;
    std::uint16_t control = 0;
    std::int8_t value = 0;
    std::uint8_t speed = 0;
    std::uint8_t mode = 0;
    std::uint8_t flags = 0;
    std::uint16_t sequence = 0;
    float headingBug = 0.0f;
    float course = 0.0f;
    double number = 0.0;
    std::string text;
    std::string source;
};

struct Scenario {
    std::vector<ScenarioDevice> devices;  // empty with hasDevices false: real HID devices
    bool hasDevices = false;
    std::optional<ScenarioSimulator> simulator;  // none: the real simulator
    std::vector<ScenarioStep> steps;             // ordered by time, file order within a time
    int endMs = 0;                               // the time of the final End step
    std::string folder;  // the scenario file's folder (LoadScenario); replaceFile sources are in it
};

// A failure carries one message naming the place of the first problem, for example
// "timeline[3]: unknown device 'mfd'".
Result ParseScenario(const std::string& text, Scenario& scenario);
Result LoadScenario(const std::string& path, Scenario& scenario);

}  // namespace tarnwick
