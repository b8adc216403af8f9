// The real executable's configuration check and device listing, as a user runs them from a
// console: exact output and exit code.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/Backends.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

TEST(ConfigToolsTest, CheckAndListFromTheCommandLine) {
    test::TempDir dir;
    const std::string examples = std::string(TARNWICK_TEST_DATA_DIR) + "/../../examples/";
    const std::string example = examples + "cockpit/config/config.json";
    struct Row {
        std::vector<std::string> args;
        std::string out;  // the whole output; for the system's interfaces only its end
    };
    const Row rows[] = {
        {{"--check-config", "--config", example}, "0 error(s), 0 warning(s)\n"},
        {{"--config", "none.json", "--check-config"},
         "error: none.json: Config file not found: none.json\n1 error(s), 0 warning(s)\n"},
        {{"--list-devices", "--config", example, "--virtual", examples + "scenarios/demo.json"},
         test::FileBytes(std::string(TARNWICK_TEST_DATA_DIR) + "/oneshot/list-devices.txt")},
        // The system's own interfaces, none of them configured (Wine shows a mouse and a
        // keyboard); the Linux build has no HID access at all.
        {{"--list-devices", "--config", example},
         kHasRealBackends ? " HID interface(s), 0 would be opened\n"
                          : "This build has no real HID backend; list a scenario's devices with "
                            "--virtual SCENARIO (see docs/scenario.md).\n"},
    };
    for (const Row& row : rows) {
        const std::filesystem::path self(test::CurrentExecutablePath());
        auto result = test::RunChild(
            (self.parent_path() / ("TarnwickHID" + self.extension().string())).string(), row.args,
            test::ChildOptions{{}, dir.File(""), ""});
        std::erase(result.out, '\r');  // the C runtime's text-mode streams on Windows
        EXPECT_EQ(result.exitCode, row.out.starts_with("error") ? 1 : 0) << row.args[0];
        EXPECT_TRUE(&row == &rows[3] && kHasRealBackends ? result.out.ends_with(row.out)
                                                         : result.out == row.out)
            << result.out;
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace
}  // namespace tarnwick
