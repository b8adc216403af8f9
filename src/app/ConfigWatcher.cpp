#include "app/ConfigWatcher.h"

#include <condition_variable>
#include <filesystem>
#include <system_error>
#include <utility>

#include "config/PathText.h"
#include "platform/Threads.h"

namespace tarnwick {
namespace {

// An edit is picked up within two seconds even where no notification comes.
constexpr std::chrono::seconds kLookPeriod{1};

class ClockChangeSignal final : public FileChangeSignal {
public:
    explicit ClockChangeSignal(const Clock& clock) : clock_(clock) {}

    Result Open(const std::vector<std::string>&) override { return Result::Success(); }
    void WaitUntil(Clock::TimePoint deadline) override {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!woken_ && clock_.Now() < deadline) {
            clock_.WaitUntil(cv_, lock, deadline);
        }
        woken_ = false;
    }
    void Wake() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        cv_.notify_all();
    }
    void Close() override {}

private:
    const Clock& clock_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
};

}  // namespace

std::unique_ptr<FileChangeSignal> CreateClockChangeSignal(const Clock& clock) {
    return std::make_unique<ClockChangeSignal>(clock);
}

ConfigWatcher::ConfigWatcher(const Clock& clock, std::unique_ptr<FileChangeSignal> signal)
    : clock_(clock), signal_(std::move(signal)) {}

ConfigWatcher::~ConfigWatcher() {
    Stop();
}

ConfigWatcher::Stamp ConfigWatcher::StampOf(const std::string& file) {
    // A file being replaced may be missing for a moment; that is a change like any other.
    std::error_code error;
    const std::filesystem::path path = ToFsPath(file);
    Stamp stamp;
    stamp.size = std::filesystem::file_size(path, error);
    if (error) {
        return Stamp{};
    }
    const auto modified = std::filesystem::last_write_time(path, error);
    if (error) {
        return Stamp{};
    }
    stamp.present = true;
    stamp.modified = modified.time_since_epoch().count();
    return stamp;
}

Result ConfigWatcher::Start(std::vector<std::string> files, ChangeCallback onChange,
                            std::vector<Stamp> seen) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_.load()) {
        return Result::Failure("Config watcher already running");
    }
    files_ = std::move(files);
    onChange_ = std::move(onChange);
    stamps_ = std::move(seen);
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < files_.size(); ++i) {
        if (stamps_.size() <= i) {
            stamps_.push_back(StampOf(files_[i]));
        }
        folders.push_back(FromFsPath(ToFsPath(files_[i]).parent_path()));
    }
    // Without notifications the once-a-second look still finds every edit.
    (void)signal_->Open(folders);
    running_.store(true);
    Result started = StartThread(thread_, "config watcher", [this] { Worker(); });
    if (!started) {
        running_.store(false);
        signal_->Close();
    }
    return started;
}

void ConfigWatcher::Stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (!running_.exchange(false)) {
        return;
    }
    signal_->Wake();
    thread_.join();
    signal_->Close();
}

void ConfigWatcher::Worker() {
    platform::NameCurrentThread("tw-cfg-watch");
    while (running_.load()) {
        // Wake path: a change notification, the period, or Stop's Wake.
        signal_->WaitUntil(clock_.Now() + kLookPeriod);
        for (std::size_t i = 0; i < files_.size() && running_.load(); ++i) {
            const Stamp stamp = StampOf(files_[i]);
            if (stamp != stamps_[i]) {
                stamps_[i] = stamp;
                onChange_(i);
            }
        }
    }
}

}  // namespace tarnwick
