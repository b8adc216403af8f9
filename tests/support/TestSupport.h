// What nearly every suite needs: polling for a condition with a deadline, and the process log
// pointed at a fresh folder and read back as "[LEVEL] message" lines.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config/PathText.h"
#include "log/Logger.h"
#include "support/TempDir.h"

namespace tarnwick::test {

// A file's bytes as they are on disk; empty when it cannot be read.
inline std::string FileBytes(const std::filesystem::path& path) {
    return ReadWholeFile(path.string()).value_or(std::string());
}

// Polls `done` until it holds; false after `timeout`. Tests wait for workers this way, never for
// a fixed period.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10),
                      std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();
         std::this_thread::sleep_for(poll)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
    }
    return true;
}

// The lines of one log file as "[LEVEL] message" (time stamp and line end removed); a missing
// file has none.
inline std::vector<std::string> LogFileLines(const std::string& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto bracket = line.find(" [");
        lines.push_back(bracket == std::string::npos ? line : line.substr(bracket + 1));
    }
    return lines;
}

// The lines of the current log file and its backups, oldest first: a long run may rotate.
inline std::vector<std::string> LogLinesWithBackups(const std::string& current) {
    std::vector<std::string> lines;
    for (int n = Logger::kMaxBackups; n >= 0; --n) {
        const auto part = LogFileLines(n == 0 ? current : current + "." + std::to_string(n));
        lines.insert(lines.end(), part.begin(), part.end());
    }
    return lines;
}

inline std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}
inline bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return CountOf(lines, line) != 0;
}
inline std::size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

// Points the process's Logger at a fresh folder for the life of the object.
class LogCapture {
public:
    explicit LogCapture(bool debug = false) {
        Logger::Instance().SetDebugEnabled(debug);
        Logger::Instance().Init(dir_.File("logs"), "TarnwickHID", false);
    }
    ~LogCapture() {
        Logger::Instance().Shutdown();
        Logger::Instance().SetDebugEnabled(false);
    }
    std::vector<std::string> Lines() const {
        return LogLinesWithBackups(Logger::Instance().FilePath());
    }
    std::size_t Count(const std::string& line) const { return CountOf(Lines(), line); }
    // Lines that contain `fragment`.
    std::vector<std::string> Matching(const std::string& fragment) const {
        auto lines = Lines();
        std::erase_if(lines, [&](const auto& line) { return line.find(fragment) == line.npos; });
        return lines;
    }
    // The messages of the lines of one level that start with `prefix`.
    std::vector<std::string> Find(const std::string& level, const std::string& prefix = "") const {
        const std::string head = "[" + level + "] ";
        std::vector<std::string> found;
        for (const std::string& line : Lines()) {
            if (line.starts_with(head + prefix))
                found.push_back(line.substr(head.size()));
        }
        return found;
    }

private:
    TempDir dir_;
};

}  // namespace tarnwick::test
