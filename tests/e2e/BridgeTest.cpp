// The real executable running the whole bridge, driven as a user drives it: a configuration in
// its folder, the virtual cockpit playing a scenario, console input, a second start.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/PathText.h"
#include "hid/TelemetryProtocol.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#ifdef _WIN32
constexpr const char* kExeName = "TarnwickHID.exe";
#else
constexpr const char* kExeName = "TarnwickHID";
#endif

using test::CountPrefix;
using test::Has;

std::vector<std::uint8_t> Bytes(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

const char* kConfig = R"js({
  "hid": {
    "devices": [
      { "vid": "0x2E8A", "pid": "0x10F0", "role": "g1000" },
      { "vid": "0x2E8A", "pid": "0x10F1", "role": "touchpanel" }
    ],
    "telemetryIntervalMs": 50
  },
  "mappings": { "buttonConfigPath": "buttons.json" },
  "mobiflight": { "mapHoldRepeatMs": 20 },
  "logging": { "debug": 1 }
})js";

const char* kButtons = R"js({
  "buttons": [
    { "name": "SOFTKEY_1", "commands": { "PRESS": { "PFD": "(>H:SK1)" } } },
    { "name": "MAP_LEFT", "commands": { "PRESS": { "": "(>H:MAP_LEFT)" },
                                        "HOLD": { "": "(>H:MAP_LEFT)" } } }
  ],
  "knobs": [
    { "name": "HDG_KNOB", "commands": { "CW": { "": "(>K:HEADING_BUG_INC)" },
                                        "CW_FAST": { "": "(>K:HEADING_BUG_INC) (>K:HEADING_BUG_INC)" } } }
  ]
})js";

const char* kEventMap = R"js({
  "event_types": { "BUTTON": 1, "ENCODER": 2 },
  "control_ids": { "AP": 5, "SOFTKEY_1": 20, "MAP_LEFT": 50, "HDG_KNOB": 60 }
})js";

const char* kDevices = R"js(
  "devices": [
    { "name": "pfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "E66118604B1F2A31" },
    { "name": "touch", "role": "touchpanel", "vid": "0x2E8A", "pid": "0x10F1", "serial": "TP-1" }
  ])js";

// Presses, a fast turn, a held map control, panel settings, a lighting change.
const char* kCourse = R"js(
  "timeline": [
    { "at": 800, "device": "pfd", "button": 20, "action": "press" },
    { "at": 850, "device": "pfd", "button": 20, "action": "release" },
    { "at": 900, "device": "pfd", "button": 5, "action": "press" },
    { "at": 950, "device": "pfd", "button": 5, "action": "release" },
    { "at": 1000, "device": "pfd", "encoder": 60, "detents": 4, "speed": 4 },
    { "at": 1100, "device": "pfd", "button": 50, "action": "press" },
    { "at": 1200, "device": "pfd", "button": 50, "action": "hold" },
    { "at": 1500, "device": "pfd", "button": 50, "action": "release" },
    { "at": 1600, "device": "touch", "headingBug": 245.4, "course": 90.0, "sequence": 1 },
    { "at": 1700, "lighting": 0.25 },
    { "at": 2200, "end": 1 }
  ])js";

class BridgeTest : public testing::Test {
protected:
    void SetUp() override {
        const fs::path built = fs::path(test::CurrentExecutablePath()).parent_path();
        bin_ = dir_.Path() / "bin";
        fs::create_directories(bin_ / "config");
        fs::create_directories(dir_.Path() / "out");
        // A copy of its own, so that the log beside the executable belongs to this test.
        fs::copy_file(built / kExeName, bin_ / kExeName);
        exe_ = (bin_ / kExeName).string();
        builtDir_ = built;
    }

