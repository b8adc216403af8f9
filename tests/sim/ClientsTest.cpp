// The SimConnect and MobiFlight clients against the virtual simulator and its module, wired as
// the application wires them: SimConnect's waits, mishaps and records; the registration on its
// schedule, the queue's work as it reaches the module's channel, and the levels the module
// reports. The queue's bookkeeping has its own table in MobiFlightCommandQueueTest.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
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
using test::WaitUntil;
namespace mf = MobiFlightProtocol;
namespace rec = SimConnectRecords;
using Call = SimConnectCall;

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
    return {.clientName = "Tester", .rpnRateLimitMs = rateLimitMs};
}

// Both clients over one simulator, each on the clock it is given (Make): SimConnect with short
// periods and the real doubling (its retries wait 5, 10, 20, 30, 30 ms), MobiFlight waking at
// every move of a hand-moved clock. By default the MobiFlight worker runs on a clock the test
// moves, and only while it waits on it; SimConnect on real time.
class ClientTest : public testing::Test {
protected:
    ClientTest() {
        clock_.SetWorkers(1);
        Make(Clock::Steady(), clock_);
    }
    ~ClientTest() override { Stop(); }
    template <typename F>
    auto Locked(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    // In the application's order: SimConnect's worker calls into the MobiFlight client.
    void Stop() {
        mobiFlight_->Stop();
        simConnect_ = nullptr;
    }
    void Make(const Clock& simClock, const Clock& mfClock) {
        Stop();
        sim_.ClearRecords();
        waits_.clear();
        changes_ = shutdowns_ = 0;
        const SimConnectClientOptions options{
            .timing = {1ms, 2ms, 2ms, 5ms, 30ms},
            .waitObserver = [this](SimConnectWait why, std::chrono::milliseconds duration) {
                Locked([&] { waits_[why].push_back(duration.count()); });
            }};
        simConnect_ = std::make_unique<SimConnectClient>(
            api_, [this] { return sim_.IsRunning(); }, options, simClock);
        simConnect_->SetShutdownHandler([this] { ++shutdowns_; });
        mobiFlight_ = std::make_unique<MobiFlightClient>(
            MobiFlightClientOptions{.timing = {.idleWake = 1ms}}, mfClock);
        mobiFlight_->SetTextHandler([this](const std::string& text) { Note(text); });
    }
    Result StartSimConnect(const std::string& name = "Tester") {
        return simConnect_->Start(
            name,
            [this](bool connected) {
                ++changes_;
                mobiFlight_->OnSimConnectionChanged(connected);
            },
            [this] { return hidPresent_.load(); });
    }
    void StartConnected() {
        sim_.SetRunning(true);
        ASSERT_TRUE(StartSimConnect());
        ASSERT_TRUE(WaitUntil([this] { return simConnect_->IsConnected(); }));
    }
    // Both clients; returns once the connection exists...
    void Start(const MobiFlightSettings& settings = Settings()) {
        ASSERT_TRUE(mobiFlight_->Start(simConnect_.get(), settings));
        StartConnected();
    }
    // ...or once registered with the subscription sent.
    void StartRegistered() {
        Start();
        ASSERT_TRUE(WaitUntil([this] {
            return mobiFlight_->IsRegistered() && Commands(kSubscribe) == 1 &&
                   mobiFlight_->QueueLength() == 0;
        }));
    }
    bool Queue(const std::string& rpn, SendMode mode = SendMode::Plain, int count = 1) {
        return mobiFlight_->QueueRpn(rpn, mode, count).Ok();
    }
    // Queued behind everything else: once it and its dummy are written, the queue was served.
    void Drain() {
        const std::size_t before = Executed("(>L:DRAINED)");
        ASSERT_TRUE(Queue("(>L:DRAINED)"));
        ASSERT_TRUE(WaitUntil([&] {
            return Executed("(>L:DRAINED)") == before + 1 && sim_.ModuleCommands().back() == kDummy;
        }));
    }
    // How often the module read this command, or ran this calculator code.
    std::size_t Commands(const std::string& t) const { return CountOf(sim_.ModuleCommands(), t); }
    std::size_t Executed(std::string c) const { return CountOf(sim_.ExecutedCode(), "1 " + c); }
    // The durations of the SimConnect worker's waits of one kind, in order.
    std::vector<std::int64_t> Waits(SimConnectWait w) {
        return Locked([&] { return waits_[w]; });
    }
    // What the handlers were given: levels, sizes of client data, battery states.
    void Note(const std::string& text) {
        Locked([&] { noted_.push_back(text); });
    }
    std::vector<std::string> Noted() {
        return Locked([&] { return noted_; });
    }
    void Deliver(const std::string& text, std::uint32_t requestId = mf::kClientLVarsRequestId) {
        mobiFlight_->OnClientData(requestId, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                  static_cast<std::uint32_t>(text.size() + 1));
    }

    test::ManualClock clock_;
    test::LogCapture log_{true};
    VirtualSimulator sim_;
    VirtualSimConnectApi api_{sim_};
    std::atomic<bool> hidPresent_{true};
    std::atomic<std::size_t> changes_{0};  // connections made and lost
    std::atomic<int> shutdowns_{0};
    std::mutex mutex_;
    std::map<SimConnectWait, std::vector<std::int64_t>> waits_;
    std::vector<std::string> noted_;
    std::unique_ptr<SimConnectClient> simConnect_;
    std::unique_ptr<MobiFlightClient> mobiFlight_ = std::make_unique<MobiFlightClient>();
};

// With a telemetry handler the telemetry is asked for beside the battery and the aircraft's title;
// it arrives every frame (pitch and bank with the simulator's sign turned round), the battery and
// the title when they change.
// Records too short for their kind call no handler, and client data is read to the record's own
// end.
TEST_F(ClientTest, RecordsReachTheirHandlersOnlyWhenWhole) {
    simConnect_->SetTelemetryHandler([&](const SimTelemetry& v) {
        Note(v[SimTelemetry::kPitch] > 0 && v[SimTelemetry::kBank] > 0 ? "flight" : "sign");
    });
    simConnect_->SetBatteryHandler([&](bool on) { Note(on ? "on" : "off"); });
    simConnect_->SetAircraftHandler([&](const std::string& title) { Note(title); });
    simConnect_->SetClientDataHandler([&](std::uint32_t, const std::uint8_t*, std::uint32_t size) {
        Note(std::to_string(size));
    });
    sim_.SetFramesOnDispatch(false);
    sim_.SetAircraftTitle("Cessna 172");
    StartConnected();
    rec::DataRecord fields;
    const std::vector<std::uint8_t> thirteen(13 * 8, 0);
    for (const std::uint32_t request : {2, 1, 3, 4608}) {
        fields.requestId = request;
        sim_.InjectMessage(rec::EncodeDataRecord(
            request == 4608 ? rec::kRecvIdClientData : rec::kRecvIdSimObjectData, fields,
            thirteen.data(), request == 2 ? 13 * 8 : 0));
    }
    const std::uint8_t four[4] = {'a', 'b', 'c', 0};
    auto longer = rec::EncodeDataRecord(rec::kRecvIdClientData, fields, four, 4);
    longer.resize(longer.size() + 16, 0xEE);
    sim_.InjectMessage(longer);
    sim_.StepFrames(2);
    sim_.SetMasterBattery2(false);
    sim_.SetAircraftTitle("Airbus A320");
    sim_.StepFrames(1);
    const std::vector<std::string> expected = {"4",      "on",  "flight", "Cessna 172",
                                               "flight", "off", "flight", "Airbus A320"};
    EXPECT_TRUE(WaitUntil([&] { return Noted().size() >= expected.size(); }));
    Stop();
    EXPECT_EQ(Noted(), expected);
}

// What happens to a connected client, with the lines it logs: refusals and exceptions of the
// simulator keep the connection; a broken pass reconnects (after a back-off when it failed inside
// the library or a handler); failed opens back off doubling to the longest, and a failure after
// a connection starts the series again; only a closed simulator asks the application to shut
// down. Handles are never closed inside their own dispatch.
TEST_F(ClientTest, EveryMishapIsReportedAndOnlyAClosedSimulatorEndsTheRun) {
    std::atomic<bool> throwing{false};
    const std::function<void()> none = [] {}, quit = [&] { sim_.Quit(); };
    const auto vanish = [&] { sim_.SetRunning(false); };
    const auto failOpens = [&] { sim_.FailNextCalls(Call::Open, 5); };
    const auto refuseVariable = [&] { sim_.SetVariableFailure("NAV CDI:1", true); };
    const auto refuseRequest = [&] { sim_.FailNextCalls(Call::RequestDataOnSimObject, 1); };
    const auto raise = [&] { sim_.RaiseException(7, 3, 4294967295u); };
    const auto throwInLibrary = [&] { sim_.ThrowOnNextCall(Call::CallDispatch, "gone"); };
    const auto throwInHandler = [&] { throwing = true, sim_.SetMasterBattery2(false); };
    const auto failOpenAndDrop = [&] { sim_.FailNextCalls(Call::Open, 1), sim_.DropConnections(); };
    const std::string thrown = "[ERROR] SimConnect worker exception: ";
    const std::string definitionsFailed =
        "[WARN] SimConnect data definitions failed: SimConnect_AddToDataDefinition failed for "
        "NAV CDI:1 (0x80004005)";
    const std::string requestFailed =
        "[WARN] SimConnect data request failed: SimConnect_RequestDataOnSimObject failed "
        "(0x80004005)";
    std::vector<std::string> opensFailed(
        6, "[WARN] Waiting for SimConnect connection: SimConnect_Open failed (0x80004005)");
    opensFailed.push_back(kDispatchError);
    const struct {
        std::function<void()> before, after;
        std::size_t changes;  // connected, disconnected, connected again
        int shutdowns;
        std::vector<std::int64_t> retries;
        std::vector<std::string> lines;
    } cases[] = {
        {refuseVariable, none, 1, 0, {}, {definitionsFailed}},
        {refuseRequest, none, 1, 0, {}, {requestFailed}},
        {none, raise, 1, 0, {}, {"[DEBUG] SimConnect exception 7 sendId=3 index=4294967295"}},
        {none, throwInLibrary, 3, 0, {5}, {thrown + "gone", kException}},
        {none, throwInHandler, 3, 0, {5}, {thrown + "handler", kException}},
        {none, quit, 2, 1, {}, {"[WARN] SimConnect disconnected: SimConnect quit", kSimClosed}},
        {none, vanish, 2, 1, {}, {kDispatchError, kSimClosed}},
        {failOpens, failOpenAndDrop, 3, 0, {5, 10, 20, 30, 30, 5}, opensFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        test::LogCapture log(true);
        Make(Clock::Steady(), Clock::Steady());
        simConnect_->SetTelemetryHandler([](const SimTelemetry&) {});
        simConnect_->SetBatteryHandler([&](bool on) {
            if (!on && throwing.exchange(false))
                throw std::runtime_error("handler");
        });
        c.before();
        StartConnected();
        c.after();
        for (const std::string& line : c.lines) {
            EXPECT_TRUE(WaitUntil([&] { return log.Count(line) == CountOf(c.lines, line); }))
                << line;
        }
        ASSERT_TRUE(WaitUntil([&] { return changes_.load() >= c.changes; }));
        EXPECT_TRUE(WaitUntil([&] { return shutdowns_.load() == c.shutdowns; }));
        Stop();
        EXPECT_EQ(changes_.load(), c.changes + (c.changes % 2));  // Stop ends a connection
        EXPECT_EQ(Waits(SimConnectWait::Retry), c.retries);
        EXPECT_EQ(sim_.HandleMisuses(), 0);
        sim_.SetMasterBattery2(true);
        sim_.SetVariableFailure("NAV CDI:1", false);
    }
}

// Operations fail plainly without a connection or on the simulator's refusal. Each waiting
// message is logged once per spell; a library that does not load is retried. Start on a running
// client changes nothing. A failed mapping of an event name is tried again on the next send; a new
// connection maps anew. A handler may stop the client, which starts again, and Stop closes the
// connection once.
TEST_F(ClientTest, WaitsOperationsStartAndStop) {
    const std::function<Result()> calls[] = {
        [&] { return simConnect_->TransmitEvent("AP_MASTER", 1); },
        [&] { return simConnect_->MapClientDataName("MobiFlight.Command", 4096); },
        [&] { return simConnect_->SetClientData(4096, 4352, "abc", 4); },
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call().Error(), "SimConnect is not connected");
    }
    EXPECT_EQ(simConnect_->TransmitEvent("", 1).Error(), "SimConnect event name is empty");
    ASSERT_TRUE(StartSimConnect());
    ASSERT_TRUE(WaitUntil([&] { return Waits(SimConnectWait::SimPoll).size() >= 3; }));
    EXPECT_EQ(simConnect_->Start("Other", {}, {}).Error(), "SimConnect client already running");
    hidPresent_ = false;
    ASSERT_TRUE(WaitUntil([&] { return Waits(SimConnectWait::HidPoll).size() >= 3; }));
    EXPECT_EQ(log_.Count("[INFO] Waiting for HID device to connect"), 1u);
    EXPECT_EQ(sim_.OpenAttempts(), 0);
    hidPresent_ = true;
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(kWaitingForSim) == 2; }));
    EXPECT_EQ(log_.Count("[INFO] HID device detected"), 1u);
    simConnect_->Stop();  // without a connection: nothing said about disconnecting
    EXPECT_TRUE(log_.Matching("disconnected").empty());
    ASSERT_TRUE(StartSimConnect(""));
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(kWaitingForSim) == 3; }));
    sim_.SetLoadFailure("no library");
    sim_.SetRunning(true);
    const std::string notLoaded = "[WARN] Waiting for SimConnect connection: no library";
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(notLoaded) == 1; }));
    sim_.SetLoadFailure("");
    ASSERT_TRUE(WaitUntil([&] { return log_.Count("[INFO] SimConnect session opened") == 1; }));
    EXPECT_EQ(log_.Count("[INFO] Flight simulator process detected"), 1u);
    EXPECT_EQ(shutdowns_.load(), 0);  // no connection had existed before

    sim_.FailNextCalls(Call::MapClientEventToSimEvent, 1);
    EXPECT_EQ(calls[0]().Error(), "SimConnect_MapClientEventToSimEvent failed (0x80004005)");
    EXPECT_TRUE(calls[0]());
    sim_.DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return changes_.load() >= 3; }));
    EXPECT_TRUE(simConnect_->TransmitEvent("HEADING_BUG_SET", 180));
    EXPECT_EQ(sim_.Variable("AUTOPILOT HEADING LOCK DIR"), 180.0);
    EXPECT_EQ(sim_.Events().size(), 2u);
    sim_.SetCallFailure(Call::TransmitClientEvent, true);
    sim_.SetCallFailure(Call::SetClientData, true);
    EXPECT_EQ(calls[0]().Error(), "SimConnect_TransmitClientEvent failed (0x80004005)");
    EXPECT_EQ(calls[2]().Error(), "SimConnect_SetClientData failed (0x80004005)");
    EXPECT_TRUE(calls[1]());

    simConnect_->SetShutdownHandler([this] {
        simConnect_->Stop();
        ++shutdowns_;
    });
    sim_.Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    StartConnected();
    simConnect_->Stop();
    simConnect_->Stop();
    EXPECT_EQ(sim_.OpenedClientNames(),
              (std::vector<std::string>{"TarnwickHID", "TarnwickHID", "Tester"}));
    EXPECT_EQ(sim_.OpenConnectionCount(), 0);
    EXPECT_EQ(changes_.load(), 6u);
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: shutdown"), 1u);
}

