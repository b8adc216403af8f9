#include "platform/Threads.h"

#include <cstddef>
#include <iterator>

#include "platform/win32/WinApi.h"

namespace tarnwick::platform {

void AllowRaisedPriority(bool) {}

void RaiseCurrentThreadPriority() {
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}

void NameCurrentThread(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on; looked up at run time so that the
    // program still starts on older systems.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) {
        return;
    }
    // Through void(*)(), as GetProcAddress's generic pointer is meant to be cast.
    const auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
    if (set == nullptr) {
        return;
    }
    wchar_t wide[32] = {};
    for (std::size_t i = 0; i + 1 < std::size(wide) && name[i] != '\0'; ++i) {
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    }
    (void)set(GetCurrentThread(), wide);
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
