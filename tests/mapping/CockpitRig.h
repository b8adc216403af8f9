// A whole virtual cockpit for the engine's integration tests, stress test and benchmarks: virtual
// panel boards behind the real HID manager, the virtual simulator (playing the MobiFlight module)
// behind the real SimConnect and MobiFlight clients, and the engine wired between them as the
// application wires it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/HidSettings.h"
#include "app/MappingAdapters.h"
#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "hid/HidManager.h"
#include "hid/HidProtocol.h"
#include "hid/virtual/VirtualHidBackend.h"
#include "mapping/MappingEngine.h"
#include "mapping/SimStatus.h"
#include "sim/ForwardingSimConnectApi.h"
#include "sim/MobiFlightClient.h"
#include "sim/MobiFlightProtocol.h"
#include "sim/SimConnectClient.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"
#include "support/TempDir.h"

namespace tarnwick::test {

inline constexpr std::uint16_t kRigVid = 0x04D8;
inline constexpr std::uint16_t kRigPid = 0xE6B0;

// The button configuration of the rig: calculator code the virtual module can run.
inline const char* kRigButtonsJson = R"json({
  "buttons": [
    {"name": "SOFTKEY", "commands": {"PRESS": {"DEFAULT": "1 (>L:SOFTKEY)"},
                                     "RELEASE": {"DEFAULT": "0 (>L:SOFTKEY)"}}},
    {"name": "MAP_LEFT", "commands": {"PRESS": {"DEFAULT": "(L:MAP_X) 1 - (>L:MAP_X) 0"},
                                      "HOLD": {"DEFAULT": "(L:MAP_X) 1 - (>L:MAP_X) 1"}}},
    {"name": "MAP_RIGHT", "commands": {"PRESS": {"DEFAULT": "(L:MAP_X) 1 + (>L:MAP_X) 0"}}}
  ],
  "knobs": [
    {"name": "HDG_KNOB", "commands": {"CW": {"DEFAULT": "(L:HDG) 1 + (>L:HDG)"},
                                      "CCW": {"DEFAULT": "(L:HDG) 1 - (>L:HDG)"}}}
  ]
})json";

inline const char* kRigEventMapJson = R"({
  "event_types": {"BUTTON": 1, "ENCODER": 2},
  "control_ids": {"HDG_KNOB": 21, "MAP_LEFT": 40, "MAP_RIGHT": 41, "SOFTKEY": 50}
})";

// Passes every call to the virtual simulator and notes the moment each calculator-code command
// reaches the module (the virtual module reads a command inside SetClientData), so that tests and
// benchmarks can wait for commands without polling the simulator.
class StampingSimConnectApi final : public ForwardingSimConnectApi {
public:
    using Clock = std::chrono::steady_clock;
    struct Stamp {
        Clock::time_point time;
        std::string text;
    };

    explicit StampingSimConnectApi(SimConnectApi& inner) : ForwardingSimConnectApi(inner) {}

    std::size_t CommandCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stamps_.size();
    }
    std::vector<Stamp> Stamps() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stamps_;
    }
    // Blocks until at least `count` commands have reached the module; false after `timeout`.
    bool WaitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return stamps_.size() >= count; });
    }
    void ClearStamps() {
        std::lock_guard<std::mutex> lock(mutex_);
        stamps_.clear();
    }

    SimConnectResult SetClientData(SimConnectHandle h, std::uint32_t area, std::uint32_t d,
                                   std::uint32_t f, std::uint32_t r, std::uint32_t size,
                                   const void* data) override {
        const SimConnectResult result = inner_.SetClientData(h, area, d, f, r, size, data);
        const auto now = Clock::now();
        if (result >= 0 && MobiFlightProtocol::IsCommandArea(area) && data != nullptr) {
            std::string text =
                MobiFlightProtocol::BlockText(static_cast<const std::uint8_t*>(data), size);
            if (text.rfind(MobiFlightProtocol::kRpnPrefix, 0) == 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    stamps_.push_back(
                        Stamp{now, text.substr(MobiFlightProtocol::kRpnPrefix.size())});
                }
                cv_.notify_all();
            }
        }
        return result;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Stamp> stamps_;
};

struct CockpitOptions {
    int boards = 1;
    std::int32_t mapHoldRepeatMs = 10;
    std::int32_t debounceMs = 50;
    std::int32_t rpnRateLimitMs = 0;
    // The SimConnect client's own periods (a message pump every 15 ms), for measurements; the
    // tests pump faster so that simulator state arrives sooner.
    bool programTiming = false;
};

class CockpitRig {
public:
    explicit CockpitRig(CockpitOptions options = {})
        : options_(options),
          hid_(backend_),
          simConnect_(
              stamping_, [this] { return sim_.IsRunning(); },
              options.programTiming ? SimConnectClientOptions{} : FastSimConnect()) {
        LoadFiles();
        config_.vid = ReadHexId16("0x04D8");
        config_.pid = ReadHexId16("0xE6B0");
        config_.scanIntervalMs = 600000;  // the boards are plugged before the start
        config_.mobiflight.mapHoldRepeatMs = options.mapHoldRepeatMs;
        config_.mobiflight.rpnRateLimitMs = options.rpnRateLimitMs;
        config_.outputs.debounceMs = options.debounceMs;
        config_.outputs.profiles["DEFAULT"] = BuiltInDefaultProfile();
        for (int i = 0; i < options.boards; ++i) {
            HidProtocol::DeviceInfo info;
            info.firmwareMajor = 1;
            info.boardId = {0xB0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(i)};
            boards_.push_back(backend_.Plug(VirtualPanelBoardSetup(
                "\\\\?\\hid#board" + std::to_string(i), kRigVid, kRigPid, info, std::nullopt)));
            names_.push_back(HidProtocol::FormatBoardId(info));
        }
    }
    ~CockpitRig() { Stop(); }

