// The SimConnect and MobiFlight clients against the virtual simulator and its module, wired as
// the application wires them: SimConnect's waits, mishaps and records; the registration on its
// schedule, the queue's work as it reaches the module's channel, and the levels the module
// reports. The queue's bookkeeping has its own table in MobiFlightCommandQueueTest.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/ManualClock.h"
#include "sim/MobiFlightClient.h"
#include "sim/MobiFlightProtocol.h"
#include "sim/SimConnectClient.h"
#include "sim/SimConnectRecords.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using test::CountOf;
using test::LogCapture;
using test::WaitUntil;
namespace mf = MobiFlightProtocol;
namespace rec = SimConnectRecords;

const std::string kDummy{mf::kDummyCommand};
const std::string kClear{mf::kClearCommand};
const std::string kSubscribe{mf::kSubscribeLightingCommand};
const std::string kRegistration = "MF.Clients.Add.Tester";
const std::string kWaitingForSim = "[INFO] Waiting for flight simulator process to start";
const std::string kSimClosed = "[INFO] Simulator closed; requesting application shutdown";
const std::string kDispatchError = "[WARN] SimConnect disconnected: dispatch error 0x80004005";
const std::string kException = "[WARN] SimConnect disconnected: worker exception";
const std::string kRetrying =
    "[INFO] MobiFlight WASM module not responding yet; retrying registration every 5s";
const std::string kNoAnswer =
    "[WARN] MobiFlight WASM module has not answered registration after 180s; check that the "
    "MobiFlight WASM module is installed in the MSFS Community folder";

MobiFlightSettings Settings(int rateLimitMs = 0) {
    MobiFlightSettings settings;
    settings.clientName = "Tester";
    settings.rpnRateLimitMs = rateLimitMs;
    return settings;
}

// Each client runs on the clock it is given; SimConnect's periods are short with the real
// doubling: its retries wait 5, 10, 20, 30, 30 ms.
class Rig {
public:
    explicit Rig(const Clock& simClock = Clock::Steady(), const Clock& mfClock = Clock::Steady())
        : simConnect(
              api, [this] { return sim.IsRunning(); }, Options(), simClock),
          mobiFlight(MobiFlightOptions(), mfClock) {}
    // In the application's order: SimConnect's worker calls into the MobiFlight client.
    ~Rig() {
        mobiFlight.Stop();
        simConnect.Stop();
    }
    Result StartSimConnect(const std::string& name = "Tester") {
        return simConnect.Start(
            name,
            [this](bool connected) {
                ++changes;
                mobiFlight.OnSimConnectionChanged(connected);
            },
            [this] { return hidPresent.load(); });
    }
    // Both clients with the simulator running; returns once the connection exists...
    void Start(const MobiFlightSettings& settings = Settings()) {
        sim.SetRunning(true);
        ASSERT_TRUE(mobiFlight.Start(&simConnect, settings));
        ASSERT_TRUE(StartSimConnect());
        ASSERT_TRUE(WaitUntil([this] { return simConnect.IsConnected(); }));
    }
    // ...or once registered with the subscription sent.
    void StartRegistered() {
        Start();
        ASSERT_TRUE(WaitUntil([this] {
            return mobiFlight.IsRegistered() && Commands(kSubscribe) == 1 &&
                   mobiFlight.QueueLength() == 0;
        }));
    }
    // How often the module read this command, or ran this calculator code.
    std::size_t Commands(const std::string& text) const {
        return CountOf(sim.ModuleCommands(), text);
    }
    std::size_t Executed(const std::string& code) const {
        return CountOf(sim.ExecutedCode(), "1 " + code);
    }
    // The durations of the SimConnect worker's waits of one kind, in order.
    std::vector<std::int64_t> Waits(SimConnectWait why) {
        std::lock_guard<std::mutex> lock(mutex_);
        return waits_[why];
    }

