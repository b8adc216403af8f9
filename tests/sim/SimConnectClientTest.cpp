#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/SimConnectClient.h"
#include "sim/SimConnectRecords.h"
#include "sim/SimConnectTestSupport.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {
namespace {

using namespace test::simtest;
using test::LogCapture;
using test::WaitUntil;
namespace rec = SimConnectRecords;

constexpr const char* kNotConnected = "SimConnect is not connected";
constexpr const char* kOpenFailed =
    "[WARN] Waiting for SimConnect connection: SimConnect_Open failed (0x80004005)";
constexpr const char* kWaitingForSim = "[INFO] Waiting for flight simulator process to start";
constexpr const char* kSimClosed = "[INFO] Simulator closed; requesting application shutdown";

// Stops the client when a test's locals that its handlers use are about to go: declared after
// them, it is destroyed first.
class ClientStopper {
public:
    explicit ClientStopper(std::unique_ptr<SimConnectClient>& client) : client_(client) {}
    ~ClientStopper() {
        if (client_) {
            client_->Stop();
        }
    }
    ClientStopper(const ClientStopper&) = delete;
    ClientStopper& operator=(const ClientStopper&) = delete;

private:
    std::unique_ptr<SimConnectClient>& client_;
};

class SimConnectClientTest : public testing::Test {
protected:
    void MakeClient(SimConnectClientOptions options) {
        client_ = std::make_unique<SimConnectClient>(
            api_, [this] { return sim_.IsRunning(); }, std::move(options));
        client_->SetShutdownHandler([this] { ++shutdowns_; });
    }

    // Starts a client with short periods (unless one was made) and a present HID device.
    void Start(const std::string& name = "Tester") {
        if (!client_) {
            MakeClient(ShortTiming(&waits_));
        }
        std::string error;
        ASSERT_TRUE(client_->Start(
            name,
            [this](bool connected) {
                std::lock_guard<std::mutex> lock(mutex_);
                connectionChanges_.push_back(connected);
            },
            [this] { return hidPresent_.load(); }, error))
            << error;
    }

    void StartConnected(const std::string& name = "Tester") {
        sim_.SetRunning(true);
        Start(name);
        ASSERT_TRUE(WaitUntil([this] { return client_->IsConnected(); }));
    }

    std::vector<bool> ConnectionChanges() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connectionChanges_;
    }

    bool ChangesReach(std::size_t count) {
        return WaitUntil([&] { return ConnectionChanges().size() >= count; });
    }

    LogCapture log_;
    VirtualSimulator sim_;
    VirtualSimConnectApi virtualApi_{sim_};
    NotingApi api_{virtualApi_};
    WaitLog waits_;
    std::atomic<bool> hidPresent_{true};
    std::atomic<int> shutdowns_{0};
    std::mutex mutex_;
    std::vector<bool> connectionChanges_;
    std::unique_ptr<SimConnectClient> client_;  // last: stops before everything it uses goes
};

// --- Waiting and back-off ----------------------------------------------------------------------

TEST_F(SimConnectClientTest, EachWaitingMessageIsLoggedOncePerSpell) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::SimPoll) >= 3; }));
    EXPECT_EQ(log_.Count(kWaitingForSim), 1u);

    // The device goes while the simulator is awaited: a new spell of each kind follows.
    hidPresent_ = false;
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::HidPoll) >= 3; }));
    EXPECT_EQ(log_.Count("[INFO] Waiting for HID device to connect"), 1u);

    hidPresent_ = true;
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(kWaitingForSim) == 2; }));
    EXPECT_EQ(log_.Count("[INFO] HID device detected"), 1u);

    sim_.SetRunning(true);
    ASSERT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));
    const int secondWait = log_.IndexOf(kWaitingForSim, log_.IndexOf(kWaitingForSim) + 1);
    const int detected = log_.IndexOf("[INFO] Flight simulator process detected");
    ASSERT_GE(secondWait, 0);
    EXPECT_GT(detected, secondWait);
    EXPECT_EQ(log_.Count("[INFO] Flight simulator process detected"), 1u);
    // No connection had existed before, so nothing asked the application to stop.
    EXPECT_EQ(shutdowns_.load(), 0);
}

