#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "config/TextNormalize.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;

struct NormalizeCase {
    std::string text;
    std::string expected;
};

TEST(TextNormalizeTest, NormalizeKeyRemovesWhiteSpaceAndUpperCasesAsciiLetters) {
    const NormalizeCase cases[] = {
        {"", ""},
        {" g1000 ", "G1000"},
        {"Nav Com\t1\r\n", "NAVCOM1"},
        {"\v\f", ""},
        {"ap_master-Hdg", "AP_MASTER-HDG"},
        // Neighbours of a and z, and bytes >= 0x80 (no-break space, NEL, UTF-8), stay as they are.
        {"`{|}~@[", "`{|}~@["},
        {"\xA0\x85\xC3\xA9t\xE9", "\xA0\x85\xC3\xA9T\xE9"},
        {"a\0b"s, "A\0B"s},
    };
    for (const NormalizeCase& c : cases) {
        EXPECT_EQ(NormalizeKey(c.text), c.expected) << c.text;
    }
}

TEST(TextNormalizeTest, NormalizeHexIdDropsOneLeadingPrefix) {
    const NormalizeCase cases[] = {
        {"0x04d8", "04D8"}, {"0X04D8", "04D8"}, {" 0 x\t04d8\n", "04D8"}, {"04d8", "04D8"},
        {"0x", ""},         {"0", "0"},         {"x04", "X04"},           {"00x1", "00X1"},
        {"0x0xab", "0XAB"}, {"", ""},           {"0xg\xE9", "G\xE9"},
    };
    for (const NormalizeCase& c : cases) {
        EXPECT_EQ(NormalizeHexId(c.text), c.expected) << c.text;
    }
}

// Every vendor and product id is read by this one rule: white space anywhere and one leading 0x
// do not count, and what is left must be hexadecimal digits worth at most 0xFFFF.
TEST(TextNormalizeTest, ReadHexId16ReadsWhatTheNormalizedTextSays) {
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"0x04d8", 0x04D8},
        {" 0 X04D8\t", 0x04D8},
        {"4d8", 0x04D8},
        {"04 d8", 0x04D8},
        {"0000ffff", 0xFFFF},
        {"0", 0},
        {"0x0", 0},
        {"", std::nullopt},
        {"0x", std::nullopt},
        {"   ", std::nullopt},
        {"04d8h", std::nullopt},
        {"+1f", std::nullopt},
        {"-0", std::nullopt},
        {"0x0x12", std::nullopt},
        {"0x10000", std::nullopt},
        {"123456789012345678901234567890", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const HexId16 id = ReadHexId16(text);
        EXPECT_EQ(id.value, expected) << text;
        EXPECT_EQ(id.text, text);
    }
}

}  // namespace
}  // namespace tarnwick
