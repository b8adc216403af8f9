#include "app/virtual/VirtualDeviceNotifier.h"

#include <exception>
#include <utility>

#include "log/Logger.h"
#include "platform/Threads.h"

namespace tarnwick {

VirtualDeviceNotifier::~VirtualDeviceNotifier() {
    Stop();
}

Result VirtualDeviceNotifier::Start(ChangeCallback onHidChange) {
    if (running_.load()) {
        return Result::Failure("Device notifier already running");
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!startFailure_.empty()) {
            return Result::Failure(startFailure_);
        }
        callback_ = std::move(onHidChange);
        queue_.clear();
    }
    running_.store(true);
    Result started = StartThread(thread_, "notification thread", [this] { Run(); });
    if (!started) {
        running_.store(false);
    }
    return started;
}

void VirtualDeviceNotifier::Stop() {
    if (!running_.exchange(false)) {
        return;
    }
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void VirtualDeviceNotifier::SetStartFailure(std::string errorText) {
    std::lock_guard<std::mutex> lock(mutex_);
    startFailure_ = std::move(errorText);
}

bool VirtualDeviceNotifier::Notify(VirtualDeviceChange change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_.load()) {
            return false;
        }
        queue_.push_back(change);
    }
    changed_.notify_all();
    return true;
}

std::uint64_t VirtualDeviceNotifier::Processed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return processed_;
}

bool VirtualDeviceNotifier::WaitUntilProcessed(std::uint64_t count,
                                               std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return processed_ >= count; });
}

void VirtualDeviceNotifier::Run() {
    platform::NameCurrentThread("tw-v-notify");
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        // Wake path: Notify and Stop notify changed_.
        changed_.wait(lock, [this] { return !queue_.empty() || !running_.load(); });
        if (!running_.load()) {
            return;
        }
        const VirtualDeviceChange change = queue_.front();
        queue_.pop_front();
        const bool hid =
            change == VirtualDeviceChange::HidArrival || change == VirtualDeviceChange::HidRemoval;
        ChangeCallback callback = hid ? callback_ : ChangeCallback{};
        lock.unlock();
        if (callback) {
            try {
                callback();
            } catch (const std::exception& e) {
                Logger::Instance().Log(LogLevel::Error,
                                       std::string("Device-change rescan failed: ") + e.what());
            }
        }
        lock.lock();
        ++processed_;
        changed_.notify_all();
    }
}

}  // namespace tarnwick
