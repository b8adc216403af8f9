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
    EXPECT_EQ(NormalizeKey("Nav Com\t1\r\n\v\f`{|}~@[\xA0\x85\xC3\xA9t\0b"s),
              "NAVCOM1`{|}~@[\xA0\x85\xC3\xA9T\0B"s);
    // One leading 0x goes, when at least two bytes remain; the rest must be hexadecimal digits
    // worth at most 0xFFFF.
    const std::pair<const char*, const char*> hexIds[] = {
        {" 0 X\t04d8\n", "04D8"}, {"0x", ""}, {"00x1", "00X1"}, {"0x0xab", "0XAB"}};
    for (const auto& [text, expected] : hexIds) {
        EXPECT_EQ(NormalizeHexId(text), expected) << text;
    }
    EXPECT_EQ(ReadHexId16("0000ffff").value, 0xFFFF);
    for (const char* text : {"+1f", "0x10000", "123456789012345678901234567890"}) {
        EXPECT_FALSE(ReadHexId16(text).value) << text;
    }
}

}  // namespace
}  // namespace tarnwick
