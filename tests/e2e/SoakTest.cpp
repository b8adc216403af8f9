// A soak of the whole bridge, in-process over the virtual cockpit (two panel boards, a touch
// panel, the virtual simulator with the MobiFlight module): for TARNWICK_SOAK_SECONDS (10 by
// default) random presses, releases and holds, encoder turns slow and fast, touch-panel
// settings, boards and the panel unplugged and plugged again, and the simulator dropping the
// connection, crashing and restarting, or closing (which ends a bridge run; the next one starts as
// the simulator would start it). The seed is printed; TARNWICK_SOAK_SEED replays a run.
//
// Checked: nothing crashes; memory stays flat after a warm-up; every bridge run stops in order,
// Run returning within 500 ms of the stop request; and every command is accounted for.
//
// The accounting is exact where the program guarantees delivery. The "ACC" controls are pressed
// (and the "ACC" knob turned) only while the simulator is connected, the MobiFlight client
// registered and the board open in the current bridge run, and before anything may disturb a
// delivery (the connection dropped, the simulator leaving, a board unplugged) the soak waits
// until every such command has reached the module. So each of them must arrive exactly once. The
// other controls are used at any moment; for them a command may be lost, but never sent more
// often than it was asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "hid/HidProtocol.h"
#include "log/Logger.h"
#include "support/InProcessBridge.h"
#include "support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARNWICK_SOAK_SANITIZED 1
// Bytes the program holds on the sanitizer's heap (freed blocks in quarantine not counted).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kVendor = 0x2E8A;
constexpr std::uint16_t kBoardProduct = 0x10F0;
constexpr std::uint16_t kPanelProduct = 0x10F1;

// Controls, by id. The ACC ones are only used when delivery is guaranteed.
constexpr int kAccButtons = 6;
constexpr std::uint16_t kAccFirst = 100;
constexpr std::uint16_t kAccKnob = 110;
constexpr int kChaosButtons = 4;
constexpr std::uint16_t kChaosFirst = 20;
constexpr std::uint16_t kMapFirst = 50;  // MAP_LEFT, MAP_RIGHT, MAP_UP, MAP_DOWN
constexpr std::uint16_t kChaosKnob = 60;
constexpr std::uint16_t kAutopilot = 5;  // in the event map, not in the buttons: AP_MASTER
const char* const kMapNames[] = {"MAP_LEFT", "MAP_RIGHT", "MAP_UP", "MAP_DOWN"};
constexpr const char* kSubscribeCommand = "MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)";
constexpr std::uint8_t kFastSpeed = 4;

constexpr auto kStopLimit = 500ms;
constexpr std::uint64_t kMemorySlack = 8u << 20;
constexpr auto kPatience = 20s;  // for what must happen: generous for a loaded machine

std::string AccName(int i) { return "ACC_" + std::to_string(i); }
std::string ChaosName(int i) { return "BTN_" + std::to_string(i); }

// One command text per control, role and action, so that the module's record says who sent it.
std::string Rpn(const std::string& control, const std::string& role, const std::string& action) {
    std::string rpn = "(>H:";
    rpn.append(control).append("_").append(role).append("_").append(action).append(")");
    return rpn;
}
// How the module's record shows an RPN command it ran.
std::string Executed(const std::string& rpn) { return "1 " + rpn; }

std::string ButtonsJson() {
    std::string buttons;
    const auto add = [&](const std::string& name, const std::vector<std::string>& actions) {
        if (!buttons.empty()) {
            buttons.append(",\n");
        }
        buttons.append(R"({ "name": ")").append(name).append(R"(", "commands": {)");
        for (std::size_t a = 0; a < actions.size(); ++a) {
            buttons.append(a == 0 ? " \"" : ", \"").append(actions[a]).append("\": {");
            for (const char* role : {"PFD", "MFD"}) {
                buttons.append(role[0] == 'P' ? " \"" : ", \"").append(role).append("\": \"");
                buttons.append(Rpn(name, role, actions[a])).append("\"");
            }
            buttons.append(" }");
        }
        buttons.append(" } }");
    };
    for (int i = 0; i < kAccButtons; ++i) {
        add(AccName(i), {"PRESS"});
    }
    for (int i = 0; i < kChaosButtons; ++i) {
        add(ChaosName(i), {"PRESS", "HOLD"});
    }
    for (const char* map : kMapNames) {
        add(map, {"PRESS", "HOLD"});
    }
    std::string knobs;
    for (const char* knob : {"ACC_KNOB", "HDG_KNOB"}) {
        if (!knobs.empty()) {
            knobs.append(",\n");
        }
        knobs.append(R"({ "name": ")").append(knob).append(R"(", "commands": {)");
        bool first = true;
        for (const char* action : {"CW", "CCW", "CW_FAST", "CCW_FAST"}) {
            knobs.append(first ? " \"" : ", \"").append(action).append("\": {");
            first = false;
            for (const char* role : {"PFD", "MFD"}) {
                knobs.append(role[0] == 'P' ? " \"" : ", \"").append(role).append("\": \"");
                knobs.append(Rpn(knob, role, action)).append("\"");
            }
            knobs.append(" }");
        }
        knobs.append(" } }");
    }
    std::string json = "{ \"buttons\": [\n";
    json.append(buttons).append("\n], \"knobs\": [\n").append(knobs).append("\n] }\n");
    return json;
}

