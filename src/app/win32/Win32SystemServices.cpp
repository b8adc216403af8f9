#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "app/SystemServices.h"
#include "log/Logger.h"
#include "platform/win32/WinApi.h"

#include <shlobj.h>
#include <tlhelp32.h>
#include <wchar.h>

namespace tarnwick {
namespace {

constexpr DWORD kPathBufferSize = MAX_PATH;  // 260

// A stream that the caller redirected to a file or a pipe stays as it is; anything else (no
// handle, or a console handle the C runtime did not pick up because a GUI-subsystem program
// starts without one) is reopened on the console.
bool IsRedirected(DWORD stdHandle) {
    const HANDLE handle = GetStdHandle(stdHandle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// Closes a snapshot handle on every path out.
class SnapshotHandle {
public:
    explicit SnapshotHandle(HANDLE handle) : handle_(handle) {}
    ~SnapshotHandle() {
        if (Valid()) {
            CloseHandle(handle_);
        }
    }
    SnapshotHandle(const SnapshotHandle&) = delete;
    SnapshotHandle& operator=(const SnapshotHandle&) = delete;

    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// Users report the 2024 process in lower case; file names compare case-insensitively anyway.
bool IsSimulatorExecutable(const wchar_t* name) {
    return _wcsicmp(name, L"FlightSimulator.exe") == 0 ||
           _wcsicmp(name, L"FlightSimulator2024.exe") == 0;
}

class Win32SystemServices final : public SystemServices {
public:
    void AttachParentConsole() override {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
            return;
        }
        // A parent that ignores Ctrl+C passes that on; our own handler must see it.
        SetConsoleCtrlHandler(nullptr, FALSE);
        // Reopening failures leave the stream as it was; console output is then simply lost.
        if (!IsRedirected(STD_OUTPUT_HANDLE)) {
            (void)std::freopen("CONOUT$", "w", stdout);
        }
        if (!IsRedirected(STD_ERROR_HANDLE)) {
            (void)std::freopen("CONOUT$", "w", stderr);
        }
        if (!IsRedirected(STD_INPUT_HANDLE)) {
            (void)std::freopen("CONIN$", "r", stdin);
        }
    }

    std::string ExecutablePath() override {
        char buffer[kPathBufferSize] = {};
        const DWORD length = GetModuleFileNameA(nullptr, buffer, kPathBufferSize);
        if (length == 0 || length == kPathBufferSize) {
            return {};
        }
        return std::string(buffer, length);
    }

    std::string CommonAppDataDirectory() override {
        char buffer[kPathBufferSize] = {};
        if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                    buffer))) {
            return {};
        }
        return buffer;
    }

    bool IsSimulatorProcessRunning() override {
        const SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot.Valid()) {
            return false;
        }
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
             more = Process32NextW(snapshot.Get(), &entry)) {
            if (IsSimulatorExecutable(entry.szExeFile)) {
                return true;
            }
        }
        return false;
    }

    InstanceLock AcquireSingleInstanceLock(const std::string& name) override {
        // Created owned and never closed: the system releases it when the process ends.
        const HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
        const DWORD error = mutex == nullptr ? GetLastError() : ERROR_SUCCESS;
        if (mutex == nullptr) {
            // An elevated first instance's mutex cannot be opened by a process that is not: it
            // runs all the same.
            return error == ERROR_ACCESS_DENIED ? InstanceLock::AlreadyRunning
                                                : InstanceLock::Unavailable;
        }
        return GetLastError() == ERROR_ALREADY_EXISTS ? InstanceLock::AlreadyRunning
                                                      : InstanceLock::Acquired;
    }

    void InstallConsoleStopHandler() override {
        // Manual reset, never closed: the handler may wait on it until the process ends.
        g_stopFinished.store(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    }

    void OrderlyStopFinished() override {
        if (const HANDLE finished = g_stopFinished.load()) {
            SetEvent(finished);
        }
    }

private:
    // Runs on the thread the system creates for console control events.
    static BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType) {
        if (ctrlType > CTRL_CLOSE_EVENT) {
            return FALSE;  // the next handler (finally the system's) deals with it
        }
        g_consoleStopRequested.store(true);
        const HANDLE finished = g_stopFinished.load();
        if (ctrlType == CTRL_CLOSE_EVENT && finished != nullptr) {
            // The system ends the process once this returns, and after about 5 s anyway: give
            // the orderly stop (boards dark, log complete) the time it needs.
            WaitForSingleObject(finished, kCloseWaitMs);
        }
        return TRUE;
    }

    static constexpr DWORD kCloseWaitMs = 4000;
    // Set once by InstallConsoleStopHandler; the event is never closed.
    static inline std::atomic<HANDLE> g_stopFinished{nullptr};
};

// Hexadecimal digits in upper case, without leading zeros.
std::string Hex(std::uint64_t value) {
    char digits[17] = {};
    const auto end = std::to_chars(digits, digits + 16, value, 16).ptr;
    std::string text(digits, end);
    for (char& c : text) {
        c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return text;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    DWORD code = 0;
    std::uint64_t address = 0;
    if (info != nullptr && info->ExceptionRecord != nullptr) {
        code = info->ExceptionRecord->ExceptionCode;
        address = reinterpret_cast<std::uintptr_t>(info->ExceptionRecord->ExceptionAddress);
    }
    Logger::Instance().LogFatal("Unhandled exception 0x" + Hex(code) + " at 0x" + Hex(address) +
                                "; exiting");
    EndProcessNow(code != 0 ? static_cast<int>(code) : 0xFF);
}

[[noreturn]] void OnTerminate() {
    Logger::Instance().LogFatal(TerminateMessage());
    EndProcessNow(3);  // the code abort() ends with
}

}  // namespace

std::unique_ptr<SystemServices> CreatePlatformSystemServices() {
    return std::make_unique<Win32SystemServices>();
}

void InstallCrashHandlers() {
    _set_error_mode(_OUT_TO_STDERR);
#if defined(_MSC_VER) || defined(_UCRT)
    _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
#endif
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(OnUnhandledException);
    std::set_terminate(OnTerminate);
}

void EndProcessNow(int exitCode) {
    std::fflush(stdout);
    std::fflush(stderr);
    // Not ExitProcess: it detaches the C runtime, whose stream teardown takes every stream lock.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    std::_Exit(exitCode);  // not reached
}

}  // namespace tarnwick
