// The process services the program needs from the operating system, behind one small seam so
// that the portable core never sees an OS header. main picks the platform's backend.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <string>

namespace tarnwick {

class SystemServices {
public:
    virtual ~SystemServices() = default;

    // Called once, first thing in main, on the main thread. When the process was started from a
    // console, points the standard streams that are not redirected to a file or pipe at it.
    virtual void AttachParentConsole() = 0;

    // Full path of the running executable; empty when the query fails or the path fills the
    // whole 260-character buffer (it may then be cut). Any thread.
    virtual std::string ExecutablePath() = 0;

    // The machine-wide application-data folder; empty when there is none or it cannot be
    // determined. Any thread.
    virtual std::string CommonAppDataDirectory() = 0;

    // Whether a simulator process runs: one whose executable is named "FlightSimulator.exe" or
    // "FlightSimulator2024.exe", in any letter case. A process list that cannot be taken reads
    // as "not running". Called by the SimConnect worker while it has no connection.
    virtual bool IsSimulatorProcessRunning() = 0;

    enum class InstanceLock {
        Acquired,        // this process is the one instance
        AlreadyRunning,  // another process holds the lock
        Unavailable,     // the lock could not be created: carry on as if alone
    };
    // Takes the system-wide single-instance lock of that name for the rest of the process's
    // life (the system releases it when the process ends). Main thread, once.
    virtual InstanceLock AcquireSingleInstanceLock(const std::string& name) = 0;

    // From now on Ctrl+C, Ctrl+Break and closing the console (on POSIX: SIGINT, SIGTERM, SIGHUP)
    // store true into ConsoleStopRequested() and nothing else; the run loop notices it. Closing
    // the console then waits up to about 4 s for OrderlyStopFinished, because the system ends the
    // process as soon as the handler returns. Main thread, once.
    virtual void InstallConsoleStopHandler() = 0;

    // The orderly stop is complete: a console-close handler waiting for it may return. Main
    // thread.
    virtual void OrderlyStopFinished() = 0;
};

// Set by the console stop handler. It lives as long as the process, so a handler that runs while
// main tears the bridge down never stores into freed memory; the Application polls it beside its
// own stop flag.
inline constinit std::atomic<bool> g_consoleStopRequested{false};

// The backend of the platform this was built for. Only main (and tests of the backend) call it.
std::unique_ptr<SystemServices> CreatePlatformSystemServices();

// Process-wide, before anything else runs: C runtime errors go to standard error, the system
// shows no error or crash dialog (a GUI-subsystem process would hang there, holding the
// single-instance lock), and a crash or std::terminate logs one ERROR line and ends the process
// at once (see EndProcessNow).
void InstallCrashHandlers();

// Flushes standard output and standard error and ends the process with exitCode, without the
// C runtime's teardown: a detached thread blocked in a console read holds the runtime's stdin
// lock, and the teardown would wait for it. The log must be shut down before.
[[noreturn]] void EndProcessNow(int exitCode);

// The ERROR line for std::terminate: names the exception in flight, if there is one.
inline std::string TerminateMessage() {
    std::string what = "no exception";
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
            what = "unknown exception";
        }
    }
    return "Terminated (" + what + "); exiting";
}

}  // namespace tarnwick
