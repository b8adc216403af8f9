#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
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
std::string Devices(const std::string& array) {
    return R"({"devices":)" + array + "}";
}
std::string Outputs(const std::string& array) {
    return R"(,"devices":)" + array;
}
std::string MobiFlight(const std::string& members) {
    return Doc(kHid, R"(,"mobiflight":{)" + members + "}");
}
std::string Night(const std::string& profile) {
    return Doc(kHid, R"(,"outputs":{"profiles":{"night":)" + profile + "}}");
}

// Everything a load fills in apart from the two paths, on one line.
std::string Summary(const AppConfig& c) {
    std::ostringstream s;
    s << std::hex << c.vid.value.value_or(0) << ':' << c.pid.value.value_or(0) << std::dec;
    for (const HidDeviceConfig& d : c.devices) {
        s << ' ' << d.pid.text << '/' << PanelRoleName(d.role);
    }
    const MobiFlightSettings& m = c.mobiflight;
    s << " scan=" << c.scanIntervalMs << " tel=" << c.telemetryIntervalMs << " flags=" << c.trace
      << m.enabled << c.cdcEnabled << c.debug << " mf=" << m.clientName << ',' << m.commandChannel
      << ',' << m.responseChannel << ',' << m.lvarsChannel << ',' << m.rpnRateLimitMs << ','
      << m.mapHoldRepeatMs << " cdc=" << c.cdcComPort << " out=" << c.outputs.debounceMs << ','
      << c.outputs.defaultProfile;
    for (const auto& [role, profile] : c.outputs.roleProfiles) {
        s << " role:" << role << '=' << profile;
    }
    for (const auto& [name, profile] : c.outputs.profiles) {
        s << " profile:" << name << '=' << profile.backlight.value;
    }
    for (const OutputDeviceConfig& d : c.outputDevices) {
        s << " board:" << d.boardId << '|' << d.index << '|' << d.role.text << '|' << d.ledProfile;
    }
    return s.str();
}

std::string Outcome(const std::string& path) {
    AppConfig config;
    const Result loaded = LoadAppConfig(path, config);
    return loaded ? Summary(config) : loaded.Error();
}

const std::string kDefaults =
    " scan=1000 tel=50 flags=0100 mf=TarnwickHID,MobiFlight.Command,MobiFlight.Response,"
    "MobiFlight.LVars,0,10 cdc= out=50,";

