// Faults that strike a running bridge, in-process over the virtual cockpit: the log folder goes
// away, a device's writes fail, a device vanishes while its reader waits, the SimConnect
// connection breaks, the MobiFlight module falls silent, SimConnect.dll is missing. Each case
// reads the log back for its exact lines and checks that the bridge carries on (or stops) as
// the program means it to.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <signal.h>
#include <sys/resource.h>
#endif

#include "hid/HidProtocol.h"
#include "log/Logger.h"
#include "sim/SimConnectApi.h"
#include "support/InProcessBridge.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kPfdBoardId = "E66118604B1F2A31";
constexpr const char* kTouchSerial = "TP-1";
constexpr std::uint16_t kSoftkey1 = 20;
constexpr std::uint16_t kSoftkey2 = 21;
constexpr std::uint16_t kSoftkey3 = 22;
constexpr std::uint16_t kMapLeft = 50;
constexpr std::uint8_t kPfdMode = 0;
constexpr std::uint8_t kMfdMode = 1;
constexpr const char* kSubscribeCommand = "MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)";
constexpr const char* kRegisterCommand = "MF.Clients.Add.TarnwickHID";

const char* kConfig = R"js({
  "hid": { "devices": [
      { "vid": "0x2E8A", "pid": "0x10F0", "role": "g1000" },
      { "vid": "0x2E8A", "pid": "0x10F1", "role": "touchpanel" } ],
    "telemetryIntervalMs": 50 },
  "mappings": { "buttonConfigPath": "buttons.json" },
  "mobiflight": { "mapHoldRepeatMs": 20 },
  "logging": { "debug": 1 }
})js";

const char* kButtons = R"js({
  "buttons": [
    { "name": "SOFTKEY_1", "commands": { "PRESS": { "PFD": "(>H:SK1_PFD)", "MFD": "(>H:SK1_MFD)" } } },
    { "name": "SOFTKEY_2", "commands": { "PRESS": { "PFD": "(>H:SK2_PFD)", "MFD": "(>H:SK2_MFD)" } } },
    { "name": "SOFTKEY_3", "commands": { "PRESS": { "PFD": "(>H:SK3_PFD)", "MFD": "(>H:SK3_MFD)" } } },
    { "name": "MAP_LEFT", "commands": { "PRESS": { "PFD": "(>H:MAP_LEFT_PFD)" },
                                        "HOLD": { "PFD": "(>H:MAP_LEFT_PFD_HOLD)" } } }
  ]
})js";

const char* kEventMap = R"js({
  "event_types": { "BUTTON": 1, "ENCODER": 2 },
  "control_ids": { "AP": 5, "SOFTKEY_1": 20, "SOFTKEY_2": 21, "SOFTKEY_3": 22, "MAP_LEFT": 50 }
})js";

// Two panel boards on one vendor and product id, told apart by their board ids, and a touch
// panel. Plugged in that order, they get the indices 0, 1 and 2.
const char* kScenario = R"js({
  "devices": [
    { "name": "pfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "E66118604B1F2A31" },
    { "name": "mfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "0011223344556677" },
    { "name": "touch", "role": "touchpanel", "vid": "0x2E8A", "pid": "0x10F1", "serial": "TP-1" }
  ],
  "simulator": {}
})js";

using test::CountOf;
using test::CountPrefix;
using test::Has;
using test::LogFileLines;
using test::WaitUntil;

std::string CommandLine(const std::string& rpn) {
    return "[DEBUG] MobiFlight command: MF.SimVars.Set.1 " + rpn;
}

class BridgeFaultTest : public testing::Test {
protected:
    void SetUp() override {
        dir_.Write("bin/config/config.json", kConfig);
        dir_.Write("bin/config/buttons.json", kButtons);
        dir_.Write("bin/config/hid_event_map.json", kEventMap);
        cockpit_ = test::MakeCockpit(kScenario);
    }

    void TearDown() override {
        Stop();
        Logger::Instance().Shutdown();
    }

