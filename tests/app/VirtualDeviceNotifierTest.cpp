#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/virtual/VirtualDeviceNotifier.h"
#include "hid/HidManager.h"
#include "hid/HidTestSupport.h"
#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

TEST(VirtualDeviceNotifier, CallsBackForHidChangesOnlyOnItsOwnThread) {
    VirtualDeviceNotifier notifier;
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::thread::id callbackThread;
    std::string error;
    ASSERT_TRUE(notifier.Start(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            callbackThread = std::this_thread::get_id();
            ++calls;
        },
        error));
    EXPECT_TRUE(notifier.Notify(VirtualDeviceChange::HidArrival));
    EXPECT_TRUE(notifier.Notify(VirtualDeviceChange::OtherArrival));
    EXPECT_TRUE(notifier.Notify(VirtualDeviceChange::OtherRemoval));
    EXPECT_TRUE(notifier.Notify(VirtualDeviceChange::HidRemoval));
    ASSERT_TRUE(notifier.WaitUntilProcessed(4, 5s));
    EXPECT_EQ(calls.load(), 2);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(callbackThread, std::this_thread::get_id());
}

TEST(VirtualDeviceNotifier, SecondStartKeepsTheRunningThread) {
    VirtualDeviceNotifier notifier;
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    std::string error;
    ASSERT_TRUE(notifier.Start([&] { ++first; }, error));
    ASSERT_TRUE(notifier.Start([&] { ++second; }, error));
    notifier.Notify(VirtualDeviceChange::HidArrival);
    ASSERT_TRUE(notifier.WaitUntilProcessed(1, 5s));
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 0);
}

TEST(VirtualDeviceNotifier, FailedStartLeavesNothingRunning) {
    VirtualDeviceNotifier notifier;
    notifier.SetStartFailure("RegisterDeviceNotification failed");
    std::string error;
    EXPECT_FALSE(notifier.Start([] {}, error));
    EXPECT_EQ(error, "RegisterDeviceNotification failed");
    EXPECT_FALSE(notifier.IsRunning());
    EXPECT_FALSE(notifier.Notify(VirtualDeviceChange::HidArrival));
    notifier.Stop();  // nothing to stop
}

TEST(VirtualDeviceNotifier, StopEndsTheThreadAndItCanStartAgain) {
    VirtualDeviceNotifier notifier;
    std::atomic<int> calls{0};
    std::string error;
    ASSERT_TRUE(notifier.Start([&] { ++calls; }, error));
    notifier.Stop();
    EXPECT_FALSE(notifier.IsRunning());
    EXPECT_FALSE(notifier.Notify(VirtualDeviceChange::HidArrival));
    notifier.Stop();
    ASSERT_TRUE(notifier.Start([&] { ++calls; }, error));
    notifier.Notify(VirtualDeviceChange::HidArrival);
    ASSERT_TRUE(notifier.WaitUntilProcessed(1, 5s));
    EXPECT_EQ(calls.load(), 1);
}

TEST(VirtualDeviceNotifier, PluggingABoardMakesTheManagerRescanAtOnce) {
    test::LogCapture logs;
    VirtualHidBackend backend;
    HidManager manager(backend);
    VirtualDeviceNotifier notifier;
    backend.SetHotplugListener([&notifier](const std::string&, bool arrived) {
        notifier.Notify(arrived ? VirtualDeviceChange::HidArrival
                                : VirtualDeviceChange::HidRemoval);
    });
    std::string error;
    ASSERT_TRUE(manager.Start(test::DefaultSettings(600000), nullptr));
    ASSERT_TRUE(notifier.Start([&manager] { manager.Scan(); }, error));

    backend.Plug(VirtualPanelBoardSetup("hid#a", test::kBoardVid, test::kBoardPid,
                                       test::MakeInfo(0xE6), std::nullopt));
    EXPECT_TRUE(test::WaitUntil([&] { return manager.HasDevices(); }, 5s));
    backend.Unplug("hid#a");
    EXPECT_TRUE(test::WaitUntil([&] { return !manager.HasDevices(); }, 5s));

    // The Application's stop order: the notifier first, then the manager.
    notifier.Stop();
    manager.Stop();
    EXPECT_EQ(logs.Lines(),
              (std::vector<std::string>{
                  "[INFO] HID device connected: E6614103E7452D2F index=0 role=g1000 fw=1.4.0",
                  "[INFO] HID device disconnected: E6614103E7452D2F"}));
}

}  // namespace
}  // namespace tarnwick