TEST_F(ClientTest, RequestsAreRefusedWithTheirCauseOrDroppedOnAConnectionChange) {
    MobiFlightClient disabled;
    const MobiFlightSettings off{.enabled = false};
    ASSERT_TRUE(disabled.Start(nullptr, off));
    EXPECT_EQ(disabled.QueueRpn("1", SendMode::Plain, 1).Error(), "MobiFlight disabled");
    EXPECT_EQ(disabled.SendRpnNow("1").Error(), "MobiFlight disabled");

    MobiFlightClient& client = *mobiFlight_;
    EXPECT_EQ(client.QueueRpn("1", SendMode::Plain, 1).Error(), "MobiFlight not running");
    ASSERT_TRUE(client.Start(simConnect_.get(), Settings()));
    EXPECT_EQ(client.Start(simConnect_.get(), off).Error(), "MobiFlight client already running");
    EXPECT_EQ(client.SendRpnNow("1").Error(), "SimConnect is not connected");
    client.Stop();
    sim_.SetModuleAnswer(ModuleAnswer::Silent);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Commands(kRegistration) == 1; }));
    EXPECT_EQ(client.SendRpnNow("1").Error(), "MobiFlight not ready");
    EXPECT_EQ(client.QueueRpn("", SendMode::Plain, 1).Error(), "Empty RPN command");

    // A connection change drops what was queued, also what the worker holds.
    ASSERT_TRUE(Queue("(>L:OLD_PLAIN)"));
    ASSERT_TRUE(Queue("(>L:OLD_DEDUPE)", SendMode::Dedupe));
    ASSERT_TRUE(Queue("(>L:OLD_COUNTED)", SendMode::Counted, 4));
    clock_.Settle();  // one of them in the worker's hand
    sim_.SetModuleAnswer(ModuleAnswer::Finished);
    sim_.DropConnections();
    // Registered, and the lighting subscription sent: nothing but the drains follows.
    ASSERT_TRUE(WaitUntil([&] { return mobiFlight_->IsRegistered() && Commands(kSubscribe) == 1; }));
    Drain();
    Drain();  // a held entry put back would go behind the first
    for (const char* old : {"(>L:OLD_PLAIN)", "(>L:OLD_DEDUPE)", "(>L:OLD_COUNTED)"}) {
        EXPECT_EQ(Executed(old), 0u) << old;
    }
    // A failed write is reported and not retried.
    sim_.FailNextCalls(Call::SetClientData, 1);
    ASSERT_TRUE(Queue("(>L:LOST)"));
    Drain();
    EXPECT_EQ(
        log_.Count("[WARN] MobiFlight send failed: SimConnect_SetClientData failed (0x80004005)"),
        1u);
    EXPECT_EQ(Executed("(>L:LOST)"), 0u);

    // A calculator code of 238 bytes fills the block (255 with the prefix, then the NUL); one
    // byte more is refused, never cut.
    const std::string fits(238, '7');
    const std::string tooLong(239, '8');
    ASSERT_TRUE(Queue(fits));
    Drain();
    EXPECT_EQ(Executed(fits), 1u);
    for (const Result& refused :
         {client.QueueRpn(tooLong, SendMode::Plain, 1), client.SendRpnNow(tooLong)}) {
        EXPECT_EQ(refused.Error(), "RPN command too long (239 bytes, at most 238)");
    }
    Drain();
    EXPECT_EQ(Executed(std::string(238, '8')), 0u);
    client.Stop();
    EXPECT_EQ(client.SendRpnNow("1").Error(), "MobiFlight not running");
}