    CockpitRig(const CockpitRig&) = delete;
    CockpitRig& operator=(const CockpitRig&) = delete;

    // Starts everything in the application's order and returns once the MobiFlight module has
    // acknowledged the registration.
    void Start() {
        StartEngine();
        StartLinks();
    }
    void StartEngine() {
        std::string error;
        if (!engine_.Start(adapters_.With(&config_, &buttons_, &eventMap_, &status_), error)) {
            throw std::runtime_error("engine: " + error);
        }
    }
    // Everything after the engine.
    void StartLinks() {
        std::string error;
        sim_.SetRunning(true);
        mobiFlight_.SetTextHandler(
            [this](const std::string& text) { engine_.OnMobiFlightText(text); });
        if (!hid_.Start(
                HidSettingsFromConfig(config_),
                [this](const HidProtocol::HidEvent& event, const std::string& name, int index) {
                    engine_.OnHidEvent(event, name, index);
                },
                error)) {
            throw std::runtime_error("hid: " + error);
        }
        if (const Result started = mobiFlight_.Start(&simConnect_, config_.mobiflight); !started) {
            throw std::runtime_error("mobiflight: " + started.Error());
        }
        simConnect_.SetBatteryHandler([this](bool on) {
            status_.SetBattery(on);
            engine_.RequestOutputRefresh();
        });
        if (const Result started = simConnect_.Start(
                "TarnwickHID",
                [this](bool connected) {
                    hid_.SendSimStatus(connected);
                    mobiFlight_.OnSimConnectionChanged(connected);
                    engine_.SetSimConnected(connected);
                    engine_.RequestOutputRefresh();
                },
                [this] { return hid_.HasDevices(); });
            !started) {
            throw std::runtime_error("simconnect: " + started.Error());
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!mobiFlight_.IsRegistered() || mobiFlight_.QueueLength() != 0) {
            if (std::chrono::steady_clock::now() > end) {
                throw std::runtime_error("MobiFlight registration timed out");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // The application's stop order.
    void Stop() {
        engine_.Stop();
        mobiFlight_.Stop();
        simConnect_.Stop();
        hid_.Stop();
    }

    VirtualHidDevice& Board(int i) { return *boards_.at(static_cast<std::size_t>(i)); }
    const std::string& BoardName(int i) const { return names_.at(static_cast<std::size_t>(i)); }
    VirtualSimulator& Sim() { return sim_; }
    StampingSimConnectApi& Commands() { return stamping_; }
    MappingEngine& Engine() { return engine_; }
    MobiFlightClient& MobiFlight() { return mobiFlight_; }
    HidManager& Hid() { return hid_; }
    AppConfig& Config() { return config_; }

    // Calculator code the module executed, without the "1 " of the command.
    std::vector<std::string> Executed() const {
        std::vector<std::string> code;
        for (const std::string& c : sim_.ExecutedCode()) {
            code.push_back(c.rfind("1 ", 0) == 0 ? c.substr(2) : c);
        }
        return code;
    }
    std::size_t ExecutedCount(const std::string& code) const {
        std::size_t n = 0;
        for (const std::string& c : Executed()) {
            n += c == code ? 1 : 0;
        }
        return n;
    }

    // The led_ctl reports a board received, newest last.
    std::vector<HidProtocol::Report> LedReports(int board) {
        std::vector<HidProtocol::Report> reports;
        for (const HidProtocol::Report& r : Board(board).ReceivedReports()) {
            if (r[0] == static_cast<std::uint8_t>(HidProtocol::ReportId::LedControl)) {
                reports.push_back(r);
            }
        }
        return reports;
    }

    static HidProtocol::HidEvent Button(std::uint16_t id, std::int8_t value) {
        HidProtocol::HidEvent event;
        event.type = 1;
        event.controlId = id;
        event.value = value;
        event.mode = 2;
        return event;
    }
    static HidProtocol::HidEvent Turn(std::uint16_t id, std::int8_t value) {
        HidProtocol::HidEvent event;
        event.type = 2;
        event.controlId = id;
        event.value = value;
        event.mode = 2;
        return event;
    }

private:
    static SimConnectClientOptions FastSimConnect() {
        SimConnectClientOptions options;
        options.timing.dispatchPeriod = std::chrono::milliseconds(2);
        options.timing.hidPollPeriod = std::chrono::milliseconds(5);
        options.timing.simPollPeriod = std::chrono::milliseconds(5);
        options.timing.retryDelayFirst = std::chrono::milliseconds(5);
        options.timing.retryDelayMax = std::chrono::milliseconds(10);
        return options;
    }
    void LoadFiles() {
        std::string error;
        if (!buttons_.Load(dir_.Write("buttons.json", kRigButtonsJson), error) ||
            !eventMap_.Load(dir_.Write("hid_event_map.json", kRigEventMapJson), error)) {
            throw std::runtime_error(error);
        }
    }

    const CockpitOptions options_;
    TempDir dir_;
    AppConfig config_;
    ButtonConfig buttons_;
    HidEventMap eventMap_;
    SimStatus status_;
    VirtualHidBackend backend_;
    std::vector<std::shared_ptr<VirtualHidDevice>> boards_;
    std::vector<std::string> names_;
    VirtualSimulator sim_;
    VirtualSimConnectApi api_{sim_};
    StampingSimConnectApi stamping_{api_};
    HidManager hid_;
    SimConnectClient simConnect_;
    MobiFlightClient mobiFlight_;
    MappingAdapters adapters_{hid_, simConnect_, mobiFlight_};
    MappingEngine engine_;
};

}  // namespace tarnwick::test
