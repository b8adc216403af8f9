// Faults the random walk cannot show, in-process over the virtual cockpit: the log folder goes
// away, the disk under the log fills up, the MobiFlight module falls silent for a while,
// SimConnect.dll is missing. Each case reads the log back for its exact lines and checks that
// the bridge carries on as the program means it to.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifdef __linux__
#include <signal.h>
#include <sys/resource.h>
#endif

#include "hid/HidProtocol.h"
#include "log/Logger.h"
#include "support/InProcessBridge.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::CountOf;
using test::Has;
using test::WaitUntil;

constexpr const char* kSubscribe = "MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)";
constexpr const char* kRegister = "MF.Clients.Add.TarnwickHID";

std::string Sent(const std::string& control) {
    return "MF.SimVars.Set.1 (>H:" + control + "_PFD_PRESS)";
}
std::string Logged(const std::string& control) {
    return "[DEBUG] MobiFlight command: " + Sent(control);
}

class BridgeFaultTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string data = TARNWICK_TEST_DATA_DIR "/bridge/";
        for (const char* file : {"config.json", "buttons.json", "hid_event_map.json"}) {
            dir_.Write(std::string("bin/config/") + file, test::FileBytes(data + file));
        }
        cockpit_ = test::MakeCockpit(test::FileBytes(data + "cockpit.json"));
    }
    void TearDown() override {
        Stop();
        Logger::Instance().Shutdown();
    }

    // A bridge over the cockpit's devices and, unless another SimConnect library is given, its
    // simulator; Run goes on on a thread of its own.
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
            returned_.store(true);
        });
    }
    void Stop() {
        if (app_ != nullptr) {
            app_->RequestStop();
            runner_.join();
            cockpit_->HidBackendFor().SetHotplugListener({});
            app_.reset();
        }
    }

    void Press(std::uint16_t control) {
        auto board = cockpit_->HidBackendFor().Find("\\\\?\\hid#vid_2e8a&pid_10f0#virtual&pfd");
        ASSERT_NE(board, nullptr);
        HidProtocol::HidEvent event;
        event.type = HidProtocol::kControlTypeButton;
        event.controlId = control;
        for (std::int8_t value : {1, 0}) {
            event.value = value;
            ASSERT_TRUE(board->SendEvent(event));
        }
    }
    std::size_t Count(const std::string& command) {
        const auto commands = cockpit_->Simulator().ModuleCommands();
        return static_cast<std::size_t>(std::count(commands.begin(), commands.end(), command));
    }
    // The client subscribes right after the module's acknowledgement: the module reading the
    // subscription proves the client counts itself registered.
    bool WaitRegistered(std::size_t times) {
        return WaitUntil([&] { return Count(kSubscribe) >= times; });
    }
    bool WaitSent(const std::string& control) {
        return WaitUntil([&] { return Count(Sent(control)) == 1; });
    }

    // Without "--console" the log goes under the machine-wide data folder, a folder of its own
    // that these tests can take away.
    fs::path LogFolder() const { return dir_.Path() / "ProgramData" / "Tarnwick" / "logs"; }
    std::vector<std::string> Log() const {
        return test::LogFileLines((LogFolder() / "TarnwickHID.log").string());
    }
    bool WaitForLog(const std::string& line, std::size_t times = 1,
                    std::chrono::milliseconds timeout = 10s) {
        return WaitUntil([&] { return CountOf(Log(), line) >= times; }, timeout);
    }

    test::TempDir dir_;
    test::FakeServices services_{dir_.File("bin/TarnwickHID.exe"), dir_.File("ProgramData")};
    std::unique_ptr<VirtualCockpit> cockpit_;
    std::unique_ptr<SimConnectApi> otherApi_;
    std::unique_ptr<Application> app_;
    std::thread runner_;
    std::atomic<bool> returned_{false};
};

TEST_F(BridgeFaultTest, LoggingOutlivesTheLogFolderBeingReplacedByAFileAndResumesWhenItIsBack) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    const fs::path away = LogFolder().parent_path() / "logs.away";
    std::error_code ec;
    fs::rename(LogFolder(), away, ec);
    if (ec) {
        GTEST_SKIP() << "this system keeps a folder with an open file in place: " << ec.message();
    }
    std::ofstream(LogFolder(), std::ios::binary) << "not a folder";
    // No line can be written now; the bridge goes on all the same.
    Press(20);
    ASSERT_TRUE(WaitSent("BTN_0"));
    // The folder is back (a new, empty one): the next lines go there.
    fs::remove(LogFolder());
    fs::create_directories(LogFolder());
    Press(21);
    ASSERT_TRUE(WaitSent("BTN_1"));
    EXPECT_TRUE(WaitForLog(Logged("BTN_1")));
    Stop();
    EXPECT_TRUE(Has(Log(), "[INFO] Application run loop stopped"));
    const auto before = test::LogFileLines((away / "TarnwickHID.log").string());
    EXPECT_TRUE(Has(before, "[INFO] MobiFlight client registered"));
    EXPECT_FALSE(Has(before, Logged("BTN_1")));
    EXPECT_FALSE(Has(before, "[INFO] Application run loop stopped"));
}

