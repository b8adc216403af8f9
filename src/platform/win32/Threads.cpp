#include "platform/Threads.h"

#include "platform/win32/WinApi.h"

namespace tarnwick::platform {

void AllowRaisedPriority(bool) {}

void RaiseCurrentThreadPriority() {
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}

std::chrono::nanoseconds CurrentThreadCpuTime() {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        return std::chrono::nanoseconds(0);
    }
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    // FILETIME counts 100 ns units.
    return std::chrono::nanoseconds(static_cast<long long>((ticks(kernel) + ticks(user)) * 100));
}

}  // namespace tarnwick::platform
