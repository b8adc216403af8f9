// One telemetry record from the simulator: the fourteen variables the SimConnect client
// subscribes to, in subscription order, scaled and rounded to single precision.
#pragma once

#include <array>
#include <cstddef>

namespace tarnwick {

struct SimTelemetry {
    // Positions in values.
    enum Index : std::size_t {
        kMagneticHeading = 0,           // degrees
        kPitch = 1,                     // degrees
        kBank = 2,                      // degrees
        kTurnRate = 3,                  // degrees per second
        kLateralAcceleration = 4,       // g
        kIndicatedAirspeed = 5,         // knots
        kIndicatedAltitude = 6,         // feet
        kAltimeterSetting = 7,          // inHg
        kOutsideAirTemperature = 8,     // degrees Celsius
        kMainBusVoltage = 9,            // volts
        kNav1CourseDeviation = 10,      // the simulator's own scale
        kNav1Radial = 11,               // degrees
        kNav1GlideSlopeDeviation = 12,  // the simulator's own scale
        kAutopilotHeadingBug = 13,      // degrees
    };
    static constexpr std::size_t kCount = 14;

    std::array<float, kCount> values{};

    float& operator[](std::size_t index) { return values[index]; }
    const float& operator[](std::size_t index) const { return values[index]; }
};

}  // namespace tarnwick