    void WriteCockpit(const std::string& config = kConfig) {
        Write("config/config.json", config);
        Write("config/buttons.json", kButtons);
        Write("config/hid_event_map.json", kEventMap);
    }
    void Write(const std::string& name, const std::string& content) {
        std::ofstream(bin_ / name, std::ios::binary) << content;
    }
    std::string Scenario(const std::string& body) {
        const std::string path = (dir_.Path() / "scenario.json").string();
        std::ofstream(path, std::ios::binary) << "{" << body << "}";
        return path;
    }
    // Devices and a simulator for runs that are about start-up: natively the bridge runs only
    // against the virtual cockpit.
    std::string ShortScenario() {
        return Scenario(std::string(kDevices) +
                        R"(, "simulator": {}, "timeline": [{"at": 300, "end": 1}])");
    }
    std::string ConfigPath() const { return (bin_ / "config" / "config.json").string(); }
    std::string RecordPath() const { return (dir_.Path() / "record.txt").string(); }
    fs::path LogPath() const { return bin_ / "TarnwickHID.log"; }
    std::vector<std::string> Log() const { return test::LogFileLines(LogPath().string()); }
    std::vector<std::string> Record() const {
        std::vector<std::string> lines;
        std::istringstream in(test::FileBytes(RecordPath()));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    test::ChildResult Run(const std::vector<std::string>& args, const std::string& input = "",
                          std::map<std::string, std::string> env = {}) {
        return test::RunChild(exe_, args, test::ChildOptions{env, OutDir(), input}, 60s);
    }
    std::string OutDir() const { return (dir_.Path() / "out").string(); }

    test::TempDir dir_;
    fs::path bin_;
    fs::path builtDir_;
    std::string exe_;
};

// Telemetry pages a device received, decoded.
std::vector<TelemetryProtocol::TelemetryPage> TelemetryPages(const std::vector<std::string>& record,
                                                             const std::string& device) {
    std::vector<TelemetryProtocol::TelemetryPage> pages;
    const std::string prefix = "device " + device + " report 31";
    for (const auto& line : record) {
        if (line.rfind(prefix, 0) == 0) {
            const auto bytes = Bytes(line.substr(prefix.size() - 2));
            TelemetryProtocol::TelemetryPage page;
            if (TelemetryProtocol::DecodeTelemetryReport(bytes.data(), bytes.size(), page)) {
                pages.push_back(page);
            }
        }
    }
    return pages;
}

TEST_F(BridgeTest, FullCourseThroughTheVirtualCockpit) {
    WriteCockpit();
    const std::string scenario =
        Scenario(std::string(kDevices) + R"(, "simulator": { "lighting": 0.6 },)" + kCourse);
    const auto result = Run({"--console", "--config", ConfigPath(), "--virtual", scenario,
                             "--record", RecordPath()});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    // The scenario ends (the simulator quits) 2.2 s after start-up; the bridge follows at once.
    EXPECT_LT(result.elapsed, 2200ms + 1500ms);

    const auto log = Log();
    for (const char* line :
         {"[INFO] Initializing application: TarnwickHID v0.2.2", "[INFO] Configuration loaded",
          "[INFO] HID device connected: E66118604B1F2A31 index=0 role=g1000 fw=1.0.0",
          "[INFO] HID device connected: TP-1 index=1 role=touchpanel fw=unknown",
          "[INFO] Touch panel configured; telemetry enabled", "[INFO] HID manager started",
          "[INFO] Application run loop started", "[INFO] SimConnect connected",
          "[INFO] MobiFlight client registered", "[INFO] Telemetry streaming to 1 touch panel(s)",
          "[DEBUG] Panel heading bug -> 245 (TP-1)", "[DEBUG] Panel course -> 90 (TP-1)",
          "[INFO] Simulator closed; requesting application shutdown",
          "[INFO] Application run loop stopped"}) {
        EXPECT_TRUE(Has(log, line)) << line;
    }
    // The console echo shows the same lines.
    EXPECT_NE(result.out.find("[INFO] HID manager started"), std::string::npos);

    const auto record = Record();
    EXPECT_TRUE(Has(record, "sim command MF.SimVars.Set.1 (>H:SK1)"));
    EXPECT_TRUE(Has(record, "sim event AP_MASTER 0"));
    EXPECT_TRUE(Has(record,
                    "sim command MF.SimVars.Set.1 (>K:HEADING_BUG_INC) (>K:HEADING_BUG_INC)"));
    // Press, then repeats every 20 ms while held for 300 ms.
    EXPECT_GE(CountPrefix(record, "sim command MF.SimVars.Set.1 (>H:MAP_LEFT)"), 5u);
    EXPECT_TRUE(Has(record, "sim event HEADING_BUG_SET 245"));
    EXPECT_TRUE(Has(record, "sim event VOR1_SET 90"));
    EXPECT_GE(TelemetryPages(record, "touch").size(), 10u);
    // The lighting level 0.25 reached the board as a steady LED at 25 %.
    EXPECT_GE(CountPrefix(record, "device pfd report 100119"), 1u);
    // The board learnt that the simulator connected.
    EXPECT_TRUE(Has(record, "device pfd report 1101" + std::string(60, '0')));
}

TEST_F(BridgeTest, MissingConfigurationNamesTheSearchOrder) {
    const auto result = Run({"--console", "--virtual", ShortScenario()});
    EXPECT_EQ(result.exitCode, 1);
    const auto log = Log();
    const std::string exeCandidate = (bin_ / "config" / "config.json").string();
#ifdef _WIN32
    // Without a configuration beside the executable the machine-wide one is looked for.
    ASSERT_FALSE(log.empty());
    const std::string expectedStart = "[ERROR] Config file not found: C:\\ProgramData\\Tarnwick\\config.json (default search order: " + exeCandidate + "; C:\\ProgramData\\Tarnwick\\config.json)";
    EXPECT_TRUE(Has(log, expectedStart)) << result.out;
#else
    const std::string message =
        "Config file not found: " + exeCandidate + " (default search order: " + exeCandidate + ")";
    EXPECT_TRUE(Has(log, "[ERROR] " + message)) << result.out;
    EXPECT_TRUE(Has(log, "[ERROR] Failed to initialize: " + message));
#endif
}

TEST_F(BridgeTest, EveryStartUpFailureIsLoggedAndEndsWithExitCodeOne) {
    struct Case {
        std::string config;
        std::string buttons;  // empty: no button file
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"{", kButtons,
         {"[ERROR] Config parse error: Unterminated object",
          "[ERROR] Failed to initialize: Config parse error: Unterminated object"}},
        {R"({"hid": {"vid": "0x2E8A", "pid": "0x10F0", "telemetryIntervalMs": 0},
             "mappings": {"buttonConfigPath": "buttons.json"}})",
         kButtons,
         {"[ERROR] hid.telemetryIntervalMs must be > 0",
          "[ERROR] Failed to initialize: hid.telemetryIntervalMs must be > 0"}},
        {kConfig, "",
         {"[ERROR] Failed to load button config: Button config not found: " +
              (bin_ / "config" / "buttons.json").string(),
          "[ERROR] Failed to initialize: "}},
        {kConfig, "[]",
         {"[ERROR] Failed to load button config: Button config root must be an object",
          "[ERROR] Failed to initialize: "}},
    };
    for (const auto& c : cases) {
        fs::remove(LogPath());
        fs::remove(bin_ / "config" / "buttons.json");
        Write("config/config.json", c.config);
        if (!c.buttons.empty()) {
            Write("config/buttons.json", c.buttons);
        }
        const auto result =
            Run({"--console", "--config", ConfigPath(), "--virtual", ShortScenario()});
        EXPECT_EQ(result.exitCode, 1) << c.config;
        const auto log = Log();
        for (const auto& line : c.expected) {
            EXPECT_TRUE(Has(log, line)) << line << "\n" << result.out;
        }
        EXPECT_FALSE(Has(log, "[INFO] HID manager started"));
    }
}