std::string EventMapJson() {
    std::string ids = "\"AP\": " + std::to_string(kAutopilot);
    for (int i = 0; i < kAccButtons; ++i) {
        ids.append(", \"").append(AccName(i)).append("\": ");
        ids.append(std::to_string(kAccFirst + i));
    }
    for (int i = 0; i < kChaosButtons; ++i) {
        ids.append(", \"").append(ChaosName(i)).append("\": ");
        ids.append(std::to_string(kChaosFirst + i));
    }
    for (int i = 0; i < 4; ++i) {
        ids.append(", \"").append(kMapNames[i]).append("\": ");
        ids.append(std::to_string(kMapFirst + i));
    }
    ids.append(", \"ACC_KNOB\": ").append(std::to_string(kAccKnob));
    ids.append(", \"HDG_KNOB\": ").append(std::to_string(kChaosKnob));
    std::string json = R"({ "event_types": { "BUTTON": 1, "ENCODER": 2 }, "control_ids": { )";
    json.append(ids).append(" } }\n");
    return json;
}

const char* kConfig = R"js({
  "hid": { "devices": [
      { "vid": "0x2E8A", "pid": "0x10F0", "role": "g1000" },
      { "vid": "0x2E8A", "pid": "0x10F1", "role": "touchpanel" } ],
    "telemetryIntervalMs": 50 },
  "mappings": { "buttonConfigPath": "buttons.json" },
  "mobiflight": { "mapHoldRepeatMs": 20 },
  "logging": { "debug": 1 }
})js";

// The cockpit: the soak plugs the devices itself, so that it owns their set-ups for replugging.
const char* kScenario = R"js({
  "devices": [
    { "name": "pfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "E66118604B1F2A31", "plugged": 0 },
    { "name": "mfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "0011223344556677", "plugged": 0 },
    { "name": "touch", "role": "touchpanel", "vid": "0x2E8A", "pid": "0x10F1", "serial": "TP-1",
      "plugged": 0 }
  ],
  "simulator": {}
})js";

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kPatience,
             std::chrono::milliseconds poll = 2ms) {
    return test::WaitUntil(condition, timeout, poll);
}

int SoakSeconds() {
    const char* text = std::getenv("TARNWICK_SOAK_SECONDS");
    if (text == nullptr || *text == '\0') {
        return 10;
    }
    const long seconds = std::strtol(text, nullptr, 10);
    return seconds > 0 ? static_cast<int>(seconds) : 10;
}

std::uint32_t SoakSeed() {
    const char* text = std::getenv("TARNWICK_SOAK_SEED");
    if (text != nullptr && *text != '\0') {
        return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    }
    return std::random_device{}();
}

#ifdef __linux__
std::optional<std::uint64_t> ResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
        }
    }
    return std::nullopt;
}
#endif

// What the memory check watches. Under a sanitizer the resident size mostly shows the
// sanitizer's own bookkeeping (freed blocks held in quarantine, shadow memory), so there it is
// the heap the program holds; elsewhere the resident size. Nothing off Linux.
std::optional<std::uint64_t> MemoryInUse() {
#if defined(TARNWICK_SOAK_SANITIZED)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__linux__)
    return ResidentBytes();
#else
    return std::nullopt;
#endif
}

const char* MemoryKind() {
#if defined(TARNWICK_SOAK_SANITIZED)
    return "sanitizer heap in use";
#else
    return "VmRSS";
#endif
}

// A control held down on a board: when it comes up, and when the board next repeats its hold
// report.
struct Held {
    Clock::time_point releaseAt;
    Clock::time_point nextHoldReport;
};