TEST_F(SimConnectClientTest, NoOpenIsTriedWithoutAHidDevice) {
    sim_.SetRunning(true);
    hidPresent_ = false;
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::HidPoll) >= 3; }));
    EXPECT_EQ(sim_.OpenAttempts(), 0);
    hidPresent_ = true;
    ASSERT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));
}

TEST_F(SimConnectClientTest, FailedOpensBackOffUpToThirtyAndASuccessResetsTheSeries) {
    // The program's own periods; the tests run the same arithmetic a thousand times faster.
    const SimConnectTiming defaults;
    EXPECT_EQ(defaults.dispatchPeriod.count(), 15);
    EXPECT_EQ(defaults.hidPollPeriod.count(), 1000);
    EXPECT_EQ(defaults.simPollPeriod.count(), 5000);
    EXPECT_EQ(defaults.retryDelayFirst.count(), 5000);
    EXPECT_EQ(defaults.retryDelayMax.count(), 30000);

    sim_.SetRunning(true);
    sim_.SetCallFailure(SimConnectCall::Open, true);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::Retry) >= 6; }));
    auto retries = waits_.Of(SimConnectWait::Retry);
    retries.resize(6);
    EXPECT_EQ(retries, (std::vector<std::int64_t>{5, 10, 20, 30, 30, 30}));
    EXPECT_GE(log_.Count(kOpenFailed), 6u);

    sim_.SetCallFailure(SimConnectCall::Open, false);
    ASSERT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));

    waits_.Clear();
    sim_.SetCallFailure(SimConnectCall::Open, true);
    sim_.DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::Retry) >= 2; }));
    retries = waits_.Of(SimConnectWait::Retry);
    EXPECT_EQ(retries[0], 5);
    EXPECT_EQ(retries[1], 10);
}

TEST_F(SimConnectClientTest, AMissingLibraryIsNamedAndRetriedLikeAFailedOpen) {
    sim_.SetRunning(true);
    sim_.SetLoadFailure("SimConnect.dll not found");
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::Retry) >= 3; }));
    auto retries = waits_.Of(SimConnectWait::Retry);
    retries.resize(3);
    EXPECT_EQ(retries, (std::vector<std::int64_t>{5, 10, 20}));
    EXPECT_GE(log_.Count("[WARN] Waiting for SimConnect connection: SimConnect.dll not found"), 3u);
    EXPECT_EQ(sim_.OpenAttempts(), 0);

    sim_.SetLoadFailure("");
    ASSERT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));
}

// --- Connecting --------------------------------------------------------------------------------

TEST_F(SimConnectClientTest, ConnectsUnderTheDefaultNameAndSubscribesBatteryAndTelemetry) {
    MakeClient(ShortTiming(&waits_));
    client_->SetTelemetryHandler([](const SimTelemetry&) {});
    StartConnected("");

    EXPECT_EQ(api_.OpenNames().front(), "TarnwickHID");
    EXPECT_EQ(ConnectionChanges(), std::vector<bool>{true});
    EXPECT_EQ(log_.Count("[INFO] SimConnect connected"), 1u);
    EXPECT_TRUE(WaitUntil([&] { return log_.Count("[INFO] SimConnect session opened") == 1; }));

    EXPECT_EQ(sim_.DataDefinitionVariables(1),
              std::vector<std::string>{"ELECTRICAL MASTER BATTERY:2"});
    std::vector<std::string> telemetry;
    for (const auto& row : rec::kTelemetryVariables) {
        telemetry.emplace_back(row.name);
    }
    EXPECT_EQ(sim_.DataDefinitionVariables(2), telemetry);

    const auto requests = sim_.DataRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].requestId, 1u);
    EXPECT_EQ(requests[0].defineId, 1u);
    EXPECT_EQ(requests[0].objectId, rec::kObjectIdUser);
    EXPECT_EQ(requests[0].period, rec::kPeriodSimFrame);
    EXPECT_EQ(requests[0].flags, rec::kDataRequestFlagChanged);
    EXPECT_EQ(requests[1].requestId, 2u);
    EXPECT_EQ(requests[1].defineId, 2u);
    EXPECT_EQ(requests[1].period, rec::kPeriodSimFrame);
    EXPECT_EQ(requests[1].flags, 0u);
}

