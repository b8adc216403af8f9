// Shared by the SimConnect client tests: a record of the worker's waits, and an api decorator
// that notes the event and close calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "log/Logger.h"
#include "sim/ForwardingSimConnectApi.h"
#include "sim/SimConnectApi.h"
#include "sim/SimConnectClient.h"
#include "support/TestSupport.h"

namespace tarnwick::test::simtest {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Every wait the worker started, in order.
class WaitLog {
public:
    std::function<void(SimConnectWait, std::chrono::milliseconds)> Observer() {
        return [this](SimConnectWait why, std::chrono::milliseconds duration) {
            std::lock_guard<std::mutex> lock(mutex_);
            waits_.emplace_back(why, duration);
        };
    }
    std::vector<std::int64_t> Of(SimConnectWait why) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::int64_t> durations;
        for (const auto& [kind, duration] : waits_) {
            if (kind == why) {
                durations.push_back(duration.count());
            }
        }
        return durations;
    }
    std::size_t CountOf(SimConnectWait why) const { return Of(why).size(); }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        waits_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<SimConnectWait, std::chrono::milliseconds>> waits_;
};

// Short periods with the real doubling: the retry series reads 5, 10, 20, 30, 30 (ms).
inline SimConnectClientOptions ShortTiming(WaitLog* waits = nullptr) {
    SimConnectClientOptions options;
    options.timing.dispatchPeriod = 1ms;
    options.timing.hidPollPeriod = 2ms;
    options.timing.simPollPeriod = 2ms;
    options.timing.retryDelayFirst = 5ms;
    options.timing.retryDelayMax = 30ms;
    if (waits != nullptr) {
        options.waitObserver = waits->Observer();
    }
    return options;
}

// Passes every call on and notes the client event mappings and transmissions.
class NotingApi final : public ForwardingSimConnectApi {
public:
    struct Mapping {
        std::uint32_t id;
        std::string name;
    };

    explicit NotingApi(SimConnectApi& inner) : ForwardingSimConnectApi(inner) {}

    std::vector<Mapping> Mappings() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return mappings_;
    }
    std::vector<std::uint32_t> TransmittedIds() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return transmitted_;
    }
    std::vector<std::string> OpenNames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return openNames_;
    }

    SimConnectResult Open(SimConnectHandle& handle, const char* name) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            openNames_.emplace_back(name);
        }
        return inner_.Open(handle, name);
    }
    SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle, std::uint32_t eventId,
                                              const char* eventName) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            mappings_.push_back({eventId, eventName});
        }
        return inner_.MapClientEventToSimEvent(handle, eventId, eventName);
    }
    SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                         std::uint32_t eventId, std::uint32_t data,
                                         std::uint32_t groupId, std::uint32_t flags) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            transmitted_.push_back(eventId);
        }
        return inner_.TransmitClientEvent(handle, objectId, eventId, data, groupId, flags);
    }

private:
    mutable std::mutex mutex_;
    std::vector<Mapping> mappings_;
    std::vector<std::uint32_t> transmitted_;
    std::vector<std::string> openNames_;
};

// A 256-byte command block as the MobiFlight channels carry it: text, NUL, zeros.
inline std::vector<std::uint8_t> Block(const std::string& text, std::size_t size = 256) {
    std::vector<std::uint8_t> block(size, 0);
    for (std::size_t i = 0; i < text.size() && i + 1 < size; ++i) {
        block[i] = static_cast<std::uint8_t>(text[i]);
    }
    return block;
}

inline std::string TextOf(const std::uint8_t* data, std::uint32_t size) {
    std::string text;
    for (std::uint32_t i = 0; i < size && data[i] != 0; ++i) {
        text += static_cast<char>(data[i]);
    }
    return text;
}

}  // namespace tarnwick::test::simtest
