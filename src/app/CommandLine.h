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
    bool checkConfig = false;      // "--check-config"
    bool listDevices = false;      // "--list-devices"
    std::string configPath;        // the argument behind "--config", taken as typed
    std::string scenarioPath;      // "--virtual FILE": run against the virtual cockpit
    std::string recordPath;        // "--record FILE": what the virtual cockpit received
};

// Arguments from index 1 are compared whole and case-sensitively; unknown ones are ignored.
// An option that takes a value ("--config", "--virtual", "--record") consumes the next argument;
// in last position it is ignored, and a later one replaces an earlier one.
CommandLineOptions ParseCommandLine(int argc, const char* const* argv);

}  // namespace tarnwick
