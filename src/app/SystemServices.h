// The process services the program needs from the operating system, behind one small seam so
// that the portable core never sees an OS header. main picks the platform's backend.
#pragma once

#include <atomic>
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
    // store true into *stopFlag and nothing else; the run loop notices it. *stopFlag must live
    // until the process ends. Main thread, once.
    virtual void InstallConsoleStopHandler(std::atomic<bool>* stopFlag) = 0;
};

// The backend of the platform this was built for. Only main (and tests of the backend) call it.
std::unique_ptr<SystemServices> CreatePlatformSystemServices();

}  // namespace tarnwick