    // Starts a bridge over the cockpit's devices and, unless another SimConnect library is
    // given, its simulator; Run goes on on a thread of its own.
    void Start(std::unique_ptr<SimConnectApi> api = nullptr,
               SimConnectClient::SimulatorProbe probe = {}) {
        ApplicationPlatform platform = test::CockpitPlatform(services_, *cockpit_);
        if (api != nullptr) {
            otherApi_ = std::move(api);
            platform.simConnectApi = otherApi_.get();
            platform.simulatorRunning = std::move(probe);
        }
        app_ = std::make_unique<Application>(std::move(platform));
        const Result started = app_->Initialize(dir_.File("bin/config/config.json"), false);
        ASSERT_TRUE(started) << started.Error();
        runner_ = std::thread([this] {
            app_->Run();
            runReturned_.store(true);
        });
    }

    void Stop() {
        if (app_ == nullptr) {
            return;
        }
        app_->RequestStop();
        if (runner_.joinable()) {
            runner_.join();
        }
        cockpit_->HidBackendFor().SetHotplugListener({});
        app_.reset();
    }

    VirtualSimulator& Sim() { return cockpit_->Simulator(); }

    // The cockpit's device of that scenario name, as plugged now; null when unplugged.
    std::shared_ptr<VirtualHidDevice> Device(const std::string& name) {
        const std::string suffix = "&" + name;
        for (const auto& device : cockpit_->HidBackendFor().Devices()) {
            const std::string& path = device->Path();
            if (path.size() >= suffix.size() &&
                path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
                return device;
            }
        }
        return nullptr;
    }

    void Press(const std::string& device, std::uint16_t control, std::uint8_t mode) {
        auto board = Device(device);
        ASSERT_NE(board, nullptr) << device;
        HidProtocol::HidEvent event;
        event.type = HidProtocol::kControlTypeButton;
        event.controlId = control;
        event.mode = mode;
        event.value = 1;
        ASSERT_TRUE(board->SendEvent(event));
        event.value = 0;
        ASSERT_TRUE(board->SendEvent(event));
    }

    std::size_t CommandCount(const std::string& command) {
        const auto commands = Sim().ModuleCommands();
        return static_cast<std::size_t>(std::count(commands.begin(), commands.end(), command));
    }
    std::size_t SentCount(const std::string& rpn) {
        return CommandCount("MF.SimVars.Set.1 " + rpn);
    }
    // Waits until the MobiFlight client has registered `times` times in this test: it queues the
    // subscription right after the acknowledgement, so the module reading it proves that the
    // client counts itself registered.
    bool WaitRegistered(std::size_t times) {
        return WaitUntil([&] { return CommandCount(kSubscribeCommand) >= times; });
    }

    fs::path LogFolder() const { return dir_.Path() / "ProgramData" / "Tarnwick" / "logs"; }
    fs::path LogFile() const { return LogFolder() / "TarnwickHID.log"; }
    std::vector<std::string> Log() const { return LogFileLines(LogFile().string()); }
    bool WaitForLog(const std::string& line, std::size_t times = 1,
                    std::chrono::milliseconds timeout = 10s) {
        return WaitUntil([&] { return CountOf(Log(), line) >= times; }, timeout);
    }

    test::TempDir dir_;
    // Without "--console" the log goes under the machine-wide data folder, a folder of its own
    // that these tests can take away.
    test::FakeServices services_{dir_.File("bin/TarnwickHID.exe"), dir_.File("ProgramData")};
    std::unique_ptr<VirtualCockpit> cockpit_;
    std::unique_ptr<SimConnectApi> otherApi_;
    std::unique_ptr<Application> app_;
    std::thread runner_;
    std::atomic<bool> runReturned_{false};
};

TEST_F(BridgeFaultTest, LoggingOutlivesTheLogFolderBeingReplacedByAFileAndResumesWhenItIsBack) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    const fs::path folder = LogFolder();
    const fs::path away = folder.parent_path() / "logs.away";
    std::error_code ec;
    fs::rename(folder, away, ec);
    if (ec) {
        GTEST_SKIP() << "this system keeps a folder with an open file in place: " << ec.message();
    }
    std::ofstream(folder, std::ios::binary) << "not a folder";

    // No line can be written now; the bridge goes on all the same.
    Press("pfd", kSoftkey1, kPfdMode);
    ASSERT_TRUE(WaitUntil([&] { return SentCount("(>H:SK1_PFD)") == 1; }));
    Press("mfd", kSoftkey1, kMfdMode);
    ASSERT_TRUE(WaitUntil([&] { return SentCount("(>H:SK1_MFD)") == 1; }));

    // The folder is back (a new, empty one): the next lines go there.
    fs::remove(folder);
    fs::create_directories(folder);
    Press("pfd", kSoftkey2, kPfdMode);
    ASSERT_TRUE(WaitUntil([&] { return SentCount("(>H:SK2_PFD)") == 1; }));
    EXPECT_TRUE(WaitForLog(CommandLine("(>H:SK2_PFD)")));

    Stop();
    const auto resumed = Log();
    EXPECT_TRUE(Has(resumed, "[INFO] Application run loop stopped"));
    const auto before = LogFileLines((away / "TarnwickHID.log").string());
    EXPECT_TRUE(Has(before, "[INFO] HID manager started"));
    EXPECT_TRUE(Has(before, "[INFO] MobiFlight client registered"));
    EXPECT_FALSE(Has(before, CommandLine("(>H:SK2_PFD)")));
    EXPECT_FALSE(Has(before, "[INFO] Application run loop stopped"));
}