    VirtualSimulator sim;
    VirtualSimConnectApi api{sim};
    std::atomic<bool> hidPresent{true};
    std::atomic<std::size_t> changes{0};  // connections made and lost

private:
    SimConnectClientOptions Options() {
        SimConnectClientOptions options;
        options.timing = {1ms, 2ms, 2ms, 5ms, 30ms};
        options.waitObserver = [this](SimConnectWait why, std::chrono::milliseconds duration) {
            std::lock_guard<std::mutex> lock(mutex_);
            waits_[why].push_back(duration.count());
        };
        return options;
    }
    static MobiFlightClientOptions MobiFlightOptions() {
        MobiFlightClientOptions options;
        options.timing.idleWake = 1ms;  // wakes at every move of a hand-moved clock
        return options;
    }

    std::mutex mutex_;
    std::map<SimConnectWait, std::vector<std::int64_t>> waits_;

public:
    SimConnectClient simConnect;  // after what its handlers use
    MobiFlightClient mobiFlight;
};

// The MobiFlight worker runs on a clock the test moves, and only while it waits on it;
// SimConnect runs on real short periods.
class ClientTest : public testing::Test {
protected:
    ClientTest() {
        clock_.SetWorkers(1);
        MakeRig(Clock::Steady(), clock_);
    }
    void MakeRig(const Clock& simClock, const Clock& mfClock) {
        rig_.reset();
        rig_ = std::make_unique<Rig>(simClock, mfClock);
        rig_->simConnect.SetShutdownHandler([this] { ++shutdowns_; });
        rig_->mobiFlight.SetTextHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            levels_.push_back(text);
        });
    }
    SimConnectClient& SimConnect() { return rig_->simConnect; }
    MobiFlightClient& MobiFlight() { return rig_->mobiFlight; }
    VirtualSimulator& Sim() { return rig_->sim; }
    void StartConnected(const std::string& name = "Tester") {
        Sim().SetRunning(true);
        ASSERT_TRUE(rig_->StartSimConnect(name));
        ASSERT_TRUE(WaitUntil([this] { return SimConnect().IsConnected(); }));
    }
    std::size_t Levels(const std::string& text = "") {
        std::lock_guard<std::mutex> lock(mutex_);
        return text.empty() ? levels_.size() : CountOf(levels_, text);
    }
    void Deliver(const std::string& text, std::uint32_t requestId = mf::kClientLVarsRequestId) {
        MobiFlight().OnClientData(requestId, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                  static_cast<std::uint32_t>(text.size() + 1));
    }
    std::size_t Attempts() { return rig_->Commands(kRegistration); }
    void StartNotReady() {
        Sim().SetModuleAnswer(ModuleAnswer::Silent);
        rig_->Start();
        ASSERT_TRUE(WaitUntil([&] { return Attempts() == 1; }));
    }
    void Register() {
        Sim().SetModuleAnswer(ModuleAnswer::Finished);
        // A worker woken by a request may look at the time only after it moved: move it again
        // until the next attempt has gone out.
        ASSERT_TRUE(WaitUntil([&] {
            if (!MobiFlight().IsRegistered()) {
                clock_.Advance(5s);
            }
            return MobiFlight().IsRegistered();
        }));
    }
    // Queued behind everything else: once it and its dummy are written, the queue was served.
    void Drain() {
        const std::size_t before = rig_->Executed("(>L:DRAINED)");
        ASSERT_TRUE(Queue("(>L:DRAINED)"));
        ASSERT_TRUE(WaitUntil([&] {
            return rig_->Executed("(>L:DRAINED)") == before + 1 &&
                   Sim().ModuleCommands().back() == kDummy;
        }));
    }
    bool Queue(const std::string& rpn, SendMode mode = SendMode::Plain, int count = 1) {
        return MobiFlight().QueueRpn(rpn, mode, count).Ok();
    }

    test::ManualClock clock_;
    LogCapture log_{true};
    std::mutex mutex_;
    std::vector<std::string> levels_;
    std::atomic<int> shutdowns_{0};
    std::unique_ptr<Rig> rig_;  // last: stops before what its handlers use goes
};

class SimConnectClientTest : public ClientTest {};
class MobiFlightClientTest : public ClientTest {};

