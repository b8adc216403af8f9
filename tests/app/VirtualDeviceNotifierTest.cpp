#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "app/virtual/VirtualDeviceNotifier.h"

namespace tarnwick {
namespace {

TEST(VirtualDeviceNotifier, CallsBackForHidChangesOnItsOwnThreadWhileRunning) {
    VirtualDeviceNotifier notifier;
    std::atomic<int> calls{0};
    const auto count = [&, test = std::this_thread::get_id()] {
        calls += std::this_thread::get_id() == test ? 100 : 1;
    };
    notifier.SetStartFailure("RegisterDeviceNotification failed");
    EXPECT_EQ(notifier.Start(count).Error(), "RegisterDeviceNotification failed");
    EXPECT_FALSE(notifier.Notify(VirtualDeviceChange::HidArrival));  // nothing runs
    notifier.SetStartFailure("");
    for (int round = 1; round <= 2; ++round) {  // a stopped notifier starts again
        ASSERT_TRUE(notifier.Start(count).Ok());
        EXPECT_EQ(notifier.Start([] {}).Error(), "Device notifier already running");
        for (const auto change :
             {VirtualDeviceChange::HidArrival, VirtualDeviceChange::OtherArrival,
              VirtualDeviceChange::OtherRemoval, VirtualDeviceChange::HidRemoval}) {
            EXPECT_TRUE(notifier.Notify(change));
        }
        ASSERT_TRUE(notifier.WaitUntilProcessed(4 * round, std::chrono::seconds(10)));
        EXPECT_EQ(calls.load(), 2 * round);  // HID changes only, none on this thread
        notifier.Stop();
    }
}

}  // namespace
}  // namespace tarnwick
