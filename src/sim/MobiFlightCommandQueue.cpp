#include "sim/MobiFlightCommandQueue.h"

#include <limits>
#include <utility>

namespace tarnwick {

MobiFlightCommandQueue::PushResult MobiFlightCommandQueue::Push(const std::string& text,
                                                                SendMode mode, std::int32_t count,
                                                                TimePoint now, bool sendDummy) {
    if (count <= 0) {
        return PushResult::Dropped;
    }
    Entry entry;
    entry.text = text;
    entry.sendDummy = sendDummy;
    entry.mode = mode;
    entry.enqueueTime = now;
    entry.generation = generation_;
    switch (mode) {
        case SendMode::Dedupe:
            if (!pending_.insert(text).second) {
                return PushResult::Dropped;
            }
            break;
        case SendMode::Counted: {
            CounterRecord& record = counters_[text];
            if (record.count == 0) {
                record.firstTime = now;
            }
            // Saturates rather than overflowing; two billion clicks are as many as anyone turns.
            const std::int32_t room = std::numeric_limits<std::int32_t>::max() - record.count;
            record.count += count < room ? count : room;
            if (record.queued || record.inflight) {
                return PushResult::Merged;
            }
            entry.enqueueTime = record.firstTime;
            record.queued = true;
            break;
        }
        case SendMode::Plain:
            break;
    }
    queue_.push_back(std::move(entry));
    return PushResult::Queued;
}

std::optional<MobiFlightCommandQueue::Entry> MobiFlightCommandQueue::Take() {
    if (queue_.empty()) {
        return std::nullopt;
    }
    Entry entry = std::move(queue_.front());
    queue_.pop_front();
    heldText_ = entry.text;
    heldMode_ = entry.mode;
    heldCancelled_ = false;
    if (entry.mode == SendMode::Dedupe) {
        pending_.erase(entry.text);
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
    return entry;
}

bool MobiFlightCommandQueue::PutBack(Entry entry) {
    const bool cancelled = heldCancelled_;
    heldText_.clear();
    heldCancelled_ = false;
    if (entry.generation != generation_) {
        return false;  // the connection changed meanwhile: what was queued before is not sent
    }
    switch (entry.mode) {
        case SendMode::Dedupe:
            if (cancelled || !pending_.insert(entry.text).second) {
                return false;  // withdrawn, or a newer request of the same text is waiting
            }
            break;
        case SendMode::Counted: {
            auto rec = counters_.find(entry.text);
            if (rec == counters_.end()) {
                if (cancelled) {
                    return false;
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
                return false;
            }
            if (record.queued) {
                return false;
            }
            record.queued = true;
            break;
        }
        case SendMode::Plain:
            if (cancelled) {
                return false;
            }
            break;
    }
    queue_.push_back(std::move(entry));
    return true;
}

bool MobiFlightCommandQueue::Finish(const Entry& entry) {
    heldText_.clear();
    heldCancelled_ = false;
    if (entry.generation != generation_ || entry.mode != SendMode::Counted) {
        return false;  // nothing to settle, or the tables belong to a newer connection
    }
    const auto rec = counters_.find(entry.text);
    if (rec == counters_.end()) {
        return false;
    }
    CounterRecord& record = rec->second;
    record.inflight = false;
    if (record.count <= 0) {
        counters_.erase(rec);
        return false;
    }
    if (record.queued) {
        return false;
    }
    Entry again = entry;
    again.enqueueTime = record.firstTime;
    record.queued = true;
    queue_.push_back(std::move(again));
    return true;
}

std::int32_t MobiFlightCommandQueue::TakeClicks(const Entry& entry) {
    if (entry.generation != generation_) {
        return 0;  // the record now belongs to a newer connection
    }
    const auto rec = counters_.find(entry.text);
    if (rec == counters_.end() || rec->second.count <= 0) {
        return 0;
    }
    return std::exchange(rec->second.count, 0);
}

bool MobiFlightCommandQueue::HeldWithdrawn(const Entry& entry) const {
    // An entry of an earlier connection is not sent in a later one.
    return heldCancelled_ || entry.generation != generation_;
}

void MobiFlightCommandQueue::Cancel(const std::string& text, std::optional<SendMode> only) {
    auto withdraws = [&only](SendMode mode) { return !only || *only == mode; };
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

void MobiFlightCommandQueue::Clear() {
    queue_.clear();
    pending_.clear();
    counters_.clear();
    heldText_.clear();
    heldCancelled_ = false;
    ++generation_;
}

std::size_t MobiFlightCommandQueue::EntriesOf(const std::string& text) const {
    std::size_t n = 0;
    for (const Entry& entry : queue_) {
        n += entry.text == text ? 1 : 0;
    }
    return n;
}

}  // namespace tarnwick
