// The real executable running the whole bridge, driven as a user drives it: a configuration in
// its folder, the virtual cockpit playing a scenario, console input, a second start.

#include <gtest/gtest.h>

#include "hid/TelemetryProtocol.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::CountPrefix;
using test::Has;
using Lines = std::vector<std::string>;

#ifdef _WIN32
constexpr const char* kExeName = "TarnwickHID.exe";
#else
constexpr const char* kExeName = "TarnwickHID";
#endif
const std::string kData = TARNWICK_TEST_DATA_DIR "/bridge/";
const std::string kStarted = "[INFO] HID manager started";
const std::string kStopped = "[INFO] Application run loop stopped";
const fs::path kBuilt = fs::path(test::CurrentExecutablePath()).parent_path();

class BridgeTest : public testing::Test {
protected:
    // The executable and the example configuration in `folder`, so that the log beside the
    // executable belongs to this test; `exe_` is the copy (again: the example files again).
    void SetUp() override { Install(bin_); }
    void Install(const fs::path& folder) {
        fs::create_directories(folder / "config");
        const auto again = fs::copy_options::overwrite_existing;
        fs::copy_file(kBuilt / kExeName, folder / kExeName, again);
        for (const char* file : {"config.json", "buttons.json", "hid_event_map.json"})
            fs::copy_file(ToFsPath(kData + file), folder / "config" / file, again);
        exe_ = FromFsPath(folder / kExeName);
    }
    Lines Args(const fs::path& folder, const std::string& scenario) const {
        return {"--console",
                "--config",
                FromFsPath(folder / "config" / "config.json"),
                "--virtual",
                kData + scenario,
                "--record",
                dir_.File("record.txt")};
    }
    test::ChildOptions Options(const std::string& input = "", bool keepInputOpen = false) const {
        return {{}, dir_.Path().string(), input, keepInputOpen};
    }
    // The log beside the executable; the record's lines hold no " [", so they read back whole.
    Lines Log(const fs::path& folder) const {
        return test::LogFileLines(FromFsPath(folder / "TarnwickHID.log"));
    }
    Lines Record() const { return test::LogFileLines(dir_.File("record.txt")); }
    bool WaitForLog(const fs::path& folder, const std::string& line) const {
        return test::WaitUntil([&] { return Has(Log(folder), line); }, 60s, 10ms);
    }

    test::TempDir dir_;
    fs::path bin_ = dir_.Path() / "bin";
    std::string exe_;
};

// The course, from a folder outside the system's ANSI code page (as C:\Users\Łukasz): the
// executable's path, its arguments and its files must name the same folder. A second start while
// it runs ends at once. Console commands, presses, a fast turn, a held map control, panel
// settings, a lighting change, a touch panel unplugged and plugged again, an aircraft with a
// button set of its own, buttons.json edited while it runs, then the simulator quits and the
// bridge follows. What the log and the record
// must hold is in course-*.txt.
TEST_F(BridgeTest, FullCourseThroughTheVirtualCockpit) {
    const fs::path folder = dir_.Path() / u8"\u0141ukasz";
    Install(folder);
    test::BackgroundChild bridge(exe_, Args(folder, "course.json"), Options("boot\ntelem\n", true));
    ASSERT_TRUE(WaitForLog(folder, kStarted)) << test::FileBytes(dir_.File("child.out"));
    const auto asked = std::chrono::steady_clock::now();
    const auto second =
        test::RunChild(exe_, Args(folder, "course.json"), test::ChildOptions{{}, bin_.string()});
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out + second.err, "");
    const auto result = bridge.Wait(60s);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find(kStopped), std::string::npos) << "the console echo";

    const Lines log = Log(folder), record = Record();
    for (const auto& [file, lines] :
         {std::pair{"course-log.txt", log}, {"course-record.txt", record}}) {
        for (const std::string& line : test::LogFileLines(kData + file))
            EXPECT_TRUE(Has(lines, line)) << file << ": " << line;
    }
    EXPECT_EQ(CountPrefix(log, "[INFO] Initializing application"), 1u);
    // The map control repeats every 20 ms while held for 300 ms.
    EXPECT_GE(CountPrefix(record, "sim command MF.SimVars.Set.1 (>H:MAP_LEFT_PFD_HOLD)"), 5u);
    // The lighting level 0.25 reached the board as a steady LED at 25 %.
    EXPECT_GE(CountPrefix(record, "device pfd report 100119"), 1u);
    // Flight data, and the synthetic stream with its fixed values (the simulator's bus has 28.2 V).
    int pages = 0, synthetic = 0;
    for (const std::string& line : record) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 20; line.rfind("device touch report ", 0) == 0 && i + 1 < line.size();
             i += 2) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        }
        TelemetryProtocol::TelemetryPage page;
        if (TelemetryProtocol::DecodeTelemetryReport(bytes.data(), bytes.size(), page)) {
            ++pages;
            synthetic += page.page == 1 && page.values[1] == 12.0f && page.values[2] == 27.5f &&
                         page.values[6] == 90.0f;
        }
    }
    EXPECT_GE(pages, 10);
    EXPECT_GE(synthetic, 1);
}