TEST_F(SimConnectClientTest, EachWaitingMessageIsLoggedOncePerSpell) {
    const auto waited = [&](SimConnectWait why) {
        return WaitUntil([&] { return rig_->Waits(why).size() >= 3; });
    };
    ASSERT_TRUE(rig_->StartSimConnect());
    ASSERT_TRUE(waited(SimConnectWait::SimPoll));
    EXPECT_EQ(log_.Count(kWaitingForSim), 1u);
    rig_->hidPresent = false;
    ASSERT_TRUE(waited(SimConnectWait::HidPoll));
    EXPECT_EQ(log_.Count("[INFO] Waiting for HID device to connect"), 1u);
    EXPECT_EQ(Sim().OpenAttempts(), 0);
    rig_->hidPresent = true;
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(kWaitingForSim) == 2; }));
    EXPECT_EQ(log_.Count("[INFO] HID device detected"), 1u);
    Sim().SetRunning(true);
    ASSERT_TRUE(WaitUntil([&] { return log_.Count("[INFO] SimConnect session opened") == 1; }));
    EXPECT_GT(log_.IndexOf("[INFO] Flight simulator process detected"),
              log_.IndexOf(kWaitingForSim, log_.IndexOf(kWaitingForSim) + 1));
    EXPECT_EQ(shutdowns_.load(), 0);  // no connection had existed before
}

// With a telemetry handler the telemetry is asked for beside the battery; it arrives every
// frame, the battery when it changes. Records too short for their kind call no handler, and
// client data is read to the record's own end.
TEST_F(SimConnectClientTest, RecordsReachTheirHandlersOnlyWhenWhole) {
    std::mutex mutex;
    std::vector<SimTelemetry> telemetry;
    std::vector<std::string> seen;
    const auto note = [&](auto&& f) {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    };
    SimConnect().SetTelemetryHandler(
        [&](const SimTelemetry& v) { note([&] { telemetry.push_back(v); }); });
    SimConnect().SetBatteryHandler(
        [&](bool on) { note([&] { seen.push_back(on ? "on" : "off"); }); });
    SimConnect().SetClientDataHandler([&](std::uint32_t, const std::uint8_t*, std::uint32_t size) {
        note([&] { seen.push_back(std::to_string(size)); });
    });
    Sim().SetFramesOnDispatch(false);
    StartConnected();
    EXPECT_EQ(Sim().DataDefinitionVariables(2).size(), SimTelemetry::kCount);
    EXPECT_EQ(Sim().DataRequests().size(), 2u);  // the battery's and the telemetry's
    rec::DataRecord fields;
    fields.requestId = 2;
    const std::vector<std::uint8_t> thirteen(13 * 8, 0);
    Sim().InjectMessage(
        rec::EncodeDataRecord(rec::kRecvIdSimObjectData, fields, thirteen.data(), 13 * 8));
    fields.requestId = 1;
    Sim().InjectMessage(rec::EncodeDataRecord(rec::kRecvIdSimObjectData, fields, nullptr, 0));
    fields.requestId = 4608;
    Sim().InjectMessage(rec::EncodeDataRecord(rec::kRecvIdClientData, fields, nullptr, 0));
    const std::uint8_t four[4] = {'a', 'b', 'c', 0};
    auto longer = rec::EncodeDataRecord(rec::kRecvIdClientData, fields, four, 4);
    longer.resize(longer.size() + 16, 0xEE);
    Sim().InjectMessage(longer);
    Sim().StepFrames(3);
    Sim().SetMasterBattery2(false);
    Sim().StepFrames(1);
    ASSERT_TRUE(WaitUntil([&] { return note([&] { return seen.size() == 3; }); }));
    SimConnect().Stop();
    EXPECT_EQ(seen, (std::vector<std::string>{"4", "on", "off"}));
    ASSERT_EQ(telemetry.size(), 4u);
    // Pitch and bank arrive with the simulator's sign turned round.
    EXPECT_GT(telemetry.back()[SimTelemetry::kPitch], 0.0f);
    EXPECT_GT(telemetry.back()[SimTelemetry::kBank], 0.0f);
}

