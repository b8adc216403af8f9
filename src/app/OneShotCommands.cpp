#include "app/OneShotCommands.h"

#include <memory>
#include <optional>
#include <vector>

#include "addon/ExeXmlRegistrar.h"
#include "app/Backends.h"
#include "app/CommandLine.h"
#include "app/ConfigCheck.h"
#include "app/HidSettings.h"
#include "app/virtual/Scenario.h"
#include "app/virtual/VirtualCockpit.h"
#include "config/AppConfig.h"
#include "hid/HidBackend.h"
#include "hid/HidManager.h"

namespace tarnwick {
namespace {

constexpr const char* kAddonName = "TarnwickHID";

// One interface: ids, usage, serial, product, path, and what the bridge would open it as. The
// name is the serial, else the path: a listing asks a board for no feature report (its board id),
// so it never talks to a board that a running bridge reads.
std::string DeviceLine(HidBackend& backend, const std::string& path,
                       const std::optional<HidManagerSettings>& settings, bool& opened) {
    opened = false;
    char ids[32] = "????:???? ????:????";
    std::string serial;
    HidDescription description;
    std::optional<PanelRole> role;
    if (const std::unique_ptr<HidHandle> probe = backend.Open(path, HidOpenPurpose::Probe)) {
        HidAttributes attributes;
        if (probe->GetAttributes(attributes) && probe->GetDescription(description)) {
            std::snprintf(ids, sizeof ids, "%04X:%04X %04X:%04X", attributes.vendorId,
                          attributes.productId, description.usagePage, description.usage);
            if (!probe->GetSerialNumber(serial)) {
                serial.clear();
            }
            if (settings) {
                role = TargetRoleFor(*settings, attributes.vendorId, attributes.productId);
            }
        }
    }
    std::string line = std::string(ids) + " serial=\"" + serial + "\" product=\"" +
                       description.product + "\" path=" + path;
    if (role) {
        opened = true;
        const PanelRole opensAs = *role == PanelRole::TouchPanel ? *role : PanelRole::G1000;
        line.append(" => opens as ")
            .append(PanelRoleName(opensAs))
            .append(" \"")
            .append(serial.empty() ? path : serial)
            .append("\"");
    }
    return line;
}

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

int RunCheckConfig(const std::string& configPath, std::FILE* out) {
    int errors = 0;
    int warnings = 0;
    for (const ConfigFinding& finding : CheckConfiguration(configPath)) {
        (finding.severity == ConfigFinding::Severity::Error ? errors : warnings) += 1;
        std::fprintf(out, "%s\n", FormatFinding(finding).c_str());
    }
    std::fprintf(out, "%d error(s), %d warning(s)\n", errors, warnings);
    std::fflush(out);
    return errors == 0 ? 0 : 1;
}

int RunListDevices(const CommandLineOptions& options, std::FILE* out, std::FILE* err) {
    std::unique_ptr<VirtualCockpit> cockpit;
    std::unique_ptr<HidBackend> realHid;
    HidBackend* backend = nullptr;
    if (!options.scenarioPath.empty()) {
        Scenario scenario;
        if (const Result loaded = LoadScenario(options.scenarioPath, scenario); !loaded) {
            std::fprintf(err, "TarnwickHID: %s\n", loaded.Error().c_str());
            return 1;
        }
        cockpit = std::make_unique<VirtualCockpit>(std::move(scenario), false);
        if (cockpit->HasDevices()) {
            backend = &cockpit->HidBackendFor();
        }
    }
    if (backend == nullptr && kHasRealBackends) {
#ifdef _WIN32
        realHid = CreateWin32HidBackend();
        backend = realHid.get();
#endif
    }
    if (backend == nullptr) {
        std::fprintf(out,
                     "This build has no real HID backend; list a scenario's devices with "
                     "--virtual SCENARIO (see docs/scenario.md).\n");
        std::fflush(out);
        return 0;
    }

    std::optional<HidManagerSettings> settings;
    AppConfig config;
    if (const Result loaded = LoadAppConfig(options.configPath, config); loaded) {
        settings = HidSettingsFromConfig(config);
    } else {
        std::fprintf(err, "TarnwickHID: no interface marked: %s\n", loaded.Error().c_str());
        std::fflush(err);
    }
    const std::vector<std::string> paths = backend->EnumerateInterfaces();
    int opened = 0;
    for (const std::string& path : paths) {
        bool opens = false;
        std::fprintf(out, "%s\n", DeviceLine(*backend, path, settings, opens).c_str());
        opened += opens ? 1 : 0;
    }
    std::fprintf(out, "%zu HID interface(s), %d would be opened\n", paths.size(), opened);
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
