#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/ConfigValidation.h"
#include "config/HidEventMap.h"
#include "config/Json.h"
#include "config/OutputProfile.h"
#include "config/PathText.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;

// Parses a heap copy of exactly text.size() bytes with no terminating NUL, so a sanitizer build
// reports any read past the end of the text.
JsonParseResult Parse(std::string_view text) {
    const std::unique_ptr<char[]> copy(new char[text.size()]);
    std::memcpy(copy.get(), text.data(), text.size());
    return ParseJson(std::string_view(copy.get(), text.size()));
}

bool IsEmptyNull(const JsonValue& v) {
    return v.kind == JsonKind::Null && !v.boolValue && v.numberValue == 0.0 &&
           v.stringValue.empty() && v.arrayValue.empty() && v.objectValue.empty();
}

JsonValue ParseOk(std::string_view text) {
    JsonParseResult result = Parse(text);
    EXPECT_TRUE(result.ok && result.error.empty()) << text << ": " << result.error;
    return std::move(result.value);
}

TEST(JsonParseTest, FailuresReportOneWholeMessageAndNullValue) {
    std::string mixed;  // objects and arrays alternating, at the deepest level allowed
    for (int i = 0; i < kMaxJsonNestingDepth; ++i) {
        mixed += i % 2 == 0 ? "{\"k\":" : "[";
    }
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"Unexpected end of input", {"\xEF\xBB\xBF \n"}},
        {"Unexpected token", {" \xEF\xBB\xBF{}", "\v1", "[1,]"}},
        {"Unterminated object", {"{\"a\":1,", "{\"a\":1"}},
        {"Expected string key", {"{\"a\":1,}"}},
        {"Expected ':' after key", {"{\"a\" 1}"}},
        {"Expected ',' or '}'", {"{\"a\":nullx}"}},
        {"Unterminated array", {"[1,", "[1"}},
        {"Expected ',' or ']'", {"[1}"}},
        {"Invalid escape sequence", {"\"abc\\"}},
        {"Invalid unicode escape", {"\"\\u004", "\"\\u12G4\""}},
        {"Invalid escape character", {"\"\\U0041\""}},
        {"Unterminated string", {"\"\\\"", "{\"a"}},
        {"Invalid number", {"-.", "1e+", "1E-]"}},
        {"Invalid boolean", {"trUe"}},
        {"Invalid null", {"nil"}},
        {"Nesting too deep", {mixed + "[]", mixed + "{}", std::string(300000, '[')}},
        // Only these keep the value read before the trailing characters.
        {"Unexpected trailing characters", {"1.2.3", "1\0"s, "{}\xEF\xBB\xBF"}}};
    for (const auto& [error, texts] : cases) {
        for (const std::string& text : texts) {
            const JsonParseResult result = Parse(text);
            EXPECT_EQ(result.error, error) << text.substr(0, 40);
            EXPECT_TRUE(!result.ok && IsEmptyNull(result.value) ==
                                          (result.error != "Unexpected trailing characters"))
                << text.substr(0, 40);
        }
    }
    // Containers down to the limit, and siblings there: leaving one gives its level back.
    const std::string inner(kMaxJsonNestingDepth - 1, '[');
    ParseOk("[" + inner + std::string(inner.size(), ']') + "," + inner +
            std::string(inner.size(), ']') + "]");
}

