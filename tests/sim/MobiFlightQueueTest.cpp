// The client's queue at work: entries that wait for the connection or the registration, clicks
// that join a write in progress, the rate limit, and what reaches the module's channel. The
// bookkeeping of the modes and the cancel has its own table in MobiFlightCommandQueueTest.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "MobiFlightRig.h"
#include "sim/MobiFlightClient.h"

namespace tarnwick {
namespace {

using namespace test;
namespace mf = MobiFlightProtocol;

// Registration is held back (silent module) until Register(), with a clock the test moves, so
// that requests pile up in the queue while the worker cycles them.
class MobiFlightQueueTest : public testing::Test {
protected:
    static MobiFlightClientOptions Options() {
        MobiFlightClientOptions options;
            options.timing.idleWake = std::chrono::milliseconds(1);
        return options;
    }

    void StartNotReady() {
        rig_.Sim().SetModuleAnswer(ModuleAnswer::Silent);
        rig_.Start();
        // The client's worker waits on the test clock, which then moves only while it waits.
        clock_.SetWorkers(1);
        ASSERT_TRUE(WaitUntil([&] { return rig_.Api().CountOf(kRegistration) == 1; }));
    }
    void Register() {
        rig_.Sim().SetModuleAnswer(ModuleAnswer::Finished);
        clock_.Advance(std::chrono::seconds(5));
        ASSERT_TRUE(WaitUntil([&] { return rig_.Client().IsRegistered(); }));
    }
    // Queued after everything else, so once it is executed the queue has been served.
    void Drain() {
        const std::size_t before = rig_.Executed("(>L:DRAINED)");
        std::string error;
        ASSERT_TRUE(rig_.Client().QueueRpn("(>L:DRAINED)", SendMode::Plain, 1, error));
        ASSERT_TRUE(WaitUntil([&] { return rig_.Executed("(>L:DRAINED)") == before + 1; }));
        // Its dummy follows at once; wait for that write too, so that a failure set up next
        // cannot fall on it.
        ASSERT_TRUE(WaitUntil([&] {
            const auto texts = rig_.Api().Texts();
            const auto last = std::find(texts.rbegin(), texts.rend(), Rpn("(>L:DRAINED)"));
            return last != texts.rend() && last != texts.rbegin() && *std::prev(last) == kDummy;
        }));
    }
    // An entry that was waiting in the worker's hand when registration came goes back behind
    // what is queued then, so wait for the count, let such an entry come round, and check that
    // nothing more follows.
    void ExpectExecutedExactly(const std::string& rpn, std::size_t n) {
        ASSERT_TRUE(WaitUntil([&] { return rig_.Executed(rpn) >= n; }))
            << rpn << ": " << rig_.Executed(rpn);
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        Drain();
        EXPECT_EQ(rig_.Executed(rpn), n) << rpn;
    }
    bool Queue(const std::string& rpn, SendMode mode, int count = 1) {
        std::string error;
        return rig_.Client().QueueRpn(rpn, mode, count, error);
    }
    // Every write of the command is directly followed by the dummy.
    void ExpectDummyAfterEach(const std::string& rpn) {
        const auto texts = rig_.Api().Texts();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (texts[i] == Rpn(rpn)) {
                ASSERT_LT(i + 1, texts.size());
                EXPECT_EQ(texts[i + 1], kDummy) << "after write " << i;
            }
        }
    }

    ManualClock clock_;
    LogCapture log_;
    MobiFlightRig rig_{Options(), clock_};
};

TEST_F(MobiFlightQueueTest, DummyLetsTheModuleSeeARepeatedCommand) {
    StartNotReady();
    Register();
    Drain();  // nothing else writes from here on
    // Written twice without a dummy in between, the module reads the command once.
    mf::CommandBlock block;
    mf::BuildCommandBlock(Rpn("(>L:REPEAT)"), block);
    std::string error;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(rig_.SimConnect().SetClientData(mf::kCommandAreaId, mf::kCommandDefinitionId,
                                                    block.data(), mf::kCommandBlockSize, error));
    }
    EXPECT_EQ(rig_.Executed("(>L:REPEAT)"), 1u);

    // Through the client, each request is executed: the channel never holds a command when
    // the next one is written.
    ASSERT_TRUE(Queue("(>L:TWICE)", SendMode::Plain));
    ASSERT_TRUE(Queue("(>L:TWICE)", SendMode::Plain));
    ASSERT_TRUE(WaitUntil([&] { return rig_.Executed("(>L:TWICE)") == 2; }));
    Drain();
    ExpectDummyAfterEach("(>L:TWICE)");
}

