#include "app/OneShotCommands.h"

#include "addon/ExeXmlRegistrar.h"
#include "app/CommandLine.h"

namespace tarnwick {
namespace {

constexpr const char* kAddonName = "TarnwickHID";

}  // namespace

int RunListExeXml(std::FILE* out) {
    const auto files = FindExeXmlFiles();
    if (files.empty()) {
        std::fprintf(out, "No MSFS installations detected.\n");
    }
    for (const auto& file : files) {
        std::fprintf(out, "%s\n", file.c_str());
    }
    std::fflush(out);
    return 0;
}

int RunAddonRegistration(const CommandLineOptions& options, const std::string& exePath,
                         std::FILE* out, std::FILE* err) {
    const std::string commandLine = "--config \"" + options.configPath + "\"";
    const ExeXmlUpdate update = options.registerAddon
                                    ? RegisterAddon(kAddonName, exePath, commandLine)
                                    : UnregisterAddon(kAddonName);
    const int count = update.filesWritten;
    if (!update.outcome) {
        std::fprintf(err, "EXE.xml update failed after %d file(s): %s\n", count,
                     update.outcome.Error().c_str());
        std::fflush(err);
        return 1;
    }
    std::fprintf(out, "%s %d MSFS EXE.xml file(s).\n",
                 options.registerAddon ? "Registered in" : "Unregistered from", count);
    std::fflush(out);
    return 0;
}

}  // namespace tarnwick
