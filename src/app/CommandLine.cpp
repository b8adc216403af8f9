#include "app/CommandLine.h"

#include <string_view>

namespace tarnwick {

CommandLineOptions ParseCommandLine(int argc, const char* const* argv) {
    CommandLineOptions options;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) {
            continue;
        }
        const std::string_view arg(argv[i]);
        if (arg == "--console") {
            options.consoleMode = true;
        } else if (arg == "--hid-trace") {
            options.hidTrace = true;
        } else if (arg == "--register") {
            options.registerAddon = true;
        } else if (arg == "--unregister") {
            options.unregisterAddon = true;
        } else if (arg == "--list-exe-xml") {
            options.listExeXml = true;
        } else if (arg == "--check-config") {
            options.checkConfig = true;
        } else if (arg == "--list-devices") {
            options.listDevices = true;
        } else if (arg == "--config" || arg == "--virtual" || arg == "--record") {
            if (i + 1 < argc && argv[i + 1] != nullptr) {
                std::string& target = arg == "--config"    ? options.configPath
                                      : arg == "--virtual" ? options.scenarioPath
                                                           : options.recordPath;
                target = argv[++i];
            }
        }
    }
    return options;
}

}  // namespace tarnwick