TEST(JsonParseTest, StringsValuesOrderAndMoves) {
    const std::pair<std::string, std::string> strings[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        // No UTF-16 pairs: each half of one becomes a question mark, as any code above 0x7F.
        {R"("\u0041\u004a\u007F\u0080\u0000\ud83d\ude00")", "AJ\x7F?\0??"s},
        // Raw control bytes, a raw NUL and bytes >= 0x80 (UTF-8 stays UTF-8) pass unchanged.
        {"\xEF\xBB\xBF\"\t\x01\0\xC3\xA9\xEF\xBB\xBF\""s, "\t\x01\0\xC3\xA9\xEF\xBB\xBF"s}};
    for (const auto& [text, value] : strings) {
        EXPECT_EQ(ParseOk(text).stringValue, value) << text;
    }
    // Arrays keep document order; object members iterate in byte order, the first duplicate wins.
    JsonValue v = ParseOk(
        " [ 3 ,\t\"x\" ,\r\n[ ], { \t}, null, true, false, "
        "{\"b\":1,\"a\":2,\"B\":3,\"\":5,\"\xC3\xA9\":7,\"a\":{}} ] \r\n");
    std::string shape;
    for (const JsonValue& e : v.arrayValue) {
        shape += std::to_string(static_cast<int>(e.kind)) + std::to_string(e.boolValue);
        for (const auto& [key, member] : e.objectValue) {
            shape += ":" + key + "=" + std::to_string(static_cast<int>(member.numberValue));
        }
        shape += ' ';
    }
    EXPECT_EQ(shape, "20 30 40 50 00 11 10 50:=5:B=3:a=2:b=1:\xC3\xA9=7 ");
    // A move empties its source, also when a value takes its own child.
    JsonValue moved(std::move(v.arrayValue[1]));
    EXPECT_TRUE(IsEmptyNull(v.arrayValue[1]) && moved.stringValue == "x");
    v = std::move(v.arrayValue[7]);
    v = std::move(v.objectValue.at("b"));
    EXPECT_EQ(v.numberValue, 1.0);
}

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
        s << " profile:" << name << '=';
        const BacklightSettings& b = profile.backlight;
        if (name != "NIGHT") {  // the one profile the rows describe whole
            s << b.value;
            continue;
        }
        s << b.mode << ' ' << b.min << ' ' << b.max << ' ' << b.defaultLevel << ' ' << b.value
          << ' ' << b.scale;
        for (const LedEffect& e : {profile.simDisconnected, profile.batteryOff}) {
            s << " | " << e.effect << ' ' << e.brightness << ' ' << e.param0 << ' ' << e.param1
              << ' ' << e.param2;
        }
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
const std::string kPlain = kDefaults + "default profile:DEFAULT=80";

