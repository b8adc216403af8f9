// Many threads at the engine at once: four boards' events, releases racing the hold worker,
// output requests and lighting texts, and Stop in the middle of it all. Built to run under TSan.
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mapping/CockpitRig.h"
#include "mapping/MappingEngine.h"
#include "mapping/MappingTestSupport.h"
#include "mapping/SimStatus.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using HidProtocol::HidEvent;
using test::WaitUntil;

HidEvent Event(std::uint8_t type, std::uint16_t id, std::int8_t value, std::uint8_t mode) {
    HidEvent event;
    event.type = type;
    event.controlId = id;
    event.value = value;
    event.mode = mode;
    return event;
}

// One board's noise: map presses, holds and releases, soft keys, encoder turns, LED shows.
HidEvent RandomEvent(std::mt19937& random) {
    static const std::uint16_t kControls[] = {40, 41, 42, 43, 50, 30, 21, 7};
    const std::uint16_t id = kControls[random() % std::size(kControls)];
    const std::uint8_t mode = static_cast<std::uint8_t>(random() % 3);
    switch (random() % 8) {
        case 0:
            return Event(1, id, 1, mode);
        case 1:
        case 2:
            return Event(1, id, 0, mode);
        case 3:
            return Event(2, id, static_cast<std::int8_t>(random() % 7) - 3, mode);
        case 4:
            return Event(4, 0, 0, 0);
        default:
            return Event(1, id, static_cast<std::int8_t>(2 + random() % 3), mode);
    }
}

class MappingStressTest : public testing::Test {
protected:
    void SetUp() override {
        test::LoadNames(dir_, buttons_, eventMap_);
        config_ = test::MakeConfig();
        config_.mobiflight.mapHoldRepeatMs = 1;
        config_.outputs.debounceMs = 1;
        leds_.SetDevices({{"B0", 0}, {"B1", 1}, {"B2", 2}, {"B3", 3}});
    }
    void StartEngine() {
        const Result started = engine_.Start(MappingCollaborators{
            &config_, &leds_, &sim_, &commands_, &buttons_, &eventMap_, &status_});
        ASSERT_TRUE(started) << started.Error();
    }

    test::TempDir dir_;
    test::FakeLeds leds_;
    test::FakeCommands commands_;
    test::FakeSimEvents sim_;
    SimStatus status_;
    AppConfig config_;
    ButtonConfig buttons_;
    HidEventMap eventMap_;
    MappingEngine engine_;
};

TEST_F(MappingStressTest, FourBoardsWithStopsInTheMiddle) {
    constexpr int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        StartEngine();
        std::atomic<bool> go{true};
        std::vector<std::thread> threads;
        // B3 stays quiet: no LED show ever holds its outputs off, so every refresh writes to it.
        for (int board = 0; board < 3; ++board) {
            threads.emplace_back([&, board] {
                std::mt19937 random(static_cast<unsigned>(round * 4 + board));
                const std::string name = "B" + std::to_string(board);
                while (go.load()) {
                    engine_.OnHidEvent(RandomEvent(random), name, board);
                }
            });
        }
        threads.emplace_back([&] {
            int n = 0;
            while (go.load()) {
                engine_.RequestOutputRefresh();
                engine_.SetSimConnected(n % 2 == 0);
                engine_.OnMobiFlightText(n % 3 == 0 ? "0.5" : "LIGHTING_POTENTIOMETER_5=x;");
                status_.SetBattery(n % 5 != 0);
                (void)engine_.IsOutputSuppressed(PanelBoard{"B1", 1});
                ++n;
                // Pauses longer than the debounce, so that refreshes do happen.
                std::this_thread::sleep_for(n % 4 == 0 ? 3ms : 200us);
            }
        });
        // Some of every kind of work must have happened before the Stop, however slowly the
        // machine runs the threads; 60 ms is only the least time the round lasts.
        const std::size_t writesBefore = leds_.Count("write ");
        const std::size_t commandsBefore = commands_.Count();
        std::this_thread::sleep_for(60ms);
        EXPECT_TRUE(WaitUntil([&] {
            return leds_.Count("write ") > writesBefore && commands_.Count() > commandsBefore;
        }));
        // Stop while the boards keep sending: it must return, and leave no hold behind.
        engine_.Stop();
        EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
        const std::size_t sentAtStop = commands_.Count("now ");
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(commands_.Count("now "), sentAtStop);
        go.store(false);
        for (std::thread& t : threads) {
            t.join();
        }
    }
    EXPECT_GT(commands_.Count(), 0u);
    EXPECT_GT(leds_.Count("write "), 0u);
}

TEST_F(MappingStressTest, ReleasesRacingTheHoldWorkerLeaveNoHold) {
    StartEngine();
    std::vector<std::thread> threads;
    for (int board = 0; board < 4; ++board) {
        threads.emplace_back([&, board] {
            const std::string name = "B" + std::to_string(board);
            for (int i = 0; i < 300; ++i) {
                for (std::uint16_t id = 40; id <= 43; ++id) {
                    engine_.OnHidEvent(Event(1, id, 2, 0), name, board);
                    engine_.OnHidEvent(Event(1, id, 3, 1), name, board);
                }
                if (i % 3 == 0) {
                    std::this_thread::sleep_for(100us);  // let the worker repeat a little
                }
                for (std::uint16_t id = 40; id <= 43; ++id) {
                    engine_.OnHidEvent(Event(1, id, 0, 0), name, board);
                    engine_.OnHidEvent(Event(1, id, 0, 1), name, board);
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    // Every hold ended with a release, in order per board: none may survive.
    ASSERT_TRUE(WaitUntil([&] { return engine_.ActiveHoldCount() == 0; }));
    const std::size_t sent = commands_.Count("now ");
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(commands_.Count("now "), sent);
}

TEST(MappingCockpitStressTest, FourVirtualBoardsThroughTheRealStack) {
    test::CockpitOptions options;
    options.boards = 4;
    options.mapHoldRepeatMs = 2;
    options.debounceMs = 2;
    test::CockpitRig rig(options);
    rig.Start();
    std::atomic<bool> go{true};
    std::vector<std::thread> threads;
    for (int board = 0; board < 4; ++board) {
        threads.emplace_back([&, board] {
            std::mt19937 random(static_cast<unsigned>(board + 100));
            while (go.load()) {
                rig.Board(board).SendEvent(RandomEvent(random));
                std::this_thread::sleep_for(50us);
            }
        });
    }
    std::this_thread::sleep_for(300ms);
    rig.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.25);
    std::this_thread::sleep_for(100ms);
    rig.Stop();  // in the application's order, while the boards keep sending
    go.store(false);
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(rig.Engine().ActiveHoldCount(), 0u);
    EXPECT_EQ(rig.Sim().HandleMisuses(), 0);
    EXPECT_FALSE(rig.Sim().ExecutedCode().empty());
}

}  // namespace
}  // namespace tarnwick
