// The MobiFlight client against the virtual simulator's module: registration on its schedule,
// the queue's work as it reaches the module's channel, and the levels the module reports. The
// bookkeeping of the modes and the cancel has its own table in MobiFlightCommandQueueTest.
#include <algorithm>
#include <cstring>
#include <mutex>
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
namespace mf = MobiFlightProtocol;

const std::string kRetrying =
    "[INFO] MobiFlight WASM module not responding yet; retrying registration every 5s";
const std::string kNoAnswer =
    "[WARN] MobiFlight WASM module has not answered registration after 180s; check that the "
    "MobiFlight WASM module is installed in the MSFS Community folder";
const std::string kClear{mf::kClearCommand};

MobiFlightClientOptions ManualOptions() {
    MobiFlightClientOptions options;
    options.timing.idleWake = 1ms;
    return options;
}

// The client's worker runs on a clock the test moves, and only while it waits on it; SimConnect
// runs on real short periods.
class MobiFlightClientTest : public testing::Test {
protected:
    MobiFlightClientTest() {
        clock_.SetWorkers(1);
        rig_.Client().SetTextHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            levels_.push_back(text);
        });
    }
    std::size_t Levels(const std::string& text = "") {
        std::lock_guard<std::mutex> lock(mutex_);
        return text.empty() ? levels_.size() : std::count(levels_.begin(), levels_.end(), text);
    }
    void Deliver(const std::vector<std::uint8_t>& block,
                 std::uint32_t requestId = mf::kClientLVarsRequestId) {
        rig_.Client().OnClientData(requestId, block.data(),
                                   static_cast<std::uint32_t>(block.size()));
    }
    std::size_t Attempts() { return rig_.Api().CountOf(kRegistration); }
    void StartNotReady() {
        rig_.Sim().SetModuleAnswer(ModuleAnswer::Silent);
        rig_.Start();
        ASSERT_TRUE(WaitUntil([&] { return Attempts() == 1; }));
    }
    void Register() {
        rig_.Sim().SetModuleAnswer(ModuleAnswer::Finished);
        // A worker woken by a request may look at the time only after it moved: move it again
        // until the next attempt has gone out.
        ASSERT_TRUE(WaitUntil([&] {
            if (!rig_.Client().IsRegistered()) {
                clock_.Advance(5s);
            }
            return rig_.Client().IsRegistered();
        }));
    }
    // Queued behind everything else: once it and its dummy are written, the queue was served.
    void Drain() {
        const std::size_t before = rig_.Executed("(>L:DRAINED)");
        ASSERT_TRUE(Queue("(>L:DRAINED)", SendMode::Plain));
        ASSERT_TRUE(WaitUntil([&] {
            return rig_.Executed("(>L:DRAINED)") == before + 1 &&
                   rig_.Api().Texts().back() == kDummy;
        }));
    }
    bool Queue(const std::string& rpn, SendMode mode, int count = 1) {
        return rig_.Client().QueueRpn(rpn, mode, count).Ok();
    }

    ManualClock clock_;
    LogCapture log_;
    std::mutex mutex_;
    std::vector<std::string> levels_;
    MobiFlightRig rig_{ManualOptions(), clock_};
};

TEST_F(MobiFlightClientTest, RequestErrorsNameTheirCause) {
    MobiFlightClient disabled;
    MobiFlightSettings off = TestSettings();
    off.enabled = false;
    ASSERT_TRUE(disabled.Start(nullptr, off));
    EXPECT_EQ(disabled.QueueRpn("1", SendMode::Plain, 1).Error(), "MobiFlight disabled");
    EXPECT_EQ(disabled.SendRpnNow("1").Error(), "MobiFlight disabled");

    MobiFlightClient& client = rig_.Client();
    EXPECT_EQ(client.QueueRpn("1", SendMode::Plain, 1).Error(), "MobiFlight not running");
    ASSERT_TRUE(client.Start(&rig_.SimConnect(), TestSettings()));
    EXPECT_EQ(client.Start(&rig_.SimConnect(), off).Error(), "MobiFlight client already running");
    EXPECT_EQ(client.SendRpnNow("1").Error(), "SimConnect is not connected");
    rig_.Client().Stop();
    StartNotReady();
    EXPECT_EQ(client.SendRpnNow("1").Error(), "MobiFlight not ready");
    EXPECT_EQ(client.QueueRpn("", SendMode::Plain, 1).Error(), "Empty RPN command");

    // A calculator code of 238 bytes fills the block (255 with the prefix, then the NUL); one
    // byte more is refused, never cut.
    Register();
    const std::string fits(238, '7');
    const std::string tooLong(239, '8');
    ASSERT_TRUE(Queue(fits, SendMode::Plain));
    Drain();
    EXPECT_EQ(rig_.Executed(fits), 1u);
    EXPECT_EQ(client.QueueRpn(tooLong, SendMode::Plain, 1).Error(),
              "RPN command too long (239 bytes, at most 238)");
    EXPECT_EQ(client.SendRpnNow(tooLong).Error(), "RPN command too long (239 bytes, at most 238)");
    Drain();
    for (const std::string& text : rig_.Api().Texts()) {
        EXPECT_NE(text.rfind(Rpn("8"), 0), 0u);
    }
    client.Stop();
    EXPECT_EQ(client.SendRpnNow("1").Error(), "MobiFlight not running");
}

