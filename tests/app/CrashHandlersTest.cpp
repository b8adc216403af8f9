// A process that fails must log one line and end, not wait in an error dialog holding the
// single-instance lock.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kProbeName = "crash_probe.exe";
#else
constexpr const char* kProbeName = "crash_probe";
#endif

TEST(CrashHandlersTest, AFailureLogsOneLineAndEndsTheProcess) {
    struct Case {
        const char* mode;
        std::string linePrefix;
    };
    std::vector<Case> cases = {{"throw", "[ERROR] Terminated (probe failure); exiting"}};
#ifdef _WIN32
    cases.push_back({"crash", "[ERROR] Unhandled exception 0xC0000005 at 0x"});
#endif
    const std::string probe =
        (fs::path(test::CurrentExecutablePath()).parent_path() / kProbeName).string();
    for (const Case& c : cases) {
        test::TempDir dir;
        const auto result = test::RunChild(probe, {dir.Path().string(), c.mode},
                                           test::ChildOptions{{}, dir.Path().string(), ""},
                                           std::chrono::seconds(30));
        // Ended (not -1), and not as a success.
        EXPECT_NE(result.exitCode, -1) << c.mode << "\n" << result.err;
        EXPECT_NE(result.exitCode, 0) << c.mode << "\n" << result.err;
        const auto log = test::LogFileLines((dir.Path() / "TarnwickHID.log").string());
        ASSERT_EQ(log.size(), 1u) << c.mode << "\n" << result.err;
        EXPECT_EQ(log[0].rfind(c.linePrefix, 0), 0u) << log[0];
    }
}

}  // namespace
}  // namespace tarnwick
