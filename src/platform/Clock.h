// The time every timing rule of the program is measured with, and the waits that go with it.
// Every wait of a worker that runs on a clock goes through it, timed or not, so that a hand-moved
// test clock knows when all of them are idle and moves time only then.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarnwick {

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual TimePoint Now() const = 0;
    // Waits on `cv` with `lock` held on entry and on return, until notified. May return early,
    // so callers test their condition again.
    virtual void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) const = 0;
    // Waits on `cv` with `lock` held on entry and on return, until notified or until Now()
    // reaches `deadline`. May return early without either, so callers test their condition
    // again.
    virtual void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           TimePoint deadline) const = 0;

    // The steady clock, with plain condition-variable deadlines. Lives as long as the process.
    static const Clock& Steady();
};

}  // namespace tarnwick