// Each row: a document, and the summary of what it loads or the exact message it fails with.
TEST(AppConfigTest, LoadsOrReportsExactlyThisMessage) {
    const test::TempDir dir;
    const std::string night = "outputs.profiles[NIGHT].", n = night + "backlight ";
    const std::string when = " is required when enabled";
    const std::string key = "NAVCOM1`{|}~@[\xA0\x85\xC3\xA9T\0B"s;
    const std::pair<std::string, std::string> cases[] = {
        // Ids lose white space and one leading 0x; the rest must be hex digits worth <= 0xFFFF.
        {Doc(R"({"vid":" 0 X\t04d8\n","pid":"0000ffff"})"), "4d8:ffff 0000ffff/g1000" + kPlain},
        {Doc(R"({"vid":"0x0xab","pid":"00x1"})"), "0:0 00x1/g1000" + kPlain},
        {Doc(R"({"vid":"0x10000","pid":"+1f"})"), "0:0 +1f/g1000" + kPlain},
        // Keys lose white space and upper-case a-z only: the neighbours of a and z and bytes
        // >= 0x80 (no-break space, NEL, UTF-8) stay as they are.
        {Doc(kHid,
             ",\"outputs\":{\"defaultProfile\":\"Nav Com\\t1\\r\\n\\u000b\\f`{|}~@["
             "\xA0\x85\xC3\xA9t\\u0000b\"}"),
         "4d8:e6d6 0xE6D6/g1000" + kDefaults + key + " profile:" + key + "=80"},
        // Profile numbers are truncated, names normalized, the descriptive names win over the
        // numbered ones.
        {Night(R"({"backlight":{"mode":" fixed ","min":10.9,"max":99.9,"default":-0.7,)"
               R"("value":50,"scale":1.5},"simDisconnected":{"effect":"b r e a t h e",)"
               R"("brightness":9.9,"count":5,"param0":1,"param1":200,"periodMs":300,"param2":6,)"
               R"("level":8},"batteryOff":{"param0":11}})"),
         "4d8:e6d6 0xE6D6/g1000" + kPlain +
             " profile:NIGHT=FIXED 10 99 0 50 1.5 | BREATHE 9 5 300 8 | breathe 0 11 1000 50"},
        // Members of the wrong kind are passed over; in a profile they leave the built-in values.
        {Doc(R"({"vid":"1","pid":"2","trace":true,"telemetryIntervalMs":null})",
             R"(,"mobiflight":{"enabled":false,"clientName":5},"cdc":[1],"logging":{"debug":"1"},)"
             R"("outputs":{"debounceMs":"9","defaultProfile":" ","roleProfiles":[],"profiles":{"night":)"
             R"({"backlight":{"mode":1,"min":"10","max":true,"default":null,"scale":"2"},)"
             R"("simDisconnected":5,"batteryOff":{"effect":4,"count":"5"}}}})",
             R"({"buttonConfigPath":"b.json","hidEventMapPath":7})"),
         "1:2 2/g1000" + kDefaults +
             "DEFAULT profile:DEFAULT=80 profile:NIGHT=lvar 0 100 80 80 1 | flash 0 4 150 100 | "
             "breathe 0 5 1000 50"},
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
        {Doc(kHid, R"(,"devices":{})"), "'devices' must be an array"},
        {Doc(kHid, R"(,"devices":[{"index":0},"x"])"), "devices[1] must be an object"},
        {Doc(kHid, R"(,"devices":[{"boardId":" 0x ","index":-1}])"),
         "devices[0] must include boardId or index"},
        {Doc(kHid, R"(,"devices":[{"boardId":"ab","index":-3}])"), "devices[0] index must be >= 0"},
        // Validation is the last step; its message comes through unchanged.
        {Doc(R"({"vid":"","pid":"2"})"), "hid.vid is required"},
        {Doc(R"({"vid":"1","pid":""})"), "hid.pid is required"},
        {Doc(Devices(
             R"([{"vid":"4D8","pid":"1"},{"vid":" 04d8","pid":"1"},{"vid":"04D8","pid":"1"}])")),
         "hid.devices[2] duplicates the vid/pid of hid.devices[1]"},
        {Doc(kHid, "", R"({"buttonConfigPath":""})"), "mappings.buttonConfigPath is required"},
        {MobiFlight(R"("rpnRateLimitMs":-1)"), "mobiflight.rpnRateLimitMs must be >= 0"},
        {MobiFlight(R"("mapHoldRepeatMs":0)"), "mobiflight.mapHoldRepeatMs must be > 0"},
        {MobiFlight(R"("commandChannel":"")"), "mobiflight.commandChannel" + when},
        {MobiFlight(R"("responseChannel":"")"), "mobiflight.responseChannel" + when},
        {MobiFlight(R"("lvarsChannel":"")"), "mobiflight.lvarsChannel" + when},
        {MobiFlight(R"("enabled":0,"commandChannel":"","responseChannel":"","lvarsChannel":"")"),
         "PASS"},
        {Doc(kHid, R"(,"cdc":{"enabled":1})"), "cdc.comPort is required when cdc.enabled=1"},
        {Doc(kHid, R"(,"outputs":{"debounceMs":-1})"), "outputs.debounceMs must be >= 0"},
        {Night(R"({"backlight":{"min":20,"max":10}})"), n + "min/max must be between 0-100"},
        {Night(R"({"backlight":{"default":-1}})"), n + "default must be between 0-100"},
        {Night(R"({"backlight":{"value":101}})"), n + "value must be between 0-100"},
        // Default and value are held to 0..100, not to the profile's own min and max.
        {Night(R"({"backlight":{"min":40,"max":60,"default":0,"value":100}})"), "PASS"},
        {Night(R"({"backlight":{"scale":1e999}})"), n + "scale must be > 0"},
        {Night(R"({"simDisconnected":{"effect":"LVAR"}})"),
         night + "simDisconnected.effect is invalid"},
        {Night(R"({"batteryOff":{"effect":"BLINK"}})"), night + "batteryOff.effect is invalid"},
        {Night(R"({"simDisconnected":{"effect":""},"batteryOff":{"effect":" steady "}})"), "PASS"},
        // Profiles in key order, each checked completely before the next.
        {Doc(kHid, R"(,"outputs":{"profiles":{"night":{"backlight":{"min":-1}},)"
                   R"("a":{"batteryOff":{"effect":"x"},"backlight":{"scale":-1}}}})"),
         "outputs.profiles[A].backlight scale must be > 0"}};
    for (const auto& [text, expected] : cases) {
        // Rows that only have to load say PASS.
        const std::string outcome = Outcome(dir.Write("config.json", text));
        const bool loaded = outcome.rfind("4d8:e6d6 0xE6D6/g1000 ", 0) == 0;
        EXPECT_EQ(loaded && expected == "PASS" ? "PASS" : outcome, expected) << text;
    }
    EXPECT_EQ(Outcome(TARNWICK_TEST_DATA_DIR "/config/config.json"),
              "1:2 0x0001/g1000 0x0002/touchpanel 0x0003/g1000 0x0004/g1000 scan=-2147483648 "
              "tel=20 flags=1011 mf=,c,r,l,2147483647,7 cdc=COM7 out=12,NIGHTMODE role:PFD=NIGHT "
              "profile:DAY=40 profile:NIGHTMODE=80 board:1A2|-1|pfd | Night board:|2|| "
              "board:CD|3||");

    // What a file cannot break (the loader refuses such a file first), on a loaded configuration.
    AppConfig built;
    ASSERT_TRUE(LoadAppConfig(dir.Write("config.json", Doc()), built));
    const HexId16 none = ReadHexId16(""), one = ReadHexId16("1");
    built.devices.clear();
    EXPECT_EQ(ValidateAppConfig(built).Error(), "hid.devices must not be empty");
    // Each device is checked completely before the next.
    built.devices = {{one, one, PanelRole::Unknown, "pfd"}, {none, one, PanelRole::G1000, ""}};
    EXPECT_EQ(ValidateAppConfig(built).Error(), "hid.devices[0].role is unknown: pfd");
    built.devices[0].role = PanelRole::G1000;
    EXPECT_EQ(ValidateAppConfig(built).Error(), "hid.devices[1].vid is required");
    built.devices[1] = {one, none, PanelRole::G1000, ""};
    EXPECT_EQ(ValidateAppConfig(built).Error(), "hid.devices[1].pid is required");
}

