// libFuzzer target for the HID report codecs. Every decoder sees the input as a report of
// exactly its length, copied into a heap block of that size so that the address sanitizer
// catches any read past the end; the golden bytes of every layout are the table tests' part.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

// A rejected report leaves `out` as it was and says why; an accepted one, encoded and decoded
// again, gives the same record.
template <typename Record, typename Decode, typename Encode>
void CheckRoundTrip(const std::uint8_t* bytes, std::size_t size, Record sentinel, bool accepted,
                    Decode decode, Encode encode) {
    Record out = sentinel;
    const Result result = decode(bytes, size, out);
    FUZZ_CHECK(result.Ok() == accepted);
    if (!result) {
        FUZZ_CHECK(out == sentinel &&
                   result.Error() ==
                       (size < kReportSize ? "Invalid report length" : "Unexpected report ID"));
        return;
    }
    const Report encoded = encode(out);
    Record again = sentinel;
    FUZZ_CHECK(decode(encoded.data(), encoded.size(), again) && again == out);
}

void CheckPanelBoardReports(const std::uint8_t* bytes, std::size_t size) {
    const bool withId = size >= kReportSize;
    CheckRoundTrip(
        bytes, size, HidProtocol::HidEvent{0xA5, 0xA5, 0xA5A5, -91, 0xA5, 0xA5, 0xA5A5},
        size == HidProtocol::kInputReportSizeWithoutId || (withId && bytes[0] == 0x01),
        [](const std::uint8_t* b, std::size_t n, HidProtocol::HidEvent& event) {
            return HidProtocol::DecodeInputReport(b, n, event);
        },
        HidProtocol::EncodeInputReport);
    CheckRoundTrip(
        bytes, size, HidProtocol::DeviceInfo{0xA5, 0xA5, 0xA5, {}}, withId && bytes[0] == 0x20,
        [](const std::uint8_t* b, std::size_t n, HidProtocol::DeviceInfo& info) {
            return HidProtocol::DecodeDeviceInfoReport({b, n}, info);
        },
        HidProtocol::EncodeDeviceInfoReport);
    CheckRoundTrip(
        bytes, size, HidProtocol::ProtocolInfo{0xA5, 0xA5, 0xA5}, withId && bytes[0] == 0x21,
        [](const std::uint8_t* b, std::size_t n, HidProtocol::ProtocolInfo& info) {
            return HidProtocol::DecodeProtocolInfoReport({b, n}, info);
        },
        HidProtocol::EncodeProtocolInfoReport);
}

// Settings name their first 12 bytes, a telemetry page all 32: re-encoding gives them back.
void CheckTouchPanelReports(const std::uint8_t* bytes, std::size_t size) {
    TelemetryProtocol::Settings settings;
    settings.sequence = 0xA5A5;
    const bool settingsOk = TelemetryProtocol::DecodeSettingsReport(bytes, size, settings);
    FUZZ_CHECK(settingsOk == (size == kReportSize && bytes[0] == 0x32));
    FUZZ_CHECK(settingsOk ? std::memcmp(TelemetryProtocol::EncodeSettingsReport(settings).data(),
                                        bytes, 12) == 0
                          : settings.sequence == 0xA5A5);
    TelemetryProtocol::TelemetryPage page;
    const bool pageOk = TelemetryProtocol::DecodeTelemetryReport(bytes, size, page);
    FUZZ_CHECK(pageOk == (size == kReportSize && bytes[0] == 0x31 && bytes[1] < 2));
    if (pageOk) {
        TelemetryProtocol::Values values;
        for (std::size_t i = 0; i < TelemetryProtocol::kValuesPerPage; ++i) {
            values[TelemetryProtocol::kValuesPerPage * page.page + i] = page.values[i];
        }
        const Report encoded =
            TelemetryProtocol::EncodeTelemetryReport(values, page.page, page.sequence);
        FUZZ_CHECK(std::memcmp(encoded.data(), bytes, kReportSize) == 0);
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
