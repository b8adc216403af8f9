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

// The text and zeros, or a float's bits in the first four bytes, in a block of `size` bytes.
std::vector<std::uint8_t> Block(const std::string& text, std::size_t size = 4096) {
    std::vector<std::uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), text.data(), std::min(text.size(), size));
    return bytes;
}
std::vector<std::uint8_t> Block(std::uint32_t bits, std::size_t size = 4096) {
    return Block(std::string(reinterpret_cast<const char*>(&bits), 4), size);  // little-endian
}
std::vector<std::uint8_t> Block(float value) {
    return Block(std::bit_cast<std::uint32_t>(value));
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
    EXPECT_EQ(mf::BlockText(bytes.data(), 16), "MF.Pong");
    EXPECT_EQ(mf::BlockText(bytes.data(), 3), "MF.");
    EXPECT_EQ(mf::BlockText(nullptr, 16), "");
}

// What the first four bytes of a block give. A short word ("ON", NUL, NUL) is no text of its own
// and reads as a denormal float, which must not pass as a lighting level of 0.
TEST(MobiFlightProtocolTest, LVarFourByteSlots) {
    const struct {
        std::vector<std::uint8_t> slot;
        std::optional<std::string> expected;
    } cases[] = {
        {Block(-42.0f), "-42.000000"},
        {Block(std::numeric_limits<float>::min()), "0.000000"},  // smallest normal
        {Block(3.0e38f), "300000000549775575777803994281145270272.000000"},
        {Block("ON"), std::nullopt},
        {Block(1u), std::nullopt},           // smallest denormal
        {Block(0x007FFFFFu), std::nullopt},  // largest denormal
        {Block(0x80000001u), std::nullopt},  // negative denormal
        {Block(std::numeric_limits<float>::quiet_NaN()), std::nullopt},
        {Block(std::numeric_limits<float>::infinity()), std::nullopt},
        {Block(-std::numeric_limits<float>::infinity()), std::nullopt},
        {Block("", 3), std::nullopt},  // too short for a float
        {{}, std::nullopt},            // no block at all
        // Text is handed on up to its NUL.
        {Block("L:LIGHTING_POTENTIOMETER_5=0.5"), "L:LIGHTING_POTENTIOMETER_5=0.5"},
        {Block("42", 2), "42"},
    };
    for (const auto& c : cases) {
        const auto size = static_cast<std::uint32_t>(c.slot.size());
        EXPECT_EQ(size == 0 ? mf::DecodeLVarBlock(nullptr, 4096)
                            : mf::DecodeLVarBlock(c.slot.data(), size),
                  c.expected)
            << c.expected.value_or("none");
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
