#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/ManualClock.h"
#include "sim/SimConnectRecords.h"
#include "sim/SimConnectTestSupport.h"

namespace tarnwick {
namespace {

using namespace test::simtest;
using test::LogCapture;
using test::ManualClock;
using test::WaitUntil;
namespace rec = SimConnectRecords;

constexpr const char* kWaitingForSim = "[INFO] Waiting for flight simulator process to start";
constexpr const char* kSimClosed = "[INFO] Simulator closed; requesting application shutdown";
constexpr const char* kDispatchError = "[WARN] SimConnect disconnected: dispatch error 0x80004005";
constexpr const char* kException = "[WARN] SimConnect disconnected: worker exception";

class SimConnectClientTest : public testing::Test {
protected:
    template <typename F>
    auto Locked(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    void Make(SimConnectClientOptions options = ShortTiming(),
              const Clock& clock = Clock::Steady()) {
        options.waitObserver = waits_.Observer();
        client_ = std::make_unique<SimConnectClient>(
            api_, [this] { return sim_.IsRunning(); }, std::move(options), clock);
        client_->SetShutdownHandler([this] { ++shutdowns_; });
    }
    void Start(const std::string& name = "Tester") {
        if (!client_) {
            Make();
        }
        const Result started = client_->Start(
            name, [this](bool) { ++changes_; }, [this] { return hidPresent_.load(); });
        ASSERT_TRUE(started) << started.Error();
    }
    void StartConnected(const std::string& name = "Tester") {
        sim_.SetRunning(true);
        Start(name);
        ASSERT_TRUE(WaitUntil([this] { return client_->IsConnected(); }));
    }
    bool ChangesReach(std::size_t n) {
        return WaitUntil([&] { return changes_.load() >= n; });
    }

    ManualClock clock_;
    LogCapture log_{true};
    VirtualSimulator sim_;
    VirtualSimConnectApi virtualApi_{sim_};
    test::RecordingSimConnectApi api_{virtualApi_};
    WaitLog waits_;
    std::atomic<bool> hidPresent_{true};
    std::atomic<int> shutdowns_{0};
    std::atomic<std::size_t> changes_{0};  // connections made and lost
    std::mutex mutex_;
    std::unique_ptr<SimConnectClient> client_;  // last: stops before what its handlers use goes
};

TEST_F(SimConnectClientTest, EachWaitingMessageIsLoggedOncePerSpell) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::SimPoll) >= 3; }));
    EXPECT_EQ(log_.Count(kWaitingForSim), 1u);
    hidPresent_ = false;
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::HidPoll) >= 3; }));
    EXPECT_EQ(log_.Count("[INFO] Waiting for HID device to connect"), 1u);
    EXPECT_EQ(sim_.OpenAttempts(), 0);
    hidPresent_ = true;
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(kWaitingForSim) == 2; }));
    EXPECT_EQ(log_.Count("[INFO] HID device detected"), 1u);
    sim_.SetRunning(true);
    ASSERT_TRUE(WaitUntil([&] { return log_.Count("[INFO] SimConnect session opened") == 1; }));
    EXPECT_GT(log_.IndexOf("[INFO] Flight simulator process detected"),
              log_.IndexOf(kWaitingForSim, log_.IndexOf(kWaitingForSim) + 1));
    EXPECT_EQ(shutdowns_.load(), 0);  // no connection had existed before
}

