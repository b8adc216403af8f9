#include "app/PanelBridgeRules.h"

#include <cmath>

namespace tarnwick {
namespace {

constexpr float kSettingsThreshold = 0.125f;

}  // namespace

bool PanelBridgeRules::TelemetryDue(std::chrono::milliseconds interval) {
    const Clock::TimePoint now = clock_.Now();
    if (lastTelemetry_ && now - *lastTelemetry_ < interval) {
        return false;
    }
    lastTelemetry_ = now;
    return true;
}

std::optional<std::string> PanelBridgeRules::TelemetrySent(unsigned panels) {
    if (panels > 0 && !streaming_) {
        streaming_ = true;
        return "Telemetry streaming to " + std::to_string(panels) + " touch panel(s)";
    }
    if (panels == 0 && streaming_) {
        streaming_ = false;
        return "Telemetry paused; no touch panel connected";
    }
    return std::nullopt;
}

std::vector<PanelBridgeRules::SimEvent> PanelBridgeRules::OnSettings(
    const TelemetryProtocol::Settings& settings, const std::string& deviceName) {
    std::vector<SimEvent> events;
    if (haveSettings_ && settings.sequence == lastSettingsSequence_) {
        return events;
    }
    const auto forward = [&](float value, float& last, const char* eventName, const char* label) {
        // A panel that sends garbage (NaN, infinity) must not become an event value.
        if (!std::isfinite(value) ||
            (haveSettings_ && std::fabs(value - last) <= kSettingsThreshold)) {
            return;
        }
        const std::uint32_t degrees = WholeDegrees(value);
        events.push_back(SimEvent{
            eventName, degrees,
            std::string(label) + " -> " + std::to_string(degrees) + " (" + deviceName + ")"});
        last = value;
    };
    if ((settings.flags & TelemetryProtocol::kHeadingBugValid) != 0) {
        forward(settings.headingBug, lastHeadingBug_, "HEADING_BUG_SET", "Panel heading bug");
    }
    if ((settings.flags & TelemetryProtocol::kCourseValid) != 0) {
        forward(settings.course, lastCourse_, "VOR1_SET", "Panel course");
    }
    lastSettingsSequence_ = settings.sequence;
    haveSettings_ = true;
    return events;
}

std::uint32_t PanelBridgeRules::WholeDegrees(float degrees) {
    double x = std::fmod(static_cast<double>(degrees), 360.0);
    if (x < 0) {
        x += 360.0;
    }
    return static_cast<std::uint32_t>(std::round(x)) % 360u;
}

}  // namespace tarnwick
