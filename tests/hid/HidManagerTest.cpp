#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HidTestSupport.h"
#include "hid/HidManager.h"
#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using test::DefaultSettings;
using test::kBoardPid;
using test::kBoardVid;
using test::kPanelPid;
using test::kPanelVid;
using test::MakeInfo;
using test::WaitUntil;

class HidManagerTest : public test::HidManagerFixture {};

// ---- start ----

TEST_F(HidManagerTest, StartFailsOnInvalidTopLevelIdsWithoutScanning) {
    HidManagerSettings settings = DefaultSettings();
    settings.vendorId.reset();
    EXPECT_FALSE(Start(settings));
    EXPECT_EQ(lastError_, "Invalid VID/PID");

    settings = DefaultSettings();
    settings.productId.reset();  // the device entries are fine; the fallback target is not
    EXPECT_FALSE(Start(settings));
    EXPECT_EQ(lastError_, "Invalid VID/PID");
    EXPECT_EQ(backend_.EnumerationCount(), 0u);
}

TEST_F(HidManagerTest, DevicesPresentAtStartAreOpenWhenStartReturns) {
    PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start());
    EXPECT_TRUE(manager_->HasDevices());
    EXPECT_EQ(manager_->ListDevices(), (std::vector<HidDeviceEntry>{{"E6614103E7452D2F", 0}}));
}

TEST_F(HidManagerTest, SecondStartReturnsTrueAndChangesNothing) {
    ASSERT_TRUE(Start());
    const auto enumerations = backend_.EnumerationCount();
    PlugBoard("hid#a", 0xE6);
    HidManagerSettings invalid = DefaultSettings();
    invalid.vendorId.reset();
    EXPECT_TRUE(Start(invalid));
    EXPECT_TRUE(lastError_.empty());
    // No scan of its own, so the board plugged meanwhile is still unknown.
    EXPECT_EQ(backend_.EnumerationCount(), enumerations);
    EXPECT_FALSE(manager_->HasDevices());
}

TEST_F(HidManagerTest, IndicesGoOnCountingAcrossStopAndStart) {
    PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start());
    manager_->Stop();
    ASSERT_TRUE(Start());
    EXPECT_EQ(logs_.Matching("HID device connected:"),
              (std::vector<std::string>{
                  "[INFO] HID device connected: E6614103E7452D2F index=0 role=g1000 fw=1.4.0",
                  "[INFO] HID device connected: E6614103E7452D2F index=1 role=g1000 fw=1.4.0"}));
}

// ---- targets ----

TEST_F(HidManagerTest, FirstMatchingEntryGivesTheRole) {
    HidManagerSettings settings = DefaultSettings();
    settings.devices = {HidDeviceTarget{0x04D8, 0xE6B0, PanelRole::TouchPanel},
                        HidDeviceTarget{0x04D8, 0xE6B0, PanelRole::G1000}};
    PlugBoard("hid#a", 0xE6, "SER");
    ASSERT_TRUE(Start(settings));
    EXPECT_EQ(manager_->CountTouchPanels(), 1u);
    EXPECT_EQ(logs_.Matching("connected"),
              (std::vector<std::string>{
                  "[INFO] HID device connected: SER index=0 role=touchpanel fw=unknown"}));
}

TEST_F(HidManagerTest, EntriesWithoutIdsAreSkipped) {
    HidManagerSettings settings = DefaultSettings();
    settings.devices = {HidDeviceTarget{std::nullopt, 0xE6B0, PanelRole::TouchPanel},
                        HidDeviceTarget{0x04D8, std::nullopt, PanelRole::TouchPanel},
                        HidDeviceTarget{0x04D8, 0xE6B0, PanelRole::G1000}};
    PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start(settings));
    EXPECT_EQ(logs_.Lines(),
              (std::vector<std::string>{
                  "[INFO] HID device connected: E6614103E7452D2F index=0 role=g1000 fw=1.4.0",
                  "[DEBUG] HID protocol info: device=E6614103E7452D2F proto=1.2 flags=0x0A"}));
}