// The program's own periods on a hand-moved clock: a missing library and failed opens back off
// 5, 10, 20, 30, 30 s, and a new failure after a connection starts the series again.
TEST_F(SimConnectClientTest, FailuresBackOffOnTheClockAndASuccessResetsTheSeries) {
    Make({}, clock_);
    clock_.SetWorkers(1);
    sim_.SetRunning(true);
    sim_.SetLoadFailure("SimConnect.dll not found");
    Start();
    clock_.Settle();
    EXPECT_EQ(log_.Count("[WARN] Waiting for SimConnect connection: SimConnect.dll not found"), 1u);
    sim_.SetLoadFailure("");
    sim_.SetCallFailure(SimConnectCall::Open, true);
    clock_.Advance(4999ms);
    clock_.Settle();
    EXPECT_EQ(sim_.OpenAttempts(), 0);
    int attempts = 0;
    for (const auto step : {1ms, 10000ms, 20000ms, 30000ms}) {
        clock_.Advance(step);
        clock_.Settle();
        EXPECT_EQ(sim_.OpenAttempts(), ++attempts);
    }
    EXPECT_EQ(log_.Count("[WARN] Waiting for SimConnect connection: SimConnect_Open failed "
                         "(0x80004005)"),
              4u);
    sim_.SetCallFailure(SimConnectCall::Open, false);
    clock_.Advance(30000ms);
    clock_.Settle();
    ASSERT_TRUE(client_->IsConnected());
    sim_.SetCallFailure(SimConnectCall::Open, true);
    sim_.DropConnections();
    for (int pump = 0; pump < 2; ++pump) {  // the broken pump, then the wait behind it
        clock_.Advance(15ms);
        clock_.Settle();
    }
    EXPECT_EQ(waits_.Of(SimConnectWait::Retry),
              (std::vector<std::int64_t>{5000, 10000, 20000, 30000, 30000, 5000}));
    EXPECT_EQ(waits_.Of(SimConnectWait::Dispatch), (std::vector<std::int64_t>{15, 15}));
}

// Stop ends every kind of wait at once: the clock never moves here.
TEST_F(SimConnectClientTest, StopEndsEveryWaitWithoutTimePassing) {
    const struct {
        bool simRunning, hidPresent, openFails;
        SimConnectWait awaited;
    } cases[] = {
        {false, true, false, SimConnectWait::SimPoll},
        {true, false, false, SimConnectWait::HidPoll},
        {true, true, true, SimConnectWait::Retry},
        {true, true, false, SimConnectWait::Dispatch},
    };
    clock_.SetWorkers(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.awaited));
        sim_.SetRunning(c.simRunning);
        sim_.SetCallFailure(SimConnectCall::Open, c.openFails);
        hidPresent_ = c.hidPresent;
        Make({}, clock_);
        Start();
        ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(c.awaited) >= 1; }));
        clock_.Settle();
        client_->Stop();
        client_.reset();
    }
}

// With a telemetry handler the telemetry is asked for beside the battery; it arrives every
// frame, the battery when it changes. Records too short for their kind call no handler, and
// client data is read to the record's own end.
TEST_F(SimConnectClientTest, RecordsReachTheirHandlersOnlyWhenWhole) {
    std::vector<SimTelemetry> telemetry;
    std::vector<std::string> seen;
    Make();
    client_->SetTelemetryHandler(
        [&](const SimTelemetry& v) { Locked([&] { telemetry.push_back(v); }); });
    client_->SetBatteryHandler(
        [&](bool on) { Locked([&] { seen.push_back(on ? "on" : "off"); }); });
    client_->SetClientDataHandler([&](std::uint32_t, const std::uint8_t*, std::uint32_t size) {
        Locked([&] { seen.push_back(std::to_string(size)); });
    });
    sim_.SetFramesOnDispatch(false);
    StartConnected();
    EXPECT_EQ(sim_.DataDefinitionVariables(2).size(), SimTelemetry::kCount);
    EXPECT_EQ(sim_.DataRequests().size(), 2u);  // the battery's and the telemetry's
    rec::DataRecord fields;
    fields.requestId = 2;
    const std::vector<std::uint8_t> thirteen(13 * 8, 0);
    sim_.InjectMessage(
        rec::EncodeDataRecord(rec::kRecvIdSimObjectData, fields, thirteen.data(), 13 * 8));
    fields.requestId = 1;
    sim_.InjectMessage(rec::EncodeDataRecord(rec::kRecvIdSimObjectData, fields, nullptr, 0));
    fields.requestId = 4608;
    sim_.InjectMessage(rec::EncodeDataRecord(rec::kRecvIdClientData, fields, nullptr, 0));
    const std::uint8_t four[4] = {'a', 'b', 'c', 0};
    auto longer = rec::EncodeDataRecord(rec::kRecvIdClientData, fields, four, 4);
    longer.resize(longer.size() + 16, 0xEE);
    sim_.InjectMessage(longer);
    sim_.StepFrames(3);
    sim_.SetMasterBattery2(false);
    sim_.StepFrames(1);
    ASSERT_TRUE(WaitUntil([&] { return Locked([&] { return seen.size() == 3; }); }));
    client_.reset();
    EXPECT_EQ(seen, (std::vector<std::string>{"4", "on", "off"}));
    ASSERT_EQ(telemetry.size(), 4u);
    // Pitch and bank arrive with the simulator's sign turned round.
    EXPECT_GT(telemetry.back()[SimTelemetry::kPitch], 0.0f);
    EXPECT_GT(telemetry.back()[SimTelemetry::kBank], 0.0f);
}

