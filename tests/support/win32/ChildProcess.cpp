#include "support/ChildProcess.h"

#include <optional>

#include "platform/win32/WinApi.h"

namespace tarnwick::test {
namespace {

// The usual quoting of one argument for CommandLineToArgvW and the C runtime's parser.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    return quoted.append(backslashes * 2, '\\') + '"';
}

HANDLE OpenForChild(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    HANDLE inputWriter = nullptr;  // the pipe's end that keeps a kept-open input open
};

BackgroundChild::Handle Launch(const std::string& program, const std::vector<std::string>& args,
                               const ChildOptions& options, const std::string& streams) {
    BackgroundChild::Handle child(new BackgroundChild::Impl);
    HANDLE in = INVALID_HANDLE_VALUE;
    if (options.keepInputOpen) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (CreatePipe(&in, &child->inputWriter, &inherit, 0)) {
            SetHandleInformation(child->inputWriter, HANDLE_FLAG_INHERIT, 0);
            DWORD written = 0;
            WriteFile(child->inputWriter, options.input.data(),
                      static_cast<DWORD>(options.input.size()), &written, nullptr);
        }
    } else {
        in = OpenForChild(streams + ".in", false);
    }
    std::string commandLine = Quote(program);
    for (const auto& arg : args) {
        commandLine.append(1, ' ').append(Quote(arg));
    }
    std::map<std::string, std::optional<std::string>> former;
    for (const auto& [name, value] : options.env) {
        former[name] = SetVariable(name, value.c_str());
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = OpenForChild(streams + ".out", true);
    startup.hStdError = OpenForChild(streams + ".err", true);
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
    return child->process != nullptr ? std::move(child) : nullptr;
}

int WaitForExit(BackgroundChild::Impl& child, std::chrono::milliseconds timeout) {
    DWORD code = 0;
    return WaitForSingleObject(child.process, static_cast<DWORD>(timeout.count())) ==
                       WAIT_OBJECT_0 &&
                   GetExitCodeProcess(child.process, &code)
               ? static_cast<int>(code)
               : -1;
}

void BackgroundChild::Release::operator()(Impl* child) const {
    if (child->process != nullptr && WaitForSingleObject(child->process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(child->process, 0xFF);
        WaitForSingleObject(child->process, 5000);
    }
    for (HANDLE handle : {child->process, child->inputWriter}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    delete child;
}

std::string CurrentExecutablePath() {
    char buffer[MAX_PATH] = {};
    return std::string(buffer, GetModuleFileNameA(nullptr, buffer, MAX_PATH));
}

}  // namespace tarnwick::test
