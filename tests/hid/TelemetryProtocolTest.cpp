#include <bit>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "hid/TelemetryProtocol.h"
#include "hid/ReportBytes.h"

namespace tarnwick {
namespace {

using namespace TelemetryProtocol;
using HidProtocol::kReportSize;
using HidProtocol::Report;

using test::Bytes;
using test::ToVector;

std::uint32_t Bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// Values whose bit patterns are easy to read in a dump: 1.0, 2.0, ... 14.0.
Values Counting() {
    Values values;
    for (std::size_t i = 0; i < kValueCount; ++i) {
        values[i] = static_cast<float>(i + 1);
    }
    return values;
}

TEST(TelemetryReport, FirstValueAndSequenceGoldenBytes) {
    Values values;
    values[0] = 1.0f;
    const Report report = EncodeTelemetryReport(values, 0, 0x1234);
    EXPECT_EQ(ToVector(report), Bytes({0x31, 0x00, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F}));
}

TEST(TelemetryReport, PagesCarrySevenValuesEach) {
    const Values values = Counting();
    // 1.0 = 3F800000, 2.0 = 40000000, 3.0 = 40400000, 4.0 = 40800000, 5.0 = 40A00000,
    // 6.0 = 40C00000, 7.0 = 40E00000; 8.0 = 41000000, 9.0 = 41100000 ... 14.0 = 41600000.
    EXPECT_EQ(
        ToVector(EncodeTelemetryReport(values, 0, 0xBEEF)),
        Bytes({0x31, 0x00, 0xEF, 0xBE, 0, 0, 0x80, 0x3F, 0, 0, 0x00, 0x40, 0, 0, 0x40, 0x40,
               0,    0,    0x80, 0x40, 0, 0, 0xA0, 0x40, 0, 0, 0xC0, 0x40, 0, 0, 0xE0, 0x40}));
    EXPECT_EQ(
        ToVector(EncodeTelemetryReport(values, 1, 0xBEEF)),
        Bytes({0x31, 0x01, 0xEF, 0xBE, 0, 0, 0x00, 0x41, 0, 0, 0x10, 0x41, 0, 0, 0x20, 0x41,
               0,    0,    0x30, 0x41, 0, 0, 0x40, 0x41, 0, 0, 0x50, 0x41, 0, 0, 0x60, 0x41}));
}

TEST(TelemetryReport, PageOutsideZeroAndOneIsAllZeros) {
    const Values values = Counting();
    for (const int page : {2, 3, 255, 256, -1, std::numeric_limits<int>::max()}) {
        EXPECT_EQ(ToVector(EncodeTelemetryReport(values, page, 0xFFFF)), Bytes({})) << page;
    }
}

// No scaling or rounding: special values travel as their exact bit patterns.
TEST(TelemetryReport, ValuesTravelBitExact) {
    const float unusual[] = {
        -0.0f,
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::denorm_min(),
        std::numeric_limits<float>::max(),
        std::bit_cast<float>(std::uint32_t{0x7FC01234}),  // a NaN with a payload
        0.1f,
    };
    Values values;
    for (std::size_t i = 0; i < std::size(unusual); ++i) {
        values[7 + i] = unusual[i];
    }
    const Report report = EncodeTelemetryReport(values, 1, 7);
    EXPECT_EQ(ToVector(report),
              Bytes({0x31, 0x01, 0x07, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x80,
                     0x7F, 0x00, 0x00, 0x80, 0xFF, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                     0x7F, 0x7F, 0x34, 0x12, 0xC0, 0x7F, 0xCD, 0xCC, 0xCC, 0x3D}));

    TelemetryPage page;
    ASSERT_TRUE(DecodeTelemetryReport(report.data(), report.size(), page));
    EXPECT_EQ(page.page, 1);
    EXPECT_EQ(page.sequence, 7);
    for (std::size_t i = 0; i < std::size(unusual); ++i) {
        EXPECT_EQ(Bits(page.values[i]), Bits(unusual[i])) << i;
    }
}

TEST(SettingsReport, DecodesFlagsSequenceAndBothAngles) {
    // headingBug 270.5 = 43874000, course -12.25 = C1440000; trailing bytes are ignored.
    const auto bytes =
        Bytes({0x32, 0x03, 0x02, 0x01, 0x00, 0x40, 0x87, 0x43, 0x00, 0x00, 0x44, 0xC1, 0xAA, 0xBB});
    Settings settings;
    ASSERT_TRUE(DecodeSettingsReport(bytes.data(), bytes.size(), settings));
    EXPECT_EQ(settings.flags, kHeadingBugValid | kCourseValid);
    EXPECT_EQ(settings.sequence, 0x0102);
    EXPECT_EQ(settings.headingBug, 270.5f);
    EXPECT_EQ(settings.course, -12.25f);

    Settings again;
    const Report encoded = EncodeSettingsReport(settings);
    EXPECT_EQ(ToVector(encoded),
              Bytes({0x32, 0x03, 0x02, 0x01, 0x00, 0x40, 0x87, 0x43, 0x00, 0x00, 0x44, 0xC1}));
    ASSERT_TRUE(DecodeSettingsReport(encoded.data(), encoded.size(), again));
    EXPECT_EQ(again.sequence, settings.sequence);
    EXPECT_EQ(Bits(again.headingBug), Bits(settings.headingBug));
    EXPECT_EQ(Bits(again.course), Bits(settings.course));
}

TEST(SettingsReport, IgnoresAnythingButExactly32BytesStartingWith0x32) {
    const std::vector<std::uint8_t> rejected[] = {
        Bytes({0x32, 0x01}, 31), Bytes({0x31, 0x01}), Bytes({0x32, 0x01}, 33),
        Bytes({0x32}, 1),        Bytes({0x01, 0x01}), {},
    };
    for (const auto& bytes : rejected) {
        Settings settings;
        settings.sequence = 99;
        EXPECT_FALSE(DecodeSettingsReport(bytes.data(), bytes.size(), settings))
            << "length " << bytes.size();
        EXPECT_EQ(settings.sequence, 99);
    }
    Settings settings;
    EXPECT_FALSE(DecodeSettingsReport(nullptr, kReportSize, settings));
}

}  // namespace
}  // namespace tarnwick
