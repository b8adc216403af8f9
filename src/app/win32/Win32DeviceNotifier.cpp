// Device-change notifications on Windows: a thread owns a message-only window registered for HID
// interface notifications and calls the change callback for every HID arrival or removal. The
// thread ends on WM_QUIT, posted to it by thread id.
// windows.h goes first, the headers that build on it after.
// clang-format off
#include "platform/win32/WinApi.h"

#include <dbt.h>

extern "C" {
#include <hidsdi.h>
}
// clang-format on

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "app/DeviceNotifier.h"
#include "log/Logger.h"
#include "platform/Result.h"
#include "platform/Threads.h"

namespace tarnwick {
namespace {

constexpr const char* kClassName = "TarnwickHidNotify";
constexpr const char* kWindowTitle = "Tarnwick HID Notify";

class Win32DeviceNotifier final : public DeviceNotifier {
public:
    Win32DeviceNotifier() = default;
    ~Win32DeviceNotifier() override { Stop(); }

    Win32DeviceNotifier(const Win32DeviceNotifier&) = delete;
    Win32DeviceNotifier& operator=(const Win32DeviceNotifier&) = delete;

    Result Start(ChangeCallback onHidChange) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (window_ != nullptr) {
                return Result::Failure("Device notifier already running");
            }
            callback_ = std::move(onHidChange);
        }
        if (thread_.joinable()) {
            thread_.join();  // a loop that ended on its own (GetMessageA error) left it behind
        }
        Handshake handshake;
        if (Result started = StartThread(thread_, "notification thread",
                                         [this, &handshake] { Run(handshake); });
            !started) {
            return started;
        }
        bool ok = false;
        std::string error;
        {
            std::unique_lock<std::mutex> lock(handshake.mutex);
            handshake.ready.wait(lock, [&handshake] { return handshake.done; });
            ok = handshake.ok;
            error = handshake.error;
        }
        if (ok) {
            return Result::Success();
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        threadId_.store(0);
        return Result::Failure(error.empty() ? "Failed to initialize notification thread" : error);
    }

    void Stop() override {
        if (!thread_.joinable()) {
            return;
        }
        // The queue exists: the thread created its window before Start returned. A change being
        // handled finishes first; WM_QUIT then ends the message loop.
        PostThreadMessageA(threadId_.load(), WM_QUIT, 0, 0);
        thread_.join();
        threadId_.store(0);
    }

private:
    struct Handshake {
        std::mutex mutex;
        std::condition_variable ready;
        bool done = false;
        bool ok = false;
        std::string error;
    };

    void Run(Handshake& handshake) {
        platform::NameCurrentThread("tw-dev-notify");
        // Stored before the window exists, so that Stop can always reach this thread.
        threadId_.store(GetCurrentThreadId());
        const HINSTANCE instance = GetModuleHandleA(nullptr);

        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Win32DeviceNotifier::WindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kClassName;
        // A class left registered by an earlier start is just as good.
        RegisterClassExA(&windowClass);

        std::string error;
        HDEVNOTIFY registration = nullptr;
        HWND window = CreateWindowExA(0, kClassName, kWindowTitle, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                      nullptr, instance, this);
        if (window == nullptr) {
            error = "Failed to create notification window";
        } else {
            DEV_BROADCAST_DEVICEINTERFACE_A filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_reserved = 0;
            HidD_GetHidGuid(&filter.dbcc_classguid);
            registration =
                RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
            if (registration == nullptr) {
                error = "RegisterDeviceNotification failed";
                DestroyWindow(window);
                window = nullptr;
            } else {
                std::lock_guard<std::mutex> lock(mutex_);
                window_ = window;
                registration_ = registration;
            }
        }
        const bool ok = window != nullptr;
        {
            // Signalled under the lock: Start destroys the handshake as soon as it sees `done`.
            std::lock_guard<std::mutex> lock(handshake.mutex);
            handshake.done = true;
            handshake.ok = ok;
            handshake.error = error;
            handshake.ready.notify_all();
        }
        if (!ok) {
            return;
        }

        // Wake path: Stop posts WM_QUIT (GetMessageA returns 0); an error (-1) ends it too.
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }

        {
            std::lock_guard<std::mutex> lock(mutex_);
            registration = std::exchange(registration_, nullptr);
            window = std::exchange(window_, nullptr);
        }
        if (registration != nullptr) {
            UnregisterDeviceNotification(registration);
        }
        if (window != nullptr) {
            DestroyWindow(window);
        }
    }

    void OnHidChange() {
        ChangeCallback callback;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            callback = callback_;
        }
        if (!callback) {
            return;
        }
        // An exception must not unwind through the system's message dispatch.
        try {
            callback();
        } catch (const std::exception& e) {
            Logger::Instance().Log(LogLevel::Error,
                                   std::string("Device-change rescan failed: ") + e.what());
        }
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_NCCREATE: {
                const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
                if (create != nullptr && create->lpCreateParams != nullptr) {
                    SetWindowLongPtrA(window, GWLP_USERDATA,
                                      reinterpret_cast<LONG_PTR>(create->lpCreateParams));
                }
                return DefWindowProcA(window, message, wParam, lParam);
            }
            case WM_DEVICECHANGE: {
                const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
                if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
                    header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
                    auto* self = reinterpret_cast<Win32DeviceNotifier*>(
                        GetWindowLongPtrA(window, GWLP_USERDATA));
                    if (self != nullptr) {
                        // Only wakes the scanner: the system waits for this to return.
                        self->OnHidChange();
                    }
                }
                return 0;
            }
            default:
                return DefWindowProcA(window, message, wParam, lParam);
        }
    }

    std::thread thread_;
    std::atomic<DWORD> threadId_{0};

    // Guards the window, the registration and the callback slot.
    std::mutex mutex_;
    HWND window_ = nullptr;
    HDEVNOTIFY registration_ = nullptr;
    ChangeCallback callback_;
};

}  // namespace

std::unique_ptr<DeviceNotifier> CreateWin32DeviceNotifier() {
    return std::make_unique<Win32DeviceNotifier>();
}

}  // namespace tarnwick