// The loaders name the path when it is missing or is a folder (which passes the existence check
// but cannot be read as a file).
TEST(LoaderFileTest, UnreadableFilesNameThePath) {
    const test::TempDir dir;
    const std::string absent = dir.File("absent.json"), folder = dir.File("folder.json");
    std::filesystem::create_directory(ToFsPath(folder));
    AppConfig config;
    EXPECT_EQ(LoadAppConfig(folder, config).Error(), "Failed to open config file: " + folder);
    EXPECT_EQ(ButtonConfig().Load(folder).Error(), "Failed to open button config: " + folder);
    EXPECT_EQ(HidEventMap().Load(folder).Error(), "Failed to open event map: " + folder);
    EXPECT_EQ(HidEventMap().Load(absent).Error(), "Event map not found: " + absent);
    EXPECT_EQ(LoadAppConfig(absent, config).Error(), "Config file not found: " + absent);
#ifndef _WIN32
    // A path that cannot even be examined is not reported as "not found".
    EXPECT_THROW(LoadAppConfig(dir.File(std::string(300, 'n')), config),
                 std::filesystem::filesystem_error);
#endif
}

// Relative paths join the config file's folder (shown end to end); these forms are kept whole.
TEST(AppConfigPathTest, AbsoluteAndDevicePathsAreKept) {
    for (const std::string value :
         {"c:/b.json", "\\\\server\\share\\b.json", "//server/share/b.json", "\\\\?\\C:\\b.json",
          "\\\\.\\COM3", "\\??\\C:\\b.json", ""}) {
        EXPECT_EQ(ResolveConfigRelativePath("d/config.json", value), value);
    }
    EXPECT_EQ(ResolveConfigRelativePath("config.json", "b.json") + DefaultHidEventMapPath("c.json"),
              "b.json");
#ifdef _WIN32
    const std::pair<const char*, const char*> windows[] = {
        {"buttons.json", "C:\\cfg\\buttons.json"}, {"\\b.json", "C:\\b.json"}, {"D:x", "D:x"}};
    for (const auto& [value, expected] : windows) {
        EXPECT_EQ(ResolveConfigRelativePath("C:\\cfg\\config.json", value), expected);
    }
#endif
}

