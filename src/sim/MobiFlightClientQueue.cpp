// MobiFlightClient's command queue: the requests of the three modes, the cancel, and the
// worker's bookkeeping as it takes an entry, puts it back or finishes it.
#include <limits>
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
    // A negative count would eat clicks that are still to come.
    if (count <= 0) {
        return true;
    }

    CommandEntry entry;
    entry.text = mf::RpnCommand(rpn);
    entry.needsRegistration = true;
    entry.sendDummy = entry.text != mf::kDummyCommand;
    entry.mode = mode;
    entry.enqueueTime = Now();

    std::unique_lock<std::mutex> lock(stateMutex_);
    switch (mode) {
        case SendMode::Dedupe:
            if (!pending_.insert(entry.text).second) {
                return true;
            }
            break;
        case SendMode::Counted: {
            CounterRecord& record = counters_[entry.text];
            if (record.count == 0) {
                record.firstTime = entry.enqueueTime;
            }
            // Saturates rather than overflowing; two billion clicks are as many as anyone turns.
            const std::int32_t room = std::numeric_limits<std::int32_t>::max() - record.count;
            record.count += count < room ? count : room;
            if (record.queued || record.inflight) {
                return true;
            }
            entry.enqueueTime = record.firstTime;
            record.queued = true;
            break;
        }
        case SendMode::Plain:
            break;
    }
    EnqueueLocked(std::move(entry));
    lock.unlock();
    queueCv_.notify_one();
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
    entry.needsRegistration = true;
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
    auto withdraws = [&only](SendMode mode) { return !only || *only == mode; };
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->text != text || !withdraws(it->mode)) {
            ++it;
            continue;
        }
        if (it->mode == SendMode::Dedupe) {
            pending_.erase(text);
        } else if (it->mode == SendMode::Counted) {
            const auto rec = counters_.find(text);
            if (rec != counters_.end()) {
                rec->second.queued = false;
                if (!rec->second.inflight && rec->second.count <= 0) {
                    counters_.erase(rec);
                }
            }
        }
        it = queue_.erase(it);
    }
    const auto rec = withdraws(SendMode::Counted) ? counters_.find(text) : counters_.end();
    if (rec != counters_.end()) {
        rec->second.count = 0;
        rec->second.firstTime = TimePoint{};
        if (!rec->second.queued && !rec->second.inflight) {
            counters_.erase(rec);
        }
    }
    if (heldText_ == text && withdraws(heldMode_)) {
        heldCancelled_ = true;
    }
}

std::size_t MobiFlightClient::QueueLength() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return queue_.size();
}

std::size_t MobiFlightClient::QueuedEntries(const std::string& rpn) const {
    const std::string text = mf::RpnCommand(rpn);
    std::lock_guard<std::mutex> lock(stateMutex_);
    std::size_t n = 0;
    for (const CommandEntry& entry : queue_) {
        n += entry.text == text ? 1 : 0;
    }
    return n;
}

// --- The worker's side -----------------------------------------------------------------------

void MobiFlightClient::TakeLocked(CommandEntry& entry) {
    heldText_ = entry.text;
    heldMode_ = entry.mode;
    heldCancelled_ = false;
    if (entry.mode == SendMode::Dedupe) {
        pending_.erase(entry.text);
        inflight_.insert(entry.text);
    } else if (entry.mode == SendMode::Counted) {
        const auto rec = counters_.find(entry.text);
        if (rec != counters_.end()) {
            rec->second.queued = false;
            rec->second.inflight = true;
            if (entry.enqueueTime == TimePoint{}) {
                entry.enqueueTime = rec->second.firstTime;
            }
        }
    }
}

void MobiFlightClient::PutBack(CommandEntry entry) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    const bool cancelled = heldCancelled_;
    heldText_.clear();
    heldCancelled_ = false;
    if (entry.spell != spell_) {
        return;  // the connection changed meanwhile: what was queued before is not sent
    }
    switch (entry.mode) {
        case SendMode::Dedupe:
            inflight_.erase(entry.text);
            if (cancelled || pending_.count(entry.text) != 0) {
                return;  // withdrawn, or a newer request of the same text is waiting
            }
            pending_.insert(entry.text);
            break;
        case SendMode::Counted: {
            auto rec = counters_.find(entry.text);
            if (rec == counters_.end()) {
                if (cancelled) {
                    return;
                }
                rec = counters_.emplace(entry.text, CounterRecord{}).first;
            }
            CounterRecord& record = rec->second;
            record.inflight = false;
            if (cancelled && record.count <= 0) {
                // Withdrawn, and no click came after the cancel.
                if (!record.queued) {
                    counters_.erase(rec);
                }
                return;
            }
            if (record.queued) {
                return;
            }
            record.queued = true;
            break;
        }
        case SendMode::Plain:
            if (cancelled) {
                return;
            }
            break;
    }
    queue_.push_back(std::move(entry));
    lock.unlock();
    queueCv_.notify_one();
}

void MobiFlightClient::FinishSend(const CommandEntry& entry) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    heldText_.clear();
    heldCancelled_ = false;
    if (entry.spell != spell_) {
        return;  // the tables belong to a newer connection
    }
    if (entry.mode == SendMode::Dedupe) {
        inflight_.erase(entry.text);
        return;
    }
    if (entry.mode != SendMode::Counted) {
        return;
    }
    const auto rec = counters_.find(entry.text);
    if (rec == counters_.end()) {
        return;
    }
    CounterRecord& record = rec->second;
    record.inflight = false;
    if (record.count <= 0) {
        counters_.erase(rec);
        return;
    }
    if (record.queued) {
        return;
    }
    CommandEntry again = entry;
    again.enqueueTime = record.firstTime;
    record.queued = true;
    queue_.push_back(std::move(again));
    lock.unlock();
    queueCv_.notify_one();
}

bool MobiFlightClient::HeldEntryWithdrawn(const CommandEntry& entry) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    // An entry of an earlier connection is not sent in a later one.
    return heldCancelled_ || entry.spell != spell_;
}

// --- Queue helpers ----------------------------------------------------------------------------

void MobiFlightClient::ClearQueueLocked() {
    queue_.clear();
    pending_.clear();
    inflight_.clear();
    counters_.clear();
    heldText_.clear();
    heldCancelled_ = false;
    ++spell_;
}

void MobiFlightClient::EnqueueLocked(CommandEntry entry) {
    entry.spell = spell_;
    queue_.push_back(std::move(entry));
}

}  // namespace tarnwick
