// Shared by the sim tests: the one set of short periods for the SimConnect worker, a record of its
// waits, the MobiFlight command block, and the rig of simulator, SimConnect and MobiFlight client
// wired as the application wires them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/RecordingSimConnectApi.h"
#include "sim/MobiFlightClient.h"
#include "sim/MobiFlightProtocol.h"
#include "sim/SimConnectClient.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"
#include "support/TestSupport.h"

namespace tarnwick::test::simtest {

using namespace std::chrono_literals;

// The duration of every wait the worker started, by kind, in order.
class WaitLog {
public:
    std::function<void(SimConnectWait, std::chrono::milliseconds)> Observer() {
        return [this](SimConnectWait why, std::chrono::milliseconds duration) {
            std::lock_guard<std::mutex> lock(mutex_);
            waits_[why].push_back(duration.count());
        };
    }
    std::vector<std::int64_t> Of(SimConnectWait why) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = waits_.find(why);
        return found == waits_.end() ? std::vector<std::int64_t>{} : found->second;
    }
    std::size_t CountOf(SimConnectWait why) const { return Of(why).size(); }

private:
    mutable std::mutex mutex_;
    std::map<SimConnectWait, std::vector<std::int64_t>> waits_;
};

// Short periods with the real doubling: the retry series reads 5, 10, 20, 30, 30 (ms).
inline SimConnectClientOptions ShortTiming() {
    SimConnectClientOptions options;
    options.timing = {1ms, 2ms, 2ms, 5ms, 30ms};
    return options;
}

// A 256-byte command block as the MobiFlight channels carry it: text, NUL, zeros.
inline std::vector<std::uint8_t> Block(const std::string& text, std::size_t size = 256) {
    std::vector<std::uint8_t> block(size, 0);
    std::copy_n(text.begin(), std::min(text.size(), size - 1), block.begin());
    return block;
}

inline std::string Rpn(const std::string& code) {
    return MobiFlightProtocol::RpnCommand(code);
}
inline const std::string kDummy{MobiFlightProtocol::kDummyCommand};
inline const std::string kRegistration = "MF.Clients.Add.Tester";
inline const std::string kSubscribe{MobiFlightProtocol::kSubscribeLightingCommand};

inline MobiFlightSettings TestSettings() {
    MobiFlightSettings settings;
    settings.clientName = "Tester";
    return settings;
}

class MobiFlightRig {
public:
    explicit MobiFlightRig(MobiFlightClientOptions options = {},
                           const Clock& clock = Clock::Steady())
        : simConnect_(
              api_, [this] { return sim_.IsRunning(); }, ShortTiming()),
          client_(std::move(options), clock) {}
    // In the application's order: SimConnect's worker calls into the MobiFlight client.
    ~MobiFlightRig() {
        client_.Stop();
        simConnect_.Stop();
    }
    MobiFlightRig(const MobiFlightRig&) = delete;
    MobiFlightRig& operator=(const MobiFlightRig&) = delete;

    VirtualSimulator& Sim() { return sim_; }
    RecordingSimConnectApi& Api() { return api_; }
    SimConnectClient& SimConnect() { return simConnect_; }
    MobiFlightClient& Client() { return client_; }

    // Starts both clients with the simulator running; returns once the connection exists.
    void Start(const MobiFlightSettings& settings = TestSettings()) {
        sim_.SetRunning(true);
        const Result mobiFlight = client_.Start(&simConnect_, settings);
        ASSERT_TRUE(mobiFlight) << mobiFlight.Error();
        const Result simConnect = simConnect_.Start(
            "TarnwickTest", [this](bool connected) { client_.OnSimConnectionChanged(connected); },
            {});
        ASSERT_TRUE(simConnect) << simConnect.Error();
        ASSERT_TRUE(WaitUntil([this] { return simConnect_.IsConnected(); }));
    }
    // ...and once registered with the subscription sent.
    void StartRegistered(const MobiFlightSettings& settings = TestSettings()) {
        Start(settings);
        ASSERT_TRUE(WaitUntil([this] {
            return client_.IsRegistered() && api_.CountOf(kSubscribe) == 1 &&
                   client_.QueueLength() == 0;
        }));
    }
    std::size_t Executed(const std::string& code) const {
        const auto all = sim_.ExecutedCode();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), "1 " + code));
    }

private:
    VirtualSimulator sim_;
    VirtualSimConnectApi virtualApi_{sim_};
    RecordingSimConnectApi api_{virtualApi_};
    SimConnectClient simConnect_;
    MobiFlightClient client_;
};

}  // namespace tarnwick::test::simtest
