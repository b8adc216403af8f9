#include "config/AppConfig.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "config/ConfigValidation.h"
#include "config/Json.h"
#include "config/PathText.h"
#include "config/TextNormalize.h"

namespace tarnwick {

namespace {

constexpr const char* kHidEventMapFileName = "hid_event_map.json";

// A switch's current state as the number that a value from the file replaces; any non-zero
// number read back means on.
std::int32_t FlagNumber(bool on) {
    return on ? 1 : 0;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Decided on the text alone, so that a Windows path written in config.json is recognised as
// absolute on every platform the program is built for.
bool IsTextuallyAbsolute(std::string_view value) {
    if (value.size() >= 3 && IsAsciiLetter(value[0]) && value[1] == ':' && IsSeparator(value[2])) {
        return true;
    }
    // Network shares and the \\?\ and \\.\ device prefixes.
    if (value.size() >= 3 && IsSeparator(value[0]) && IsSeparator(value[1]) &&
        !IsSeparator(value[2])) {
        return true;
    }
    return value.substr(0, 4) == "\\??\\";
}

// Each id text is read once: the fallback ids of a "devices" list are the first entry's values.
struct HidSection {
    HexId16 vid;
    HexId16 pid;
    std::vector<HidDeviceConfig> devices;
};

Result ReadHidDeviceEntry(const JsonValue& entry, std::size_t i, HidDeviceConfig& device) {
    const std::string p = "hid.devices[" + std::to_string(i) + "]";
    if (!entry.IsObject()) {
        return Result::Failure(p + " must be an object");
    }
    std::string vid;
    std::string pid;
    if (!GetStringMember(entry, "vid", vid) || vid.empty()) {
        return Result::Failure("Missing or invalid '" + p + ".vid'");
    }
    if (!GetStringMember(entry, "pid", pid) || pid.empty()) {
        return Result::Failure("Missing or invalid '" + p + ".pid'");
    }
    device.vid = ReadHexId16(vid);
    device.pid = ReadHexId16(pid);
    std::string role;
    if (GetStringMember(entry, "role", role) && !role.empty()) {
        device.role = ParsePanelRole(role);
        if (device.role == PanelRole::Unknown) {
            device.unknownRole = role;
            return Result::Failure("Unknown '" + p + ".role': " + role);
        }
    }
    return Result::Success();
}

Result ReadHidSection(const JsonValue& hid, HidSection& out) {
    const auto devicesIt = hid.objectValue.find("devices");
    std::string vid;
    std::string pid;
    if (devicesIt == hid.objectValue.end()) {
        if (!GetStringMember(hid, "vid", vid)) {
            return Result::Failure("Missing or invalid 'hid.vid'");
        }
        if (!GetStringMember(hid, "pid", pid)) {
            return Result::Failure("Missing or invalid 'hid.pid'");
        }
        out.vid = ReadHexId16(vid);
        out.pid = ReadHexId16(pid);
        out.devices.push_back(HidDeviceConfig{out.vid, out.pid, PanelRole::G1000, {}});
        return Result::Success();
    }

    const JsonValue& devices = devicesIt->second;
    if (!devices.IsArray()) {
        return Result::Failure("'hid.devices' must be an array");
    }
    if (devices.arrayValue.empty()) {
        return Result::Failure("'hid.devices' must not be empty");
    }
    for (std::size_t i = 0; i < devices.arrayValue.size(); ++i) {
        HidDeviceConfig device;  // role "g1000" unless the entry names one
        if (Result read = ReadHidDeviceEntry(devices.arrayValue[i], i, device); !read) {
            return read;
        }
        out.devices.push_back(std::move(device));
    }
    out.vid = GetStringMember(hid, "vid", vid) ? ReadHexId16(vid) : out.devices.front().vid;
    out.pid = GetStringMember(hid, "pid", pid) ? ReadHexId16(pid) : out.devices.front().pid;
    return Result::Success();
}

void ReadOutputsSection(const JsonValue& root, OutputsConfig& outputs) {
    outputs = OutputsConfig{};
    const JsonValue* section = nullptr;
    if (!GetObjectMember(root, "outputs", section)) {
        return;
    }
    GetIntMember(*section, "debounceMs", outputs.debounceMs);

    std::string defaultProfile;
    if (GetStringMember(*section, "defaultProfile", defaultProfile)) {
        outputs.defaultProfile = NormalizeKey(defaultProfile);
    }

    const JsonValue* roleProfiles = nullptr;
    if (GetObjectMember(*section, "roleProfiles", roleProfiles)) {
        for (const auto& [key, value] : roleProfiles->objectValue) {
            if (!value.IsString()) {
                continue;
            }
            std::string role = NormalizeKey(key);
            std::string profile = NormalizeKey(value.stringValue);
            if (!role.empty() && !profile.empty()) {
                outputs.roleProfiles[std::move(role)] = std::move(profile);
            }
        }
    }

    const JsonValue* profiles = nullptr;
    if (GetObjectMember(*section, "profiles", profiles)) {
        for (const auto& [key, value] : profiles->objectValue) {
            if (!value.IsObject()) {
                continue;
            }
            std::string name = NormalizeKey(key);
            if (!name.empty()) {
                outputs.profiles[std::move(name)] = ReadOutputProfile(value);
            }
        }
    }
}

Result ReadOutputDevices(const JsonValue& root, std::vector<OutputDeviceConfig>& outputDevices) {
    const auto it = root.objectValue.find("devices");
    if (it == root.objectValue.end()) {
        return Result::Success();
    }
    if (!it->second.IsArray()) {
        return Result::Failure("'devices' must be an array");
    }
    const auto& entries = it->second.arrayValue;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string q = "devices[" + std::to_string(i);
        const JsonValue& entry = entries[i];
        if (!entry.IsObject()) {
            return Result::Failure(q + "] must be an object");
        }
        OutputDeviceConfig device;
        GetStringMember(entry, "boardId", device.boardId);
        GetIntMember(entry, "index", device.index);
        std::string role;
        if (GetStringMember(entry, "role", role)) {
            device.role = BoardRole(std::move(role));
        }
        GetStringMember(entry, "ledProfile", device.ledProfile);
        if (!device.boardId.empty()) {
            device.boardId = NormalizeHexId(device.boardId);
        }
        if (device.boardId.empty() && device.index < 0) {
            return Result::Failure(q + "] must include boardId or index");
        }
        // With a boardId, -1 still means "no index".
        if (device.index < -1) {
            return Result::Failure(q + "] index must be >= 0");
        }
        outputDevices.push_back(std::move(device));
    }
    return Result::Success();
}

}  // namespace

Result LoadAppConfig(const std::string& configPath, AppConfig& config) {
    // The throwing form on purpose: a path that cannot even be examined is not "not found".
    const std::filesystem::path fsPath = ToFsPath(configPath);
    if (!std::filesystem::exists(fsPath)) {
        return Result::Failure("Config file not found: " + configPath);
    }
    // A folder cannot be read as a file; some C++ libraries open it and then throw on reading.
    std::error_code ec;
    std::optional<std::string> text;
    if (std::filesystem::is_directory(fsPath, ec) || !(text = ReadWholeFile(configPath))) {
        return Result::Failure("Failed to open config file: " + configPath);
    }
    const JsonParseResult parsed = ParseJson(*text);
    if (!parsed.ok) {
        return Result::Failure("Config parse error: " + parsed.error);
    }
    const JsonValue& root = parsed.value;
    if (!root.IsObject()) {
        return Result::Failure("Config root must be an object");
    }

    const JsonValue* hid = nullptr;
    if (!GetObjectMember(root, "hid", hid)) {
        return Result::Failure("Missing 'hid' section");
    }
    HidSection hidSection;
    if (Result read = ReadHidSection(*hid, hidSection); !read) {
        return read;
    }
    std::int32_t scanIntervalMs = config.scanIntervalMs;
    std::int32_t trace = FlagNumber(config.trace);
    std::int32_t telemetryIntervalMs = config.telemetryIntervalMs;
    // "readIntervalMs" is still accepted, and ignored: every reader waits on its device.
    GetIntMember(*hid, "scanIntervalMs", scanIntervalMs);
    GetIntMember(*hid, "trace", trace);
    GetIntMember(*hid, "telemetryIntervalMs", telemetryIntervalMs);

    const JsonValue* mappings = nullptr;
    if (!GetObjectMember(root, "mappings", mappings)) {
        return Result::Failure("Missing 'mappings' section");
    }
    std::string buttonConfigPath;
    if (!GetStringMember(*mappings, "buttonConfigPath", buttonConfigPath)) {
        return Result::Failure("Missing or invalid 'mappings.buttonConfigPath'");
    }
    std::string hidEventMapPath;
    GetStringMember(*mappings, "hidEventMapPath", hidEventMapPath);

    std::int32_t mobiflightEnabled = FlagNumber(config.mobiflight.enabled);
    const JsonValue* mobiflight = nullptr;
    if (GetObjectMember(root, "mobiflight", mobiflight)) {
        MobiFlightSettings& settings = config.mobiflight;
        GetIntMember(*mobiflight, "enabled", mobiflightEnabled);
        GetStringMember(*mobiflight, "clientName", settings.clientName);
        GetStringMember(*mobiflight, "commandChannel", settings.commandChannel);
        GetStringMember(*mobiflight, "responseChannel", settings.responseChannel);
        GetStringMember(*mobiflight, "lvarsChannel", settings.lvarsChannel);
        GetIntMember(*mobiflight, "rpnRateLimitMs", settings.rpnRateLimitMs);
        GetIntMember(*mobiflight, "mapHoldRepeatMs", settings.mapHoldRepeatMs);
    }

    std::int32_t cdcEnabled = FlagNumber(config.cdcEnabled);
    const JsonValue* cdc = nullptr;
    if (GetObjectMember(root, "cdc", cdc)) {
        GetIntMember(*cdc, "enabled", cdcEnabled);
        GetStringMember(*cdc, "comPort", config.cdcComPort);
    }

    std::int32_t debug = FlagNumber(config.debug);
    const JsonValue* logging = nullptr;
    if (GetObjectMember(root, "logging", logging)) {
        GetIntMember(*logging, "debug", debug);
    }

    ReadOutputsSection(root, config.outputs);

    config.vid = std::move(hidSection.vid);
    config.pid = std::move(hidSection.pid);
    config.devices = std::move(hidSection.devices);
    config.scanIntervalMs = scanIntervalMs;
    config.trace = trace != 0;
    config.telemetryIntervalMs = telemetryIntervalMs;
    config.buttonConfigPath = ResolveConfigRelativePath(configPath, buttonConfigPath);
    config.hidEventMapPath = ResolveConfigRelativePath(configPath, hidEventMapPath);
    if (config.hidEventMapPath.empty()) {
        config.hidEventMapPath = DefaultHidEventMapPath(configPath);
    }
    config.mobiflight.enabled = mobiflightEnabled != 0;
    config.cdcEnabled = cdcEnabled != 0;
    config.debug = debug != 0;
    config.outputDevices.clear();

    if (Result read = ReadOutputDevices(root, config.outputDevices); !read) {
        return read;
    }

    OutputsConfig& outputs = config.outputs;
    if (outputs.defaultProfile.empty()) {
        outputs.defaultProfile = "DEFAULT";
    }
    // The default profile's name always resolves, even when the file does not define it.
    outputs.profiles.try_emplace(NormalizeKey(outputs.defaultProfile), BuiltInDefaultProfile());

    return ValidateAppConfig(config);
}

std::string ResolveConfigRelativePath(const std::string& configPath, const std::string& value) {
    if (value.empty()) {
        return {};
    }
    if (IsTextuallyAbsolute(value)) {
        return value;
    }
    const std::filesystem::path config = ToFsPath(configPath);
    // A bare file name is relative to the working folder, and so is the value then.
    if (!config.has_parent_path()) {
        return value;
    }
    // The platform's join rule: a value with its own root or drive replaces what it must.
    return FromFsPath(config.parent_path() / ToFsPath(value));
}

std::string DefaultHidEventMapPath(const std::string& configPath) {
    const std::filesystem::path config = ToFsPath(configPath);
    if (!config.has_parent_path()) {
        return {};
    }
    const std::filesystem::path candidate = config.parent_path() / kHidEventMapFileName;
    // The event map is optional, so a folder that cannot be examined just means "none".
    std::error_code ec;
    if (!std::filesystem::exists(candidate, ec) || ec) {
        return {};
    }
    return FromFsPath(candidate);
}

}  // namespace tarnwick
