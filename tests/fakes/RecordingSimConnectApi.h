// A SimConnect library that passes every call on and notes what the program asked of it: the
// names it opened under, the client events it mapped and sent, and the text of every write to a
// MobiFlight command area with the time it returned. A write of a chosen text can be held inside
// the call until the test releases it.
#pragma once

#include <chrono>
#include <condition_variable>
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
    // (client event number, simulator event name) of every mapping; numbers of every transmit.
    std::vector<std::pair<std::uint32_t, std::string>> Mappings() const { return Locked(maps_); }
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

    // The next write of `text` stops inside the call until Release; WaitHeld waits up to 10 s.
    void HoldNextWriteOf(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        holdText_ = text;
        held_ = released_ = false;
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

    SimConnectResult Open(SimConnectHandle& handle, const char* name) override {
        Note(opens_, std::string(name));
        return inner_.Open(handle, name);
    }
    SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle, std::uint32_t id,
                                              const char* name) override {
        Note(maps_, std::make_pair(id, std::string(name)));
        return inner_.MapClientEventToSimEvent(handle, id, name);
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
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!holdText_.empty() && w.text == holdText_) {
                holdText_.clear();
                held_ = true;
                cv_.notify_all();
                cv_.wait(lock, [this] { return released_; });
            }
        }
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
    std::condition_variable cv_;
    std::vector<std::string> opens_;
    std::vector<std::pair<std::uint32_t, std::string>> maps_;
    std::vector<std::uint32_t> transmitted_;
    std::vector<Write> writes_;
    std::string holdText_;
    bool held_ = false;
    bool released_ = false;
};

}  // namespace tarnwick::test
