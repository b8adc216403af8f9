// The command line of the executable.
#pragma once

#include <string>

namespace tarnwick {

struct CommandLineOptions {
    bool consoleMode = false;      // "--console"
    bool hidTrace = false;         // "--hid-trace"
    bool registerAddon = false;    // "--register"
    bool unregisterAddon = false;  // "--unregister"
    bool listExeXml = false;       // "--list-exe-xml"
    std::string configPath;        // the argument behind "--config", taken as typed
};

// Arguments from index 1 are compared whole and case-sensitively; unknown ones are ignored,
// a "--config" in last position too, and a later "--config" replaces an earlier one.
CommandLineOptions ParseCommandLine(int argc, const char* const* argv);

}  // namespace tarnwick
