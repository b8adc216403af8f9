// libFuzzer target for the HID report codecs. Every decoder sees the input as a report of
// exactly its length, copied into a heap block of that size so that the address sanitizer
// catches any read past the end. A rejected report leaves the output untouched and says why; an
// accepted one is re-encoded by the matching encoder, which must give back the bytes the layout
// names (and zeros for the ones it does not).
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

// Bytes [first, last) of `report` are `source`'s, and those from `zeroFrom` on are 0.
bool Layout(const Report& report, std::size_t first, std::size_t last, const std::uint8_t* source,
            std::size_t zeroFrom = kReportSize) {
    for (std::size_t i = zeroFrom; i < report.size(); ++i) {
        if (report[i] != 0) {
            return false;
        }
    }
    return std::memcmp(&report[first], source, last - first) == 0;
}

void CheckPanelBoardReports(const std::uint8_t* bytes, std::size_t size) {
    const char* rejection = size < kReportSize ? "Invalid report length" : "Unexpected report ID";
    const HidProtocol::HidEvent sentinel{0xA5, 0xA5, 0xA5A5, -91, 0xA5, 0xA5, 0xA5A5};
    HidProtocol::HidEvent event = sentinel;
    const Result input = HidProtocol::DecodeInputReport(bytes, size, event);
    const bool withId = size >= kReportSize;
    FUZZ_CHECK(input.Ok() ==
               (size == HidProtocol::kInputReportSizeWithoutId || (withId && bytes[0] == 0x01)));
    if (!input) {
        FUZZ_CHECK(event == sentinel && input.Error() == rejection);
    } else {
        // Payload byte 2 (between type and control id) carries nothing and is sent as 0.
        const Report encoded = HidProtocol::EncodeInputReport(event);
        const std::uint8_t* p = withId ? bytes + 1 : bytes;
        FUZZ_CHECK(encoded[0] == 0x01 && encoded[3] == 0 && Layout(encoded, 1, 3, p) &&
                   Layout(encoded, 4, 11, p + 3, 11));
        const std::string name = HidProtocol::EventTypeName(HidProtocol::ClassifyEvent(event));
        FUZZ_CHECK((HidProtocol::ClassifyEvent(event) == HidProtocol::EventType::None) ==
                   (name == "NONE"));
    }

    const std::span<const std::uint8_t> buffer(bytes, size);
    HidProtocol::DeviceInfo device;
    device.firmwareMajor = 0xA5;
    const Result deviceInfo = HidProtocol::DecodeDeviceInfoReport(buffer, device);
    FUZZ_CHECK(deviceInfo.Ok() == (withId && bytes[0] == 0x20));
    if (!deviceInfo) {
        FUZZ_CHECK(device.firmwareMajor == 0xA5 && deviceInfo.Error() == rejection);
    } else {
        const Report encoded = HidProtocol::EncodeDeviceInfoReport(device);
        FUZZ_CHECK(encoded[0] == 0x20 && encoded[1] == 0 && encoded[2] == 0 &&
                   Layout(encoded, 3, 6, bytes + 3) && Layout(encoded, 11, 19, bytes + 11, 19));
        const std::string id = HidProtocol::FormatBoardId(device);
        for (std::size_t i = 0; i < 8; ++i) {
            FUZZ_CHECK(std::strtoul(id.substr(2 * i, 2).c_str(), nullptr, 16) == bytes[11 + i]);
        }
    }
    HidProtocol::ProtocolInfo protocol{0xA5, 0xA5, 0xA5};
    const Result protocolInfo = HidProtocol::DecodeProtocolInfoReport(buffer, protocol);
    FUZZ_CHECK(protocolInfo.Ok() == (withId && bytes[0] == 0x21));
    FUZZ_CHECK(protocolInfo
                   ? Layout(HidProtocol::EncodeProtocolInfoReport(protocol), 0, 4, bytes, 4)
                   : protocol == (HidProtocol::ProtocolInfo{0xA5, 0xA5, 0xA5}) &&
                         protocolInfo.Error() == rejection);
}

void CheckTouchPanelReports(const std::uint8_t* bytes, std::size_t size) {
    TelemetryProtocol::Settings settings;
    settings.sequence = 0xA5A5;
    const bool settingsOk = TelemetryProtocol::DecodeSettingsReport(bytes, size, settings);
    FUZZ_CHECK(settingsOk == (size == kReportSize && bytes[0] == 0x32));
    FUZZ_CHECK(settingsOk
                   ? Layout(TelemetryProtocol::EncodeSettingsReport(settings), 0, 12, bytes, 12)
                   : settings.sequence == 0xA5A5);

    TelemetryProtocol::TelemetryPage page;
    const bool pageOk = TelemetryProtocol::DecodeTelemetryReport(bytes, size, page);
    FUZZ_CHECK(pageOk == (size == kReportSize && bytes[0] == 0x31 && bytes[1] < 2));
    if (pageOk) {
        TelemetryProtocol::Values values;
        for (std::size_t i = 0; i < TelemetryProtocol::kValuesPerPage; ++i) {
            values[TelemetryProtocol::kValuesPerPage * page.page + i] = page.values[i];
        }
        FUZZ_CHECK(
            Layout(TelemetryProtocol::EncodeTelemetryReport(values, page.page, page.sequence), 0,
                   kReportSize, bytes));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly `size` bytes on the heap: one byte too far is a sanitizer report, not a quiet read
    // of libFuzzer's own buffer.
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size > 0) {
        std::memcpy(copy.get(), data, size);
    }
    CheckPanelBoardReports(copy.get(), size);
    CheckTouchPanelReports(copy.get(), size);
    return 0;
}
