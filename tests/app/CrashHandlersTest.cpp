// A process that fails must log one line and end, not wait in an error dialog holding the
// single-instance lock.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

TEST(CrashHandlersTest, AFailureLogsOneLineAndEndsTheProcess) {
    std::vector<std::pair<std::string, std::string>> cases = {
        {"throw", "[ERROR] Terminated (probe failure); exiting"}};
    auto probe = std::filesystem::path(test::CurrentExecutablePath()).parent_path() / "crash_probe";
#ifdef _WIN32
    probe += ".exe";
    cases.emplace_back("crash", "[ERROR] Unhandled exception 0xC0000005 at 0x");
#endif
    for (const auto& [mode, linePrefix] : cases) {
        test::TempDir dir;
        const auto result = test::RunChild(probe.string(), {dir.Path().string(), mode},
                                           test::ChildOptions{{}, dir.Path().string(), ""});
        // Ended (not -1), and not as a success.
        EXPECT_TRUE(result.exitCode != -1 && result.exitCode != 0) << mode << "\n" << result.err;
        const auto log = test::LogFileLines((dir.Path() / "TarnwickHID.log").string());
        ASSERT_EQ(log.size(), 1u) << mode << "\n" << result.err;
        EXPECT_EQ(log[0].rfind(linePrefix, 0), 0u) << log[0];
    }
}

}  // namespace
}  // namespace tarnwick
