// Turns the panel boards' input events into simulator commands and keeps the boards' backlight and
// LEDs in step with the simulator. Three workers:
// - the event worker resolves each queued event (ResolveEvent: role, names, action, command) and
//   acts on the decision: sends the command through MobiFlight, or an autopilot event through
//   SimConnect, or starts or ends a managed map hold;
// - the hold worker repeats the command of a held map-panning control on its own clock;
// - the output worker recomputes every board's LED state on request (debounced) and once a
//   second.
// The HID reader threads only queue (OnHidEvent); nothing they call waits for a command.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "hid/HidProtocol.h"
#include "mapping/MappingPorts.h"
#include "mapping/PanelBoard.h"
#include "platform/Clock.h"
#include "platform/Result.h"

namespace tarnwick {

struct AppConfig;
class ButtonConfig;
class HidEventMap;
class SimStatus;

// The engine's collaborators, none owned. Any of them may be null: the engine then skips what
// needs it (an event is dropped without a config, names or clients; no LEDs without boards).
struct MappingCollaborators {
    const AppConfig* config = nullptr;
    LedOutputPort* leds = nullptr;
    SimEventPort* simEvents = nullptr;
    RpnCommandPort* commands = nullptr;
    const ButtonConfig* buttonConfig = nullptr;
    const HidEventMap* hidEventMap = nullptr;
    SimStatus* simStatus = nullptr;
};

// The configuration an event is resolved with. Swapped whole, so that an event is resolved wholly
// with the old or wholly with the new set.
struct MappingRecords {
    std::shared_ptr<const AppConfig> config;
    std::shared_ptr<const ButtonConfig> buttons;
    std::shared_ptr<const HidEventMap> eventMap;
};

class MappingEngine {
public:
    // `clock` must outlive the engine.
    explicit MappingEngine(const Clock& clock = Clock::Steady());
    ~MappingEngine();  // Stop

    MappingEngine(const MappingEngine&) = delete;
    MappingEngine& operator=(const MappingEngine&) = delete;

    // Starts the three workers over the given ports and records. The collaborators must outlive
    // the run; the configuration records must be filled before, never change (ReplaceRecords
    // hands over new ones instead) and outlive the engine itself, since a title arriving after
    // Stop still chooses the aircraft's buttons from them.
    // Fails on a running engine, and when a worker cannot be started: the engine then stays
    // stopped, with the workers it did start joined, and may be started again.
    Result Start(const MappingCollaborators& collaborators);
    // Wakes and joins the three workers (each ends within its current step) and drops every hold.
    // Events still queued stay unhandled. Harmless when not running.
    void Stop();
    bool IsRunning() const { return running_.load(); }

    // Any thread: later events and LED refreshes use `records` (null members keep the current
    // ones). The event being handled finishes with the records it began with. A new button set
    // or event map ends every map hold: a control still held resumes with its board's next hold
    // report, one that is gone stays ended.
    void ReplaceRecords(MappingRecords records);
    MappingRecords Records() const;

    // The HID manager's event callback; reader threads. Only queues, and only while running.
    void OnHidEvent(const HidProtocol::HidEvent& event, const std::string& deviceName,
                    std::int32_t index);

    // The MobiFlight client's text handler (SimConnect worker): takes up a new panel-lighting
    // level and asks for an output refresh.
    void OnMobiFlightText(const std::string& text);
    // Any thread. A burst of requests within outputs.debounceMs makes one refresh.
    void RequestOutputRefresh();
    void SetSimConnected(bool connected);
    // The user aircraft's title (SimConnect worker). A new title picks the button set it
    // matches, logs the choice and withdraws the holds of the old set; the same title again
    // changes nothing. Kept across Stop and Start.
    void OnAircraftTitle(const std::string& title);

    // A board is in its LED hold-off (a long press that the board's firmware answers with an LED
    // show of its own must not be painted over). An expired hold-off is forgotten here.
    bool IsOutputSuppressed(const PanelBoard& board);

    // For the tests of the managed map: the number of active holds.
    std::size_t ActiveHoldCount() const;

private:
    struct QueuedEvent {
        HidProtocol::HidEvent event;
        PanelBoard board;
    };

    struct HoldEntry {
        std::string command;
        Clock::TimePoint nextDue{};
        bool hasDue = false;
    };

    Result StartWorkers();
    void WakeAll();
    // The buttons for the current title from the current records; returns the set's name. Called
    // whenever the title or the button configuration changes; takes buttonsMutex_.
    std::string SelectButtons();
    std::string SelectButtonsLocked();

    // Event worker (MappingEngine.cpp).
    void EventWorker();
    void HandleEvent(const HidProtocol::HidEvent& event, const PanelBoard& board);
    void HoldOffOutputs(const PanelBoard& board);

    // Hold worker and managed map holds (MappingEngineHolds.cpp).
    void HoldWorker();
    void StartHold(const std::string& holdKey, const std::string& command);
    void CancelHold(const std::string& holdKey);

    // Output worker (MappingEngineOutputs.cpp).
    void OutputWorker();
    void RefreshOutputs();

    const Clock& clock_;

    // Serialises Start and Stop with each other; never taken by a worker.
    std::mutex lifecycleMutex_;

    // Written by Start before any worker runs; read without locks afterwards, except the three
    // records, which are read through records_.
    MappingCollaborators with_;
    mutable std::mutex recordsMutex_;
    MappingRecords records_;
    std::chrono::milliseconds repeatPeriod_{10};

    // The button configuration in force for the current aircraft, chosen from records_.buttons:
    // the event worker takes it with the records per event, so neither a switch nor a reload
    // changes the buttons under an event. Taken before recordsMutex_, never under it.
    mutable std::mutex buttonsMutex_;
    std::string aircraftTitle_;
    std::shared_ptr<const ButtonConfig> buttons_;

    std::atomic<bool> running_{false};
    std::atomic<bool> simConnected_{false};

    std::thread eventWorker_;
    std::mutex eventMutex_;
    std::condition_variable eventCv_;  // new event, or Stop
    std::deque<QueuedEvent> eventQueue_;

    std::thread holdWorker_;
    mutable std::mutex holdMutex_;
    std::condition_variable holdCv_;  // a hold started or ended, or Stop
    std::unordered_map<std::string, HoldEntry> holds_;

    std::thread outputWorker_;
    std::mutex outputMutex_;
    std::condition_variable outputCv_;  // a refresh request, or Stop
    bool refreshPending_ = false;
    Clock::TimePoint refreshRequestTime_{};

    std::mutex suppressMutex_;
    std::unordered_map<std::string, Clock::TimePoint> suppressUntil_;
};

}  // namespace tarnwick
