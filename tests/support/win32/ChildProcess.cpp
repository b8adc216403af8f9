#include "support/ChildProcess.h"

#include <optional>
#include <utility>

#include "platform/win32/WinApi.h"
#include "support/TestSupport.h"

namespace tarnwick::test {
namespace {

SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

HANDLE OpenForChild(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Sets a variable in this process (which the child inherits); returns its former value.
std::optional<std::string> SetVariable(const std::string& name, const char* value) {
    char former[32768];
    const DWORD length = GetEnvironmentVariableA(name.c_str(), former, sizeof former);
    SetEnvironmentVariableA(name.c_str(), value);
    return length != 0 ? std::optional<std::string>(former) : std::nullopt;
}

}  // namespace

struct BackgroundChild::Impl {
    HANDLE process = nullptr;
    HANDLE inputWriter = nullptr;  // the input pipe's end, open while the input is kept open
};

BackgroundChild::BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                                 const ChildOptions& options)
    : impl_(std::make_unique<Impl>()), streams_(options.outputDir + "/child") {
    Impl* child = impl_.get();
    HANDLE in = INVALID_HANDLE_VALUE;
    if (CreatePipe(&in, &child->inputWriter, &inherit, 0)) {
        SetHandleInformation(child->inputWriter, HANDLE_FLAG_INHERIT, 0);
        DWORD written = 0;
        WriteFile(child->inputWriter, options.input.data(),
                  static_cast<DWORD>(options.input.size()), &written, nullptr);
    }
    // The tests' arguments hold no quotes and end in no backslash: quoting them whole is enough.
    std::string commandLine = '"' + program + '"';
    for (const auto& arg : args) {
        commandLine.append(" \"").append(arg).append(1, '"');
    }
    std::map<std::string, std::optional<std::string>> former;
    for (const auto& [name, value] : options.env) {
        former[name] = SetVariable(name, value.c_str());
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = OpenForChild(streams_ + ".out");
    startup.hStdError = OpenForChild(streams_ + ".err");
    PROCESS_INFORMATION process{};
    if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        child->process = process.hProcess;
    }
    for (const auto& [name, value] : former) {
        SetVariable(name, value ? value->c_str() : nullptr);
    }
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    if (!options.keepInputOpen && child->inputWriter != nullptr) {
        CloseHandle(std::exchange(child->inputWriter, nullptr));
    }
}

BackgroundChild::~BackgroundChild() {
    if (impl_->process != nullptr && WaitForSingleObject(impl_->process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(impl_->process, 0xFF);
        WaitForSingleObject(impl_->process, 5000);
    }
    for (HANDLE handle : {impl_->process, impl_->inputWriter}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

ChildResult BackgroundChild::Wait(std::chrono::milliseconds timeout) {
    DWORD code = 0;
    const bool ended =
        impl_->process != nullptr &&
        WaitForSingleObject(impl_->process, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(impl_->process, &code);
    return {ended ? static_cast<int>(code) : -1, FileBytes(streams_ + ".out"),
            FileBytes(streams_ + ".err")};
}

std::string CurrentExecutablePath() {
    char buffer[MAX_PATH] = {};
    return std::string(buffer, GetModuleFileNameA(nullptr, buffer, MAX_PATH));
}

}  // namespace tarnwick::test