// Each row: a document, and the summary of what it loads or the exact message it fails with.
TEST(AppConfigTest, LoadsOrReportsExactlyThisMessage) {
    const test::TempDir dir;
    const std::string n = "outputs.profiles[NIGHT].backlight ";
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {Doc(), "4d8:e6d6 0xE6D6/g1000" + kDefaults + "default profile:DEFAULT=80"},
        // Members of the wrong kind are passed over.
        {Doc(R"({"vid":"1","pid":"2","trace":true,"telemetryIntervalMs":null})",
             R"(,"mobiflight":{"enabled":false,"clientName":5},"cdc":[1],"logging":{"debug":"1"},)"
             R"("outputs":{"debounceMs":"9","defaultProfile":" ","roleProfiles":[],"profiles":"x"})",
             R"({"buttonConfigPath":"b.json","hidEventMapPath":7})"),
         "1:2 2/g1000" + kDefaults + "DEFAULT profile:DEFAULT=80"},
        {"{\"hid\":", "Config parse error: Unexpected end of input"},
        {"[]", "Config root must be an object"},
        {Doc("[]"), "Missing 'hid' section"},
        {Doc(Devices("{}")), "'hid.devices' must be an array"},
        {Doc(Devices("[]")), "'hid.devices' must not be empty"},
        {Doc(Devices(R"([{"vid":"1","pid":"2"},5])")), "hid.devices[1] must be an object"},
        {Doc(Devices(R"([{"pid":"2"}])")), "Missing or invalid 'hid.devices[0].vid'"},
        {Doc(Devices(R"([{"vid":"1","pid":2}])")), "Missing or invalid 'hid.devices[0].pid'"},
        {Doc(Devices(R"([{"vid":"1","pid":"2","role":"TouchPanel"}])")),
         "Unknown 'hid.devices[0].role': TouchPanel"},
        {Doc(R"({"vid":1,"pid":"2"})"), "Missing or invalid 'hid.vid'"},
        {R"({"hid":{"vid":"1"}})", "Missing or invalid 'hid.pid'"},
        {R"({"hid":{"vid":"1","pid":"2"}})", "Missing 'mappings' section"},
        {Doc(kHid, "", R"({"buttonConfigPath":3})"),
         "Missing or invalid 'mappings.buttonConfigPath'"},
        {Doc(kHid, Outputs("{}")), "'devices' must be an array"},
        {Doc(kHid, Outputs(R"([{"index":0},"x"])")), "devices[1] must be an object"},
        {Doc(kHid, Outputs(R"([{"boardId":" 0x ","index":-1}])")),
         "devices[0] must include boardId or index"},
        {Doc(kHid, Outputs(R"([{"boardId":"ab","index":-3}])")), "devices[0] index must be >= 0"},
        // Validation is the last step; its message comes through unchanged.
        {Doc(R"({"vid":"","pid":"2"})"), "hid.vid is required"},
        {Doc(R"({"vid":"1","pid":""})"), "hid.pid is required"},
        {Doc(Devices(
             R"([{"vid":"4D8","pid":"1"},{"vid":" 04d8","pid":"1"},{"vid":"04D8","pid":"1"}])")),
         "hid.devices[2] duplicates the vid/pid of hid.devices[1]"},
        {Doc(R"({"vid":"1","pid":"2","telemetryIntervalMs":0})"),
         "hid.telemetryIntervalMs must be > 0"},
        {Doc(kHid, "", R"({"buttonConfigPath":""})"), "mappings.buttonConfigPath is required"},
        {MobiFlight(R"("rpnRateLimitMs":-1)"), "mobiflight.rpnRateLimitMs must be >= 0"},
        {MobiFlight(R"("mapHoldRepeatMs":0)"), "mobiflight.mapHoldRepeatMs must be > 0"},
        {MobiFlight(R"("commandChannel":"")"),
         "mobiflight.commandChannel is required when enabled"},
        {MobiFlight(R"("responseChannel":"")"),
         "mobiflight.responseChannel is required when enabled"},
        {MobiFlight(R"("lvarsChannel":"")"), "mobiflight.lvarsChannel is required when enabled"},
        {MobiFlight(R"("enabled":0,"commandChannel":"","responseChannel":"","lvarsChannel":"")"),
         "PASS"},
        {Doc(kHid, R"(,"cdc":{"enabled":1})"), "cdc.comPort is required when cdc.enabled=1"},
        {Doc(kHid, R"(,"outputs":{"debounceMs":-1})"), "outputs.debounceMs must be >= 0"},
        {Night(R"({"backlight":{"min":20,"max":10}})"), n + "min/max must be between 0-100"},
        {Night(R"({"backlight":{"max":101}})"), n + "min/max must be between 0-100"},
        {Night(R"({"backlight":{"default":-1}})"), n + "default must be between 0-100"},
        {Night(R"({"backlight":{"value":101}})"), n + "value must be between 0-100"},
        // Default and value are held to 0..100, not to the profile's own min and max.
        {Night(R"({"backlight":{"min":40,"max":60,"default":0,"value":100}})"), "PASS"},
        {Night(R"({"backlight":{"scale":1e999}})"), n + "scale must be > 0"},
        {Night(R"({"simDisconnected":{"effect":"LVAR"}})"),
         "outputs.profiles[NIGHT].simDisconnected.effect is invalid"},
        {Night(R"({"batteryOff":{"effect":"BLINK"}})"),
         "outputs.profiles[NIGHT].batteryOff.effect is invalid"},
        {Night(R"({"simDisconnected":{"effect":""},"batteryOff":{"effect":" steady "}})"), "PASS"},
        // Profiles in key order, each checked completely before the next.
        {Doc(kHid, R"(,"outputs":{"profiles":{"night":{"backlight":{"min":-1}},)"
                   R"("a":{"batteryOff":{"effect":"x"},"backlight":{"scale":-1}}}})"),
         "outputs.profiles[A].backlight scale must be > 0"}};
    for (const auto& c : cases) {
        // Rows that only have to load say PASS.
        const std::string outcome = Outcome(dir.Write("config.json", c.text));
        const bool loaded = outcome.rfind("4d8:e6d6 0xE6D6/g1000 ", 0) == 0;
        EXPECT_EQ(loaded && c.expected == "PASS" ? "PASS" : outcome, c.expected) << c.text;
    }
    EXPECT_EQ(Outcome(TARNWICK_TEST_DATA_DIR "/config/config.json"),
              "1:2 0x0001/g1000 0x0002/touchpanel 0x0003/g1000 0x0004/g1000 scan=-2147483648 "
              "tel=20 flags=1011 mf=,c,r,l,2147483647,7 cdc=COM7 out=12,NIGHTMODE role:PFD=NIGHT "
              "profile:DAY=40 profile:NIGHTMODE=80 board:1A2|-1|pfd | Night board:|2|| "
              "board:CD|3||");
}

