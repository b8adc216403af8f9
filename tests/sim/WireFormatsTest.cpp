// The byte layouts both sides of the program's conversations use: SimConnect's records as the
// real library has them (built by the virtual simulator and read by the client, so a mistake made
// the same way on both sides shows only against fixed bytes), and MobiFlight's command and
// variable blocks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sim/MobiFlightProtocol.h"
#include "sim/SimConnectRecords.h"

namespace tarnwick {
namespace {

namespace mf = MobiFlightProtocol;
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
}

// The text and zeros in a block of `size` bytes, or a four-byte word's bits and zeros in 4096.
std::vector<std::uint8_t> Block(const std::string& text, std::size_t size = 4096) {
    std::vector<std::uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), text.data(), std::min(text.size(), size));
    return bytes;
}
template <typename Word>
requires(sizeof(Word) == 4) std::vector<std::uint8_t> Block(Word bits) {
    return Block(std::string(reinterpret_cast<const char*>(&bits), 4), 4096);  // little-endian
}

// A block is the text, a NUL and zeros, never cut: a cut calculator code can do something else
// than written. Read back, a block's text ends at its first NUL or its end.
TEST(MobiFlightProtocolTest, CommandBlocksCarryWholeTextsOnly) {
    mf::CommandBlock block;
    block.fill('x');
    ASSERT_TRUE(mf::BuildCommandBlock("MF.DummyCmd", block));
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.end()), Block("MF.DummyCmd", 256));
    ASSERT_TRUE(mf::BuildCommandBlock(std::string(255, 'a'), block));
    EXPECT_EQ(mf::BlockText(reinterpret_cast<const std::uint8_t*>(block.data()), 256),
              std::string(255, 'a'));
    EXPECT_FALSE(mf::BuildCommandBlock(std::string(256, 'b'), block));
    EXPECT_EQ(block, mf::CommandBlock{});
    const auto bytes = Block(std::string("MF.Pong\0junk", 12), 16);
    EXPECT_EQ(mf::BlockText(bytes.data(), 16) + mf::BlockText(bytes.data(), 3), "MF.PongMF.");
    EXPECT_EQ(mf::BlockText(nullptr, 16), "");
}

// What the first four bytes of a block give. A short word ("ON", NUL, NUL) is no text of its own
// and reads as a denormal float, which must not pass as a lighting level of 0.
TEST(MobiFlightProtocolTest, LVarFourByteSlots) {
    const std::pair<std::vector<std::uint8_t>, std::optional<std::string>> cases[] = {
        {Block(-42.0f), "-42.000000"},
        {Block(std::numeric_limits<float>::min()), "0.000000"},  // smallest normal
        {Block(3.0e38f), "300000000549775575777803994281145270272.000000"},
        {Block("ON"), std::nullopt},
        {Block(0x007FFFFFu), std::nullopt},  // largest denormal
        {Block(0x80000001u), std::nullopt},  // negative denormal
        {Block(std::numeric_limits<float>::quiet_NaN()), std::nullopt},
        {Block(std::numeric_limits<float>::infinity()), std::nullopt},
        {Block("", 3), std::nullopt},  // too short for a float
        {{}, std::nullopt},            // no block at all
        // Text is handed on up to its NUL.
        {Block("L:LIGHTING_POTENTIOMETER_5=0.5"), "L:LIGHTING_POTENTIOMETER_5=0.5"},
        {Block("42", 2), "42"},
    };
    for (const auto& [slot, expected] : cases) {
        const auto size = static_cast<std::uint32_t>(slot.empty() ? 4096 : slot.size());
        EXPECT_EQ(mf::DecodeLVarBlock(slot.empty() ? nullptr : slot.data(), size), expected)
            << expected.value_or("none");
    }
    // Every level 0.00 to 100.00 reads as its number: some have four printable bytes (0.9 is
    // "fff?", 11.2 "333A") or start with a non-NUL byte (0.3 is 9A 99 99 3E), and must not pass
    // as text, or the backlight silently stops following the simulator.
    char expected[64];
    for (int i = 0; i <= 10000; ++i) {
        const float level = static_cast<float>(i) / 100.0f;
        std::snprintf(expected, sizeof expected, "%f", static_cast<double>(level));
        ASSERT_EQ(mf::DecodeLVarBlock(Block(level).data(), 4096), std::string(expected)) << level;
    }
}

}  // namespace
}  // namespace tarnwick
