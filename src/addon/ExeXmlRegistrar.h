// Adds the program to, removes it from, and lists, the EXE.xml files through which the
// simulator launches external programs for the current user. Runs only in the short-lived
// processes of the command-line switches, never beside a running bridge.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

// The EXE.xml paths of the known simulator installations that exist, in a fixed order: the
// Store editions under LOCALAPPDATA (2020 LocalCache, 2020 LocalState, 2024 LocalCache), then
// the boxed editions under APPDATA (2020, 2024). Nothing is created here.
std::vector<std::string> FindExeXmlFiles();

// Writes the entry for `name` into every file of FindExeXmlFiles() and returns the number of
// files written. Stops at the first file that cannot be read or written, with errorText
// saying why; files written before stay written.
int RegisterAddon(const std::string& name, const std::string& exePath,
                  const std::string& commandLine, std::string& errorText);

// Removes the entry for `name` from every file that holds it and returns the number of files
// written. Files without the entry, and files that cannot be read, are left alone. Stops at
// the first failed write, with errorText saying why.
int UnregisterAddon(const std::string& name, std::string& errorText);

// Reads the whole file as bytes; false when it cannot be opened or read (also for a folder).
bool ReadExeXmlFile(const std::string& path, std::string& content);

// Replaces the file's content, first copying the old file to path + ".bak". The new content
// goes to path + ".tmp" and is renamed over the file, so an interrupted write never leaves a
// torn EXE.xml. A failed backup keeps the old one, is logged as a warning and ends the write
// ("Failed to back up: " + path), leaving the file untouched.
bool WriteExeXmlFile(const std::string& path, const std::string& content, std::string& errorText);

}  // namespace tarnwick
