// The touch panels' bridge rules: which panel settings become simulator events with what value,
// and the telemetry throttle and its streaming state, on a hand-moved clock.
#include <chrono>
#include <limits>

#include <gtest/gtest.h>

#include "app/PanelBridgeRules.h"
#include "fakes/ManualClock.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

TEST(PanelBridgeRulesTest, SettingsBecomeWholeDegreeEventsPastAThreshold) {
    test::ManualClock clock;
    PanelBridgeRules rules(clock);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        std::uint16_t sequence;
        std::uint8_t flags;
        float heading, course;
        std::string sent;
    } cases[] = {
        {1, 0x01, 100.4f, 0, "HEADING_BUG_SET 100: Panel heading bug -> 100 (TP)|"},
        {1, 0x01, 300.0f, 0, ""},  // same sequence: a repeated report, ignored whole
        {2, 0x01, 100.5f, 0, ""},  // within 0.125 of the value last forwarded
        {3, 0x01, 100.6f, 0, "HEADING_BUG_SET 101: Panel heading bug -> 101 (TP)|"},
        {4, 0x03, 359.6f, -10.0f,
         "HEADING_BUG_SET 0: Panel heading bug -> 0 (TP)|VOR1_SET 350: Panel course -> 350 (TP)|"},
        {5, 0x02, 0.0f, -0.4f, "VOR1_SET 0: Panel course -> 0 (TP)|"},
        {6, 0x01, nan, 0, ""},
        {7, 0x01, inf, 0, ""},
        {8, 0x01, 720.5f, 0, "HEADING_BUG_SET 1: Panel heading bug -> 1 (TP)|"},
    };
    for (const auto& c : cases) {
        std::string sent;
        for (const auto& event :
             rules.OnSettings({c.flags, c.sequence, c.heading, c.course}, "TP")) {
            sent += event.eventName + " " + std::to_string(event.degrees) + ": " + event.debugLine +
                    "|";
        }
        EXPECT_EQ(sent, c.sent) << "sequence " << c.sequence;
    }
}

TEST(PanelBridgeRulesTest, TelemetryIsThrottledAndReportsStreamingChanges) {
    test::ManualClock clock;
    PanelBridgeRules rules(clock);
    EXPECT_TRUE(rules.TelemetryDue(50ms));  // the first always goes
    EXPECT_FALSE(rules.TelemetryDue(50ms));
    clock.Advance(49ms);
    EXPECT_FALSE(rules.TelemetryDue(50ms));
    clock.Advance(1ms);
    EXPECT_TRUE(rules.TelemetryDue(50ms));
    clock.Advance(10ms);
    EXPECT_FALSE(rules.TelemetryDue(50ms));  // counted from the frame that went

    const std::optional<std::string> none;
    EXPECT_EQ(rules.TelemetrySent(0), none);
    EXPECT_EQ(rules.TelemetrySent(2), "Telemetry streaming to 2 touch panel(s)");
    EXPECT_EQ(rules.TelemetrySent(1), none);
    EXPECT_EQ(rules.TelemetrySent(0), "Telemetry paused; no touch panel connected");
    EXPECT_EQ(rules.TelemetrySent(0), none);
}

}  // namespace
}  // namespace tarnwick
