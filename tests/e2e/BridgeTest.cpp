// The real executable running the whole bridge, driven as a user drives it: a configuration in
// its folder, the virtual cockpit playing a scenario, console input, a second start.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/PathText.h"
#include "hid/TelemetryProtocol.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::CountPrefix;
using test::Has;

#ifdef _WIN32
constexpr const char* kExeName = "TarnwickHID.exe";
#else
constexpr const char* kExeName = "TarnwickHID";
#endif
const std::string kData = TARNWICK_TEST_DATA_DIR "/bridge/";
const std::string kStarted = "[INFO] HID manager started";
const std::string kStopped = "[INFO] Application run loop stopped";

class BridgeTest : public testing::Test {
protected:
    // The executable and the example configuration in `folder`, so that the log beside the
    // executable belongs to this test.
    void SetUp() override { Install(bin_); }
    void Install(const fs::path& folder) {
        fs::create_directories(folder / "config");
        fs::copy_file(fs::path(test::CurrentExecutablePath()).parent_path() / kExeName,
                      folder / kExeName);
        for (const char* file : {"config.json", "buttons.json", "hid_event_map.json"}) {
            fs::copy_file(ToFsPath(kData + file), folder / "config" / file);
        }
    }
    std::vector<std::string> Args(const fs::path& folder, const std::string& scenario) const {
        return {"--console", "--config",       FromFsPath(folder / "config" / "config.json"),
                "--virtual", kData + scenario, "--record",
                Record()};
    }
    std::string Record() const { return dir_.File("record.txt"); }
    // The record's lines hold no " [", so they read back whole.
    std::vector<std::string> RecordLines() const { return test::LogFileLines(Record()); }
    test::ChildOptions Options(const std::string& input = "", bool keepInputOpen = false) const {
        return test::ChildOptions{{}, dir_.Path().string(), input, keepInputOpen};
    }
    std::vector<std::string> Log(const fs::path& folder) const {
        return test::LogFileLines(FromFsPath(folder / "TarnwickHID.log"));
    }
    bool WaitForLog(const fs::path& folder, const std::string& line) const {
        return test::WaitUntil([&] { return Has(Log(folder), line); }, 60s, 10ms);
    }

    test::TempDir dir_;
    fs::path bin_ = dir_.Path() / "bin";
};

// Telemetry pages the touch panel received, decoded.
std::vector<TelemetryProtocol::TelemetryPage> TelemetryPages(
    const std::vector<std::string>& record) {
    std::vector<TelemetryProtocol::TelemetryPage> pages;
    const std::string prefix = "device touch report ";
    for (const auto& line : record) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = prefix.size(); line.rfind(prefix, 0) == 0 && i + 1 < line.size();
             i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        }
        TelemetryProtocol::TelemetryPage page;
        if (!bytes.empty() &&
            TelemetryProtocol::DecodeTelemetryReport(bytes.data(), bytes.size(), page)) {
            pages.push_back(page);
        }
    }
    return pages;
}

