// The report codecs against golden bytes. A row's hex names the report from byte 0; the bytes it
// leaves out are zero, so every one of the 32 bytes is checked.
#include <bit>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "hid/HidLogText.h"
#include "hid/HidProtocol.h"
#include "hid/TelemetryProtocol.h"

namespace tarnwick {
namespace {

using namespace HidProtocol;
using TelemetryProtocol::Settings;

std::string Hex(const Report& report) {
    std::string text = hidtext::HexBytes(report.data(), report.size());
    while (text.ends_with("00")) {
        text.resize(text.size() - 2);
    }
    return text;
}

// 1.0 to 14.0, the last a NaN with a payload: the values go over bit for bit.
const TelemetryProtocol::Values kValues{
    {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, std::bit_cast<float>(std::uint32_t{0x7FC01234})}};

TEST(HidProtocol, EncodersWriteGoldenBytes) {
    const std::pair<Report, const char*> rows[] = {
        {EncodeSimStatusReport(true), "1101"},
        {EncodeSimStatusReport(false), "11"},
        {EncodeBootselReport(), "1202"},
        {EncodeLedControlReport(LedState{3, 0x80, 5, 0xABCD, 255}), "10038005CDABFF"},
        {EncodeInputReport(HidEvent{0xA1, 2, 0x1234, -3, 4, 7, 0xABCD}), "01A102003412FD0407CDAB"},
        {EncodeDeviceInfoReport(
             DeviceInfo{1, 4, 0, {0xE6, 0x61, 0x41, 0x03, 0xE7, 0x45, 0x2D, 0x2F}}),
         "2000000104000000000000E6614103E7452D2F"},
        {EncodeProtocolInfoReport(ProtocolInfo{1, 2, 0x80}), "21010280"},
        {TelemetryProtocol::EncodeTelemetryReport(kValues, 0, 0xBEEF),
         "3100EFBE0000803F0000004000004040000080400000A0400000C0400000E040"},
        {TelemetryProtocol::EncodeTelemetryReport(kValues, 1, 7),
         "310107000000004100001041000020410000304100004041000050413412C07F"},
        {TelemetryProtocol::EncodeTelemetryReport(kValues, 2, 0xFFFF), ""},
        {TelemetryProtocol::EncodeTelemetryReport(kValues, -1, 0xFFFF), ""},
        {TelemetryProtocol::EncodeSettingsReport(Settings{3, 0x0102, 270.5f, -12.25f}),
         "3203020100408743000044C1"},
    };
    for (const auto& [report, hex] : rows) {
        EXPECT_EQ(Hex(report), hex);
    }
}

TEST(HidProtocol, EventsClassifyByTypeAndValue) {
    const std::tuple<std::uint8_t, int, const char*> rows[] = {
        {1, 1, "BUTTON_PRESS"}, {1, 0, "BUTTON_RELEASE"}, {1, 2, "HOLD"},   {1, 4, "HOLD"},
        {1, 5, "NONE"},         {1, -1, "NONE"},          {2, 1, "ENC_CW"}, {2, 127, "ENC_CW"},
        {2, -1, "ENC_CCW"},     {2, -128, "ENC_CCW"},     {2, 0, "NONE"},   {0, 1, "NONE"},
        {3, 1, "NONE"},         {255, -1, "NONE"},
    };
    for (const auto& [type, value, name] : rows) {
        const HidEvent event{0, type, 0, static_cast<std::int8_t>(value), 0, 0, 0};
        EXPECT_STREQ(EventTypeName(ClassifyEvent(event)), name) << int(type) << " " << value;
    }
}

}  // namespace
}  // namespace tarnwick
