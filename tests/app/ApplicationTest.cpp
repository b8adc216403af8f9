// The Application in-process over the virtual cockpit: the telemetry and panel-settings bridge,
// where the rules are about numbers that the end-to-end runs cannot pin down.
#include "app/Application.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "log/Logger.h"
#include "support/InProcessBridge.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

class ApplicationTest : public testing::Test {
protected:
    void SetUp() override {
        dir_.Write("config/config.json", R"js({
          "hid": { "devices": [
            { "vid": "0x2E8A", "pid": "0x10F0" },
            { "vid": "0x2E8A", "pid": "0x10F1", "role": "touchpanel" } ],
            "telemetryIntervalMs": 50 },
          "mappings": { "buttonConfigPath": "buttons.json" } })js");
        dir_.Write("config/buttons.json", "{}");
        cockpit_ = test::MakeCockpit(R"js({ "devices": [
            { "name": "pfd", "vid": "0x2E8A", "pid": "0x10F0", "boardId": "0011223344556677" },
            { "name": "touch", "role": "touchpanel", "vid": "0x2E8A", "pid": "0x10F1",
              "serial": "TP" } ], "simulator": {} })js");
        app_ = std::make_unique<Application>(test::CockpitPlatform(services_, *cockpit_, false));
        std::string error;
        ASSERT_TRUE(app_->Initialize(dir_.File("config/config.json"), false, error)) << error;
        ASSERT_TRUE(test::WaitUntil([this] { return !cockpit_->Simulator().OpenedClientNames().empty(); }));
        // The connection handler runs right after the open; give it its moment.
        ASSERT_TRUE(test::WaitUntil([this] { return cockpit_->Simulator().OpenConnectionCount() == 1; }));
        std::this_thread::sleep_for(50ms);
        cockpit_->Simulator().ClearRecords();
    }
    void TearDown() override {
        if (app_ != nullptr) {
            app_->RequestStop();
            app_->Run();
            app_.reset();
        }
        Logger::Instance().Shutdown();
    }

    std::vector<TransmittedEvent> Events() { return cockpit_->Simulator().Events(); }
    void Settings(std::uint16_t sequence, std::uint8_t flags, float heading, float course = 0) {
        app_->OnPanelSettings(TelemetryProtocol::Settings{flags, sequence, heading, course}, "TP");
    }

    test::TempDir dir_;
    std::unique_ptr<VirtualCockpit> cockpit_;
    test::FakeServices services_{dir_.File("TarnwickHID.exe"), {}};
    std::unique_ptr<Application> app_;
};

TEST_F(ApplicationTest, PanelSettingsBecomeWholeDegreeEventsPastAThreshold) {
    Settings(1, 0x01, 100.0f);
    Settings(1, 0x01, 300.0f);  // same sequence: a repeated report, ignored whole
    Settings(2, 0x01, 100.1f);  // within 0.125 of the value last forwarded
    Settings(3, 0x01, 100.2f);  // 0.2 away from 100.0
    Settings(4, 0x03, 359.6f, -10.0f);
    Settings(5, 0x02, 0.0f, -0.4f);
    Settings(6, 0x01, std::numeric_limits<float>::quiet_NaN());
    Settings(7, 0x01, std::numeric_limits<float>::infinity());
    Settings(8, 0x01, 720.5f);

    const std::vector<std::pair<std::string, std::uint32_t>> expected = {
        {"HEADING_BUG_SET", 100}, {"HEADING_BUG_SET", 100}, {"HEADING_BUG_SET", 0},
        {"VOR1_SET", 350},        {"VOR1_SET", 0},          {"HEADING_BUG_SET", 1}};
    ASSERT_TRUE(test::WaitUntil([&] { return Events().size() >= expected.size(); }));
    const auto events = Events();
    ASSERT_EQ(events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(events[i].name, expected[i].first) << i;
        EXPECT_EQ(events[i].value, expected[i].second) << i;
    }
}

TEST_F(ApplicationTest, TelemetryIsThrottledToTheInterval) {
    auto touch = cockpit_->HidBackendFor().Devices().back();
    // The simulator streams telemetry on its own; stop it and count what this test sends.
    cockpit_->Simulator().SetRunning(false);
    ASSERT_TRUE(test::WaitUntil([this] { return cockpit_->Simulator().OpenConnectionCount() == 0; }));
    std::this_thread::sleep_for(60ms);
    touch->ClearWrites();
    SimTelemetry values;
    app_->OnTelemetry(values);  // forwarded
    app_->OnTelemetry(values);  // 0 ms later: dropped
    std::this_thread::sleep_for(60ms);
    app_->OnTelemetry(values);  // forwarded
    // Two pages per forwarded record.
    EXPECT_EQ(touch->ReceivedReports().size(), 4u);
}

}  // namespace
}  // namespace tarnwick
