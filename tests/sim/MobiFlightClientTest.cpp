// The client's life cycle, the registration with the module, and what the module reports back.
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "MobiFlightRig.h"
#include "sim/MobiFlightClient.h"
#include "sim/SimConnectRecords.h"

namespace tarnwick {
namespace {

using namespace test;
namespace mf = MobiFlightProtocol;

MobiFlightClientOptions ManualOptions() {
    MobiFlightClientOptions options;
    options.timing.idleWake = std::chrono::milliseconds(1);
    return options;
}

// --- Life cycle and request errors ------------------------------------------------------------

TEST(MobiFlightLifecycleTest, DisabledStartsNothingAndRefusesRequests) {
    MobiFlightClient client;
    MobiFlightSettings settings = TestSettings();
    settings.enabled = false;
    std::string error;
    ASSERT_TRUE(client.Start(nullptr, settings, error));
    EXPECT_FALSE(client.QueueRpn("1", SendMode::Plain, 1, error));
    EXPECT_EQ(error, "MobiFlight disabled");
    error.clear();
    EXPECT_FALSE(client.SendRpnNow("1", error));
    EXPECT_EQ(error, "MobiFlight disabled");
    client.Stop();
}

TEST(MobiFlightLifecycleTest, RequestsBeforeStartAndAfterStopFail) {
    MobiFlightRig rig;
    std::string error;
    EXPECT_FALSE(rig.Client().QueueRpn("1", SendMode::Plain, 1, error));
    EXPECT_EQ(error, "MobiFlight not running");
    rig.Start();
    EXPECT_TRUE(rig.Client().QueueRpn("1", SendMode::Plain, 1, error));
    rig.Client().Stop();
    EXPECT_EQ(rig.Client().QueueLength(), 0u);
    error.clear();
    EXPECT_FALSE(rig.Client().SendRpnNow("1", error));
    EXPECT_EQ(error, "MobiFlight not running");
}

TEST(MobiFlightLifecycleTest, SecondStartFailsAndLeavesTheRunningClientAlone) {
    MobiFlightRig rig;
    rig.Start();
    MobiFlightSettings disabled = TestSettings();
    disabled.enabled = false;
    std::string error;
    EXPECT_FALSE(rig.Client().Start(&rig.SimConnect(), disabled, error));
    EXPECT_EQ(error, "MobiFlight client already running");
    // Still enabled and running.
    error.clear();
    EXPECT_TRUE(rig.Client().QueueRpn("1", SendMode::Plain, 1, error)) << error;
}

TEST(MobiFlightLifecycleTest, RequestErrorsNameTheirCause) {
    ManualClock clock;
    MobiFlightRig rig(ManualOptions(), clock);
    rig.Sim().SetModuleAnswer(ModuleAnswer::Silent);
    std::string error;
    MobiFlightSettings settings = TestSettings();
    ASSERT_TRUE(rig.Client().Start(&rig.SimConnect(), settings, error));

    EXPECT_FALSE(rig.Client().SendRpnNow("1", error));
    EXPECT_EQ(error, "SimConnect is not connected");

    rig.Sim().SetRunning(true);
    ASSERT_TRUE(rig.SimConnect().Start(
        "t", [&rig](bool c) { rig.Client().OnSimConnectionChanged(c); }, {}, error));
    ASSERT_TRUE(WaitUntil([&] { return rig.Api().CountOf(kRegistration) == 1; }));
    EXPECT_FALSE(rig.Client().SendRpnNow("1", error));
    EXPECT_EQ(error, "MobiFlight not ready");

    EXPECT_FALSE(rig.Client().QueueRpn("", SendMode::Plain, 1, error));
    EXPECT_EQ(error, "Empty RPN command");
    // No clicks, nothing to do; and a negative count must not eat later clicks.
    EXPECT_TRUE(rig.Client().QueueRpn("1", SendMode::Counted, 0, error));
    EXPECT_TRUE(rig.Client().QueueRpn("1", SendMode::Counted, -3, error));
    EXPECT_EQ(rig.Client().QueueLength(), 0u);
}

// Stop must come back quickly whatever the worker is doing.
TEST(MobiFlightLifecycleTest, StopIsPromptFromEveryState) {
    const auto timeStop = [](MobiFlightClient& client) {
        const auto begin = SteadyClock::now();
        client.Stop();
        return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - begin);
    };
    std::string error;
    {
        // Waiting for SimConnect, with entries cycling.
        MobiFlightRig rig;
        ASSERT_TRUE(rig.Client().Start(&rig.SimConnect(), TestSettings(), error));
        rig.Client().QueueRpn("1", SendMode::Plain, 1, error);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_LT(timeStop(rig.Client()).count(), 200);
    }
    {
        // Idle and registered (the worker sits in its 500 ms queue wait).
        MobiFlightRig rig;
        rig.StartRegistered();
        EXPECT_LT(timeStop(rig.Client()).count(), 200);
    }
    {
        // In a long rate-limit wait.
        MobiFlightRig rig;
        MobiFlightSettings settings = TestSettings();
        settings.rpnRateLimitMs = 60000;
        rig.Start(settings);
        // The subscription's second command is the one that waits.
        ASSERT_TRUE(
            WaitUntil([&] { return rig.Api().CountOf(std::string(mf::kClearCommand)) == 1; }));
        rig.Client().QueueRpn("2", SendMode::Plain, 1, error);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_LT(timeStop(rig.Client()).count(), 200);
        EXPECT_EQ(rig.Executed("2"), 0u);
    }
    {
        // Writing a huge number of encoder clicks, each one slow.
        MobiFlightRig rig;
        rig.StartRegistered();
        rig.Sim().SetCallDelay(std::chrono::microseconds(500));
        rig.Client().QueueRpn("3", SendMode::Counted, 1000000, error);
        ASSERT_TRUE(WaitUntil([&] { return rig.Executed("3") > 0; }));
        EXPECT_LT(timeStop(rig.Client()).count(), 200);
        rig.Sim().SetCallDelay(std::chrono::microseconds(0));
    }
}

// --- Registration -----------------------------------------------------------------------------

class MobiFlightRegistrationTest : public testing::Test {
protected:
    // The client's worker waits on the test clock, which then moves only while it waits.
    MobiFlightRegistrationTest() { clock_.SetWorkers(1); }
    std::size_t Attempts() { return rig_.Api().CountOf(kRegistration); }
    void Step(std::chrono::milliseconds by, std::size_t expectedAttempts) {
        clock_.Advance(by);
        ASSERT_TRUE(WaitUntil([&] { return Attempts() == expectedAttempts; }))
            << "attempts: " << Attempts();
    }
    // The worker has looked at the time again: nothing more is due.
    void ExpectQuiet(std::size_t attempts) {
        clock_.Settle();
        EXPECT_EQ(Attempts(), attempts);
    }

