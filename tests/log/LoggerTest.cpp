#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/Logger.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

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
        fs::path path = dir_.Path() / "logs" / "TarnwickHID.log";
        return backup > 0 ? path += '.' + std::to_string(backup) : path;
    }
    Lines Read() const { return test::LogFileLines(File().string()); }

    test::TempDir dir_;
    Logger& log_ = Logger::Instance();
};

TEST_F(LoggerTest, LinesCarryStampAndLevelAndSurviveAReopen) {
    log_.Log(LogLevel::Debug, "written although debug is off");
    log_.Log(static_cast<LogLevel>(7), "unknown level");
    log_.Debug("hidden");
    log_.SetDebugEnabled(true);
    log_.Debug("shown");
    log_.Shutdown();
    log_.Log(LogLevel::Info, "");
    EXPECT_EQ(Read(), (Lines{"[DEBUG] written although debug is off", "[INFO] unknown level",
                             "[DEBUG] shown", "[INFO] "}));
    // Each line starts with its time stamp; the file is written in text mode.
    const std::string bytes = test::FileBytes(File());
    EXPECT_TRUE(
        std::regex_match(bytes.substr(0, 20), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )")));
#ifdef _WIN32
    EXPECT_EQ(bytes.substr(bytes.size() - 9), "[INFO] \r\n");
#endif
}

TEST_F(LoggerTest, RotatesPastTheThresholdShiftingBackupsAndPruningStaleOnes) {
    log_.Shutdown();
    for (int n = 1; n <= 40; ++n) {
        std::ofstream(File(n), std::ios::binary) << static_cast<char>('0' + n % 10);
    }
    // Only .6 to .37 are stale; anything further is left as it is.
    log_.Init(dir_.File("logs"), "TarnwickHID", false);
    for (int n = 1; n <= 40; ++n) {
        EXPECT_EQ(fs::exists(File(n)), n <= 5 || n >= 38) << n;
    }
    log_.Shutdown();
    std::ofstream(File(), std::ios::binary) << std::string(Logger::kMaxFileBytes - 1, 'c');
    // The check comes before the write: this line pushes the file past the threshold, so only
    // the next one rotates it; a DEBUG line with debug off touches nothing.
    log_.Log(LogLevel::Info, "one more");
    log_.Debug("ignored");
    EXPECT_EQ(test::FileBytes(File(1)), "1");
    log_.Log(LogLevel::Info, "fresh");
    EXPECT_EQ(Read(), Lines{"[INFO] fresh"});
    EXPECT_EQ(test::FileBytes(File(2)) + test::FileBytes(File(5)), "14");
    EXPECT_FALSE(fs::exists(File(6)));
}

TEST_F(LoggerTest, RotationCountsTheBytesWrittenNotWhatThePathShows) {
    // While the file is open, a size read through its path may lag behind what was written
    // (NTFS updates directory entries lazily); cutting the file through its path plays that.
    log_.Log(LogLevel::Info, std::string(Logger::kMaxFileBytes, 'c'));
    fs::resize_file(File(), 0);
    log_.Log(LogLevel::Info, "rotates");
    EXPECT_TRUE(fs::exists(File(1)));
    EXPECT_EQ(Read(), Lines{"[INFO] rotates"});
}

}  // namespace
}  // namespace tarnwick