// One run through the registration's schedule on the hand-moved clock: channels that cannot be
// set up wait for the next connection; attempts every 5 s with one line after the first and one
// warning at three minutes; a refusal logged whole; commands queued meanwhile go out once it is
// acknowledged, each with its dummy; the next connection registers again at once.
TEST_F(ClientTest, EveryConnectionRegistersOnItsSchedule) {
    sim_.FailNextCalls(Call::AddToClientDataDefinition, 1);
    sim_.SetModuleAnswer(ModuleAnswer::Silent);
    Start();
    ASSERT_TRUE(WaitUntil([&] {
        return log_.Count(
                   "[WARN] MobiFlight channel initialization failed: "
                   "SimConnect_AddToClientDataDefinition failed (0x80004005)") == 1;
    }));
    clock_.Advance(60s);
    clock_.Settle();
    EXPECT_EQ(Commands(kRegistration), 0u);
    sim_.DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return Commands(kRegistration) == 1; }));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Queue("1 (>L:PLAIN)"));
    }
    // The clock moved by so much, the attempts so far and how often the line was logged.
    const std::tuple<std::chrono::milliseconds, std::size_t, const std::string&, std::size_t>
        steps[] = {
            {4999ms, 1, kRetrying, 0}, {1ms, 2, kRetrying, 1},  {170s, 3, kNoAnswer, 0},
            {5s, 4, kNoAnswer, 1},     {500s, 5, kNoAnswer, 1},
        };
    for (const auto& [by, attempts, line, lines] : steps) {
        SCOPED_TRACE(attempts);
        EXPECT_EQ(Executed("1 (>L:PLAIN)"), 0u);
        clock_.Advance(by);
        clock_.Settle();
        ASSERT_TRUE(WaitUntil([&] { return Commands(kRegistration) == attempts; }));
        EXPECT_TRUE(WaitUntil([&] { return log_.Count(line) == lines; }));
    }
    // A refusal is logged whole and the registration goes on.
    sim_.SetModuleAnswer(ModuleAnswer::Error);
    clock_.Advance(5s);
    EXPECT_TRUE(WaitUntil([&] {
        return log_.Count("[WARN] MobiFlight registration error: MF.Clients.Add.Tester.Error") == 1;
    }));
    // A worker woken by a request may look at the time only after it moved: move it again until
    // the next attempt has gone out.
    sim_.SetModuleAnswer(ModuleAnswer::Finished);
    ASSERT_TRUE(WaitUntil([&] {
        clock_.Advance(5s);
        return Executed("1 (>L:PLAIN)") == 3;
    }));
    const std::size_t attempts = Commands(kRegistration);
    const std::string registered = "[INFO] MobiFlight client registered";
    EXPECT_EQ(log_.Count(registered + " (after " + std::to_string(attempts) + " attempts)"), 1u);
    clock_.Advance(30s);
    clock_.Settle();
    EXPECT_EQ(Commands(kRegistration), attempts);
    // A repeated acknowledgement changes nothing; a new connection registers again at once.
    Deliver(mf::RegistrationFinishedAnswer("Tester"), mf::kResponseRequestId);
    sim_.DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return Commands(kSubscribe) == 2; }));
    EXPECT_EQ(Commands(kClear), 2u);
    EXPECT_EQ(log_.Count(registered), 1u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client waiting for SimConnect"), 2u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client channels: Tester.Command, Tester.Response, "
                         "Tester.LVars"),
              2u);
}

