// The managed map's holds: the four map-panning controls repeat their command while held, on the
// engine's own clock, from the hold worker.
#include <algorithm>
#include <utility>
#include <vector>

#include "log/Logger.h"
#include "mapping/MappingEngine.h"
#include "platform/Threads.h"

namespace tarnwick {

void MappingEngine::StartHold(const std::string& holdKey, const std::string& command) {
    {
        std::lock_guard<std::mutex> lock(holdMutex_);
        HoldEntry& entry = holds_[holdKey];
        entry.command = command;
        // The board repeats its hold report; only the first one sets the cadence.
        if (!entry.hasDue) {
            entry.nextDue = clock_.Now() + repeatPeriod_;
            entry.hasDue = true;
        }
    }
    holdCv_.notify_one();
}

void MappingEngine::CancelHold(const std::string& holdKey) {
    if (holdKey.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(holdMutex_);
        holds_.erase(holdKey);
    }
    holdCv_.notify_one();
}

std::size_t MappingEngine::ActiveHoldCount() const {
    std::lock_guard<std::mutex> lock(holdMutex_);
    return holds_.size();
}

void MappingEngine::HoldWorker() {
    platform::NameCurrentThread("tw-map-holds");
    const std::chrono::milliseconds period = repeatPeriod_;
    std::vector<std::pair<std::string, std::string>> due;
    std::unique_lock<std::mutex> lock(holdMutex_);
    while (running_.load()) {
        // Wake path for every wait below: StartHold, CancelHold and Stop notify holdCv_.
        if (holds_.empty()) {
            // Nothing to repeat: sleep until a hold starts instead of ticking every period.
            clock_.Wait(holdCv_, lock);
            continue;
        }
        const Clock::TimePoint now = clock_.Now();
        Clock::TimePoint earliest = Clock::TimePoint::max();
        for (const auto& [key, entry] : holds_) {
            earliest = std::min(earliest, entry.nextDue);
        }
        if (earliest > now) {
            clock_.WaitUntil(holdCv_, lock, earliest);
            continue;
        }

        due.clear();
        for (auto& [key, entry] : holds_) {
            if (entry.nextDue <= now) {
                due.emplace_back(key, entry.command);
                // Keep the phase of the first hold report, so that wake-up latency does not add
                // up over a long hold; after a stall, start afresh rather than send a burst.
                entry.nextDue += period;
                if (entry.nextDue <= now) {
                    entry.nextDue = now + period;
                }
            }
        }
        lock.unlock();
        for (const auto& [key, command] : due) {
            {
                std::lock_guard<std::mutex> check(holdMutex_);
                if (holds_.find(key) == holds_.end()) {
                    continue;  // released while the earlier repeats were written
                }
            }
            const Result sent = with_.commands->SendRpnNow(command);
            if (!sent) {
                std::string message = "Managed map hold send failed: ";
                message.append(sent.Error());
                Logger::Instance().Log(LogLevel::Warn, message);
            }
        }
        lock.lock();
    }
}

}  // namespace tarnwick
