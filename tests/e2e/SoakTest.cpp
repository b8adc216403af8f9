// A seeded random walk of what a user and the machine do to the whole bridge, in-process over the
// virtual cockpit: presses, holds and LED shows, encoder turns slow and fast, touch-panel
// settings, lighting and battery changes, boards plugged and unplugged (ours and strangers),
// failed reads, failing or stalled writes, and simulator trouble: it answers slowly, drops the
// connection, crashes and restarts, or quits (which ends a bridge run; the next starts at once,
// so the components stop and start again while traffic goes on).
//
// Invariants, checked as it goes and at the end:
// - nothing lost, duplicated or reordered: the "ACC" controls are used only while delivery is
//   guaranteed (simulator registered, board read by the current run), and before anything may
//   disturb a delivery the walk waits until every such command reached the module; per board the
//   module must run them exactly in the order they were pressed. Any other command may be lost,
//   but never runs more often than it was asked for;
// - no hang: every run stops within a few seconds of its stop request, and only after the
//   simulator left; no device stays open after it was unplugged or the run ended;
// - clean stop: every run logs its start and stop, every connection its disconnection, no ERROR,
//   no SimConnect handle closed under a running call, no call or connection left open.
// Sanitizer builds (scripts/soak asan|tsan) add memory and race checks.
//
// TARNWICK_SOAK_SECONDS (10 by default) sets the length, TARNWICK_SOAK_SEED replays a run; the
// seed is printed first.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "hid/TelemetryProtocol.h"
#include "support/InProcessBridge.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using HidProtocol::kControlTypeButton;
using HidProtocol::kControlTypeEncoder;

constexpr auto kPatience = 20s;  // for what must happen: generous for a loaded machine
constexpr std::uint16_t kAccFirst = 100, kAccKnob = 110, kChaosFirst = 20, kMapFirst = 50,
                        kHdgKnob = 60, kAutopilot = 5;

unsigned Env(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                            : fallback;
}

// A panel board of protocol 1.0.0 with that unique id.
VirtualHidDeviceSetup Board(const std::string& path, std::uint16_t vid,
                            std::array<std::uint8_t, 8> id) {
    return VirtualPanelBoardSetup(path, vid, 0x10F0, HidProtocol::DeviceInfo{1, 0, 0, id},
                                  HidProtocol::ProtocolInfo{1, 0, 0});
}

struct Unit {
    std::string role;  // the command column its mode byte picks
    std::uint8_t mode = 0;
    VirtualHidDeviceSetup setup;
    std::shared_ptr<VirtualHidDevice> device{}, gone{};  // gone: unplugged, maybe still open
    std::uint64_t readsBase = 0;  // reads started before the current run could read it
    std::map<std::uint16_t, Clock::time_point> held{};  // held controls and when they go up
    int nextAcc = 0;
};

class Soak : public testing::Test, public test::BridgeRuns {
protected:
    void SetUp() override {
        const std::string path = "\\\\?\\hid#vid_2e8a&pid_10f";
        units_ = {
            {"PFD", 0,
             Board(path + "0#virtual&pfd", 0x2E8A,
                   {0xE6, 0x61, 0x18, 0x60, 0x4B, 0x1F, 0x2A, 0x31})},
            {"MFD", 1,
             Board(path + "0#virtual&mfd", 0x2E8A,
                   {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77})},
            {"", 0, VirtualTouchPanelSetup(path + "1#virtual&touch", 0x2E8A, 0x10F1, "TP-1")}};
        for (Unit& unit : units_) {
            // A long run writes LED states and telemetry without end.
            unit.setup.writeLogLimit = 64;
            unit.device = Hid().Find(unit.setup.path);
            ASSERT_NE(unit.device, nullptr) << unit.setup.path;
        }
    }
    VirtualHidBackend& Hid() { return cockpit->HidBackendFor(); }
    VirtualSimulator& Sim() { return cockpit->Simulator(); }
    int Roll() { return std::uniform_int_distribution<int>(0, 9999)(rng_); }
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Wait(const std::function<bool()>& done) { return test::WaitUntil(done, kPatience, 2ms); }
    void Fail(const std::string& what) {
        ADD_FAILURE() << what << " (seed " << seed_ << ")";
        aborted_ = true;
    }

