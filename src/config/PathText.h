// Paths are carried through the program as narrow 8-bit text. These helpers are the one place
// where that text meets the file system: on Windows it is converted to and from the wide form
// with the process's narrow code page (UTF-8 when the C library's current code page is UTF-8,
// else the ANSI or OEM code page the file functions use); elsewhere the bytes pass unchanged.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

std::filesystem::path ToFsPath(std::string_view narrow);
std::string FromFsPath(const std::filesystem::path& path);

// Joins two narrow path parts with the platform's separator rule: an empty left part yields
// the right part alone.
std::string JoinPath(std::string_view left, std::string_view right);

// The whole file's bytes; nothing when it cannot be opened or read.
[[nodiscard]] std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace tarnwick
