#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwick {
namespace {

CommandLineOptions Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "TarnwickHID.exe");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, EverySwitchIsRecognisedWholeAndCaseSensitively) {
    const auto all = Parse({"--console", "--hid-trace", "--register", "--unregister",
                            "--list-exe-xml", "--config", "x.json"});
    EXPECT_TRUE(all.consoleMode);
    EXPECT_TRUE(all.hidTrace);
    EXPECT_TRUE(all.registerAddon);
    EXPECT_TRUE(all.unregisterAddon);
    EXPECT_TRUE(all.listExeXml);
    EXPECT_EQ(all.configPath, "x.json");

    const auto none = Parse({"--CONSOLE", "--Register", "-console", "--console=1", "console",
                             "--list-exe-xml ", ""});
    EXPECT_FALSE(none.consoleMode);
    EXPECT_FALSE(none.registerAddon);
    EXPECT_FALSE(none.listExeXml);
    EXPECT_TRUE(none.configPath.empty());
}

TEST(CommandLine, ConfigTakesTheNextArgumentAndTheLastOneWins) {
    EXPECT_EQ(Parse({"--config", "a.json", "--config", "b.json"}).configPath, "b.json");
    // The value is consumed, even when it looks like a switch.
    const auto consumed = Parse({"--config", "--console"});
    EXPECT_EQ(consumed.configPath, "--console");
    EXPECT_FALSE(consumed.consoleMode);
    // In last position it is ignored, and an earlier value stays.
    EXPECT_EQ(Parse({"--config", "a.json", "--config"}).configPath, "a.json");
    EXPECT_TRUE(Parse({"--config"}).configPath.empty());
    EXPECT_EQ(Parse({"--config", "rel\\dir with space\\c.json"}).configPath,
              "rel\\dir with space\\c.json");
}

}  // namespace
}  // namespace tarnwick
