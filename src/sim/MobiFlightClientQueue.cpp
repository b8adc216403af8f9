// MobiFlightClient's requests: the three modes, the cancel and the command sent at once; and the
// worker's hand-over to the queue's bookkeeping as it puts an entry back or finishes it.
#include <optional>
#include <string>
#include <utility>

#include "sim/MobiFlightClient.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {

namespace mf = MobiFlightProtocol;

namespace {

// Refused when empty or too long for the command block.
Result RpnSendable(const std::string& rpn) {
    if (rpn.empty()) {
        return Result::Failure("Empty RPN command");
    }
    if (rpn.size() > mf::kMaxRpnText) {
        return Result::Failure("RPN command too long (" + std::to_string(rpn.size()) +
                               " bytes, at most " + std::to_string(mf::kMaxRpnText) + ")");
    }
    return Result::Success();
}

}  // namespace

// --- Requests ---------------------------------------------------------------------------------

Result MobiFlightClient::Available() const {
    if (!enabled_) {
        return Result::Failure("MobiFlight disabled");
    }
    if (!running_) {
        return Result::Failure("MobiFlight not running");
    }
    return Result::Success();
}

Result MobiFlightClient::QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count) {
    Result accepted = Available();
    if (accepted) {
        accepted = RpnSendable(rpn);
    }
    if (!accepted) {
        return accepted;
    }
    const std::string text = mf::RpnCommand(rpn);
    const TimePoint now = Now();
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (queue_.Push(text, mode, count, now, text != mf::kDummyCommand) ==
        MobiFlightCommandQueue::PushResult::Queued) {
        lock.unlock();
        queueCv_.notify_one();
    }
    return Result::Success();
}

Result MobiFlightClient::SendRpnNow(const std::string& rpn) {
    Result available = Available();
    if (!available) {
        return available;
    }
    if (!simConnected_) {
        return Result::Failure("SimConnect is not connected");
    }
    if (!registered_) {
        return Result::Failure("MobiFlight not ready");
    }
    Result sendable = RpnSendable(rpn);
    if (!sendable) {
        return sendable;
    }
    CommandEntry entry;
    entry.text = mf::RpnCommand(rpn);
    entry.sendDummy = true;
    entry.mode = SendMode::Dedupe;
    entry.enqueueTime = Now();
    // The write's own reason is already logged ("MobiFlight send failed: TEXT").
    return SendEntry(entry) ? Result::Success() : Result::Failure("MobiFlight write failed");
}

void MobiFlightClient::CancelRpn(const std::string& rpn, std::optional<SendMode> only) {
    if (rpn.empty()) {
        return;
    }
    const std::string text = mf::RpnCommand(rpn);
    std::lock_guard<std::mutex> lock(stateMutex_);
    queue_.Cancel(text, only);
}

std::size_t MobiFlightClient::QueueLength() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return queue_.Length();
}

std::size_t MobiFlightClient::QueuedEntries(const std::string& rpn) const {
    const std::string text = mf::RpnCommand(rpn);
    std::lock_guard<std::mutex> lock(stateMutex_);
    return queue_.EntriesOf(text);
}

// --- The worker's side -----------------------------------------------------------------------

void MobiFlightClient::PutBack(CommandEntry entry) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (queue_.PutBack(std::move(entry))) {
        lock.unlock();
        queueCv_.notify_one();
    }
}

void MobiFlightClient::FinishSend(const CommandEntry& entry) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (queue_.Finish(entry)) {
        lock.unlock();
        queueCv_.notify_one();
    }
}

bool MobiFlightClient::HeldEntryWithdrawn(const CommandEntry& entry) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return queue_.HeldWithdrawn(entry);
}

}  // namespace tarnwick
