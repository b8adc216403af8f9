// The bookkeeping of the MobiFlight client's command queue, without locks or threads: the client
// calls it under its own mutex and keeps the waiting, the registration and the writing.
// Requests come in three modes; the worker takes one entry at a time into its hand and either
// puts it back (not yet sendable) or finishes it (written). A connection change clears the queue
// and opens a new generation: whatever the worker still holds from an earlier one is not sent and
// does not come back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tarnwick {

enum class SendMode : int {
    Plain = 0,    // every request is one queue entry
    Dedupe = 1,   // a text already waiting in the queue is not queued again
    Counted = 2,  // requests of one text add up and travel as one entry with a count
};

class MobiFlightCommandQueue {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct Entry {
        std::string text;  // the whole command as written to the channel
        bool sendDummy = false;
        SendMode mode = SendMode::Plain;
        TimePoint enqueueTime{};
        std::uint64_t generation = 0;  // the connection the entry was queued in
    };

    enum class PushResult {
        Queued,   // a new entry waits: wake the worker
        Merged,   // clicks added to the entry of the text that waits or is in the worker's hand
        Dropped,  // a repeat of a waiting Dedupe text, or no clicks at all
    };

    // `count` is the number of clicks a Counted request adds; 0 or less queues nothing, in every
    // mode (a negative count would eat clicks that are still to come).
    PushResult Push(const std::string& text, SendMode mode, std::int32_t count, TimePoint now,
                    bool sendDummy = true);

    // The front entry, now in the worker's hand; empty when nothing waits.
    std::optional<Entry> Take();
    // The held entry could not be sent yet and goes back behind what waits, unless it was
    // cancelled meanwhile, a newer request of a Dedupe text waits, or its generation is over.
    // True when it was queued again.
    bool PutBack(Entry entry);
    // The held entry was written (or failed). A Counted text that gained clicks after its last
    // look queues again; true then.
    bool Finish(const Entry& entry);
    // The clicks of the held Counted entry still to write, now taken; 0 when none are left or
    // the entry belongs to an earlier generation.
    std::int32_t TakeClicks(const Entry& entry);
    // Cancel reached the held entry, or it belongs to an earlier generation.
    bool HeldWithdrawn(const Entry& entry) const;

    // Withdraws the waiting requests of `text` (entries and clicks not yet taken, also the
    // entry in the worker's hand); with `only`, just those made in that mode.
    void Cancel(const std::string& text, std::optional<SendMode> only = std::nullopt);
    // Empties everything and opens a new generation.
    void Clear();

    bool Empty() const { return queue_.empty(); }
    std::size_t Length() const { return queue_.size(); }
    std::size_t EntriesOf(const std::string& text) const;

private:
    struct CounterRecord {
        std::int32_t count = 0;
        bool queued = false;    // an entry for the text is in the queue
        bool inflight = false;  // the worker is working on the text
        TimePoint firstTime{};  // first request since the count was last 0
    };

    std::deque<Entry> queue_;
    std::unordered_set<std::string> pending_;  // Dedupe texts waiting in the queue
    std::unordered_map<std::string, CounterRecord> counters_;
    std::uint64_t generation_ = 0;
    // The entry the worker holds between taking it and finishing or putting it back, and whether
    // Cancel withdrew it meanwhile: an entry waiting in the worker's hand for registration or the
    // rate limit is still waiting, and a cancel must reach it too.
    std::string heldText_;
    SendMode heldMode_ = SendMode::Plain;
    bool heldCancelled_ = false;
};

}  // namespace tarnwick
