// libFuzzer target for the HID report codecs. Every decoder sees the input as a report of
// exactly its length, copied into a heap block of that size so that the address sanitizer
// catches any read past the end; the golden bytes of every layout are the table tests' part.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "FuzzCheck.h"
#include "hid/HidProtocol.h"
#include "hid/TelemetryProtocol.h"

namespace {

using namespace tarnwick;
using HidProtocol::kReportSize;
using Bytes = std::span<const std::uint8_t>;

// A refused report leaves `out` as it was and says why; an accepted one, encoded and decoded
// again, gives the same record.
template <typename Record, typename Encode>
void CheckRoundTrip(Bytes bytes, bool accepted, Record sentinel, Result (*decode)(Bytes, Record&),
                    Encode encode) {
    Record out = sentinel;
    const Result result = decode(bytes, out);
    FUZZ_CHECK(result.Ok() == accepted);
    if (!result) {
        FUZZ_CHECK(out == sentinel &&
                   result.Error() == (bytes.size() < kReportSize ? "Invalid report length"
                                                                 : "Unexpected report ID"));
        return;
    }
    const HidProtocol::Report encoded = encode(out);
    Record again = sentinel;
    FUZZ_CHECK(decode(encoded, again) && again == out);
}

Result DecodeInput(Bytes bytes, HidProtocol::HidEvent& event) {
    return HidProtocol::DecodeInputReport(bytes.data(), bytes.size(), event);
}

// Settings name their first 12 bytes, a telemetry page all 32: re-encoding gives them back.
void CheckTouchPanelReports(Bytes bytes) {
    const bool full = bytes.size() == kReportSize;
    TelemetryProtocol::Settings settings{.sequence = 0xA5A5};
    const bool settingsOk =
        TelemetryProtocol::DecodeSettingsReport(bytes.data(), bytes.size(), settings);
    FUZZ_CHECK(settingsOk == (full && bytes[0] == 0x32));
    FUZZ_CHECK(settingsOk ? std::memcmp(TelemetryProtocol::EncodeSettingsReport(settings).data(),
                                        bytes.data(), 12) == 0
                          : settings.sequence == 0xA5A5);
    TelemetryProtocol::TelemetryPage page;
    const bool pageOk = TelemetryProtocol::DecodeTelemetryReport(bytes.data(), bytes.size(), page);
    FUZZ_CHECK(pageOk == (full && bytes[0] == 0x31 && bytes[1] < 2));
    if (pageOk) {
        TelemetryProtocol::Values values;
        for (std::size_t i = 0; i < TelemetryProtocol::kValuesPerPage; ++i) {
            values[TelemetryProtocol::kValuesPerPage * page.page + i] = page.values[i];
        }
        const HidProtocol::Report again =
            TelemetryProtocol::EncodeTelemetryReport(values, page.page, page.sequence);
        FUZZ_CHECK(std::memcmp(again.data(), bytes.data(), kReportSize) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly `size` bytes on the heap: one byte too far is a sanitizer report, not a quiet read
    // of libFuzzer's own buffer.
    const std::vector<std::uint8_t> copy(data, data + size);
    const Bytes bytes(copy.data(), size);
    const bool withId = size >= kReportSize;
    CheckRoundTrip(bytes,
                   size == HidProtocol::kInputReportSizeWithoutId || (withId && data[0] == 1),
                   HidProtocol::HidEvent{0xA5, 0xA5, 0xA5A5, -91, 0xA5, 0xA5, 0xA5A5}, DecodeInput,
                   HidProtocol::EncodeInputReport);
    CheckRoundTrip(bytes, withId && data[0] == 0x20, HidProtocol::DeviceInfo{0xA5, 0xA5, 0xA5, {}},
                   HidProtocol::DecodeDeviceInfoReport, HidProtocol::EncodeDeviceInfoReport);
    CheckRoundTrip(bytes, withId && data[0] == 0x21, HidProtocol::ProtocolInfo{0xA5, 0xA5, 0xA5},
                   HidProtocol::DecodeProtocolInfoReport, HidProtocol::EncodeProtocolInfoReport);
    CheckTouchPanelReports(bytes);
    return 0;
}
