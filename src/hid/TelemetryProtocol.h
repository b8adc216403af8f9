// The bytes exchanged with touch panels: telemetry reports out (0x31), settings reports in
// (0x32). Pure functions, like the panel-board codecs they share the 32-byte report with.
// Floating-point values travel as IEEE 754 binary32 bit patterns, least significant byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "hid/HidProtocol.h"

namespace tarnwick::TelemetryProtocol {

// Positions in Values, in the order the simulator variables are subscribed.
enum ValueIndex : std::size_t {
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

inline constexpr std::size_t kValueCount = 14;
// Values travel as two pages of seven with the same sequence number.
inline constexpr std::size_t kValuesPerPage = 7;
inline constexpr int kPageCount = 2;

// One telemetry record from the simulator.
struct Values {
    std::array<float, kValueCount> values{};

    float& operator[](std::size_t index) { return values[index]; }
    const float& operator[](std::size_t index) const { return values[index]; }
};

// Bits of Settings::flags; the other bits carry nothing the program reads.
inline constexpr std::uint8_t kHeadingBugValid = 0x01;
inline constexpr std::uint8_t kCourseValid = 0x02;

// The settings a touch panel reports.
struct Settings {
    std::uint8_t flags = 0;
    std::uint16_t sequence = 0;  // a repeated number marks a repeated record
    float headingBug = 0.0f;     // degrees
    float course = 0.0f;         // VOR 1 OBS, degrees
};

// One telemetry report as a touch panel receives it.
struct TelemetryPage {
    std::uint8_t page = 0;
    std::uint16_t sequence = 0;
    std::array<float, kValuesPerPage> values{};
};

// Accepts only a report of exactly 32 bytes starting with 0x32; anything else is not a settings
// report and returns false with `settings` untouched. A null `bytes` counts as length 0.
bool DecodeSettingsReport(const std::uint8_t* bytes, std::size_t length, Settings& settings);

// Page 0 carries values 0 to 6, page 1 values 7 to 13, each as its exact bit pattern. Any other
// page yields 32 zero bytes.
HidProtocol::Report EncodeTelemetryReport(const Values& values, int page, std::uint16_t sequence);

// The touch panel's side, for virtual panels and tests.
HidProtocol::Report EncodeSettingsReport(const Settings& settings);
// Accepts exactly 32 bytes starting with 0x31 whose page is 0 or 1.
bool DecodeTelemetryReport(const std::uint8_t* bytes, std::size_t length, TelemetryPage& page);

}  // namespace tarnwick::TelemetryProtocol
