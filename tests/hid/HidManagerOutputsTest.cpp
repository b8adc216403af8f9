#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HidTestSupport.h"
#include "hid/HidManager.h"
#include "hid/TelemetryProtocol.h"

namespace tarnwick {
namespace {

using test::DefaultSettings;

class HidManagerOutputsTest : public test::HidManagerFixture {
protected:
    static VirtualWriteBehaviour Failing(std::uint32_t error) {
        return VirtualWriteBehaviour{VirtualWriteMode::Fail, error, 0};
    }
    static VirtualWriteBehaviour Short(std::size_t bytes, std::uint32_t error) {
        return VirtualWriteBehaviour{VirtualWriteMode::Short, error, bytes};
    }
    // Log lines written after the devices connected.
    std::vector<std::string> LinesAfterConnect() const {
        std::vector<std::string> lines;
        for (const std::string& line : logs_.Lines()) {
            if (line.find("HID device connected") == std::string::npos &&
                line.find("HID protocol info") == std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }
};

std::string Hex(const HidProtocol::Report& report) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : report) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

const HidProtocol::Report kSimUp = HidProtocol::EncodeSimStatusReport(true);
const HidProtocol::Report kSimDown = HidProtocol::EncodeSimStatusReport(false);

// ---- sim_status ----

TEST_F(HidManagerOutputsTest, SimStatusGoesToPanelBoardsOnlyAndOnlyWhenItChanges) {
    auto a = PlugBoard("hid#a", 0xE6);
    auto b = PlugPlainBoard("hid#b", "B");
    auto panel = PlugPanel("hid#p", "TP");
    ASSERT_TRUE(Start());
    manager_->SendSimStatus(true);
    manager_->SendSimStatus(true);
    manager_->SendSimStatus(false);
    const std::vector<HidProtocol::Report> expected{kSimUp, kSimDown};
    EXPECT_EQ(a->ReceivedReports(), expected);
    EXPECT_EQ(b->ReceivedReports(), expected);
    EXPECT_TRUE(panel->Writes().empty());
    EXPECT_EQ(kSimUp[0], 0x11);
    EXPECT_EQ(kSimUp[1], 0x01);
}

TEST_F(HidManagerOutputsTest, LastSimStatusIsReplayedToBoardsThatConnectLater) {
    ASSERT_TRUE(Start(DefaultSettings(), true));
    auto early = PlugPlainBoard("hid#early", "EARLY");
    manager_->Scan();
    EXPECT_TRUE(early->Writes().empty());  // nothing was ever sent, so nothing to replay

    manager_->SendSimStatus(true);  // reaches EARLY
    auto late = PlugBoard("hid#late", 0xE6);
    auto panel = PlugPanel("hid#p", "TP");
    manager_->Scan();
    EXPECT_EQ(late->ReceivedReports(), std::vector<HidProtocol::Report>{kSimUp});
    EXPECT_TRUE(panel->Writes().empty());
    EXPECT_EQ(
        logs_.Matching("HID OUT sim_status device=E6614103E7452D2F"),
        std::vector<std::string>{
            "[DEBUG] HID OUT sim_status device=E6614103E7452D2F bytes=32 data=" + Hex(kSimUp)});
}

TEST_F(HidManagerOutputsTest, SimStatusRememberedWithNoDeviceOpen) {
    ASSERT_TRUE(Start());
    manager_->SendSimStatus(true);
    auto board = PlugPlainBoard("hid#a", "A");
    manager_->Scan();
    manager_->SendSimStatus(true);  // unchanged: the replay was all it gets
    EXPECT_EQ(board->ReceivedReports(), std::vector<HidProtocol::Report>{kSimUp});
}

TEST_F(HidManagerOutputsTest, FailedSimStatusWriteIsLoggedAndTheSameStateNotRetried) {
    auto a = PlugPlainBoard("hid#a", "A");
    auto b = PlugPlainBoard("hid#b", "B");
    a->SetWriteBehaviour(Failing(31));
    ASSERT_TRUE(Start(DefaultSettings(), true));
    manager_->SendSimStatus(true);
    manager_->SendSimStatus(true);
    EXPECT_EQ(a->Writes().size(), 1u);
    EXPECT_EQ(b->ReceivedReports(), std::vector<HidProtocol::Report>{kSimUp});
    EXPECT_EQ(LinesAfterConnect(),
              (std::vector<std::string>{
                  "[WARN] HID sim_status write failed for A (err=31)",
                  "[DEBUG] HID OUT sim_status device=A bytes=0 data=" + Hex(kSimUp),
                  "[DEBUG] HID OUT sim_status device=B bytes=32 data=" + Hex(kSimUp)}));
}

TEST_F(HidManagerOutputsTest, WriteToABoardUnpluggedBeforeTheNextScanReportsTheRemoval) {
    PlugPlainBoard("hid#a", "A");
    ASSERT_TRUE(Start());
    backend_.Unplug("hid#a");
    manager_->SendSimStatus(false);
    EXPECT_EQ(LinesAfterConnect(),
              std::vector<std::string>{"[WARN] HID sim_status write failed for A (err=1167)"});
}

// A board whose OUT endpoint stalls holds up only the callers writing to it: other boards get
// their states and deliver their presses, the table can be asked and scanned, and Stop returns.
TEST_F(HidManagerOutputsTest, StalledBoardHoldsUpNeitherTheOtherBoardsNorStop) {
    VirtualHidDeviceSetup setup = VirtualPanelBoardSetup("hid#a", test::kBoardVid, test::kBoardPid,
                                                         std::nullopt, std::nullopt, "A");
    setup.writeTimeout = std::chrono::minutes(10);  // the stall lasts until the test ends it
    auto stalled = backend_.Plug(setup);
    auto other = PlugPlainBoard("hid#b", "B");
    ASSERT_TRUE(Start());
    stalled->SetWriteStall(std::chrono::minutes(10));
    auto writer = std::async(std::launch::async, [&] { manager_->SendSimStatus(true); });
    ASSERT_TRUE(test::WaitUntil([&] { return stalled->WritesInProgress() == 1; }));

    const HidProtocol::LedState on{1, 255};
    auto others = std::async(std::launch::async, [&] {
        EXPECT_TRUE(manager_->SendLedState("B", -1, on));
        other->SendEvent(HidProtocol::HidEvent{0, 1, 3, 1, 0, 0, 0});
        EXPECT_TRUE(test::WaitUntil([&] { return events_.EventCount() == 1; }));
        EXPECT_EQ(manager_->ListDevices().size(), 2u);
        manager_->Scan();
        manager_->Stop();
    });
    const bool done = others.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(done);
    EXPECT_EQ(stalled->WritesInProgress(), 1u);  // all of the above while A still stalls
    stalled->SetWriteStall(std::chrono::milliseconds(0));
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    others.wait();
    EXPECT_EQ(other->ReceivedReports(),
              std::vector<HidProtocol::Report>{HidProtocol::EncodeLedControlReport(on)});
    EXPECT_EQ(stalled->OpenHandleCount(), 0u);  // closed by the writer once it let go
}

TEST(VirtualHidStall, StalledWriteTimesOutAndAnUnplugEndsItAtOnce) {
    VirtualHidBackend backend;
    VirtualHidDeviceSetup setup =
        VirtualPanelBoardSetup("d", test::kBoardVid, test::kBoardPid, std::nullopt, std::nullopt);
    setup.writeTimeout = std::chrono::milliseconds(1);
    auto device = backend.Plug(setup);
    auto handle = backend.Open("d", HidOpenPurpose::Write);
    device->SetWriteStall(std::chrono::minutes(10));
    EXPECT_EQ(handle->Write(HidProtocol::Report{}).error, HidError::kTimeout);
    device->SetWriteStall(std::chrono::milliseconds(1));
    EXPECT_TRUE(handle->Write(HidProtocol::Report{}).ok);  // shorter than the time-out: it goes
    setup.path = "e";
    setup.writeTimeout = std::chrono::minutes(10);
    auto held = backend.Plug(setup);
    auto heldHandle = backend.Open("e", HidOpenPurpose::Write);
    held->SetWriteStall(std::chrono::minutes(10));
    auto write = std::async(std::launch::async, [&] { return heldHandle->Write({}).error; });
    ASSERT_TRUE(test::WaitUntil([&] { return held->WritesInProgress() == 1; }));
    backend.Unplug("e");
    ASSERT_EQ(write.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(write.get(), HidError::kDeviceNotConnected);
}

// ---- telemetry ----

TEST_F(HidManagerOutputsTest, TelemetryGoesToTouchPanelsAsTwoPagesOnEveryCall) {
    auto board = PlugPlainBoard("hid#a", "A");
    auto p1 = PlugPanel("hid#p1", "TP1");
    auto p2 = PlugPanel("hid#p2", "TP2");
    ASSERT_TRUE(Start(DefaultSettings(), true));
    TelemetryProtocol::Values values;
    for (std::size_t i = 0; i < TelemetryProtocol::kValueCount; ++i) {
        values[i] = static_cast<float>(i) + 0.5f;
    }
    EXPECT_EQ(manager_->SendTelemetry(values, 0x1234), 2u);
    EXPECT_EQ(manager_->SendTelemetry(values, 0x1235), 2u);  // not compared with the last one

    const HidProtocol::Report page0 = TelemetryProtocol::EncodeTelemetryReport(values, 0, 0x1234);
    const HidProtocol::Report page1 = TelemetryProtocol::EncodeTelemetryReport(values, 1, 0x1234);
    for (const auto& panel : {p1, p2}) {
        const auto received = panel->ReceivedReports();
        ASSERT_EQ(received.size(), 4u);
        EXPECT_EQ(received[0], page0);
        EXPECT_EQ(received[1], page1);
        TelemetryProtocol::TelemetryPage decoded;
        ASSERT_TRUE(TelemetryProtocol::DecodeTelemetryReport(received[3].data(), 32, decoded));
        EXPECT_EQ(decoded.page, 1);
        EXPECT_EQ(decoded.sequence, 0x1235);
        EXPECT_EQ(decoded.values[0], 7.5f);
    }
    EXPECT_TRUE(board->Writes().empty());
    const auto trace = logs_.Matching("HID OUT telemetry");
    ASSERT_EQ(trace.size(), 8u);
    EXPECT_EQ(trace[0], "[DEBUG] HID OUT telemetry device=TP1 bytes=32 data=" + Hex(page0));
    EXPECT_EQ(trace[1], "[DEBUG] HID OUT telemetry device=TP1 bytes=32 data=" + Hex(page1));
}

TEST_F(HidManagerOutputsTest, TelemetryWithNoTouchPanelReturnsZeroAndLogsNothing) {
    PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start(DefaultSettings(), true));
    EXPECT_EQ(manager_->SendTelemetry(TelemetryProtocol::Values{}, 1), 0u);
    EXPECT_TRUE(LinesAfterConnect().empty());
}

TEST_F(HidManagerOutputsTest, FailedOrShortTelemetryWriteDropsThatPanelOnly) {
    auto failing = PlugPanel("hid#p1", "TP1");
    auto shortOne = PlugPanel("hid#p2", "TP2");
    auto fine = PlugPanel("hid#p3", "TP3");
    failing->SetWriteBehaviour(Failing(31));
    shortOne->SetWriteBehaviour(Short(16, 0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(manager_->SendTelemetry(TelemetryProtocol::Values{}, 9), 1u);
    EXPECT_EQ(failing->Writes().size(), 1u);  // page 1 is not tried after page 0 failed
    EXPECT_EQ(shortOne->Writes().size(), 1u);
    EXPECT_EQ(fine->ReceivedReports().size(), 2u);
    EXPECT_EQ(LinesAfterConnect(),
              (std::vector<std::string>{"[WARN] HID telemetry write failed for TP1 error=31",
                                        "[WARN] HID telemetry write failed for TP2 error=0"}));
    // The next record is written again in any case.
    failing->SetWriteBehaviour(VirtualWriteBehaviour{});
    EXPECT_EQ(manager_->SendTelemetry(TelemetryProtocol::Values{}, 10), 2u);
}

// ---- led_ctl ----

TEST_F(HidManagerOutputsTest, LedStateFindsTheBoardByNameElseByIndex) {
    auto a = PlugPlainBoard("hid#a", "A");  // index 0
    auto b = PlugPlainBoard("hid#b", "B");  // index 1
    ASSERT_TRUE(Start());
    const HidProtocol::LedState s1{1, 200, 0, 0, 0};
    const HidProtocol::LedState s2{2, 0, 3, 1000, 50};
    const HidProtocol::LedState s3{3, 0, 5, 500, 255};
    EXPECT_TRUE(manager_->SendLedState("B", 0, s1));        // the name wins over the index
    EXPECT_TRUE(manager_->SendLedState("unknown", 0, s2));  // no such name: the index
    EXPECT_TRUE(manager_->SendLedState("", 1, s3));
    EXPECT_FALSE(manager_->SendLedState("", -1, s1));
    EXPECT_FALSE(manager_->SendLedState("unknown", -1, s1));
    EXPECT_FALSE(manager_->SendLedState("", 7, s1));
    EXPECT_EQ(a->ReceivedReports(),
              std::vector<HidProtocol::Report>{HidProtocol::EncodeLedControlReport(s2)});
    EXPECT_EQ(b->ReceivedReports(),
              (std::vector<HidProtocol::Report>{HidProtocol::EncodeLedControlReport(s1),
                                                HidProtocol::EncodeLedControlReport(s3)}));
    EXPECT_EQ(Hex(b->ReceivedReports()[1]).substr(0, 14), "10030005F401FF");
}

TEST_F(HidManagerOutputsTest, LedStateNeverGoesToTouchPanels) {
    auto panel = PlugPanel("hid#p", "TP");
    ASSERT_TRUE(Start());
    EXPECT_FALSE(manager_->SendLedState("TP", -1, HidProtocol::LedState{1, 10}));
    EXPECT_FALSE(manager_->SendLedState("", 0, HidProtocol::LedState{1, 10}));
    EXPECT_TRUE(panel->Writes().empty());
}

TEST_F(HidManagerOutputsTest, SameLedStateIsWrittenOnceUntilInvalidated) {
    auto a = PlugPlainBoard("hid#a", "A");
    auto b = PlugPlainBoard("hid#b", "B");
    ASSERT_TRUE(Start());
    const HidProtocol::LedState on{1, 255};
    EXPECT_TRUE(manager_->SendLedState("A", -1, on));
    EXPECT_TRUE(manager_->SendLedState("A", -1, on));  // suppressed, still true
    EXPECT_TRUE(manager_->SendLedState("B", -1, on));  // each board keeps its own memory
    manager_->InvalidateLedState("", 0);               // by index
    EXPECT_TRUE(manager_->SendLedState("A", -1, on));
    EXPECT_TRUE(manager_->SendLedState("A", -1, HidProtocol::LedState{0, 0}));
    EXPECT_EQ(a->ReceivedReports().size(), 3u);
    EXPECT_EQ(b->ReceivedReports().size(), 1u);
}

TEST_F(HidManagerOutputsTest, FailedLedWriteIsLoggedAndNotRetriedForTheSameState) {
    auto a = PlugPlainBoard("hid#a", "A");
    a->SetWriteBehaviour(Failing(22));
    ASSERT_TRUE(Start(DefaultSettings(), true));
    const HidProtocol::LedState on{1, 255};
    EXPECT_TRUE(manager_->SendLedState("A", -1, on));
    EXPECT_TRUE(manager_->SendLedState("A", -1, on));
    EXPECT_EQ(a->Writes().size(), 1u);
    EXPECT_EQ(LinesAfterConnect(),
              (std::vector<std::string>{"[WARN] HID led_ctl write failed for A (err=22)",
                                        "[DEBUG] HID OUT led_ctl device=A bytes=0 data=" +
                                            Hex(HidProtocol::EncodeLedControlReport(on))}));
    manager_->InvalidateLedState("A", -1);
    EXPECT_TRUE(manager_->SendLedState("A", -1, on));
    EXPECT_EQ(a->Writes().size(), 2u);
}

// ---- BOOTSEL ----

TEST_F(HidManagerOutputsTest, BootselTriesEveryBoardByBothPathsAndSaysHow) {
    auto a = PlugPlainBoard("hid#a", "A");
    auto b = PlugPlainBoard("hid#b", "B");
    auto c = PlugPlainBoard("hid#c", "C");
    auto panel = PlugPanel("hid#p", "TP");
    a->SetWriteBehaviour(Short(10, 31));
    a->SetOutputReportBehaviour(Failing(87));
    b->SetWriteBehaviour(Failing(1));
    ASSERT_TRUE(Start(DefaultSettings(), true));
    manager_->SendBootsel();
    const HidProtocol::Report bootsel = HidProtocol::EncodeBootselReport();
    EXPECT_EQ(LinesAfterConnect(),
              (std::vector<std::string>{
                  "[DEBUG] HID OUT device_ctl action=2 data=" + Hex(bootsel),
                  "[WARN] Failed to send BOOTSEL command to A (WriteFile err=31, bytes=10, "
                  "HidD_SetOutputReport err=87)",
                  "[INFO] BOOTSEL command sent to B via HidD_SetOutputReport",
                  "[INFO] BOOTSEL command sent to C via WriteFile"}));
    EXPECT_EQ(a->Writes().size(), 2u);
    EXPECT_EQ(b->Writes().size(), 2u);
    ASSERT_EQ(b->Writes()[1].method, VirtualWriteMethod::SetOutputReport);
    EXPECT_EQ(b->Writes()[1].report, bootsel);
    EXPECT_EQ(c->ReceivedReports(), std::vector<HidProtocol::Report>{bootsel});
    EXPECT_TRUE(panel->Writes().empty());
}

TEST_F(HidManagerOutputsTest, BootselNobodyAccepts) {
    auto a = PlugPlainBoard("hid#a", "A");
    a->SetWriteBehaviour(Failing(31));
    a->SetOutputReportBehaviour(Failing(31));
    PlugPanel("hid#p", "TP");
    ASSERT_TRUE(Start());
    manager_->SendBootsel();
    EXPECT_EQ(LinesAfterConnect(),
              (std::vector<std::string>{
                  "[WARN] Failed to send BOOTSEL command to A (WriteFile err=31, bytes=0, "
                  "HidD_SetOutputReport err=31)",
                  "[WARN] No HID device accepted BOOTSEL command"}));
}

TEST_F(HidManagerOutputsTest, BootselWithOnlyTouchPanelsOrNothingOpen) {
    ASSERT_TRUE(Start());
    manager_->SendBootsel();
    auto panel = PlugPanel("hid#p", "TP");
    manager_->Scan();
    manager_->SendBootsel();
    EXPECT_EQ(logs_.Matching("BOOTSEL"),
              (std::vector<std::string>{"[WARN] No HID device accepted BOOTSEL command",
                                        "[WARN] No HID device accepted BOOTSEL command"}));
    EXPECT_TRUE(panel->Writes().empty());
}

}  // namespace
}  // namespace tarnwick