TEST_F(BridgeTest, BrokenEventMapIsOnlyAWarning) {
    WriteCockpit();
    Write("config/hid_event_map.json", "{\"event_types\": ");
    const std::string scenario = Scenario(std::string(kDevices) +
                                          R"(, "simulator": {}, "timeline": [{"at": 300, "end": 1}])");
    const auto result = Run({"--console", "--config", ConfigPath(), "--virtual", scenario});
    EXPECT_EQ(result.exitCode, 0);
    const auto log = Log();
    EXPECT_TRUE(Has(log, "[WARN] Failed to load HID event map: Event map parse error: "
                         "Unexpected end of input"));
    EXPECT_TRUE(Has(log, "[INFO] HID manager started"));
}

TEST_F(BridgeTest, SecondInstanceExitsAtOnceWhileTheFirstRuns) {
    WriteCockpit();
    const std::string scenario = Scenario(std::string(kDevices) +
                                          R"(, "simulator": {}, "timeline": [{"at": 4000, "end": 1}])");
    fs::create_directories(dir_.Path() / "first");
    test::BackgroundChild first(exe_, {"--console", "--config", ConfigPath(), "--virtual", scenario},
                                test::ChildOptions{{}, (dir_.Path() / "first").string(), ""});
    ASSERT_TRUE(first.Started());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!Has(Log(), "[INFO] HID manager started") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(Has(Log(), "[INFO] HID manager started"));

    const auto second = Run({"--console", "--config", ConfigPath(), "--virtual", scenario});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "");
    EXPECT_LT(second.elapsed, 3000ms);

    const auto firstResult = first.Wait(20s);
    EXPECT_EQ(firstResult.exitCode, 0);
    EXPECT_EQ(CountPrefix(Log(), "[INFO] Initializing application"), 1u);
}

