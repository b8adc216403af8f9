#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/PathText.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

const std::string kHid = R"({"vid":"0x04D8","pid":"0xE6D6"})";
const std::string kMappings = R"({"buttonConfigPath":"buttons.json"})";

// A config.json text with the two required sections; `rest` adds top-level members.
std::string Doc(const std::string& hid = kHid, const std::string& rest = "",
                const std::string& mappings = kMappings) {
    return "{\"hid\":" + hid + ",\"mappings\":" + mappings + rest + "}";
}
std::string HidDevices(const std::string& array) {
    return R"({"devices":)" + array + "}";
}
std::string OutputDevices(const std::string& array) {
    return R"(,"devices":)" + array;
}

struct LoadResult {
    bool ok = false;
    std::string error;
    AppConfig config;
};

class AppConfigTest : public ::testing::Test {
protected:
    LoadResult Load(const std::string& text) { return LoadPath(dir_.Write("config.json", text)); }

    static LoadResult LoadPath(const std::string& path) {
        LoadResult result;
        result.ok = LoadAppConfig(path, result.config, result.error);
        return result;
    }

    // The narrow path the loader builds for a file beside config.json.
    std::string Beside(const std::string& name) const {
        return FromFsPath(ToFsPath(dir_.File("config.json")).parent_path() / name);
    }

    test::TempDir dir_;
};

TEST_F(AppConfigTest, FileThatCannotBeReadNamesThePath) {
    const std::string missing = dir_.File("absent.json");
    EXPECT_EQ(LoadPath(missing).error, "Config file not found: " + missing);

    // A folder passes the existence check; reading it must fail cleanly, not throw.
    const std::string folder = dir_.File("folder.json");
    std::filesystem::create_directory(ToFsPath(folder));
    EXPECT_EQ(LoadPath(folder).error, "Failed to open config file: " + folder);
}

#ifndef _WIN32
// A path that cannot even be examined is not reported as "not found".
TEST_F(AppConfigTest, UnexaminablePathThrowsFromExistenceCheck) {
    EXPECT_THROW(LoadPath(dir_.File(std::string(300, 'n'))), std::filesystem::filesystem_error);
}
#endif

struct MessageCase {
    const char* name;
    std::string text;
    std::string message;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << c.name;
}

class AppConfigMessageTest : public AppConfigTest,
                             public ::testing::WithParamInterface<MessageCase> {};

TEST_P(AppConfigMessageTest, ReportsExactlyThisMessage) {
    const LoadResult result = Load(GetParam().text);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, GetParam().message);
}

const std::string kDevice = R"({"vid":"1","pid":"2"})";

INSTANTIATE_TEST_SUITE_P(
    Steps, AppConfigMessageTest,
    ::testing::Values(
        MessageCase{"Parse", "{\"hid\":", "Config parse error: Unexpected end of input"},
        MessageCase{"RootArray", "[]", "Config root must be an object"},
        MessageCase{"NoHid", "{}", "Missing 'hid' section"},
        MessageCase{"HidArray", Doc("[]"), "Missing 'hid' section"},
        MessageCase{"DevicesObject", Doc(HidDevices("{}")), "'hid.devices' must be an array"},
        MessageCase{"DevicesEmpty", Doc(HidDevices("[]")), "'hid.devices' must not be empty"},
        MessageCase{"DeviceNumber", Doc(HidDevices("[" + kDevice + ",5]")),
                    "hid.devices[1] must be an object"},
        MessageCase{"DeviceVid", Doc(HidDevices(R"([{"pid":"2"}])")),
                    "Missing or invalid 'hid.devices[0].vid'"},
        MessageCase{"DeviceVidEmpty", Doc(HidDevices(R"([{"vid":"","pid":"2"}])")),
                    "Missing or invalid 'hid.devices[0].vid'"},
        MessageCase{"DevicePid", Doc(HidDevices(R"([{"vid":"1","pid":2}])")),
                    "Missing or invalid 'hid.devices[0].pid'"},
        MessageCase{"RoleCase", Doc(HidDevices(R"([{"vid":"1","pid":"2","role":"TouchPanel"}])")),
                    "Unknown 'hid.devices[0].role': TouchPanel"},
        MessageCase{"HidVid", Doc(R"({"vid":1,"pid":"2"})"), "Missing or invalid 'hid.vid'"},
        MessageCase{"HidPid", R"({"hid":{"vid":"1"}})", "Missing or invalid 'hid.pid'"},
        MessageCase{"NoMappings", R"({"hid":{"vid":"1","pid":"2"}})", "Missing 'mappings' section"},
        MessageCase{"ButtonPath", Doc(kHid, "", R"({"buttonConfigPath":3})"),
                    "Missing or invalid 'mappings.buttonConfigPath'"},
        MessageCase{"OutputDevicesObject", Doc(kHid, OutputDevices("{}")),
                    "'devices' must be an array"},
        MessageCase{"OutputDeviceString", Doc(kHid, OutputDevices(R"([{"index":0},"x"])")),
                    "devices[1] must be an object"},
        MessageCase{"NoBoardIdOrIndex", Doc(kHid, OutputDevices(R"([{"index":"2"}])")),
                    "devices[0] must include boardId or index"},
        MessageCase{"BlankBoardId", Doc(kHid, OutputDevices(R"([{"boardId":" 0x ","index":-1}])")),
                    "devices[0] must include boardId or index"},
        MessageCase{"IndexBelowMinusOne",
                    Doc(kHid, OutputDevices(R"([{"boardId":"ab","index":-3}])")),
                    "devices[0] index must be >= 0"},
        // Validation is the last step; its message comes through unchanged.
        MessageCase{"EmptyHidVid", Doc(R"({"vid":"","pid":"2"})"), "hid.vid is required"},
        MessageCase{"EmptyChannel", Doc(kHid, R"(,"mobiflight":{"commandChannel":""})"),
                    "mobiflight.commandChannel is required when enabled"},
        MessageCase{"ProfileName",
                    Doc(kHid, R"(,"outputs":{"profiles":{" night ":{"backlight":{"min":101}}}})"),
                    "outputs.profiles[NIGHT].backlight min/max must be between 0-100"}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return info.param.name; });

