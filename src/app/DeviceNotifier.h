// The seam for device-change notifications: a thread that learns from the system when a HID
// interface arrives or is removed, so that the HID manager can rescan at once instead of waiting
// for its periodic scan. Optional: when it cannot start, the periodic scan alone finds devices.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Result.h"

namespace tarnwick {

class DeviceNotifier {
public:
    // Runs on the notification thread, once per arrival or removal of a HID interface, and must
    // return quickly (Windows sends the change and waits for it); the Application passes a
    // call of HidManager::RequestScan, which only wakes the HID manager's scanner.
    using ChangeCallback = std::function<void()>;

    virtual ~DeviceNotifier() = default;

    // Starts the notification thread and returns once it is listening. When already running it
    // changes nothing and fails with "Device notifier already running". On failure no thread is
    // left behind and Start may be called again. Called by the Application's start-up thread.
    virtual Result Start(ChangeCallback onHidChange) = 0;

    // Ends the notification thread (a change being handled finishes first) and joins it.
    // Nothing when not running. Called by the Application's main thread, and by the destructor
    // of each backend.
    virtual void Stop() = 0;
};

// The Windows notifier: a message-only window registered for HID interface notifications.
// Defined only in the Windows build; only main and the Windows tests call it.
std::unique_ptr<DeviceNotifier> CreateWin32DeviceNotifier();

}  // namespace tarnwick