    ManualClock clock_;
    LogCapture log_;
    MobiFlightRig rig_{ManualOptions(), clock_};
};

const std::string kRetrying =
    "[INFO] MobiFlight WASM module not responding yet; retrying registration every 5s";
const std::string kNoAnswer =
    "[WARN] MobiFlight WASM module has not answered registration after 180s; check that the "
    "MobiFlight WASM module is installed in the MSFS Community folder";

TEST_F(MobiFlightRegistrationTest, RetriesEveryFiveSecondsAndWarnsOnceAfterThreeMinutes) {
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Silent);
    rig_.Start();
    ASSERT_TRUE(WaitUntil([&] { return Attempts() == 1; }));
    EXPECT_EQ(log_.Count(kRetrying), 0u);

    clock_.Advance(std::chrono::milliseconds(4999));
    ExpectQuiet(1);
    Step(std::chrono::milliseconds(1), 2);
    EXPECT_EQ(log_.Count(kRetrying), 1u);

    Step(std::chrono::seconds(170), 3);  // 175 s after the channels were set up
    EXPECT_EQ(log_.Count(kNoAnswer), 0u);
    Step(std::chrono::seconds(5), 4);  // 180 s
    EXPECT_EQ(log_.Count(kNoAnswer), 1u);
    Step(std::chrono::seconds(5), 5);
    Step(std::chrono::seconds(500), 6);
    EXPECT_EQ(log_.Count(kNoAnswer), 1u);
    EXPECT_EQ(log_.Count(kRetrying), 1u);
    EXPECT_FALSE(rig_.Client().IsRegistered());

