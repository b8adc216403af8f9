// The commands that edit or list the simulator's EXE.xml files, check a configuration or list
// the HID interfaces, and end the process. They take
// no single-instance lock and set up no log, so they may run beside a running bridge.
#pragma once

#include <cstdio>
#include <string>

namespace tarnwick {

struct CommandLineOptions;

// Prints every EXE.xml found, one per line, or "No MSFS installations detected." Returns 0.
int RunListExeXml(std::FILE* out);

// Registers (wins when both are asked for) or unregisters "TarnwickHID" in every EXE.xml found
// and prints the outcome. exePath is the running executable's full path (may be empty).
// Returns 0 on success, 1 when an update failed.
int RunAddonRegistration(const CommandLineOptions& options, const std::string& exePath,
                         std::FILE* out, std::FILE* err);

// Prints one line per finding of CheckConfiguration, then "N error(s), M warning(s)". Returns 1
// when there is an error, else 0.
int RunCheckConfig(const std::string& configPath, std::FILE* out);

// Lists the HID interfaces of the scenario given with "--virtual", else the system's, one line
// each, marking those the configuration would open; then "N HID interface(s), M would be
// opened". Returns 0, or 1 when the scenario cannot be read.
int RunListDevices(const CommandLineOptions& options, std::FILE* out, std::FILE* err);

}  // namespace tarnwick
