#include "platform/Threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace tarnwick::platform {
namespace {

std::atomic<bool> raiseAllowed{false};
// Linux gives every thread a nice value of its own; five steps weigh a thread about three times
// a normal one.
constexpr int kRaisedNice = -5;

}  // namespace

void AllowRaisedPriority(bool allowed) {
    raiseAllowed.store(allowed);
}

void RaiseCurrentThreadPriority() {
    if (!raiseAllowed.load()) {
        return;
    }
#if defined(__linux__)
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    (void)setpriority(PRIO_PROCESS, tid, kRaisedNice);
#endif
}

void NameCurrentThread(const char* name) {
#if defined(__linux__)
    (void)pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

std::chrono::nanoseconds CurrentThreadCpuTime() {
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace tarnwick::platform
