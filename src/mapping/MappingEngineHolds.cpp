// The managed map: press-and-hold handling of the four map-panning controls, and the hold worker
// that repeats a held control's command on the engine's own clock.
#include <algorithm>
#include <utility>
#include <vector>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "log/Logger.h"
#include "mapping/MappingEngine.h"

namespace tarnwick {

using HidProtocol::EventType;

bool MappingEngine::MobiFlightEnabled() const {
    return with_.config != nullptr && with_.config->mobiflight.enabled &&
           with_.buttonConfig != nullptr && with_.commands != nullptr;
}

void MappingEngine::HandleMapEvent(const MapEvent& mapEvent) {
    const ButtonConfig& buttons = *with_.buttonConfig;
    const std::string pressCommand = buttons.Lookup(mapEvent.controlName, "PRESS", mapEvent.role);
    std::string holdCommand = buttons.Lookup(mapEvent.controlName, "HOLD", mapEvent.role);
    if (holdCommand.empty()) {
        holdCommand = pressCommand;
    }

    switch (mapEvent.action) {
        case EventType::ButtonPress: {
            // A press ends a hold whose release was lost before the new press is sent.
            CancelHold(mapEvent.holdKey);
            if (!pressCommand.empty() && CommandFits(mapEvent.controlName, "PRESS", pressCommand)) {
                std::string error;
                if (!with_.commands->SendRpnNow(pressCommand, error)) {
                    std::string message = "Managed map press send failed for ";
                    message.append(mapEvent.controlName).append(": ").append(error);
                    Logger::Instance().Log(LogLevel::Warn, message);
                }
            }
            break;
        }
        case EventType::Hold:
            if (!holdCommand.empty() && CommandFits(mapEvent.controlName, "HOLD", holdCommand)) {
                StartHold(mapEvent.holdKey, mapEvent.controlName, mapEvent.role, holdCommand);
            }
            break;
        case EventType::ButtonRelease:
            CancelHold(mapEvent.holdKey);
            CancelQueuedCommands(mapEvent.controlName, mapEvent.role);
            break;
        default:
            break;
    }
}

void MappingEngine::StartHold(const std::string& holdKey, const std::string& controlName,
                              const std::string& role, const std::string& command) {
    {
        std::lock_guard<std::mutex> lock(holdMutex_);
        HoldEntry& entry = holds_[holdKey];
        entry.controlName = controlName;
        entry.role = role;
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

void MappingEngine::CancelQueuedCommands(const std::string& controlName, const std::string& role) {
    if (!MobiFlightEnabled()) {
        return;
    }
    // Hold repeats still waiting are stale once the button is up, whatever their text. Only the
    // repeats go: a press still waiting (behind a rate limit or a burst of encoder clicks) is a
    // real tap, even when its text is the same as the hold's.
    const std::string hold = with_.buttonConfig->Lookup(controlName, "HOLD", role);
    if (!hold.empty()) {
        with_.commands->CancelHoldRepeats(hold);
    }
}

std::size_t MappingEngine::ActiveHoldCount() const {
    std::lock_guard<std::mutex> lock(holdMutex_);
    return holds_.size();
}

void MappingEngine::HoldWorker() {
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
        const MappingClock::TimePoint now = clock_.Now();
        MappingClock::TimePoint earliest = MappingClock::TimePoint::max();
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
            std::string error;
            if (!with_.commands->SendRpnNow(command, error)) {
                std::string message = "Managed map hold send failed: ";
                message.append(error);
                Logger::Instance().Log(LogLevel::Warn, message);
            }
        }
        lock.lock();
    }
}

}  // namespace tarnwick