TEST_F(SimConnectClientTest, TelemetryIsDecidedAtConnectionTime) {
    std::atomic<int> records{0};
    ClientStopper stopper{client_};
    StartConnected();
    EXPECT_TRUE(sim_.DataDefinitionVariables(2).empty());
    ASSERT_EQ(sim_.DataRequests().size(), 1u);

    // A handler installed later in the same connection receives nothing.
    client_->SetTelemetryHandler([&](const SimTelemetry&) { ++records; });
    const auto frame = sim_.FrameCount();
    ASSERT_TRUE(WaitUntil([&] { return sim_.FrameCount() > frame + 20; }));
    EXPECT_EQ(records.load(), 0);

    // The next connection asks for it.
    sim_.DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return records.load() > 0; }));
}

TEST_F(SimConnectClientTest, AFailedDefinitionKeepsTheConnectionButRequestsNoData) {
    MakeClient(ShortTiming(&waits_));
    client_->SetTelemetryHandler([](const SimTelemetry&) {});
    sim_.SetVariableFailure("NAV CDI:1", true);
    StartConnected();

    EXPECT_EQ(log_.Count("[WARN] SimConnect data definitions failed: "
                         "SimConnect_AddToDataDefinition failed for NAV CDI:1 (0x80004005)"),
              1u);
    EXPECT_EQ(sim_.DataDefinitionVariables(2).size(), 10u);  // those before it stay
    EXPECT_TRUE(sim_.DataRequests().empty());
    std::string error;
    EXPECT_TRUE(client_->TransmitEvent("AP_MASTER", 0, error)) << error;
}

TEST_F(SimConnectClientTest, AFailedRequestKeepsTheConnection) {
    sim_.FailNextCalls(SimConnectCall::RequestDataOnSimObject, 1);
    StartConnected();
    EXPECT_EQ(log_.Count("[WARN] SimConnect data request failed: "
                         "SimConnect_RequestDataOnSimObject failed (0x80004005)"),
              1u);
    EXPECT_EQ(ConnectionChanges(), std::vector<bool>{true});
}

// --- Received data -----------------------------------------------------------------------------

TEST_F(SimConnectClientTest, TelemetryIsScaledAndRoundedToSinglePrecision) {
    std::mutex mutex;
    std::vector<SimTelemetry> received;
    ClientStopper stopper{client_};
    MakeClient(ShortTiming(&waits_));
    client_->SetTelemetryHandler([&](const SimTelemetry& values) {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(values);
    });
    sim_.SetFramesOnDispatch(false);
    StartConnected();
    sim_.StepFrames(37);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size() == 37;  // one per frame: telemetry is not "changed only"
    }));

    std::lock_guard<std::mutex> lock(mutex);
    const SimTelemetry& last = received.back();
    for (std::size_t i = 0; i < SimTelemetry::kCount; ++i) {
        const auto& row = rec::kTelemetryVariables[i];
        const float expected = static_cast<float>(*sim_.Variable(row.name) * row.scale);
        EXPECT_EQ(last[i], expected) << row.name;
    }
    // Pitch and bank arrive with the simulator's sign turned round.
    EXPECT_GT(last[SimTelemetry::kPitch], 0.0f);
    EXPECT_GT(last[SimTelemetry::kBank], 0.0f);
}

