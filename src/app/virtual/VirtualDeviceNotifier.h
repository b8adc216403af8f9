// A device notifier driven by the program itself: whoever plugs or unplugs a virtual device (the
// virtual cockpit, a test) tells it so, and it delivers the change on its own notification
// thread, as the system's notifications arrive on the Windows notifier's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "app/DeviceNotifier.h"

namespace tarnwick {

enum class VirtualDeviceChange {
    HidArrival,
    HidRemoval,
    OtherArrival,  // another device class (a volume, a serial port): filtered out
    OtherRemoval,
};

class VirtualDeviceNotifier final : public DeviceNotifier {
public:
    VirtualDeviceNotifier() = default;
    ~VirtualDeviceNotifier() override;

    VirtualDeviceNotifier(const VirtualDeviceNotifier&) = delete;
    VirtualDeviceNotifier& operator=(const VirtualDeviceNotifier&) = delete;

    Result Start(ChangeCallback onHidChange) override;
    void Stop() override;

    // Makes the next Start fail with `errorText` (an empty text lets it work again), to try the
    // Application's path without notifications.
    void SetStartFailure(std::string errorText);

    // Any thread. Queues a change for the notification thread; false when not running.
    bool Notify(VirtualDeviceChange change);

    bool IsRunning() const { return running_.load(); }
    // Changes the thread has finished with, HID or not.
    std::uint64_t Processed() const;
    bool WaitUntilProcessed(std::uint64_t count, std::chrono::milliseconds timeout) const;

private:
    void Run();

    std::atomic<bool> running_{false};
    std::thread thread_;

    mutable std::mutex mutex_;
    // Wakes the notification thread (Notify, Stop) and the waiters of WaitUntilProcessed.
    mutable std::condition_variable changed_;
    std::deque<VirtualDeviceChange> queue_;
    ChangeCallback callback_;
    std::string startFailure_;
    std::uint64_t processed_ = 0;
};

}  // namespace tarnwick
