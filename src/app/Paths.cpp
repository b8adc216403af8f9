#include "app/Paths.h"

#include <filesystem>

#include "app/SystemServices.h"
#include "config/PathText.h"

namespace tarnwick {

std::string ExecutableDirectory(SystemServices& services) {
    const std::string exePath = services.ExecutablePath();
    if (exePath.empty()) {
        return {};
    }
    return FromFsPath(ToFsPath(exePath).parent_path());
}

std::string ResolveDefaultConfigPath(SystemServices& services) {
    const std::string exeDir = ExecutableDirectory(services);
    const std::string candidate = JoinPath(JoinPath(exeDir, "config"), "config.json");
    if (!exeDir.empty() && std::filesystem::exists(ToFsPath(candidate))) {
        return candidate;
    }
    const std::string appData = services.CommonAppDataDirectory();
    if (!appData.empty()) {
        return JoinPath(JoinPath(appData, "Tarnwick"), "config.json");
    }
    return candidate;
}

std::string ResolveLogDirectory(bool consoleMode, const std::string& appDataDir,
                                const std::string& fallbackDir) {
    if (!consoleMode && !appDataDir.empty()) {
        return JoinPath(JoinPath(appDataDir, "Tarnwick"), "logs");
    }
    return fallbackDir;
}

}  // namespace tarnwick