TEST_F(SimConnectClientTest, BatteryIsReportedOnlyWhenItChanges) {
    std::mutex mutex;
    std::vector<bool> states;
    ClientStopper stopper{client_};
    MakeClient(ShortTiming(&waits_));
    client_->SetBatteryHandler([&](bool on) {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(on);
    });
    auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return states.size();
    };
    StartConnected();
    ASSERT_TRUE(WaitUntil([&] { return count() == 1; }));
    const auto frame = sim_.FrameCount();
    ASSERT_TRUE(WaitUntil([&] { return sim_.FrameCount() > frame + 10; }));
    EXPECT_EQ(count(), 1u);

    sim_.SetMasterBattery2(false);
    ASSERT_TRUE(WaitUntil([&] { return count() == 2; }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
}

TEST_F(SimConnectClientTest, RecordsTooShortForTheirFieldsCallNoHandler) {
    std::atomic<int> telemetry{0};
    std::atomic<int> battery{0};
    std::mutex mutex;
    std::vector<std::uint32_t> clientDataSizes;
    ClientStopper stopper{client_};
    MakeClient(ShortTiming(&waits_));
    client_->SetTelemetryHandler([&](const SimTelemetry&) { ++telemetry; });
    client_->SetBatteryHandler([&](bool) { ++battery; });
    client_->SetClientDataHandler([&](std::uint32_t, const std::uint8_t*, std::uint32_t size) {
        std::lock_guard<std::mutex> lock(mutex);
        clientDataSizes.push_back(size);
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

    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !clientDataSizes.empty();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(clientDataSizes, std::vector<std::uint32_t>{4});
    EXPECT_EQ(telemetry.load(), 0);
    EXPECT_EQ(battery.load(), 0);
}

TEST_F(SimConnectClientTest, SimConnectExceptionsAreDebugLines) {
    Logger::Instance().SetDebugEnabled(true);
    StartConnected();
    sim_.RaiseException(7, 3, 4294967295u);
    EXPECT_TRUE(WaitUntil([&] {
        return log_.Count("[DEBUG] SimConnect exception 7 sendId=3 index=4294967295") == 1;
    }));
}

// --- Leaving the simulator ---------------------------------------------------------------------

TEST_F(SimConnectClientTest, QuitDisconnectsAndAsksForShutdownOnlyOnce) {
    StartConnected();
    sim_.Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    EXPECT_EQ(ConnectionChanges(), (std::vector<bool>{true, false}));
    const int disconnected = log_.IndexOf("[WARN] SimConnect disconnected: SimConnect quit");
    ASSERT_GE(disconnected, 0);
    EXPECT_GT(log_.IndexOf(kSimClosed), disconnected);

    // The simulator comes back and quits again: nothing more is asked.
    sim_.SetRunning(true);
    ASSERT_TRUE(ChangesReach(3));
    waits_.Clear();
    sim_.Quit();
    ASSERT_TRUE(ChangesReach(4));
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::SimPoll) >= 2; }));
    EXPECT_EQ(shutdowns_.load(), 1);
    EXPECT_EQ(log_.Count(kSimClosed), 1u);
    // The handle was closed after its dispatch had returned, never inside it.
    EXPECT_EQ(sim_.HandleMisuses(), 0);
}

TEST_F(SimConnectClientTest, ASimulatorThatVanishesAfterAConnectionAsksForShutdown) {
    StartConnected();
    sim_.SetRunning(false);
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: dispatch error 0x80004005"), 1u);
    EXPECT_EQ(log_.Count(kSimClosed), 1u);
}

TEST_F(SimConnectClientTest, ABrokenConnectionIsReopenedWhileTheSimulatorRuns) {
    StartConnected();
    sim_.DropConnections();
    ASSERT_TRUE(ChangesReach(3));
    EXPECT_EQ(ConnectionChanges(), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: dispatch error 0x80004005"), 1u);
    EXPECT_EQ(shutdowns_.load(), 0);
}

// --- Events and client data ---------------------------------------------------------------------

TEST_F(SimConnectClientTest, EventNamesAreMappedOncePerConnection) {
    StartConnected();
    std::string error;
    ASSERT_TRUE(client_->TransmitEvent("AP_MASTER", 0, error)) << error;
    ASSERT_TRUE(client_->TransmitEvent("HEADING_BUG_SET", 90, error)) << error;
    ASSERT_TRUE(client_->TransmitEvent("AP_MASTER", 0, error)) << error;
    auto mappings = api_.Mappings();
    ASSERT_EQ(mappings.size(), 2u);
    EXPECT_EQ(mappings[0].id, 1u);
    EXPECT_EQ(mappings[0].name, "AP_MASTER");
    EXPECT_EQ(mappings[1].id, 2u);
    EXPECT_EQ(api_.TransmittedIds(), (std::vector<std::uint32_t>{1, 2, 1}));
    const auto events = sim_.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].name, "HEADING_BUG_SET");
    EXPECT_EQ(events[1].value, 90u);

    // A new connection maps anew, from 1 again.
    sim_.DropConnections();
    ASSERT_TRUE(ChangesReach(3));
    ASSERT_TRUE(client_->TransmitEvent("HEADING_BUG_SET", 180, error)) << error;
    mappings = api_.Mappings();
    ASSERT_EQ(mappings.size(), 3u);
    EXPECT_EQ(mappings[2].id, 1u);
    EXPECT_EQ(mappings[2].name, "HEADING_BUG_SET");
    EXPECT_EQ(sim_.Variable("AUTOPILOT HEADING LOCK DIR"), 180.0);
}