#ifdef __linux__
// The disk fills up under the log: every write fails until space is back. A file-size limit of
// the current size makes the next writes fail as a full disk does.
TEST_F(BridgeFaultTest, LoggingResumesAfterItsWritesFailedForLackOfSpace) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    const fs::path file = LogFile();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    // Exceeding the limit raises SIGXFSZ, which would end the process.
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit full = saved;
    full.rlim_cur = static_cast<rlim_t>(fs::file_size(file));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);

    Press("pfd", kSoftkey1, kPfdMode);
    // The command line is written before the dummy goes out: once the module has read the dummy
    // after the command, the write of that line has failed.
    const bool sent = WaitUntil([&] {
        const auto commands = Sim().ModuleCommands();
        const auto it = std::find(commands.begin(), commands.end(),
                                  std::string("MF.SimVars.Set.1 (>H:SK1_PFD)"));
        return it != commands.end() &&
               std::find(it, commands.end(), std::string("MF.DummyCmd")) != commands.end();
    });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(sent);

    Press("pfd", kSoftkey2, kPfdMode);
    ASSERT_TRUE(WaitUntil([&] { return SentCount("(>H:SK2_PFD)") == 1; }));
    EXPECT_TRUE(WaitForLog(CommandLine("(>H:SK2_PFD)")));
    const auto log = Log();
    // The line of the full disk is lost; the lines before it are whole.
    EXPECT_FALSE(Has(log, CommandLine("(>H:SK1_PFD)")));
    EXPECT_TRUE(Has(log, "[INFO] MobiFlight client registered"));
}
#endif

TEST_F(BridgeFaultTest, FailingWritesOfADeviceAreWarnedAndTheBridgeGoesOn) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    ASSERT_TRUE(WaitForLog("[INFO] Telemetry streaming to 1 touch panel(s)"));
    auto pfd = Device("pfd");
    auto mfd = Device("mfd");
    auto touch = Device("touch");
    VirtualWriteBehaviour fail;
    fail.mode = VirtualWriteMode::Fail;
    pfd->SetWriteBehaviour(fail);
    touch->SetWriteBehaviour(fail);

    // A new lighting level makes a new LED state for both boards.
    const std::size_t mfdReports = mfd->ReceivedReports().size();
    Sim().SetLVar(VirtualSimulator::kLightingPotentiometer, 0.3);
    EXPECT_TRUE(WaitForLog("[WARN] HID led_ctl write failed for " + std::string(kPfdBoardId) +
                           " (err=31)"));
    EXPECT_TRUE(WaitUntil([&] { return mfd->ReceivedReports().size() > mfdReports; }));
    EXPECT_TRUE(WaitForLog("[WARN] HID telemetry write failed for " + std::string(kTouchSerial) +
                           " error=31"));
    EXPECT_TRUE(WaitForLog("[INFO] Telemetry paused; no touch panel connected"));

    // The connection state reaches the working board and is warned for the failing one.
    Sim().DropConnections();
    EXPECT_TRUE(WaitForLog("[WARN] HID sim_status write failed for " + std::string(kPfdBoardId) +
                           " (err=31)", 2));
    ASSERT_TRUE(WaitRegistered(2));
    const auto mfdSeen = mfd->ReceivedReports();
    EXPECT_NE(std::find(mfdSeen.begin(), mfdSeen.end(), HidProtocol::EncodeSimStatusReport(false)),
              mfdSeen.end());

    // Input from the board whose writes fail still works.
    Press("pfd", kSoftkey1, kPfdMode);
    EXPECT_TRUE(WaitUntil([&] { return SentCount("(>H:SK1_PFD)") == 1; }));

    // Writes work again: telemetry resumes, and the next LED state (the battery going off)
    // reaches the board.
    pfd->SetWriteBehaviour(VirtualWriteBehaviour{});
    touch->SetWriteBehaviour(VirtualWriteBehaviour{});
    EXPECT_TRUE(WaitForLog("[INFO] Telemetry streaming to 1 touch panel(s)", 2));
    const std::size_t pfdReports = pfd->ReceivedReports().size();
    Sim().SetMasterBattery2(false);
    EXPECT_TRUE(WaitUntil([&] { return pfd->ReceivedReports().size() > pfdReports; }));
    Stop();
    EXPECT_TRUE(Has(Log(), "[INFO] Application run loop stopped"));
}