// The course, from a folder outside the system's ANSI code page (as C:\Users\Łukasz): the
// executable's path, its arguments and its files must name the same folder. A second start while
// it runs ends at once. Console commands, presses, a fast turn, a held map control, panel
// settings, a lighting change, a touch panel unplugged and plugged again, buttons.json edited
// while it runs, then the simulator quits and the bridge follows.
TEST_F(BridgeTest, FullCourseThroughTheVirtualCockpit) {
    const fs::path folder = dir_.Path() / u8"\u0141ukasz";
    Install(folder);
    const std::string exe = FromFsPath(folder / kExeName);
    test::BackgroundChild bridge(exe, Args(folder, "course.json"), Options("boot\ntelem\n", true));
    ASSERT_TRUE(bridge.Started());
    ASSERT_TRUE(WaitForLog(folder, kStarted))
        << test::FileBytes(FromFsPath(folder / "TarnwickHID.log"));
    const auto second = test::RunChild(exe, Args(folder, "course.json"),
                                       test::ChildOptions{{}, bin_.string(), "", false}, 60s);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out + second.err, "");
    EXPECT_LT(second.elapsed, 3s);
    const auto result = bridge.Wait(60s);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;

    const auto log = Log(folder);
    for (const char* line :
         {"[INFO] Initializing application: TarnwickHID v0.2.2",
          "[INFO] Configuration loaded",
          "[INFO] HID device connected: E66118604B1F2A31 index=0 role=g1000 fw=1.0.0",
          "[INFO] HID device connected: TP-1 index=1 role=touchpanel fw=unknown",
          "[INFO] Touch panel configured; telemetry enabled",
          "[INFO] HID manager started",
          "[INFO] Application run loop started",
          "[INFO] SimConnect connected",
          "[INFO] MobiFlight client registered",
          "[INFO] Telemetry streaming to 1 touch panel(s)",
          "[INFO] Console commands: bootsel, telemetry, quit",
          "[INFO] Sending BOOTSEL command to devices",
          "[INFO] Streaming synthetic telemetry for 10s",
          "[DEBUG] Panel heading bug -> 245 (TP-1)",
          "[DEBUG] Panel course -> 90 (TP-1)",
          "[INFO] HID device disconnected: TP-1",
          "[INFO] HID device connected: TP-1 index=2 role=touchpanel fw=unknown",
          "[INFO] Reloaded buttons.json",
          "[INFO] Simulator closed; requesting application shutdown",
          "[INFO] Synthetic telemetry finished",
          "[INFO] Application run loop stopped"}) {
        EXPECT_TRUE(Has(log, line)) << line;
    }
    EXPECT_EQ(CountPrefix(log, "[INFO] Initializing application"), 1u);
    EXPECT_NE(result.out.find(kStopped), std::string::npos) << "the console echo";

    const auto record = RecordLines();
    for (const std::string& line : std::vector<std::string>{
             "sim command MF.SimVars.Set.1 (>H:BTN_0_PFD_PRESS)", "sim event AP_MASTER 0",
             "sim command MF.SimVars.Set.1 (>H:HDG_KNOB_PFD_CW_FAST)",
             "sim command MF.SimVars.Set.1 (>H:MAP_LEFT_PFD_PRESS)",
             "sim event HEADING_BUG_SET 245", "sim event VOR1_SET 90",
             "sim command MF.SimVars.Set.1 (>H:BTN_0_PFD_EDITED)",
             // The board learnt that the simulator connected, and was sent to BOOTSEL.
             "device pfd report 1101" + std::string(60, '0'),
             "device pfd report 1202" + std::string(60, '0')}) {
        EXPECT_TRUE(Has(record, line)) << line;
    }
    // The map control repeats every 20 ms while held for 300 ms.
    EXPECT_GE(CountPrefix(record, "sim command MF.SimVars.Set.1 (>H:MAP_LEFT_PFD_HOLD)"), 5u);
    // The lighting level 0.25 reached the board as a steady LED at 25 %.
    EXPECT_GE(CountPrefix(record, "device pfd report 100119"), 1u);
    // Flight data, and the synthetic stream with its fixed values (the simulator's bus has 28.2 V).
    const auto pages = TelemetryPages(record);
    EXPECT_GE(pages.size(), 10u);
    EXPECT_TRUE(std::any_of(pages.begin(), pages.end(), [](const auto& page) {
        return page.page == 1 && page.values[1] == 12.0f && page.values[2] == 27.5f &&
               page.values[6] == 90.0f;
    }));
}

// A board whose OUT endpoint stalls for a day holds up neither the other board (its LEDs, its
// presses) nor the stop when the simulator quits; and the process ends at once although the
// console thread still waits for a line on an input that stays open.
TEST_F(BridgeTest, StalledBoardAndOpenConsoleInputHoldUpNothing) {
    test::BackgroundChild bridge(FromFsPath(bin_ / kExeName), Args(bin_, "stall.json"),
                                 Options("", true));
    ASSERT_TRUE(bridge.Started());
    ASSERT_TRUE(WaitForLog(bin_, kStopped))
        << test::FileBytes(FromFsPath(bin_ / "TarnwickHID.log"));
    EXPECT_EQ(bridge.Wait(2s).exitCode, 0);
    EXPECT_GE(CountPrefix(Log(bin_), "[WARN] HID led_ctl write failed for E66118604B1F2A32"), 1u);
    const auto record = RecordLines();
    EXPECT_TRUE(Has(record, "sim command MF.SimVars.Set.1 (>H:BTN_0_PFD_PRESS)"));
    EXPECT_GE(CountPrefix(record, "device pfd report 100119"), 1u);
}

// Runs that end before the bridge runs, or by the console: exit code, exact log lines, output.
TEST_F(BridgeTest, StartUpFailuresAndConsoleStops) {
    const std::string config = FromFsPath(bin_ / "config" / "config.json");
    const std::string buttons = FromFsPath(bin_ / "config" / "buttons.json");
    struct Case {
        std::string file, content;  // written into config/; "-" removes it
        std::vector<std::string> lines;
        std::string input = "";  // a run stopped from the console ends with 0, the others with 1
        std::vector<std::string> args = {};  // instead of the usual ones
        std::string err = "";
    };
    const auto failed = [](const std::string& message) {
        return std::vector<std::string>{"[ERROR] " + message,
                                        "[ERROR] Failed to initialize: " + message};
    };
#ifdef _WIN32
    // Without a configuration beside the executable the machine-wide one is looked for.
    const std::vector<std::string> notFound = {
        "[ERROR] Config file not found: C:\\ProgramData\\Tarnwick\\config.json (default search "
        "order: " +
        config + "; C:\\ProgramData\\Tarnwick\\config.json)"};
#else
    const auto notFound =
        failed("Config file not found: " + config + " (default search order: " + config + ")");
#endif
    // The first run finds a full log beside the executable and rotates it first.
    std::ofstream(bin_ / "TarnwickHID.log", std::ios::binary) << std::string(5242880, 'x');
    const std::vector<Case> cases = {
        {"config.json", "-", notFound, "", {"--console", "--virtual", kData + "idle.json"}},
        {"config.json", "{", failed("Config parse error: Unterminated object")},
        {"config.json",
         R"({"hid": {"vid": "0x2E8A", "pid": "0x10F0", "telemetryIntervalMs": 0},
             "mappings": {"buttonConfigPath": "buttons.json"}})",
         failed("hid.telemetryIntervalMs must be > 0")},
        {"buttons.json",
         "-",
         {"[ERROR] Failed to load button config: Button config not found: " + buttons,
          "[ERROR] Failed to initialize: "}},
        {"buttons.json",
         "[]",
         {"[ERROR] Failed to load button config: Button config root must be an object",
          "[ERROR] Failed to initialize: "}},
        // Unknown lines and a quit with a leading space do nothing; the word in capitals stops.
        {"hid_event_map.json",
         "{\"event_types\": ",
         {"[WARN] Failed to load HID event map: Event map parse error: Unexpected end of input",
          kStarted, "[INFO] Stop requested from console", kStopped},
         "hello\n quit\nQUIT\n"},
