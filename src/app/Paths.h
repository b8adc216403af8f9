// The file-system locations the program derives at start: executable folder, default
// configuration path and log folder.
#pragma once

#include <string>

namespace tarnwick {

class SystemServices;

// Folder of the running executable; empty when its path is unknown.
std::string ExecutableDirectory(SystemServices& services);

// <exe folder>/config/config.json when it exists; else <machine-wide data>/Tarnwick/config.json
// (not tested for existence, so start-up can report it); else the first candidate. A
// file-system error of the existence test propagates as std::filesystem::filesystem_error.
std::string ResolveDefaultConfigPath(SystemServices& services);

// <appDataDir>/Tarnwick/logs for a bridge started without a console (by the simulator);
// fallbackDir, the executable's folder, with "--console" or without a data folder.
std::string ResolveLogDirectory(bool consoleMode, const std::string& appDataDir,
                                const std::string& fallbackDir);

}  // namespace tarnwick
