// The offline check of a configuration: config.json, buttons.json and hid_event_map.json loaded
// as start-up loads them, then what start-up cannot see because it needs more than one file.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

struct AppConfig;
class ButtonConfig;
class HidEventMap;

struct ConfigFinding {
    enum class Severity { Error, Warning };
    Severity severity = Severity::Error;
    std::string file;   // the path as loaded
    std::string place;  // where in the file; empty when the text names it itself
    std::string text;
};

// "error: FILE: PLACE: TEXT" or "warning: ...", without "PLACE: " when there is no place.
std::string FormatFinding(const ConfigFinding& finding);

// What the three files say together. `eventMap` is null when no event map was loaded; the
// controls are then not compared. Pure: it reads only what it is given.
std::vector<ConfigFinding> CrossCheckConfig(const std::string& configPath, const AppConfig& config,
                                            const ButtonConfig& buttons,
                                            const HidEventMap* eventMap);

// Loads the files the way start-up does (an error where start-up stops, a warning where it logs
// one and goes on), then adds CrossCheckConfig's findings once all of them loaded.
std::vector<ConfigFinding> CheckConfiguration(const std::string& configPath);

}  // namespace tarnwick
