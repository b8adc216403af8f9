// What the mapping engine tests share: recording fakes of the engine's three ports, and the
// configuration files every test uses.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "fakes/ManualClock.h"
#include "log/Logger.h"
#include "mapping/MappingPorts.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

struct LedWrite {
    std::string name;
    std::int32_t index = 0;
    HidProtocol::LedState state;
};

class FakeLeds final : public LedOutputPort {
public:
    void SetDevices(std::vector<std::pair<std::string, std::int32_t>> devices) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_ = std::move(devices);
    }
    std::vector<std::pair<std::string, std::int32_t>> ListDevices() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++listCalls_;
        return devices_;
    }
    bool SendLedState(const std::string& name, std::int32_t index,
                      const HidProtocol::LedState& state) override {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.push_back(LedWrite{name, index, state});
        return true;
    }
    void InvalidateLedState(const std::string& name, std::int32_t index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        invalidated_.emplace_back(name, index);
    }

    int ListCalls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return listCalls_;
    }
    std::vector<LedWrite> Writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    std::vector<std::pair<std::string, std::int32_t>> Invalidated() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return invalidated_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.clear();
        invalidated_.clear();
        listCalls_ = 0;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::int32_t>> devices_;
    std::vector<LedWrite> writes_;
    std::vector<std::pair<std::string, std::int32_t>> invalidated_;
    int listCalls_ = 0;
};

struct RpnCall {
    enum class Kind { Queue, SendNow, Cancel };
    Kind kind = Kind::Queue;
    std::string rpn;
    SendMode mode = SendMode::Plain;
    std::int32_t count = 0;
    Clock::TimePoint time{};
    friend bool operator==(const RpnCall& a, const RpnCall& b) {
        return a.kind == b.kind && a.rpn == b.rpn && a.mode == b.mode && a.count == b.count;
    }
};

inline std::ostream& operator<<(std::ostream& out, const RpnCall& call) {
    static const char* const kinds[] = {"Queue", "SendNow", "Cancel"};
    return out << kinds[static_cast<int>(call.kind)] << "(" << call.rpn << ", "
               << static_cast<int>(call.mode) << ", " << call.count << ")";
}

inline RpnCall Queued(std::string rpn, SendMode mode, std::int32_t count) {
    return RpnCall{RpnCall::Kind::Queue, std::move(rpn), mode, count, {}};
}
inline RpnCall SentNow(std::string rpn) {
    return RpnCall{RpnCall::Kind::SendNow, std::move(rpn), SendMode::Plain, 0, {}};
}
inline RpnCall Cancelled(std::string rpn) {
    return RpnCall{RpnCall::Kind::Cancel, std::move(rpn), SendMode::Plain, 0, {}};
}

class FakeCommands final : public RpnCommandPort {
public:
    explicit FakeCommands(const Clock& clock) : clock_(clock) {}

    bool IsRegistered() override { return registered_.load(); }
    bool QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count,
                  std::string& errorText) override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            gateCv_.wait(lock, [this] { return !gateClosed_; });
        }
        Record(Queued(rpn, mode, count));
        return Outcome(queueError_, errorText);
    }
    bool SendRpnNow(const std::string& rpn, std::string& errorText) override {
        Record(SentNow(rpn));
        return Outcome(sendError_, errorText);
    }
    void CancelHoldRepeats(const std::string& rpn) override { Record(Cancelled(rpn)); }

    void SetRegistered(bool registered) { registered_.store(registered); }
    void FailQueue(std::string error) {
        std::lock_guard<std::mutex> lock(mutex_);
        queueError_ = std::move(error);
    }
    void FailSendNow(std::string error) {
        std::lock_guard<std::mutex> lock(mutex_);
        sendError_ = std::move(error);
    }
    // While closed, QueueRpn blocks: the event worker stops and the queue builds up.
    void CloseGate() {
        std::lock_guard<std::mutex> lock(mutex_);
        gateClosed_ = true;
    }
    void OpenGate() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gateClosed_ = false;
        }
        gateCv_.notify_all();
    }

    std::vector<RpnCall> Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::vector<RpnCall> CallsOf(RpnCall::Kind kind) const {
        std::vector<RpnCall> out;
        for (const RpnCall& call : Calls()) {
            if (call.kind == kind) {
                out.push_back(call);
            }
        }
        return out;
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }

private:
    void Record(RpnCall call) {
        call.time = clock_.Now();
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
    }
    bool Outcome(const std::string& configured, std::string& errorText) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (configured.empty()) {
            return true;
        }
        errorText = configured;
        return false;
    }

    const Clock& clock_;
    std::atomic<bool> registered_{true};
    mutable std::mutex mutex_;
    std::condition_variable gateCv_;
    bool gateClosed_ = false;
    std::string queueError_;
    std::string sendError_;
    std::vector<RpnCall> calls_;
};

class FakeSimEvents final : public SimEventPort {
public:
    bool IsConnected() override { return connected_.load(); }
    bool TransmitEvent(const std::string& eventName, std::uint32_t value,
                       std::string& errorText) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.emplace_back(eventName, value);
        if (!error_.empty()) {
            errorText = error_;
            return false;
        }
        return true;
    }
    void SetConnected(bool connected) { connected_.store(connected); }
    void Fail(std::string error) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::move(error);
    }
    std::vector<std::pair<std::string, std::uint32_t>> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    std::atomic<bool> connected_{true};
    mutable std::mutex mutex_;
    std::string error_;
    std::vector<std::pair<std::string, std::uint32_t>> events_;
};

// The names and commands of a small cockpit. Control 5 is the autopilot master button and has a
// configured release only; 6 is named but not configured; 7 has no name at all.
inline const char* kEventMapJson = R"({
  "event_types": {"BUTTON": 1, "ENCODER": 2, "LED_SHOW": 4},
  "control_ids": {"AP": 5, "FD": 6, "HDG_KNOB": 21, "NAV_SWAP": 30, "MAP_LEFT": 40,
                  "MAP_RIGHT": 41, "MAP_UP": 42, "MAP_DOWN": 43, "SOFTKEY": 50}
})";

inline const char* kButtonConfigJson = R"({
  "buttons": [
    {"name": "AP", "commands": {"RELEASE": {"DEFAULT": "ap up"}}},
    {"name": "NAV_SWAP", "commands": {"PRESS": {"DEFAULT": "nav swap"},
                                      "HOLD": {"DEFAULT": "nav swap hold"}}},
    {"name": "map_left", "commands": {"PRESS": {"DEFAULT": "map left"},
                                      "HOLD": {"DEFAULT": "map left hold"},
                                      "CW": {"DEFAULT": "map left cw"}}},
    {"name": "MAP_RIGHT", "commands": {"PRESS": {"DEFAULT": "map right"}}},
    {"name": "MAP_UP", "commands": {}},
    {"name": "SOFTKEY", "commands": {"PRESS": {"DEFAULT": "softkey", "PFD": "softkey pfd"},
                                     "RELEASE": {"DEFAULT": "softkey up"},
                                     "HOLD": {"DEFAULT": "softkey hold"}}}
  ],
  "knobs": [
    {"name": "HDG_KNOB", "commands": {"CW": {"DEFAULT": "hdg inc"},
                                      "CCW": {"DEFAULT": "hdg dec"},
                                      "CCW_FAST": {"DEFAULT": "hdg dec fast"}}}
  ]
})";

// Two boards with entries: "B0" (index 0) plays the MFD, board index 1 plays "copilot".
inline AppConfig MakeConfig() {
    AppConfig config;
    config.vid = ReadHexId16("0x2E8A");
    config.pid = ReadHexId16("0x10C0");
    config.mobiflight.enabled = true;
    config.mobiflight.mapHoldRepeatMs = 100;
    config.outputs.debounceMs = 50;
    config.outputs.defaultProfile = "default";
    config.outputs.profiles["DEFAULT"] = BuiltInDefaultProfile();
    OutputDeviceConfig mfd;
    mfd.boardId = "B0";
    mfd.role = "MFD";
    OutputDeviceConfig copilot;
    copilot.index = 1;
    copilot.role = "copilot";
    config.outputDevices = {mfd, copilot};
    return config;
}

inline void LoadNames(const TempDir& dir, ButtonConfig& buttons, HidEventMap& eventMap) {
    if (const Result loaded = buttons.Load(dir.Write("buttons.json", kButtonConfigJson)); !loaded) {
        throw std::runtime_error("button config: " + loaded.Error());
    }
    if (const Result loaded = eventMap.Load(dir.Write("hid_event_map.json", kEventMapJson));
        !loaded) {
        throw std::runtime_error("event map: " + loaded.Error());
    }
}

}  // namespace tarnwick::test