// What happens to a connected client, with the lines it logs once: refusals and exceptions of
// the simulator keep the connection; a broken pass reconnects (after a back-off when it failed
// inside the library or a handler); only a closed simulator asks the application to shut down.
// Handles are never closed inside their own dispatch.
TEST_F(SimConnectClientTest, EveryMishapIsReportedAndOnlyAClosedSimulatorEndsTheRun) {
    std::atomic<bool> throwing{false};
    using Act = std::function<void()>;
    const Act none = [] {};
    const Act refuseVariable = [&] { sim_.SetVariableFailure("NAV CDI:1", true); };
    const Act refuseRequest = [&] {
        sim_.FailNextCalls(SimConnectCall::RequestDataOnSimObject, 1);
    };
    const Act raise = [&] { sim_.RaiseException(7, 3, 4294967295u); };
    const Act drop = [&] { sim_.DropConnections(); };
    const Act throwInLibrary = [&] { sim_.ThrowOnNextCall(SimConnectCall::CallDispatch, "gone"); };
    const Act throwInHandler = [&] { throwing = true, sim_.SetMasterBattery2(false); };
    const Act quit = [&] { sim_.Quit(); };
    const Act vanish = [&] { sim_.SetRunning(false); };
    const std::string definitionsFailed =
        "[WARN] SimConnect data definitions failed: SimConnect_AddToDataDefinition failed for "
        "NAV CDI:1 (0x80004005)";
    const std::string requestFailed =
        "[WARN] SimConnect data request failed: SimConnect_RequestDataOnSimObject failed "
        "(0x80004005)";
    const std::string thrown = "[ERROR] SimConnect worker exception: ";
    const struct {
        Act before, after;
        std::size_t changes;  // connected, disconnected, connected again
        int shutdowns;
        std::size_t retries;
        std::vector<std::string> lines;
    } cases[] = {
        {refuseVariable, none, 1, 0, 0, {definitionsFailed}},
        {refuseRequest, none, 1, 0, 0, {requestFailed}},
        {none, raise, 1, 0, 0, {"[DEBUG] SimConnect exception 7 sendId=3 index=4294967295"}},
        {none, drop, 3, 0, 0, {kDispatchError}},
        {none, throwInLibrary, 3, 0, 1, {thrown + "gone", kException}},
        {none, throwInHandler, 3, 0, 1, {thrown + "handler", kException}},
        {none, quit, 2, 1, 0, {"[WARN] SimConnect disconnected: SimConnect quit", kSimClosed}},
        {none, vanish, 2, 1, 0, {kDispatchError, kSimClosed}},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        const auto& c = cases[row];
        SCOPED_TRACE(row);
        std::vector<std::size_t> before;
        for (const std::string& line : c.lines) {
            before.push_back(log_.Count(line));
        }
        const std::size_t retries = waits_.CountOf(SimConnectWait::Retry);
        shutdowns_ = 0;
        changes_ = 0;
        Make();
        client_->SetTelemetryHandler([](const SimTelemetry&) {});
        client_->SetBatteryHandler([&](bool on) {
            if (!on && throwing.exchange(false)) {
                throw std::runtime_error("handler");
            }
        });
        c.before();
        StartConnected();
        c.after();
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            EXPECT_TRUE(WaitUntil([&] { return log_.Count(c.lines[i]) == before[i] + 1; }))
                << c.lines[i];
        }
        ASSERT_TRUE(ChangesReach(c.changes));
        EXPECT_TRUE(WaitUntil([&] { return shutdowns_.load() == c.shutdowns; }));
        client_.reset();
        EXPECT_EQ(changes_.load(), c.changes + (c.changes % 2));  // Stop ends a connection
        EXPECT_EQ(waits_.CountOf(SimConnectWait::Retry) - retries, c.retries);
        EXPECT_EQ(sim_.HandleMisuses(), 0);
        sim_.SetMasterBattery2(true);
        sim_.SetVariableFailure("NAV CDI:1", false);
    }
}

