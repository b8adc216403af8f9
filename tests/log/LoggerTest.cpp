#include "log/Logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// Lines of a log file, with the line end (CR LF on Windows, LF elsewhere) removed.
std::vector<std::string> ReadLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(test::FileBytes(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

void WriteFileOfSize(const fs::path& path, std::uintmax_t size, char fill) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string chunk(64 * 1024, fill);
    std::uintmax_t left = size;
    while (left > 0) {
        const auto n = static_cast<std::streamsize>(std::min<std::uintmax_t>(left, chunk.size()));
        out.write(chunk.data(), n);
        left -= static_cast<std::uintmax_t>(n);
    }
}

// The Logger is the process's single instance; each test points it at a fresh folder and
// closes the file again, so tests do not see each other's lines.
class LoggerTest : public testing::Test {
protected:
    void SetUp() override {
        logDir_ = (dir_.Path() / "logs").string();
        Logger::Instance().SetDebugEnabled(false);
        Logger::Instance().Init(logDir_, "TarnwickHID", false);
    }
    void TearDown() override {
        Logger::Instance().SetDebugEnabled(false);
        Logger::Instance().Shutdown();
    }
    fs::path LogFile() const { return fs::path(logDir_) / "TarnwickHID.log"; }
    fs::path Backup(int n) const {
        return fs::path(logDir_) / ("TarnwickHID.log." + std::to_string(n));
    }

    test::TempDir dir_;
    std::string logDir_;
};

const std::regex kLinePattern(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[(INFO|WARN|ERROR|DEBUG)\] .*)");

TEST_F(LoggerTest, InitCreatesFolderAndWritesFormattedLines) {
    EXPECT_EQ(Logger::Instance().FilePath(), LogFile().string());
    Logger::Instance().Log(LogLevel::Info, "first");
    Logger::Instance().Log(LogLevel::Warn, "second");
    Logger::Instance().Log(LogLevel::Error, "third");
    Logger::Instance().Log(LogLevel::Debug, "fourth, written although debug is off");
    Logger::Instance().Log(static_cast<LogLevel>(7), "unknown level");
    Logger::Instance().Log(LogLevel::Info, "");

    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), 6u);
    const char* expected[] = {"[INFO] first", "[WARN] second", "[ERROR] third",
                              "[DEBUG] fourth, written although debug is off",
                              "[INFO] unknown level", "[INFO] "};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], kLinePattern)) << lines[i];
        // Timestamp (19 bytes) and one space, then the rest exactly.
        ASSERT_GE(lines[i].size(), 20u);
        EXPECT_EQ(lines[i].substr(20), expected[i]);
    }
}

#ifdef _WIN32
TEST_F(LoggerTest, LineEndsReachTheDiskAsCrLf) {
    Logger::Instance().Log(LogLevel::Info, "x");
    Logger::Instance().Shutdown();
    const std::string content = test::FileBytes(LogFile());
    ASSERT_GE(content.size(), 2u);
    EXPECT_EQ(content.substr(content.size() - 3), "x\r\n");
}
#endif

TEST_F(LoggerTest, DebugFollowsTheSwitch) {
    Logger::Instance().Debug("hidden");
    Logger::Instance().SetDebugEnabled(true);
    Logger::Instance().Debug("shown");
    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(20), "[DEBUG] shown");
}

TEST_F(LoggerTest, ShutdownThenLogReopensAndAppends) {
    Logger::Instance().Log(LogLevel::Info, "before");
    Logger::Instance().Shutdown();
    Logger::Instance().Log(LogLevel::Info, "after");
    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(20), "[INFO] before");
    EXPECT_EQ(lines[1].substr(20), "[INFO] after");
}

TEST_F(LoggerTest, RotatesAtThresholdShiftingBackupsAndDroppingTheSixth) {
    Logger::Instance().Shutdown();
    WriteFileOfSize(LogFile(), Logger::kMaxFileBytes, 'c');
    for (int n = 1; n <= 5; ++n) {
        WriteFileOfSize(Backup(n), static_cast<std::uintmax_t>(n), static_cast<char>('0' + n));
    }

    Logger::Instance().Log(LogLevel::Info, "fresh");

    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(20), "[INFO] fresh");
    EXPECT_EQ(fs::file_size(Backup(1)), Logger::kMaxFileBytes);
    for (int n = 2; n <= 5; ++n) {
        // The old .n-1 (n-1 bytes of the digit n-1) moved to .n.
        EXPECT_EQ(test::FileBytes(Backup(n)), std::string(static_cast<size_t>(n - 1),
                                                   static_cast<char>('0' + n - 1)))
            << n;
    }
    EXPECT_FALSE(fs::exists(Backup(6)));
}

TEST_F(LoggerTest, FileBelowThresholdIsNotRotated) {
    Logger::Instance().Shutdown();
    WriteFileOfSize(LogFile(), Logger::kMaxFileBytes - 1, 'c');
    Logger::Instance().Log(LogLevel::Info, "one more");
    EXPECT_FALSE(fs::exists(Backup(1)));
    // The check comes before the write: this line pushed the file past the threshold, so the
    // next one rotates it.
    Logger::Instance().Log(LogLevel::Info, "rotates");
    EXPECT_TRUE(fs::exists(Backup(1)));
    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(20), "[INFO] rotates");
}

