// Recording fakes of the mapping engine's three ports: every call is kept for assertions, a chosen
// send can be made to fail, and the command port can hold the event worker up (CloseGate).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "mapping/MappingPorts.h"
#include "platform/Clock.h"

namespace tarnwick::test {

struct LedWrite {
    PanelBoard board;
    HidProtocol::LedState state;
};

class FakeLeds final : public LedOutputPort {
public:
    void SetDevices(std::vector<PanelBoard> boards) {
        std::lock_guard<std::mutex> lock(mutex_);
        boards_ = std::move(boards);
    }
    std::vector<PanelBoard> ListDevices() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++listCalls_;
        return boards_;
    }
    bool SendLedState(const PanelBoard& board, const HidProtocol::LedState& state) override {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.push_back(LedWrite{board, state});
        return true;
    }
    void InvalidateLedState(const PanelBoard& board) override {
        std::lock_guard<std::mutex> lock(mutex_);
        invalidated_.push_back(board);
    }

    int ListCalls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return listCalls_;
    }
    std::vector<LedWrite> Writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    std::vector<PanelBoard> Invalidated() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return invalidated_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.clear();
        listCalls_ = 0;
    }

private:
    mutable std::mutex mutex_;
    std::vector<PanelBoard> boards_;
    std::vector<LedWrite> writes_;
    std::vector<PanelBoard> invalidated_;
    int listCalls_ = 0;
};

struct RpnCall {
    enum class Kind { Queue, SendNow, Cancel };
    Kind kind = Kind::Queue;
    std::string rpn;
    SendMode mode = SendMode::Plain;
    std::int32_t count = 0;
    Clock::TimePoint time{};  // not compared
    friend bool operator==(const RpnCall& a, const RpnCall& b) {
        return a.kind == b.kind && a.rpn == b.rpn && a.mode == b.mode && a.count == b.count;
    }
    friend std::ostream& operator<<(std::ostream& out, const RpnCall& call) {
        return out << static_cast<int>(call.kind) << "(" << call.rpn << ", "
                   << static_cast<int>(call.mode) << ", " << call.count << ")";
    }
};

inline RpnCall Queued(std::string rpn, SendMode mode, std::int32_t count) {
    return RpnCall{RpnCall::Kind::Queue, std::move(rpn), mode, count, {}};
}
inline RpnCall SentNow(std::string rpn) {
    return RpnCall{RpnCall::Kind::SendNow, std::move(rpn), SendMode::Plain, 0, {}};
}
inline RpnCall Cancelled(std::string rpn) {
    return RpnCall{RpnCall::Kind::Cancel, std::move(rpn), SendMode::Plain, 0, {}};
}

// Always registered. Each call is stamped with the clock's time.
class FakeCommands final : public RpnCommandPort {
public:
    explicit FakeCommands(const Clock& clock) : clock_(clock) {}

    bool IsRegistered() override { return true; }
    Result QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count) override {
        std::unique_lock<std::mutex> lock(mutex_);
        gateCv_.wait(lock, [this] { return !gateClosed_; });
        return Record(Queued(rpn, mode, count), queueError_);
    }
    Result SendRpnNow(const std::string& rpn) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return Record(SentNow(rpn), sendError_);
    }
    void CancelHoldRepeats(const std::string& rpn) override {
        std::lock_guard<std::mutex> lock(mutex_);
        (void)Record(Cancelled(rpn), {});
    }

    // From now on QueueRpn or SendRpnNow fails with `error` (empty: succeeds).
    void FailQueue(std::string error) {
        std::lock_guard<std::mutex> lock(mutex_);
        queueError_ = std::move(error);
    }
    void FailSendNow(std::string error) {
        std::lock_guard<std::mutex> lock(mutex_);
        sendError_ = std::move(error);
    }
    // While closed, QueueRpn blocks: the event worker stops and its queue builds up.
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
    std::size_t Count() const { return Calls().size(); }

private:
    // Under mutex_.
    Result Record(RpnCall call, const std::string& error) {
        call.time = clock_.Now();
        calls_.push_back(std::move(call));
        return error.empty() ? Result::Success() : Result::Failure(error);
    }

    const Clock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable gateCv_;
    bool gateClosed_ = false;
    std::string queueError_;
    std::string sendError_;
    std::vector<RpnCall> calls_;
};

// Always connected.
class FakeSimEvents final : public SimEventPort {
public:
    bool IsConnected() override { return true; }
    Result TransmitEvent(const std::string& eventName, std::uint32_t value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.emplace_back(eventName, value);
        return error_.empty() ? Result::Success() : Result::Failure(error_);
    }
    void Fail(std::string error) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::move(error);
    }
    std::vector<std::pair<std::string, std::uint32_t>> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::string error_;
    std::vector<std::pair<std::string, std::uint32_t>> events_;
};

}  // namespace tarnwick::test
