#include "config/PathText.h"

namespace tarnwick {

// POSIX file systems take the narrow bytes as they are.
std::filesystem::path ToFsPath(std::string_view narrow) {
    return std::filesystem::path(std::string(narrow));
}

std::string FromFsPath(const std::filesystem::path& path) { return path.string(); }

}  // namespace tarnwick
