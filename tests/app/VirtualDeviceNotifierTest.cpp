#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "app/virtual/VirtualDeviceNotifier.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

TEST(VirtualDeviceNotifier, CallsBackForHidChangesOnItsOwnThreadWhileRunning) {
    VirtualDeviceNotifier notifier;
    std::atomic<int> calls{0};
    std::atomic<bool> onTestThread{false};
    const auto count = [&, test = std::this_thread::get_id()] {
        onTestThread = onTestThread || std::this_thread::get_id() == test;
        ++calls;
    };
    notifier.SetStartFailure("RegisterDeviceNotification failed");
    EXPECT_EQ(notifier.Start(count).Error(), "RegisterDeviceNotification failed");
    EXPECT_FALSE(notifier.Notify(VirtualDeviceChange::HidArrival));  // nothing runs
    notifier.SetStartFailure("");
    for (int round = 0; round < 2; ++round) {  // a stopped notifier starts again
        ASSERT_TRUE(notifier.Start(count).Ok());
        EXPECT_EQ(notifier.Start([] {}).Error(), "Device notifier already running");
        for (const auto change :
             {VirtualDeviceChange::HidArrival, VirtualDeviceChange::OtherArrival,
              VirtualDeviceChange::OtherRemoval, VirtualDeviceChange::HidRemoval}) {
            EXPECT_TRUE(notifier.Notify(change));
        }
        ASSERT_TRUE(notifier.WaitUntilProcessed(4 * (round + 1), 10s));
        EXPECT_EQ(calls.load(), 2 * (round + 1));
        notifier.Stop();
        EXPECT_FALSE(notifier.Notify(VirtualDeviceChange::HidArrival));
    }
    EXPECT_FALSE(onTestThread.load());
}

}  // namespace
}  // namespace tarnwick
