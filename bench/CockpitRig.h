// A whole virtual cockpit for the benchmarks (and, for now, the engine's integration and stress
// tests): virtual panel boards and the virtual simulator (playing the MobiFlight module) behind
// the program's own composition of the components.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/BridgeComponents.h"
#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "hid/HidProtocol.h"
#include "hid/virtual/VirtualHidBackend.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

inline const char* kRigButtons = R"json({"buttons": [
    {"name": "SOFTKEY", "commands": {"PRESS": {"DEFAULT": "1 (>L:SOFTKEY)"},
                                     "RELEASE": {"DEFAULT": "0 (>L:SOFTKEY)"}}},
    {"name": "MAP_LEFT", "commands": {"PRESS": {"DEFAULT": "(L:MAP_X) 1 - (>L:MAP_X) 0"},
                                      "HOLD": {"DEFAULT": "(L:MAP_X) 1 - (>L:MAP_X) 1"}}},
    {"name": "MAP_RIGHT", "commands": {"PRESS": {"DEFAULT": "(L:MAP_X) 1 + (>L:MAP_X) 0"}}}],
  "knobs": [{"name": "HDG_KNOB", "commands": {"CW": {"DEFAULT": "(L:HDG) 1 + (>L:HDG)"},
                                              "CCW": {"DEFAULT": "(L:HDG) 1 - (>L:HDG)"}}}]})json";
inline const char* kRigEventMap = R"({"event_types": {"BUTTON": 1, "ENCODER": 2},
  "control_ids": {"HDG_KNOB": 21, "MAP_LEFT": 40, "MAP_RIGHT": 41, "SOFTKEY": 50}})";

struct CockpitOptions {
    int boards = 1;
    std::int32_t mapHoldRepeatMs = 10;
    std::int32_t debounceMs = 50;
    std::int32_t rpnRateLimitMs = 0;
    // The SimConnect client's own periods, for measurements; tests pump faster so that simulator
    // state arrives sooner.
    bool programTiming = false;
    // Puts a decorator between the SimConnect client and the virtual simulator; it must outlive
    // the rig.
    std::function<SimConnectApi&(SimConnectApi&)> decorate = nullptr;
};

class CockpitRig {
public:
    explicit CockpitRig(CockpitOptions options = {}) {
        for (const Result& loaded : {buttons_.Load(dir_.Write("buttons.json", kRigButtons)),
                                     eventMap_.Load(dir_.Write("map.json", kRigEventMap))}) {
            if (!loaded) {
                throw std::runtime_error(loaded.Error());
            }
        }
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
            info.boardId = {0xB0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(i)};
            boards_.push_back(hid_.Plug(VirtualPanelBoardSetup(
                "\\\\?\\hid#board" + std::to_string(i), 0x04D8, 0xE6B0, info, std::nullopt)));
            names_.push_back(HidProtocol::FormatBoardId(info));
        }
        SimConnectClientOptions timing;
        if (!options.programTiming) {
            using std::chrono::milliseconds;
            timing.timing = {milliseconds(2), milliseconds(5), milliseconds(5), milliseconds(5),
                             milliseconds(10)};
        }
        components_ = std::make_unique<BridgeComponents>(
            hid_, options.decorate ? options.decorate(api_) : api_,
            [this] { return sim_.IsRunning(); }, timing);
    }
    ~CockpitRig() { Stop(); }

    // Starts everything as the program does and returns once the MobiFlight module has
    // acknowledged the registration.
    void Start() {
        sim_.SetRunning(true);
        if (!components_->Start(config_, buttons_, eventMap_) || !WaitUntil([this] {
                return components_->MobiFlight().IsRegistered() &&
                       components_->MobiFlight().QueueLength() == 0;
            })) {
            throw std::runtime_error("the cockpit did not start");
        }
    }
    void Stop() { components_->Stop(); }

    VirtualHidDevice& Board(int i) { return *boards_.at(static_cast<std::size_t>(i)); }
    const std::string& BoardName(int i) const { return names_.at(static_cast<std::size_t>(i)); }
    VirtualSimulator& Sim() { return sim_; }
    MappingEngine& Engine() { return components_->Engine(); }

    // Calculator code the module executed, without the "1 " of the command.
    std::vector<std::string> Executed() const {
        std::vector<std::string> code;
        for (const std::string& c : sim_.ExecutedCode()) {
            code.push_back(c.rfind("1 ", 0) == 0 ? c.substr(2) : c);
        }
        return code;
    }
    std::size_t ExecutedCount(const std::string& code) const {
        const auto all = Executed();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), code));
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
        return HidProtocol::HidEvent{0, 1, id, value, 0, 2};
    }
    static HidProtocol::HidEvent Turn(std::uint16_t id, std::int8_t value) {
        return HidProtocol::HidEvent{0, 2, id, value, 0, 2};
    }

private:
    TempDir dir_;
    AppConfig config_;
    ButtonConfig buttons_;
    HidEventMap eventMap_;
    VirtualHidBackend hid_;
    std::vector<std::shared_ptr<VirtualHidDevice>> boards_;
    std::vector<std::string> names_;
    VirtualSimulator sim_;
    VirtualSimConnectApi api_{sim_};
    std::unique_ptr<BridgeComponents> components_;
};

}  // namespace tarnwick::test
