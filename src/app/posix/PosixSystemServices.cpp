#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <system_error>

#include "app/SystemServices.h"

#if defined(TARNWICK_COVERAGE)
extern "C" void __gcov_dump(void);
#endif
#include "log/Logger.h"

namespace tarnwick {
namespace {

// Async-signal-safe: a lock-free atomic store and nothing else.
extern "C" void OnStopSignal(int) {
    g_consoleStopRequested.store(true);
}

[[noreturn]] void OnTerminate() {
    Logger::Instance().LogFatal(TerminateMessage());
    EndProcessNow(3);
}

// A lock file name from the lock's name: letters, digits, '.', '-' and '_' kept, the rest '_'.
std::string LockFileName(const std::string& name) {
    std::string file;
    for (char c : name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        file.push_back(keep ? c : '_');
    }
    return file + ".lock";
}

// Enough process services for the native build to run the virtual cockpit and the one-shot
// commands: there is no console to attach to and no machine-wide data folder.
class PosixSystemServices final : public SystemServices {
public:
    void AttachParentConsole() override {}

    std::string ExecutablePath() override {
        std::error_code ec;
        const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::string() : path.string();
    }

    std::string CommonAppDataDirectory() override { return {}; }

    // The simulator runs only on Windows; the virtual cockpit brings its own probe.
    bool IsSimulatorProcessRunning() override { return false; }

    // An advisory lock on a file in the temporary folder, held by the open descriptor until the
    // process ends: the nearest thing to a named mutex that also dies with its owner.
    InstanceLock AcquireSingleInstanceLock(const std::string& name) override {
        std::error_code ec;
        const auto folder = std::filesystem::temp_directory_path(ec);
        if (ec) {
            return InstanceLock::Unavailable;
        }
        const std::string path = (folder / LockFileName(name)).string();
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            return InstanceLock::Unavailable;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return InstanceLock::AlreadyRunning;
        }
        return InstanceLock::Acquired;  // the descriptor stays open on purpose
    }

    void InstallConsoleStopHandler() override {
        struct sigaction action = {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(signal, &action, nullptr);
        }
    }

    // Signals end the process only through the run loop; nothing waits for the stop.
    void OrderlyStopFinished() override {}
};

}  // namespace

std::unique_ptr<SystemServices> CreatePlatformSystemServices() {
    return std::make_unique<PosixSystemServices>();
}

// A crash ends with its signal as usual; only std::terminate gets a log line.
void InstallCrashHandlers() {
    std::set_terminate(OnTerminate);
}

void EndProcessNow(int exitCode) {
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(TARNWICK_COVERAGE)
    __gcov_dump();  // _Exit skips the handler that would write the counts
#endif
    std::_Exit(exitCode);
}

}  // namespace tarnwick
