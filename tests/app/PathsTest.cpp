#include <gtest/gtest.h>

#include "app/Paths.h"
#include "config/PathText.h"
#include "support/InProcessBridge.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

// Where the program looks when no --config is given; the end-to-end course covers the common
// case, these rows the fallbacks.
TEST(PathsTest, DefaultConfigFollowsTheSearchOrder) {
    test::TempDir dir;
    const std::string data = dir.Path().string();
    const std::string bin = JoinPath(data, "bin");
    dir.Write("bin/config/config.json", "{}");
    const std::string cases[][3] = {
        {JoinPath(bin, "TarnwickHID.exe"), data, JoinPath(JoinPath(bin, "config"), "config.json")},
        {"", data, JoinPath(JoinPath(data, "Tarnwick"), "config.json")},
        // Relative to the working folder, which is never searched.
        {"", "", JoinPath("config", "config.json")},
        {JoinPath(data, "TarnwickHID.exe"), "", JoinPath(JoinPath(data, "config"), "config.json")},
    };
    for (const auto& [exePath, appData, expected] : cases) {
        test::FakeServices services(exePath, appData);
        EXPECT_EQ(ResolveDefaultConfigPath(services), expected) << exePath << " | " << appData;
    }
}

}  // namespace
}  // namespace tarnwick