TEST_F(HidManagerTest, WithoutDeviceEntriesTheTopLevelIdsAreOnePanelBoardTarget) {
    HidManagerSettings settings = DefaultSettings();
    settings.devices.clear();
    settings.vendorId = 0x2E8A;
    settings.productId = 0x10F0;
    auto panelIds = PlugPanel("hid#p", "PANEL");  // touch-panel ids, but configured as a board
    PlugBoard("hid#b", 0xE6);                     // board ids, no longer a target
    ASSERT_TRUE(Start(settings));
    EXPECT_EQ(manager_->ListDevices(), (std::vector<HidDeviceEntry>{{"PANEL", 0}}));
    EXPECT_EQ(manager_->CountTouchPanels(), 0u);
    EXPECT_EQ(panelIds->FeatureRequestCount(), 2u);  // asked like any board
}

TEST_F(HidManagerTest, NonMatchingInterfaceIsProbedOnceAndNeverOpened) {
    VirtualHidDeviceSetup setup = VirtualTouchPanelSetup("hid#mouse", 0x046D, 0xC52B, "mouse");
    setup.systemOwned = true;  // like a mouse on Windows: only the probe opens
    auto mouse = backend_.Plug(setup);
    ASSERT_TRUE(Start());
    manager_->Scan();
    manager_->Scan();
    EXPECT_EQ(mouse->OpenAttempts(HidOpenPurpose::Probe), 1u);
    EXPECT_EQ(mouse->OpenAttempts(HidOpenPurpose::Read), 0u);
    EXPECT_EQ(mouse->OpenAttempts(HidOpenPurpose::Write), 0u);
    EXPECT_EQ(mouse->OpenHandleCount(), 0u);
    EXPECT_FALSE(manager_->HasDevices());
    EXPECT_TRUE(logs_.Lines().empty());
}

// ---- naming ----

TEST_F(HidManagerTest, PanelBoardIsNamedByBoardIdElseSerialElsePath) {
    PlugBoard("hid#1", 0xE6, "SER-1");
    PlugPlainBoard("hid#2", "SER-2");
    PlugPlainBoard("hid#3");
    auto wrongId = PlugPlainBoard("hid#4", "SER-4");
    HidProtocol::Report answer = HidProtocol::EncodeDeviceInfoReport(MakeInfo(0x11));
    answer[0] = 0x21;  // the board answered, but with another report
    wrongId->SetFeatureAnswer(0x20, answer);
    ASSERT_TRUE(Start());
    EXPECT_EQ(logs_.Matching("connected"),
              (std::vector<std::string>{
                  "[INFO] HID device connected: E6614103E7452D2F index=0 role=g1000 fw=1.4.0",
                  "[INFO] HID device connected: SER-2 index=1 role=g1000 fw=unknown",
                  "[INFO] HID device connected: hid#3 index=2 role=g1000 fw=unknown",
                  "[INFO] HID device connected: SER-4 index=3 role=g1000 fw=unknown"}));
}

TEST_F(HidManagerTest, TouchPanelIsNamedBySerialElsePathAndNeverAskedForFeatures) {
    auto named = PlugPanel("hid#p1", "TP-7");
    auto unnamed = PlugPanel("hid#p2", "");
    named->SetFeatureAnswer(0x20, HidProtocol::EncodeDeviceInfoReport(MakeInfo(0x99)));
    ASSERT_TRUE(Start());
    EXPECT_EQ(named->FeatureRequestCount(), 0u);
    EXPECT_EQ(unnamed->FeatureRequestCount(), 0u);
    EXPECT_EQ(logs_.Lines(),
              (std::vector<std::string>{
                  "[INFO] HID device connected: TP-7 index=0 role=touchpanel fw=unknown",
                  "[INFO] HID device connected: hid#p2 index=1 role=touchpanel fw=unknown"}));
    EXPECT_EQ(manager_->CountTouchPanels(), 2u);
}

