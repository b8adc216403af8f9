// Faults the random walk cannot show, in-process over the virtual cockpit: the log folder goes
// away, the disk under the log fills up, the MobiFlight module falls silent for a while,
// SimConnect.dll is missing. Each case reads the log back for its exact lines and checks that
// the bridge carries on as the program means it to.

#include <gtest/gtest.h>

#ifdef __linux__
#include <signal.h>
#include <sys/resource.h>
#endif

#include "support/InProcessBridge.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::CountOf;
using test::Has;
using test::WaitUntil;

constexpr const char* kRegister = "MF.Clients.Add.TarnwickHID";
const std::string kFallback = "[DEBUG] MobiFlight not ready; using SimConnect fallback for BTN_0";

class BridgeFaultTest : public testing::Test, public test::BridgeRuns {
protected:
    static std::string Sent(const std::string& name) {
        return "MF.SimVars.Set.1 (>H:" + name + "_PFD_PRESS)";
    }
    static std::string Logged(const std::string& name) {
        return "[DEBUG] MobiFlight command: " + Sent(name);
    }
    void Press(std::uint16_t control) {
        auto board = cockpit->HidBackendFor().Find("\\\\?\\hid#vid_2e8a&pid_10f0#virtual&pfd");
        for (std::int8_t value : {1, 0})
            ASSERT_TRUE(board->SendEvent({0, HidProtocol::kControlTypeButton, control, value}));
    }
    std::size_t Count(const std::string& command) {
        return CountOf(cockpit->Simulator().ModuleCommands(), command);
    }
    // Presses the control and waits until the module has its command once.
    bool PressSent(std::uint16_t control, const std::string& name) {
        Press(control);
        return WaitUntil([&] { return Count(Sent(name)) == 1; });
    }
    bool WaitRegistered(std::size_t times = 1) {
        return WaitUntil([&] { return Count(kSubscribe) >= times; });
    }
    bool StartRegistered() { return Start().Ok() && WaitRegistered(); }
    std::vector<std::string> Log() const { return test::LogFileLines(LogFile()); }
    bool WaitForLog(const std::string& line, std::chrono::milliseconds timeout = 10s) {
        return WaitUntil([&] { return Has(Log(), line); }, timeout);
    }
};

TEST_F(BridgeFaultTest, LoggingOutlivesTheLogFolderBeingReplacedByAFileAndResumesWhenItIsBack) {
    ASSERT_TRUE(StartRegistered());
    const fs::path folder = fs::path(LogFile()).parent_path(), away = folder.string() + ".away";
    std::error_code ec;
    fs::rename(folder, away, ec);
    if (ec)
        GTEST_SKIP() << "this system keeps a folder with an open file in place: " << ec.message();
    std::ofstream(folder, std::ios::binary) << "not a folder";
    // No line can be written now; the bridge goes on all the same.
    ASSERT_TRUE(PressSent(20, "BTN_0"));
    // The folder is back (a new, empty one): the next lines go there.
    fs::remove(folder);
    fs::create_directories(folder);
    ASSERT_TRUE(PressSent(21, "BTN_1"));
    EXPECT_TRUE(WaitForLog(Logged("BTN_1")));
    Stop();
    EXPECT_TRUE(Has(Log(), kStopped));
    const auto before = test::LogFileLines((away / "TarnwickHID.log").string());
    EXPECT_TRUE(Has(before, "[INFO] MobiFlight client registered"));
    EXPECT_FALSE(Has(before, Logged("BTN_1")) || Has(before, kStopped));
}

#ifdef __linux__
// A file-size limit of the current size makes the next writes fail as a full disk does.
TEST_F(BridgeFaultTest, LoggingResumesAfterItsWritesFailedForLackOfSpace) {
    ASSERT_TRUE(StartRegistered());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);  // else exceeding it ends the process
    const rlimit full{static_cast<rlim_t>(fs::file_size(LogFile())), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    Press(20);
    // The command line is written before the dummy goes out: once the module has read the dummy
    // after the command, the write of that line has failed.
    const bool sent = WaitUntil([&] {
        const auto commands = cockpit->Simulator().ModuleCommands();
        const auto it = std::find(commands.begin(), commands.end(), Sent("BTN_0"));
        return std::find(it, commands.end(), std::string("MF.DummyCmd")) != commands.end();
    });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);
    ASSERT_TRUE(sent);
    ASSERT_TRUE(PressSent(21, "BTN_1"));
    EXPECT_TRUE(WaitForLog(Logged("BTN_1")));
    // The line of the full disk is lost; the lines before it are whole.
    EXPECT_FALSE(Has(Log(), Logged("BTN_0")));
    EXPECT_TRUE(Has(Log(), "[INFO] MobiFlight client registered"));
}
#endif

TEST_F(BridgeFaultTest, ASilentModuleIsAskedAgainAndCommandsMeanwhileAreNeitherSentNorKept) {
    ASSERT_TRUE(StartRegistered());
    VirtualSimulator& sim = cockpit->Simulator();
    sim.SetModuleAnswer(ModuleAnswer::Silent);
    const std::size_t registrations = Count(kRegister);
    sim.DropConnections();
    // The first attempt of the new connection goes unanswered.
    ASSERT_TRUE(WaitUntil([&] { return Count(kRegister) >= registrations + 1; }));
    for (int i = 0; i < 200; ++i)
        Press(20);
    Press(50);
    EXPECT_TRUE(WaitUntil([&] { return CountOf(Log(), kFallback) == 200u; }));
    EXPECT_TRUE(
        WaitForLog("[WARN] Managed map press send failed for MAP_LEFT: MobiFlight not ready"));
    // Five seconds later the client asks again; two attempts go unanswered, the third is
    // acknowledged.
    EXPECT_TRUE(WaitForLog(
        "[INFO] MobiFlight WASM module not responding yet; retrying registration every 5s", 15s));
    ASSERT_TRUE(WaitUntil([&] { return Count(kRegister) >= registrations + 2; }, 15s));
    sim.SetModuleAnswer(ModuleAnswer::Finished);
    ASSERT_TRUE(WaitRegistered(2)) << "no registration within 10 s of the module answering again";
    EXPECT_TRUE(WaitForLog("[INFO] MobiFlight client registered (after 3 attempts)"));
    // What was pressed while the module was silent would go out ahead of this, and does not.
    ASSERT_TRUE(PressSent(21, "BTN_1"));
    EXPECT_EQ(Count(Sent("BTN_0")) + Count(Sent("MAP_LEFT")), 0u);
}

}  // namespace
}  // namespace tarnwick
