// The HID manager over virtual devices: what it opens and how it names it, the faults it rides
// out (failed opens and probes, dead readers, stalled boards), its scan pace on a hand-moved
// clock, and every log line of its input and output.
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/ManualClock.h"
#include "hid/HidLogText.h"
#include "hid/HidManager.h"
#include "hid/TelemetryProtocol.h"
#include "hid/virtual/VirtualHidBackend.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using HidProtocol::HidEvent;
using HidProtocol::LedState;
using HidProtocol::Report;
using test::WaitUntil;
using Reports = std::vector<Report>;
using Lines = std::vector<std::string>;

constexpr std::uint16_t kBoardVid = 0x04D8, kBoardPid = 0xE6B0, kPanelVid = 0x2E8A,
                        kPanelPid = 0x10F0;

// Panel boards on kBoardVid:kBoardPid ("g1000"), touch panels on kPanelVid:kPanelPid. The scan
// interval is long unless given, so that tests decide when scans happen.
HidManagerSettings DefaultSettings(std::int32_t scanIntervalMs = 600000) {
    const HidDeviceTarget board{kBoardVid, kBoardPid, PanelRole::G1000},
        panel{kPanelVid, kPanelPid, PanelRole::TouchPanel};
    return HidManagerSettings{kBoardVid, kBoardPid, {board, panel}, scanIntervalMs};
}

// A manager over a virtual backend, with the log captured (DEBUG on) and every event recorded.
class HidManagerTest : public testing::Test {
protected:
    Result Start(const HidManagerSettings& settings = DefaultSettings(), bool trace = false) {
        manager_->SetTrace(trace);
        return manager_->Start(settings,
                               [this](const HidEvent& event, const std::string& name, int index) {
                                   std::lock_guard<std::mutex> lock(mutex_);
                                   events_.push_back({name + ":" + std::to_string(index), event});
                               });
    }
    // What the readers delivered so far ("NAME:INDEX" and the event), taken under their lock.
    std::vector<std::pair<std::string, HidEvent>> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // A board; with `idByte` it answers device info (firmware 1.4.0, board id idByte 61 41 03 E7
    // 45 2D 2F) and protocol info 1.2 flags 0x0A.
    std::shared_ptr<VirtualHidDevice> PlugBoard(const std::string& path,
                                                std::optional<std::uint8_t> idByte,
                                                std::string serial = {}) {
        using Info = std::optional<HidProtocol::DeviceInfo>;
        using Protocol = std::optional<HidProtocol::ProtocolInfo>;
        return backend_.Plug(VirtualPanelBoardSetup(
            path, kBoardVid, kBoardPid,
            idByte ? Info{{1, 4, 0, {*idByte, 0x61, 0x41, 0x03, 0xE7, 0x45, 0x2D, 0x2F}}} : Info{},
            idByte ? Protocol{{1, 2, 0x0A}} : Protocol{}, std::move(serial)));
    }
    std::shared_ptr<VirtualHidDevice> PlugPanel(const std::string& path, std::string serial) {
        return backend_.Plug(VirtualTouchPanelSetup(path, kPanelVid, kPanelPid, std::move(serial)));
    }

    test::LogCapture logs_{true};
    test::ManualClock clock_;
    VirtualHidBackend backend_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, HidEvent>> events_;
    // Declared last: stopped before the rest goes. Readers wait for minutes on end: a Stop that
    // waited out a read instead of cancelling it would hang the test.
    std::unique_ptr<HidManager> manager_ =
        std::make_unique<HidManager>(backend_, HidManager::Options{10min}, clock_);
};

const Report kSimUp = HidProtocol::EncodeSimStatusReport(true);
const Report kSimDown = HidProtocol::EncodeSimStatusReport(false);

TEST_F(HidManagerTest, StartRefusesBadIdsAndASecondStartAndStartsAgainAfterStop) {
    HidManagerSettings noVendor = DefaultSettings();
    noVendor.vendorId.reset();  // the device entries are fine; the fallback target is not
    EXPECT_EQ(Start(noVendor).Error(), "Invalid VID/PID");
    EXPECT_EQ(backend_.EnumerationCount(), 0u);
    // Without device entries the fallback ids are one panel-board target, whatever the device.
    PlugPanel("hid#p", "PANEL");
    ASSERT_TRUE(Start(HidManagerSettings{kPanelVid, kPanelPid, {}, 600000}));
    PlugBoard("hid#a", 0xE6);
    EXPECT_EQ(Start().Error(), "HID manager already running");
    EXPECT_EQ(backend_.EnumerationCount(), 1u);
    EXPECT_EQ(manager_->ListDevices(), (std::vector<HidDeviceEntry>{{"PANEL", 0}}));
    EXPECT_EQ(manager_->CountTouchPanels(), 0u);
    manager_->Stop();
    manager_->Stop();  // does nothing
    manager_->Scan();  // stopped: opens nothing
    EXPECT_FALSE(manager_->HasDevices());
    ASSERT_TRUE(Start());  // the index goes on counting
    EXPECT_EQ(manager_->ListDevices(),
              (std::vector<HidDeviceEntry>{{"E6614103E7452D2F", 2}, {"PANEL", 1}}));
}

