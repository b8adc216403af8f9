// A SimConnect library that passes every call on and notes what the program asked of it: the
// names it opened under, the client events it sent, and the text of every write to a MobiFlight
// command area with the times the call began and returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/ForwardingSimConnectApi.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick::test {

class RecordingSimConnectApi final : public ForwardingSimConnectApi {
public:
    struct Write {
        std::string text;  // up to the block's first NUL
        std::chrono::steady_clock::time_point begin, end;
    };

    explicit RecordingSimConnectApi(SimConnectApi& inner) : ForwardingSimConnectApi(inner) {}

    std::vector<std::string> Opens() const { return Locked(opens_); }
    // The client event numbers of every transmit, in order.
    std::vector<std::uint32_t> Transmitted() const { return Locked(transmitted_); }
    std::vector<Write> Writes() const { return Locked(writes_); }
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

    SimConnectResult Open(SimConnectHandle& handle, const char* name) override {
        Note(opens_, std::string(name));
        return inner_.Open(handle, name);
    }
    SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                         std::uint32_t id, std::uint32_t data,
                                         std::uint32_t groupId, std::uint32_t flags) override {
        Note(transmitted_, id);
        return inner_.TransmitClientEvent(handle, objectId, id, data, groupId, flags);
    }
    SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t area,
                                   std::uint32_t defineId, std::uint32_t flags,
                                   std::uint32_t reserved, std::uint32_t size,
                                   const void* data) override {
        if (!MobiFlightProtocol::IsCommandArea(area) || data == nullptr) {
            return inner_.SetClientData(handle, area, defineId, flags, reserved, size, data);
        }
        Write w;
        w.text = MobiFlightProtocol::BlockText(static_cast<const std::uint8_t*>(data), size);
        w.begin = std::chrono::steady_clock::now();
        const SimConnectResult result =
            inner_.SetClientData(handle, area, defineId, flags, reserved, size, data);
        w.end = std::chrono::steady_clock::now();
        Note(writes_, std::move(w));
        return result;
    }

private:
    template <typename T>
    std::vector<T> Locked(const std::vector<T>& list) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return list;
    }
    template <typename T, typename V>
    void Note(std::vector<T>& list, V&& value) {
        std::lock_guard<std::mutex> lock(mutex_);
        list.push_back(std::forward<V>(value));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> opens_;
    std::vector<std::uint32_t> transmitted_;
    std::vector<Write> writes_;
};

}  // namespace tarnwick::test