TEST_F(HidManagerTest, ProtocolInfoLineOnlyForBoardsThatAnswer) {
    PlugBoard("hid#a", 0xE6);
    backend_.Plug(VirtualPanelBoardSetup("hid#b", kBoardVid, kBoardPid, MakeInfo(0x01, 2, 0, 7),
                                        std::nullopt));
    ASSERT_TRUE(Start());
    EXPECT_EQ(logs_.Matching("HID protocol info"),
              (std::vector<std::string>{
                  "[DEBUG] HID protocol info: device=E6614103E7452D2F proto=1.2 flags=0x0A"}));
    EXPECT_EQ(logs_.Matching("01614103E7452D2F index=1")[0],
              "[INFO] HID device connected: 01614103E7452D2F index=1 role=g1000 fw=2.0.7");
}

// ---- table, indices, plugging ----

TEST_F(HidManagerTest, IndicesFollowConnectionOrderAndTableFollowsPath) {
    PlugPlainBoard("hid#c", "C");
    PlugPlainBoard("hid#a", "A");
    PlugPanel("hid#b", "B");
    ASSERT_TRUE(Start());
    EXPECT_EQ(manager_->ListDevices(), (std::vector<HidDeviceEntry>{{"A", 1}, {"B", 2}, {"C", 0}}));
    EXPECT_EQ(manager_->CountTouchPanels(), 1u);
}

TEST_F(HidManagerTest, UnplugIsNoticedByTheNextScanAndAReturnIsANewDevice) {
    auto board = PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(board->WaitForPendingRead(5s));
    ASSERT_TRUE(backend_.Unplug("hid#a"));  // in the middle of the pending read
    // The reader ends, but the device stays in the table until a scan misses its path.
    EXPECT_TRUE(WaitUntil([&] { return !board->HasPendingRead(); }));
    EXPECT_TRUE(manager_->HasDevices());
    EXPECT_TRUE(logs_.Matching("disconnected").empty());

    manager_->Scan();
    EXPECT_FALSE(manager_->HasDevices());
    EXPECT_EQ(board->OpenHandleCount(), 0u);
    EXPECT_EQ(logs_.Matching("disconnected"),
              (std::vector<std::string>{"[INFO] HID device disconnected: E6614103E7452D2F"}));

    PlugBoard("hid#a", 0xE6);
    manager_->Scan();
    EXPECT_EQ(manager_->ListDevices(), (std::vector<HidDeviceEntry>{{"E6614103E7452D2F", 1}}));
}

TEST_F(HidManagerTest, PeriodicScanFindsDevicesPluggedLater) {
    ASSERT_TRUE(Start(DefaultSettings(5)));
    PlugPanel("hid#p", "TP");
    EXPECT_TRUE(WaitUntil([&] { return manager_->HasDevices(); }));
    backend_.Unplug("hid#p");
    EXPECT_TRUE(WaitUntil([&] { return !manager_->HasDevices(); }));
}

TEST_F(HidManagerTest, ReturningPathIsIdentifiedAfresh) {
    // Something else sat at this path before; the device that comes back there is a board.
    PlugForeign("hid#x");
    ASSERT_TRUE(Start());
    backend_.Unplug("hid#x");
    manager_->Scan();
    PlugPlainBoard("hid#x", "NOW-A-BOARD");
    manager_->Scan();
    EXPECT_EQ(manager_->ListDevices(), (std::vector<HidDeviceEntry>{{"NOW-A-BOARD", 0}}));
}