TEST_F(HidManagerTest, ConnectingNamesEachDeviceAndProbesEveryInterfaceOnce) {
    PlugBoard("hid#5", 0xE6, "SER-1");  // named by its board id
    PlugBoard("hid#4", std::nullopt, "SER-2");
    auto panel = PlugPanel("hid#1", "TP-7");
    VirtualHidDeviceSetup readOnly = VirtualPanelBoardSetup(  // named by its path
        "hid#3", kBoardVid, kBoardPid, std::nullopt, std::nullopt);
    readOnly.readOnly = true;
    VirtualHidDeviceSetup lengths =
        VirtualPanelBoardSetup("hid#len", kBoardVid, kBoardPid, std::nullopt, std::nullopt, "LEN");
    lengths.reportLengths = HidReportLengths{65, 65, 32};
    VirtualHidDeviceSetup mouse = VirtualTouchPanelSetup("hid#mouse", 0x046D, 0xC52B, "mouse");
    mouse.systemOwned = true;  // like a mouse on Windows: only the probe opens
    for (const auto& setup : {readOnly, lengths, mouse}) {
        backend_.Plug(setup);
    }
    // Entries without both ids are left out; the first entry that matches gives the role.
    HidManagerSettings settings = DefaultSettings();
    settings.devices.insert(settings.devices.begin(), {kPanelVid, std::nullopt, PanelRole::G1000});
    settings.devices.push_back({kBoardVid, kBoardPid, PanelRole::TouchPanel});
    ASSERT_TRUE(Start(settings));
    manager_->Scan();
    manager_->Scan();
    // The whole log, as tests/data/hid/connecting.log has it.
    EXPECT_EQ(logs_.Lines(), test::LogFileLines(TARNWICK_TEST_DATA_DIR "/hid/connecting.log"));
    EXPECT_EQ(manager_->ListDevices().front(), (HidDeviceEntry{"TP-7", 2}));  // in path order
    EXPECT_EQ(panel->FeatureRequestCount(), 0u);
    // Three scans, one probe each: an unchanged system costs an enumeration and no open.
    for (const auto& device : backend_.Devices()) {
        EXPECT_EQ(device->OpenAttempts(HidOpenPurpose::Probe), 1u) << device->Path();
    }
    EXPECT_EQ(backend_.Find("hid#mouse")->OpenAttempts(HidOpenPurpose::Read), 0u);
}

TEST_F(HidManagerTest, FailedOpensAreRetriedSaidOnceAndFailedProbesForgottenWhenThePathGoes) {
    auto board = PlugBoard("hid#a", 0xE6);
    board->SetOpenFailure(HidOpenPurpose::Read, true);
    auto unknown = PlugBoard("hid#b", 0xE7);
    unknown->SetOpenFailure(HidOpenPurpose::Probe, true);
    ASSERT_TRUE(Start());
    unknown->SetOpenFailure(HidOpenPurpose::Probe, false);
    manager_->Scan();
    EXPECT_EQ(board->OpenAttempts(HidOpenPurpose::Read), 2u);
    EXPECT_EQ(unknown->OpenAttempts(HidOpenPurpose::Probe), 1u);  // not retried while present
    backend_.Unplug("hid#a");
    backend_.Unplug("hid#b");
    manager_->Scan();
    board = PlugBoard("hid#a", 0xE6);  // back again: said again
    board->SetOpenFailure(HidOpenPurpose::Read, true);
    PlugBoard("hid#b", 0xE7);  // back again: probed afresh
    manager_->Scan();
    board->SetOpenFailure(HidOpenPurpose::Read, false);
    manager_->Scan();
    EXPECT_EQ(
        logs_.Matching("HID device"),
        (Lines{"[WARN] Failed to open HID device: hid#a", "[WARN] Failed to open HID device: hid#a",
               "[INFO] HID device connected: E7614103E7452D2F index=0 role=g1000 fw=1.4.0",
               "[INFO] HID device connected: E6614103E7452D2F index=1 role=g1000 fw=1.4.0"}));
}