// A board whose OUT endpoint stalls for a day holds up neither the other board (its LEDs, its
// presses) nor the stop when the simulator quits; and the process ends at once although the
// console thread still waits for a line on an input that stays open.
TEST_F(BridgeTest, StalledBoardAndOpenConsoleInputHoldUpNothing) {
    test::BackgroundChild bridge(exe_, Args(bin_, "stall.json"), Options("", true));
    ASSERT_TRUE(WaitForLog(bin_, kStopped)) << test::FileBytes(dir_.File("child.out"));
    EXPECT_EQ(bridge.Wait(2s).exitCode, 0);
    EXPECT_GE(CountPrefix(Log(bin_), "[WARN] HID led_ctl write failed for E66118604B1F2A32"), 1u);
    EXPECT_TRUE(Has(Record(), "sim command MF.SimVars.Set.1 (>H:BTN_0_PFD_PRESS)"));
    EXPECT_GE(CountPrefix(Record(), "device pfd report 100119"), 1u);
}

// Runs that end before the bridge runs, or by the console: exit code, exact log lines, output.
TEST_F(BridgeTest, StartUpFailuresAndConsoleStops) {
    const std::string config = FromFsPath(bin_ / "config" / "config.json");
    const auto failed = [](const std::string& message) {
        return Lines{"[ERROR] " + message, "[ERROR] Failed to initialize: " + message};
    };
    const auto button = [](const std::string& message) {
        return Lines{"[ERROR] Failed to load button config: " + message,
                     "[ERROR] Failed to initialize: "};
    };
#ifdef _WIN32
    // Without a configuration beside the executable the machine-wide one is looked for.
    const Lines notFound = {
        "[ERROR] Config file not found: C:\\ProgramData\\Tarnwick\\config.json (default search "
        "order: " +
        config + "; C:\\ProgramData\\Tarnwick\\config.json)"};
#else
    const auto notFound =
        failed("Config file not found: " + config + " (default search order: " + config + ")");
#endif
    // The first run finds a full log beside the executable and rotates it first.
    std::ofstream(bin_ / "TarnwickHID.log", std::ios::binary) << std::string(5242880, 'x');
    struct Case {
        std::string file = "", content = "";  // written into config/; "-" removes it
        Lines lines = {};
        std::string input = "";  // a run stopped from the console ends with 0, the others with 1
        Lines args = {};         // instead of the usual ones
        std::string err = "";
    };
    const std::vector<Case> cases = {
        {"config.json", "-", notFound, "", {"--console", "--virtual", kData + "idle.json"}},
        {"config.json", "{", failed("Config parse error: Unterminated object")},
        {"config.json",
         R"({"hid": {"vid": "0x2E8A", "pid": "0x10F0", "telemetryIntervalMs": 0},
             "mappings": {"buttonConfigPath": "buttons.json"}})",
         failed("hid.telemetryIntervalMs must be > 0")},
        {"buttons.json", "-",
         button("Button config not found: " + FromFsPath(bin_ / "config" / "buttons.json"))},
        {"buttons.json", "[]", button("Button config root must be an object")},
        // Unknown lines and a quit with a leading space do nothing; the word in capitals stops.
        {"hid_event_map.json",
         "{\"event_types\": ",
         {"[WARN] Failed to load HID event map: Event map parse error: Unexpected end of input",
          kStarted, "[INFO] Stop requested from console", kStopped},
         "hello\n quit\nQUIT\n"},
