#include "app/ConfigCheck.h"

#include <exception>
#include <filesystem>
#include <string_view>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "config/PathText.h"
#include "config/TextNormalize.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

using Severity = ConfigFinding::Severity;

// Built by appending: "'" + text trips a false -Wrestrict of the MinGW compiler.
std::string Quoted(std::string_view text) {
    std::string quoted(1, '\'');
    return quoted.append(text).append(1, '\'');
}

// Only panel boards (the hid.devices role g1000) are the boards the top-level devices array
// describes; an entry without both ids opens nothing.
bool OpensPanelBoards(const AppConfig& config) {
    for (const HidDeviceConfig& device : config.devices) {
        if (device.vid.value && device.pid.value && device.role == PanelRole::G1000) {
            return true;
        }
    }
    return false;
}

void CheckProfiles(const std::string& file, const AppConfig& config,
                   std::vector<ConfigFinding>& findings) {
    const auto& profiles = config.outputs.profiles;
    const std::string fallback =
        profiles.empty() ? std::string() : " (boards get " + Quoted(profiles.begin()->first) + ")";
    for (const auto& [role, profile] : config.outputs.roleProfiles) {
        if (profiles.count(profile) == 0) {
            findings.push_back(
                {Severity::Warning, file, "outputs.roleProfiles." + role,
                 "no profile " + Quoted(profile) + " in outputs.profiles" + fallback});
        }
    }
    const bool panelBoards = OpensPanelBoards(config);
    for (std::size_t i = 0; i < config.outputDevices.size(); ++i) {
        const OutputDeviceConfig& device = config.outputDevices[i];
        const std::string place = "devices[" + std::to_string(i) + "]";
        if (!panelBoards) {
            findings.push_back({Severity::Warning, file, place,
                                "no hid.devices entry opens a panel board (role g1000 with a "
                                "valid vid and pid), so this entry never applies"});
        }
        // A profile name of white space only is no name: the role decides then.
        if (const std::string ledKey = NormalizeKey(device.ledProfile); !ledKey.empty()) {
            if (profiles.count(ledKey) == 0) {
                findings.push_back({Severity::Warning, file, place,
                                    "no profile " + Quoted(device.ledProfile) +
                                        " in outputs.profiles" + fallback});
            }
        } else if (!device.role.Empty() &&
                   config.outputs.roleProfiles.count(device.role.key) == 0) {
            findings.push_back({Severity::Warning, file, place,
                                "role " + Quoted(device.role.text) +
                                    " has no profile: no ledProfile and no outputs.roleProfiles "
                                    "entry, so the board gets outputs.defaultProfile"});
        }
    }
}

}  // namespace

std::string FormatFinding(const ConfigFinding& finding) {
    std::string line = finding.severity == Severity::Error ? "error: " : "warning: ";
    line.append(finding.file).append(": ");
    if (!finding.place.empty()) {
        line.append(finding.place).append(": ");
    }
    return line.append(finding.text);
}

std::vector<ConfigFinding> CrossCheckConfig(const std::string& configPath, const AppConfig& config,
                                            const ButtonConfig& buttons,
                                            const HidEventMap* eventMap) {
    std::vector<ConfigFinding> findings;
    const std::string& buttonsFile = config.buttonConfigPath;
    if (eventMap != nullptr) {
        for (const std::string& control : buttons.ControlNames()) {
            if (!eventMap->KnowsControl(control)) {
                findings.push_back(
                    {Severity::Warning, buttonsFile, "control " + control,
                     "not in " + config.hidEventMapPath + ", so no panel event reaches it"});
            }
        }
    }
    for (std::string& warning : buttons.OverLongCommands(MobiFlightProtocol::kMaxRpnText)) {
        findings.push_back({Severity::Warning, buttonsFile, "", std::move(warning)});
    }
    for (auto& [place, text] : buttons.IdleAircraftSets()) {
        findings.push_back({Severity::Warning, buttonsFile, std::move(place), std::move(text)});
    }
    CheckProfiles(configPath, config, findings);
    return findings;
}

std::vector<ConfigFinding> CheckConfiguration(const std::string& configPath) {
    std::vector<ConfigFinding> findings;
    try {
        if (!std::filesystem::exists(ToFsPath(configPath))) {
            findings.push_back(
                {Severity::Error, configPath, "", "Config file not found: " + configPath});
            return findings;
        }
        AppConfig config;
        if (const Result loaded = LoadAppConfig(configPath, config); !loaded) {
            findings.push_back({Severity::Error, configPath, "", loaded.Error()});
            return findings;
        }
        HidEventMap eventMap;
        bool mapLoaded = false;
        if (!config.hidEventMapPath.empty()) {
            const Result loaded = eventMap.Load(config.hidEventMapPath);
            mapLoaded = loaded.Ok();
            if (!loaded) {
                findings.push_back({Severity::Warning, config.hidEventMapPath, "",
                                    "Failed to load HID event map: " + loaded.Error()});
            }
        }
        ButtonConfig buttons;
        if (const Result loaded = buttons.Load(config.buttonConfigPath); !loaded) {
            findings.push_back({Severity::Error, config.buttonConfigPath, "",
                                "Failed to load button config: " + loaded.Error()});
            return findings;
        }
        for (ConfigFinding& finding :
             CrossCheckConfig(configPath, config, buttons, mapLoaded ? &eventMap : nullptr)) {
            findings.push_back(std::move(finding));
        }
    } catch (const std::exception& e) {
        // A path that cannot even be examined.
        findings.push_back({Severity::Error, configPath, "", e.what()});
    }
    return findings;
}

}  // namespace tarnwick