// A board is found by its id, else by its index; its profile is its own, then its role's, then
// the default, and an unknown name gets the first profile in key order, not the default.
TEST(OutputProfileTest, BoardsFindTheirEntryAndProfile) {
    AppConfig config;
    config.outputDevices = {{"", 1, "", ""}, {"00AB", -1, "", ""}, {"00AB", 5, "", ""}};
    // No leading-zero folding: "ab" is not 00AB, so the index decides; an id that normalizes to
    // nothing must not match the entries without one.
    EXPECT_EQ(FindOutputDevice(config, " 0x00ab", 1), &config.outputDevices[1]);
    EXPECT_EQ(FindOutputDevice(config, "ab", 5), &config.outputDevices[2]);
    EXPECT_EQ(FindOutputDevice(config, "0x", -1), nullptr);
    config.outputs.roleProfiles = {{"PFD", "night "}, {"MFD", "MISSING"}};
    const OutputProfile p = BuiltInDefaultProfile();
    config.outputs.profiles = {{"DAY", p}, {"DEFAULT", p}, {"NIGHT", p}};
    const std::array<const char*, 3> cases[] = {{"PFD", " day", "DAY"},
                                                {" pfd", "  ", "NIGHT"},
                                                {"COPILOT", "", "DEFAULT"},
                                                {"MFD", "", "DAY"}};
    for (const auto& [role, ledProfile, expected] : cases) {
        const OutputDeviceConfig device{"", 0, role, ledProfile};
        EXPECT_EQ(ResolveOutputProfile(config, &device), &config.outputs.profiles[expected]);
    }
    EXPECT_EQ(ResolveOutputProfile(config, nullptr), &config.outputs.profiles["DEFAULT"]);
    config.outputs.profiles.clear();
    EXPECT_EQ(ResolveOutputProfile(config, nullptr), nullptr);
}

TEST(ButtonConfigTest, LookUpFollowsNormalizedNamesAndTheDefaultRole) {
    ButtonConfig config;
    ASSERT_TRUE(config.Load(TARNWICK_TEST_DATA_DIR "/config/buttons.json"));
    const std::array<const char*, 4> cases[] = {
        // control, action, role, command
        // "Hdg Knob" in buttons and HDGKNOB in knobs are one control.
        {"HDG_KNOB", "CW", "PFD", ""},
        {"hdg knob", "cw", "pfd", "(>K:PFD_HDG_INC)"},
        {"HDGKNOB", "CW", "MFD", "(>K:MFD_HDG_INC)"},
        // No fall-back across actions: the engine retries "_FAST" without the suffix itself.
        {"HDGKNOB", "CCW_FAST", "PFD", ""},
        // A role map without DEFAULT serves only its own roles; an empty text of the exact role
        // is an answer, not a reason to fall back.
        {"NAV_SWAP", "PRESS", "", ""},
        {"NAV_SWAP", "RELEASE", "PFD", ""},
        {"NAV_SWAP", "RELEASE", "MFD", "(>K:NOTHING)"},
        // Keys that normalize alike: the later in byte order wins ("" < "DEFAULT", "PFD" < "pfd").
        {"A", "PRESS", "", "default key"},
        {"A", "PRESS", "PFD", "lower"},
        {"A", "HOLD", "", "lower action"},
        // A NUL ends a command text.
        {"A", "NUL", "", "(>K:AP_MASTER)"},
        {"A", "NUL", "PFD", ""},
        // Knobs are read after buttons and add to or replace their entries.
        {"X", "CW", "", "knob"},
        {"X", "CW", "PFD", "p"},
        {"X", "PRESS", "MFD", "second"},
        // Members of the wrong kind are skipped.
        {"MIXED", "PRESS", "", ""},
        {"MIXED", "CW", "", ""},
        {"MIXED", "CW", "MFD", "ok"}};
    for (const auto& [control, action, role, expected] : cases) {
        EXPECT_EQ(config.Lookup(control, action, role), expected)
            << control << " / " << action << " / " << role;
    }
    EXPECT_TRUE(config.HasControl("EMPTY_COMMANDS") && config.HasControl(""));
    EXPECT_FALSE(config.HasControl("NO_COMMANDS") || config.HasControl("ARRAY_COMMANDS"));
    // The longest text is 41 bytes; the next longest 21.
    EXPECT_TRUE(config.OverLongCommands(41).empty());
    EXPECT_EQ(config.OverLongCommands(38),
              (std::vector<std::string>{
                  "Command for HDGKNOB CW_FAST (role DEFAULT) is too long (41 bytes, at most 38); "
                  "it will not be sent"}));
    EXPECT_EQ(config.OverLongCommands(20).size(), 2u);
}