TEST_F(AppConfigTest, MinimalFileGivesEveryDefault) {
    const LoadResult result = Load(Doc());
    ASSERT_TRUE(result.ok) << result.error;
    const AppConfig& c = result.config;
    EXPECT_EQ(c.vid.text + " " + c.pid.text, "0x04D8 0xE6D6");
    EXPECT_EQ(std::vector<std::optional<std::uint16_t>>({c.vid.value, c.pid.value}),
              std::vector<std::optional<std::uint16_t>>({0x04D8, 0xE6D6}));
    ASSERT_EQ(c.devices.size(), 1u);
    EXPECT_EQ(c.devices[0].vid.text + " " + c.devices[0].pid.text + " " +
                  std::string(PanelRoleName(c.devices[0].role)),
              "0x04D8 0xE6D6 g1000");
    EXPECT_EQ(c.devices[0].pid.value, 0xE6D6);
    EXPECT_EQ(
        std::vector<int>({c.scanIntervalMs, c.telemetryIntervalMs, c.mobiflight.rpnRateLimitMs,
                          c.mobiflight.mapHoldRepeatMs, c.outputs.debounceMs}),
        std::vector<int>({1000, 50, 0, 10, 50}));
    EXPECT_EQ(std::vector<bool>({c.trace, c.mobiflight.enabled, c.cdcEnabled, c.debug}),
              std::vector<bool>({false, true, false, false}));
    EXPECT_EQ(c.buttonConfigPath, Beside("buttons.json"));
    EXPECT_EQ(c.hidEventMapPath, "");
    EXPECT_EQ(c.mobiflight.clientName, "TarnwickHID");
    EXPECT_EQ(c.mobiflight.commandChannel, "MobiFlight.Command");
    EXPECT_EQ(c.mobiflight.responseChannel, "MobiFlight.Response");
    EXPECT_EQ(c.mobiflight.lvarsChannel, "MobiFlight.LVars");
    EXPECT_EQ(c.cdcComPort, "");
    EXPECT_EQ(c.outputs.defaultProfile, "default");
    EXPECT_TRUE(c.outputs.roleProfiles.empty());
    ASSERT_EQ(c.outputs.profiles.size(), 1u);
    EXPECT_EQ(c.outputs.profiles.begin()->first, "DEFAULT");
    EXPECT_EQ(c.outputs.profiles.begin()->second.batteryOff.param1, 1000);
    EXPECT_TRUE(c.outputDevices.empty());
}

