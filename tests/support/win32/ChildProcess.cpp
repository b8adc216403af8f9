#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <fstream>

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
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

HANDLE OpenForChild(const std::string& path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The environment block of this process with `env` applied, sorted as Windows expects.
std::string BuildEnvironment(const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> merged;
    char* block = GetEnvironmentStringsA();
    for (const char* entry = block; entry != nullptr && *entry != '\0';
         entry += std::char_traits<char>::length(entry) + 1) {
        const std::string text(entry);
        const size_t eq = text.find('=', 1);  // "=C:=C:\..." entries start with '='
        if (eq != std::string::npos) {
            merged[text.substr(0, eq)] = text.substr(eq + 1);
        }
    }
    FreeEnvironmentStringsA(block);
    for (const auto& [name, value] : env) {
        merged[name] = value;
    }
    std::string result;
    for (const auto& [name, value] : merged) {
        result.append(name).append(1, '=').append(value).append(1, '\0');
    }
    result += '\0';
    return result;
}

}  // namespace

struct BackgroundChild::Impl {
    HANDLE process = nullptr;
    HANDLE inputWriter = nullptr;  // the pipe's end that keeps a kept-open input open
    bool ended = false;
    int exitCode = -1;
    std::string outPath;
    std::string errPath;
    std::chrono::steady_clock::time_point start;
};

BackgroundChild::BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                                 const ChildOptions& options)
    : impl_(std::make_unique<Impl>()) {
    impl_->outPath = options.outputDir + "\\child.out";
    impl_->errPath = options.outputDir + "\\child.err";
    const std::string inPath = options.outputDir + "\\child.in";
    std::ofstream(inPath, std::ios::binary) << options.input;
    HANDLE out = OpenForChild(impl_->outPath, true);
    HANDLE err = OpenForChild(impl_->errPath, true);
    HANDLE in = INVALID_HANDLE_VALUE;
    if (options.keepInputOpen) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE writer = nullptr;
        if (CreatePipe(&in, &writer, &inherit, 0)) {
            SetHandleInformation(writer, HANDLE_FLAG_INHERIT, 0);
            DWORD written = 0;
            WriteFile(writer, options.input.data(), static_cast<DWORD>(options.input.size()),
                      &written, nullptr);
            impl_->inputWriter = writer;
        }
    } else {
        in = OpenForChild(inPath, false);
    }

    std::string commandLine = Quote(program);
    for (const auto& arg : args) {
        commandLine.append(1, ' ').append(Quote(arg));
    }
    std::string environment = BuildEnvironment(options.env);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    startup.hStdInput = in;
    PROCESS_INFORMATION process{};
    impl_->start = std::chrono::steady_clock::now();
    if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW, environment.data(), nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        impl_->process = process.hProcess;
    }
    for (HANDLE handle : {out, err, in}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
}

BackgroundChild::~BackgroundChild() {
    Kill();
    if (impl_->inputWriter != nullptr) {
        CloseHandle(impl_->inputWriter);
    }
    if (impl_->process != nullptr) {
        CloseHandle(impl_->process);
    }
}

bool BackgroundChild::Started() const { return impl_->process != nullptr; }

void BackgroundChild::Type(const std::string& text) {
    if (impl_->inputWriter != nullptr) {
        DWORD written = 0;
        WriteFile(impl_->inputWriter, text.data(), static_cast<DWORD>(text.size()), &written,
                  nullptr);
    }
}

ChildResult BackgroundChild::Wait(std::chrono::milliseconds timeout) {
    ChildResult result;
    if (impl_->process != nullptr && !impl_->ended &&
        WaitForSingleObject(impl_->process, static_cast<DWORD>(timeout.count())) ==
            WAIT_OBJECT_0) {
        DWORD code = 0;
        impl_->ended = true;
        impl_->exitCode = GetExitCodeProcess(impl_->process, &code) ? static_cast<int>(code) : -1;
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - impl_->start);
    result.exitCode = impl_->ended ? impl_->exitCode : -1;
    result.out = FileBytes(impl_->outPath);
    result.err = FileBytes(impl_->errPath);
    return result;
}

void BackgroundChild::Kill() {
    if (impl_ != nullptr && impl_->process != nullptr && !impl_->ended) {
        TerminateProcess(impl_->process, 0xFF);
        WaitForSingleObject(impl_->process, 5000);
        impl_->ended = true;
        impl_->exitCode = -1;
    }
}

std::string CurrentExecutablePath() {
    char buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, length);
}

}  // namespace tarnwick::test