// A file that is no object leaves an earlier configuration in place; one that is replaces it,
// and keeps what it read before a failure.
TEST(ButtonConfigTest, DocumentErrorsHaveTheirMessages) {
    const test::TempDir dir;
    ButtonConfig config;
    const std::string b = R"({"name": "B", "commands": {}})";
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {R"({"buttons": [})", "Button config parse error: Unexpected token", "A"},
        {R"({"buttons": {}})", "'buttons' must be an array", ""},
        {R"({"buttons": [], "knobs": "x"})", "'knobs' must be an array", ""},
        {R"({"buttons": [5]})", "buttons[0] must be an object", ""},
        {R"({"buttons": [)" + b + R"(, {"name": 7}]})", "buttons[1] missing name", "B"},
        {R"({"knobs": [{"commands": {}}]})", "knobs[0] missing name", ""},
        {R"({"knobs": [)" + b + R"(, 1, {"name": "A", "commands": {}}]})",
         "knobs[1] must be an object", "B"},
        {R"({"buttons": [)" + b + R"(], "aircraft": {}})", "'aircraft' must be an array", "B"},
        {R"({"aircraft": [{"name": "C", "match": "c"}, 3]})", "aircraft[1] must be an object", ""},
        {R"({"aircraft": [{"match": "c"}]})", "aircraft[0] missing name", ""},
        {R"({"aircraft": [{"name": "C", "match": ""}]})", "aircraft set 'C' missing match", ""},
        {R"({"aircraft": [{"name": "C", "match": "c", "knobs": [{}]}]})",
         "aircraft set 'C': knobs[0] missing name", ""}};
    for (const auto& [text, error, kept] : cases) {
        ASSERT_TRUE(
            config.Load(dir.Write("b.json", R"({"buttons": [{"name": "A", "commands": {}}]})")));
        EXPECT_EQ(config.Load(dir.Write("b.json", text)).Error(), error) << text;
        EXPECT_EQ(
            std::string(config.HasControl("A") ? "A" : "") + (config.HasControl("B") ? "B" : ""),
            kept);
    }
}