TEST_F(BridgeFaultTest, ADeviceThatVanishesWhileItsReaderWaitsIsDisconnectedAndTheOthersGoOn) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    ASSERT_TRUE(WaitForLog("[INFO] Telemetry streaming to 1 touch panel(s)"));
    auto pfd = Device("pfd");
    auto touch = Device("touch");
    const std::string pfdPath = pfd->Path();
    ASSERT_TRUE(pfd->WaitForPendingRead(5s));

    ASSERT_TRUE(cockpit_->HidBackendFor().Unplug(pfdPath));
    EXPECT_TRUE(WaitForLog("[INFO] HID device disconnected: " + std::string(kPfdBoardId)));
    EXPECT_TRUE(WaitUntil([&] { return pfd->OpenHandleCount() == 0; }));

    // The other board and the touch panel are untouched.
    Press("mfd", kSoftkey1, kMfdMode);
    EXPECT_TRUE(WaitUntil([&] { return SentCount("(>H:SK1_MFD)") == 1; }));
    const std::size_t telemetry = touch->ReceivedReports().size();
    EXPECT_TRUE(WaitUntil([&] { return touch->ReceivedReports().size() >= telemetry + 4; }));
    EXPECT_EQ(Sim().OpenConnectionCount(), 1);

    // Plugged in again it is a new device with the next index, and it works.
    HidProtocol::DeviceInfo info;
    info.firmwareMajor = 1;
    info.boardId = {0xE6, 0x61, 0x18, 0x60, 0x4B, 0x1F, 0x2A, 0x31};
    ASSERT_NE(cockpit_->HidBackendFor().Plug(VirtualPanelBoardSetup(
                  pfdPath, 0x2E8A, 0x10F0, info, HidProtocol::ProtocolInfo{1, 0, 0})),
              nullptr);
    EXPECT_TRUE(WaitForLog("[INFO] HID device connected: " + std::string(kPfdBoardId) +
                           " index=3 role=g1000 fw=1.0.0"));
    ASSERT_TRUE(Device("pfd")->WaitForPendingRead(5s));
    Press("pfd", kSoftkey1, kPfdMode);
    EXPECT_TRUE(WaitUntil([&] { return SentCount("(>H:SK1_PFD)") == 1; }));

    const auto log = Log();
    EXPECT_EQ(CountPrefix(log, "[INFO] HID device disconnected: "), 1u);
    EXPECT_EQ(CountPrefix(log, "[WARN] SimConnect disconnected"), 0u);
    EXPECT_EQ(CountOf(log, "[INFO] Telemetry paused; no touch panel connected"), 0u);
}

TEST_F(BridgeFaultTest, ABrokenSimConnectDispatchIsWarnedAndTheBridgeConnectsAgain) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    auto pfd = Device("pfd");

    Sim().DropConnections();
    EXPECT_TRUE(WaitForLog("[WARN] SimConnect disconnected: dispatch error 0x80004005"));
    EXPECT_TRUE(WaitForLog("[INFO] MobiFlight client waiting for SimConnect"));
    EXPECT_TRUE(WaitForLog("[INFO] SimConnect connected", 2));
    ASSERT_TRUE(WaitRegistered(2));
    EXPECT_TRUE(WaitForLog("[INFO] MobiFlight client registered", 2));

    Press("pfd", kSoftkey1, kPfdMode);
    EXPECT_TRUE(WaitUntil([&] { return SentCount("(>H:SK1_PFD)") == 1; }));
    // The boards saw the connection go and come back.
    const auto seen = pfd->ReceivedReports();
    const auto down = std::find(seen.begin(), seen.end(), HidProtocol::EncodeSimStatusReport(false));
    ASSERT_NE(down, seen.end());
    EXPECT_NE(std::find(down, seen.end(), HidProtocol::EncodeSimStatusReport(true)), seen.end());
    EXPECT_EQ(Sim().OpenedClientNames().size(), 2u);
    EXPECT_EQ(Sim().HandleMisuses(), 0);
    EXPECT_FALSE(app_->StopFlag().load());
}

