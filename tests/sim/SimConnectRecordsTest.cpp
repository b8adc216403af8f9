#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "sim/SimConnectRecords.h"

namespace tarnwick {
namespace {

namespace rec = SimConnectRecords;

TEST(SimConnectRecordsTest, ResultCodesReadAsUpperCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(rec::ResultText(kSimConnectFail), "0x80004005");
    EXPECT_EQ(rec::ResultText(0), "0x0");
    EXPECT_EQ(rec::ResultText(0x0ABC), "0xABC");
    EXPECT_EQ(rec::ResultText(-1), "0xFFFFFFFF");
}

TEST(SimConnectRecordsTest, ExceptionRecordIsTwentyFourLittleEndianBytes) {
    const auto bytes = rec::EncodeException({7, 0x01020304u, 0xFFFFFFFFu});
    // clang-format off
    const std::vector<std::uint8_t> expected = {
        24, 0, 0, 0,  rec::kServerVersion, 0, 0, 0, 1, 0, 0, 0,  // dwSize, dwVersion, dwID
        7,  0, 0, 0,  4, 3, 2, 1,  0xFF, 0xFF, 0xFF, 0xFF,       // exception, sendId, index
    };
    // clang-format on
    EXPECT_EQ(bytes, expected);

    rec::ExceptionRecord decoded;
    ASSERT_TRUE(rec::DecodeException(bytes.data(), 24, decoded));
    EXPECT_EQ(decoded.exception, 7u);
    EXPECT_EQ(decoded.sendId, 0x01020304u);
    EXPECT_EQ(decoded.index, 0xFFFFFFFFu);
    EXPECT_FALSE(rec::DecodeException(bytes.data(), 23, decoded));
}

TEST(SimConnectRecordsTest, DataRecordsCarryTheirPayloadFromByteForty) {
    rec::DataRecord fields;
    fields.requestId = 4608;
    fields.objectId = 0;
    fields.defineId = 4353;
    fields.flags = 1;
    fields.entryNumber = 1;
    fields.outOf = 1;
    fields.defineCount = 1;
    const std::uint8_t payload[3] = {'M', 'F', 0};
    const auto bytes = rec::EncodeDataRecord(rec::kRecvIdClientData, fields, payload, 3);
    ASSERT_EQ(bytes.size(), 43u);
    EXPECT_EQ(rec::ReadU32(bytes.data()), 43u);
    EXPECT_EQ(rec::ReadU32(bytes.data() + 8), 16u);
    EXPECT_EQ(rec::ReadU32(bytes.data() + 12), 4608u);
    EXPECT_EQ(rec::ReadU32(bytes.data() + 20), 4353u);
    EXPECT_EQ(rec::ReadU32(bytes.data() + 36), 1u);
    EXPECT_EQ(bytes[40], 'M');

    rec::DataRecord decoded;
    ASSERT_TRUE(rec::DecodeDataRecord(bytes.data(), 43, decoded));
    EXPECT_EQ(decoded.requestId, 4608u);
    EXPECT_EQ(decoded.defineId, 4353u);
    EXPECT_EQ(decoded.dataSize, 3u);
    EXPECT_EQ(decoded.data, bytes.data() + 40);

    // Exactly the fixed fields: a record without data.
    ASSERT_TRUE(rec::DecodeDataRecord(bytes.data(), 40, decoded));
    EXPECT_EQ(decoded.dataSize, 0u);
    EXPECT_EQ(decoded.data, nullptr);
    EXPECT_FALSE(rec::DecodeDataRecord(bytes.data(), 39, decoded));
    EXPECT_FALSE(rec::DecodeDataRecord(nullptr, 43, decoded));
}

TEST(SimConnectRecordsTest, DoublesAreReadFromAnyAlignment) {
    std::vector<std::uint8_t> bytes(1, 0xAA);  // the double starts at an odd address
    rec::AppendF64(bytes, -12.5);
    EXPECT_EQ(rec::ReadF64(bytes.data() + 1), -12.5);
    // IEEE 754 binary64, least significant byte first.
    EXPECT_EQ(bytes[8], 0xC0);
    EXPECT_EQ(bytes[7], 0x29);
}

TEST(SimConnectRecordsTest, OpenRecordHasItsNameAtTwelveAndIs308Bytes) {
    const auto bytes = rec::EncodeOpen("Simulator");
    ASSERT_EQ(bytes.size(), 308u);
    EXPECT_EQ(rec::ReadU32(bytes.data() + 8), 2u);
    std::string name;
    ASSERT_TRUE(rec::DecodeOpenName(bytes.data(), 308, name));
    EXPECT_EQ(name, "Simulator");
    EXPECT_FALSE(rec::DecodeOpenName(bytes.data(), 307, name));

    const auto quit = rec::EncodeQuit();
    rec::Header header;
    ASSERT_TRUE(rec::DecodeHeader(quit.data(), 12, header));
    EXPECT_EQ(header.size, 12u);
    EXPECT_EQ(header.id, 3u);
    EXPECT_FALSE(rec::DecodeHeader(quit.data(), 11, header));
}

}  // namespace
}  // namespace tarnwick