    // --- Bridge runs ----------------------------------------------------------------------------
    void StartRun() {
        for (Unit& unit : units_)
            unit.readsBase = unit.device != nullptr ? unit.device->ReadsStarted() : 0;
        BeginSimEpoch();
        if (const Result started = Start(); !started)
            return Fail("bridge run failed to start: " + started.Error());
        ++runs_;
        leaveMade_ = false;
    }
    // After the simulator left (the bridge asks to stop itself), or at the end (the test asks).
    void EndRun(bool simulatorLeft) {
        EXPECT_TRUE(!simulatorLeft || leaveMade_)
            << "the bridge asked to stop with the simulator running";
        app->RequestStop();
        const auto asked = Clock::now();
        if (!Wait([&] { return returned.load(); }))
            Fail("Run did not return after the stop request");
        EXPECT_LE(Clock::now() - asked, 3s) << "a stop took long (seed " << seed_ << ")";
        Stop();
        for (const auto& device : Hid().Devices())
            EXPECT_EQ(device->OpenHandleCount(), 0u) << device->Path() << " open after the run";
    }
    void HandleStopRequest() {
        if (app != nullptr && app->StopFlag().load()) {
            EndRun(true);
            StartRun();
        }
    }

    // --- Readiness and accounting ---------------------------------------------------------------
    // Registered on a connection newer than the last disturbance: the client subscribes right
    // after the module's acknowledgement.
    bool SimReady() {
        return simReady_ = simReady_ ||
                           (app != nullptr && Sim().IsRunning() &&
                            test::CountOf(Sim().ModuleCommands(), kSubscribe) > subscribesAtEpoch_);
    }
    void BeginSimEpoch() {
        subscribesAtEpoch_ = test::CountOf(Sim().ModuleCommands(), kSubscribe);
        simReady_ = false;
    }
    bool Ready(const Unit& unit) {
        return unit.device != nullptr && unit.device->ReadsStarted() > unit.readsBase && SimReady();
    }
    // What a use of a control makes the module run `times` times: an accounted command is
    // expected exactly so, in order; any other is allowed at most so often.
    void Expect(const Unit& unit, std::uint16_t control, const std::string& action, int times = 1) {
        static const char* const maps[] = {"MAP_LEFT", "MAP_RIGHT", "MAP_UP", "MAP_DOWN"};
        const std::string name =
            control == kAccKnob    ? "ACC_KNOB"
            : control == kHdgKnob  ? "HDG_KNOB"
            : control >= kAccFirst ? "ACC_" + std::to_string(control - kAccFirst)
            : control >= kMapFirst ? maps[control - kMapFirst]
                                   : "BTN_" + std::to_string(control - kChaosFirst);
        const std::string code = "1 (>H:" + name + "_" + unit.role + "_" + action + ")";
        if (control >= kAccFirst) {
            expected_[unit.mode].insert(expected_[unit.mode].end(), static_cast<std::size_t>(times),
                                        code);
        } else {
            allowed_[code] += static_cast<std::uint64_t>(times);
        }
    }
    // The accounted commands the module ran since the last harvest, per board, in order.
    std::array<std::vector<std::string>, 2> Ran() {
        std::array<std::vector<std::string>, 2> ran;
        for (const std::string& code : Sim().ExecutedCode()) {
            if (code.find("(>H:ACC_") != std::string::npos)
                ran[code.find("_MFD_") != std::string::npos ? 1 : 0].push_back(code);
        }
        return ran;
    }
    // Waits until every accounted command has reached the module, in order and once.
    bool Drain() {
        std::array<std::vector<std::string>, 2> ran;
        Wait([&] {
            ran = Ran();
            return aborted_ ||
                   (ran[0].size() >= expected_[0].size() && ran[1].size() >= expected_[1].size());
        });
        if (!aborted_ && ran != expected_) {
            std::string detail;
            for (std::size_t b = 0; b < 2; ++b) {
                const auto at = std::mismatch(ran[b].begin(), ran[b].end(), expected_[b].begin(),
                                              expected_[b].end());
                detail += "; board " + std::to_string(b) + ": ran " +
                          std::to_string(ran[b].size()) + " of " +
                          std::to_string(expected_[b].size()) + ", first difference at " +
                          std::to_string(at.first - ran[b].begin());
            }
            Fail("the module did not run each accounted command once, in the order pressed" +
                 detail);
        }
        return !aborted_;
    }
    // Moves the simulator's records into counts, so a long run keeps flat memory: each second,
    // while nothing accounted is on its way and no subscription can be pending; and at the end.
    void Harvest(bool last = false) {
        if (!last && (Clock::now() < nextHarvest_ || !SimReady() || Ran() != expected_))
            return;
        nextHarvest_ = Clock::now() + 1s;
        for (const std::string& code : Sim().ExecutedCode())
            ++ran_[code];
        for (const auto& event : Sim().Events())
            ++ran_[event.name];
        misuses_ += Sim().HandleMisuses();
        if (!last) {
            Sim().ClearRecords();
            expected_ = {};
            subscribesAtEpoch_ = 0;
        }
    }

