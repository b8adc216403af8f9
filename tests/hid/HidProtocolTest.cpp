#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hid/HidProtocol.h"
#include "hid/ReportBytes.h"

namespace tarnwick {
namespace {

using namespace HidProtocol;

using test::Bytes;
using test::ToVector;

struct InputCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    HidEvent expected;
};

TEST(HidProtocolInputReport, DecodesEveryFieldAtItsOffset) {
    const InputCase cases[] = {
        {"31 bytes without ID start at byte 0",
         Bytes({0x05, 0x01, 0x00, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 31),
         {5, 1, 7, 1, 0, 0, 0}},
        {"32 bytes with ID start at byte 1",
         Bytes({0x01, 0x05, 0x01, 0x00, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}),
         {5, 1, 7, 1, 0, 0, 0}},
        {"little-endian words and a signed value",
         Bytes({0x01, 0xA1, 0x02, 0x99, 0x34, 0x12, 0xFD, 0x04, 0x07, 0xCD, 0xAB, 0xEE}),
         {0xA1, 2, 0x1234, -3, 4, 7, 0xABCD}},
        {"trailing bytes of the payload are ignored",
         Bytes({0x01, 0, 1, 0, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x55, 0x55}),
         {0, 1, 0xFFFF, 127, 0xFF, 0xFF, 0xFFFF}},
        {"a longer buffer with ID decodes like 32 bytes",
         Bytes({0x01, 0x05, 0x02, 0x00, 0x07, 0x00, 0x80}, 64),
         {5, 2, 7, -128, 0, 0, 0}},
    };
    for (const InputCase& c : cases) {
        SCOPED_TRACE(c.name);
        HidEvent event;
        std::string error = "untouched";
        ASSERT_TRUE(DecodeInputReport(c.bytes.data(), c.bytes.size(), event, error));
        EXPECT_EQ(event, c.expected);
        EXPECT_EQ(error, "untouched");
    }
}

TEST(HidProtocolInputReport, RejectsShortReportsAndForeignIds) {
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* error;
    } cases[] = {
        {{}, "Invalid report length"},
        {Bytes({0x01}, 1), "Invalid report length"},
        {Bytes({0x01, 0x05, 0x01}, 20), "Invalid report length"},
        {Bytes({0x01, 0x05, 0x01}, 30), "Invalid report length"},
        {Bytes({0x02, 0x05, 0x01}), "Unexpected report ID"},
        {Bytes({0x00, 0x05, 0x01}), "Unexpected report ID"},
        {Bytes({0x32, 0x05, 0x01}), "Unexpected report ID"},
        {Bytes({0x02, 0x05, 0x01}, 40), "Unexpected report ID"},
    };
    const HidEvent before{9, 9, 9, 9, 9, 9, 9};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.bytes.size());
        HidEvent event = before;
        std::string error;
        EXPECT_FALSE(DecodeInputReport(c.bytes.data(), c.bytes.size(), event, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(event, before);
    }
    HidEvent event;
    std::string error;
    EXPECT_FALSE(DecodeInputReport(nullptr, kReportSize, event, error));
    EXPECT_EQ(error, "Invalid report length");
}

TEST(HidProtocolInputReport, ByteBetweenTypeAndControlIdNeverMatters) {
    HidEvent reference;
    std::string error;
    const auto base = Bytes({0x01, 0x05, 0x02, 0x00, 0x07, 0x00, 0xFF, 0x04, 0x01});
    ASSERT_TRUE(DecodeInputReport(base.data(), base.size(), reference, error));
    for (int b = 1; b < 256; ++b) {
        auto bytes = base;
        bytes[3] = static_cast<std::uint8_t>(b);
        HidEvent event;
        ASSERT_TRUE(DecodeInputReport(bytes.data(), bytes.size(), event, error));
        EXPECT_EQ(event, reference) << "ignored byte " << b;
    }
}

TEST(HidProtocolClassify, FollowsTypeAndValue) {
    const struct {
        std::uint8_t type;
        int value;
        EventType expected;
    } cases[] = {
        {1, 1, EventType::ButtonPress}, {1, 0, EventType::ButtonRelease},
        {1, 2, EventType::Hold},        {1, 3, EventType::Hold},
        {1, 4, EventType::Hold},        {1, 5, EventType::None},
        {1, -1, EventType::None},       {1, 127, EventType::None},
        {2, 1, EventType::EncoderCw},   {2, 127, EventType::EncoderCw},
        {2, -1, EventType::EncoderCcw}, {2, -128, EventType::EncoderCcw},
        {2, 0, EventType::None},        {0, 1, EventType::None},
        {3, 1, EventType::None},        {255, -1, EventType::None},
    };
    for (const auto& c : cases) {
        HidEvent event;
        event.type = c.type;
        event.value = static_cast<std::int8_t>(c.value);
        EXPECT_EQ(ClassifyEvent(event), c.expected)
            << "type " << int(c.type) << " value " << c.value;
    }
}

TEST(HidProtocolText, EventTypeNames) {
    const struct {
        int code;
        const char* name;
    } cases[] = {
        {0, "NONE"},   {1, "BUTTON_PRESS"}, {2, "BUTTON_RELEASE"}, {3, "HOLD"},
        {4, "ENC_CW"}, {5, "ENC_CCW"},      {6, "NONE"},           {255, "NONE"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(EventTypeName(static_cast<EventType>(c.code)), c.name) << c.code;
    }
}

TEST(HidProtocolOutputReports, GoldenBytes) {
    EXPECT_EQ(ToVector(EncodeSimStatusReport(true)), Bytes({0x11, 0x01}));
    EXPECT_EQ(ToVector(EncodeSimStatusReport(false)), Bytes({0x11, 0x00}));
    EXPECT_EQ(ToVector(EncodeBootselReport()), Bytes({0x12, 0x02}));
    EXPECT_EQ(ToVector(EncodeLedControlReport(LedState{3, 0, 5, 500, 255})),
              Bytes({0x10, 0x03, 0x00, 0x05, 0xF4, 0x01, 0xFF}));
    EXPECT_EQ(ToVector(EncodeLedControlReport(LedState{1, 0x80, 0, 0xABCD, 0})),
              Bytes({0x10, 0x01, 0x80, 0x00, 0xCD, 0xAB, 0x00}));
    EXPECT_EQ(ToVector(EncodeLedControlReport(LedState{})), Bytes({0x10}));
}

TEST(HidProtocolDeviceInfo, DecodesVersionAndBoardIdAndFormatsThem) {
    const auto bytes = Bytes({0x20, 0xAA, 0xBB, 0x01, 0x04, 0x00, 0xCC, 0xDD, 0xEE, 0xDD, 0xEE,
                              0xE6, 0x61, 0x41, 0x03, 0xE7, 0x45, 0x2D, 0x2F, 0x99, 0x99});
    DeviceInfo info;
    std::string error;
    ASSERT_TRUE(DecodeDeviceInfoReport(bytes, info, error));
    EXPECT_EQ(info.firmwareMajor, 1);
    EXPECT_EQ(info.firmwareMinor, 4);
    EXPECT_EQ(info.firmwarePatch, 0);
    EXPECT_EQ(FormatBoardId(info), "E6614103E7452D2F");
    EXPECT_EQ(FormatFirmwareVersion(info), "1.4.0");

    // The board side fills in the same places (and leaves the uninterpreted ones 0).
    EXPECT_EQ(ToVector(EncodeDeviceInfoReport(info)),
              Bytes({0x20, 0, 0, 0x01, 0x04, 0x00, 0, 0, 0, 0, 0, 0xE6, 0x61, 0x41, 0x03, 0xE7,
                     0x45, 0x2D, 0x2F}));
}

TEST(HidProtocolDeviceInfo, FormatsEdgeValues) {
    DeviceInfo info;
    info.boardId.fill(0xFF);
    std::string error;
    ASSERT_TRUE(DecodeDeviceInfoReport(Bytes({0x20}), info, error));
    EXPECT_EQ(FormatBoardId(info), "0000000000000000");
    EXPECT_EQ(FormatFirmwareVersion(info), "0.0.0");
    info.boardId = {0x0F, 0xF0, 0x01, 0x10, 0xA0, 0x0A, 0xFF, 0x00};
    info.firmwareMajor = 255;
    info.firmwareMinor = 10;
    info.firmwarePatch = 7;
    EXPECT_EQ(FormatBoardId(info), "0FF00110A00AFF00");
    EXPECT_EQ(FormatFirmwareVersion(info), "255.10.7");
}

TEST(HidProtocolFeatureReports, ProtocolInfoGoldenBytes) {
    ProtocolInfo info;
    std::string error;
    ASSERT_TRUE(DecodeProtocolInfoReport(Bytes({0x21, 1, 2, 0x80, 0x55, 0x55}), info, error));
    EXPECT_EQ(info, (ProtocolInfo{1, 2, 0x80}));
    EXPECT_EQ(ToVector(EncodeProtocolInfoReport(info)), Bytes({0x21, 1, 2, 0x80}));
}

TEST(HidProtocolFeatureReports, RejectForeignIdsAndShortBuffers) {
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* deviceInfoError;
        const char* protocolInfoError;
    } cases[] = {
        {Bytes({0x21, 1, 2, 3}), "Unexpected report ID", nullptr},
        {Bytes({0x20, 1, 2, 3}), nullptr, "Unexpected report ID"},
        {Bytes({0x00, 1, 2, 3}), "Unexpected report ID", "Unexpected report ID"},
        {Bytes({0x20, 1, 2, 3}, 31), "Invalid report length", "Invalid report length"},
        {Bytes({0x21, 1, 2, 3}, 4), "Invalid report length", "Invalid report length"},
        {{}, "Invalid report length", "Invalid report length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "byte 0 " << (c.bytes.empty() ? -1 : c.bytes[0])
                                        << " length " << c.bytes.size());
        DeviceInfo device;
        device.firmwareMajor = 9;
        std::string error;
        EXPECT_EQ(DecodeDeviceInfoReport(c.bytes, device, error), c.deviceInfoError == nullptr);
        if (c.deviceInfoError != nullptr) {
            EXPECT_EQ(error, c.deviceInfoError);
            EXPECT_EQ(device.firmwareMajor, 9);
        }
        ProtocolInfo protocol{9, 9, 9};
        error.clear();
        EXPECT_EQ(DecodeProtocolInfoReport(c.bytes, protocol, error),
                  c.protocolInfoError == nullptr);
        if (c.protocolInfoError != nullptr) {
            EXPECT_EQ(error, c.protocolInfoError);
            EXPECT_EQ(protocol, (ProtocolInfo{9, 9, 9}));
        }
    }
}

}  // namespace
}  // namespace tarnwick
