#include "platform/Clock.h"

namespace tarnwick {
namespace {

class SteadyClock final : public Clock {
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }
    void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) const override {
        cv.wait(lock);
    }
    void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   TimePoint deadline) const override {
        cv.wait_until(lock, deadline);
    }
};

}  // namespace

const Clock& Clock::Steady() {
    static const SteadyClock clock;
    return clock;
}

}  // namespace tarnwick