TEST_F(HidManagerTest, UnchangedSystemCostsOneEnumerationAndNoProbe) {
    std::vector<std::shared_ptr<VirtualHidDevice>> all;
    for (int i = 0; i < 6; ++i) {
        all.push_back(PlugForeign("hid#other" + std::to_string(i)));
    }
    all.push_back(PlugBoard("hid#board", 0xE6));
    ASSERT_TRUE(Start());
    const auto enumerations = backend_.EnumerationCount();
    for (int i = 0; i < 3; ++i) {
        manager_->Scan();
    }
    EXPECT_EQ(backend_.EnumerationCount(), enumerations + 3);
    for (const auto& device : all) {
        EXPECT_EQ(device->OpenCount(HidOpenPurpose::Probe), 1u) << device->Path();
    }
    EXPECT_EQ(all.back()->OpenCount(HidOpenPurpose::Read), 1u);
}

// ---- open failures ----

TEST_F(HidManagerTest, ReadOpenFailureIsRetriedAtEveryScanAndSaidOnceWhileThePathStays) {
    auto board = PlugBoard("hid#a", 0xE6);
    board->SetOpenFailure(HidOpenPurpose::Read, true);
    ASSERT_TRUE(Start());
    manager_->Scan();
    EXPECT_EQ(board->OpenAttempts(HidOpenPurpose::Read), 2u);
    backend_.Unplug("hid#a");
    manager_->Scan();
    board = PlugBoard("hid#a", 0xE6);  // back again: said again
    board->SetOpenFailure(HidOpenPurpose::Read, true);
    manager_->Scan();
    board->SetOpenFailure(HidOpenPurpose::Read, false);
    manager_->Scan();
    EXPECT_EQ(
        logs_.Matching("HID device"),
        (std::vector<std::string>{
            "[WARN] Failed to open HID device: hid#a", "[WARN] Failed to open HID device: hid#a",
            "[INFO] HID device connected: E6614103E7452D2F index=0 role=g1000 fw=1.4.0"}));
}

TEST_F(HidManagerTest, FailedProbeIsRememberedUntilThePathComesBack) {
    auto board = PlugBoard("hid#a", 0xE6);
    board->SetOpenFailure(HidOpenPurpose::Probe, true);
    ASSERT_TRUE(Start());
    board->SetOpenFailure(HidOpenPurpose::Probe, false);
    manager_->Scan();
    EXPECT_EQ(board->OpenAttempts(HidOpenPurpose::Probe), 1u);
    EXPECT_FALSE(manager_->HasDevices());
    EXPECT_TRUE(logs_.Lines().empty());
    backend_.Unplug("hid#a");
    manager_->Scan();
    PlugBoard("hid#a", 0xE6);
    manager_->Scan();
    EXPECT_TRUE(manager_->HasDevices());
}

TEST_F(HidManagerTest, ReportLengthsOtherThan32AreSaidOnConnect) {
    VirtualHidDeviceSetup setup =
        VirtualPanelBoardSetup("hid#a", kBoardVid, kBoardPid, std::nullopt, std::nullopt, "A");
    setup.reportLengths = HidReportLengths{65, 65, 32};
    backend_.Plug(setup);
    PlugPlainBoard("hid#b", "B");
    ASSERT_TRUE(Start());
    EXPECT_EQ(logs_.Matching("WARN"),
              std::vector<std::string>{"[WARN] HID report lengths of A are in=65 out=65 "
                                       "feature=32, not 32; reports are cut or padded"});
}

TEST_F(HidManagerTest, ReadOnlyBoardDeliversInputWithOutputDisabled) {
    VirtualHidDeviceSetup setup =
        VirtualPanelBoardSetup("hid#ro", kBoardVid, kBoardPid, MakeInfo(0xE6), std::nullopt);
    setup.readOnly = true;
    auto board = backend_.Plug(setup);
    ASSERT_TRUE(Start());
    EXPECT_EQ(logs_.Lines(),
              (std::vector<std::string>{
                  "[WARN] Failed to open HID write handle; output disabled for: hid#ro",
                  "[INFO] HID device connected: E6614103E7452D2F index=0 role=g1000 fw=1.4.0"}));

    HidProtocol::HidEvent event;
    event.type = 1;
    event.controlId = 12;
    event.value = 1;
    board->SendEvent(event);
    ASSERT_TRUE(WaitUntil([&] { return events_.EventCount() == 1; }));

    manager_->SendSimStatus(true);
    EXPECT_FALSE(manager_->SendLedState("E6614103E7452D2F", 0, HidProtocol::LedState{1, 255}));
    manager_->SendBootsel();
    EXPECT_TRUE(board->Writes().empty());
    EXPECT_EQ(logs_.Lines().back(), "[WARN] No HID device accepted BOOTSEL command");
}

