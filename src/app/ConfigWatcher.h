// Watches the configuration files while the bridge runs: one thread ("tw-cfg-watch") looks at
// each file's size and modification time once a second, and at once when the system reports a
// change in one of their folders, and names each file whose stamp moved.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Result.h"

namespace tarnwick {

// The seam between the watch thread and the system's change notifications: how the thread waits
// between two looks at the files.
class FileChangeSignal {
public:
    virtual ~FileChangeSignal() = default;
    // Starts listening for changes in `folders`. A failure leaves the once-a-second look alone.
    virtual Result Open(const std::vector<std::string>& folders) = 0;
    // Returns when a change in the folders is reported, when `deadline` has passed, or after
    // Wake (also one that came before the wait).
    virtual void WaitUntil(Clock::TimePoint deadline) = 0;
    // Any thread.
    virtual void Wake() = 0;
    virtual void Close() = 0;
};

// No notifications: waits on the clock alone, so that a hand-moved clock drives the look.
std::unique_ptr<FileChangeSignal> CreateClockChangeSignal(const Clock& clock);
// The folders' change notifications (FindFirstChangeNotificationW). Windows build only.
std::unique_ptr<FileChangeSignal> CreateWin32ChangeSignal(const Clock& clock);

class ConfigWatcher {
public:
    // Called on the watch thread with the position of the changed file in Start's list.
    using ChangeCallback = std::function<void(std::size_t file)>;

    // `clock` must outlive the watcher.
    ConfigWatcher(const Clock& clock, std::unique_ptr<FileChangeSignal> signal);
    ~ConfigWatcher();  // Stop
    ConfigWatcher(const ConfigWatcher&) = delete;
    ConfigWatcher& operator=(const ConfigWatcher&) = delete;

    // What tells an edit: presence, size and modification time.
    struct Stamp {
        bool present = false;
        std::uintmax_t size = 0;
        std::int64_t modified = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp StampOf(const std::string& file);

    // Starts the thread, watching for changes from `seen`, the files' stamps taken before they
    // were read (an edit saved since then is then a change), or from their stamps now when
    // `seen` is empty. Fails with "Config watcher already running" while running, and with
    // "Failed to start config watcher: REASON".
    Result Start(std::vector<std::string> files, ChangeCallback onChange,
                 std::vector<Stamp> seen = {});
    // Interrupts the wait and joins the thread. Nothing when stopped.
    void Stop();

private:
    void Worker();

    const Clock& clock_;
    std::unique_ptr<FileChangeSignal> signal_;
    std::mutex lifecycleMutex_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::vector<std::string> files_;
    std::vector<Stamp> stamps_;
    ChangeCallback onChange_;
};

}  // namespace tarnwick