// The three loaders name the path when it is missing or is a folder (which passes the existence
// check but cannot be read as a file).
TEST(LoaderFileTest, UnreadableFilesNameThePath) {
    const test::TempDir dir;
    const std::string absent = dir.File("absent.json");
    const std::string folder = dir.File("folder.json");
    std::filesystem::create_directory(ToFsPath(folder));
    AppConfig config;
    ButtonConfig buttons;
    HidEventMap map;
    const struct {
        std::function<Result(const std::string&)> load;
        std::string notFound;
        std::string notOpened;
    } loaders[] = {{[&](const std::string& p) { return LoadAppConfig(p, config); },
                    "Config file not found: ", "Failed to open config file: "},
                   {[&](const std::string& p) { return buttons.Load(p); },
                    "Button config not found: ", "Failed to open button config: "},
                   {[&](const std::string& p) { return map.Load(p); },
                    "Event map not found: ", "Failed to open event map: "}};
    for (const auto& l : loaders) {
        EXPECT_EQ(l.load(absent).Error(), l.notFound + absent);
        EXPECT_EQ(l.load(folder).Error(), l.notOpened + folder);
    }
#ifndef _WIN32
    // A path that cannot even be examined is not reported as "not found".
    EXPECT_THROW(loaders[0].load(dir.File(std::string(300, 'n'))),
                 std::filesystem::filesystem_error);
#endif
}

// Relative paths join the config file's folder; the event map beside it is the default.
TEST(AppConfigPathTest, PathsResolveBesideTheConfigFile) {
    const test::TempDir dir;
    const std::string file = dir.File("config.json");
    const auto beside = [&](const std::string& name) {
        return FromFsPath(ToFsPath(file).parent_path() / name);
    };
    dir.Write("hid_event_map.json", "{}");
    AppConfig c;
    ASSERT_TRUE(LoadAppConfig(dir.Write("config.json", Doc()), c));
    EXPECT_EQ(c.buttonConfigPath + "|" + c.hidEventMapPath,
              beside("buttons.json") + "|" + beside("hid_event_map.json"));
    EXPECT_EQ(ResolveConfigRelativePath("config.json", "b.json") + DefaultHidEventMapPath("c.json"),
              "b.json");
    for (const std::string value :
         {"c:/b.json", "\\\\server\\share\\b.json", "//server/share/b.json", "\\\\?\\C:\\b.json",
          "\\\\.\\COM3", "\\??\\C:\\b.json", ""}) {
        EXPECT_EQ(ResolveConfigRelativePath(file, value), value);
    }
#ifdef _WIN32
    const std::pair<const char*, const char*> windows[] = {
        {"buttons.json", "C:\\cfg\\buttons.json"}, {"\\b.json", "C:\\b.json"}, {"D:x", "D:x"}};
    for (const auto& [value, expected] : windows) {
        EXPECT_EQ(ResolveConfigRelativePath("C:\\cfg\\config.json", value), expected);
    }
#endif
}

}  // namespace
}  // namespace tarnwick