// What happens to a connected client, with the lines it logs: refusals and exceptions of the
// simulator keep the connection; a broken pass reconnects (after a back-off when it failed inside
// the library or a handler); failed opens back off doubling to the longest, and a failure after
// a connection starts the series again; only a closed simulator asks the application to shut
// down. Handles are never closed inside their own dispatch.
TEST_F(SimConnectClientTest, EveryMishapIsReportedAndOnlyAClosedSimulatorEndsTheRun) {
    using Act = std::function<void(VirtualSimulator&)>;
    std::atomic<bool> throwing{false};
    const Act none = [](VirtualSimulator&) {};
    const Act refuseVariable = [](VirtualSimulator& s) { s.SetVariableFailure("NAV CDI:1", true); };
    const Act refuseRequest = [](VirtualSimulator& s) {
        s.FailNextCalls(SimConnectCall::RequestDataOnSimObject, 1);
    };
    const Act failOpens = [](VirtualSimulator& s) { s.FailNextCalls(SimConnectCall::Open, 5); };
    const Act failOpenAndDrop = [](VirtualSimulator& s) {
        s.FailNextCalls(SimConnectCall::Open, 1);
        s.DropConnections();
    };
    const std::string thrown = "[ERROR] SimConnect worker exception: ";
    const std::string openFailed =
        "[WARN] Waiting for SimConnect connection: SimConnect_Open failed (0x80004005)";
    const struct {
        Act before, after;
        std::size_t changes;  // connected, disconnected, connected again
        int shutdowns;
        std::vector<std::int64_t> retries;
        std::vector<std::string> lines;
    } cases[] = {
        {refuseVariable,
         none,
         1,
         0,
         {},
         {"[WARN] SimConnect data definitions failed: SimConnect_AddToDataDefinition failed for "
          "NAV CDI:1 (0x80004005)"}},
        {refuseRequest,
         none,
         1,
         0,
         {},
         {"[WARN] SimConnect data request failed: SimConnect_RequestDataOnSimObject failed "
          "(0x80004005)"}},
        {none,
         [](VirtualSimulator& s) { s.RaiseException(7, 3, 4294967295u); },
         1,
         0,
         {},
         {"[DEBUG] SimConnect exception 7 sendId=3 index=4294967295"}},
        {none, [](VirtualSimulator& s) { s.DropConnections(); }, 3, 0, {}, {kDispatchError}},
        {none,
         [](VirtualSimulator& s) { s.ThrowOnNextCall(SimConnectCall::CallDispatch, "gone"); },
         3,
         0,
         {5},
         {thrown + "gone", kException}},
        {none,
         [&](VirtualSimulator& s) { throwing = true, s.SetMasterBattery2(false); },
         3,
         0,
         {5},
         {thrown + "handler", kException}},
        {none,
         [](VirtualSimulator& s) { s.Quit(); },
         2,
         1,
         {},
         {"[WARN] SimConnect disconnected: SimConnect quit", kSimClosed}},
        {none,
         [](VirtualSimulator& s) { s.SetRunning(false); },
         2,
         1,
         {},
         {kDispatchError, kSimClosed}},
        {failOpens,
         failOpenAndDrop,
         3,
         0,
         {5, 10, 20, 30, 30, 5},
         {openFailed, openFailed, openFailed, openFailed, openFailed, openFailed, kDispatchError}},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const auto& c = cases[row];
        SCOPED_TRACE(row);
        LogCapture log(true);
        shutdowns_ = 0;
        MakeRig(Clock::Steady(), Clock::Steady());
        SimConnect().SetTelemetryHandler([](const SimTelemetry&) {});
        SimConnect().SetBatteryHandler([&](bool on) {
            if (!on && throwing.exchange(false)) {
                throw std::runtime_error("handler");
            }
        });
        c.before(Sim());
        StartConnected();
        c.after(Sim());
        for (const std::string& line : c.lines) {
            const auto times = std::count(c.lines.begin(), c.lines.end(), line);
            EXPECT_TRUE(WaitUntil([&] { return log.Count(line) == std::size_t(times); })) << line;
        }
        ASSERT_TRUE(WaitUntil([&] { return rig_->changes.load() >= c.changes; }));
        EXPECT_TRUE(WaitUntil([&] { return shutdowns_.load() == c.shutdowns; }));
        SimConnect().Stop();
        EXPECT_EQ(rig_->changes.load(), c.changes + (c.changes % 2));  // Stop ends a connection
        EXPECT_EQ(rig_->Waits(SimConnectWait::Retry), c.retries);
        EXPECT_EQ(Sim().HandleMisuses(), 0);
        rig_.reset();
    }
}

