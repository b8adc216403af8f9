// The reload of one changed configuration file while the bridge runs: the file is read and
// validated completely, with the same loaders as start-up, before it replaces anything; on an
// error the previous records stay and the loader's message is logged. config.json brings only
// its "outputs" and "devices" sections along; a change anywhere else in it is logged as one that
// takes a restart.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/AppConfig.h"
#include "config/Json.h"
#include "mapping/MappingEngine.h"

namespace tarnwick {

enum class WatchedFile { Config, Buttons, EventMap };

class LiveReload {
public:
    // `config` is what start-up loads from `configPath` (before the first Reload) and what the
    // engine runs with. The file's text is read now, before start-up reads it, so that a save in
    // between shows as a change.
    LiveReload(std::string configPath, std::shared_ptr<const AppConfig> config);

    // The files to watch; the event map only when start-up had one to load.
    std::vector<std::pair<WatchedFile, std::string>> Files() const;

    struct Outcome {
        MappingRecords records;       // the new records; null members stay as they are
        bool refreshOutputs = false;  // the LED state may have changed
    };
    // Reads `file` again and writes the log lines of the outcome.
    Outcome Reload(WatchedFile file);

private:
    Outcome Load(WatchedFile file);
    const std::string& PathOf(WatchedFile file) const;
    // "Reload of FILE failed: MESSAGE; keeping the previous WHAT".
    void LogFailure(WatchedFile file, const Result& loaded) const;
    Outcome ReloadConfig();

    std::string configPath_;
    std::shared_ptr<const AppConfig> config_;
    JsonValue lastSeen_;  // config.json as last read, to tell which sections changed
};

}  // namespace tarnwick
