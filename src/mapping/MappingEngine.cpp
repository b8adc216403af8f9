#include "mapping/MappingEngine.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "config/OutputProfile.h"
#include "config/TextNormalize.h"
#include "log/Logger.h"
#include "mapping/EventRules.h"
#include "platform/Threads.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

using HidProtocol::EventType;

constexpr std::chrono::milliseconds kOutputHoldOff{1500};
// An event type the boards send when they start an LED show of their own.
constexpr std::uint8_t kLedShowEventType = 4;
constexpr std::uint8_t kFastSpeed = 4;

class SteadyMappingClock final : public MappingClock {
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }
    void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) const override {
        cv.wait(lock);
    }
    void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   TimePoint deadline) const override {
        cv.wait_until(lock, deadline);
    }
};

}  // namespace

const MappingClock& MappingClock::Steady() {
    static const SteadyMappingClock clock;
    return clock;
}

MappingEngine::MappingEngine(const MappingClock& clock) : clock_(clock) {}

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
    const AppConfig* config = with_.config;
    const ButtonConfig* buttons = with_.buttonConfig;
    RpnCommandPort* mobiFlight = with_.commands;
    SimEventPort* simEvents = with_.simEvents;
    if (config == nullptr || buttons == nullptr || with_.hidEventMap == nullptr ||
        simEvents == nullptr || mobiFlight == nullptr) {
        return;
    }

    EventLine line;
    line.deviceName = deviceName;
    line.index = index;
    line.event = event;
    const OutputDeviceConfig* entry = FindOutputDevice(*config, deviceName, index);
    if (entry != nullptr) {
        line.configuredRole = entry->role;
    }
    line.role = PanelRole(event.mode, entry);
    line.typeName = with_.hidEventMap->FindEventType(event.type);
    line.controlName = with_.hidEventMap->FindControl(event.controlId);
    const std::string& controlName = line.controlName;
    const std::string& role = line.role;

    const bool inButtonConfig = !controlName.empty() && buttons->HasControl(controlName);
    const EventType action = HidProtocol::ClassifyEvent(event);
    line.action = action;
    const std::string_view actionKey = ActionKey(action);
    const bool hasAction = action != EventType::None;
    const std::string normalizedControl = NormalizeKey(controlName);

    if (event.type == kLedShowEventType ||
        (inButtonConfig && action == EventType::Hold && normalizedControl == "NAV_SWAP")) {
        HoldOffOutputs(deviceName, index);
    }

    const bool mobiFlightEnabled = config->mobiflight.enabled;
    if (inButtonConfig && hasAction && IsManagedMapControl(normalizedControl) &&
        mobiFlightEnabled &&
        (action == EventType::ButtonPress || action == EventType::ButtonRelease ||
         action == EventType::Hold)) {
        HandleMapEvent(MapEvent{MakeHoldKey(deviceName, index, event.controlId, role), controlName,
                                role, action});
        Logger& log = Logger::Instance();
        if (log.IsDebugEnabled()) {
            log.Debug(FormatMapEventLine(line));
        }
        return;
    }

    if (inButtonConfig && action == EventType::ButtonRelease) {
        CancelQueuedCommands(controlName, role);
    }

    if (mobiFlightEnabled && hasAction && !controlName.empty()) {
        const bool encoder = action == EventType::EncoderCw || action == EventType::EncoderCcw;
        std::string rpn;
        if (encoder && event.speed >= kFastSpeed) {
            std::string fastKey(actionKey);
            fastKey.append("_FAST");
            rpn = buttons->Lookup(controlName, fastKey, role);
            line.fast = !rpn.empty();
        }
        if (rpn.empty()) {
            rpn = buttons->Lookup(controlName, actionKey, role);
        }
        if (!rpn.empty()) {
            if (!mobiFlight->IsRegistered()) {
                std::string message = "MobiFlight not ready; using SimConnect fallback for ";
                message.append(controlName);
                Logger::Instance().Debug(message);
            } else if (CommandFits(controlName, actionKey, rpn, line.fast ? "_FAST" : "")) {
                SendMode mode = SendMode::Plain;
                std::int32_t count = 1;
                if (action == EventType::Hold) {
                    mode = SendMode::Dedupe;
                } else if (encoder) {
                    mode = SendMode::Counted;
                    line.mfAmount = line.fast ? 1 : EncoderAmount(event);
                    count = static_cast<std::int32_t>(line.mfAmount);
                }
                std::string error;
                if (mobiFlight->QueueRpn(rpn, mode, count, error)) {
                    line.rpnQueued = true;
                } else {
                    std::string message = "MobiFlight RPN send failed for ";
                    message.append(controlName).append(": ").append(error);
                    Logger::Instance().Log(LogLevel::Warn, message);
                }
            }
        }
    }

    if (!line.rpnQueued && action == EventType::ButtonPress && !inButtonConfig) {
        const char* apEvent = AutopilotEvent(event.controlId);
        if (apEvent != nullptr && simEvents->IsConnected()) {
            std::string error;
            if (simEvents->TransmitEvent(apEvent, 0, error)) {
                line.simEventSent = true;
            } else {
                std::string message = "SimConnect send failed for ";
                message.append(apEvent).append(": ").append(error);
                Logger::Instance().Log(LogLevel::Warn, message);
            }
        }
    }

    // The line is built only when it will be written: every event passes here.
    Logger& log = Logger::Instance();
    if (log.IsDebugEnabled()) {
        log.Debug(FormatEventLine(line));
    }
}

bool MappingEngine::CommandFits(std::string_view controlName, std::string_view action,
                                const std::string& rpn, std::string_view actionSuffix) {
    if (rpn.size() <= MobiFlightProtocol::kMaxRpnText) {
        return true;
    }
    std::string message = "Command for ";
    message.append(controlName).append(" ").append(action).append(actionSuffix);
    message.append(" is too long (");
    message.append(std::to_string(rpn.size())).append(" bytes, at most ");
    message.append(std::to_string(MobiFlightProtocol::kMaxRpnText)).append("); not sent");
    Logger::Instance().Log(LogLevel::Error, message);
    return false;
}

void MappingEngine::HoldOffOutputs(const std::string& deviceName, std::int32_t index) {
    const MappingClock::TimePoint until = clock_.Now() + kOutputHoldOff;
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
    const MappingClock::TimePoint now = clock_.Now();
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