// A failed mapping of an event name is tried again on the next send; a new connection maps
// anew. Operations fail plainly without a connection or on the simulator's refusal.
TEST_F(SimConnectClientTest, EventsAreMappedPerConnectionAndOperationsFailPlainly) {
    const std::uint8_t block[4] = {};
    const std::function<Result()> calls[] = {
        [&] { return SimConnect().TransmitEvent("AP_MASTER", 1); },
        [&] { return SimConnect().MapClientDataName("MobiFlight.Command", 4096); },
        [&] { return SimConnect().AddClientDataDefinition(4352, 256); },
        [&] { return SimConnect().RequestClientData(4097, 4608, 4353); },
        [&] { return SimConnect().SetClientData(4096, 4352, block, 4); },
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call().Error(), "SimConnect is not connected");
    }
    EXPECT_EQ(SimConnect().TransmitEvent("", 1).Error(), "SimConnect event name is empty");
    StartConnected();
    Sim().FailNextCalls(SimConnectCall::MapClientEventToSimEvent, 1);
    EXPECT_EQ(calls[0]().Error(), "SimConnect_MapClientEventToSimEvent failed (0x80004005)");
    EXPECT_TRUE(calls[0]());
    Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return rig_->changes.load() >= 3; }));
    EXPECT_TRUE(SimConnect().TransmitEvent("HEADING_BUG_SET", 180));
    EXPECT_EQ(Sim().Variable("AUTOPILOT HEADING LOCK DIR"), 180.0);
    Sim().SetCallFailure(SimConnectCall::TransmitClientEvent, true);
    Sim().SetCallFailure(SimConnectCall::SetClientData, true);
    EXPECT_EQ(calls[0]().Error(), "SimConnect_TransmitClientEvent failed (0x80004005)");
    EXPECT_EQ(calls[4]().Error(), "SimConnect_SetClientData failed (0x80004005)");
    EXPECT_TRUE(calls[1]());
    EXPECT_EQ(Sim().Events().size(), 2u);
}

TEST_F(SimConnectClientTest, StartAndStop) {
    ASSERT_TRUE(rig_->StartSimConnect());
    ASSERT_TRUE(WaitUntil([&] { return !rig_->Waits(SimConnectWait::SimPoll).empty(); }));
    EXPECT_EQ(SimConnect().Start("Other", {}, {}).Error(), "SimConnect client already running");
    SimConnect().Stop();  // without a connection: nothing said about disconnecting
    EXPECT_EQ(log_.CountContaining("disconnected"), 0u);

    // A handler may stop the client; it starts again, and Stop closes the connection once.
    SimConnect().SetShutdownHandler([this] {
        ++shutdowns_;
        SimConnect().Stop();
    });
    StartConnected("");
    EXPECT_EQ(Sim().OpenedClientNames(), std::vector<std::string>{"TarnwickHID"});
    Sim().Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    StartConnected();
    SimConnect().Stop();
    SimConnect().Stop();
    EXPECT_EQ(Sim().OpenConnectionCount(), 0);
    EXPECT_EQ(rig_->changes.load(), 4u);
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: shutdown"), 1u);
}