    // --- The devices' side ----------------------------------------------------------------------
    bool Send(Unit& unit, std::uint8_t type, std::uint16_t control, int value, int speed = 0) {
        HidProtocol::HidEvent event{0, type, control, static_cast<std::int8_t>(value)};
        event.speed = static_cast<std::uint8_t>(speed);
        event.mode = unit.mode;
        return unit.device != nullptr && unit.device->SendEvent(event);
    }
    void Press(Unit& unit) {
        const auto control = static_cast<std::uint16_t>(
            Roll() < 5000 ? kMapFirst + Between(0, 3) : kChaosFirst + Between(0, 3));
        if (unit.held.count(control) == 0 && Send(unit, kControlTypeButton, control, 1)) {
            Expect(unit, control, "PRESS");
            unit.held[control] = Clock::now() + Ms(Between(5, 900));
        }
    }
    // Releases what is due (or everything), and now and then repeats a hold. A held button
    // queues its hold command once while one waits; a held map control repeats on the engine's
    // own clock, unbounded here.
    void ServiceHeld(Unit& unit, bool releaseAll = false) {
        for (auto it = unit.held.begin(); it != unit.held.end();) {
            if (releaseAll || Clock::now() >= it->second) {
                Send(unit, kControlTypeButton, it->first, 0);
                it = unit.held.erase(it);
                continue;
            }
            if (Roll() < 400 && Send(unit, kControlTypeButton, it->first, Between(2, 4)) &&
                it->first < kMapFirst) {
                Expect(unit, it->first, "HOLD");
            }
            ++it;
        }
    }
    // A turn: a slow one runs its command once per detent (at least the reported speed), a fast
    // one its fast command once.
    void Turn(Unit& unit, std::uint16_t knob) {
        const int detents = Between(1, 3), speed = Roll() < 3000 ? Between(4, 6) : Between(0, 3);
        const bool cw = Roll() < 5000;
        if (Send(unit, kControlTypeEncoder, knob, cw ? detents : -detents, speed)) {
            Expect(unit, knob, std::string(cw ? "CW" : "CCW") + (speed >= 4 ? "_FAST" : ""),
                   speed >= 4 ? 1 : std::max(detents, speed));
        }
    }
    void AccountedPress(Unit& unit) {
        const auto control = static_cast<std::uint16_t>(kAccFirst + unit.nextAcc++ % 6);
        ASSERT_TRUE(Send(unit, kControlTypeButton, control, 1));
        Send(unit, kControlTypeButton, control, 0);
        Expect(unit, control, "PRESS");
    }
    void PanelSettings(Unit& panel) {
        // Now and then a repeated report, which the bridge must not forward twice.
        const TelemetryProtocol::Settings settings{
            static_cast<std::uint8_t>(Between(1, 3)), Roll() < 2000 ? sequence_ : ++sequence_,
            Roll() < 300 ? std::nanf("") : static_cast<float>(Between(-400, 800)),
            static_cast<float>(Between(0, 359))};
        if (panel.device != nullptr && panel.device->SendSettings(settings)) {
            allowed_["HEADING_BUG_SET"] += settings.flags & 1;
            allowed_["VOR1_SET"] += (settings.flags & 2) >> 1;
        }
    }
    // Unplugs a board (once its queued reports are in: they would go with it) or plugs it in
    // again; the same path plugged in before the bridge closed the old device would be taken for
    // it.
    void Replug(Unit& unit, bool unplug) {
        if (unit.device != nullptr && unplug) {
            ServiceHeld(unit, true);
            if (Drain()) {
                ASSERT_TRUE(Hid().Unplug(unit.device->Path()));
                unit.gone = std::move(unit.device);
            }
        } else if (unit.device == nullptr && (!unit.gone || unit.gone->OpenHandleCount() == 0)) {
            unit.device = Hid().Plug(unit.setup);
            unit.gone.reset();
            unit.readsBase = 0;
        }
    }
    // The pending read fails once; the board is reconnected and read again. Or a write fails,
    // or stalls (or the end of either).
    void DeviceTrouble(Unit& unit) {
        const int kind = Between(0, 2);
        if (unit.device == nullptr) {
            return;
        } else if (kind == 0 && unit.role != "" && Drain() && unit.device->HasPendingRead()) {
            unit.device->FailNextRead();
            unit.readsBase = unit.device->ReadsStarted();
        } else if (kind == 1) {
            unit.device->SetWriteBehaviour(
                {Roll() < 5000 ? VirtualWriteMode::Fail : VirtualWriteMode::Accept});
        } else if (kind == 2) {
            unit.device->SetWriteStall(Ms(Roll() < 5000 ? 0 : Between(1, 600)));
        }
    }
    // A board that is not ours, or one of ours that comes and goes at once, failing as it goes.
    void Stranger() {
        const std::string path = "\\\\?\\hid#stranger&" + std::to_string(Between(0, 2));
        if (Hid().Unplug(path))
            return;
        auto device =
            Hid().Plug(Board(path, Roll() < 3000 ? 0x046D : 0x2E8A,
                             {0xAB, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(Roll())}));
        if (Roll() < 3000)
            device->FailNextRead();
        if (Roll() < 3000)
            device->SetWriteStall(Ms(Between(1, 400)));
    }