TEST_F(AppConfigTest, KeysAreReadAndWrongKindsKeepDefaults) {
    const LoadResult set = Load(
        Doc(R"({"vid":"1","pid":"2","readIntervalMs":5.9,"scanIntervalMs":-0.5,"trace":3,)"
            R"("telemetryIntervalMs":20})",
            R"(,"mobiflight":{"enabled":0,"clientName":"","commandChannel":"c",)"
            R"("responseChannel":"r","lvarsChannel":"l","rpnRateLimitMs":3,"mapHoldRepeatMs":7.9},)"
            R"("cdc":{"enabled":2,"comPort":"COM7"},"logging":{"debug":-1},)"
            R"("outputs":{"debounceMs":12})",
            R"({"buttonConfigPath":"b.json","hidEventMapPath":"map.json"})"));
    ASSERT_TRUE(set.ok) << set.error;
    const AppConfig& c = set.config;
    EXPECT_EQ(
        std::vector<int>({c.scanIntervalMs, c.telemetryIntervalMs, c.mobiflight.rpnRateLimitMs,
                          c.mobiflight.mapHoldRepeatMs, c.outputs.debounceMs}),
        std::vector<int>({0, 20, 3, 7, 12}));
    EXPECT_EQ(std::vector<bool>({c.trace, c.mobiflight.enabled, c.cdcEnabled, c.debug}),
              std::vector<bool>({true, false, true, true}));
    EXPECT_EQ(c.mobiflight.clientName + c.mobiflight.commandChannel + c.mobiflight.responseChannel +
                  c.mobiflight.lvarsChannel + c.cdcComPort,
              "crlCOM7");
    EXPECT_EQ(c.hidEventMapPath, Beside("map.json"));

    const LoadResult wrong = Load(
        Doc(R"({"vid":"1","pid":"2","readIntervalMs":"5","trace":true,"telemetryIntervalMs":null})",
            R"(,"mobiflight":{"enabled":false,"clientName":5},"cdc":[1],"logging":{"debug":"1"},)"
            R"("outputs":{"debounceMs":"9","defaultProfile":1,"roleProfiles":[],"profiles":"x"})",
            R"({"buttonConfigPath":"b.json","hidEventMapPath":7})"));
    ASSERT_TRUE(wrong.ok) << wrong.error;
    const AppConfig& d = wrong.config;
    EXPECT_EQ(std::vector<int>({d.telemetryIntervalMs, d.outputs.debounceMs}),
              std::vector<int>({50, 50}));
    EXPECT_EQ(std::vector<bool>({d.trace, d.mobiflight.enabled, d.cdcEnabled, d.debug}),
              std::vector<bool>({false, true, false, false}));
    EXPECT_EQ(d.mobiflight.clientName, "TarnwickHID");
    EXPECT_EQ(d.hidEventMapPath, "");
    EXPECT_EQ(d.outputs.profiles.size(), 1u);
}

TEST_F(AppConfigTest, HidDevicesGiveRolesAndTheFirstVidPid) {
    const std::string devices =
        R"([{"vid":"0x04D8","pid":"0x0001"},{"vid":"0x04D8","pid":"0x0002","role":"touchpanel"},)"
        R"({"vid":"0x04D8","pid":"0x0003","role":""},{"vid":"0x04D8","pid":"0x0004","role":4}])";
    const LoadResult first = Load(Doc(HidDevices(devices)));
    ASSERT_TRUE(first.ok) << first.error;
    EXPECT_EQ(first.config.vid.text + " " + first.config.pid.text, "0x04D8 0x0001");
    std::vector<std::string> seen;
    for (const HidDeviceConfig& device : first.config.devices) {
        seen.push_back(device.pid.text + " " + std::string(PanelRoleName(device.role)));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"0x0001 g1000", "0x0002 touchpanel", "0x0003 g1000",
                                              "0x0004 g1000"}));

    const LoadResult given =
        Load(Doc(R"({"vid":"0x1111","pid":"0x2222","devices":)" + devices + "}"));
    ASSERT_TRUE(given.ok) << given.error;
    EXPECT_EQ(given.config.vid.text + " " + given.config.pid.text, "0x1111 0x2222");
    EXPECT_EQ(given.config.devices.size(), 4u);
}

TEST_F(AppConfigTest, OutputsAreNormalizedAndTheDefaultProfileAlwaysExists) {
    const LoadResult result = Load(Doc(
        kHid, R"(,"outputs":{"defaultProfile":" night mode ",)"
              R"("roleProfiles":{"pfd":"night","PFD ":"day","mfd":5,"  ":"x","gps":" "},)"
              R"("profiles":{"day":{"backlight":{"value":40}},"Day ":{"backlight":{"value":60}},)"
              R"("   ":{},"odd":3}})"));
    ASSERT_TRUE(result.ok) << result.error;
    const OutputsConfig& o = result.config.outputs;
    EXPECT_EQ(o.defaultProfile, "NIGHTMODE");
    // Both role keys normalize to PFD; "pfd" sorts after "PFD " and so wins.
    EXPECT_EQ(o.roleProfiles, (std::map<std::string, std::string>{{"PFD", "NIGHT"}}));
    ASSERT_EQ(o.profiles.size(), 2u);
    EXPECT_EQ(o.profiles.at("DAY").backlight.value, 40);
    EXPECT_EQ(o.profiles.at("NIGHTMODE").backlight.value, 80);

    // A default profile that the file defines is kept; an empty name means DEFAULT.
    const LoadResult named =
        Load(Doc(kHid, R"(,"outputs":{"defaultProfile":"night","profiles":{"NIGHT":{"backlight":)"
                       R"({"value":10}}}})"));
    ASSERT_TRUE(named.ok) << named.error;
    ASSERT_EQ(named.config.outputs.profiles.size(), 1u);
    EXPECT_EQ(named.config.outputs.profiles.at("NIGHT").backlight.value, 10);
    const LoadResult empty = Load(Doc(kHid, R"(,"outputs":{"defaultProfile":" "})"));
    ASSERT_TRUE(empty.ok) << empty.error;
    EXPECT_EQ(empty.config.outputs.defaultProfile, "DEFAULT");
    EXPECT_EQ(empty.config.outputs.profiles.count("DEFAULT"), 1u);
}