// ---- input ----

TEST_F(HidManagerTest, BoardEventReachesTheCallbackWithNameAndIndex) {
    PlugPlainBoard("hid#a", "A");
    auto board = PlugBoard("hid#b", 0xE6);
    ASSERT_TRUE(Start());
    HidProtocol::HidEvent event{7, 2, 0x0123, -3, 4, 1, 0xBEEF};
    ASSERT_TRUE(board->SendEvent(event));
    ASSERT_TRUE(WaitUntil([&] { return events_.EventCount() == 1; }));
    const auto received = events_.Events()[0];
    EXPECT_EQ(received.event, event);
    EXPECT_EQ(received.name, "E6614103E7452D2F");
    EXPECT_EQ(received.index, 1);
}

TEST_F(HidManagerTest, ThirtyOneByteBoardReportIsAnEvent) {
    auto board = PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start());
    std::uint8_t bytes[31] = {0x05, 0x01, 0x00, 0x07, 0x00, 0x01};
    ASSERT_TRUE(board->SendInput(bytes, sizeof bytes));
    ASSERT_TRUE(WaitUntil([&] { return events_.EventCount() == 1; }));
    const HidProtocol::HidEvent event = events_.Events()[0].event;
    EXPECT_EQ(event.reserved, 5);
    EXPECT_EQ(event.type, 1);
    EXPECT_EQ(event.controlId, 7);
    EXPECT_EQ(event.value, 1);
}

TEST_F(HidManagerTest, RejectedReportsAreDroppedSilentlyAndReadingGoesOn) {
    auto board = PlugBoard("hid#a", 0xE6);
    auto panel = PlugPanel("hid#p", "TP");
    ASSERT_TRUE(Start());
    HidProtocol::Report wrongId{};
    wrongId[0] = 0x02;
    board->SendInput(wrongId.data(), wrongId.size());
    board->SendInput(wrongId.data(), 20);
    board->SendSettings(TelemetryProtocol::Settings{3, 1, 90.0f, 180.0f});
    panel->SendEvent(HidProtocol::HidEvent{0, 1, 5, 1, 0, 0, 0});
    const HidProtocol::Report settings =
        TelemetryProtocol::EncodeSettingsReport(TelemetryProtocol::Settings{3, 1, 90.0f, 0.0f});
    panel->SendInput(settings.data(), 31);

    // What comes next is still read: nothing above ended a reader.
    board->SendEvent(HidProtocol::HidEvent{0, 1, 9, 1, 0, 0, 0});
    panel->SendSettings(TelemetryProtocol::Settings{1, 77, 123.5f, 0.0f});
    ASSERT_TRUE(WaitUntil([&] { return events_.EventCount() + events_.SettingsCount() == 2; }));
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(events_.EventCount(), 1u);
    EXPECT_EQ(events_.Events()[0].event.controlId, 9);
    ASSERT_EQ(events_.SettingsCount(), 1u);
    EXPECT_EQ(events_.Settings()[0].name, "TP");
    EXPECT_EQ(events_.Settings()[0].settings.sequence, 77);
    EXPECT_EQ(events_.Settings()[0].settings.headingBug, 123.5f);
    EXPECT_EQ(logs_.Matching("WARN").size(), 0u);
}