    // --- The simulator's side -------------------------------------------------------------------
    // Slow calls; a dropped connection; a crash and restart; a quit or crash that ends the run.
    void SimTrouble() {
        const int kind = Between(0, 5);
        if (kind < 2)
            return Sim().SetCallDelay(std::chrono::microseconds(kind == 0 ? 0 : Between(1, 200)));
        if (!SimReady() || !Drain())
            return;
        BeginSimEpoch();
        if (kind == 2)
            return Sim().DropConnections();
        leaveMade_ = true;
        if (kind == 3)
            return Sim().Quit();
        Sim().SetRunning(false);
        if (kind == 4 || Roll() < 7500)
            Sim().SetRunning(true);
    }

    void Step() {
        HandleStopRequest();
        for (Unit& unit : units_)
            ServiceHeld(unit);
        Unit& board = units_[static_cast<std::size_t>(Between(0, 1))];
        Unit& any = units_[static_cast<std::size_t>(Between(0, 2))];
        // What happens, with its weight in ten thousandths.
        const std::pair<int, std::function<void()>> walk[] = {
            {1500, [&] { Press(board); }},
            {1500, [&] { Ready(board) ? AccountedPress(board) : void(); }},
            {800, [&] { Ready(board) ? Turn(board, kAccKnob) : void(); }},
            {1000, [&] { Turn(board, kHdgKnob); }},
            {200,
             [&] {
                 allowed_["AP_MASTER"] += Send(board, kControlTypeButton, kAutopilot, 1) ? 1 : 0;
                 Send(board, kControlTypeButton, kAutopilot, 0);
             }},
            {50, [&] { Send(board, 4, 0, 0); }},  // the LED show
            {750, [&] { PanelSettings(units_[2]); }},
            {180,
             [&] {
                 Roll() < 8300 ? Sim().SetLVar(VirtualSimulator::kLightingPotentiometer,
                                               Between(0, 100) / 100.0)
                               : Sim().SetMasterBattery2(Roll() < 7000);
             }},
            {120, [&] { Replug(any, Roll() < 3000); }},
            {60, [&] { DeviceTrouble(any); }},
            {50, [&] { Stranger(); }},
            {45, [&] { SimTrouble(); }},
            {245, [&] { Sim().IsRunning() ? void() : Sim().SetRunning(true); }},
        };
        int roll = Roll();
        for (const auto& [weight, action] : walk) {
            if ((roll -= weight) < 0) {
                action();
                break;
            }
        }
        Harvest();
    }