TEST_F(SimConnectClientTest, AFailedMappingUsesUpItsNumber) {
    StartConnected();
    sim_.FailNextCalls(SimConnectCall::MapClientEventToSimEvent, 1);
    std::string error;
    EXPECT_FALSE(client_->TransmitEvent("AP_MASTER", 0, error));
    EXPECT_EQ(error, "SimConnect_MapClientEventToSimEvent failed (0x80004005)");
    ASSERT_TRUE(client_->TransmitEvent("AP_MASTER", 0, error)) << error;
    const auto mappings = api_.Mappings();
    ASSERT_EQ(mappings.size(), 2u);
    EXPECT_EQ(mappings[0].id, 1u);
    EXPECT_EQ(mappings[1].id, 2u);
    EXPECT_EQ(api_.TransmittedIds(), std::vector<std::uint32_t>{2});
}

TEST_F(SimConnectClientTest, OperationsFailPlainlyWithoutAConnectionOrOnRefusal) {
    MakeClient(ShortTiming(&waits_));
    const std::uint8_t block[4] = {};
    std::string error;
    EXPECT_FALSE(client_->TransmitEvent("AP_MASTER", 1, error));
    EXPECT_EQ(error, kNotConnected);
    error.clear();
    EXPECT_FALSE(client_->MapClientDataName("MobiFlight.Command", 4096, error));
    EXPECT_EQ(error, kNotConnected);
    error.clear();
    EXPECT_FALSE(client_->AddClientDataDefinition(4352, 256, error));
    EXPECT_EQ(error, kNotConnected);
    error.clear();
    EXPECT_FALSE(client_->RequestClientData(4097, 4608, 4353, error));
    EXPECT_EQ(error, kNotConnected);
    error.clear();
    EXPECT_FALSE(client_->SetClientData(4096, 4352, block, 4, error));
    EXPECT_EQ(error, kNotConnected);
    EXPECT_FALSE(client_->TransmitEvent("", 1, error));
    EXPECT_EQ(error, "SimConnect event name is empty");

    StartConnected();
    sim_.SetCallFailure(SimConnectCall::TransmitClientEvent, true);
    sim_.SetCallFailure(SimConnectCall::SetClientData, true);
    EXPECT_FALSE(client_->TransmitEvent("AP_MASTER", 1, error));
    EXPECT_EQ(error, "SimConnect_TransmitClientEvent failed (0x80004005)");
    EXPECT_FALSE(client_->SetClientData(4096, 4352, block, 4, error));
    EXPECT_EQ(error, "SimConnect_SetClientData failed (0x80004005)");
    // Success leaves the caller's text alone.
    error = "untouched";
    EXPECT_TRUE(client_->MapClientDataName("MobiFlight.Command", 4096, error));
    EXPECT_EQ(error, "untouched");
}

TEST_F(SimConnectClientTest, ClientDataArrivesWithItsRequestNumber) {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::string>> arrived;
    ClientStopper stopper{client_};
    MakeClient(ShortTiming(&waits_));
    client_->SetClientDataHandler(
        [&](std::uint32_t requestId, const std::uint8_t* data, std::uint32_t size) {
            std::lock_guard<std::mutex> lock(mutex);
            arrived.emplace_back(requestId, TextOf(data, size));
        });
    StartConnected();
    std::string error;
    ASSERT_TRUE(client_->MapClientDataName("MobiFlight.Command", 4096, error)) << error;
    ASSERT_TRUE(client_->MapClientDataName("MobiFlight.Response", 4097, error)) << error;
    ASSERT_TRUE(client_->AddClientDataDefinition(4352, 256, error)) << error;
    ASSERT_TRUE(client_->AddClientDataDefinition(4353, 256, error)) << error;
    ASSERT_TRUE(client_->RequestClientData(4097, 4608, 4353, error)) << error;
    const auto block = Block("MF.Clients.Add.Tester");
    ASSERT_TRUE(client_->SetClientData(4096, 4352, block.data(), 256, error)) << error;

    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !arrived.empty();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(arrived.front().first, 4608u);
    EXPECT_EQ(arrived.front().second, "MF.Clients.Add.Tester.Finished");
}

// --- Exceptions ---------------------------------------------------------------------------------