    // The module saw every attempt, though they are byte for byte the same: a dummy follows
    // each, as the channel only reports changed content.
    std::size_t seen = 0;
    for (const std::string& command : rig_.Sim().ModuleCommands()) {
        seen += command == kRegistration ? 1 : 0;
    }
    EXPECT_EQ(seen, 6u);
}

TEST_F(MobiFlightRegistrationTest, AcknowledgedAtTheThirdAttemptThenSubscribes) {
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Silent);
    rig_.Start();
    ASSERT_TRUE(WaitUntil([&] { return Attempts() == 1; }));
    Step(std::chrono::seconds(5), 2);
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Finished);
    Step(std::chrono::seconds(5), 3);
    ASSERT_TRUE(WaitUntil([&] { return rig_.Client().IsRegistered(); }));
    ASSERT_TRUE(WaitUntil(
        [&] { return rig_.Api().CountOf(std::string(mf::kSubscribeLightingCommand)) == 1; }));
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client registered (after 3 attempts)"), 1u);

    // After the acknowledged attempt: the two subscription commands, in order, no dummies.
    const auto texts = rig_.Api().Texts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[texts.size() - 4], kRegistration);
    EXPECT_EQ(texts[texts.size() - 3], kDummy);
    EXPECT_EQ(texts[texts.size() - 2], std::string(mf::kClearCommand));
    EXPECT_EQ(texts[texts.size() - 1], std::string(mf::kSubscribeLightingCommand));

    clock_.Advance(std::chrono::seconds(30));
    ExpectQuiet(3);
}

TEST_F(MobiFlightRegistrationTest, AcknowledgedAtOnceLogsNoAttemptCount) {
    rig_.StartRegistered();
    EXPECT_EQ(Attempts(), 1u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client registered"), 1u);
    EXPECT_EQ(log_.CountContaining("attempts"), 0u);
    EXPECT_EQ(rig_.Api().CountOf(std::string(mf::kClearCommand)), 1u);

    // A repeated acknowledgement changes nothing.
    const std::string ack = mf::RegistrationFinishedAnswer("Tester");
    rig_.Client().OnClientData(mf::kResponseRequestId,
                               reinterpret_cast<const std::uint8_t*>(ack.c_str()),
                               static_cast<std::uint32_t>(ack.size() + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(log_.CountContaining("MobiFlight client registered"), 1u);
    EXPECT_EQ(rig_.Api().CountOf(std::string(mf::kClearCommand)), 1u);
}

TEST_F(MobiFlightRegistrationTest, RefusalIsLoggedWholeAndRegistrationGoesOn) {
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Error);
    rig_.Start();
    const std::string refusal = "[WARN] MobiFlight registration error: MF.Clients.Add.Tester.Error";
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(refusal) == 1; }));
    Step(std::chrono::seconds(5), 2);
    ASSERT_TRUE(WaitUntil([&] { return log_.Count(refusal) == 2; }));
    EXPECT_FALSE(rig_.Client().IsRegistered());
}

TEST_F(MobiFlightRegistrationTest, ChannelSetUpFailureWaitsForTheNextConnection) {
    rig_.Sim().FailNextCalls(SimConnectCall::AddToClientDataDefinition, 1);
    rig_.Start();
    ASSERT_TRUE(WaitUntil([&] {
        return log_.Count(
                   "[WARN] MobiFlight channel initialization failed: "
                   "SimConnect_AddToClientDataDefinition failed (0x80004005)") == 1;
    }));
    clock_.Advance(std::chrono::seconds(60));
    ExpectQuiet(0);

    // A new connection sets the channels up again and registers.
    rig_.Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return rig_.Client().IsRegistered(); }));
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client waiting for SimConnect"), 1u);
}

TEST_F(MobiFlightRegistrationTest, EveryConnectionRegistersAgain) {
    rig_.StartRegistered();
    rig_.Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return Attempts() == 2 && rig_.Client().IsRegistered(); }));
    ASSERT_TRUE(WaitUntil(
        [&] { return rig_.Api().CountOf(std::string(mf::kSubscribeLightingCommand)) == 2; }));
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client registered"), 2u);
}

// --- What the module reports ------------------------------------------------------------------

