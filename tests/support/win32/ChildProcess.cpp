#include "support/ChildProcess.h"

#include <fstream>
#include <sstream>

#include "app/win32/WinApi.h"

namespace tarnwick::test {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

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

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env, const std::string& outputDir) {
    const std::string outPath = outputDir + "\\child.out";
    const std::string errPath = outputDir + "\\child.err";
    ChildResult result;
    HANDLE out = OpenForChild(outPath, true);
    HANDLE err = OpenForChild(errPath, true);
    HANDLE in = OpenForChild("NUL", false);

    std::string commandLine = Quote(program);
    for (const auto& arg : args) {
        commandLine.append(1, ' ').append(Quote(arg));
    }
    std::string environment = BuildEnvironment(env);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    startup.hStdInput = in;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW, environment.data(), nullptr, &startup, &process);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) {
            result.exitCode = static_cast<int>(code);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (HANDLE handle : {out, err, in}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    result.out = Slurp(outPath);
    result.err = Slurp(errPath);
    return result;
}

std::string CurrentExecutablePath() {
    char buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, length);
}

}  // namespace tarnwick::test