TEST_F(SimConnectClientTest, AnExceptionInAPassDisconnectsBacksOffAndReconnects) {
    StartConnected();
    waits_.Clear();
    sim_.ThrowOnNextCall(SimConnectCall::CallDispatch, "pipe gone");
    ASSERT_TRUE(ChangesReach(3));
    EXPECT_EQ(log_.Count("[ERROR] SimConnect worker exception: pipe gone"), 1u);
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: worker exception"), 1u);
    EXPECT_EQ(waits_.Of(SimConnectWait::Retry).front(), 5);
    EXPECT_EQ(shutdowns_.load(), 0);
}

TEST_F(SimConnectClientTest, AThrowingHandlerIsHandledAfterTheDispatchReturns) {
    std::atomic<bool> thrown{false};
    ClientStopper stopper{client_};
    MakeClient(ShortTiming(&waits_));
    client_->SetBatteryHandler([&](bool) {
        if (!thrown.exchange(true)) {
            throw std::runtime_error("handler failed");
        }
    });
    StartConnected();
    ASSERT_TRUE(ChangesReach(3));
    EXPECT_EQ(log_.Count("[ERROR] SimConnect worker exception: handler failed"), 1u);
    EXPECT_EQ(sim_.HandleMisuses(), 0);
}

// --- Start and stop -----------------------------------------------------------------------------

TEST_F(SimConnectClientTest, ASecondStartFails) {
    Start();
    std::string error;
    EXPECT_FALSE(client_->Start("Other", {}, {}, error));
    EXPECT_EQ(error, "SimConnect client already running");
}

TEST_F(SimConnectClientTest, StopClosesTheConnectionOnce) {
    StartConnected();
    client_->Stop();
    EXPECT_FALSE(client_->IsConnected());
    EXPECT_EQ(sim_.OpenConnectionCount(), 0);
    EXPECT_EQ(ConnectionChanges(), (std::vector<bool>{true, false}));
    client_->Stop();
    EXPECT_EQ(log_.Count("[WARN] SimConnect disconnected: shutdown"), 1u);
    EXPECT_EQ(shutdowns_.load(), 0);
}

TEST_F(SimConnectClientTest, StopWithoutAConnectionSaysNothingAboutDisconnecting) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return waits_.CountOf(SimConnectWait::SimPoll) >= 1; }));
    client_->Stop();
    for (const std::string& line : log_.Lines()) {
        EXPECT_EQ(line.find("disconnected"), std::string::npos) << line;
    }
    EXPECT_TRUE(ConnectionChanges().empty());
}

// Stop must not wait out a period: with the program's real periods, from every kind of wait.
TEST_F(SimConnectClientTest, StopReturnsAtOnceFromEveryWait) {
    struct Case {
        const char* name;
        bool simRunning;
        bool hidPresent;
        bool openFails;
        SimConnectWait awaited;
    };
    const Case cases[] = {
        {"waiting for the simulator", false, true, false, SimConnectWait::SimPoll},
        {"waiting for a device", true, false, false, SimConnectWait::HidPoll},
        {"backing off", true, true, true, SimConnectWait::Retry},
        {"connected", true, true, false, SimConnectWait::Dispatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_.SetRunning(c.simRunning);
        sim_.SetCallFailure(SimConnectCall::Open, c.openFails);
        hidPresent_ = c.hidPresent;
        WaitLog waits;
        SimConnectClientOptions options;
        options.waitObserver = waits.Observer();
        SimConnectClient client(
            api_, [this] { return sim_.IsRunning(); }, options);
        std::string error;
        ASSERT_TRUE(client.Start(
            "Tester", {}, [this] { return hidPresent_.load(); }, error));
        ASSERT_TRUE(WaitUntil([&] { return waits.CountOf(c.awaited) >= 1; }));
        const auto begin = SteadyClock::now();
        client.Stop();
        const auto took = SteadyClock::now() - begin;
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 200);
    }
}

TEST_F(SimConnectClientTest, AHandlerMayStopTheClientAndItCanBeStartedAgain) {
    MakeClient(ShortTiming(&waits_));
    client_->SetShutdownHandler([this] {
        ++shutdowns_;
        client_->Stop();
    });
    StartConnected();
    sim_.Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns_.load() == 1; }));
    client_->Stop();

    sim_.SetRunning(true);
    Start();
    EXPECT_TRUE(WaitUntil([&] { return client_->IsConnected(); }));
}

}  // namespace
}  // namespace tarnwick