#ifndef _WIN32
        {.args = {"--console"},
         .err = "TarnwickHID: this build has no real HID or SimConnect backend; run it with "
                "--virtual SCENARIO (see docs/scenario.md).\n"},
#endif
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        if (i != 0)
            fs::remove(bin_ / "TarnwickHID.log");
        Install(bin_);  // the example files again
        if (c.content == "-") {
            fs::remove(bin_ / "config" / c.file);
        } else if (!c.file.empty()) {
            std::ofstream(bin_ / "config" / c.file, std::ios::binary) << c.content;
        }
        const auto result =
            test::RunChild(FromFsPath(bin_ / kExeName),
                           c.args.empty() ? Args(bin_, "idle.json") : c.args, Options(c.input));
        EXPECT_EQ(result.exitCode, c.input.empty() ? 1 : 0) << "case " << i;
        EXPECT_EQ(result.err, c.err);
        const auto log = Log(bin_);
        for (const auto& line : c.lines)
            EXPECT_TRUE(Has(log, line)) << line << "\n" << result.out;
        EXPECT_EQ(Has(log, kStarted), !c.input.empty()) << result.out;
        EXPECT_EQ(log.empty() ? "" : log.front(),
                  c.lines.empty() ? "" : "[INFO] Initializing application: TarnwickHID v0.2.2");
    }
    EXPECT_EQ(fs::file_size(bin_ / "TarnwickHID.log.1"), 5242880u);
}

#ifdef _WIN32
TEST_F(BridgeTest, WithoutConsoleTheLogGoesUnderProgramData) {
    const std::string config = dir_.File("nowhere/config.json");
    const auto result = test::RunChild(exe_, {"--config", config}, Options());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fs::exists(bin_ / "TarnwickHID.log"));
    const std::string shared = test::FileBytes("C:\\ProgramData\\Tarnwick\\logs\\TarnwickHID.log");
    EXPECT_NE(shared.find("[ERROR] Config file not found: " + config), std::string::npos);
}

// The real SimConnect loading path: the test SimConnect.dll beside the executable plays the
// simulator, and a process named FlightSimulator.exe makes the bridge look for it.
TEST_F(BridgeTest, FullCourseThroughTheTestSimConnectDll) {
    fs::copy_file(kBuilt / "SimConnect.dll", bin_ / "SimConnect.dll");
    fs::create_directories(dir_.Path() / "sim");
    test::BackgroundChild simulator((kBuilt / "FlightSimulator.exe").string(), {"20000"},
                                    test::ChildOptions{{}, (dir_.Path() / "sim").string()});
    auto options = Options();
    options.env = {{"TARNWICK_TEST_SIM_QUIT_AFTER_MS", "3000"}};
    auto args = Args(bin_, "dll.json");
    args.resize(5);  // no record
    const auto result = test::RunChild(exe_, args, options);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    for (const char* line :
         {"[INFO] SimConnect connected", "[INFO] MobiFlight client registered",
          "[DEBUG] MobiFlight command: MF.SimVars.Set.1 (>H:BTN_0_PFD_PRESS)",
          "[DEBUG] Panel heading bug -> 100 (TP-1)",
          "[INFO] Simulator closed; requesting application shutdown", kStopped.c_str()}) {
        EXPECT_TRUE(Has(Log(bin_), line)) << line << "\n" << result.out;
    }
}
#endif

}  // namespace
}  // namespace tarnwick