TEST_F(MobiFlightClientTest, RequestErrorsNameTheirCause) {
    MobiFlightClient disabled;
    MobiFlightSettings off = Settings();
    off.enabled = false;
    ASSERT_TRUE(disabled.Start(nullptr, off));
    EXPECT_EQ(disabled.QueueRpn("1", SendMode::Plain, 1).Error(), "MobiFlight disabled");
    EXPECT_EQ(disabled.SendRpnNow("1").Error(), "MobiFlight disabled");

    MobiFlightClient& client = MobiFlight();
    EXPECT_EQ(client.QueueRpn("1", SendMode::Plain, 1).Error(), "MobiFlight not running");
    ASSERT_TRUE(client.Start(&rig_->simConnect, Settings()));
    EXPECT_EQ(client.Start(&rig_->simConnect, off).Error(), "MobiFlight client already running");
    EXPECT_EQ(client.SendRpnNow("1").Error(), "SimConnect is not connected");
    client.Stop();
    StartNotReady();
    EXPECT_EQ(client.SendRpnNow("1").Error(), "MobiFlight not ready");
    EXPECT_EQ(client.QueueRpn("", SendMode::Plain, 1).Error(), "Empty RPN command");

    // A calculator code of 238 bytes fills the block (255 with the prefix, then the NUL); one
    // byte more is refused, never cut.
    Register();
    const std::string fits(238, '7');
    const std::string tooLong(239, '8');
    ASSERT_TRUE(Queue(fits));
    Drain();
    EXPECT_EQ(rig_->Executed(fits), 1u);
    EXPECT_EQ(client.QueueRpn(tooLong, SendMode::Plain, 1).Error(),
              "RPN command too long (239 bytes, at most 238)");
    EXPECT_EQ(client.SendRpnNow(tooLong).Error(), "RPN command too long (239 bytes, at most 238)");
    Drain();
    for (const std::string& text : Sim().ModuleCommands()) {
        EXPECT_NE(text.rfind(mf::RpnCommand("8"), 0), 0u);
    }
    client.Stop();
    EXPECT_EQ(client.SendRpnNow("1").Error(), "MobiFlight not running");
}

// One run through the registration's schedule on the hand-moved clock: channels that cannot be
// set up wait for the next connection; attempts every 5 s with one line after the first and one
// warning at three minutes; a refusal logged whole; commands queued meanwhile go out once it is
// acknowledged, each with its dummy; the next connection registers again at once.
TEST_F(MobiFlightClientTest, EveryConnectionRegistersOnItsSchedule) {
    Sim().FailNextCalls(SimConnectCall::AddToClientDataDefinition, 1);
    Sim().SetModuleAnswer(ModuleAnswer::Silent);
    rig_->Start();
    ASSERT_TRUE(WaitUntil([&] {
        return log_.Count(
                   "[WARN] MobiFlight channel initialization failed: "
                   "SimConnect_AddToClientDataDefinition failed (0x80004005)") == 1;
    }));
    clock_.Advance(60s);
    clock_.Settle();
    EXPECT_EQ(Attempts(), 0u);
    Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return Attempts() == 1; }));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Queue("1 (>L:PLAIN)"));
    }
    const struct {
        std::chrono::milliseconds by;
        std::size_t attempts;
        const std::string& line;
        std::size_t lines;
    } steps[] = {
        {4999ms, 1, kRetrying, 0}, {1ms, 2, kRetrying, 1},  {170s, 3, kNoAnswer, 0},
        {5s, 4, kNoAnswer, 1},     {500s, 5, kNoAnswer, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.attempts);
        EXPECT_EQ(rig_->Executed("1 (>L:PLAIN)"), 0u);
        clock_.Advance(step.by);
        clock_.Settle();
        ASSERT_TRUE(WaitUntil([&] { return Attempts() == step.attempts; })) << Attempts();
        EXPECT_TRUE(WaitUntil([&] { return log_.Count(step.line) == step.lines; }));
    }
    // A refusal is logged whole and the registration goes on.
    Sim().SetModuleAnswer(ModuleAnswer::Error);
    clock_.Advance(5s);
    EXPECT_TRUE(WaitUntil([&] {
        return log_.Count("[WARN] MobiFlight registration error: MF.Clients.Add.Tester.Error") == 1;
    }));
    Register();
    ASSERT_TRUE(WaitUntil([&] { return rig_->Executed("1 (>L:PLAIN)") == 3; }));
    const std::size_t attempts = Attempts();
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client registered (after " + std::to_string(attempts) +
                         " attempts)"),
              1u);
    clock_.Advance(30s);
    clock_.Settle();
    EXPECT_EQ(Attempts(), attempts);
    // A repeated acknowledgement changes nothing; a new connection registers again at once.
    Deliver(mf::RegistrationFinishedAnswer("Tester"), mf::kResponseRequestId);
    Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return rig_->Commands(kSubscribe) == 2; }));
    EXPECT_EQ(rig_->Commands(kClear), 2u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client registered"), 1u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client waiting for SimConnect"), 2u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client channels: Tester.Command, Tester.Response, "
                         "Tester.LVars"),
              2u);
}

