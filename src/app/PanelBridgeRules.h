// The rules between the touch panels and the simulator, apart from acting on them: when a
// telemetry frame is due, when streaming starts and pauses, and which panel settings become
// simulator events with what value. No threads and no locks; the caller serialises each half.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hid/TelemetryProtocol.h"
#include "platform/Clock.h"

namespace tarnwick {

class PanelBridgeRules {
public:
    // `clock` must outlive the rules.
    explicit PanelBridgeRules(const Clock& clock = Clock::Steady()) : clock_(clock) {}

    // Telemetry half (one thread). True when a frame may go now, at most one per `interval`;
    // the first always goes. A true answer counts as sent.
    bool TelemetryDue(std::chrono::milliseconds interval);
    // After a frame went to `panels` touch panels: the INFO line when streaming starts or
    // pauses, else nothing.
    std::optional<std::string> TelemetrySent(unsigned panels);

    // Settings half (one caller at a time).
    struct SimEvent {
        std::string eventName;
        std::uint32_t degrees = 0;
        std::string debugLine;  // logged once the event went
    };
    // The events a settings report from `deviceName` asks for: none for a repeated sequence;
    // heading bug then course, each when valid, finite and moved by more than 0.125 degrees
    // (the first report forwards any finite value). Every event returned counts as forwarded.
    std::vector<SimEvent> OnSettings(const TelemetryProtocol::Settings& settings,
                                     const std::string& deviceName);

    // Degrees folded into 0..359 and rounded half away from zero: 359.6 gives 0, -10 gives 350.
    static std::uint32_t WholeDegrees(float degrees);

private:
    const Clock& clock_;
    std::optional<Clock::TimePoint> lastTelemetry_;
    bool streaming_ = false;

    bool haveSettings_ = false;
    std::uint16_t lastSettingsSequence_ = 0;
    float lastHeadingBug_ = 0.0f;
    float lastCourse_ = 0.0f;
};

}  // namespace tarnwick