// Stop ends every wait of either client's worker with its clock standing. Queued commands keep
// the rate limit on the client's clock, the subscription's two included; SendRpnNow does not
// wait for it.
TEST_F(ClientTest, StopEndsEveryWaitOfEitherClientWithoutTimePassing) {
    const auto cycling = [&] {
        ASSERT_TRUE(mobiFlight_->Start(simConnect_.get(), Settings()) && Queue("1"));
    };
    const auto rateLimited = [&] {
        Start(Settings(60000));
        ASSERT_TRUE(WaitUntil([&] { return Commands(kClear) == 1; }));
        clock_.Advance(59999ms);
        clock_.Settle();
        EXPECT_EQ(Commands(kSubscribe), 0u);
        clock_.Advance(1ms);
        ASSERT_TRUE(WaitUntil([&] { return mobiFlight_->IsRegistered(); }));
        ASSERT_TRUE(Queue("2"));
        ASSERT_TRUE(mobiFlight_->SendRpnNow("(>L:NOW)"));
        EXPECT_EQ(Executed("(>L:NOW)"), 1u);
    };
    const struct {
        const char* what;
        bool running, openFails;
        SimConnectWait awaited;            // by SimConnect's worker, on the clock and stopped...
        std::function<void()> mobiFlight;  // ...or what the MobiFlight worker is given
    } cases[] = {
        {"no simulator", false, false, SimConnectWait::SimPoll, {}},
        {"a failed open", true, true, SimConnectWait::Retry, {}},
        {"the message pump", true, false, SimConnectWait::Dispatch, {}},
        {"SimConnect, with an entry cycling", false, false, {}, cycling},
        {"work, registered", true, false, {}, [&] { StartRegistered(); }},
        {"a minute's rate limit", true, false, {}, rateLimited},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        !c.mobiFlight ? Make(clock_, Clock::Steady()) : Make(Clock::Steady(), clock_);
        sim_.SetRunning(c.running);
        sim_.SetCallFailure(Call::Open, c.openFails);
        if (!c.mobiFlight) {
            ASSERT_TRUE(StartSimConnect());
            ASSERT_TRUE(WaitUntil([&] { return !Waits(c.awaited).empty(); }));
        } else {
            c.mobiFlight();
        }
        clock_.Settle();
        !c.mobiFlight ? simConnect_->Stop() : mobiFlight_->Stop();
        EXPECT_EQ(Executed("2"), 0u);
    }
}