TEST_F(MobiFlightClientTest, AConnectionChangeDropsWhatWasQueuedAndAFailedWriteIsNotRetried) {
    StartNotReady();
    ASSERT_TRUE(Queue("(>L:OLD_PLAIN)"));
    ASSERT_TRUE(Queue("(>L:OLD_DEDUPE)", SendMode::Dedupe));
    ASSERT_TRUE(Queue("(>L:OLD_COUNTED)", SendMode::Counted, 4));
    clock_.Settle();  // one of them in the worker's hand
    Sim().SetModuleAnswer(ModuleAnswer::Finished);
    Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return MobiFlight().IsRegistered(); }));
    Drain();
    Drain();  // a held entry put back would go behind the first
    for (const char* old : {"(>L:OLD_PLAIN)", "(>L:OLD_DEDUPE)", "(>L:OLD_COUNTED)"}) {
        EXPECT_EQ(rig_->Executed(old), 0u) << old;
    }
    Sim().FailNextCalls(SimConnectCall::SetClientData, 1);
    ASSERT_TRUE(Queue("(>L:LOST)"));
    Drain();
    EXPECT_EQ(
        log_.Count("[WARN] MobiFlight send failed: SimConnect_SetClientData failed (0x80004005)"),
        1u);
    EXPECT_EQ(rig_->Executed("(>L:LOST)"), 0u);
}

// Stop ends every wait of either client's worker with its clock standing. Queued commands keep
// the rate limit on the client's clock, the subscription's two included; SendRpnNow does not
// wait for it.
TEST_F(MobiFlightClientTest, StopEndsEveryWaitOfEitherClientWithoutTimePassing) {
    const auto awaits = [this](SimConnectWait why, bool running, bool hid, bool openFails) {
        return [=, this] {
            Sim().SetRunning(running);
            Sim().SetCallFailure(SimConnectCall::Open, openFails);
            rig_->hidPresent = hid;
            ASSERT_TRUE(rig_->StartSimConnect());
            ASSERT_TRUE(WaitUntil([&] { return !rig_->Waits(why).empty(); }));
        };
    };
    const auto rateLimited = [&] {
        rig_->Start(Settings(60000));
        ASSERT_TRUE(WaitUntil([&] { return rig_->Commands(kClear) == 1; }));
        clock_.Advance(59999ms);
        clock_.Settle();
        EXPECT_EQ(rig_->Commands(kSubscribe), 0u);
        clock_.Advance(1ms);
        ASSERT_TRUE(WaitUntil([&] { return MobiFlight().IsRegistered(); }));
        ASSERT_TRUE(Queue("2"));
        ASSERT_TRUE(MobiFlight().SendRpnNow("(>L:NOW)"));
        EXPECT_EQ(rig_->Executed("(>L:NOW)"), 1u);
    };
    const struct {
        const char* what;
        bool simConnect;  // whose worker runs on the clock and is stopped
        std::function<void()> setUp;
    } cases[] = {
        {"no simulator", true, awaits(SimConnectWait::SimPoll, false, true, false)},
        {"no HID device", true, awaits(SimConnectWait::HidPoll, true, false, false)},
        {"a failed open", true, awaits(SimConnectWait::Retry, true, true, true)},
        {"the message pump", true, awaits(SimConnectWait::Dispatch, true, true, false)},
        {"SimConnect, with an entry cycling", false,
         [&] {
             ASSERT_TRUE(MobiFlight().Start(&SimConnect(), Settings()));
             ASSERT_TRUE(Queue("1"));
         }},
        {"work, registered", false, [&] { rig_->StartRegistered(); }},
        {"a minute's rate limit", false, rateLimited},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.simConnect ? MakeRig(clock_, Clock::Steady()) : MakeRig(Clock::Steady(), clock_);
        c.setUp();
        clock_.Settle();
        c.simConnect ? SimConnect().Stop() : MobiFlight().Stop();
        EXPECT_EQ(rig_->Executed("2"), 0u);
    }
}

