#include <gtest/gtest.h>

#include "app/Paths.h"
#include "config/PathText.h"
#include "support/InProcessBridge.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

TEST(PathsTest, DefaultConfigAndLogFolderFollowTheSearchOrder) {
    test::TempDir dir;
    const auto in = [&](const std::string& a, const std::string& b = "") {
        return JoinPath(JoinPath(dir.Path().string(), a), b);
    };
    const std::string exe = in("bin", "TarnwickHID.exe");
    const std::string data = in("ProgramData");
    const std::string besideExe = JoinPath(in("bin", "config"), "config.json");
    const std::string machineWide = JoinPath(in("ProgramData", "Tarnwick"), "config.json");
    const std::string relative = JoinPath("config", "config.json");
    const struct {
        std::string exe, data, expected;
    } cases[] = {
        {exe, data, machineWide},  // nothing beside the executable yet
        {exe, "", besideExe},      // the executable's candidate stays, existing or not
        {"", "", relative},        // without an executable path: relative to the working folder
        {"", data, machineWide},
    };
    for (const auto& c : cases) {
        test::FakeServices services(c.exe, c.data);
        EXPECT_EQ(ResolveDefaultConfigPath(services), c.expected) << c.exe << " | " << c.data;
    }
    dir.Write("bin/config/config.json", "{}");
    test::FakeServices services(exe, data);
    EXPECT_EQ(ResolveDefaultConfigPath(services), besideExe);
    EXPECT_EQ(ExecutableDirectory(services), in("bin"));

    EXPECT_EQ(ResolveLogDirectory(false, data, in("bin")),
              JoinPath(in("ProgramData", "Tarnwick"), "logs"));
    EXPECT_EQ(ResolveLogDirectory(true, data, in("bin")), in("bin"));
    EXPECT_EQ(ResolveLogDirectory(false, "", in("bin")), in("bin"));
    EXPECT_EQ(ResolveLogDirectory(false, "", ""), "");
}

}  // namespace
}  // namespace tarnwick