TEST_F(MobiFlightQueueTest, PlainRequestsWaitForRegistrationAndAllGo) {
    StartNotReady();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Queue("1 (>L:PLAIN)", SendMode::Plain));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(120));  // a few 50 ms cycles
    EXPECT_EQ(rig_.Executed("1 (>L:PLAIN)"), 0u);
    Register();
    ExpectExecutedExactly("1 (>L:PLAIN)", 3);
    ExpectDummyAfterEach("1 (>L:PLAIN)");
}

TEST_F(MobiFlightQueueTest, ClicksDuringAWriteJoinTheEntryInFlight) {
    StartNotReady();
    Register();
    Drain();
    rig_.Api().HoldNextWriteOf(Rpn("(>K:AP_ALT_VAR_INC)"));
    ASSERT_TRUE(Queue("(>K:AP_ALT_VAR_INC)", SendMode::Counted));
    ASSERT_TRUE(rig_.Api().WaitHeld());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(Queue("(>K:AP_ALT_VAR_INC)", SendMode::Counted));
        EXPECT_EQ(rig_.Client().QueueLength(), 0u);
    }
    rig_.Api().Release();
    ASSERT_TRUE(WaitUntil([&] { return rig_.Executed("(>K:AP_ALT_VAR_INC)") == 6; }));
    Drain();
    EXPECT_EQ(rig_.Executed("(>K:AP_ALT_VAR_INC)"), 6u);
    // Six writes back to back, each followed by its dummy.
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        expected.push_back(Rpn("(>K:AP_ALT_VAR_INC)"));
        expected.push_back(kDummy);
    }
    const auto texts = rig_.Api().Texts();
    const auto first = std::find(texts.begin(), texts.end(), expected.front());
    ASSERT_GE(static_cast<std::size_t>(texts.end() - first), expected.size());
    EXPECT_EQ(std::vector<std::string>(first, first + 12), expected);
}

TEST_F(MobiFlightQueueTest, ConnectionChangeDropsWhatWasQueuedBefore) {
    StartNotReady();
    // Several entries, so that the worker holds one in its hand at almost any moment.
    ASSERT_TRUE(Queue("(>L:OLD_PLAIN)", SendMode::Plain));
    ASSERT_TRUE(Queue("(>L:OLD_DEDUPE)", SendMode::Dedupe));
    ASSERT_TRUE(Queue("(>L:OLD_COUNTED)", SendMode::Counted, 4));
    std::this_thread::sleep_for(std::chrono::milliseconds(75));
    rig_.Sim().SetModuleAnswer(ModuleAnswer::Finished);
    rig_.Sim().DropConnections();
    ASSERT_TRUE(WaitUntil([&] { return rig_.Client().IsRegistered(); }));
    Drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // a held entry's pause ends
    Drain();
    EXPECT_EQ(rig_.Executed("(>L:OLD_PLAIN)"), 0u);
    EXPECT_EQ(rig_.Executed("(>L:OLD_DEDUPE)"), 0u);
    EXPECT_EQ(rig_.Executed("(>L:OLD_COUNTED)"), 0u);
}

TEST_F(MobiFlightQueueTest, FailedWriteIsReportedAndNotRetried) {
    StartNotReady();
    Register();
    Drain();
    rig_.Sim().FailNextCalls(SimConnectCall::SetClientData, 1);
    ASSERT_TRUE(Queue("(>L:LOST)", SendMode::Plain));
    ASSERT_TRUE(WaitUntil([&] {
        return log_.Count(
                   "[WARN] MobiFlight send failed: SimConnect_SetClientData failed "
                   "(0x80004005)") == 1;
    }));
    Drain();
    EXPECT_EQ(rig_.Executed("(>L:LOST)"), 0u);
    EXPECT_EQ(rig_.Api().CountOf(Rpn("(>L:LOST)")), 1u);
}

TEST_F(MobiFlightQueueTest, LongCommandIsRefusedNeverCut) {
    StartNotReady();
    Register();
    Drain();
    const std::string fits(238, '7');     // 255 bytes with the prefix, a NUL behind
    const std::string tooLong(239, '8');  // 256 bytes: no room for the NUL
    ASSERT_TRUE(Queue(fits, SendMode::Plain));
    Drain();
    EXPECT_EQ(rig_.Executed(fits), 1u);
    std::string error;
    EXPECT_FALSE(rig_.Client().QueueRpn(tooLong, SendMode::Plain, 1, error));
    EXPECT_EQ(error, "RPN command too long (239 bytes, at most 238)");
    error.clear();
    EXPECT_FALSE(rig_.Client().SendRpnNow(tooLong, error));
    EXPECT_EQ(error, "RPN command too long (239 bytes, at most 238)");
    Drain();
    EXPECT_EQ(rig_.Api().CountStartingWith(Rpn("8")), 0u);
}

