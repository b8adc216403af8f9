#include "log/Logger.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "config/PathText.h"

namespace tarnwick {
namespace fs = std::filesystem;

namespace {

// Local time of the system clock, truncated to whole seconds. std::localtime shares one static
// buffer, which is safe here because only the Logger calls it, always under its mutex.
std::string Timestamp() {
    const std::time_t now =
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    const std::tm* local = std::localtime(&now);
    char buffer[32] = {};
    if (local == nullptr || std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", local) == 0) {
        return "0000-00-00 00:00:00";
    }
    return buffer;
}

// What one line end puts on the disk: the text-mode stream writes CR LF on Windows.
#ifdef _WIN32
constexpr std::uint64_t kLineEndBytes = 2;
#else
constexpr std::uint64_t kLineEndBytes = 1;
#endif

bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec) && !ec;
}

}  // namespace

const char* LogLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Warn:
            return "WARN";
        case LogLevel::Error:
            return "ERROR";
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Info:
        default:
            return "INFO";
    }
}

Logger& Logger::Instance() {
    static Logger instance;
    return instance;
}

void Logger::Init(const std::string& logDir, const std::string& baseName, bool consoleEcho) {
    std::lock_guard<std::mutex> lock(mutex_);
    logDir_ = logDir;
    baseName_ = baseName;
    maxFileBytes_ = kMaxFileBytes;
    maxBackups_ = kMaxBackups;
    consoleEcho_ = consoleEcho;
    if (!logDir_.empty()) {
        // A folder that cannot be created shows up as a failing open, retried on every line.
        std::error_code ec;
        fs::create_directories(ToFsPath(logDir_), ec);
    }
    filePath_ = JoinPath(logDir_, baseName_ + ".log");
    PruneStaleBackups();
    Reopen();
}

void Logger::Log(LogLevel level, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteLine(LogLevelName(level), message);
}

void Logger::Debug(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!debugEnabled_) {
        return;
    }
    WriteLine("DEBUG", message);
}

void Logger::LogFatal(const std::string& message) {
    const std::string line = Timestamp() + " [ERROR] " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    // try_lock, never lock: the crash may have struck while the lock was held. (A mutex that
    // the calling thread holds reads as busy with the platform's lock.)
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (lock.owns_lock() && file_.is_open()) {
        file_ << line.substr(0, line.size() - 1) << '\n';
        file_.flush();
        fileBytes_ += line.size() - 1 + kLineEndBytes;
    }
}

void Logger::SetDebugEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    debugEnabled_ = enabled;
}

bool Logger::IsDebugEnabled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return debugEnabled_;
}

void Logger::Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.is_open()) {
        file_.flush();
        file_.close();
    }
}

std::string Logger::FilePath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return filePath_;
}

void Logger::WriteLine(const char* levelName, const std::string& message) {
    // A write that failed (a full disk, a share gone) leaves the stream unusable for good; like a
    // failed open, it is opened afresh before the next line, so logging resumes by itself.
    if (!file_.is_open() || !file_) {
        Reopen();
    }
    RotateIfNeeded();

    std::string line = Timestamp();
    line += " [";
    line += levelName;
    line += "] ";
    line += message;

    if (file_.is_open()) {
        file_ << line << '\n';
        file_.flush();
        fileBytes_ += line.size() + kLineEndBytes;
    }
    if (consoleEcho_) {
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

void Logger::Reopen() {
    if (file_.is_open()) {
        file_.close();
    }
    file_.clear();
    fileBytes_ = 0;
    if (filePath_.empty()) {
        return;
    }
    // Text mode on purpose: on Windows each line end reaches the disk as CR LF.
    // Appending: what is already there counts towards the threshold. Its size is read while no
    // handle of ours is open on it, so the directory entry is up to date.
    const fs::path path = ToFsPath(filePath_);
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    file_.open(path, std::ios::out | std::ios::app);
    if (file_.is_open() && !ec) {
        fileBytes_ = static_cast<std::uint64_t>(size);
    }
}

void Logger::RotateIfNeeded() {
    if (maxFileBytes_ == 0 || maxBackups_ < 1 || filePath_.empty()) {
        return;
    }
    const fs::path current = ToFsPath(filePath_);
    std::error_code ec;
    if (!fs::exists(current, ec) || ec) {
        // The open file is no longer at its path: its folder was removed or replaced under it.
        // Lines written to it would be lost; open the path afresh (retried on every line while
        // that fails), so logging resumes once the folder is back.
        if (file_.is_open()) {
            Reopen();
        }
        return;
    }
    if (!file_.is_open() || fileBytes_ < maxFileBytes_) {
        return;
    }

    if (file_.is_open()) {
        file_.flush();
        file_.close();
    }
    // Shift .n to .n+1 from the oldest down; a failed rename (a reader holding a backup open)
    // is skipped and the rest goes on, so logging never stops over it.
    for (std::int32_t n = maxBackups_; n >= 1; --n) {
        const fs::path from = ToFsPath(filePath_ + "." + std::to_string(n));
        if (Exists(from)) {
            fs::rename(from, ToFsPath(filePath_ + "." + std::to_string(n + 1)), ec);
        }
    }
    if (Exists(current)) {
        fs::rename(current, ToFsPath(filePath_ + ".1"), ec);
    }
    PruneStaleBackups();
    Reopen();
}

void Logger::PruneStaleBackups() {
    if (filePath_.empty()) {
        return;
    }
    for (std::int32_t n = maxBackups_ + 1; n <= maxBackups_ + 32; ++n) {
        const fs::path stale = ToFsPath(filePath_ + "." + std::to_string(n));
        std::error_code ec;
        if (fs::exists(stale, ec) && !ec) {
            fs::remove(stale, ec);
        }
    }
}

}  // namespace tarnwick