TEST_F(HidManagerTest, TraceLogsEveryReportRead) {
    auto board = PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start(DefaultSettings(), true));
    std::uint8_t bytes[31] = {0x05, 0x01, 0x00, 0xAB};
    board->SendInput(bytes, sizeof bytes);
    board->SendEvent(HidProtocol::HidEvent{0, 1, 0x0102, 1, 0, 0, 0});
    ASSERT_TRUE(WaitUntil([&] { return events_.EventCount() == 2; }));
    EXPECT_EQ(
        logs_.Matching("HID IN"),
        (std::vector<std::string>{
            "[DEBUG] HID IN device=E6614103E7452D2F bytes=31 data=050100AB" + std::string(54, '0'),
            "[DEBUG] HID IN device=E6614103E7452D2F bytes=32 data=01000100020101" +
                std::string(50, '0')}));
}

TEST_F(HidManagerTest, NoTraceLinesWithTraceOff) {
    auto board = PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start(DefaultSettings(), false));
    manager_->SendSimStatus(true);
    board->SendEvent(HidProtocol::HidEvent{0, 1, 1, 1, 0, 0, 0});
    ASSERT_TRUE(WaitUntil([&] { return events_.EventCount() == 1; }));
    EXPECT_TRUE(logs_.Matching("HID IN").empty());
    EXPECT_TRUE(logs_.Matching("HID OUT").empty());
}

TEST_F(HidManagerTest, BoardWhoseReadFailsIsReconnectedAndItsPressesWorkAgain) {
    auto board = PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start());  // scans only when asked: the reconnection is the reader's doing
    ASSERT_TRUE(board->WaitForPendingRead(5s));
    board->FailNextRead(HidError::kGenFailure);
    ASSERT_TRUE(WaitUntil([&] { return logs_.Matching("device connected: ").size() == 2; }));
    board->SendEvent(HidProtocol::HidEvent{0, 1, 3, 1, 0, 0, 0});
    ASSERT_TRUE(WaitUntil([&] { return events_.EventCount() == 1; }));
    EXPECT_EQ(events_.Events()[0].index, 1);
    EXPECT_EQ(logs_.Matching("WARN"),
              std::vector<std::string>{
                  "[WARN] HID read failed for E6614103E7452D2F (err=31); reconnecting"});
    EXPECT_EQ(logs_.Matching("HID d"),
              (std::vector<std::string>{
                  "[INFO] HID device connected: E6614103E7452D2F index=0 role=g1000 fw=1.4.0",
                  "[INFO] HID device disconnected: E6614103E7452D2F",
                  "[INFO] HID device connected: E6614103E7452D2F index=1 role=g1000 fw=1.4.0"}));
}

TEST_F(HidManagerTest, RequestedScanRunsOnTheScannerAtOnce) {
    ASSERT_TRUE(Start(DefaultSettings(600000)));
    PlugBoard("hid#a", 0xE6);
    manager_->RequestScan();
    EXPECT_TRUE(WaitUntil([&] { return manager_->HasDevices(); }));
}

TEST_F(HidManagerTest, ScanIntervalBelow100IsRaisedTo100WithAWarning) {
    ASSERT_TRUE(Start(DefaultSettings(0)));
    EXPECT_EQ(logs_.Lines(),
              std::vector<std::string>{"[WARN] hid.scanIntervalMs 0 is below 100; using 100"});
    // Not a busy loop: at most one scan per 100 ms however long the pause really took.
    const auto enumerations = backend_.EnumerationCount();
    const auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(50ms);
    const auto scans = backend_.EnumerationCount() - enumerations;
    EXPECT_LE(scans,
              static_cast<std::uint64_t>((std::chrono::steady_clock::now() - begin) / 100ms) + 1);
}

TEST_F(HidManagerTest, PendingReadSurvivesTimeouts) {
    MakeManager(2ms);
    auto board = PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(board->WaitForPendingRead(5s));
    std::this_thread::sleep_for(60ms);  // some thirty time-outs
    EXPECT_EQ(board->ReadsStarted(), 1u);
    board->SendEvent(HidProtocol::HidEvent{0, 1, 3, 1, 0, 0, 0});
    EXPECT_TRUE(WaitUntil([&] { return events_.EventCount() == 1; }));
}

