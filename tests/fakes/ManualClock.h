// A clock the test moves by hand, for every component that takes a Clock.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

// Time moves only when the test says so, and only once every worker that runs on the clock waits
// on it: a worker that is busy when the test moves time would otherwise count its next deadline
// from the moved clock. The test names the number of workers (SetWorkers) while they run.
class ManualClock final : public Clock {
public:
    TimePoint Now() const override { return TimePoint(std::chrono::nanoseconds(now_.load())); }

    void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) const override {
        WaitUntil(cv, lock, TimePoint::max());
    }
    void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   TimePoint deadline) const override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            waiters_.push_back(Waiter{&cv, lock.mutex(), generation_});
        }
        if (Now() < deadline)
            cv.wait(lock);
        std::lock_guard<std::mutex> guard(mutex_);
        waiters_.erase(std::find_if(waiters_.begin(), waiters_.end(),
                                    [&](const Waiter& waiter) { return waiter.cv == &cv; }));
    }

    void SetWorkers(int workers) { workers_.store(workers); }

    void Advance(std::chrono::nanoseconds step) {
        Settle();
        now_.fetch_add(step.count());
        const std::vector<Waiter> woken = [this] {
            std::lock_guard<std::mutex> guard(mutex_);
            ++generation_;
            return waiters_;
        }();
        // Notified under the waiter's own lock: it holds that lock from its look at the time
        // until its wait begins, so the notification cannot fall in between.
        for (const Waiter& waiter : woken) {
            std::lock_guard<std::mutex> hold(*waiter.mutex);
            waiter.cv->notify_all();
        }
    }

    // Returns once every worker waits again, having looked at the time since the last Advance,
    // so that a test can tell "nothing happened" from "not yet".
    void Settle() const {
        EXPECT_TRUE(test::WaitUntil([this] {
            std::lock_guard<std::mutex> guard(mutex_);
            return std::count_if(waiters_.begin(), waiters_.end(), [this](const Waiter& waiter) {
                       return waiter.generation == generation_;
                   }) >= workers_.load();
        })) << "the workers never came to rest";
    }

private:
    struct Waiter {
        std::condition_variable* cv = nullptr;
        std::mutex* mutex = nullptr;
        std::uint64_t generation = 0;
    };

    // Starts far from the epoch: a time of 0 must not look special.
    std::atomic<std::int64_t> now_{std::chrono::nanoseconds(std::chrono::hours(1000)).count()};
    std::atomic<int> workers_{0};
    mutable std::mutex mutex_;
    mutable std::vector<Waiter> waiters_;
    std::uint64_t generation_ = 0;
};

}  // namespace tarnwick::test
