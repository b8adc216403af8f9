// The one process-wide log: timestamped lines to a size-rotated file and, with "--console", to
// standard output. Every thread of the program logs through it.
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

namespace tarnwick {

// Written into lines as "INFO", "WARN", "ERROR" and "DEBUG".
enum class LogLevel : int {
    Info = 0,
    Warn = 1,
    Error = 2,
    Debug = 3,
};

class Logger {
public:
    // Constructed on first use (thread-safe) and destroyed at process exit.
    static Logger& Instance();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Sets up the file logDir/baseName.log (creating the folder), prunes stale backups left by
    // a run with more backups, and opens the file. Before Init every line is dropped.
    void Init(const std::string& logDir, const std::string& baseName, bool consoleEcho);

    // Writes one line whatever the level (a DEBUG line too; filtering is Debug's job).
    void Log(LogLevel level, const std::string& message);

    // Writes one DEBUG line only when debug output is on; otherwise touches nothing at all.
    void Debug(const std::string& message);

    // For a crash handler, which may run while any thread (its own too) holds the log's lock:
    // writes one ERROR line to standard error and, when the lock is free, to the log file too.
    void LogFatal(const std::string& message);

    void SetDebugEnabled(bool enabled);
    bool IsDebugEnabled();

    // Flushes and closes the file; the next Log reopens it and appends.
    void Shutdown();

    // Full path of the current log file; empty before Init.
    std::string FilePath();

    static constexpr std::uint64_t kMaxFileBytes = 0x500000;  // 5 MiB
    static constexpr std::int32_t kMaxBackups = 5;

private:
    Logger() = default;
    ~Logger() = default;

    // All of these run with mutex_ held.
    void WriteLine(const char* levelName, const std::string& message);
    void Reopen();
    void RotateIfNeeded();
    void PruneStaleBackups();

    std::mutex mutex_;
    std::ofstream file_;
    std::string logDir_;
    std::string baseName_;
    std::string filePath_;
    std::uint64_t maxFileBytes_ = 0;
    std::int32_t maxBackups_ = 0;
    // Bytes in the open file: its size when opened plus every byte written since. A size read
    // through the path can lag far behind while the file is open (NTFS updates the directory
    // entry lazily), so rotation never asks the path.
    std::uint64_t fileBytes_ = 0;
    bool consoleEcho_ = false;
    bool debugEnabled_ = false;
};

// The level's name as written into lines; unknown numeric levels read as "INFO".
const char* LogLevelName(LogLevel level);

}  // namespace tarnwick