// After a failed read the board is reconnected at once, not at the next scan, and its reports reach
// the callback again; reports that are not events are dropped without a word.
TEST_F(HidManagerTest, BoardWhoseReadFailsIsReconnectedAtOnceAndItsReportsWorkAgain) {
    auto board = PlugBoard("hid#a", std::nullopt, "A");
    ASSERT_TRUE(Start(DefaultSettings(), true));
    ASSERT_TRUE(board->WaitForPendingRead(5s));
    board->FailNextRead(HidError::kGenFailure);
    ASSERT_TRUE(WaitUntil([&] { return logs_.Matching("device connected: A").size() == 2; }));
    const Report wrongId{0x02};
    board->SendInput(wrongId.data(), wrongId.size());
    const Report withoutId{0x05, 0x01, 0x00, 0xAB, 0x00, 0x01};
    board->SendInput(withoutId.data(), 31);
    const HidEvent event{7, 2, 0x0123, -3, 4, 1, 0xBEEF};
    board->SendEvent(event);
    // The reader keeps the device's order: once the last report is in, the rest was dropped.
    ASSERT_TRUE(WaitUntil([&] { return Events().size() == 2; }));
    EXPECT_EQ(Events(), (decltype(events_){{"A:1", {5, 1, 0xAB, 1, 0, 0, 0}}, {"A:1", event}}));
    EXPECT_EQ(logs_.Matching("HID IN device=A").size(), 3u);  // every report read, taken or not
    EXPECT_EQ(logs_.Matching("bytes=31"), Lines{"[DEBUG] HID IN device=A bytes=31 data=" +
                                                hidtext::HexBytes(withoutId.data(), 31)});
    EXPECT_EQ(logs_.Matching(" A"),
              (Lines{"[INFO] HID device connected: A index=0 role=g1000 fw=unknown",
                     "[WARN] HID read failed for A (err=31); reconnecting",
                     "[INFO] HID device disconnected: A",
                     "[INFO] HID device connected: A index=1 role=g1000 fw=unknown"}));
}

TEST_F(HidManagerTest, ScansComeAtMostEvery100MsAndAtOnceWhenRequested) {
    clock_.SetWorkers(1);  // the scanner
    ASSERT_TRUE(Start(DefaultSettings(0)));
    EXPECT_EQ(logs_.Lines(), Lines{"[WARN] hid.scanIntervalMs 0 is below 100; using 100"});
    PlugPanel("hid#p", "TP");
    clock_.Advance(99ms);
    clock_.Settle();
    EXPECT_FALSE(manager_->HasDevices());
    clock_.Advance(1ms);
    clock_.Settle();
    EXPECT_TRUE(manager_->HasDevices());
    EXPECT_EQ(backend_.EnumerationCount(), 2u);
    manager_->SendBootsel();  // a touch panel is never asked
    EXPECT_EQ(logs_.Lines().back(), "[WARN] No HID device accepted BOOTSEL command");
    backend_.Unplug("hid#p");
    manager_->RequestScan();
    EXPECT_TRUE(WaitUntil([&] { return !manager_->HasDevices(); }));
}

