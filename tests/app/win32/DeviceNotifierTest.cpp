// The Windows device notifier under a real message loop. Device-change broadcasts are sent to
// its window by hand: a headless Wine has no hot-plug of its own.
// windows.h goes first, the headers that build on it after.
// clang-format off
#include "platform/win32/WinApi.h"

#include <dbt.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/DeviceNotifier.h"
#include "hid/HidManager.h"
#include "hid/HidTestSupport.h"
#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

HWND FindNotifyWindow() {
    return FindWindowExA(HWND_MESSAGE, nullptr, "TarnwickHidNotify", nullptr);
}

DEV_BROADCAST_DEVICEINTERFACE_A InterfaceBroadcast() {
    DEV_BROADCAST_DEVICEINTERFACE_A broadcast{};
    broadcast.dbcc_size = sizeof broadcast;
    broadcast.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    return broadcast;
}

LRESULT SendChange(HWND window, WPARAM kind, const void* header) {
    return SendMessageA(window, WM_DEVICECHANGE, kind,
                        reinterpret_cast<LPARAM>(const_cast<void*>(header)));
}

TEST(Win32DeviceNotifier, CallsBackOnItsOwnThreadForHidArrivalAndRemovalOnly) {
    auto notifier = CreateWin32DeviceNotifier();
    std::atomic<int> calls{0};
    std::atomic<DWORD> callbackThread{0};
    std::string error;
    ASSERT_TRUE(notifier->Start(
        [&] {
            callbackThread.store(GetCurrentThreadId());
            ++calls;
        },
        error))
        << error;
    const HWND window = FindNotifyWindow();
    ASSERT_NE(window, nullptr);

    const DEV_BROADCAST_DEVICEINTERFACE_A hid = InterfaceBroadcast();
    DEV_BROADCAST_HDR volume{};
    volume.dbch_size = sizeof volume;
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;

    EXPECT_EQ(SendChange(window, DBT_DEVICEARRIVAL, &hid), 0);
    EXPECT_EQ(SendChange(window, DBT_DEVICEREMOVECOMPLETE, &hid), 0);
    EXPECT_EQ(calls.load(), 2);
    EXPECT_NE(callbackThread.load(), GetCurrentThreadId());

    EXPECT_EQ(SendChange(window, DBT_DEVICEQUERYREMOVE, &hid), 0);
    EXPECT_EQ(SendChange(window, DBT_DEVNODES_CHANGED, nullptr), 0);
    EXPECT_EQ(SendChange(window, DBT_DEVICEARRIVAL, &volume), 0);
    EXPECT_EQ(SendChange(window, DBT_DEVICEARRIVAL, nullptr), 0);
    EXPECT_EQ(calls.load(), 2);
    notifier->Stop();
}

TEST(Win32DeviceNotifier, SecondStartKeepsTheOneWindowAndStopEndsIt) {
    auto notifier = CreateWin32DeviceNotifier();
    std::string error;
    ASSERT_TRUE(notifier->Start([] {}, error)) << error;
    ASSERT_TRUE(notifier->Start([] {}, error));
    const HWND window = FindNotifyWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowExA(HWND_MESSAGE, window, "TarnwickHidNotify", nullptr), nullptr);

    notifier->Stop();
    EXPECT_EQ(FindNotifyWindow(), nullptr);
    EXPECT_FALSE(IsWindow(window));
    notifier->Stop();  // nothing left to stop

    ASSERT_TRUE(notifier->Start([] {}, error)) << error;  // a stopped notifier starts again
    EXPECT_NE(FindNotifyWindow(), nullptr);
}

TEST(Win32DeviceNotifier, HidArrivalMakesTheManagerScanAtOnce) {
    test::LogCapture logs;
    VirtualHidBackend backend;
    HidManager manager(backend);
    std::string error;
    ASSERT_TRUE(manager.Start(test::DefaultSettings(600000), nullptr));
    auto notifier = CreateWin32DeviceNotifier();
    ASSERT_TRUE(notifier->Start([&manager] { manager.Scan(); }, error)) << error;

    backend.Plug(VirtualPanelBoardSetup("hid#a", test::kBoardVid, test::kBoardPid,
                                       test::MakeInfo(0xE6), std::nullopt));
    // The system delivers device changes by sending from its own thread (a message carrying a
    // pointer cannot be posted); this thread stands in for it and does not wait for the scan.
    const HWND window = FindNotifyWindow();
    const DEV_BROADCAST_DEVICEINTERFACE_A arrival = InterfaceBroadcast();
    std::thread system([window, &arrival] { SendChange(window, DBT_DEVICEARRIVAL, &arrival); });
    EXPECT_TRUE(test::WaitUntil([&] { return manager.HasDevices(); }, 5s));
    system.join();

    notifier->Stop();
    manager.Stop();
    EXPECT_EQ(logs.Matching("HID device connected: E6614103E7452D2F").size(), 1u);
}

}  // namespace
}  // namespace tarnwick