// Only the client's own variable channel carries levels; nothing reaches the handler after Stop.
TEST_F(MobiFlightClientTest, LevelsComeOnlyFromTheClientsChannelAndNotAfterStop) {
    const std::string level = "L:LIGHTING_POTENTIOMETER_5=0.5";
    Deliver(level);
    EXPECT_EQ(Levels(level), 1u);
    Deliver("");                                   // no level
    Deliver(level, mf::kLVarsAreaId);              // not ours
    Deliver(level, mf::kResponseRequestId);        // a response, not a level
    Deliver(level, mf::kClientResponseRequestId);  // the same on the client's own channel
    EXPECT_EQ(Levels(), 1u);
    rig_->Start();
    MobiFlight().Stop();
    // The module may have reported a level before the Stop; nothing may come after it.
    const auto before = Levels();
    Deliver("1");
    EXPECT_EQ(Levels(), before);
}

// Another program on the module's shared channels, as cockpit builders often run one for their
// other panels: our registration, subscription, commands and reconnects leave its variable list
// alone, and each reads its own variable area.
TEST_F(MobiFlightClientTest, AnotherClientOnTheSharedChannelsKeepsItsVariables) {
    namespace rec = SimConnectRecords;
    VirtualSimConnectApi otherApi(rig_->sim);
    Sim().SetRunning(true);
    Sim().SetLVar("L:OTHER", 5.0);
    Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.25);
    SimConnectHandle other = nullptr;
    ASSERT_EQ(otherApi.Open(other, "OtherPanels"), kSimConnectOk);
    ASSERT_EQ(otherApi.MapClientDataNameToID(other, "MobiFlight.Command", 1), kSimConnectOk);
    ASSERT_EQ(otherApi.MapClientDataNameToID(other, "MobiFlight.LVars", 2), kSimConnectOk);
    ASSERT_EQ(otherApi.AddToClientDataDefinition(other, 1, 0, 256, 0, 0), kSimConnectOk);
    ASSERT_EQ(otherApi.AddToClientDataDefinition(other, 2, 0, 4, 0, 0), kSimConnectOk);
    ASSERT_EQ(otherApi.RequestClientData(other, 2, 7, 2, rec::kClientDataPeriodOnSet,
                                         rec::kClientDataRequestFlagChanged, 0, 0, 0),
              kSimConnectOk);
    mf::CommandBlock add;
    mf::BuildCommandBlock("MF.SimVars.Add.(L:OTHER)", add);
    ASSERT_EQ(otherApi.SetClientData(other, 1, 1, 0, 0, 256, add.data()), kSimConnectOk);

    rig_->StartRegistered();
    ASSERT_TRUE(WaitUntil([&] { return Levels("0.250000") > 0; }));
    ASSERT_TRUE(MobiFlight().QueueRpn("(>L:MINE)", SendMode::Plain, 1));
    ASSERT_TRUE(WaitUntil([&] { return rig_->Executed("(>L:MINE)") == 1; }));
    // Only our pump dispatches meanwhile, so the failure breaks our connection, not the other's.
    Sim().FailNextCalls(SimConnectCall::CallDispatch, 1);
    ASSERT_TRUE(WaitUntil(
        [&] { return rig_->Commands(kSubscribe) == 2 && MobiFlight().QueueLength() == 0; }));
    Sim().SetLVar("L:OTHER", 9.0);
    // 0.3 starts with a non-NUL byte (9A 99 99 3E) and is a number all the same.
    Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.3);
    ASSERT_TRUE(WaitUntil([&] { return Levels("0.300000") > 0; }));

    std::vector<float> seen;
    otherApi.CallDispatch(
        other,
        [](const std::uint8_t* message, std::uint32_t size, void* context) {
            rec::DataRecord record;
            if (rec::ReadU32(message + 8) == rec::kRecvIdClientData &&
                rec::DecodeDataRecord(message, size, record) && record.requestId == 7) {
                float value = 0;
                std::memcpy(&value, message + 40, sizeof value);
                static_cast<std::vector<float>*>(context)->push_back(value);
            }
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<float>{5.0f, 9.0f}));
    EXPECT_FALSE(Levels("5.000000") > 0 || Levels("9.000000") > 0);
    EXPECT_EQ(otherApi.Close(other), kSimConnectOk);
}

}  // namespace
}  // namespace tarnwick
