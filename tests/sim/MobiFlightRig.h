// What the MobiFlight client tests run against: the virtual simulator (which plays the MobiFlight
// module) behind a real SimConnectClient, with every command-channel write observed on its way,
// and the clock of the test's choice.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/ManualClock.h"
#include "log/Logger.h"
#include "sim/ForwardingSimConnectApi.h"
#include "sim/MobiFlightClient.h"
#include "sim/MobiFlightProtocol.h"
#include "sim/SimConnectClient.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Passes every call through to the virtual simulator and notes each write to a MobiFlight
// command area (the registration one or the client's own). A write of a chosen text can be held in
// progress until released.
class ObservedSimConnectApi final : public ForwardingSimConnectApi {
public:
    struct Write {
        std::string text;                 // up to the block's first NUL
        std::vector<std::uint8_t> block;  // every byte written
        SteadyClock::time_point begin;    // call made
        SteadyClock::time_point end;      // call returned: the module has read it
        bool ok = false;
    };

    explicit ObservedSimConnectApi(SimConnectApi& inner) : ForwardingSimConnectApi(inner) {}

    std::vector<Write> Writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Write& w : Writes()) {
            texts.push_back(w.text);
        }
        return texts;
    }
    std::size_t CountOf(const std::string& text) const {
        std::size_t n = 0;
        for (const Write& w : Writes()) {
            n += w.text == text ? 1 : 0;
        }
        return n;
    }
    std::size_t CountStartingWith(const std::string& prefix) const {
        std::size_t n = 0;
        for (const Write& w : Writes()) {
            n += w.text.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    // The next write of `text` stops inside the call until Release.
    void HoldNextWriteOf(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        holdText_ = text;
        held_ = false;
        released_ = false;
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [this] { return held_; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

    SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                   std::uint32_t defineId, std::uint32_t flags,
                                   std::uint32_t reserved, std::uint32_t size,
                                   const void* data) override {
        if (!MobiFlightProtocol::IsCommandArea(clientDataId) || data == nullptr) {
            return inner_.SetClientData(handle, clientDataId, defineId, flags, reserved, size,
                                        data);
        }
        Write w;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        w.block.assign(bytes, bytes + size);
        w.text = MobiFlightProtocol::BlockText(bytes, size);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!holdText_.empty() && w.text == holdText_) {
                holdText_.clear();
                held_ = true;
                cv_.notify_all();
                cv_.wait(lock, [this] { return released_; });
            }
        }
        w.begin = SteadyClock::now();
        const SimConnectResult result =
            inner_.SetClientData(handle, clientDataId, defineId, flags, reserved, size, data);
        w.end = SteadyClock::now();
        w.ok = result >= 0;
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.push_back(std::move(w));
        return result;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Write> writes_;
    std::string holdText_;
    bool held_ = false;
    bool released_ = false;
};

inline SimConnectClientOptions FastSimConnect() {
    SimConnectClientOptions options;
    options.timing.dispatchPeriod = std::chrono::milliseconds(1);
    options.timing.hidPollPeriod = std::chrono::milliseconds(5);
    options.timing.simPollPeriod = std::chrono::milliseconds(5);
    options.timing.retryDelayFirst = std::chrono::milliseconds(5);
    options.timing.retryDelayMax = std::chrono::milliseconds(10);
    return options;
}

inline MobiFlightSettings TestSettings() {
    MobiFlightSettings settings;
    settings.clientName = "Tester";
    return settings;
}

inline std::string Rpn(const std::string& code) {
    return MobiFlightProtocol::RpnCommand(code);
}
inline const std::string kDummy{MobiFlightProtocol::kDummyCommand};
inline const std::string kRegistration = "MF.Clients.Add.Tester";

// The simulator, the SimConnect client and the MobiFlight client, wired as the application
// wires them.
class MobiFlightRig {
public:
    explicit MobiFlightRig(MobiFlightClientOptions options = {},
                           const Clock& clock = Clock::Steady())
        : simConnect_(
              api_, [this] { return sim_.IsRunning(); }, FastSimConnect()),
          client_(std::move(options), clock) {}
    // In the application's order; and SimConnect's worker, which calls into the MobiFlight
    // client, ends before either is destroyed.
    ~MobiFlightRig() {
        client_.Stop();
        simConnect_.Stop();
    }
    MobiFlightRig(const MobiFlightRig&) = delete;
    MobiFlightRig& operator=(const MobiFlightRig&) = delete;

    VirtualSimulator& Sim() { return sim_; }
    ObservedSimConnectApi& Api() { return api_; }
    SimConnectClient& SimConnect() { return simConnect_; }
    MobiFlightClient& Client() { return client_; }

    // Starts both clients with the simulator running; returns once the connection exists.
    void Start(const MobiFlightSettings& settings = TestSettings()) {
        sim_.SetRunning(true);
        std::string error;
        ASSERT_TRUE(client_.Start(&simConnect_, settings, error)) << error;
        ASSERT_TRUE(simConnect_.Start(
            "TarnwickTest", [this](bool connected) { client_.OnSimConnectionChanged(connected); },
            {}, error))
            << error;
        ASSERT_TRUE(WaitUntil([this] { return simConnect_.IsConnected(); }));
    }

    void StartRegistered(const MobiFlightSettings& settings = TestSettings()) {
        Start(settings);
        ASSERT_TRUE(WaitUntil([this] { return client_.IsRegistered(); }));
        // The two subscription commands have gone out once the queue is empty again.
        ASSERT_TRUE(WaitUntil([this] {
            return api_.CountOf(std::string(MobiFlightProtocol::kSubscribeLightingCommand)) == 1 &&
                   client_.QueueLength() == 0;
        }));
    }

    std::size_t Executed(const std::string& code) const {
        std::size_t n = 0;
        for (const std::string& c : sim_.ExecutedCode()) {
            n += c == "1 " + code ? 1 : 0;
        }
        return n;
    }

private:
    VirtualSimulator sim_;
    VirtualSimConnectApi virtualApi_{sim_};
    ObservedSimConnectApi api_{virtualApi_};
    SimConnectClient simConnect_;
    MobiFlightClient client_;
};

}  // namespace tarnwick::test