// Another program on the module's shared channels, as cockpit builders often run one for their
// other panels: our registration, subscription, commands and reconnects leave its variable list
// alone, and each reads its own variable area: only the client's own channel carries levels.
// Nothing reaches the level handler after Stop.
TEST_F(ClientTest, AnotherClientOnTheSharedChannelsKeepsItsVariables) {
    VirtualSimConnectApi otherApi(sim_);
    sim_.SetRunning(true);
    sim_.SetLVar("L:OTHER", 5.0);
    sim_.SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.25);
    SimConnectHandle other = nullptr;
    mf::CommandBlock add;
    mf::BuildCommandBlock("MF.SimVars.Add.(L:OTHER)", add);
    for (const SimConnectResult result :
         {otherApi.Open(other, "OtherPanels"),
          otherApi.MapClientDataNameToID(other, "MobiFlight.Command", 1),
          otherApi.MapClientDataNameToID(other, "MobiFlight.LVars", 2),
          otherApi.AddToClientDataDefinition(other, 1, 0, 256, 0, 0),
          otherApi.AddToClientDataDefinition(other, 2, 0, 4, 0, 0),
          otherApi.RequestClientData(other, 2, 7, 2, rec::kClientDataPeriodOnSet,
                                     rec::kClientDataRequestFlagChanged, 0, 0, 0),
          otherApi.SetClientData(other, 1, 1, 0, 0, 256, add.data())}) {
        ASSERT_EQ(result, kSimConnectOk);
    }

    Deliver("");  // no level
    StartRegistered();
    ASSERT_TRUE(WaitUntil([&] { return CountOf(Noted(), "0.250000") > 0; }));
    ASSERT_TRUE(mobiFlight_->QueueRpn("(>L:MINE)", SendMode::Plain, 1));
    ASSERT_TRUE(WaitUntil([&] { return Executed("(>L:MINE)") == 1; }));
    // Only our pump dispatches meanwhile, so the failure breaks our connection, not the other's.
    sim_.FailNextCalls(Call::CallDispatch, 1);
    ASSERT_TRUE(
        WaitUntil([&] { return Commands(kSubscribe) == 2 && mobiFlight_->QueueLength() == 0; }));
    sim_.SetLVar("L:OTHER", 9.0);
    // 0.3 starts with a non-NUL byte (9A 99 99 3E) and is a number all the same.
    sim_.SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.3);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(Noted(), "0.300000") > 0; }));

    std::vector<std::string> seen;
    otherApi.CallDispatch(
        other,
        [](const std::uint8_t* message, std::uint32_t size, void* context) {
            rec::DataRecord record;
            if (rec::ReadU32(message + 8) == rec::kRecvIdClientData &&
                rec::DecodeDataRecord(message, size, record) && record.requestId == 7) {
                static_cast<std::vector<std::string>*>(context)->push_back(
                    mf::DecodeLVarBlock(record.data, record.dataSize).value_or("none"));
            }
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"5.000000", "9.000000"}));
    for (const std::string& level : Noted()) {  // neither the other's nor any response
        EXPECT_TRUE(level == "0.250000" || level == "0.300000") << level;
    }
    // The module may report a level until the Stop; nothing may come after it.
    mobiFlight_->Stop();
    const auto before = Noted().size();
    Deliver("1");
    EXPECT_EQ(Noted().size(), before);
}

}  // namespace
}  // namespace tarnwick