// One of the cockpit's devices, as the soak plugs and unplugs it.
struct Unit {
    std::string name;
    bool touchPanel = false;
    std::uint8_t mode = 0;  // the event mode its reports carry: 0 PFD, 1 MFD
    std::string role;       // the role that mode stands for
    VirtualHidDeviceSetup setup;
    std::shared_ptr<VirtualHidDevice> device;  // null while unplugged
    // The device object last unplugged, until the bridge has closed it: the same path plugged in
    // again before the bridge noticed the removal would be taken for the old device.
    std::shared_ptr<VirtualHidDevice> gone;
    Clock::time_point unpluggedAt{};
    // Reads started on `device` before the current bridge run opened it.
    std::uint64_t readsBase = 0;
    std::map<std::uint16_t, Held> held;
};

// One bridge run: from Initialize to Run's return.
struct Session {
    std::unique_ptr<Application> app;
    std::thread runner;
    std::atomic<bool> returned{false};
    std::atomic<std::int64_t> returnedAt{0};  // steady-clock ticks
    bool leaveMade = false;  // the simulator left during this run: a stop is expected
};

class SoakTest : public testing::Test {
protected:
    void SetUp() override {
        dir_.Write("bin/config/config.json", kConfig);
        dir_.Write("bin/config/buttons.json", ButtonsJson());
        dir_.Write("bin/config/hid_event_map.json", EventMapJson());
        cockpit_ = test::MakeCockpit(kScenario);

        HidProtocol::DeviceInfo pfdInfo;
        pfdInfo.firmwareMajor = 1;
        pfdInfo.boardId = {0xE6, 0x61, 0x18, 0x60, 0x4B, 0x1F, 0x2A, 0x31};
        HidProtocol::DeviceInfo mfdInfo = pfdInfo;
        mfdInfo.boardId = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
        const HidProtocol::ProtocolInfo protocol{1, 0, 0};
        units_.resize(3);
        units_[0].name = "pfd";
        units_[0].mode = 0;
        units_[0].role = "PFD";
        units_[0].setup = VirtualPanelBoardSetup("\\\\?\\hid#vid_2e8a&pid_10f0#soak&pfd", kVendor,
                                                 kBoardProduct, pfdInfo, protocol);
        units_[1].name = "mfd";
        units_[1].mode = 1;
        units_[1].role = "MFD";
        units_[1].setup = VirtualPanelBoardSetup("\\\\?\\hid#vid_2e8a&pid_10f0#soak&mfd", kVendor,
                                                 kBoardProduct, mfdInfo, protocol);
        units_[2].name = "touch";
        units_[2].touchPanel = true;
        units_[2].setup = VirtualTouchPanelSetup("\\\\?\\hid#vid_2e8a&pid_10f1#soak&touch",
                                                 kVendor, kPanelProduct, "TP-1");
        for (Unit& unit : units_) {
            // A long run writes telemetry and LED states without end; keep only the newest.
            unit.setup.writeLogLimit = 64;
            unit.device = Hid().Plug(unit.setup);
            ASSERT_NE(unit.device, nullptr);
        }
    }

    void TearDown() override {
        if (session_ != nullptr) {
            session_->app->RequestStop();
            if (session_->runner.joinable()) {
                session_->runner.join();
            }
            Hid().SetHotplugListener({});
            session_.reset();
        }
        Logger::Instance().Shutdown();
    }

    VirtualHidBackend& Hid() { return cockpit_->HidBackendFor(); }
    VirtualSimulator& Sim() { return cockpit_->Simulator(); }

    template <typename T>
    T Uniform(T low, T high) {
        if constexpr (std::is_floating_point_v<T>) {
            return std::uniform_real_distribution<T>(low, high)(rng_);
        } else {
            return std::uniform_int_distribution<T>(low, high)(rng_);
        }
    }
    bool Chance(int perTenThousand) { return Uniform(0, 9999) < perTenThousand; }

    // --- Bridge runs --------------------------------------------------------------------------

    bool StartSession() {
        for (Unit& unit : units_) {
            if (unit.device != nullptr) {
                unit.readsBase = unit.device->ReadsStarted();
            }
        }
        // No bridge runs now, so no connection can add to the record before this count.
        subscribesAtEpoch_ = Subscribes();
        simReady_ = false;

        auto session = std::make_unique<Session>();
        session->app = std::make_unique<Application>(test::CockpitPlatform(services_, *cockpit_));
        const Result started = session->app->Initialize(dir_.File("bin/config/config.json"), false);
        if (!started) {
            ADD_FAILURE() << "bridge run " << sessions_ + 1 << " failed to start: " << started.Error();
            Hid().SetHotplugListener({});
            aborted_ = true;
            return false;
        }
        Session* running = session.get();
        session->runner = std::thread([running] {
            running->app->Run();
            running->returnedAt.store(Clock::now().time_since_epoch().count());
            running->returned.store(true);
        });
        session_ = std::move(session);
        ++sessions_;
        logPath_ = Logger::Instance().FilePath();
        return true;
    }

