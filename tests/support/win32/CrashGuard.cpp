#include <cstdio>

#include "platform/win32/WinApi.h"

namespace tarnwick::test {
namespace {

// Under Wine an unhandled exception starts the debugger, and the process then sometimes exits
// with 0. Terminating here with the low byte of the code (never 0) makes a crash a failure.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    const DWORD code = info != nullptr && info->ExceptionRecord != nullptr
                           ? info->ExceptionRecord->ExceptionCode
                           : 0xFFu;
    std::fprintf(stderr, "FATAL: unhandled exception 0x%08lX\n", static_cast<unsigned long>(code));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), (code & 0xFFu) != 0 ? code : 0xFFu);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashGuard() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(OnUnhandledException);
}

}  // namespace tarnwick::test
