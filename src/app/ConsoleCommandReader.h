// The console commands of a bridge started with "--console": "bootsel" puts every board into its
// boot loader, "telemetry" streams ten seconds of made-up flight data to the touch panels, "quit"
// stops the bridge.
#pragma once

#include <istream>
#include <memory>

#include "app/ConsoleLink.h"
#include "hid/TelemetryProtocol.h"

namespace tarnwick {

// The thread body: reads lines from `input` until it ends, "quit", or a stop is requested (seen
// after the next line). Reaches the Application only through `link`.
void ConsoleCommandReader(std::shared_ptr<ConsoleLink> link, std::istream& input);

// The synthetic telemetry record of step i.
TelemetryProtocol::Values SyntheticTelemetry(int step);

}  // namespace tarnwick
