#include "config/PathText.h"

#include <fstream>
#include <iterator>

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
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return false;
    }
    out = std::move(content);
    return true;
}

}  // namespace tarnwick
