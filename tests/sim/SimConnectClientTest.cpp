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
            name, [this](bool connected) { Locked([&] { changes_.push_back(connected); }); },
            [this] { return hidPresent_.load(); });
        ASSERT_TRUE(started) << started.Error();
    }
    void StartConnected(const std::string& name = "Tester") {
        sim_.SetRunning(true);
        Start(name);
        ASSERT_TRUE(WaitUntil([this] { return client_->IsConnected(); }));
    }
    std::vector<bool> Changes() {
        return Locked([&] { return changes_; });
    }
    bool ChangesReach(std::size_t n) {
        return WaitUntil([&] { return Changes().size() >= n; });
    }

    ManualClock clock_;
    LogCapture log_;
    VirtualSimulator sim_;
    VirtualSimConnectApi virtualApi_{sim_};
    test::RecordingSimConnectApi api_{virtualApi_};
    WaitLog waits_;
    std::atomic<bool> hidPresent_{true};
    std::atomic<int> shutdowns_{0};
    std::mutex mutex_;
    std::vector<bool> changes_;
    std::vector<SimTelemetry> telemetry_;
    std::vector<bool> battery_;
    std::vector<std::uint32_t> clientDataSizes_;
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
    ASSERT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));
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

TEST_F(SimConnectClientTest, ConnectsUnderTheDefaultNameAndDecidesTelemetryPerConnection) {
    StartConnected("");
    EXPECT_EQ(api_.Opens().front(), "TarnwickHID");
    EXPECT_EQ(log_.Count("[INFO] SimConnect connected"), 1u);
    EXPECT_TRUE(WaitUntil([&] { return log_.Count("[INFO] SimConnect session opened") == 1; }));
    EXPECT_EQ(sim_.DataDefinitionVariables(1),
              std::vector<std::string>{"ELECTRICAL MASTER BATTERY:2"});
    EXPECT_TRUE(sim_.DataDefinitionVariables(2).empty());
    ASSERT_EQ(sim_.DataRequests().size(), 1u);

    // A handler installed now is served from the next connection on.
    client_->SetTelemetryHandler([](const SimTelemetry&) {});
    sim_.DropConnections();
    ASSERT_TRUE(ChangesReach(3));
    std::vector<std::string> telemetry;
    for (const auto& row : rec::kTelemetryVariables) {
        telemetry.emplace_back(row.name);
    }
    EXPECT_EQ(sim_.DataDefinitionVariables(2), telemetry);
    const auto requests = sim_.DataRequests();
    ASSERT_EQ(requests.size(), 2u);
    const std::uint32_t expected[2][4] = {{1, 1, rec::kPeriodSimFrame, rec::kDataRequestFlagChanged},
                                          {2, 2, rec::kPeriodSimFrame, 0}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(requests[i].requestId, expected[i][0]);
        EXPECT_EQ(requests[i].defineId, expected[i][1]);
        EXPECT_EQ(requests[i].objectId, rec::kObjectIdUser);
        EXPECT_EQ(requests[i].period, expected[i][2]);
        EXPECT_EQ(requests[i].flags, expected[i][3]);
    }
}

TEST_F(SimConnectClientTest, AFailedDefinitionOrRequestKeepsTheConnection) {
    const struct {
        std::function<void(VirtualSimulator&)> fail;
        const char* line;
    } cases[] = {
        {[](VirtualSimulator& sim) { sim.SetVariableFailure("NAV CDI:1", true); },
         "[WARN] SimConnect data definitions failed: SimConnect_AddToDataDefinition failed for "
         "NAV CDI:1 (0x80004005)"},
        {[](VirtualSimulator& sim) { sim.FailNextCalls(SimConnectCall::RequestDataOnSimObject, 1); },
         "[WARN] SimConnect data request failed: SimConnect_RequestDataOnSimObject failed "
         "(0x80004005)"},
    };
    for (const auto& c : cases) {
        c.fail(sim_);
        Make();
        client_->SetTelemetryHandler([](const SimTelemetry&) {});
        StartConnected();
        EXPECT_EQ(log_.Count(c.line), 1u);
        EXPECT_TRUE(sim_.DataRequests().empty());
        EXPECT_TRUE(client_->TransmitEvent("AP_MASTER", 0));
        client_.reset();
        sim_.SetVariableFailure("NAV CDI:1", false);
    }
}

