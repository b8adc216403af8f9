#include "mapping/MappingEngine.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "config/ButtonConfig.h"
#include "log/Logger.h"
#include "mapping/EventResolution.h"
#include "mapping/EventRules.h"
#include "platform/Threads.h"

namespace tarnwick {
namespace {

constexpr std::chrono::milliseconds kOutputHoldOff{1500};

// The records the caller of Start owns, held without owning them.
template <typename T>
std::shared_ptr<const T> Borrowed(const T* record) {
    return std::shared_ptr<const T>(std::shared_ptr<const T>(), record);
}

}  // namespace

MappingEngine::MappingEngine(const Clock& clock) : clock_(clock) {}

MappingEngine::~MappingEngine() {
    Stop();
}

Result MappingEngine::Start(const MappingCollaborators& collaborators) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_.load()) {
        return Result::Failure("Mapping engine already running");
    }
    with_ = collaborators;
    {
        std::lock_guard<std::mutex> lock(recordsMutex_);
        records_ = MappingRecords{Borrowed(with_.config), Borrowed(with_.buttonConfig),
                                  Borrowed(with_.hidEventMap)};
    }
    SelectButtons();
    return StartWorkers();
}

std::string MappingEngine::SelectButtons() {
    std::lock_guard<std::mutex> lock(buttonsMutex_);
    return SelectButtonsLocked();
}

// Under buttonsMutex_, so that a new title and a new file cannot leave the set of an older one
// in force; the records lock is taken inside it, never the other way round.
std::string MappingEngine::SelectButtonsLocked() {
    const std::shared_ptr<const ButtonConfig> base = Records().buttons;
    if (base == nullptr) {
        buttons_.reset();
        return "base";
    }
    AircraftButtons chosen = base->ForAircraft(aircraftTitle_);
    buttons_ = std::make_shared<const ButtonConfig>(std::move(chosen.buttons));
    return chosen.setName;
}

void MappingEngine::OnAircraftTitle(const std::string& title) {
    {
        std::lock_guard<std::mutex> lock(buttonsMutex_);
        if (title == aircraftTitle_) {
            return;
        }
        aircraftTitle_ = title;
    }
    const std::string setName = SelectButtons();
    Logger::Instance().Log(LogLevel::Info, "Aircraft: " + title + "; button set: " + setName);
    // A held control of the old set would otherwise keep repeating a command that the new
    // aircraft may not know; its release resolves in the new set.
    {
        std::lock_guard<std::mutex> lock(holdMutex_);
        holds_.clear();
    }
    holdCv_.notify_one();
}

Result MappingEngine::StartWorkers() {
    repeatPeriod_ = HoldRepeatPeriod(with_.config);
    running_.store(true);
    Result started = StartThread(eventWorker_, "mapping workers", [this] { EventWorker(); });
    if (started) {
        started = StartThread(holdWorker_, "mapping workers", [this] { HoldWorker(); });
    }
    if (started) {
        started = StartThread(outputWorker_, "mapping workers", [this] { OutputWorker(); });
    }
    if (!started) {
        running_.store(false);
        WakeAll();
        for (std::thread* worker : {&eventWorker_, &holdWorker_, &outputWorker_}) {
            if (worker->joinable()) {
                worker->join();
            }
        }
    }
    return started;
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

void MappingEngine::ReplaceRecords(MappingRecords records) {
    const bool mappingChanged = records.buttons || records.eventMap;
    {
        // The aircraft's set is chosen again from the new buttons before any event sees them.
        std::lock_guard<std::mutex> buttonsLock(buttonsMutex_);
        {
            std::lock_guard<std::mutex> lock(recordsMutex_);
            if (records.config) {
                records_.config = std::move(records.config);
            }
            if (records.buttons) {
                records_.buttons = std::move(records.buttons);
            }
            if (records.eventMap) {
                records_.eventMap = std::move(records.eventMap);
            }
        }
        SelectButtonsLocked();
    }
    if (mappingChanged) {
        {
            std::lock_guard<std::mutex> lock(holdMutex_);
            holds_.clear();
        }
        holdCv_.notify_one();
    }
}

MappingRecords MappingEngine::Records() const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    return records_;
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
    QueuedEvent item{event, PanelBoard{deviceName, index}};
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        if (IsButtonRelease(event)) {
            // Hold reports still waiting for the worker are stale once the button is up; handling
            // them would restart a map hold that the release is about to end.
            std::erase_if(eventQueue_, [&](const QueuedEvent& queued) {
                return IsHoldOfReleasedButton(queued.event, queued.board, event, item.board);
            });
        }
        eventQueue_.push_back(std::move(item));
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
        HandleEvent(item.event, item.board);
        if (!running_.load()) {
            return;
        }
        lock.lock();
    }
}

void MappingEngine::HandleEvent(const HidProtocol::HidEvent& event, const PanelBoard& board) {
    RpnCommandPort* mobiFlight = with_.commands;
    SimEventPort* simEvents = with_.simEvents;
    // One set of records and the aircraft's buttons chosen from them, taken together.
    MappingRecords records;
    std::shared_ptr<const ButtonConfig> buttons;
    {
        std::lock_guard<std::mutex> lock(buttonsMutex_);
        records = Records();
        buttons = buttons_;
    }
    if (records.config == nullptr || buttons == nullptr || records.eventMap == nullptr ||
        simEvents == nullptr || mobiFlight == nullptr) {
        return;
    }
    const EventDecision decision =
        ResolveEvent(event, board, *records.config, *buttons, *records.eventMap,
                     mobiFlight->IsRegistered(), simEvents->IsConnected());

    if (decision.holdOffOutputs) {
        HoldOffOutputs(board);
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

    std::optional<Result> send;  // the outcome of a send, when one was made
    std::string_view failure;    // the warning's head when the send fails, and its subject
    std::string_view subject = decision.controlName;
    switch (decision.outcome) {
        case EventOutcome::QueueCommand:
            send = mobiFlight->QueueRpn(decision.command, decision.mode, decision.count);
            failure = "MobiFlight RPN send failed for ";
            break;
        case EventOutcome::MapPress:
            if (!decision.command.empty()) {
                send = mobiFlight->SendRpnNow(decision.command);
                failure = "Managed map press send failed for ";
            }
            break;
        case EventOutcome::MapHold:
            if (!decision.command.empty()) {
                StartHold(decision.holdKey, decision.command);
            }
            break;
        case EventOutcome::AutopilotEvent:
            send = simEvents->TransmitEvent(decision.simEvent, 0);
            failure = "SimConnect send failed for ";
            subject = decision.simEvent;
            break;
        case EventOutcome::MapRelease:
        case EventOutcome::None:
            break;
    }
    const bool sent = send && send->Ok();
    if (send && !sent) {
        std::string message(failure);
        message.append(subject).append(": ").append(send->Error());
        log.Log(LogLevel::Warn, message);
    }

    // The line is built only when it will be written: every event passes here.
    if (log.IsDebugEnabled()) {
        log.Debug(decision.DebugLine(sent));
    }
}

void MappingEngine::HoldOffOutputs(const PanelBoard& board) {
    const Clock::TimePoint until = clock_.Now() + kOutputHoldOff;
    {
        std::lock_guard<std::mutex> lock(suppressMutex_);
        auto [it, inserted] = suppressUntil_.try_emplace(BoardKey(board), until);
        if (!inserted) {
            it->second = std::max(it->second, until);
        }
    }
    if (with_.leds != nullptr) {
        with_.leds->InvalidateLedState(board);
    }
}

bool MappingEngine::IsOutputSuppressed(const PanelBoard& board) {
    const std::string key = BoardKey(board);
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