TEST_F(LoggerTest, RotationCountsTheBytesWrittenNotWhatThePathShows) {
    // While the file is open, a size read through its path may lag behind what was written
    // (NTFS updates directory entries lazily); cutting the file through its path plays that.
    Logger::Instance().Log(LogLevel::Info, std::string(Logger::kMaxFileBytes, 'c'));
    fs::resize_file(LogFile(), 0);
    Logger::Instance().Log(LogLevel::Info, "rotates");
    EXPECT_TRUE(fs::exists(Backup(1)));
    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(20), "[INFO] rotates");
}

TEST_F(LoggerTest, DebugWithDebugOffDoesNotRotate) {
    Logger::Instance().Shutdown();
    WriteFileOfSize(LogFile(), Logger::kMaxFileBytes + 10, 'c');
    Logger::Instance().Debug("ignored");
    EXPECT_FALSE(fs::exists(Backup(1)));
    EXPECT_EQ(fs::file_size(LogFile()), Logger::kMaxFileBytes + 10);
}

TEST_F(LoggerTest, InitPrunesStaleBackupsBeyondTheKeptFive) {
    Logger::Instance().Shutdown();
    for (int n = 1; n <= 40; ++n) {
        WriteFileOfSize(Backup(n), 1, 'x');
    }
    Logger::Instance().Init(logDir_, "TarnwickHID", false);
    for (int n = 1; n <= 5; ++n) {
        EXPECT_TRUE(fs::exists(Backup(n))) << n;
    }
    for (int n = 6; n <= 37; ++n) {
        EXPECT_FALSE(fs::exists(Backup(n))) << n;
    }
    // Only .6 to .37 are examined; anything further is left as it is.
    for (int n = 38; n <= 40; ++n) {
        EXPECT_TRUE(fs::exists(Backup(n))) << n;
    }
}

TEST_F(LoggerTest, UnusableFolderDropsLinesSilentlyAndRecoversLater) {
    // A file where the log folder should be: the folder cannot be created, nothing opens.
    const std::string blocked = dir_.Write("blocked", "not a folder");
    Logger::Instance().Init(blocked, "TarnwickHID", false);
    Logger::Instance().Log(LogLevel::Info, "lost");
    EXPECT_EQ(test::FileBytes(blocked), "not a folder");

    // Every line retries the open, so the log resumes once the folder can be made.
    fs::remove(blocked);
    fs::create_directories(blocked);
    Logger::Instance().Log(LogLevel::Info, "kept");
    const auto lines = ReadLines(fs::path(blocked) / "TarnwickHID.log");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(20), "[INFO] kept");
}

TEST_F(LoggerTest, EmptyFolderMeansTheWorkingFolder) {
    const auto saved = fs::current_path();
    fs::current_path(dir_.Path());
    Logger::Instance().Init("", "Working", false);
    EXPECT_EQ(Logger::Instance().FilePath(), "Working.log");
    Logger::Instance().Log(LogLevel::Info, "here");
    Logger::Instance().Shutdown();
    EXPECT_EQ(ReadLines(dir_.Path() / "Working.log").size(), 1u);
    fs::current_path(saved);
}

TEST_F(LoggerTest, ConsoleEchoWritesTheSameLineToStandardOutput) {
    Logger::Instance().Init(logDir_, "TarnwickHID", true);
    testing::internal::CaptureStdout();
    Logger::Instance().Log(LogLevel::Warn, "echoed");
    const std::string out = testing::internal::GetCapturedStdout();
    Logger::Instance().Init(logDir_, "TarnwickHID", false);
    ASSERT_GE(out.size(), 21u);
    EXPECT_EQ(out.substr(19), " [WARN] echoed\n");
    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 19), out.substr(0, 19));
}

TEST_F(LoggerTest, ManyThreadsNeverTearOrLoseLines) {
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 400;
    Logger::Instance().SetDebugEnabled(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                const std::string text = "thread " + std::to_string(t) + " line " +
                                         std::to_string(i) + " " + std::string(40, 'a' + t);
                if (i % 2 == 0) {
                    Logger::Instance().Log(LogLevel::Info, text);
                } else {
                    Logger::Instance().Debug(text);
                }
            }
        });
    }
    // Flip the switch and reopen meanwhile: neither may race with a write.
    for (int i = 0; i < 50; ++i) {
        Logger::Instance().SetDebugEnabled(true);
        Logger::Instance().Shutdown();
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread));
    const std::regex pattern(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[(INFO|DEBUG)\] thread (\d) line (\d+) ([a-h]{40}))");
    std::set<std::string> seen;
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
        const int thread = std::stoi(match[2]);
        EXPECT_EQ(match[4].str(), std::string(40, static_cast<char>('a' + thread)));
        EXPECT_TRUE(seen.insert(match[2].str() + ":" + match[3].str()).second) << line;
    }
}

}  // namespace
}  // namespace tarnwick