TEST_F(BridgeFaultTest, ASilentModuleIsAskedAgainAndCommandsMeanwhileAreNeitherSentNorKept) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    Sim().SetModuleAnswer(ModuleAnswer::Silent);
    const std::size_t registrations = CommandCount(kRegisterCommand);
    Sim().DropConnections();
    // The first attempt of the new connection goes unanswered.
    ASSERT_TRUE(WaitUntil([&] { return CommandCount(kRegisterCommand) >= registrations + 1; }));

    constexpr int kPresses = 200;
    for (int i = 0; i < kPresses; ++i) {
        Press("pfd", kSoftkey1, kPfdMode);
    }
    Press("pfd", kMapLeft, kPfdMode);
    EXPECT_TRUE(WaitUntil([&] {
        return CountOf(Log(), "[DEBUG] MobiFlight not ready; using SimConnect fallback for SOFTKEY_1") ==
               static_cast<std::size_t>(kPresses);
    }));
    EXPECT_TRUE(WaitForLog("[WARN] Managed map press send failed for MAP_LEFT: MobiFlight not ready"));

    // Five seconds later the client asks again.
    EXPECT_TRUE(WaitForLog(
        "[INFO] MobiFlight WASM module not responding yet; retrying registration every 5s", 1, 15s));
    ASSERT_TRUE(WaitUntil([&] { return CommandCount(kRegisterCommand) >= registrations + 2; }, 15s));
    Sim().SetModuleAnswer(ModuleAnswer::Finished);
    // Two attempts went unanswered; the third, five seconds on, is acknowledged.
    ASSERT_TRUE(WaitRegistered(2)) << "no registration within 10 s of the module answering again";
    EXPECT_TRUE(WaitForLog("[INFO] MobiFlight client registered (after 3 attempts)"));

    // What was pressed while the module was silent is not sent late.
    Press("pfd", kSoftkey2, kPfdMode);
    ASSERT_TRUE(WaitUntil([&] { return SentCount("(>H:SK2_PFD)") == 1; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(SentCount("(>H:SK1_PFD)"), 0u);
    EXPECT_EQ(SentCount("(>H:MAP_LEFT_PFD)"), 0u);
}

#ifdef _WIN32
// The real SimConnect backend looking for a library that is not there: the bridge waits for it
// and goes on serving the panels, and stops at once when asked.
TEST_F(BridgeFaultTest, AMissingSimConnectLibraryIsWarnedAndTheBridgeRunsOnAndStops) {
    Start(CreateWin32SimConnectApi("NoSuchSimConnect.dll"), [] { return true; });
    const std::string warning =
        "[WARN] Waiting for SimConnect connection: NoSuchSimConnect.dll not found";
    ASSERT_TRUE(WaitForLog(warning));
    Press("pfd", kSoftkey1, kPfdMode);
    EXPECT_TRUE(WaitForLog("[DEBUG] MobiFlight not ready; using SimConnect fallback for SOFTKEY_1"));
    // The second attempt comes 5 s after the first; then the worker waits 10 s.
    ASSERT_TRUE(WaitForLog(warning, 2, 15s));
    const auto requested = std::chrono::steady_clock::now();
    app_->RequestStop();
    ASSERT_TRUE(WaitUntil([&] { return runReturned_.load(); }, 15s));
    const auto took = std::chrono::steady_clock::now() - requested;
    EXPECT_LT(took, 5s) << "the stop waited for the connection back-off";
    Stop();
    const auto log = Log();
    EXPECT_TRUE(Has(log, "[INFO] Application run loop stopped"));
    EXPECT_EQ(CountPrefix(log, "[INFO] SimConnect connected"), 0u);
    EXPECT_EQ(CountPrefix(log, "[ERROR]"), 0u);
}
#endif

}  // namespace
}  // namespace tarnwick
