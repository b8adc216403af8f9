#include "addon/ExeXmlRegistrar.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string_view>
#include <system_error>

#include "addon/ExeXmlText.h"
#include "config/PathText.h"
#include "log/Logger.h"

namespace tarnwick {
namespace fs = std::filesystem;

namespace {

// The candidate paths are written the way the simulator's own folders are named on Windows;
// elsewhere (the native test builds) the same layout is used with the native separator.
#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::string Getenv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string Under(std::string base, std::initializer_list<std::string_view> parts) {
    for (const std::string_view part : parts) {
        base += kSeparator;
        base += part;
    }
    return base;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(ToFsPath(path), ec) && !ec;
}

void RemoveQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove(ToFsPath(path), ec);
}

// The copy goes to a temporary name first and is renamed over the old backup only when it is
// whole, so a copy that fails (a full disk) leaves the old backup as it was. copy_file with
// overwrite_existing fails with "File exists" under MinGW when the target exists, so a leftover
// temporary copy is removed first.
bool BackUp(const std::string& path) {
    const std::string backup = path + ".bak";
    const std::string temp = backup + ".tmp";
    RemoveQuietly(temp);
    std::error_code ec;
    fs::copy_file(ToFsPath(path), ToFsPath(temp), ec);
    if (!ec) {
        fs::rename(ToFsPath(temp), ToFsPath(backup), ec);
    }
    if (ec) {
        RemoveQuietly(temp);
        Logger::Instance().Log(LogLevel::Warn, "Failed to back up EXE.xml before writing: " + path +
                                                   " (" + ec.message() + ")");
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> FindExeXmlFiles() {
    const std::string localAppData = Getenv("LOCALAPPDATA");
    const std::string appData = Getenv("APPDATA");
    std::vector<std::string> candidates;
    if (!localAppData.empty()) {
        candidates.push_back(Under(
            localAppData,
            {"Packages", "Microsoft.FlightSimulator_8wekyb3d8bbwe", "LocalCache", "EXE.xml"}));
        candidates.push_back(Under(
            localAppData,
            {"Packages", "Microsoft.FlightSimulator_8wekyb3d8bbwe", "LocalState", "EXE.xml"}));
        candidates.push_back(Under(localAppData, {"Packages", "Microsoft.Limitless_8wekyb3d8bbwe",
                                                  "LocalCache", "EXE.xml"}));
    }
    if (!appData.empty()) {
        candidates.push_back(Under(appData, {"Microsoft Flight Simulator", "EXE.xml"}));
        candidates.push_back(Under(appData, {"Microsoft Flight Simulator 2024", "EXE.xml"}));
    }
    std::vector<std::string> found;
    for (std::string& candidate : candidates) {
        if (Exists(candidate)) {
            found.push_back(std::move(candidate));
        }
    }
    return found;
}

std::optional<std::string> ReadExeXmlFile(const std::string& path) {
    return ReadWholeFile(path);
}

Result WriteExeXmlFile(const std::string& path, const std::string& content) {
    const fs::path target = ToFsPath(path);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    // No write without a backup of what is there: the file is the simulator's, not ours.
    if (Exists(path) && !BackUp(path)) {
        return Result::Failure("Failed to back up: " + path);
    }

    const std::string temp = path + ".tmp";
    {
        std::ofstream out(ToFsPath(temp), std::ios::binary | std::ios::trunc);
        if (!out.is_open()) {
            return Result::Failure("Failed to open for write: " + path);
        }
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out.good()) {
            RemoveQuietly(temp);
            return Result::Failure("Failed to write: " + path);
        }
    }
    fs::rename(ToFsPath(temp), target, ec);
    if (ec) {
        RemoveQuietly(temp);
        return Result::Failure("Failed to write: " + path);
    }
    return Result::Success();
}

ExeXmlUpdate RegisterAddon(const std::string& name, const std::string& exePath,
                           const std::string& commandLine) {
    ExeXmlUpdate update;
    for (const std::string& path : FindExeXmlFiles()) {
        // A file that exists but cannot be read must not be taken for a blank one, or its
        // content would be replaced by the default document. It is reported and ends the run
        // like a failed write: one error text names the first file in trouble, the count covers
        // exactly the files before it, and a second run after the fix completes the rest.
        const std::optional<std::string> document = ReadExeXmlFile(path);
        if (!document) {
            update.outcome = Result::Failure("Failed to read: " + path);
            return update;
        }
        update.outcome =
            WriteExeXmlFile(path, AddAddonToDocument(*document, name, exePath, commandLine));
        if (!update.outcome) {
            return update;
        }
        ++update.filesWritten;
    }
    return update;
}

ExeXmlUpdate UnregisterAddon(const std::string& name) {
    ExeXmlUpdate update;
    for (const std::string& path : FindExeXmlFiles()) {
        const std::optional<std::string> document = ReadExeXmlFile(path);
        if (!document || document->empty()) {
            continue;
        }
        const std::string updated = RemoveAddonFromDocument(*document, name);
        if (updated == *document) {
            continue;
        }
        update.outcome = WriteExeXmlFile(path, updated);
        if (!update.outcome) {
            return update;
        }
        ++update.filesWritten;
    }
    return update;
}

}  // namespace tarnwick