    // Waits for the run's stop request (made by the simulator leaving, or by `request`), then
    // for Run to return, and checks how long that took.
    void EndSession(bool request) {
        Session& session = *session_;
        if (request) {
            session.app->RequestStop();
        } else if (!WaitFor([&] { return session.app->StopFlag().load(); })) {
            ADD_FAILURE() << "the bridge did not ask to stop after the simulator left";
            session.app->RequestStop();
        }
        const auto requested = Clock::now();
        if (!WaitFor([&] { return session.returned.load(); })) {
            ADD_FAILURE() << "Run did not return within " << kPatience.count()
                          << " s of the stop request";
        }
        session.runner.join();
        const auto returnedAt = Clock::time_point(Clock::duration(session.returnedAt.load()));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(returnedAt - requested, Clock::duration::zero()));
        longestStop_ = std::max(longestStop_, took);
        EXPECT_LE(took, kStopLimit) << "Run returned " << took.count()
                                    << " ms after the stop request (run " << sessions_ << ")";
        Hid().SetHotplugListener({});
        session_.reset();
    }

    // The run asked to stop: expected only after the simulator left.
    void HandleStopRequests() {
        if (session_ == nullptr || !session_->app->StopFlag().load()) {
            return;
        }
        EXPECT_TRUE(session_->leaveMade) << "the bridge asked to stop with the simulator running";
        EndSession(false);
        StartSession();
    }

    // --- Readiness ----------------------------------------------------------------------------

    std::size_t Subscribes() {
        const auto commands = Sim().ModuleCommands();
        return static_cast<std::size_t>(
            std::count(commands.begin(), commands.end(), std::string(kSubscribeCommand)));
    }

    // Connected and registered, as proven by the subscription the client queues right after the
    // module's acknowledgement: a subscription newer than the last disturbance. Stays true until
    // the soak itself disturbs the connection.
    bool SimReady() {
        if (simReady_) {
            return true;
        }
        if (session_ == nullptr || !Sim().IsRunning()) {
            return false;
        }
        const auto now = Clock::now();
        if (now - lastReadyPoll_ < 20ms) {
            return false;
        }
        lastReadyPoll_ = now;
        simReady_ = Subscribes() > subscribesAtEpoch_;
        return simReady_;
    }

    // The current run reads the board: a read has started on it since the run opened it, so its
    // reports reach the reader's queue from now on.
    bool HidReady(const Unit& unit) const {
        return session_ != nullptr && unit.device != nullptr &&
               unit.device->ReadsStarted() > unit.readsBase;
    }

    bool Ready(const Unit& unit) { return HidReady(unit) && SimReady(); }

    // Before the connection may be disturbed: the count of subscriptions is stable while the
    // client stays registered, and once the old connection is broken it cannot add to it.
    void BeginSimEpoch() {
        subscribesAtEpoch_ = Subscribes();
        simReady_ = false;
    }

    // --- Accounting ---------------------------------------------------------------------------

    std::map<std::string, std::uint64_t> AccountedCounts() {
        std::map<std::string, std::uint64_t> counts = harvestedAccounted_;
        for (const auto& code : Sim().ExecutedCode()) {
            if (expected_.count(code) != 0) {
                ++counts[code];
            }
        }
        return counts;
    }

    // Moves the simulator's records into running counts and clears them, so that their growth
    // does not count as the bridge's memory. Only while nothing accounted is on its way and the
    // registration is settled (no subscription can be pending), so the clearing swallows nothing
    // that is waited for; a record landing between the copy and the clearing is lost, which can
    // only make the upper bounds easier to keep.
    void Harvest(Clock::time_point now) {
        if (now < nextHarvest_ || outstanding_ != 0 || !simReady_) {
            return;
        }
        nextHarvest_ = now + 1s;
        const auto code = Sim().ExecutedCode();
        const auto events = Sim().Events();
        const int misuses = Sim().HandleMisuses();
        Sim().ClearRecords();
        subscribesAtEpoch_ = 0;
        for (const auto& entry : code) {
            if (expected_.count(entry) != 0) {
                ++harvestedAccounted_[entry];
            } else if (bound_.count(entry) != 0) {
                ++harvestedBounded_[entry];
            }
        }
        for (const auto& event : events) {
            ++harvestedEvents_[event.name];
        }
        misuses_ += misuses;
    }

    std::string AccountingDifferences(const std::map<std::string, std::uint64_t>& counts) {
        std::ostringstream text;
        for (const auto& [code, expected] : expected_) {
            const auto found = counts.find(code);
            const std::uint64_t seen = found == counts.end() ? 0 : found->second;
            if (seen != expected) {
                text << "\n  " << code << ": expected " << expected << ", the module ran " << seen;
            }
        }
        return text.str();
    }

    // Waits until every accounted command has reached the module, and checks that none came
    // twice. False (with a failure recorded) when that does not happen in time.
    bool Drain() {
        if (aborted_) {
            return false;  // already reported; waiting again would only repeat it
        }
        if (outstanding_ == 0) {
            return true;
        }
        std::map<std::string, std::uint64_t> counts;
        const bool arrived = WaitFor(
            [&] {
                counts = AccountedCounts();
                for (const auto& [code, expected] : expected_) {
                    if (counts[code] < expected) {
                        return false;
                    }
                }
                return true;
            },
            kPatience, 5ms);
        const std::string differences = AccountingDifferences(counts);
        if (!arrived || !differences.empty()) {
            ADD_FAILURE() << "accounted commands (seed " << seed_ << "):" << differences;
            aborted_ = true;
            return false;
        }
        outstanding_ = 0;
        return true;
    }

    void Expect(const std::string& rpn, std::uint64_t times) {
        expected_[Executed(rpn)] += times;
        outstanding_ += times;
    }
    void Bound(const std::string& rpn, std::uint64_t times) { bound_[Executed(rpn)] += times; }

    // --- The devices' side --------------------------------------------------------------------

    bool Send(Unit& unit, std::uint8_t type, std::uint16_t control, std::int8_t value,
              std::uint8_t speed = 0) {
        if (unit.device == nullptr) {
            return false;
        }
        HidProtocol::HidEvent event;
        event.type = type;
        event.controlId = control;
        event.value = value;
        event.speed = speed;
        event.mode = unit.mode;
        return unit.device->SendEvent(event);
    }
    bool Button(Unit& unit, std::uint16_t control, std::int8_t value) {
        return Send(unit, HidProtocol::kControlTypeButton, control, value);
    }

    static bool IsMap(std::uint16_t control) {
        return control >= kMapFirst && control < kMapFirst + 4;
    }
    static std::string ControlName(std::uint16_t control) {
        return IsMap(control) ? kMapNames[control - kMapFirst] : ChaosName(control - kChaosFirst);
    }

    // Presses a chaos button or a map control and keeps it down for a while; the board repeats
    // its hold report meanwhile.
    void PressAndHold(Unit& unit) {
        const std::uint16_t control = Chance(5000)
                                          ? static_cast<std::uint16_t>(kMapFirst + Uniform(0, 3))
                                          : static_cast<std::uint16_t>(
                                                kChaosFirst + Uniform(0, kChaosButtons - 1));
        if (unit.held.count(control) != 0 || !Button(unit, control, 1)) {
            return;
        }
        Bound(Rpn(ControlName(control), unit.role, "PRESS"), 1);
        const auto now = Clock::now();
        const auto down = Chance(3000) ? std::chrono::milliseconds(Uniform(5, 60))
                                       : std::chrono::milliseconds(Uniform(100, 900));
        unit.held[control] = Held{now + down, now + std::chrono::milliseconds(Uniform(40, 120))};
        ++stats_.presses;
    }

    void ServiceHeld(Unit& unit, Clock::time_point now) {
        for (auto it = unit.held.begin(); it != unit.held.end();) {
            const std::uint16_t control = it->first;
            Held& held = it->second;
            if (now >= held.releaseAt) {
                Button(unit, control, 0);
                it = unit.held.erase(it);
                continue;
            }
            if (now >= held.nextHoldReport) {
                if (Button(unit, control, static_cast<std::int8_t>(Uniform(2, 4))) &&
                    !IsMap(control)) {
                    // A held button queues its hold command once while one waits (Dedupe);
                    // a held map control repeats on the engine's own clock, unbounded here.
                    Bound(Rpn(ControlName(control), unit.role, "HOLD"), 1);
                }
                held.nextHoldReport = now + std::chrono::milliseconds(Uniform(60, 140));
            }
            ++it;
        }
    }

    void ReleaseAll(Unit& unit) {
        for (const auto& [control, held] : unit.held) {
            Button(unit, control, 0);
        }
        unit.held.clear();
    }

    // A turn of `knob`: slow turns count their detents (at least the reported speed), a fast
    // turn sends its fast command once.
    void Turn(Unit& unit, std::uint16_t knob, bool accounted) {
        const int detents = Uniform(1, 3);
        const bool clockwise = Chance(5000);
        const std::uint8_t speed = static_cast<std::uint8_t>(Chance(3000) ? Uniform(4, 6)
                                                                          : Uniform(0, 3));
        const std::int8_t value = static_cast<std::int8_t>(clockwise ? detents : -detents);
        if (!Send(unit, HidProtocol::kControlTypeEncoder, knob, value, speed)) {
            return;
        }
        const std::string name = knob == kAccKnob ? "ACC_KNOB" : "HDG_KNOB";
        std::string action = clockwise ? "CW" : "CCW";
        std::uint64_t times = static_cast<std::uint64_t>(std::max<int>(detents, speed));
        if (speed >= kFastSpeed) {
            action += "_FAST";
            times = 1;
        }
        if (accounted) {
            Expect(Rpn(name, unit.role, action), times);
            ++stats_.accountedTurns;
        } else {
            Bound(Rpn(name, unit.role, action), times);
            ++stats_.turns;
        }
    }

    void AccountedPress(Unit& unit) {
        const int i = Uniform(0, kAccButtons - 1);
        const std::uint16_t control = static_cast<std::uint16_t>(kAccFirst + i);
        ASSERT_TRUE(Button(unit, control, 1));
        Button(unit, control, 0);
        Expect(Rpn(AccName(i), unit.role, "PRESS"), 1);
        ++stats_.accountedPresses;
    }

    void PanelSettings(Unit& panel) {
        if (panel.device == nullptr) {
            return;
        }
        TelemetryProtocol::Settings settings;
        settings.flags = static_cast<std::uint8_t>(Uniform(1, 3));
        // Now and then a repeated report, which the bridge must not forward twice.
        settings.sequence = Chance(2000) ? settingsSequence_ : ++settingsSequence_;
        settings.headingBug = Chance(300) ? std::nanf("") : Uniform(-400.0f, 800.0f);
        settings.course = Uniform(0.0f, 360.0f);
        if (panel.device->SendSettings(settings)) {
            headingReports_ += (settings.flags & 1) != 0 ? 1 : 0;
            courseReports_ += (settings.flags & 2) != 0 ? 1 : 0;
            ++stats_.settings;
        }
    }

    void Unplug(Unit& unit) {
        if (unit.device == nullptr) {
            return;
        }
        ReleaseAll(unit);
        // Reports still in the board's queue would be lost with it.
        if (!unit.touchPanel && !Drain()) {
            return;
        }
        ASSERT_TRUE(Hid().Unplug(unit.device->Path()));
        unit.gone = std::move(unit.device);
        unit.unpluggedAt = Clock::now();
        ++stats_.unplugs;
    }

    void Plug(Unit& unit) {
        if (unit.device != nullptr) {
            return;
        }
        if (unit.gone != nullptr && unit.gone->OpenHandleCount() != 0) {
            if (Clock::now() - unit.unpluggedAt > kPatience) {
                ADD_FAILURE() << "the bridge kept " << unit.name << " open "
                              << kPatience.count() << " s after it was unplugged";
                aborted_ = true;
            }
            return;
        }
        unit.device = Hid().Plug(unit.setup);
        ASSERT_NE(unit.device, nullptr) << unit.name;
        unit.gone.reset();
        unit.readsBase = 0;
        ++stats_.plugs;
    }

    // --- The simulator's side -----------------------------------------------------------------

    void DropConnection() {
        if (!Drain()) {
            return;
        }
        BeginSimEpoch();
        Sim().DropConnections();
        ++stats_.drops;
    }

    // A crash and an immediate restart: the bridge either connects again or, having seen no
    // simulator in between, stops.
    void Flap() {
        if (!Drain()) {
            return;
        }
        BeginSimEpoch();
        session_->leaveMade = true;
        Sim().SetRunning(false);
        Sim().SetRunning(true);
        ++stats_.flaps;
    }

    // The simulator closes or crashes; the bridge run ends. The next run starts, most of the time
    // after the simulator has started again (as the simulator starts it), else before.
    void Leave() {
        if (!Drain()) {
            return;
        }
        session_->leaveMade = true;
        if (Chance(5000)) {
            Sim().Quit();
            ++stats_.quits;
        } else {
            Sim().SetRunning(false);
            ++stats_.crashes;
        }
        EndSession(false);
        if (Chance(7500)) {
            Sim().SetRunning(true);
        }
        StartSession();
    }

    void SampleMemory(Clock::time_point now) {
        if (now < nextSample_) {
            return;
        }
        nextSample_ = now + 500ms;
        const auto bytes = MemoryInUse();
        if (!bytes) {
            return;
        }
        if (now < warmUpEnd_) {
            return;
        }
        if (!baseline_) {
            baseline_ = *bytes;
        }
        peak_ = std::max(peak_, *bytes);
    }

    // --- The soak -----------------------------------------------------------------------------

    void Step(Clock::time_point now) {
        HandleStopRequests();
        for (Unit& unit : units_) {
            ServiceHeld(unit, now);
        }
        Unit& board = units_[static_cast<std::size_t>(Uniform(0, 1))];
        Unit& panel = units_[2];
        Unit& any = units_[static_cast<std::size_t>(Uniform(0, 2))];
        const int roll = Uniform(0, 9999);
        if (roll < 1500) {
            PressAndHold(board);
        } else if (roll < 3000) {
            if (Ready(board)) {
                AccountedPress(board);
            }
        } else if (roll < 3800) {
            if (Ready(board)) {
                Turn(board, kAccKnob, true);
            }
        } else if (roll < 5000) {
            Turn(board, kChaosKnob, false);
        } else if (roll < 5200) {
            if (Button(board, kAutopilot, 1)) {
                ++apPresses_;
            }
            Button(board, kAutopilot, 0);
        } else if (roll < 6000) {
            PanelSettings(panel);
        } else if (roll < 6150) {
            Sim().SetLVar(VirtualSimulator::kLightingPotentiometer, Uniform(0.0, 1.0));
        } else if (roll < 6180) {
            Sim().SetMasterBattery2(Chance(7000));
        } else if (roll < 6215) {
            Unplug(any);
        } else if (roll < 6300) {
            Plug(any);
        } else if (roll < 6315) {
            if (SimReady()) {
                DropConnection();
            }
        } else if (roll < 6322) {
            if (SimReady()) {
                Leave();
            }
        } else if (roll < 6325) {
            if (SimReady()) {
                Flap();
            }
        } else if (roll < 6600) {
            if (!Sim().IsRunning()) {
                Sim().SetRunning(true);
            }
        }
        Harvest(now);
        SampleMemory(now);
    }

    // Everything plugged in, the simulator up, a run that is ready; then one accounted use of
    // every accounted control on both boards.
    void FinalRound() {
        for (Unit& unit : units_) {
            ReleaseAll(unit);
        }
        for (Unit& unit : units_) {
            if (unit.device == nullptr) {
                if (!WaitFor([&] { return unit.gone == nullptr || unit.gone->OpenHandleCount() == 0; })) {
                    ADD_FAILURE() << "the bridge kept " << unit.name << " open after it was unplugged";
                    aborted_ = true;
                    return;
                }
                Plug(unit);
            }
        }
        if (!Sim().IsRunning()) {
            Sim().SetRunning(true);
        }
        const bool ready = WaitFor(
            [&] {
                HandleStopRequests();
                return session_ != nullptr && Ready(units_[0]) && Ready(units_[1]);
            },
            60s, 5ms);
        if (!ready) {
            ADD_FAILURE() << "the bridge did not become ready for the final round (seed " << seed_
                          << ")";
            aborted_ = true;
            return;
        }
        for (int b = 0; b < 2; ++b) {
            Unit& unit = units_[static_cast<std::size_t>(b)];
            for (int i = 0; i < kAccButtons; ++i) {
                const std::uint16_t control = static_cast<std::uint16_t>(kAccFirst + i);
                ASSERT_TRUE(Button(unit, control, 1));
                Button(unit, control, 0);
                Expect(Rpn(AccName(i), unit.role, "PRESS"), 1);
            }
            Turn(unit, kAccKnob, true);
        }
        Drain();
    }

    void CheckBounds() {
        std::map<std::string, std::uint64_t> counts = harvestedBounded_;
        for (const auto& code : Sim().ExecutedCode()) {
            ++counts[code];
        }
        for (const auto& [code, most] : bound_) {
            EXPECT_LE(counts[code], most) << code << " ran more often than it was asked for";
        }
        std::map<std::string, std::uint64_t> events = harvestedEvents_;
        for (const auto& event : Sim().Events()) {
            ++events[event.name];
        }
        EXPECT_LE(events["AP_MASTER"], apPresses_);
        EXPECT_LE(events["HEADING_BUG_SET"], headingReports_);
        EXPECT_LE(events["VOR1_SET"], courseReports_);
        EXPECT_EQ(misuses_ + Sim().HandleMisuses(), 0);
    }

    test::TempDir dir_;
    test::FakeServices services_{dir_.File("bin/TarnwickHID.exe"), dir_.File("ProgramData")};
    std::unique_ptr<VirtualCockpit> cockpit_;
    std::vector<Unit> units_;
    std::unique_ptr<Session> session_;
    std::string logPath_;

    std::uint32_t seed_ = 0;
    std::mt19937 rng_;
    bool aborted_ = false;
    int sessions_ = 0;
    std::chrono::milliseconds longestStop_{0};

    std::size_t subscribesAtEpoch_ = 0;
    bool simReady_ = false;
    Clock::time_point lastReadyPoll_{};

    std::map<std::string, std::uint64_t> expected_;  // exactly this often
    std::map<std::string, std::uint64_t> bound_;     // at most this often
    // What Harvest took out of the simulator's records.
    std::map<std::string, std::uint64_t> harvestedAccounted_;
    std::map<std::string, std::uint64_t> harvestedBounded_;
    std::map<std::string, std::uint64_t> harvestedEvents_;
    int misuses_ = 0;
    Clock::time_point nextHarvest_{};
    std::uint64_t outstanding_ = 0;
    std::uint64_t apPresses_ = 0;
    std::uint64_t headingReports_ = 0;
    std::uint64_t courseReports_ = 0;
    std::uint16_t settingsSequence_ = 0;

    Clock::time_point warmUpEnd_{};
    Clock::time_point nextSample_{};
    std::optional<std::uint64_t> baseline_;
    std::uint64_t peak_ = 0;

    struct {
        std::uint64_t presses = 0, accountedPresses = 0, turns = 0, accountedTurns = 0,
                      settings = 0, unplugs = 0, plugs = 0, drops = 0, flaps = 0, quits = 0,
                      crashes = 0;
    } stats_;
};

