// Adds the program to, removes it from, and lists, the EXE.xml files through which the
// simulator launches external programs for the current user. Runs only in the short-lived
// processes of the command-line switches, never beside a running bridge.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Result.h"

namespace tarnwick {

// The EXE.xml paths of the known simulator installations that exist, in a fixed order: the
// Store editions under LOCALAPPDATA (2020 LocalCache, 2020 LocalState, 2024 LocalCache), then
// the boxed editions under APPDATA (2020, 2024). Nothing is created here.
std::vector<std::string> FindExeXmlFiles();

// What a run over the EXE.xml files did: how many files it wrote, and why it stopped early
// (success when it went through every file). Files written before a failure stay written.
struct [[nodiscard]] ExeXmlUpdate {
    int filesWritten = 0;
    Result outcome = Result::Success();
};

// Writes the entry for `name` into every file of FindExeXmlFiles(). Stops at the first file
// that cannot be read or written.
ExeXmlUpdate RegisterAddon(const std::string& name, const std::string& exePath,
                           const std::string& commandLine);

// Removes the entry for `name` from every file that holds it. Files without the entry, and
// files that cannot be read, are left alone. Stops at the first failed write.
ExeXmlUpdate UnregisterAddon(const std::string& name);

// The whole file as bytes; nothing when it cannot be opened or read (also for a folder).
[[nodiscard]] std::optional<std::string> ReadExeXmlFile(const std::string& path);

// Replaces the file's content, first copying the old file to path + ".bak". The new content
// goes to path + ".tmp" and is renamed over the file, so an interrupted write never leaves a
// torn EXE.xml. A failed backup keeps the old one, is logged as a warning and ends the write
// ("Failed to back up: " + path), leaving the file untouched.
Result WriteExeXmlFile(const std::string& path, const std::string& content);

}  // namespace tarnwick