// Real time here: the limit is measured on the steady clock.
TEST(MobiFlightRateLimitTest, CommandsQueuedTogetherAreSpacedAndSendNowIsNot) {
    LogCapture log;
    MobiFlightRig rig;
    MobiFlightSettings settings = TestSettings();
    settings.rpnRateLimitMs = 100;
    rig.StartRegistered(settings);
    std::string error;
    ASSERT_TRUE(rig.Client().QueueRpn("(>L:A)", SendMode::Plain, 1, error));
    ASSERT_TRUE(rig.Client().QueueRpn("(>L:B)", SendMode::Plain, 1, error));
    // Past the queue and the limit.
    ASSERT_TRUE(rig.Client().SendRpnNow("(>L:NOW)", error)) << error;
    EXPECT_EQ(rig.Executed("(>L:NOW)"), 1u);
    // The write is noted once the call has returned.
    ASSERT_TRUE(WaitUntil([&] { return rig.Api().CountOf(Rpn("(>L:B)")) == 1; }));

    SteadyClock::time_point aDone{};
    SteadyClock::time_point bBegin{};
    for (const auto& write : rig.Api().Writes()) {
        if (write.text == Rpn("(>L:A)")) {
            aDone = write.end;
        } else if (write.text == Rpn("(>L:B)")) {
            bBegin = write.begin;
        }
    }
    EXPECT_GE(bBegin - aDone, std::chrono::milliseconds(100));
}

// Queueing and cancelling from several threads while the connection keeps dropping.
TEST(MobiFlightStressTest, ConcurrentRequestsAcrossConnectionChanges) {
    MobiFlightClientOptions options;
    options.timing.notReadyRetry = std::chrono::milliseconds(1);
    options.timing.disconnectedRetry = std::chrono::milliseconds(1);
    options.timing.registrationRetry = std::chrono::milliseconds(2);
    options.timing.idleWake = std::chrono::milliseconds(1);
    MobiFlightRig rig(options);
    rig.Start();

    // S0 only ever Dedupe and S1 only Counted: neither may have two entries waiting at once.
    const std::vector<std::string> codes = {"(>L:S0)", "(>L:S1)", "(>L:S2)", "(>L:S3)"};
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> maxWaiting{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t) + 1);
            std::string error;
            while (!stop) {
                switch (random() % 5) {
                    case 0:
                        rig.Client().QueueRpn(codes[2 + random() % 2], SendMode::Plain, 1, error);
                        break;
                    case 1:
                        rig.Client().QueueRpn(codes[0], SendMode::Dedupe, 1, error);
                        break;
                    case 2:
                        rig.Client().QueueRpn(codes[1], SendMode::Counted,
                                              static_cast<int>(random() % 3), error);
                        break;
                    case 3:
                        rig.Client().CancelRpn(codes[random() % codes.size()]);
                        break;
                    default:
                        rig.Client().SendRpnNow(codes[random() % codes.size()], error);
                        break;
                }
                if (random() % 16 == 0) {
                    std::this_thread::yield();
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            const std::size_t n = std::max(rig.Client().QueuedEntries(codes[0]),
                                           rig.Client().QueuedEntries(codes[1]));
            if (n > maxWaiting) {
                maxWaiting = n;
            }
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        std::mt19937 random(99);
        for (int i = 0; i < 100 && !stop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + random() % 15));
            rig.Sim().DropConnections();
        }
        stop = true;
    });
    for (auto& thread : threads) {
        thread.join();
    }

    // Settled: the client registers again and serves its queue. A command written just before
    // the last drop was noticed fails (and is not retried), so ask until one gets through.
    const auto deadline = SteadyClock::now() + std::chrono::seconds(20);
    std::string error;
    while (rig.Executed("(>L:AFTER)") == 0 && SteadyClock::now() < deadline) {
        if (rig.Client().IsRegistered()) {
            rig.Client().QueueRpn("(>L:AFTER)", SendMode::Plain, 1, error);
        }
        WaitUntil([&] { return rig.Executed("(>L:AFTER)") > 0; }, std::chrono::milliseconds(100));
    }
    ASSERT_GT(rig.Executed("(>L:AFTER)"), 0u);
    ASSERT_TRUE(
        WaitUntil([&] { return rig.Client().QueueLength() == 0; }, std::chrono::seconds(20)));
    EXPECT_LE(maxWaiting.load(), 1u);
    EXPECT_EQ(rig.Sim().HandleMisuses(), 0);
}

}  // namespace
}  // namespace tarnwick