// A failed mapping of an event name uses up its number; a new connection maps anew. Operations
// fail plainly without a connection or on the simulator's refusal.
TEST_F(SimConnectClientTest, EventsAreMappedPerConnectionAndOperationsFailPlainly) {
    Make();
    const std::uint8_t block[4] = {};
    const std::function<Result()> calls[] = {
        [&] { return client_->TransmitEvent("AP_MASTER", 1); },
        [&] { return client_->MapClientDataName("MobiFlight.Command", 4096); },
        [&] { return client_->AddClientDataDefinition(4352, 256); },
        [&] { return client_->RequestClientData(4097, 4608, 4353); },
        [&] { return client_->SetClientData(4096, 4352, block, 4); },
    };
    for (const auto& call : calls) {
        EXPECT_EQ(call().Error(), "SimConnect is not connected");
    }
    EXPECT_EQ(client_->TransmitEvent("", 1).Error(), "SimConnect event name is empty");
    StartConnected();
    sim_.FailNextCalls(SimConnectCall::MapClientEventToSimEvent, 1);
    EXPECT_EQ(calls[0]().Error(), "SimConnect_MapClientEventToSimEvent failed (0x80004005)");
    EXPECT_TRUE(calls[0]());
    EXPECT_TRUE(client_->TransmitEvent("HEADING_BUG_SET", 90));
    EXPECT_EQ(api_.Transmitted(), (std::vector<std::uint32_t>{2, 3}));
    sim_.DropConnections();
    ASSERT_TRUE(ChangesReach(3));
    EXPECT_TRUE(client_->TransmitEvent("HEADING_BUG_SET", 180));
    EXPECT_EQ(sim_.Variable("AUTOPILOT HEADING LOCK DIR"), 180.0);
    sim_.SetCallFailure(SimConnectCall::TransmitClientEvent, true);
    sim_.SetCallFailure(SimConnectCall::SetClientData, true);
    EXPECT_EQ(calls[0]().Error(), "SimConnect_TransmitClientEvent failed (0x80004005)");
    EXPECT_EQ(calls[4]().Error(), "SimConnect_SetClientData failed (0x80004005)");
    EXPECT_TRUE(calls[1]());
}

TEST_F(SimConnectClientTest, StartAndStop) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::SimPoll) >= 1; }));
    EXPECT_EQ(client_->Start("Other", {}, {}).Error(), "SimConnect client already running");
    client_->Stop();  // without a connection: nothing said about disconnecting
    EXPECT_EQ(log_.Matching("disconnected").size(), 0u);

    // A handler may stop the client; it starts again, and Stop closes the connection once.
    client_->SetShutdownHandler([this] {
        ++shutdowns_;
        client_->Stop();
    });
    StartConnected("");
    EXPECT_EQ(api_.Opens(), std::vector<std::string>{"TarnwickHID"});
    sim_.Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    sim_.SetRunning(true);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));
    client_->Stop();
    client_->Stop();
    EXPECT_EQ(sim_.OpenConnectionCount(), 0);
    EXPECT_EQ(changes_.load(), 4u);
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: shutdown"), 1u);
}

}  // namespace
}  // namespace tarnwick
