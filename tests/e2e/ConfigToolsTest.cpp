// The real executable's configuration check and device listing, as a user runs them from a
// console: exact output and exit code. Under Wine there are no HID devices to list.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kExeName = "TarnwickHID.exe";
constexpr const char* kNl = "\r\n";  // the C runtime's text-mode streams
const std::string kNoVirtualListing = "0 HID interface(s), 0 would be opened";
#else
constexpr const char* kExeName = "TarnwickHID";
constexpr const char* kNl = "\n";
const std::string kNoVirtualListing =
    "This build has no real HID backend; list a scenario's devices with --virtual SCENARIO (see "
    "docs/scenario.md).";
#endif

TEST(ConfigToolsTest, CheckAndListFromTheCommandLine) {
    test::TempDir dir;
    const std::string exe =
        (fs::path(test::CurrentExecutablePath()).parent_path() / kExeName).string();
    const std::string examples = std::string(TARNWICK_TEST_DATA_DIR) + "/../../examples/";
    const std::string example = examples + "cockpit/config/config.json";
    const std::string config = dir.Write("config.json", R"({"hid": {"vid": "1", "pid": "2",
        "devices": [{"vid": "0x2E8A", "pid": "0x10F1", "role": "touchpanel"}]},
        "mappings": {"buttonConfigPath": "buttons.json"}})");
    const std::string buttons = dir.Write("buttons.json", R"({"buttons": [{"name": "AP",
        "commands": {"PRESS": {"PFD": ")" + std::string(250, 'x') +
                                                              R"("}}}]})");
    const std::string pfd = R"(\\?\hid#vid_2e8a&pid_10f0#virtual&pfd)";
    const std::string mfd = R"(\\?\hid#vid_2e8a&pid_10f0#virtual&mfd)";
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::vector<std::string> out;
        std::string err;  // one line or none
    };
    const Row rows[] = {
        {{"--check-config", "--config", example}, 0, {"0 error(s), 0 warning(s)"}, ""},
        {{"--check-config", "--config", buttons},
         1,
         {"error: " + buttons + ": Missing 'hid' section", "1 error(s), 0 warning(s)"},
         ""},
        {{"--config", config, "--check-config"},
         0,
         {"warning: " + buttons +
              ": Command for AP PRESS (role PFD) is too long (250 bytes, at most 238); it will "
              "not be sent",
          "0 error(s), 1 warning(s)"},
         ""},
        {{"--list-devices", "--config", example, "--virtual", examples + "scenarios/demo.json"},
         0,
         {"2E8A:10F0 FF00:0001 serial=\"\" product=\"Virtual panel board\" path=" + pfd +
              " => opens as g1000 \"" + pfd + "\"",
          "2E8A:10F0 FF00:0001 serial=\"\" product=\"Virtual panel board\" path=" + mfd +
              " => opens as g1000 \"" + mfd + "\"",
          "2E8A:10F1 FF00:0001 serial=\"TP-0001\" product=\"Virtual touch panel\" "
          "path=\\\\?\\hid#vid_2e8a&pid_10f1#virtual&touch => opens as touchpanel \"TP-0001\"",
          "3 HID interface(s), 3 would be opened"},
         ""},
        // The touch panel's ids in a configuration that opens only touch panels.
        {{"--list-devices", "--config", config, "--virtual", examples + "scenarios/demo.json"},
         0,
         {"2E8A:10F0 FF00:0001 serial=\"\" product=\"Virtual panel board\" path=" + pfd,
          "2E8A:10F0 FF00:0001 serial=\"\" product=\"Virtual panel board\" path=" + mfd,
          "2E8A:10F1 FF00:0001 serial=\"TP-0001\" product=\"Virtual touch panel\" "
          "path=\\\\?\\hid#vid_2e8a&pid_10f1#virtual&touch => opens as touchpanel \"TP-0001\"",
          "3 HID interface(s), 1 would be opened"},
         ""},
        {{"--list-devices", "--config", config}, 0, {kNoVirtualListing}, ""},
        {{"--list-devices", "--virtual", dir.File("absent.json")},
         1,
         {},
         "TarnwickHID: Failed to open scenario file: " + dir.File("absent.json")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        const auto result = test::RunChild(exe, row.args, test::ChildOptions{{}, dir.File(""), ""});
        EXPECT_EQ(result.exitCode, row.exitCode);
        std::string out;
        for (const std::string& line : row.out) {
            out += line + kNl;
        }
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.err, row.err.empty() ? "" : row.err + kNl);
    }
}

}  // namespace
}  // namespace tarnwick