TEST_F(AppConfigTest, OutputDevicesKeepTextAndNormalizeBoardIds) {
    const LoadResult result =
        Load(Doc(kHid, OutputDevices(R"([{"boardId":"0x1a2","role":"pfd ","ledProfile":" Night"},)"
                                     R"({"index":2},{"boardId":"cd","index":3.7}])")));
    ASSERT_TRUE(result.ok) << result.error;
    std::vector<std::string> seen;
    for (const OutputDeviceConfig& d : result.config.outputDevices) {
        seen.push_back(d.boardId + "|" + std::to_string(d.index) + "|" + d.role.text + "|" +
                       d.ledProfile);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1A2|-1|pfd | Night", "|2||", "CD|3||"}));
}

TEST_F(AppConfigTest, EventMapBesideConfigIsUsedOnlyWhenNoneIsNamed) {
    dir_.Write("hid_event_map.json", "{}");
    const auto eventMap = [this](const std::string& mappings) {
        const LoadResult result = Load(Doc(kHid, "", mappings));
        EXPECT_TRUE(result.ok) << result.error;
        return result.config.hidEventMapPath;
    };
    EXPECT_EQ(eventMap(kMappings), Beside("hid_event_map.json"));
    EXPECT_EQ(eventMap(R"({"buttonConfigPath":"b","hidEventMapPath":""})"),
              Beside("hid_event_map.json"));
    EXPECT_EQ(eventMap(R"({"buttonConfigPath":"b","hidEventMapPath":"other.json"})"),
              Beside("other.json"));

    EXPECT_EQ(DefaultHidEventMapPath(dir_.File("config.json")), Beside("hid_event_map.json"));
    EXPECT_EQ(DefaultHidEventMapPath(dir_.File("missing/config.json")), "");
    EXPECT_EQ(DefaultHidEventMapPath("config.json"), "");
}

TEST(ResolveConfigRelativePathTest, AbsoluteFormsStayAndRelativeOnesJoinTheFolder) {
    const auto folder = std::filesystem::temp_directory_path() / "cfg";
    const std::string config = FromFsPath(folder / "config.json");
    const std::vector<std::string> absolute = {
        "C:\\x\\b.json",
        "c:/b.json",
        "\\\\server\\share\\b.json",
        "//server/share/b.json",
        "\\\\?\\C:\\b.json",
        "\\\\.\\COM3",
        "\\??\\C:\\b.json",
        FromFsPath(std::filesystem::temp_directory_path() / "b.json")};
    for (const std::string& value : absolute) {
        EXPECT_EQ(ResolveConfigRelativePath(config, value), value);
    }
    EXPECT_EQ(ResolveConfigRelativePath(config, ""), "");
    EXPECT_EQ(ResolveConfigRelativePath(config, "sub/b.json"), FromFsPath(folder / "sub/b.json"));
    EXPECT_EQ(ResolveConfigRelativePath("config.json", "buttons.json"), "buttons.json");
}

#ifdef _WIN32
TEST(ResolveConfigRelativePathTest, WindowsForms) {
    const std::string config = "C:\\cfg\\config.json";
    EXPECT_EQ(ResolveConfigRelativePath(config, "buttons.json"), "C:\\cfg\\buttons.json");
    EXPECT_EQ(ResolveConfigRelativePath(config, "D:\\x\\b.json"), "D:\\x\\b.json");
    EXPECT_EQ(ResolveConfigRelativePath(config, "\\\\server\\share\\b.json"),
              "\\\\server\\share\\b.json");
    EXPECT_EQ(ResolveConfigRelativePath(config, "\\\\?\\C:\\b.json"), "\\\\?\\C:\\b.json");
    EXPECT_EQ(ResolveConfigRelativePath(config, "\\b.json"), "C:\\b.json");
    EXPECT_EQ(ResolveConfigRelativePath(config, "D:x"), "D:x");
    EXPECT_EQ(ResolveConfigRelativePath("config.json", "buttons.json"), "buttons.json");
}
#endif

}  // namespace
}  // namespace tarnwick
