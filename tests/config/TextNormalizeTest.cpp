#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "config/TextNormalize.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;

TEST(TextNormalizeTest, KeysAndHexIds) {
    // White space (space, \t, \n, \v, \f, \r) goes and a-z are upper-cased; the neighbours of a
    // and z and bytes >= 0x80 (no-break space, NEL, UTF-8) stay as they are.
    const std::pair<std::string, std::string> keys[] = {
        {" g1000 ", "G1000"},
        {"Nav Com\t1\r\n", "NAVCOM1"},
        {"\v\f", ""},
        {"`{|}~@[", "`{|}~@["},
        {"\xA0\x85\xC3\xA9t\xE9", "\xA0\x85\xC3\xA9T\xE9"},
        {"a\0b"s, "A\0B"s}};
    for (const auto& [text, expected] : keys) {
        EXPECT_EQ(NormalizeKey(text), expected) << text;
    }
    // One leading 0x goes, when at least two bytes remain.
    const std::pair<const char*, const char*> hexIds[] = {
        {" 0 X\t04d8\n", "04D8"}, {"04d8", "04D8"}, {"0x", ""},         {"0", "0"},
        {"x04", "X04"},           {"00x1", "00X1"}, {"0x0xab", "0XAB"}, {"0xg\xE9", "G\xE9"}};
    for (const auto& [text, expected] : hexIds) {
        EXPECT_EQ(NormalizeHexId(text), expected) << text;
    }
    // The normalized text must be hexadecimal digits worth at most 0xFFFF.
    const std::pair<const char*, std::optional<std::uint16_t>> ids[] = {
        {"0x04d8", 0x04D8},
        {" 0 X04D8\t", 0x04D8},
        {"04 d8", 0x04D8},
        {"0000ffff", 0xFFFF},
        {"0x0", 0},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"04d8h", std::nullopt},
        {"+1f", std::nullopt},
        {"-0", std::nullopt},
        {"0x0x12", std::nullopt},
        {"0x10000", std::nullopt},
        {"123456789012345678901234567890", std::nullopt}};
    for (const auto& [text, expected] : ids) {
        EXPECT_EQ(ReadHexId16(text).value, expected) << text;
        EXPECT_EQ(ReadHexId16(text).text, text);
    }
}

}  // namespace
}  // namespace tarnwick