TEST_F(SoakTest, RandomUseOverManyConnectionsAndPlugsLosesNothingAndStopsInOrder) {
    const int seconds = SoakSeconds();
    seed_ = SoakSeed();
    rng_.seed(seed_);
    std::cout << "soak: " << seconds << " s, seed " << seed_ << " (TARNWICK_SOAK_SEED=" << seed_
              << " replays it)" << std::endl;
    RecordProperty("seed", std::to_string(seed_));

    Sim().SetRunning(true);
    ASSERT_TRUE(StartSession());
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    // Thread stacks, allocator arenas and the first records settle in during the first quarter.
    warmUpEnd_ = start + std::max<Clock::duration>(3s, std::chrono::seconds(seconds) / 4);
    while (!aborted_ && !HasFatalFailure()) {
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        Step(now);
        std::this_thread::sleep_for(std::chrono::milliseconds(Uniform(1, 8)));
    }
    if (!aborted_ && !HasFatalFailure()) {
        FinalRound();
    }

    if (session_ != nullptr) {
        Drain();
        EndSession(true);
    }
    ASSERT_FALSE(HasFatalFailure());

    CheckBounds();
    if (!aborted_) {
        // A command that came twice after the last wait shows up only now.
        const std::string differences = AccountingDifferences(AccountedCounts());
        EXPECT_TRUE(differences.empty()) << "accounted commands:" << differences;
    }
    EXPECT_EQ(Sim().CallsInProgress(), 0);
    EXPECT_EQ(Sim().OpenConnectionCount(), 0);

    // Every run started and stopped in order.
    const auto log = test::LogLinesWithBackups(logPath_);
    const auto count = [&](const std::string& line) {
        return static_cast<int>(std::count(log.begin(), log.end(), line));
    };
    EXPECT_EQ(count("[INFO] Application run loop started"), sessions_);
    EXPECT_EQ(count("[INFO] Application run loop stopped"), sessions_);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("[ERROR]", 0) == 0; }),
              0);

    std::uint64_t accounted = 0;
    for (const auto& [code, times] : expected_) {
        accounted += times;
    }
    std::cout << "soak: " << sessions_ << " bridge runs, longest stop " << longestStop_.count()
              << " ms; " << accounted << " accounted commands; " << stats_.presses
              << " presses, " << stats_.accountedPresses << " accounted presses, " << stats_.turns
              << " turns, " << stats_.accountedTurns << " accounted turns, " << stats_.settings
              << " panel settings, " << stats_.unplugs << " unplugs, " << stats_.plugs
              << " plugs, " << stats_.drops << " drops, " << stats_.flaps << " crash-restarts, "
              << stats_.quits << " quits, " << stats_.crashes << " crashes" << std::endl;
    EXPECT_GT(accounted, 0u);

    if (baseline_) {
        const std::uint64_t growth = peak_ > *baseline_ ? peak_ - *baseline_ : 0;
        std::cout << "soak: " << MemoryKind() << " after warm-up " << *baseline_ / 1024
                  << " KiB, peak " << peak_ / 1024 << " KiB";
#ifdef __linux__
        std::cout << "; VmRSS at the end " << ResidentBytes().value_or(0) / 1024 << " KiB";
#endif
        std::cout << std::endl;
        EXPECT_LE(growth, kMemorySlack)
            << MemoryKind() << " grew by " << growth / 1024 << " KiB after the warm-up (seed "
            << seed_ << ")";
    }
}

}  // namespace
}  // namespace tarnwick