TEST_F(BridgeTest, ConsoleQuitStopsTheBridge) {
    WriteCockpit();
    const std::string scenario = Scenario(std::string(kDevices) +
                                          R"(, "simulator": {}, "timeline": [{"at": 60000, "end": 1}])");
    // Unknown lines and a quit with a leading space do nothing; the word in capitals stops.
    const auto result = Run({"--console", "--config", ConfigPath(), "--virtual", scenario},
                            "hello\n quit\nQUIT\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LT(result.elapsed, 10s);
    const auto log = Log();
    EXPECT_TRUE(Has(log, "[INFO] Console commands: bootsel, telemetry, quit"));
    EXPECT_EQ(CountPrefix(log, "[INFO] Stop requested from console"), 1u);
    EXPECT_TRUE(Has(log, "[INFO] Application run loop stopped"));
}

// The console thread still waits for a line when the simulator quits; the process must not wait
// with it (holding the single-instance lock).
TEST_F(BridgeTest, ConsoleRunEndsAtOnceWhileInputStaysOpen) {
    WriteCockpit();
    // The simulator quits only after the bridge has surely connected to it: one that quits
    // before ends nothing.
    const std::string scenario = Scenario(std::string(kDevices) +
                                          R"(, "simulator": {}, "timeline": [{"at": 3000, "end": 1}])");
    test::BackgroundChild bridge(exe_, {"--console", "--config", ConfigPath(), "--virtual", scenario},
                                 test::ChildOptions{{}, OutDir(), "", true});
    ASSERT_TRUE(bridge.Started());
    ASSERT_TRUE(test::WaitUntil([&] { return Has(Log(), "[INFO] Application run loop stopped"); },
                                60s, 10ms))
        << test::FileBytes(LogPath());
    const auto result = bridge.Wait(1s);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find("[INFO] Application run loop stopped"), std::string::npos);
}

// A board whose OUT endpoint stalls holds up neither the other board (its LEDs, its presses) nor
// the bridge's stop.
TEST_F(BridgeTest, StalledBoardHoldsUpNeitherTheOtherBoardNorQuit) {
    WriteCockpit();
    const std::string scenario = Scenario(R"(
      "devices": [
        { "name": "pfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "E66118604B1F2A31" },
        { "name": "mfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "E66118604B1F2A32" }],
      "simulator": {},
      "timeline": [
        { "at": 0, "device": "mfd", "writesStall": 86400000 },
        { "at": 1000, "lighting": 0.25 },
        { "at": 1200, "device": "pfd", "button": 20, "action": "press" },
        { "at": 1250, "device": "pfd", "button": 20, "action": "release" },
        { "at": 600000, "end": 1 }])");
    test::BackgroundChild bridge(
        exe_, {"--console", "--config", ConfigPath(), "--virtual", scenario, "--record", RecordPath()},
        test::ChildOptions{{}, OutDir(), "", true});
    ASSERT_TRUE(bridge.Started());
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            const auto log = Log();
            return Has(log, "[DEBUG] MobiFlight command: MF.SimVars.Set.1 (>H:SK1)") &&
                   CountPrefix(log, "[WARN] HID led_ctl write failed for E66118604B1F2A32") > 0;
        },
        60s, 10ms))
        << test::FileBytes(LogPath());
    bridge.Type("quit\n");
    const auto result = bridge.Wait(1s);
    EXPECT_EQ(result.exitCode, 0);

    const auto record = Record();
    EXPECT_TRUE(Has(record, "sim command MF.SimVars.Set.1 (>H:SK1)"));
    // The lighting level 0.25 reached the healthy board as a steady LED at 25 %.
    EXPECT_GE(CountPrefix(record, "device pfd report 100119"), 1u);
}

TEST_F(BridgeTest, ConsoleBootselAndSyntheticTelemetryReachTheDevices) {
    WriteCockpit();
    const std::string scenario = Scenario(std::string(kDevices) +
                                          R"(, "simulator": {}, "timeline": [{"at": 1500, "end": 1}])");
    const auto result = Run({"--console", "--config", ConfigPath(), "--virtual", scenario,
                             "--record", RecordPath()},
                            "boot\ntelem\n");
    EXPECT_EQ(result.exitCode, 0);
    const auto log = Log();
    EXPECT_TRUE(Has(log, "[INFO] Sending BOOTSEL command to devices"));
    EXPECT_TRUE(Has(log, "[INFO] Streaming synthetic telemetry for 10s"));
    // The simulator closing stops the bridge, which ends the stream at its next step.
    EXPECT_TRUE(Has(log, "[INFO] Synthetic telemetry finished"));

    const auto record = Record();
    EXPECT_TRUE(Has(record, "device pfd report 1202" + std::string(60, '0')));
    // The synthetic stream is recognisable by its fixed values (the simulator's bus has 28.2 V).
    bool synthetic = false;
    for (const auto& page : TelemetryPages(record, "touch")) {
        synthetic = synthetic || (page.page == 1 && page.values[1] == 12.0f &&
                                  page.values[2] == 27.5f && page.values[6] == 90.0f);
    }
    EXPECT_TRUE(synthetic);
}

