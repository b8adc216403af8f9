#include "hid/TelemetryProtocol.h"

#include "platform/ByteOrder.h"

namespace tarnwick::TelemetryProtocol {
namespace {

using HidProtocol::kReportSize;
using HidProtocol::Report;
using HidProtocol::ReportId;

// Both reports: byte 0 ID, byte 1 page or flags, bytes 2-3 sequence, f32 fields from byte 4.
constexpr std::size_t kSequenceOffset = 2;
constexpr std::size_t kFirstFloatOffset = 4;
constexpr std::size_t kSettingsCourseOffset = 8;

static_assert(kFirstFloatOffset + kValuesPerPage * 4 == kReportSize,
              "a telemetry page fills the report exactly");
static_assert(kValuesPerPage * kPageCount == kValueCount);

constexpr std::uint8_t Id(ReportId id) {
    return static_cast<std::uint8_t>(id);
}

using bytes::ReadF32;
using bytes::ReadU16;
using bytes::WriteF32;
using bytes::WriteU16;

}  // namespace

bool DecodeSettingsReport(const std::uint8_t* bytes, std::size_t length, Settings& settings) {
    if (bytes == nullptr || length != kReportSize || bytes[0] != Id(ReportId::Settings)) {
        return false;
    }
    settings.flags = bytes[1];
    settings.sequence = ReadU16(bytes + kSequenceOffset);
    settings.headingBug = ReadF32(bytes + kFirstFloatOffset);
    settings.course = ReadF32(bytes + kSettingsCourseOffset);
    return true;
}

Report EncodeTelemetryReport(const Values& values, int page, std::uint16_t sequence) {
    Report report{};
    if (page < 0 || page >= kPageCount) {
        return report;
    }
    report[0] = Id(ReportId::Telemetry);
    report[1] = static_cast<std::uint8_t>(page);
    WriteU16(&report[kSequenceOffset], sequence);
    const std::size_t first = kValuesPerPage * static_cast<std::size_t>(page);
    for (std::size_t i = 0; i < kValuesPerPage; ++i) {
        WriteF32(&report[kFirstFloatOffset + 4 * i], values[first + i]);
    }
    return report;
}

Report EncodeSettingsReport(const Settings& settings) {
    Report report{};
    report[0] = Id(ReportId::Settings);
    report[1] = settings.flags;
    WriteU16(&report[kSequenceOffset], settings.sequence);
    WriteF32(&report[kFirstFloatOffset], settings.headingBug);
    WriteF32(&report[kSettingsCourseOffset], settings.course);
    return report;
}

bool DecodeTelemetryReport(const std::uint8_t* bytes, std::size_t length, TelemetryPage& page) {
    if (bytes == nullptr || length != kReportSize || bytes[0] != Id(ReportId::Telemetry) ||
        bytes[1] >= kPageCount) {
        return false;
    }
    page.page = bytes[1];
    page.sequence = ReadU16(bytes + kSequenceOffset);
    for (std::size_t i = 0; i < kValuesPerPage; ++i) {
        page.values[i] = ReadF32(bytes + kFirstFloatOffset + 4 * i);
    }
    return true;
}

}  // namespace tarnwick::TelemetryProtocol
