#include "hid/HidProtocol.h"

#include <string>

#include "platform/ByteOrder.h"

namespace tarnwick::HidProtocol {
namespace {

constexpr const char* kInvalidLength = "Invalid report length";
constexpr const char* kUnexpectedId = "Unexpected report ID";

// Offsets of the input payload, relative to its first byte (byte 1 of a report with its ID).
// Payload byte 2, between type and controlId, carries nothing the program reads.
constexpr std::size_t kInReserved = 0;
constexpr std::size_t kInType = 1;
constexpr std::size_t kInControlId = 3;
constexpr std::size_t kInValue = 5;
constexpr std::size_t kInSpeed = 6;
constexpr std::size_t kInMode = 7;
constexpr std::size_t kInExtra = 8;

// Device-info answer: bytes 1-2 and 6-10 are not interpreted.
constexpr std::size_t kDiFirmwareMajor = 3;
constexpr std::size_t kDiFirmwareMinor = 4;
constexpr std::size_t kDiFirmwarePatch = 5;
constexpr std::size_t kDiBoardId = 11;

constexpr std::uint8_t Id(ReportId id) {
    return static_cast<std::uint8_t>(id);
}

using bytes::ReadU16;
using bytes::WriteU16;

Report EmptyReport(ReportId id) {
    Report report{};
    report[0] = Id(id);
    return report;
}

}  // namespace

Result DecodeInputReport(const std::uint8_t* bytes, std::size_t length, HidEvent& event) {
    if (bytes == nullptr) {
        length = 0;
    }
    const std::uint8_t* p = nullptr;
    if (length == kInputReportSizeWithoutId) {
        p = bytes;
    } else if (length < kReportSize) {
        return Result::Failure(kInvalidLength);
    } else if (bytes[0] != Id(ReportId::Input)) {
        return Result::Failure(kUnexpectedId);
    } else {
        p = bytes + 1;
    }
    event.reserved = p[kInReserved];
    event.type = p[kInType];
    event.controlId = ReadU16(p + kInControlId);
    event.value = static_cast<std::int8_t>(p[kInValue]);
    event.speed = p[kInSpeed];
    event.mode = p[kInMode];
    event.extra = ReadU16(p + kInExtra);
    return Result::Success();
}

Result DecodeDeviceInfoReport(std::span<const std::uint8_t> buffer, DeviceInfo& info) {
    if (buffer.size() < kReportSize) {
        return Result::Failure(kInvalidLength);
    }
    if (buffer[0] != Id(ReportId::DeviceInfo)) {
        return Result::Failure(kUnexpectedId);
    }
    info.firmwareMajor = buffer[kDiFirmwareMajor];
    info.firmwareMinor = buffer[kDiFirmwareMinor];
    info.firmwarePatch = buffer[kDiFirmwarePatch];
    for (std::size_t i = 0; i < info.boardId.size(); ++i) {
        info.boardId[i] = buffer[kDiBoardId + i];
    }
    return Result::Success();
}

Result DecodeProtocolInfoReport(std::span<const std::uint8_t> buffer, ProtocolInfo& info) {
    if (buffer.size() < kReportSize) {
        return Result::Failure(kInvalidLength);
    }
    if (buffer[0] != Id(ReportId::ProtocolInfo)) {
        return Result::Failure(kUnexpectedId);
    }
    info.major = buffer[1];
    info.minor = buffer[2];
    info.flags = buffer[3];
    return Result::Success();
}

Report EncodeSimStatusReport(bool connected) {
    Report report = EmptyReport(ReportId::SimStatus);
    report[1] = connected ? 1 : 0;
    return report;
}

Report EncodeLedControlReport(const LedState& state) {
    Report report = EmptyReport(ReportId::LedControl);
    report[1] = state.effect;
    report[2] = state.brightness;
    report[3] = state.param0;
    WriteU16(&report[4], state.param1);
    report[6] = state.param2;
    return report;
}

Report EncodeBootselReport() {
    Report report = EmptyReport(ReportId::DeviceControl);
    report[1] = kDeviceControlBootsel;
    return report;
}

Report EncodeInputReport(const HidEvent& event) {
    Report report = EmptyReport(ReportId::Input);
    std::uint8_t* p = &report[1];
    p[kInReserved] = event.reserved;
    p[kInType] = event.type;
    WriteU16(p + kInControlId, event.controlId);
    p[kInValue] = static_cast<std::uint8_t>(event.value);
    p[kInSpeed] = event.speed;
    p[kInMode] = event.mode;
    WriteU16(p + kInExtra, event.extra);
    return report;
}

Report EncodeDeviceInfoReport(const DeviceInfo& info) {
    Report report = EmptyReport(ReportId::DeviceInfo);
    report[kDiFirmwareMajor] = info.firmwareMajor;
    report[kDiFirmwareMinor] = info.firmwareMinor;
    report[kDiFirmwarePatch] = info.firmwarePatch;
    for (std::size_t i = 0; i < info.boardId.size(); ++i) {
        report[kDiBoardId + i] = info.boardId[i];
    }
    return report;
}

Report EncodeProtocolInfoReport(const ProtocolInfo& info) {
    Report report = EmptyReport(ReportId::ProtocolInfo);
    report[1] = info.major;
    report[2] = info.minor;
    report[3] = info.flags;
    return report;
}

const char* EventTypeName(EventType type) {
    switch (type) {
        case EventType::ButtonPress:
            return "BUTTON_PRESS";
        case EventType::ButtonRelease:
            return "BUTTON_RELEASE";
        case EventType::Hold:
            return "HOLD";
        case EventType::EncoderCw:
            return "ENC_CW";
        case EventType::EncoderCcw:
            return "ENC_CCW";
        case EventType::None:
            break;
    }
    return "NONE";
}

EventType ClassifyEvent(const HidEvent& event) {
    if (event.type == kControlTypeButton) {
        switch (event.value) {
            case 0:
                return EventType::ButtonRelease;
            case 1:
                return EventType::ButtonPress;
            case 2:
            case 3:
            case 4:
                return EventType::Hold;
            default:
                return EventType::None;
        }
    }
    if (event.type == kControlTypeEncoder) {
        if (event.value > 0) {
            return EventType::EncoderCw;
        }
        if (event.value < 0) {
            return EventType::EncoderCcw;
        }
    }
    return EventType::None;
}

std::string FormatBoardId(const DeviceInfo& info) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(info.boardId.size() * 2);
    for (const std::uint8_t byte : info.boardId) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::string FormatFirmwareVersion(const DeviceInfo& info) {
    return std::to_string(info.firmwareMajor) + "." + std::to_string(info.firmwareMinor) + "." +
           std::to_string(info.firmwarePatch);
}

}  // namespace tarnwick::HidProtocol