// The first set whose match is in the title (case aside) is laid over the base: a control, action
// or role it lacks keeps the base's command, but a DEFAULT of the set answers all its roles.
TEST(ButtonConfigTest, AnAircraftSetFallsBackToTheBase) {
    const test::TempDir dir;
    ButtonConfig config;
    ASSERT_TRUE(config.Load(dir.Write("b.json", R"({
      "buttons": [{"name": "NAV_SWAP", "commands": {"PRESS": {"": "press", "MFD": "press mfd"},
                                                    "RELEASE": {"": "release"}}}],
      "knobs": [{"name": "HDG", "commands": {"CW": {"": "cw"}}}],
      "aircraft": [
        {"name": "Skyhawk", "match": "cessna 172", "buttons": [
          {"name": "NAV_SWAP", "commands": {"PRESS": {"PFD": "sky pfd"}}},
          {"name": "FLAPS", "commands": {"PRESS": {"": "sky flaps"}}}]},
        {"name": "Any Cessna", "match": "CESSNA",
         "knobs": [{"name": "NAV_SWAP", "commands": {"PRESS": {"": "any"}}}]}]})")));
    const std::array<const char*, 6> cases[] = {
        // title, control, action, role, set, command
        {"Cessna 172 Skyhawk", "NAV_SWAP", "PRESS", "PFD", "Skyhawk", "sky pfd"},
        {"Cessna 172 Skyhawk", "NAV_SWAP", "PRESS", "MFD", "Skyhawk", "press mfd"},
        {"Cessna 172 Skyhawk", "NAV_SWAP", "PRESS", "CDU", "Skyhawk", "press"},
        {"Cessna 172 Skyhawk", "NAV_SWAP", "RELEASE", "PFD", "Skyhawk", "release"},
        {"Cessna 172 Skyhawk", "HDG", "CW", "", "Skyhawk", "cw"},
        {"Cessna 172 Skyhawk", "FLAPS", "PRESS", "", "Skyhawk", "sky flaps"},
        {"cessna 208 caravan", "NAV_SWAP", "PRESS", "MFD", "Any Cessna", "any"},
        {"Airbus A320", "FLAPS", "PRESS", "", "base", ""}};
    for (const auto& [title, control, action, role, set, expected] : cases) {
        const AircraftButtons chosen = config.ForAircraft(title);
        EXPECT_EQ(chosen.setName, set) << title;
        EXPECT_EQ(chosen.buttons.Lookup(control, action, role), expected)
            << title << " / " << control << " / " << action << " / " << role;
    }
}

// Every name the map gives for a set of probe numbers, as "t<code>=NAME" and "c<id>=NAME".
std::string Names(const HidEventMap& map) {
    std::string names;
    for (const int n : {-2147483647 - 1, -2, -1, 0, 1, 2, 3, 4, 7, 12, 20, 40, 2147483647}) {
        if (const std::string type = map.FindEventType(n); !type.empty()) {
            names += " t" + std::to_string(n) + "=" + type;
        }
        if (const std::string control = map.FindControl(n); !control.empty()) {
            names += " c" + std::to_string(n) + "=" + control;
        }
    }
    return names;
}

// Numbers are truncated toward zero; those beyond the signed 32-bit range are no entries; of two
// names for one number the later key in byte order wins. A document that cannot be used leaves
// the tables alone; one whose objects lack valid entries replaces them with what it did hold.
TEST(HidEventMapTest, NamesNumbersBothWaysAndDocumentErrorsHaveTheirMessages) {
    HidEventMap fromData;
    ASSERT_TRUE(fromData.Load(TARNWICK_TEST_DATA_DIR "/config/hid_event_map.json"));
    EXPECT_EQ(Names(fromData),
              " c-2147483648=MIN t-1=B t1=BUTTON t2=PRESS t3=A c7=b c12=NAV_SWAP t20=C "
              "c40=HDG_KNOB c2147483647=MAX");
    const test::TempDir dir;
    const std::string kept = " t1=A c1=B";
    const std::string noTypes = "Event map missing valid event_types entries";
    const std::string noControls = "Event map missing valid control_ids entries";
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {R"({"event_types": {"A": 1},)", "Event map parse error: Unterminated object", kept},
        {"[1, 2]", "Event map root must be an object", kept},
        {R"({"event_types": {"A": "1"}, "control_ids": {"B": 1}})", noTypes, " c1=B"},
        {R"({"event_types": {}, "control_ids": {}})", noTypes, ""},
        {R"({"event_types": {"A": 1}, "control_ids": 5})", noControls, " t1=A"}};
    for (const auto& [text, error, names] : cases) {
        HidEventMap map;
        ASSERT_TRUE(
            map.Load(dir.Write("m.json", R"({"event_types":{"A":1},"control_ids":{"B":1}})")));
        EXPECT_EQ(map.Load(dir.Write("m.json", text)).Error(), error) << text;
        EXPECT_EQ(Names(map), names) << text;
    }
}

}  // namespace
}  // namespace tarnwick
