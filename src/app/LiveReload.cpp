#include "app/LiveReload.h"

#include <cstddef>
#include <exception>
#include <optional>

#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "config/PathText.h"
#include "log/Logger.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

// The sections a running bridge takes over from an edited config.json.
constexpr const char* kLiveSections[] = {"outputs", "devices"};

bool SameJson(const JsonValue& a, const JsonValue& b) {
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case JsonKind::Null:
            return true;
        case JsonKind::Bool:
            return a.boolValue == b.boolValue;
        case JsonKind::Number:
            return a.numberValue == b.numberValue;
        case JsonKind::String:
            return a.stringValue == b.stringValue;
        case JsonKind::Array:
            if (a.arrayValue.size() != b.arrayValue.size()) {
                return false;
            }
            for (std::size_t i = 0; i < a.arrayValue.size(); ++i) {
                if (!SameJson(a.arrayValue[i], b.arrayValue[i])) {
                    return false;
                }
            }
            return true;
        case JsonKind::Object:
            if (a.objectValue.size() != b.objectValue.size()) {
                return false;
            }
            for (auto ai = a.objectValue.begin(), bi = b.objectValue.begin();
                 ai != a.objectValue.end(); ++ai, ++bi) {
                if (ai->first != bi->first || !SameJson(ai->second, bi->second)) {
                    return false;
                }
            }
            return true;
    }
    return false;
}

// The document split into the live sections and the rest.
struct ConfigParts {
    JsonValue live;
    JsonValue rest;
};

ConfigParts Split(const JsonValue& root) {
    ConfigParts parts;
    parts.live.kind = JsonKind::Object;
    parts.rest = root;
    for (const char* name : kLiveSections) {
        if (const auto it = parts.rest.objectValue.find(name); it != parts.rest.objectValue.end()) {
            parts.live.objectValue.emplace(name, std::move(it->second));
            parts.rest.objectValue.erase(it);
        }
    }
    return parts;
}

JsonValue ReadJson(const std::string& path) {
    const std::optional<std::string> text = ReadWholeFile(path);
    if (!text) {
        return {};
    }
    JsonParseResult parsed = ParseJson(*text);
    return parsed.ok ? std::move(parsed.value) : JsonValue{};
}

std::string FileName(const std::string& path) {
    return FromFsPath(ToFsPath(path).filename());
}

// What a failed reload of the file keeps, as its log line names it.
const char* KeptOf(WatchedFile file) {
    switch (file) {
        case WatchedFile::Config:
            return "outputs and devices";
        case WatchedFile::Buttons:
            return "buttons";
        case WatchedFile::EventMap:
            break;
    }
    return "event map";
}

void LogReloaded(const std::string& path) {
    Logger::Instance().Log(LogLevel::Info, "Reloaded " + FileName(path));
}

}  // namespace

LiveReload::LiveReload(std::string configPath, std::shared_ptr<const AppConfig> config)
    : configPath_(std::move(configPath)),
      config_(std::move(config)),
      lastSeen_(ReadJson(configPath_)) {}

std::vector<std::pair<WatchedFile, std::string>> LiveReload::Files() const {
    std::vector<std::pair<WatchedFile, std::string>> files{
        {WatchedFile::Config, configPath_}, {WatchedFile::Buttons, config_->buttonConfigPath}};
    if (!config_->hidEventMapPath.empty()) {
        files.emplace_back(WatchedFile::EventMap, config_->hidEventMapPath);
    }
    return files;
}

LiveReload::Outcome LiveReload::Reload(WatchedFile file) {
    try {
        return Load(file);
    } catch (const std::exception& e) {
        // A folder that can no longer be examined (access withdrawn, a drive gone) must not end
        // the watch thread, and with it the bridge.
        LogFailure(file, Result::Failure(e.what()));
        return {};
    }
}

const std::string& LiveReload::PathOf(WatchedFile file) const {
    switch (file) {
        case WatchedFile::Config:
            return configPath_;
        case WatchedFile::Buttons:
            return config_->buttonConfigPath;
        case WatchedFile::EventMap:
            break;
    }
    return config_->hidEventMapPath;
}

void LiveReload::LogFailure(WatchedFile file, const Result& loaded) const {
    Logger::Instance().Log(LogLevel::Error, "Reload of " + FileName(PathOf(file)) +
                                                " failed: " + loaded.Error() +
                                                "; keeping the previous " + KeptOf(file));
}

LiveReload::Outcome LiveReload::Load(WatchedFile file) {
    Outcome outcome;
    if (file == WatchedFile::Config) {
        return ReloadConfig();
    }
    if (file == WatchedFile::Buttons) {
        const std::string& path = PathOf(file);
        auto buttons = std::make_shared<ButtonConfig>();
        if (const Result loaded = buttons->Load(path); !loaded) {
            LogFailure(file, loaded);
            return outcome;
        }
        for (const std::string& warning :
             buttons->OverLongCommands(MobiFlightProtocol::kMaxRpnText)) {
            Logger::Instance().Log(LogLevel::Warn, warning);
        }
        LogReloaded(path);
        outcome.records.buttons = std::move(buttons);
        return outcome;
    }
    const std::string& path = PathOf(file);
    auto eventMap = std::make_shared<HidEventMap>();
    if (const Result loaded = eventMap->Load(path); !loaded) {
        LogFailure(file, loaded);
        return outcome;
    }
    LogReloaded(path);
    outcome.records.eventMap = std::move(eventMap);
    return outcome;
}

LiveReload::Outcome LiveReload::ReloadConfig() {
    Outcome outcome;
    // Read before the load: a save in between then shows as one more change, never as none.
    JsonValue seen = ReadJson(configPath_);
    AppConfig fresh;
    if (const Result loaded = LoadAppConfig(configPath_, fresh); !loaded) {
        LogFailure(WatchedFile::Config, loaded);
        return outcome;
    }
    const ConfigParts before = Split(lastSeen_);
    const ConfigParts after = Split(seen);
    lastSeen_ = std::move(seen);
    if (!SameJson(before.live, after.live)) {
        auto config = std::make_shared<AppConfig>(*config_);
        config->outputs = std::move(fresh.outputs);
        config->outputDevices = std::move(fresh.outputDevices);
        config_ = config;
        LogReloaded(configPath_);
        outcome.records.config = std::move(config);
        outcome.refreshOutputs = true;
    }
    if (!SameJson(before.rest, after.rest)) {
        Logger::Instance().Log(LogLevel::Info,
                               FileName(configPath_) +
                                   " changed outside outputs and devices; restart TarnwickHID "
                                   "to apply it");
    }
    return outcome;
}

}  // namespace tarnwick
