// TarnwickHID: the composition root. Picks the platform backends, parses the command line and
// runs one of the courses: list EXE.xml files, register or unregister, or run the bridge.
#include <cstdio>
#include <exception>

#include "app/CommandLine.h"
#include "app/OneShotCommands.h"
#include "app/Paths.h"
#include "app/SystemServices.h"

int main(int argc, char** argv) {
    using namespace tarnwick;
    try {
        auto services = CreatePlatformSystemServices();
        services->AttachParentConsole();

        CommandLineOptions options = ParseCommandLine(argc, argv);
        if (options.configPath.empty()) {
            options.configPath = ResolveDefaultConfigPath(*services);
        }
        if (options.listExeXml) {
            return RunListExeXml(stdout);
        }
        if (options.registerAddon || options.unregisterAddon) {
            // Resolved only here: the listing never needs it.
            return RunAddonRegistration(options, services->ExecutablePath(), stdout, stderr);
        }
        std::fprintf(stderr,
                     "TarnwickHID: running the bridge is not available in this build yet; "
                     "use --list-exe-xml, --register or --unregister.\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "TarnwickHID: %s\n", e.what());
        return 1;
    } catch (...) {
        std::fprintf(stderr, "TarnwickHID: unexpected error\n");
        return 1;
    }
}