// LED states go to the board named, else to the one indexed, never to a touch panel; sim status
// to every board when it changes and to a late board once; telemetry pages to the touch panels,
// the second only after the first went. A failed state is said once and not tried again until it
// changes or is forgotten. BOOTSEL goes to every board, the other way when the first fails.
TEST_F(HidManagerTest, OutputsReachTheirDevicesAndFailuresAreSaidOnce) {
    ASSERT_TRUE(Start(DefaultSettings(), true));
    manager_->SendSimStatus(true);                   // remembered with nothing open
    auto a = PlugBoard("hid#a", std::nullopt, "A");  // index 0
    auto b = PlugBoard("hid#b", std::nullopt, "B");  // index 1
    auto failing = PlugPanel("hid#p1", "TP1");       // index 2
    auto fine = PlugPanel("hid#p2", "TP2");          // index 3
    a->SetWriteBehaviour({VirtualWriteMode::Fail, 22});
    failing->SetWriteBehaviour({VirtualWriteMode::Fail, 31});
    manager_->Scan();  // the scan's own sim status write goes unsaid
    const LedState s1{1, 200, 0, 0, 0}, s2{2, 0, 3, 1000, 50};
    const std::tuple<const char*, int, LedState, bool> rows[] = {
        {"B", 0, s1, true}, {"unknown", 0, s2, true}, {"A", -1, s2, true}, {"", -1, s1, false},
        {"", 7, s1, false}, {"TP1", -1, s1, false},   {"", 2, s1, false},
    };
    for (const auto& [name, index, state, found] : rows) {
        EXPECT_EQ(manager_->SendLedState(name, index, state), found) << name << " " << index;
    }
    manager_->SendSimStatus(false);
    manager_->SendSimStatus(false);
    a->SetWriteBehaviour(VirtualWriteBehaviour{});
    manager_->InvalidateLedState("", 0);
    EXPECT_TRUE(manager_->SendLedState("A", -1, s2));
    auto late = PlugBoard("hid#late", 0xE6);
    manager_->Scan();
    using HidProtocol::EncodeLedControlReport;
    EXPECT_EQ(a->ReceivedReports(), Reports{EncodeLedControlReport(s2)});
    EXPECT_EQ(b->ReceivedReports(), (Reports{kSimUp, EncodeLedControlReport(s1), kSimDown}));
    EXPECT_EQ(late->ReceivedReports(), Reports{kSimDown});
    EXPECT_EQ(logs_.Matching("HID OUT sim_status device=E6"),
              Lines{"[DEBUG] HID OUT sim_status device=E6614103E7452D2F bytes=32 data=" +
                    hidtext::HexBytes(kSimDown.data(), 32)});
    const TelemetryProtocol::Values values{{1.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -2.0f}};
    EXPECT_EQ(manager_->SendTelemetry(values, 0x1234), 1u);
    EXPECT_EQ(failing->Writes().size(), 1u);  // page 1 is not tried after page 0 failed
    EXPECT_EQ(fine->ReceivedReports(),
              (Reports{TelemetryProtocol::EncodeTelemetryReport(values, 0, 0x1234),
                       TelemetryProtocol::EncodeTelemetryReport(values, 1, 0x1234)}));
    EXPECT_EQ(logs_.Matching("WARN"),
              (Lines{"[WARN] HID led_ctl write failed for A (err=22)",
                     "[WARN] HID sim_status write failed for A (err=22)",
                     "[WARN] HID telemetry write failed for TP1 error=31"}));

    a->SetWriteBehaviour({VirtualWriteMode::Short, 31, 10});
    a->SetOutputReportBehaviour({VirtualWriteMode::Fail, 87});
    b->SetWriteBehaviour({VirtualWriteMode::Fail, 1});
    manager_->SendBootsel();
    EXPECT_EQ(logs_.Matching("BOOTSEL"),
              (Lines{"[WARN] Failed to send BOOTSEL command to A (WriteFile err=31, bytes=10, "
                     "HidD_SetOutputReport err=87)",
                     "[INFO] BOOTSEL command sent to B via HidD_SetOutputReport",
                     "[INFO] BOOTSEL command sent to E6614103E7452D2F via WriteFile"}));
    EXPECT_EQ(logs_.Matching("device_ctl")[0],
              "[DEBUG] HID OUT device_ctl action=2 data=" +
                  hidtext::HexBytes(HidProtocol::EncodeBootselReport().data(), 32));
    EXPECT_EQ(failing->Writes().size() + fine->Writes().size(), 3u);  // no BOOTSEL to panels
}

// A board whose OUT endpoint stalls holds up only the callers writing to it: other boards get
// their states and deliver their presses, the table can be asked and scanned, and Stop returns.
TEST_F(HidManagerTest, StalledBoardHoldsUpNeitherTheOtherBoardsNorStop) {
    VirtualHidDeviceSetup setup =
        VirtualPanelBoardSetup("hid#a", kBoardVid, kBoardPid, std::nullopt, std::nullopt, "A");
    setup.writeTimeout = 10min;  // the stall lasts until the test ends it
    auto stalled = backend_.Plug(setup);
    auto other = PlugBoard("hid#b", std::nullopt, "B");
    ASSERT_TRUE(Start());
    stalled->SetWriteStall(10min);
    auto writer = std::async(std::launch::async, [&] { manager_->SendSimStatus(true); });
    ASSERT_TRUE(WaitUntil([&] { return stalled->WritesInProgress() == 1; }));
    const LedState on{1, 255};
    auto others = std::async(std::launch::async, [&] {
        EXPECT_TRUE(manager_->SendLedState("B", -1, on));
        other->SendEvent(HidEvent{0, 1, 3, 1, 0, 0, 0});
        EXPECT_TRUE(WaitUntil([&] { return Events().size() == 1; }));
        EXPECT_EQ(manager_->ListDevices().size(), 2u);
        manager_->Scan();
        manager_->Stop();
    });
    EXPECT_EQ(others.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(stalled->WritesInProgress(), 1u);  // all of the above while A still stalls
    stalled->SetWriteStall(0ms);
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
    others.wait();
    EXPECT_EQ(other->ReceivedReports(), Reports{HidProtocol::EncodeLedControlReport(on)});
    EXPECT_EQ(stalled->OpenHandleCount(), 0u);  // closed by the writer once it let go
}

}  // namespace
}  // namespace tarnwick
