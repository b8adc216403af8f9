// Recording fakes of the mapping engine's three ports. Each keeps its calls as lines ("queue TEXT
// MODE xN", "now TEXT", "cancel TEXT"; "EVENT=VALUE"; "list", "write BOARD#INDEX", "invalidate
// BOARD#INDEX") and fails the calls whose line starts with a chosen prefix; the command port can
// hold the event worker up.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mapping/MappingPorts.h"

namespace tarnwick::test {

class CallRecorder {
public:
    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::size_t Count(const std::string& prefix = "") const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(std::count_if(
            calls_.begin(), calls_.end(), [&](auto& c) { return c.rfind(prefix, 0) == 0; }));
    }
    // From now on the calls whose line starts with `prefix` fail with `error`.
    void Fail(const std::string& prefix, std::string error) {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.emplace_back(prefix, std::move(error));
    }

protected:
    Result Record(std::string call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
        for (const auto& [prefix, error] : failures_) {
            if (calls_.back().rfind(prefix, 0) == 0) {
                return Result::Failure(error);
            }
        }
        return Result::Success();
    }

    mutable std::mutex mutex_;

private:
    std::vector<std::string> calls_;
    std::vector<std::pair<std::string, std::string>> failures_;
};

// Always registered.
class FakeCommands final : public RpnCommandPort, public CallRecorder {
public:
    bool IsRegistered() override { return true; }
    Result QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count) override {
        static const char* const modes[] = {"plain", "dedupe", "counted"};
        std::unique_lock<std::mutex> lock(mutex_);
        gateCv_.wait(lock, [this] { return !gateClosed_; });
        lock.unlock();  // Record takes it again
        return Record("queue " + rpn + " " + modes[static_cast<int>(mode)] + " x" +
                      std::to_string(count));
    }
    Result SendRpnNow(const std::string& rpn) override { return Record("now " + rpn); }
    void CancelHoldRepeats(const std::string& rpn) override { (void)Record("cancel " + rpn); }
    // While the gate is shut, QueueRpn blocks: the event worker stops and its queue builds up.
    void SetGate(bool open) {
        std::lock_guard<std::mutex> lock(mutex_);
        gateClosed_ = !open;
        gateCv_.notify_all();
    }

private:
    std::condition_variable gateCv_;
    bool gateClosed_ = false;
};

// Always connected.
class FakeSimEvents final : public SimEventPort, public CallRecorder {
public:
    bool IsConnected() override { return true; }
    Result TransmitEvent(const std::string& eventName, std::uint32_t value) override {
        return Record(eventName + "=" + std::to_string(value));
    }
};

class FakeLeds final : public LedOutputPort, public CallRecorder {
public:
    explicit FakeLeds(std::vector<PanelBoard> boards) : boards_(std::move(boards)) {}
    std::vector<PanelBoard> ListDevices() override {
        (void)Record("list");
        return boards_;
    }
    bool SendLedState(const PanelBoard& board, const HidProtocol::LedState&) override {
        return Record("write " + board.name + "#" + std::to_string(board.index)).Ok();
    }
    void InvalidateLedState(const PanelBoard& board) override {
        (void)Record("invalidate " + board.name + "#" + std::to_string(board.index));
    }

private:
    const std::vector<PanelBoard> boards_;
};

}  // namespace tarnwick::test
