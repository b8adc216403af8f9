#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

namespace mf = MobiFlightProtocol;

std::vector<std::uint8_t> Bytes(const std::string& text, std::size_t size) {
    std::vector<std::uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), text.data(), std::min(text.size(), size));
    return bytes;
}

std::vector<std::uint8_t> FloatBlock(float value, std::size_t size = 4096) {
    std::vector<std::uint8_t> bytes(size, 0);
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    return bytes;
}

std::optional<std::string> Decode(const std::vector<std::uint8_t>& bytes) {
    return mf::DecodeLVarBlock(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// A block is the text, a NUL and zeros, never cut: a cut calculator code can do something else
// than written. Read back, a block's text ends at its first NUL or its end.
TEST(MobiFlightProtocolTest, CommandBlocksCarryWholeTextsOnly) {
    mf::CommandBlock block;
    block.fill('x');
    EXPECT_TRUE(mf::BuildCommandBlock("MF.DummyCmd", block));
    mf::CommandBlock dummy{};
    std::copy_n("MF.DummyCmd", 11, dummy.begin());
    EXPECT_EQ(block, dummy);
    EXPECT_TRUE(mf::BuildCommandBlock(std::string(255, 'a'), block));
    EXPECT_EQ(mf::BlockText(reinterpret_cast<const std::uint8_t*>(block.data()), 256),
              std::string(255, 'a'));
    EXPECT_FALSE(mf::BuildCommandBlock(std::string(256, 'b'), block));
    EXPECT_EQ(block, mf::CommandBlock{});
    const auto bytes = Bytes(std::string("MF.Pong\0junk", 12), 16);
    EXPECT_EQ(mf::BlockText(bytes.data(), 16), "MF.Pong");
    EXPECT_EQ(mf::BlockText(bytes.data(), 3), "MF.");
    EXPECT_EQ(mf::BlockText(nullptr, 16), "");
}

TEST(MobiFlightProtocolTest, LVarFourByteSlots) {
    // What the first four bytes of a block give. A short word ("ON", NUL, NUL) is no text of its
    // own and reads as a denormal float, which must not pass as a lighting level of 0.
    const auto bits = [](std::uint32_t value) {
        std::vector<std::uint8_t> bytes(4);
        std::memcpy(bytes.data(), &value, 4);
        return bytes;
    };
    const struct {
        std::vector<std::uint8_t> slot;
        std::optional<std::string> expected;
    } cases[] = {
        {FloatBlock(-42.0f, 4), "-42.000000"},
        {FloatBlock(std::numeric_limits<float>::min(), 4), "0.000000"},  // smallest normal
        {Bytes("ON", 4), std::nullopt},
        {bits(1), std::nullopt},           // smallest denormal
        {bits(0x007FFFFF), std::nullopt},  // largest denormal
        {bits(0x80000001), std::nullopt},  // negative denormal
        {FloatBlock(std::numeric_limits<float>::quiet_NaN()), std::nullopt},
        {FloatBlock(std::numeric_limits<float>::infinity()), std::nullopt},
        {FloatBlock(-std::numeric_limits<float>::infinity()), std::nullopt},
        {std::vector<std::uint8_t>{0, 0, 0}, std::nullopt},  // too short for a float
        // Text is handed on up to its NUL.
        {Bytes("L:LIGHTING_POTENTIOMETER_5=0.5", 4096), "L:LIGHTING_POTENTIOMETER_5=0.5"},
        {std::vector<std::uint8_t>{'4', '2'}, "42"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Decode(c.slot), c.expected)
            << int(c.slot[0]) << " " << int(c.slot[1]) << " " << int(c.slot[2]);
    }
    EXPECT_EQ(Decode(FloatBlock(3.0e38f)).value().size(), 46u);
    EXPECT_FALSE(mf::DecodeLVarBlock(nullptr, 4096).has_value());
    // Every level 0.00 to 100.00 reads as its number: some have four printable bytes (0.9 is
    // "fff?", 11.2 "333A") or start with a non-NUL byte (0.3 is 9A 99 99 3E), and must not pass
    // as text, or the backlight silently stops following the simulator.
    char expected[64];
    for (int i = 0; i <= 10000; ++i) {
        const float level = static_cast<float>(i) / 100.0f;
        std::snprintf(expected, sizeof expected, "%f", static_cast<double>(level));
        ASSERT_EQ(Decode(FloatBlock(level)), std::string(expected)) << level;
    }
}

}  // namespace
}  // namespace tarnwick