TEST_F(SimConnectClientTest, TelemetryIsScaledEveryFrameAndBatteryOnlyWhenItChanges) {
    Make();
    client_->SetTelemetryHandler([this](const SimTelemetry& v) {
        Locked([&] { telemetry_.push_back(v); });
    });
    client_->SetBatteryHandler([this](bool on) { Locked([&] { battery_.push_back(on); }); });
    sim_.SetFramesOnDispatch(false);
    StartConnected();
    sim_.StepFrames(37);
    ASSERT_TRUE(WaitUntil([&] { return Locked([&] { return telemetry_.size() == 37; }); }));
    sim_.SetMasterBattery2(false);
    sim_.StepFrames(1);
    ASSERT_TRUE(WaitUntil([&] { return Locked([&] { return battery_.size() == 2; }); }));
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(battery_, (std::vector<bool>{true, false}));
    const SimTelemetry& last = telemetry_.back();
    for (std::size_t i = 0; i < SimTelemetry::kCount; ++i) {
        const auto& row = rec::kTelemetryVariables[i];
        EXPECT_EQ(last[i], static_cast<float>(*sim_.Variable(row.name) * row.scale)) << row.name;
    }
    // Pitch and bank arrive with the simulator's sign turned round.
    EXPECT_GT(last[SimTelemetry::kPitch], 0.0f);
    EXPECT_GT(last[SimTelemetry::kBank], 0.0f);
}

TEST_F(SimConnectClientTest, ShortRecordsCallNoHandlerAndExceptionsAreDebugLines) {
    Logger::Instance().SetDebugEnabled(true);
    Make();
    client_->SetTelemetryHandler([this](const SimTelemetry& v) {
        Locked([&] { telemetry_.push_back(v); });
    });
    client_->SetBatteryHandler([this](bool on) { Locked([&] { battery_.push_back(on); }); });
    client_->SetClientDataHandler([this](std::uint32_t, const std::uint8_t*, std::uint32_t size) {
        Locked([&] { clientDataSizes_.push_back(size); });
    });
    sim_.SetFramesOnDispatch(false);
    StartConnected();
    rec::DataRecord fields;
    fields.requestId = 2;
    const std::vector<std::uint8_t> thirteen(13 * 8, 0);
    sim_.InjectMessage(
        rec::EncodeDataRecord(rec::kRecvIdSimObjectData, fields, thirteen.data(), 13 * 8));
    fields.requestId = 1;
    sim_.InjectMessage(rec::EncodeDataRecord(rec::kRecvIdSimObjectData, fields, nullptr, 0));
    fields.requestId = 4608;
    sim_.InjectMessage(rec::EncodeDataRecord(rec::kRecvIdClientData, fields, nullptr, 0));
    // A record that says it is shorter than the bytes handed over is read to its own end.
    const std::uint8_t four[4] = {'a', 'b', 'c', 0};
    auto longer = rec::EncodeDataRecord(rec::kRecvIdClientData, fields, four, 4);
    longer.resize(longer.size() + 16, 0xEE);
    sim_.InjectMessage(longer);
    sim_.RaiseException(7, 3, 4294967295u);
    ASSERT_TRUE(WaitUntil([&] {
        return log_.Count("[DEBUG] SimConnect exception 7 sendId=3 index=4294967295") == 1;
    }));
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(clientDataSizes_, std::vector<std::uint32_t>{4});
    EXPECT_TRUE(telemetry_.empty());
    EXPECT_TRUE(battery_.empty());
}

TEST_F(SimConnectClientTest, QuitAsksForShutdownOnceAndABrokenConnectionIsReopened) {
    StartConnected();
    sim_.DropConnections();
    ASSERT_TRUE(ChangesReach(3));
    EXPECT_EQ(log_.Count(kDispatchError), 1u);
    EXPECT_EQ(shutdowns_.load(), 0);
    sim_.Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    EXPECT_EQ(Changes(), (std::vector<bool>{true, false, true, false}));
    EXPECT_GT(log_.IndexOf(kSimClosed),
              log_.IndexOf("[WARN] SimConnect disconnected: SimConnect quit"));
    // It comes back, then vanishes without a quit: nothing more is asked.
    sim_.SetRunning(true);
    ASSERT_TRUE(ChangesReach(5));
    sim_.SetRunning(false);
    ASSERT_TRUE(ChangesReach(6));
    const std::size_t polls = waits_.CountOf(SimConnectWait::SimPoll);
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::SimPoll) > polls; }));
    EXPECT_EQ(log_.Count(kDispatchError), 2u);
    EXPECT_EQ(shutdowns_.load(), 1);
    EXPECT_EQ(log_.Count(kSimClosed), 1u);
    // Handles were closed after their dispatch had returned, never inside it.
    EXPECT_EQ(sim_.HandleMisuses(), 0);
}

