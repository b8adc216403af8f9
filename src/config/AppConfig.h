// config.json: the records every component reads after start-up, and the loader that fills
// them with defaults, resolves paths against the file's folder and validates the result.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/BoardRole.h"
#include "config/OutputProfile.h"
#include "config/PanelRole.h"
#include "config/TextNormalize.h"
#include "platform/Result.h"

namespace tarnwick {

struct HidDeviceConfig {
    HexId16 vid;  // an id without a value is accepted and leaves the device unmatched
    HexId16 pid;
    PanelRole role = PanelRole::G1000;
    std::string unknownRole;  // the text of an Unknown role, for its message
};

struct MobiFlightSettings {
    bool enabled = true;
    std::string clientName = "TarnwickHID";
    std::string commandChannel = "MobiFlight.Command";
    std::string responseChannel = "MobiFlight.Response";
    std::string lvarsChannel = "MobiFlight.LVars";
    std::int32_t rpnRateLimitMs = 0;
    std::int32_t mapHoldRepeatMs = 10;
};

struct OutputsConfig {
    std::int32_t debounceMs = 50;
    std::string defaultProfile = "default";
    std::map<std::string, OutputProfile> profiles;    // normalized name -> profile
    std::map<std::string, std::string> roleProfiles;  // normalized role -> normalized profile
};

struct OutputDeviceConfig {
    std::string boardId;      // stored as NormalizeHexId
    std::int32_t index = -1;  // -1: no index
    BoardRole role;
    std::string ledProfile;  // as written
};

struct AppConfig {
    HexId16 vid;  // the fallback device's ids; the HID manager needs both values
    HexId16 pid;
    std::vector<HidDeviceConfig> devices;
    std::int32_t scanIntervalMs = 1000;
    bool trace = false;
    std::int32_t telemetryIntervalMs = 50;
    std::string buttonConfigPath;
    std::string hidEventMapPath;
    MobiFlightSettings mobiflight;
    bool cdcEnabled = false;
    std::string cdcComPort;
    bool debug = false;
    OutputsConfig outputs;
    std::vector<OutputDeviceConfig> outputDevices;
};

// Success when loaded and valid; a failure holds exactly one message, and `config` may then be
// partly filled. A file-system failure of the initial existence check propagates as
// std::filesystem::filesystem_error.
Result LoadAppConfig(const std::string& configPath, AppConfig& config);

// Absolute values stay; relative ones are joined to the folder of configPath (a bare file name
// has no folder, so the value stays as it is); empty stays empty.
std::string ResolveConfigRelativePath(const std::string& configPath, const std::string& value);

// "hid_event_map.json" beside configPath when it exists, else empty (also on any error).
std::string DefaultHidEventMapPath(const std::string& configPath);

}  // namespace tarnwick
