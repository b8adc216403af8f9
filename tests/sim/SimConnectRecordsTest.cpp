// The records' byte layouts as the real library has them: built by the virtual simulator and read
// by the client, so a mistake made the same way on both sides shows only against fixed bytes.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/SimConnectRecords.h"

namespace tarnwick {
namespace {

namespace rec = SimConnectRecords;

// Each record against its bytes, then read back whole and refused one byte short. Result codes
// read as upper-case hex without leading zeros.
TEST(SimConnectRecordsTest, RecordsHaveTheLibrarysLayout) {
    EXPECT_EQ(rec::ResultText(kSimConnectFail) + rec::ResultText(0) + rec::ResultText(0x0ABC) +
                  rec::ResultText(-1),
              "0x800040050x00xABC0xFFFFFFFF");
    const auto exception = rec::EncodeException({7, 0x01020304u, 0xFFFFFFFFu});
    // clang-format off
    EXPECT_EQ(exception, (std::vector<std::uint8_t>{
        24, 0, 0, 0,  rec::kServerVersion, 0, 0, 0, 1, 0, 0, 0,  // dwSize, dwVersion, dwID
        7,  0, 0, 0,  4, 3, 2, 1,  0xFF, 0xFF, 0xFF, 0xFF,       // exception, sendId, index
    }));
    // clang-format on
    rec::ExceptionRecord decoded;
    ASSERT_TRUE(rec::DecodeException(exception.data(), 24, decoded));
    EXPECT_EQ(decoded.sendId, 0x01020304u);
    EXPECT_FALSE(rec::DecodeException(exception.data(), 23, decoded));

    rec::DataRecord fields;
    fields.requestId = 4608;
    fields.defineId = 4353;
    fields.defineCount = 1;
    const std::uint8_t payload[3] = {'M', 'F', 0};
    const auto data = rec::EncodeDataRecord(rec::kRecvIdClientData, fields, payload, 3);
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < 10; ++i) {
        words.push_back(rec::ReadU32(data.data() + 4 * i));
    }
    EXPECT_EQ(words,
              (std::vector<std::uint32_t>{43, rec::kServerVersion, 16, 4608, 0, 4353, 0, 0, 0, 1}));
    rec::DataRecord read;
    ASSERT_TRUE(rec::DecodeDataRecord(data.data(), 43, read));
    EXPECT_EQ(read.data, data.data() + 40);
    EXPECT_EQ(read.dataSize, 3u);
    ASSERT_TRUE(rec::DecodeDataRecord(data.data(), 40, read));  // the fixed fields only
    EXPECT_EQ(read.data, nullptr);
    EXPECT_FALSE(rec::DecodeDataRecord(data.data(), 39, read));

    const auto open = rec::EncodeOpen("Simulator");
    std::string name;
    ASSERT_TRUE(rec::DecodeOpenName(open.data(), 308, name));
    EXPECT_EQ(open.size(), 308u);
    EXPECT_EQ(rec::ReadU32(open.data() + 8), 2u);
    EXPECT_EQ(name, "Simulator");
    EXPECT_FALSE(rec::DecodeOpenName(open.data(), 307, name));
    const auto quit = rec::EncodeQuit();
    EXPECT_EQ(quit,
              (std::vector<std::uint8_t>{12, 0, 0, 0, rec::kServerVersion, 0, 0, 0, 3, 0, 0, 0}));
    rec::Header header;
    EXPECT_FALSE(rec::DecodeHeader(quit.data(), 11, header));

    std::vector<std::uint8_t> doubles(1, 0xAA);  // the double starts at an odd address
    rec::AppendF64(doubles, -12.5);
    EXPECT_EQ(doubles, (std::vector<std::uint8_t>{0xAA, 0, 0, 0, 0, 0, 0, 0x29, 0xC0}));
    EXPECT_EQ(rec::ReadF64(doubles.data() + 1), -12.5);
}

}  // namespace
}  // namespace tarnwick