#ifdef __linux__
// A file-size limit of the current size makes the next writes fail as a full disk does.
TEST_F(BridgeFaultTest, LoggingResumesAfterItsWritesFailedForLackOfSpace) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);  // else exceeding it ends the process
    rlimit full = saved;
    full.rlim_cur = static_cast<rlim_t>(fs::file_size(LogFolder() / "TarnwickHID.log"));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    Press(20);
    // The command line is written before the dummy goes out: once the module has read the dummy
    // after the command, the write of that line has failed.
    const bool sent = WaitUntil([&] {
        const auto commands = cockpit_->Simulator().ModuleCommands();
        const auto it = std::find(commands.begin(), commands.end(), Sent("BTN_0"));
        return it != commands.end() &&
               std::find(it, commands.end(), std::string("MF.DummyCmd")) != commands.end();
    });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(sent);
    Press(21);
    ASSERT_TRUE(WaitSent("BTN_1"));
    EXPECT_TRUE(WaitForLog(Logged("BTN_1")));
    // The line of the full disk is lost; the lines before it are whole.
    EXPECT_FALSE(Has(Log(), Logged("BTN_0")));
    EXPECT_TRUE(Has(Log(), "[INFO] MobiFlight client registered"));
}
#endif

TEST_F(BridgeFaultTest, ASilentModuleIsAskedAgainAndCommandsMeanwhileAreNeitherSentNorKept) {
    Start();
    ASSERT_TRUE(WaitRegistered(1));
    VirtualSimulator& sim = cockpit_->Simulator();
    sim.SetModuleAnswer(ModuleAnswer::Silent);
    const std::size_t registrations = Count(kRegister);
    sim.DropConnections();
    // The first attempt of the new connection goes unanswered.
    ASSERT_TRUE(WaitUntil([&] { return Count(kRegister) >= registrations + 1; }));
    constexpr std::size_t kPresses = 200;
    for (std::size_t i = 0; i < kPresses; ++i) {
        Press(20);
    }
    Press(50);
    EXPECT_TRUE(WaitUntil([&] {
        return CountOf(Log(),
                       "[DEBUG] MobiFlight not ready; using SimConnect fallback for BTN_0") ==
               kPresses;
    }));
    EXPECT_TRUE(
        WaitForLog("[WARN] Managed map press send failed for MAP_LEFT: MobiFlight not ready"));
    // Five seconds later the client asks again; two attempts go unanswered, the third is
    // acknowledged.
    EXPECT_TRUE(WaitForLog(
        "[INFO] MobiFlight WASM module not responding yet; retrying registration every 5s", 1,
        15s));
    ASSERT_TRUE(WaitUntil([&] { return Count(kRegister) >= registrations + 2; }, 15s));
    sim.SetModuleAnswer(ModuleAnswer::Finished);
    ASSERT_TRUE(WaitRegistered(2)) << "no registration within 10 s of the module answering again";
    EXPECT_TRUE(WaitForLog("[INFO] MobiFlight client registered (after 3 attempts)"));
    // What was pressed while the module was silent would go out ahead of this, and does not.
    Press(21);
    ASSERT_TRUE(WaitSent("BTN_1"));
    EXPECT_EQ(Count(Sent("BTN_0")), 0u);
    EXPECT_EQ(Count(Sent("MAP_LEFT")), 0u);
}

#ifdef _WIN32
// The real SimConnect backend looking for a library that is not there: the bridge waits for it,
// goes on serving the panels, and stops at once when asked.
TEST_F(BridgeFaultTest, AMissingSimConnectLibraryIsWarnedAndTheBridgeRunsOnAndStops) {
    Start(CreateWin32SimConnectApi("NoSuchSimConnect.dll"), [] { return true; });
    const std::string warning =
        "[WARN] Waiting for SimConnect connection: NoSuchSimConnect.dll not found";
    ASSERT_TRUE(WaitForLog(warning));
    Press(20);
    EXPECT_TRUE(WaitForLog("[DEBUG] MobiFlight not ready; using SimConnect fallback for BTN_0"));
    // The second attempt comes 5 s after the first; then the worker waits 10 s.
    ASSERT_TRUE(WaitForLog(warning, 2, 15s));
    const auto requested = std::chrono::steady_clock::now();
    app_->RequestStop();
    ASSERT_TRUE(WaitUntil([&] { return returned_.load(); }, 15s));
    EXPECT_LT(std::chrono::steady_clock::now() - requested, 5s)
        << "the stop waited for the back-off";
    Stop();
    EXPECT_TRUE(Has(Log(), "[INFO] Application run loop stopped"));
    EXPECT_EQ(test::CountPrefix(Log(), "[INFO] SimConnect connected"), 0u);
    EXPECT_EQ(test::CountPrefix(Log(), "[ERROR]"), 0u);
}
#endif

}  // namespace
}  // namespace tarnwick