// A folder outside the system's ANSI code page, as a user folder such as C:\Users\Łukasz: the
// executable's path, its arguments and its files must name the same folder.
TEST_F(BridgeTest, RunsFromAFolderOutsideTheAnsiCodePage) {
    const fs::path folder = dir_.Path() / u8"\u0141ukasz";
    fs::create_directories(folder / "config");
    fs::copy_file(bin_ / kExeName, folder / kExeName);
    std::ofstream(folder / "config" / "config.json", std::ios::binary) << kConfig;
    std::ofstream(folder / "config" / "buttons.json", std::ios::binary) << kButtons;
    const auto result =
        test::RunChild(FromFsPath(folder / kExeName),
                       {"--console", "--config", FromFsPath(folder / "config" / "config.json"),
                        "--virtual", ShortScenario()},
                       test::ChildOptions{{}, OutDir(), ""}, 60s);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_TRUE(Has(test::LogFileLines(FromFsPath(folder / "TarnwickHID.log")),
                    "[INFO] Configuration loaded"));
}

TEST_F(BridgeTest, LogRotatesBesideTheExecutableWithConsole) {
    {
        std::ofstream big(LogPath(), std::ios::binary);
        big << std::string(5242880, 'x');
    }
    const auto result = Run({"--console", "--config", ConfigPath(), "--virtual", ShortScenario()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(fs::file_size(bin_ / "TarnwickHID.log.1"), 5242880u);
    const auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "[INFO] Initializing application: TarnwickHID v0.2.2");
}

#ifndef _WIN32
TEST_F(BridgeTest, NativeBuildWithoutScenarioHasNoBridgeToRun) {
    const auto result = Run({"--console"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "TarnwickHID: this build has no real HID or SimConnect backend; run it with "
              "--virtual SCENARIO (see docs/scenario.md).\n");
}
#endif

#ifdef _WIN32
TEST_F(BridgeTest, WithoutConsoleTheLogGoesUnderProgramData) {
    const std::string configPath = (dir_.Path() / "nowhere" / "config.json").string();
    const auto result = Run({"--config", configPath});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fs::exists(LogPath()));
    const std::string shared = test::FileBytes("C:\\ProgramData\\Tarnwick\\logs\\TarnwickHID.log");
    EXPECT_NE(shared.find("[ERROR] Config file not found: " + configPath), std::string::npos);
}

// The real SimConnect loading path: the test SimConnect.dll beside the executable plays the
// simulator, and a process named FlightSimulator.exe makes the bridge look for it.
TEST_F(BridgeTest, FullCourseThroughTheTestSimConnectDll) {
    WriteCockpit();
    fs::copy_file(builtDir_ / "SimConnect.dll", bin_ / "SimConnect.dll");
    fs::create_directories(dir_.Path() / "sim");
    test::BackgroundChild simulator((builtDir_ / "FlightSimulator.exe").string(), {"20000"},
                                    test::ChildOptions{{}, (dir_.Path() / "sim").string(), ""});
    ASSERT_TRUE(simulator.Started());
    const std::string scenario = Scenario(std::string(kDevices) + R"(,
      "timeline": [
        { "at": 1500, "device": "pfd", "button": 20, "action": "press" },
        { "at": 1550, "device": "pfd", "button": 20, "action": "release" },
        { "at": 1600, "device": "touch", "headingBug": 100.0, "sequence": 1 }
      ])");
    const auto result = Run({"--console", "--config", ConfigPath(), "--virtual", scenario},
                            "", {{"TARNWICK_TEST_SIM_QUIT_AFTER_MS", "3000"}});
    simulator.Kill();
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_LT(result.elapsed, 10s);
    const auto log = Log();
    for (const char* line :
         {"[INFO] SimConnect connected", "[INFO] MobiFlight client registered",
          "[DEBUG] MobiFlight command: MF.SimVars.Set.1 (>H:SK1)",
          "[DEBUG] Panel heading bug -> 100 (TP-1)",
          "[INFO] Simulator closed; requesting application shutdown",
          "[INFO] Application run loop stopped"}) {
        EXPECT_TRUE(Has(log, line)) << line << "\n" << result.out;
    }
}
#endif

}  // namespace
}  // namespace tarnwick