    // Everything healthy and plugged in, then one accounted use of every accounted control.
    void FinalRound() {
        for (Unit& unit : units_) {
            ServiceHeld(unit, true);
            if (unit.device != nullptr) {
                unit.device->SetWriteStall(0ms);
                unit.device->SetWriteBehaviour(VirtualWriteBehaviour{});
            }
            if (!Wait([&] { return Replug(unit, false), unit.device != nullptr; }))
                return Fail(unit.setup.path + " stayed open after its unplug");
        }
        Sim().SetRunning(true);
        const auto ready = [&] {
            return HandleStopRequest(), app != nullptr && Ready(units_[0]) && Ready(units_[1]);
        };
        if (!test::WaitUntil(ready, 60s, 5ms))
            return Fail("the bridge did not become ready for the final round");
        for (Unit* board : {&units_[0], &units_[1]}) {
            for (int i = 0; i < 6; ++i)
                AccountedPress(*board);
            Turn(*board, kAccKnob);
        }
        Drain();
    }

    std::vector<Unit> units_;
    bool leaveMade_ = false, aborted_ = false, simReady_ = false;
    int runs_ = 0, misuses_ = 0;
    unsigned seed_ = 0;
    std::mt19937 rng_;
    std::size_t subscribesAtEpoch_ = 0;
    Clock::time_point nextHarvest_{};
    std::uint16_t sequence_ = 0;
    std::array<std::vector<std::string>, 2> expected_;    // since the last harvest
    std::map<std::string, std::uint64_t> allowed_, ran_;  // at most this often; what ran so far
};

TEST_F(Soak, SeededWalkLosesNothingHangsNowhereAndStopsClean) {
    const unsigned seconds = Env("TARNWICK_SOAK_SECONDS", 10);
    seed_ = Env("TARNWICK_SOAK_SEED", std::random_device{}());
    rng_.seed(seed_);
    std::cout << "soak: " << seconds << " s, seed " << seed_ << " (TARNWICK_SOAK_SEED=" << seed_
              << " replays it)" << std::endl;

    StartRun();
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!aborted_ && !HasFatalFailure() && Clock::now() < end) {
        Step();
        std::this_thread::sleep_for(std::chrono::milliseconds(Between(1, 8)));
    }
    if (!aborted_ && !HasFatalFailure())
        FinalRound();
    if (app != nullptr)
        EndRun(false);
    ASSERT_FALSE(HasFatalFailure());

    Harvest(true);
    for (const auto& [what, most] : allowed_)
        EXPECT_LE(ran_[what], most) << what << " ran more often than it was asked for";
    EXPECT_FALSE(expected_[0].empty() || expected_[1].empty());
    EXPECT_EQ(misuses_, 0);
    EXPECT_EQ(Sim().CallsInProgress(), 0);
    EXPECT_EQ(Sim().OpenConnectionCount(), 0);

    // Rotation may have taken the oldest lines of a long run; then only this much is known.
    const std::string log = Logger::Instance().FilePath();
    const auto lines = test::LogLinesWithBackups(log);
    if (!std::filesystem::exists(log + "." + std::to_string(Logger::kMaxBackups))) {
        for (const auto& line : {std::string("[INFO] Application run loop started"), kStopped})
            EXPECT_EQ(test::CountOf(lines, line), static_cast<std::size_t>(runs_)) << line;
        EXPECT_EQ(test::CountPrefix(lines, "[INFO] HID device connected: "),
                  test::CountPrefix(lines, "[INFO] HID device disconnected: "));
    }
    EXPECT_EQ(test::CountPrefix(lines, "[ERROR]"), 0u);
}

}  // namespace
}  // namespace tarnwick
