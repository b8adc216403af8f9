// The touch panels' bridge rules: which panel settings become simulator events with what value,
// and the telemetry throttle and its streaming state, on a hand-moved clock.
#include <chrono>
#include <cmath>

#include <gtest/gtest.h>

#include "app/PanelBridgeRules.h"
#include "fakes/ManualClock.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

TEST(PanelBridgeRulesTest, SettingsBecomeWholeDegreeEventsAndTelemetryIsThrottled) {
    test::ManualClock clock;
    PanelBridgeRules rules(clock);
    // Settings: flags, sequence, heading bug, course.
    const std::pair<TelemetryProtocol::Settings, std::string> cases[] = {
        {{0x01, 1, 100.4f, 0}, "HEADING_BUG_SET 100: Panel heading bug -> 100 (TP)|"},
        {{0x01, 1, 300.0f, 0}, ""},  // same sequence: a repeated report, ignored whole
        {{0x01, 2, 100.5f, 0}, ""},  // within 0.125 of the value last forwarded
        {{0x01, 3, 100.6f, 0}, "HEADING_BUG_SET 101: Panel heading bug -> 101 (TP)|"},
        {{0x03, 4, 359.6f, -10.0f},
         "HEADING_BUG_SET 0: Panel heading bug -> 0 (TP)|VOR1_SET 350: Panel course -> 350 (TP)|"},
        {{0x02, 5, 0.0f, -0.4f}, "VOR1_SET 0: Panel course -> 0 (TP)|"},
        {{0x03, 6, NAN, INFINITY}, ""},
        {{0x01, 7, 720.5f, 0}, "HEADING_BUG_SET 1: Panel heading bug -> 1 (TP)|"},
    };
    for (const auto& [settings, expected] : cases) {
        std::string sent;
        for (const auto& event : rules.OnSettings(settings, "TP")) {
            sent += event.eventName + " " + std::to_string(event.degrees) + ": " + event.debugLine +
                    "|";
        }
        EXPECT_EQ(sent, expected) << "sequence " << settings.sequence;
    }

    // Telemetry: the first frame always goes; the interval counts from the frame that went.
    std::string due;
    for (const auto step : {0ms, 0ms, 49ms, 1ms, 10ms}) {
        clock.Advance(step);
        due += rules.TelemetryDue(50ms) ? "1" : "0";
    }
    EXPECT_EQ(due, "10010");

    std::string lines;
    for (const unsigned sentTo : {0, 2, 1, 0, 0}) {
        lines += rules.TelemetrySent(sentTo).value_or("-") + "|";
    }
    EXPECT_EQ(lines,
              "-|Telemetry streaming to 2 touch panel(s)|-|Telemetry paused; no touch panel "
              "connected|-|");
}

}  // namespace
}  // namespace tarnwick
