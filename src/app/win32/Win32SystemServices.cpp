#include <cstdio>

#include "app/SystemServices.h"
#include "app/win32/WinApi.h"

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
        if (mutex == nullptr) {
            return InstanceLock::Unavailable;
        }
        return GetLastError() == ERROR_ALREADY_EXISTS ? InstanceLock::AlreadyRunning
                                                      : InstanceLock::Acquired;
    }

    void InstallConsoleStopHandler(std::atomic<bool>* stopFlag) override {
        g_consoleStopFlag.store(stopFlag);
        static const bool installed = SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE) != FALSE;
        (void)installed;
    }

private:
    // Runs on the thread the system creates for console control events: one atomic store.
    static BOOL WINAPI ConsoleCtrlHandler(DWORD ctrlType) {
        std::atomic<bool>* flag = g_consoleStopFlag.load();
        if (flag == nullptr || ctrlType > CTRL_CLOSE_EVENT) {
            return FALSE;  // the next handler (finally the system's) deals with it
        }
        flag->store(true);
        return TRUE;
    }

    static inline std::atomic<std::atomic<bool>*> g_consoleStopFlag{nullptr};
};

}  // namespace

std::unique_ptr<SystemServices> CreatePlatformSystemServices() {
    return std::make_unique<Win32SystemServices>();
}

}  // namespace tarnwick