class MobiFlightLVarTest : public testing::Test {
protected:
    void SetUp() override {
        rig_.Client().SetTextHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(text);
        });
    }
    bool Received(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& t : texts_) {
            if (t == text) {
                return true;
            }
        }
        return false;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_.size();
    }
    void Deliver(const std::vector<std::uint8_t>& block,
                 std::uint32_t requestId = mf::kClientLVarsRequestId) {
        rig_.Client().OnClientData(requestId, block.data(),
                                   static_cast<std::uint32_t>(block.size()));
    }

    std::mutex mutex_;
    std::vector<std::string> texts_;
    MobiFlightRig rig_;
};

TEST_F(MobiFlightLVarTest, LightingLevelsFromTheModuleReachTheHandler) {
    rig_.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.75);
    rig_.StartRegistered();
    ASSERT_TRUE(WaitUntil([&] { return Received("0.750000"); }));
    // 0.3 starts with a non-NUL byte (9A 99 99 3E) and is a number all the same.
    rig_.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.3);
    ASSERT_TRUE(WaitUntil([&] { return Received("0.300000"); }));
    rig_.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 42.0);
    ASSERT_TRUE(WaitUntil([&] { return Received("42.000000"); }));
}

TEST_F(MobiFlightLVarTest, TextBlocksAndBadFloats) {
    std::vector<std::uint8_t> block(4096, 0);
    const std::string text = "L:LIGHTING_POTENTIOMETER_5=0.5";
    std::memcpy(block.data(), text.data(), text.size());
    block[text.size() + 1] = 'x';  // behind the NUL: not part of the text
    Deliver(block);
    EXPECT_TRUE(Received(text));

    std::vector<std::uint8_t> nan(4096, 0);
    const auto bits = std::bit_cast<std::uint32_t>(std::numeric_limits<float>::quiet_NaN());
    std::memcpy(nan.data(), &bits, 4);
    Deliver(nan);
    Deliver(std::vector<std::uint8_t>(3, 0));      // too short for a number
    Deliver(block, mf::kLVarsAreaId);              // not ours
    Deliver(block, mf::kResponseRequestId);        // a response, not a level
    Deliver(block, mf::kClientResponseRequestId);  // the same on the client's own channel
    EXPECT_EQ(Count(), 1u);
}

// Another program on the module's shared channels, as cockpit builders often run one for their
// other panels: our registration, subscription, commands and reconnects leave its variable list
// alone, and each reads its own variable area.
TEST_F(MobiFlightLVarTest, AnotherClientOnTheSharedChannelsKeepsItsVariables) {
    namespace rec = SimConnectRecords;
    VirtualSimConnectApi otherApi(rig_.Sim());
    rig_.Sim().SetRunning(true);
    rig_.Sim().SetLVar("L:OTHER", 5.0);
    rig_.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.25);
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

    rig_.StartRegistered();
    ASSERT_TRUE(WaitUntil([&] { return Received("0.250000"); }));
    std::string error;
    ASSERT_TRUE(rig_.Client().QueueRpn("(>L:MINE)", SendMode::Plain, 1, error)) << error;
    ASSERT_TRUE(WaitUntil([&] { return rig_.Executed("(>L:MINE)") == 1; }));
    // Only our pump dispatches meanwhile, so the failure breaks our connection, not the other's.
    rig_.Sim().FailNextCalls(SimConnectCall::CallDispatch, 1);
    ASSERT_TRUE(WaitUntil([&] {
        return rig_.Api().CountOf(std::string(mf::kSubscribeLightingCommand)) == 2 &&
               rig_.Client().QueueLength() == 0;
    }));
    rig_.Sim().SetLVar("L:OTHER", 9.0);
    rig_.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.5);
    ASSERT_TRUE(WaitUntil([&] { return Received("0.500000"); }));

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
    EXPECT_FALSE(Received("5.000000") || Received("9.000000"));
    EXPECT_EQ(otherApi.Close(other), kSimConnectOk);
}

TEST_F(MobiFlightLVarTest, NoHandlerCallsAfterStop) {
    rig_.Start();
    rig_.Client().Stop();
    // The module may have reported a level before the Stop; nothing may come after it.
    const auto before = Count();
    Deliver(std::vector<std::uint8_t>{'1', 0});
    EXPECT_EQ(Count(), before);
}

}  // namespace
}  // namespace tarnwick