#ifndef _WIN32
        {"",
         "",
         {},
         "",
         {"--console"},
         "TarnwickHID: this build has no real HID or SimConnect backend; run it with --virtual "
         "SCENARIO (see docs/scenario.md).\n"},
#endif
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        if (i != 0) {
            fs::remove(bin_ / "TarnwickHID.log");
        }
        for (const char* file : {"config.json", "buttons.json", "hid_event_map.json"}) {
            fs::copy_file(ToFsPath(kData + file), bin_ / "config" / file,
                          fs::copy_options::overwrite_existing);
        }
        if (c.content == "-") {
            fs::remove(bin_ / "config" / c.file);
        } else if (!c.file.empty()) {
            std::ofstream(bin_ / "config" / c.file, std::ios::binary) << c.content;
        }
        const auto result = test::RunChild(FromFsPath(bin_ / kExeName),
                                           c.args.empty() ? Args(bin_, "idle.json") : c.args,
                                           Options(c.input), 60s);
        EXPECT_EQ(result.exitCode, c.input.empty() ? 1 : 0) << "case " << i;
        EXPECT_EQ(result.err, c.err);
        const auto log = Log(bin_);
        for (const auto& line : c.lines) {
            EXPECT_TRUE(Has(log, line)) << line << "\n" << result.out;
        }
        EXPECT_EQ(Has(log, kStarted), !c.input.empty()) << result.out;
        EXPECT_EQ(log.empty() ? "" : log.front(),
                  c.lines.empty() ? "" : "[INFO] Initializing application: TarnwickHID v0.2.2");
    }
    EXPECT_EQ(fs::file_size(bin_ / "TarnwickHID.log.1"), 5242880u);
}

#ifdef _WIN32
TEST_F(BridgeTest, WithoutConsoleTheLogGoesUnderProgramData) {
    const std::string config = dir_.File("nowhere/config.json");
    const auto result =
        test::RunChild(FromFsPath(bin_ / kExeName), {"--config", config}, Options(), 60s);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fs::exists(bin_ / "TarnwickHID.log"));
    const std::string shared = test::FileBytes("C:\\ProgramData\\Tarnwick\\logs\\TarnwickHID.log");
    EXPECT_NE(shared.find("[ERROR] Config file not found: " + config), std::string::npos);
}

// The real SimConnect loading path: the test SimConnect.dll beside the executable plays the
// simulator, and a process named FlightSimulator.exe makes the bridge look for it.
TEST_F(BridgeTest, FullCourseThroughTheTestSimConnectDll) {
    const fs::path built = fs::path(test::CurrentExecutablePath()).parent_path();
    fs::copy_file(built / "SimConnect.dll", bin_ / "SimConnect.dll");
    fs::create_directories(dir_.Path() / "sim");
    test::BackgroundChild simulator((built / "FlightSimulator.exe").string(), {"20000"},
                                    test::ChildOptions{{}, (dir_.Path() / "sim").string(), ""});
    ASSERT_TRUE(simulator.Started());
    auto options = Options();
    options.env = {{"TARNWICK_TEST_SIM_QUIT_AFTER_MS", "3000"}};
    const auto result =
        test::RunChild(FromFsPath(bin_ / kExeName),
                       {"--console", "--config", FromFsPath(bin_ / "config" / "config.json"),
                        "--virtual", kData + "dll.json"},
                       options, 60s);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    const auto log = Log(bin_);
    for (const char* line :
         {"[INFO] SimConnect connected", "[INFO] MobiFlight client registered",
          "[DEBUG] MobiFlight command: MF.SimVars.Set.1 (>H:BTN_0_PFD_PRESS)",
          "[DEBUG] Panel heading bug -> 100 (TP-1)",
          "[INFO] Simulator closed; requesting application shutdown", kStopped.c_str()}) {
        EXPECT_TRUE(Has(log, line)) << line << "\n" << result.out;
    }
}
#endif

}  // namespace
}  // namespace tarnwick
