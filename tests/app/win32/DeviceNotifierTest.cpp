// The Windows device notifier under a real message loop. Device-change broadcasts are sent to
// its window by hand: a headless Wine has no hot-plug of its own.
// windows.h goes first, the headers that build on it after.
// clang-format off
#include "platform/win32/WinApi.h"

#include <dbt.h>
// clang-format on

#include <atomic>

#include <gtest/gtest.h>

#include "app/DeviceNotifier.h"

namespace tarnwick {
namespace {

HWND FindNotifyWindow(HWND after = nullptr) {
    return FindWindowExA(HWND_MESSAGE, after, "TarnwickHidNotify", nullptr);
}

TEST(Win32DeviceNotifier, OneWindowCallsBackOnItsOwnThreadForHidArrivalAndRemovalOnly) {
    auto notifier = CreateWin32DeviceNotifier();
    std::atomic<int> calls{0};
    for (int round = 1; round <= 2; ++round) {  // a stopped notifier starts again
        const Result started = notifier->Start(
            [&, test = GetCurrentThreadId()] { calls += GetCurrentThreadId() == test ? 100 : 1; });
        ASSERT_TRUE(started) << started.Error();
        EXPECT_EQ(notifier->Start([] {}).Error(), "Device notifier already running");
        const HWND window = FindNotifyWindow();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(FindNotifyWindow(window), nullptr);

        DEV_BROADCAST_HDR hid{sizeof hid, DBT_DEVTYP_DEVICEINTERFACE, 0};
        DEV_BROADCAST_HDR volume{sizeof volume, DBT_DEVTYP_VOLUME, 0};
        const std::pair<WPARAM, void*> changes[] = {
            {DBT_DEVICEARRIVAL, &hid},     {DBT_DEVICEREMOVECOMPLETE, &hid},
            {DBT_DEVICEQUERYREMOVE, &hid}, {DBT_DEVNODES_CHANGED, nullptr},
            {DBT_DEVICEARRIVAL, &volume},  {DBT_DEVICEARRIVAL, nullptr},
        };
        for (const auto& [kind, header] : changes) {
            EXPECT_EQ(SendMessageA(window, WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(header)),
                      0);
        }
        EXPECT_EQ(calls.load(), 2 * round);  // none on this thread

        notifier->Stop();
        EXPECT_EQ(FindNotifyWindow(), nullptr);
        EXPECT_FALSE(IsWindow(window));
    }
}

}  // namespace
}  // namespace tarnwick
