#include "config/PathText.h"

#include <fstream>

namespace tarnwick {

std::string JoinPath(std::string_view left, std::string_view right) {
    if (left.empty()) {
        return std::string(right);
    }
    if (right.empty()) {
        return std::string(left);
    }
    return FromFsPath(ToFsPath(left) / ToFsPath(right));
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(ToFsPath(path), std::ios::binary);
    if (!in.is_open()) {
        return std::nullopt;
    }
    // Unformatted reads turn a failing read (a folder opened on POSIX reports EISDIR only here)
    // into badbit, where an istreambuf_iterator would let the exception escape.
    std::string data;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        data.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return data;
}

}  // namespace tarnwick
