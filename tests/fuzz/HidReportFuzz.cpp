// libFuzzer target for the HID report codecs. Every decoder sees the input as a report of
// exactly its length, copied into a heap block of that size so that the address sanitizer
// catches any read past the end. Accepted reports are checked against the byte layout and
// round-tripped through the matching encoder; the host-side encoders are fed from the input too.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "hid/HidProtocol.h"
#include "hid/TelemetryProtocol.h"

namespace {

using namespace tarnwick;
using HidProtocol::kReportSize;
using HidProtocol::Report;

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool SameBytes(const Report& report, const std::uint8_t* bytes, std::size_t count) {
    return std::memcmp(report.data(), bytes, count) == 0;
}

bool ZeroFrom(const Report& report, std::size_t first) {
    for (std::size_t i = first; i < report.size(); ++i) {
        if (report[i] != 0) {
            return false;
        }
    }
    return true;
}

void CheckInputReport(const std::uint8_t* bytes, std::size_t size) {
    const HidProtocol::HidEvent sentinel{0xA5, 0xA5, 0xA5A5, -91, 0xA5, 0xA5, 0xA5A5};
    HidProtocol::HidEvent event = sentinel;
    std::string error;
    const bool ok = HidProtocol::DecodeInputReport(bytes, size, event, error);
    const bool withId = size >= kReportSize;
    if (size != HidProtocol::kInputReportSizeWithoutId && !withId) {
        FUZZ_CHECK(!ok && error == "Invalid report length" && event == sentinel);
        return;
    }
    if (withId && bytes[0] != 0x01) {
        FUZZ_CHECK(!ok && error == "Unexpected report ID" && event == sentinel);
        return;
    }
    FUZZ_CHECK(ok && error.empty());
    const std::uint8_t* p = withId ? bytes + 1 : bytes;
    FUZZ_CHECK(event.reserved == p[0] && event.type == p[1] && event.controlId == U16(p + 3) &&
               event.value == static_cast<std::int8_t>(p[5]) && event.speed == p[6] &&
               event.mode == p[7] && event.extra == U16(p + 8));

    const Report encoded = HidProtocol::EncodeInputReport(event);
    FUZZ_CHECK(encoded[0] == 0x01 && encoded[3] == 0 && ZeroFrom(encoded, 11));
    FUZZ_CHECK(std::memcmp(&encoded[1], p, 2) == 0 && std::memcmp(&encoded[4], p + 3, 7) == 0);
    HidProtocol::HidEvent again;
    FUZZ_CHECK(HidProtocol::DecodeInputReport(encoded.data(), encoded.size(), again, error));
    FUZZ_CHECK(again == event);

    const HidProtocol::EventType type = HidProtocol::ClassifyEvent(event);
    FUZZ_CHECK(static_cast<int>(type) <= 5);
    FUZZ_CHECK((type == HidProtocol::EventType::None) ==
               (std::string(HidProtocol::EventTypeName(type)) == "NONE"));
}

void CheckSettingsReport(const std::uint8_t* bytes, std::size_t size) {
    TelemetryProtocol::Settings settings;
    settings.sequence = 0xA5A5;
    const bool ok = TelemetryProtocol::DecodeSettingsReport(bytes, size, settings);
    FUZZ_CHECK(ok == (size == kReportSize && bytes[0] == 0x32));
    if (!ok) {
        FUZZ_CHECK(settings.sequence == 0xA5A5);
        return;
    }
    FUZZ_CHECK(settings.flags == bytes[1] && settings.sequence == U16(bytes + 2));
    FUZZ_CHECK(std::bit_cast<std::uint32_t>(settings.headingBug) == U32(bytes + 4));
    FUZZ_CHECK(std::bit_cast<std::uint32_t>(settings.course) == U32(bytes + 8));
    const Report encoded = TelemetryProtocol::EncodeSettingsReport(settings);
    FUZZ_CHECK(SameBytes(encoded, bytes, 12) && ZeroFrom(encoded, 12));
}

// A telemetry page names every one of its 32 bytes, so re-encoding must give the input back.
void CheckTelemetryReport(const std::uint8_t* bytes, std::size_t size) {
    TelemetryProtocol::TelemetryPage page;
    const bool ok = TelemetryProtocol::DecodeTelemetryReport(bytes, size, page);
    FUZZ_CHECK(ok == (size == kReportSize && bytes[0] == 0x31 && bytes[1] < 2));
    if (!ok) {
        return;
    }
    TelemetryProtocol::Values values;
    for (std::size_t i = 0; i < TelemetryProtocol::kValuesPerPage; ++i) {
        values[TelemetryProtocol::kValuesPerPage * page.page + i] = page.values[i];
    }
    const Report encoded =
        TelemetryProtocol::EncodeTelemetryReport(values, page.page, page.sequence);
    FUZZ_CHECK(SameBytes(encoded, bytes, kReportSize));
}

void CheckFeatureReports(const std::uint8_t* bytes, std::size_t size) {
    const std::span<const std::uint8_t> buffer(bytes, size);
    std::string error;
    HidProtocol::DeviceInfo device;
    device.firmwareMajor = 0xA5;
    const bool deviceOk = HidProtocol::DecodeDeviceInfoReport(buffer, device, error);
    FUZZ_CHECK(deviceOk == (size >= kReportSize && bytes[0] == 0x20));
    if (!deviceOk) {
        FUZZ_CHECK(device.firmwareMajor == 0xA5);
        FUZZ_CHECK(error ==
                   (size < kReportSize ? "Invalid report length" : "Unexpected report ID"));
    } else {
        FUZZ_CHECK(device.firmwareMajor == bytes[3] && device.firmwareMinor == bytes[4] &&
                   device.firmwarePatch == bytes[5]);
        const std::string id = HidProtocol::FormatBoardId(device);
        FUZZ_CHECK(id.size() == 16);
        for (std::size_t i = 0; i < 8; ++i) {
            FUZZ_CHECK(std::strtoul(id.substr(2 * i, 2).c_str(), nullptr, 16) == bytes[11 + i]);
        }
        for (const char c : id) {
            FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        }
        const std::string version = HidProtocol::FormatFirmwareVersion(device);
        FUZZ_CHECK(version == std::to_string(bytes[3]) + "." + std::to_string(bytes[4]) + "." +
                                  std::to_string(bytes[5]));
        HidProtocol::DeviceInfo again;
        FUZZ_CHECK(HidProtocol::DecodeDeviceInfoReport(HidProtocol::EncodeDeviceInfoReport(device),
                                                       again, error));
        FUZZ_CHECK(again == device);
    }

    HidProtocol::ProtocolInfo protocol{0xA5, 0xA5, 0xA5};
    const bool protocolOk = HidProtocol::DecodeProtocolInfoReport(buffer, protocol, error);
    FUZZ_CHECK(protocolOk == (size >= kReportSize && bytes[0] == 0x21));
    if (protocolOk) {
        FUZZ_CHECK(protocol.major == bytes[1] && protocol.minor == bytes[2] &&
                   protocol.flags == bytes[3]);
        HidProtocol::ProtocolInfo again;
        FUZZ_CHECK(HidProtocol::DecodeProtocolInfoReport(
            HidProtocol::EncodeProtocolInfoReport(protocol), again, error));
        FUZZ_CHECK(again == protocol);
    } else {
        FUZZ_CHECK(protocol == (HidProtocol::ProtocolInfo{0xA5, 0xA5, 0xA5}));
    }
}

// The host-side encoders, fed with fields and values taken from the input.
void CheckEncoders(const std::uint8_t* bytes, std::size_t size) {
    if (size < 6) {
        return;
    }
    const HidProtocol::LedState led{bytes[0], bytes[1], bytes[2], U16(bytes + 3), bytes[5]};
    const Report ledReport = HidProtocol::EncodeLedControlReport(led);
    FUZZ_CHECK(ledReport[0] == 0x10 && ledReport[1] == led.effect &&
               ledReport[2] == led.brightness && ledReport[3] == led.param0 &&
               U16(&ledReport[4]) == led.param1 && ledReport[6] == led.param2 &&
               ZeroFrom(ledReport, 7));

    const bool connected = (bytes[0] & 1) != 0;
    const Report status = HidProtocol::EncodeSimStatusReport(connected);
    FUZZ_CHECK(status[0] == 0x11 && status[1] == (connected ? 1 : 0) && ZeroFrom(status, 2));

    if (size < 4 + 2 + 4 * TelemetryProtocol::kValueCount) {
        return;
    }
    const int page = static_cast<int>(U32(bytes) % 4) - 1;  // -1 to 2
    const std::uint16_t sequence = U16(bytes + 4);
    TelemetryProtocol::Values values;
    for (std::size_t i = 0; i < TelemetryProtocol::kValueCount; ++i) {
        values[i] = std::bit_cast<float>(U32(bytes + 6 + 4 * i));
    }
    const Report report = TelemetryProtocol::EncodeTelemetryReport(values, page, sequence);
    if (page != 0 && page != 1) {
        FUZZ_CHECK(ZeroFrom(report, 0));
        return;
    }
    FUZZ_CHECK(report[0] == 0x31 && report[1] == page && U16(&report[2]) == sequence);
    for (std::size_t i = 0; i < TelemetryProtocol::kValuesPerPage; ++i) {
        const std::size_t index = TelemetryProtocol::kValuesPerPage * page + i;
        FUZZ_CHECK(U32(&report[4 + 4 * i]) == std::bit_cast<std::uint32_t>(values[index]));
    }
    TelemetryProtocol::TelemetryPage decoded;
    FUZZ_CHECK(TelemetryProtocol::DecodeTelemetryReport(report.data(), report.size(), decoded));
    FUZZ_CHECK(decoded.page == page && decoded.sequence == sequence);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly `size` bytes on the heap: one byte too far is a sanitizer report, not a quiet read
    // of libFuzzer's own buffer.
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size > 0) {
        std::memcpy(copy.get(), data, size);
    }
    const std::uint8_t* bytes = copy.get();
    CheckInputReport(bytes, size);
    CheckSettingsReport(bytes, size);
    CheckTelemetryReport(bytes, size);
    CheckFeatureReports(bytes, size);
    CheckEncoders(bytes, size);
    return 0;
}
