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

// Empty or too long for the command block: false with the reason.
bool RpnSendable(const std::string& rpn, std::string& errorText) {
    if (rpn.empty()) {
        errorText = "Empty RPN command";
        return false;
    }
    if (rpn.size() > mf::kMaxRpnText) {
        errorText = "RPN command too long (" + std::to_string(rpn.size()) + " bytes, at most " +
                    std::to_string(mf::kMaxRpnText) + ")";
        return false;
    }
    return true;
}

}  // namespace

// --- Requests ---------------------------------------------------------------------------------

bool MobiFlightClient::Available(std::string& errorText) const {
    if (!enabled_) {
        errorText = "MobiFlight disabled";
        return false;
    }
    if (!running_) {
        errorText = "MobiFlight not running";
        return false;
    }
    return true;
}

bool MobiFlightClient::QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count,
                                std::string& errorText) {
    if (!Available(errorText) || !RpnSendable(rpn, errorText)) {
        return false;
    }
    const std::string text = mf::RpnCommand(rpn);
    const TimePoint now = Now();
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (queue_.Push(text, mode, count, now, text != mf::kDummyCommand) ==
        MobiFlightCommandQueue::PushResult::Queued) {
        lock.unlock();
        queueCv_.notify_one();
    }
    return true;
}

bool MobiFlightClient::SendRpnNow(const std::string& rpn, std::string& errorText) {
    if (!Available(errorText)) {
        return false;
    }
    if (!simConnected_) {
        errorText = "SimConnect is not connected";
        return false;
    }
    if (!registered_) {
        errorText = "MobiFlight not ready";
        return false;
    }
    if (!RpnSendable(rpn, errorText)) {
        return false;
    }
    CommandEntry entry;
    entry.text = mf::RpnCommand(rpn);
    entry.sendDummy = true;
    entry.mode = SendMode::Dedupe;
    entry.enqueueTime = Now();
    return SendEntry(entry);
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
