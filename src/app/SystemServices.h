// The process services the program needs from the operating system, behind one small seam so
// that the portable core never sees an OS header. main picks the platform's backend.
#pragma once

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
};

// The backend of the platform this was built for. Only main (and tests of the backend) call it.
std::unique_ptr<SystemServices> CreatePlatformSystemServices();

}  // namespace tarnwick