// A callback may write to the devices (the Application's receivers may grow to do so); a scan
// that disconnects that device meanwhile must not deadlock with it.
TEST_F(HidManagerTest, CallbackWritingToDevicesDoesNotDeadlockWithDisconnect) {
    auto board = PlugBoard("hid#a", 0xE6);
    std::promise<void> entered;
    std::atomic<bool> release{false};
    std::atomic<bool> wrote{false};
    MakeManager();
    std::string error;
    ASSERT_TRUE(manager_->Start(
        DefaultSettings(),
        [&](const HidProtocol::HidEvent&, const std::string& name, int index) {
            entered.set_value();
            while (!release.load()) {
                std::this_thread::sleep_for(1ms);
            }
            manager_->SendLedState(name, index, HidProtocol::LedState{1, 10});
            wrote.store(true);
        },
        error));
    board->SendEvent(HidProtocol::HidEvent{0, 1, 3, 1, 0, 0, 0});
    entered.get_future().wait();
    backend_.Unplug("hid#a");
    auto scan = std::async(std::launch::async, [&] { manager_->Scan(); });
    std::this_thread::sleep_for(20ms);  // the scan is now waiting for the reader
    release.store(true);
    ASSERT_EQ(scan.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(wrote.load());
    EXPECT_FALSE(manager_->HasDevices());
}

// ---- stop ----

TEST_F(HidManagerTest, StopDoesNotWaitForTheScanPause) {
    ASSERT_TRUE(Start(DefaultSettings(600000)));
    const auto begin = std::chrono::steady_clock::now();
    manager_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
}

TEST_F(HidManagerTest, StopClosesEveryDeviceInTableOrderWithoutWaitingForReadSlices) {
    MakeManager(1000ms);
    std::vector<std::shared_ptr<VirtualHidDevice>> boards;
    for (const char* path : {"hid#d", "hid#b", "hid#a", "hid#c"}) {
        boards.push_back(PlugPlainBoard(path, std::string("S-") + path[4]));
    }
    ASSERT_TRUE(Start());
    for (const auto& board : boards) {
        ASSERT_TRUE(board->WaitForPendingRead(5s));
    }
    const auto begin = std::chrono::steady_clock::now();
    manager_->Stop();
    // Reads are cancelled, not waited out: four slices would be four seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_EQ(logs_.Matching("disconnected"),
              (std::vector<std::string>{
                  "[INFO] HID device disconnected: S-a", "[INFO] HID device disconnected: S-b",
                  "[INFO] HID device disconnected: S-c", "[INFO] HID device disconnected: S-d"}));
    for (const auto& board : boards) {
        EXPECT_EQ(board->OpenHandleCount(), 0u);
    }
    EXPECT_FALSE(manager_->HasDevices());
    manager_->Stop();  // a second Stop does nothing
    EXPECT_EQ(logs_.Matching("disconnected").size(), 4u);
}

TEST_F(HidManagerTest, ScanAfterStopOpensNothing) {
    ASSERT_TRUE(Start());
    manager_->Stop();
    auto board = PlugBoard("hid#a", 0xE6);
    manager_->Scan();
    EXPECT_FALSE(manager_->HasDevices());
    EXPECT_EQ(board->OpenCount(HidOpenPurpose::Read), 0u);
}

TEST_F(HidManagerTest, DestroyingARunningManagerClosesItsDevices) {
    auto board = PlugBoard("hid#a", 0xE6);
    ASSERT_TRUE(Start());
    manager_.reset();
    EXPECT_EQ(board->OpenHandleCount(), 0u);
    EXPECT_EQ(logs_.Matching("disconnected").size(), 1u);
}

}  // namespace
}  // namespace tarnwick
