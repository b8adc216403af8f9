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
    struct Case {
        std::uint16_t sequence;
        std::uint8_t flags;
        float heading;
        float course;
        std::vector<std::pair<std::string, std::uint32_t>> events;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {1, 0x01, 100.0f, 0, {{"HEADING_BUG_SET", 100}}},
        {1, 0x01, 300.0f, 0, {}},  // same sequence: a repeated report, ignored whole
        {2, 0x01, 100.1f, 0, {}},  // within 0.125 of the value last forwarded
        {3, 0x01, 100.2f, 0, {{"HEADING_BUG_SET", 100}}},  // 0.2 away from 100.0
        {4, 0x03, 359.6f, -10.0f, {{"HEADING_BUG_SET", 0}, {"VOR1_SET", 350}}},
        {5, 0x02, 0.0f, -0.4f, {{"VOR1_SET", 0}}},
        {6, 0x01, nan, 0, {}},
        {7, 0x01, inf, 0, {}},
        {8, 0x01, 720.5f, 0, {{"HEADING_BUG_SET", 1}}},
    };
    for (const Case& c : cases) {
        const auto events = rules.OnSettings(
            TelemetryProtocol::Settings{c.flags, c.sequence, c.heading, c.course}, "TP");
        ASSERT_EQ(events.size(), c.events.size()) << "sequence " << c.sequence;
        for (std::size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].eventName, c.events[i].first) << c.sequence;
            EXPECT_EQ(events[i].degrees, c.events[i].second) << c.sequence;
        }
    }
    const auto first = PanelBridgeRules(clock).OnSettings(
        TelemetryProtocol::Settings{0x03, 1, 10.4f, 20.6f}, "TP");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].debugLine, "Panel heading bug -> 10 (TP)");
    EXPECT_EQ(first[1].debugLine, "Panel course -> 21 (TP)");
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
