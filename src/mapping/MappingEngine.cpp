#include "mapping/MappingEngine.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

#include "log/Logger.h"
#include "mapping/EventResolution.h"
#include "mapping/EventRules.h"
#include "platform/Threads.h"

namespace tarnwick {
namespace {

constexpr std::chrono::milliseconds kOutputHoldOff{1500};

}  // namespace

MappingEngine::MappingEngine(const Clock& clock) : clock_(clock) {}

MappingEngine::~MappingEngine() {
    Stop();
}

bool MappingEngine::Start(const MappingCollaborators& collaborators, std::string& errorText) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_.load()) {
        errorText = "Mapping engine already running";
        return false;
    }
    with_ = collaborators;
    return StartWorkers(errorText);
}

bool MappingEngine::StartWorkers(std::string& errorText) {
    repeatPeriod_ = HoldRepeatPeriod(with_.config);
    running_.store(true);
    try {
        eventWorker_ = std::thread(&MappingEngine::EventWorker, this);
        holdWorker_ = std::thread(&MappingEngine::HoldWorker, this);
        outputWorker_ = std::thread(&MappingEngine::OutputWorker, this);
    } catch (const std::exception& e) {
        running_.store(false);
        WakeAll();
        for (std::thread* worker : {&eventWorker_, &holdWorker_, &outputWorker_}) {
            if (worker->joinable()) {
                worker->join();
            }
        }
        errorText = "Failed to start mapping workers: ";
        errorText.append(e.what());
        return false;
    }
    return true;
}

void MappingEngine::Stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (!running_.exchange(false)) {
        return;
    }
    WakeAll();
    eventWorker_.join();
    holdWorker_.join();
    outputWorker_.join();
    std::lock_guard<std::mutex> lock(holdMutex_);
    holds_.clear();
}

void MappingEngine::WakeAll() {
    // Taking each mutex once after running was cleared makes sure that no worker is between its
    // test of running and its wait, where the notification would be lost. Never two at once.
    { std::lock_guard<std::mutex> lock(eventMutex_); }
    eventCv_.notify_all();
    { std::lock_guard<std::mutex> lock(holdMutex_); }
    holdCv_.notify_all();
    { std::lock_guard<std::mutex> lock(outputMutex_); }
    outputCv_.notify_all();
}

void MappingEngine::OnHidEvent(const HidProtocol::HidEvent& event, const std::string& deviceName,
                               std::int32_t index) {
    if (!running_.load()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        if (IsButtonRelease(event)) {
            // Hold reports still waiting for the worker are stale once the button is up; handling
            // them would restart a map hold that the release is about to end.
            std::erase_if(eventQueue_, [&](const QueuedEvent& queued) {
                return IsHoldOfReleasedButton(queued.event, queued.deviceName, queued.index, event,
                                              deviceName, index);
            });
        }
        eventQueue_.push_back(QueuedEvent{event, deviceName, index});
    }
    eventCv_.notify_one();
}

void MappingEngine::EventWorker() {
    platform::NameCurrentThread("tw-map-events");
    platform::RaiseCurrentThreadPriority();  // on a button press's way to the simulator
    std::unique_lock<std::mutex> lock(eventMutex_);
    for (;;) {
        // Wake path: OnHidEvent and Stop notify eventCv_.
        while (running_.load() && eventQueue_.empty()) {
            clock_.Wait(eventCv_, lock);
        }
        if (eventQueue_.empty()) {
            return;  // running is false
        }
        QueuedEvent item = std::move(eventQueue_.front());
        eventQueue_.pop_front();
        lock.unlock();
        HandleEvent(item.event, item.deviceName, item.index);
        if (!running_.load()) {
            return;
        }
        lock.lock();
    }
}

void MappingEngine::HandleEvent(const HidProtocol::HidEvent& event, const std::string& deviceName,
                                std::int32_t index) {
    RpnCommandPort* mobiFlight = with_.commands;
    SimEventPort* simEvents = with_.simEvents;
    if (with_.config == nullptr || with_.buttonConfig == nullptr || with_.hidEventMap == nullptr ||
        simEvents == nullptr || mobiFlight == nullptr) {
        return;
    }
    const EventDecision decision =
        ResolveEvent(event, deviceName, index, *with_.config, *with_.buttonConfig,
                     *with_.hidEventMap, mobiFlight->IsRegistered(), simEvents->IsConnected());

    if (decision.holdOffOutputs) {
        HoldOffOutputs(deviceName, index);
    }
    if (decision.outcome == EventOutcome::MapPress ||
        decision.outcome == EventOutcome::MapRelease) {
        CancelHold(decision.holdKey);
    }
    if (!decision.withdrawRepeats.empty()) {
        mobiFlight->CancelHoldRepeats(decision.withdrawRepeats);
    }
    Logger& log = Logger::Instance();
    if (!decision.notReadyLine.empty()) {
        log.Debug(decision.notReadyLine);
    }
    if (!decision.refusalLine.empty()) {
        log.Log(LogLevel::Error, decision.refusalLine);
    }

    bool sent = false;
    std::string error;
    std::string_view failure;  // the warning's head when the send fails, and its subject
    std::string_view subject = decision.controlName;
    switch (decision.outcome) {
        case EventOutcome::QueueCommand:
            sent = mobiFlight->QueueRpn(decision.command, decision.mode, decision.count, error);
            failure = "MobiFlight RPN send failed for ";
            break;
        case EventOutcome::MapPress:
            if (!decision.command.empty()) {
                sent = mobiFlight->SendRpnNow(decision.command, error);
                failure = "Managed map press send failed for ";
            }
            break;
        case EventOutcome::MapHold:
            if (!decision.command.empty()) {
                StartHold(decision.holdKey, decision.command);
            }
            break;
        case EventOutcome::AutopilotEvent:
            sent = simEvents->TransmitEvent(decision.simEvent, 0, error);
            failure = "SimConnect send failed for ";
            subject = decision.simEvent;
            break;
        case EventOutcome::MapRelease:
        case EventOutcome::None:
            break;
    }
    if (!sent && !failure.empty()) {
        std::string message(failure);
        message.append(subject).append(": ").append(error);
        log.Log(LogLevel::Warn, message);
    }

    // The line is built only when it will be written: every event passes here.
    if (log.IsDebugEnabled()) {
        log.Debug(decision.DebugLine(sent));
    }
}

void MappingEngine::HoldOffOutputs(const std::string& deviceName, std::int32_t index) {
    const Clock::TimePoint until = clock_.Now() + kOutputHoldOff;
    {
        std::lock_guard<std::mutex> lock(suppressMutex_);
        auto [it, inserted] = suppressUntil_.try_emplace(BoardKey(deviceName, index), until);
        if (!inserted) {
            it->second = std::max(it->second, until);
        }
    }
    if (with_.leds != nullptr) {
        with_.leds->InvalidateLedState(deviceName, index);
    }
}

bool MappingEngine::IsOutputSuppressed(const std::string& deviceName, std::int32_t index) {
    const std::string key = BoardKey(deviceName, index);
    const Clock::TimePoint now = clock_.Now();
    std::lock_guard<std::mutex> lock(suppressMutex_);
    const auto it = suppressUntil_.find(key);
    if (it == suppressUntil_.end()) {
        return false;
    }
    if (now >= it->second) {
        suppressUntil_.erase(it);
        return false;
    }
    return true;
}

}  // namespace tarnwick
