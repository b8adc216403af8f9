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

bool ReadWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(ToFsPath(path), std::ios::binary);
    if (!in.is_open()) {
        return false;
    }
    // Unformatted reads turn a failing read (a folder opened on POSIX reports EISDIR only here)
    // into badbit, where an istreambuf_iterator would let the exception escape.
    std::string data;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        data.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        return false;
    }
    out = std::move(data);
    return true;
}

}  // namespace tarnwick
