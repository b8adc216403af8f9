// The bytes exchanged with panel boards: input events, LED and device control, simulator status,
// and the device-information and protocol-information feature reports. Pure functions without
// state, locks or input/output, so that they can be tested and fuzzed without a device.
//
// Every report is 32 bytes whose byte 0 is the report ID, except that a panel board's input
// report may arrive as 31 bytes without its ID. Multi-byte integers are little-endian. Bytes that
// a layout does not name are 0 when sent and ignored when received.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/Result.h"

namespace tarnwick::HidProtocol {

enum class ReportId : std::uint8_t {
    Input = 0x01,          // panel board to host, interrupt input
    LedControl = 0x10,     // host to panel board, "led_ctl"
    SimStatus = 0x11,      // host to panel board, "sim_status"
    DeviceControl = 0x12,  // host to panel board, "device_ctl"
    DeviceInfo = 0x20,     // panel board feature report
    ProtocolInfo = 0x21,   // panel board feature report, "HID protocol info"
    Telemetry = 0x31,      // host to touch panel
    Settings = 0x32,       // touch panel to host, interrupt input
};

inline constexpr std::size_t kReportSize = 32;
// An input report read without its report ID byte.
inline constexpr std::size_t kInputReportSizeWithoutId = 31;

using Report = std::array<std::uint8_t, kReportSize>;

// The one device_ctl action the program sends: reboot the board into its boot loader.
inline constexpr std::uint8_t kDeviceControlBootsel = 0x02;

// Codes of HidEvent::type.
inline constexpr std::uint8_t kControlTypeButton = 1;
inline constexpr std::uint8_t kControlTypeEncoder = 2;

// One input event of a panel board.
struct HidEvent {
    std::uint8_t reserved = 0;  // carried along, not interpreted
    std::uint8_t type = 0;      // 1 button, 2 encoder, anything else classifies as None
    std::uint16_t controlId = 0;
    // Button: 0 released, 1 pressed, 2 to 4 held. Encoder: signed detents, positive clockwise.
    std::int8_t value = 0;
    std::uint8_t speed = 0;
    std::uint8_t mode = 0;    // 0 PFD, 1 MFD; other values are the mapping engine's to treat
    std::uint16_t extra = 0;  // carried along, not interpreted

    friend bool operator==(const HidEvent&, const HidEvent&) = default;
};

// The action an event means.
enum class EventType : std::uint8_t {
    None = 0,
    ButtonPress = 1,
    ButtonRelease = 2,
    Hold = 3,
    EncoderCw = 4,
    EncoderCcw = 5,
};

// The LED command for one panel board.
struct LedState {
    std::uint8_t effect = 0;  // 0 off, 1 steady, 2 breathe, 3 flash
    std::uint8_t brightness = 0;
    std::uint8_t param0 = 0;
    std::uint16_t param1 = 0;
    std::uint8_t param2 = 0;

    friend bool operator==(const LedState&, const LedState&) = default;
};

// Identity of a panel board, from feature report 0x20.
struct DeviceInfo {
    std::uint8_t firmwareMajor = 0;
    std::uint8_t firmwareMinor = 0;
    std::uint8_t firmwarePatch = 0;
    std::array<std::uint8_t, 8> boardId{};

    friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// The protocol version a panel board implements, from feature report 0x21.
struct ProtocolInfo {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint8_t flags = 0;  // only logged

    friend bool operator==(const ProtocolInfo&, const ProtocolInfo&) = default;
};

// Decodes a panel board's input report of `length` bytes: 31 bytes are taken as the payload
// without its ID; 32 or more must start with ID 0x01 (bytes past the layout are ignored).
// Rejections leave `event` untouched and fail with "Invalid report length" or "Unexpected
// report ID". Reads nothing beyond `length`; a null `bytes` counts as length 0.
Result DecodeInputReport(const std::uint8_t* bytes, std::size_t length, HidEvent& event);

// Decode a feature report answer (ID 0x20 or 0x21 still in byte 0). A buffer shorter than 32
// bytes is rejected with "Invalid report length", a wrong ID with "Unexpected report ID";
// `info` is only written on success.
Result DecodeDeviceInfoReport(std::span<const std::uint8_t> buffer, DeviceInfo& info);
Result DecodeProtocolInfoReport(std::span<const std::uint8_t> buffer, ProtocolInfo& info);

// Host-to-board reports.
Report EncodeSimStatusReport(bool connected);
Report EncodeLedControlReport(const LedState& state);
Report EncodeBootselReport();

// The board's side of the conversation, for virtual boards and tests: an input report with its
// ID byte, and the feature answers as a board fills them in.
Report EncodeInputReport(const HidEvent& event);
Report EncodeDeviceInfoReport(const DeviceInfo& info);
Report EncodeProtocolInfoReport(const ProtocolInfo& info);

// "NONE", "BUTTON_PRESS", "BUTTON_RELEASE", "HOLD", "ENC_CW", "ENC_CCW"; an unknown code (a value
// cast into the enumeration) reads as "NONE".
const char* EventTypeName(EventType type);

// Button: value 1 press, 0 release, 2 to 4 hold, else None. Encoder: sign of value (0 is None).
// Any other type is None.
EventType ClassifyEvent(const HidEvent& event);

// The board id as 16 upper-case hexadecimal digits: the device name of a panel board.
std::string FormatBoardId(const DeviceInfo& info);

// "major.minor.patch" in decimal, for example "1.4.0".
std::string FormatFirmwareVersion(const DeviceInfo& info);

}  // namespace tarnwick::HidProtocol
