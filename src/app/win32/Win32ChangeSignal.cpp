// The configuration folders' change notifications on Windows: one notification handle per folder
// and an event for Wake, waited on together with the period as the time-out.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "app/ConfigWatcher.h"
#include "config/PathText.h"
#include "platform/win32/WinApi.h"

namespace tarnwick {
namespace {

class Win32ChangeSignal final : public FileChangeSignal {
public:
    explicit Win32ChangeSignal(const Clock& clock)
        : clock_(clock), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Win32ChangeSignal() override {
        Close();
        if (wake_ != nullptr) {
            CloseHandle(wake_);
        }
    }
    Win32ChangeSignal(const Win32ChangeSignal&) = delete;
    Win32ChangeSignal& operator=(const Win32ChangeSignal&) = delete;

    Result Open(const std::vector<std::string>& folders) override {
        Close();
        for (const std::string& folder : std::set<std::string>(folders.begin(), folders.end())) {
            const std::wstring wide = ToFsPath(folder.empty() ? "." : folder).wstring();
            // A replaced file shows as a name change; an edit in place as a write or a new size.
            const HANDLE handle = FindFirstChangeNotificationW(wide.c_str(), FALSE,
                                                               FILE_NOTIFY_CHANGE_FILE_NAME |
                                                                   FILE_NOTIFY_CHANGE_SIZE |
                                                                   FILE_NOTIFY_CHANGE_LAST_WRITE);
            if (handle == INVALID_HANDLE_VALUE) {
                Close();
                return Result::Failure("Cannot watch " + folder);
            }
            changes_.push_back(handle);
        }
        return Result::Success();
    }

    void WaitUntil(Clock::TimePoint deadline) override {
        std::vector<HANDLE> handles{wake_};
        handles.insert(handles.end(), changes_.begin(), changes_.end());
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_.Now());
        const DWORD timeout = static_cast<DWORD>(std::max<std::int64_t>(left.count(), 0));
        const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                   handles.data(), FALSE, timeout);
        if (which == WAIT_FAILED) {
            Sleep(timeout);  // no busy loop when the handles cannot be waited on
        } else if (which > WAIT_OBJECT_0 && which < WAIT_OBJECT_0 + handles.size()) {
            const HANDLE changed = handles[which - WAIT_OBJECT_0];
            // A folder that went away (deleted, its drive gone) cannot be watched again: its
            // handle would stay signalled and turn the wait into a busy loop. The once-a-second
            // look still covers the files.
            if (!FindNextChangeNotification(changed)) {
                FindCloseChangeNotification(changed);
                std::erase(changes_, changed);
            }
        }
    }

    void Wake() override { SetEvent(wake_); }

    void Close() override {
        for (const HANDLE handle : changes_) {
            FindCloseChangeNotification(handle);
        }
        changes_.clear();
    }

private:
    const Clock& clock_;
    HANDLE wake_;
    std::vector<HANDLE> changes_;
};

}  // namespace

std::unique_ptr<FileChangeSignal> CreateWin32ChangeSignal(const Clock& clock) {
    return std::make_unique<Win32ChangeSignal>(clock);
}

}  // namespace tarnwick