// One run through the registration's schedule on the hand-moved clock: channels that cannot be
// set up wait for the next connection; attempts every 5 s with one line after the first and one
// warning at three minutes; a refusal logged whole; commands queued meanwhile go out once it is
// acknowledged, each with its dummy; the next connection registers again at once.
TEST_F(MobiFlightClientTest, EveryConnectionRegistersOnItsSchedule) {
    rig_.Sim().FailNextCalls(SimConnectCall::AddToClientDataDefinition, 1);
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Silent);
    rig_.Start();
    ASSERT_TRUE(WaitUntil([&] {
        return log_.Count(
                   "[WARN] MobiFlight channel initialization failed: "
                   "SimConnect_AddToClientDataDefinition failed (0x80004005)") == 1;
    }));
    clock_.Advance(60s);
    clock_.Settle();
    EXPECT_EQ(Attempts(), 0u);
    rig_.Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return Attempts() == 1; }));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Queue("1 (>L:PLAIN)", SendMode::Plain));
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
        EXPECT_EQ(rig_.Executed("1 (>L:PLAIN)"), 0u);
        clock_.Advance(step.by);
        clock_.Settle();
        ASSERT_TRUE(WaitUntil([&] { return Attempts() == step.attempts; })) << Attempts();
        EXPECT_TRUE(WaitUntil([&] { return log_.Count(step.line) == step.lines; }));
    }
    // A refusal is logged whole and the registration goes on.
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Error);
    clock_.Advance(5s);
    EXPECT_TRUE(WaitUntil([&] {
        return log_.Count("[WARN] MobiFlight registration error: MF.Clients.Add.Tester.Error") == 1;
    }));
    Register();
    ASSERT_TRUE(WaitUntil([&] { return rig_.Executed("1 (>L:PLAIN)") == 3; }));
    const std::size_t attempts = Attempts();
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client registered (after " + std::to_string(attempts) +
                         " attempts)"),
              1u);
    clock_.Advance(30s);
    clock_.Settle();
    EXPECT_EQ(Attempts(), attempts);
    // The module saw every attempt, though they are the same bytes: a dummy follows each.
    const auto commands = rig_.Sim().ModuleCommands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kRegistration),
              static_cast<long>(attempts));
    const auto texts = rig_.Api().Texts();
    std::vector<std::string> rest;
    for (auto it = std::find(texts.rbegin(), texts.rend(), kRegistration).base() - 1;
         it != texts.end(); ++it) {
        if (*it == Rpn("1 (>L:PLAIN)")) {
            EXPECT_EQ(*++it, kDummy);
        } else {
            rest.push_back(*it);
        }
    }
    EXPECT_EQ(rest, (std::vector<std::string>{kRegistration, kDummy, kClear, kSubscribe}));
    // A repeated acknowledgement changes nothing; a new connection registers again at once.
    const std::string ack = mf::RegistrationFinishedAnswer("Tester");
    rig_.Client().OnClientData(mf::kResponseRequestId,
                               reinterpret_cast<const std::uint8_t*>(ack.c_str()),
                               static_cast<std::uint32_t>(ack.size() + 1));
    rig_.Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return rig_.Api().CountOf(kSubscribe) == 2; }));
    EXPECT_EQ(rig_.Api().CountOf(kClear), 2u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client registered"), 1u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client waiting for SimConnect"), 2u);
    EXPECT_EQ(log_.Count("[INFO] MobiFlight client channels: Tester.Command, Tester.Response, "
                         "Tester.LVars"),
              2u);
}

