#include "config/PathText.h"

#include <exception>
#include <fstream>
#include <system_error>
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
    const std::filesystem::path fsPath = ToFsPath(path);
    // A folder opens as a stream on POSIX and then fails (or throws) on the first read.
    std::error_code ec;
    if (std::filesystem::is_directory(fsPath, ec)) {
        return false;
    }
    std::ifstream in(fsPath, std::ios::binary);
    if (!in.is_open()) {
        return false;
    }
    try {
        std::string content((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
        if (in.bad()) {
            return false;
        }
        out = std::move(content);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace tarnwick
