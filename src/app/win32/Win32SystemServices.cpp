#include <cstdio>

#include "app/SystemServices.h"
#include "app/win32/WinApi.h"

#include <shlobj.h>

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
};

}  // namespace

std::unique_ptr<SystemServices> CreatePlatformSystemServices() {
    return std::make_unique<Win32SystemServices>();
}

}  // namespace tarnwick