TEST_F(MobiFlightClientTest, AConnectionChangeDropsWhatWasQueuedAndAFailedWriteIsNotRetried) {
    StartNotReady();
    ASSERT_TRUE(Queue("(>L:OLD_PLAIN)", SendMode::Plain));
    ASSERT_TRUE(Queue("(>L:OLD_DEDUPE)", SendMode::Dedupe));
    ASSERT_TRUE(Queue("(>L:OLD_COUNTED)", SendMode::Counted, 4));
    clock_.Settle();  // one of them in the worker's hand
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Finished);
    rig_.Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return rig_.Client().IsRegistered(); }));
    Drain();
    Drain();  // a held entry put back would go behind the first
    for (const char* old : {"(>L:OLD_PLAIN)", "(>L:OLD_DEDUPE)", "(>L:OLD_COUNTED)"}) {
        EXPECT_EQ(rig_.Executed(old), 0u) << old;
    }
    rig_.Sim().FailNextCalls(SimConnectCall::SetClientData, 1);
    ASSERT_TRUE(Queue("(>L:LOST)", SendMode::Plain));
    Drain();
    EXPECT_EQ(
        log_.Count("[WARN] MobiFlight send failed: SimConnect_SetClientData failed (0x80004005)"),
        1u);
    EXPECT_EQ(rig_.Executed("(>L:LOST)"), 0u);
    EXPECT_EQ(rig_.Api().CountOf(Rpn("(>L:LOST)")), 1u);
}

// Queued commands keep the rate limit on the client's clock, the subscription's two included;
// SendRpnNow does not wait for it. Stop ends every wait of the worker with the clock standing.
TEST_F(MobiFlightClientTest, TheRateLimitHoldsOnlyQueuedCommandsAndStopEndsEveryWait) {
    MobiFlightSettings limited = TestSettings();
    limited.rpnRateLimitMs = 60000;
    for (int state = 0; state < 3; ++state) {
        SCOPED_TRACE(state);
        MobiFlightRig rig(ManualOptions(), clock_);
        if (state == 0) {  // waiting for SimConnect, an entry cycling
            ASSERT_TRUE(rig.Client().Start(&rig.SimConnect(), TestSettings()));
            ASSERT_TRUE(rig.Client().QueueRpn("1", SendMode::Plain, 1));
        } else if (state == 1) {  // idle and registered
            rig.StartRegistered();
        } else {  // a command waits out a minute's limit
            rig.Start(limited);
            ASSERT_TRUE(WaitUntil([&] { return rig.Api().CountOf(kClear) == 1; }));
            clock_.Settle();
            clock_.Advance(59999ms);
            clock_.Settle();
            EXPECT_EQ(rig.Api().CountOf(kSubscribe), 0u);
            clock_.Advance(1ms);
            ASSERT_TRUE(WaitUntil([&] { return rig.Client().IsRegistered(); }));
            ASSERT_TRUE(rig.Client().QueueRpn("2", SendMode::Plain, 1));
            ASSERT_TRUE(rig.Client().SendRpnNow("(>L:NOW)"));
            EXPECT_EQ(rig.Executed("(>L:NOW)"), 1u);
        }
        clock_.Settle();
        rig.Client().Stop();
        EXPECT_EQ(rig.Executed("2"), 0u);
    }
}

// Only the client's own variable channel carries levels; nothing reaches the handler after Stop.
TEST_F(MobiFlightClientTest, LevelsComeOnlyFromTheClientsChannelAndNotAfterStop) {
    const auto block = Block("L:LIGHTING_POTENTIOMETER_5=0.5", 4096);
    Deliver(block);
    EXPECT_TRUE(Levels("L:LIGHTING_POTENTIOMETER_5=0.5") > 0);
    Deliver(std::vector<std::uint8_t>(3, 0));      // no level
    Deliver(block, mf::kLVarsAreaId);              // not ours
    Deliver(block, mf::kResponseRequestId);        // a response, not a level
    Deliver(block, mf::kClientResponseRequestId);  // the same on the client's own channel
    EXPECT_EQ(Levels(), 1u);
    rig_.Start();
    rig_.Client().Stop();
    // The module may have reported a level before the Stop; nothing may come after it.
    const auto before = Levels();
    Deliver(std::vector<std::uint8_t>{'1', 0});
    EXPECT_EQ(Levels(), before);
}

// Another program on the module's shared channels, as cockpit builders often run one for their
// other panels: our registration, subscription, commands and reconnects leave its variable list
// alone, and each reads its own variable area.
TEST_F(MobiFlightClientTest, AnotherClientOnTheSharedChannelsKeepsItsVariables) {
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
    ASSERT_TRUE(WaitUntil([&] { return Levels("0.250000") > 0; }));
    ASSERT_TRUE(rig_.Client().QueueRpn("(>L:MINE)", SendMode::Plain, 1));
    ASSERT_TRUE(WaitUntil([&] { return rig_.Executed("(>L:MINE)") == 1; }));
    // Only our pump dispatches meanwhile, so the failure breaks our connection, not the other's.
    rig_.Sim().FailNextCalls(SimConnectCall::CallDispatch, 1);
    ASSERT_TRUE(WaitUntil(
        [&] { return rig_.Api().CountOf(kSubscribe) == 2 && rig_.Client().QueueLength() == 0; }));
    rig_.Sim().SetLVar("L:OTHER", 9.0);
    // 0.3 starts with a non-NUL byte (9A 99 99 3E) and is a number all the same.
    rig_.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.3);
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
