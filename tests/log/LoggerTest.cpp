#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/Logger.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// Lines of a log file without their line ends and, when `stamped`, without the 20 bytes of time
// stamp and space, which must be there.
std::vector<std::string> ReadLines(const fs::path& path, bool stamped = true) {
    static const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} .*)");
    std::vector<std::string> lines;
    std::istringstream in(test::FileBytes(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        EXPECT_TRUE(!stamped || std::regex_match(line, stamp)) << line;
        lines.push_back(stamped ? line.substr(20) : line);
    }
    return lines;
}

void WriteFileOfSize(const fs::path& path, std::uintmax_t size, char fill) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, fill);
}

// The Logger is the process's single instance; each test points it at a fresh folder and
// closes the file again, so tests do not see each other's lines.
class LoggerTest : public testing::Test {
protected:
    void SetUp() override { log_.Init(dir_.File("logs"), "TarnwickHID", false); }
    void TearDown() override {
        log_.SetDebugEnabled(false);
        log_.Shutdown();
    }
    fs::path File(int backup = 0) const {
        return dir_.Path() / "logs" /
               ("TarnwickHID.log" + (backup > 0 ? "." + std::to_string(backup) : ""));
    }

    test::TempDir dir_;
    Logger& log_ = Logger::Instance();
};

TEST_F(LoggerTest, LinesCarryLevelAndTextAndSurviveAReopen) {
    EXPECT_EQ(log_.FilePath(), File().string());
    log_.Log(LogLevel::Info, "first");
    log_.Log(LogLevel::Warn, "second");
    log_.Log(LogLevel::Error, "third");
    log_.Log(LogLevel::Debug, "written although debug is off");
    log_.Log(static_cast<LogLevel>(7), "unknown level");
    log_.Debug("hidden");
    log_.SetDebugEnabled(true);
    log_.Debug("shown");
    log_.Shutdown();
    log_.Log(LogLevel::Info, "");
    EXPECT_EQ(ReadLines(File()),
              (std::vector<std::string>{"[INFO] first", "[WARN] second", "[ERROR] third",
                                        "[DEBUG] written although debug is off",
                                        "[INFO] unknown level", "[DEBUG] shown", "[INFO] "}));
#ifdef _WIN32
    const std::string bytes = test::FileBytes(File());
    EXPECT_EQ(bytes.substr(bytes.size() - 10), "[INFO] \r\n");
#endif
}

TEST_F(LoggerTest, RotatesPastTheThresholdShiftingBackupsAndPruningStaleOnes) {
    log_.Shutdown();
    for (int n = 1; n <= 40; ++n) {
        WriteFileOfSize(File(n), 1, static_cast<char>('0' + n % 10));
    }
    // Only .6 to .37 are stale; anything further is left as it is.
    log_.Init(dir_.File("logs"), "TarnwickHID", false);
    for (int n = 1; n <= 40; ++n) {
        EXPECT_EQ(fs::exists(File(n)), n <= 5 || n >= 38) << n;
    }
    log_.Shutdown();
    WriteFileOfSize(File(), Logger::kMaxFileBytes - 1, 'c');
    // The check comes before the write: this line pushes the file past the threshold, so only
    // the next one rotates it; a DEBUG line with debug off touches nothing.
    log_.Log(LogLevel::Info, "one more");
    log_.Debug("ignored");
    EXPECT_EQ(test::FileBytes(File(1)), "1");
    log_.Log(LogLevel::Info, "fresh");
    EXPECT_EQ(ReadLines(File()), std::vector<std::string>{"[INFO] fresh"});
    EXPECT_GT(fs::file_size(File(1)), Logger::kMaxFileBytes);
    for (int n = 2; n <= 5; ++n) {
        EXPECT_EQ(test::FileBytes(File(n)), std::string(1, static_cast<char>('0' + n - 1))) << n;
    }
    EXPECT_FALSE(fs::exists(File(6)));
}

TEST_F(LoggerTest, RotationCountsTheBytesWrittenNotWhatThePathShows) {
    // While the file is open, a size read through its path may lag behind what was written
    // (NTFS updates directory entries lazily); cutting the file through its path plays that.
    log_.Log(LogLevel::Info, std::string(Logger::kMaxFileBytes, 'c'));
    fs::resize_file(File(), 0);
    log_.Log(LogLevel::Info, "rotates");
    EXPECT_TRUE(fs::exists(File(1)));
    EXPECT_EQ(ReadLines(File()), std::vector<std::string>{"[INFO] rotates"});
}

TEST_F(LoggerTest, UnusableFolderDropsLinesAndRecoversLaterAndEchoGoesToStandardOutput) {
    // A file where the log folder should be: the folder cannot be created, nothing opens.
    const std::string blocked = dir_.Write("blocked", "not a folder");
    log_.Init(blocked, "TarnwickHID", true);
    testing::internal::CaptureStdout();
    log_.Log(LogLevel::Info, "lost");
    EXPECT_EQ(test::FileBytes(blocked), "not a folder");
    // Every line retries the open, so the log resumes once the folder can be made.
    fs::remove(blocked);
    fs::create_directories(blocked);
    log_.Log(LogLevel::Warn, "kept");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadLines(fs::path(blocked) / "TarnwickHID.log"),
              std::vector<std::string>{"[WARN] kept"});
    EXPECT_EQ(ReadLines(dir_.Write("echo", out)),
              (std::vector<std::string>{"[INFO] lost", "[WARN] kept"}));
}

TEST_F(LoggerTest, ManyThreadsNeverTearOrLoseLines) {
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    log_.SetDebugEnabled(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string text = std::to_string(t) + " " + std::to_string(i) + " " +
                                         std::string(40, static_cast<char>('a' + t));
                i % 2 == 0 ? log_.Log(LogLevel::Info, text) : log_.Debug(text);
            }
        });
    }
    // Flip the switch and reopen meanwhile: neither may race with a write.
    for (int i = 0; i < 50; ++i) {
        log_.SetDebugEnabled(true);
        log_.Shutdown();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::regex pattern(R"(\[(INFO|DEBUG)\] (\d) (\d+) ([a-h]{40}))");
    std::set<std::string> seen;
    for (const std::string& line : ReadLines(File())) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
        EXPECT_EQ(m[4].str(), std::string(40, static_cast<char>('a' + std::stoi(m[2]))));
        EXPECT_TRUE(seen.insert(m[2].str() + ":" + m[3].str()).second) << line;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace tarnwick