TEST_F(SimConnectClientTest, ASimulatorThatVanishesAfterAConnectionAsksForShutdown) {
    StartConnected();
    sim_.SetRunning(false);
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    EXPECT_EQ(log_.Count(kSimClosed), 1u);
}

TEST_F(SimConnectClientTest, EventNamesAreMappedOncePerConnectionAndAFailureUsesUpItsNumber) {
    StartConnected();
    sim_.FailNextCalls(SimConnectCall::MapClientEventToSimEvent, 1);
    EXPECT_EQ(client_->TransmitEvent("AP_MASTER", 0).Error(),
              "SimConnect_MapClientEventToSimEvent failed (0x80004005)");
    for (const auto& [name, value] : {std::pair{"AP_MASTER", 0u}, {"HEADING_BUG_SET", 90u},
                                      {"AP_MASTER", 0u}}) {
        EXPECT_TRUE(client_->TransmitEvent(name, value));
    }
    using Mapping = std::pair<std::uint32_t, std::string>;
    EXPECT_EQ(api_.Mappings(), (std::vector<Mapping>{
                                   {1, "AP_MASTER"}, {2, "AP_MASTER"}, {3, "HEADING_BUG_SET"}}));
    EXPECT_EQ(api_.Transmitted(), (std::vector<std::uint32_t>{2, 3, 2}));
    sim_.DropConnections();  // a new connection maps anew, from 1 again
    ASSERT_TRUE(ChangesReach(3));
    EXPECT_TRUE(client_->TransmitEvent("HEADING_BUG_SET", 180));
    EXPECT_EQ(api_.Mappings().back(), (Mapping{1, "HEADING_BUG_SET"}));
    EXPECT_EQ(sim_.Variable("AUTOPILOT HEADING LOCK DIR"), 180.0);
}

TEST_F(SimConnectClientTest, OperationsFailPlainlyWithoutAConnectionOrOnRefusal) {
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
    sim_.SetCallFailure(SimConnectCall::TransmitClientEvent, true);
    sim_.SetCallFailure(SimConnectCall::SetClientData, true);
    EXPECT_EQ(calls[0]().Error(), "SimConnect_TransmitClientEvent failed (0x80004005)");
    EXPECT_EQ(calls[4]().Error(), "SimConnect_SetClientData failed (0x80004005)");
    EXPECT_TRUE(calls[1]());
}

// A failure inside a pass, in the library or in a handler, disconnects, backs off and reconnects;
// a handler's exception is carried past the library's frames first.
TEST_F(SimConnectClientTest, AnExceptionInAPassDisconnectsBacksOffAndReconnects) {
    const struct {
        const char* message;
        bool inHandler;
    } cases[] = {{"pipe gone", false}, {"handler failed", true}};
    std::atomic<bool> thrown{false};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.message);
        Make();
        if (c.inHandler) {
            client_->SetBatteryHandler([&](bool) {
                if (!thrown.exchange(true)) {
                    throw std::runtime_error(c.message);
                }
            });
        }
        StartConnected();
        if (!c.inHandler) {
            sim_.ThrowOnNextCall(SimConnectCall::CallDispatch, c.message);
        }
        ASSERT_TRUE(WaitUntil([&] { return Changes().size() >= 3; }));
        EXPECT_EQ(log_.Count(std::string("[ERROR] SimConnect worker exception: ") + c.message), 1u);
        EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: worker exception"), i + 1);
        EXPECT_EQ(waits_.Of(SimConnectWait::Retry), std::vector<std::int64_t>(i + 1, 5));
        EXPECT_EQ(sim_.HandleMisuses(), 0);
        client_.reset();
        Locked([&] { changes_.clear(); });
    }
    EXPECT_EQ(shutdowns_.load(), 0);
}

TEST_F(SimConnectClientTest, StartAndStop) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::SimPoll) >= 1; }));
    EXPECT_EQ(client_->Start("Other", {}, {}).Error(), "SimConnect client already running");
    client_->Stop();  // without a connection: nothing said about disconnecting
    EXPECT_EQ(log_.CountContaining("disconnected"), 0u);

    // A handler may stop the client; it starts again, and Stop closes the connection once.
    client_->SetShutdownHandler([this] {
        ++shutdowns_;
        client_->Stop();
    });
    StartConnected();
    sim_.Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    sim_.SetRunning(true);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));
    client_->Stop();
    client_->Stop();
    EXPECT_EQ(sim_.OpenConnectionCount(), 0);
    EXPECT_EQ(Changes(), (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: shutdown"), 1u);
}

}  // namespace
}  // namespace tarnwick
