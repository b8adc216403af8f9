// Normalizers for the names users type: profiles, roles, effects, backlight modes, controls,
// actions (NormalizeKey), and for hexadecimal ids such as board ids and vendor/product ids
// (NormalizeHexId).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Removes every white-space byte (space, \t, \n, \v, \f, \r) and upper-cases a to z; every
// other byte is kept as it is.
std::string NormalizeKey(std::string_view text);

// The text with A to Z lower-cased, or a to z upper-cased; every other byte as it is (no locale,
// so UTF-8 names keep their bytes).
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);

// White space removed, then a leading "0x"/"0X" removed when at least two bytes remain, then
// upper-cased like NormalizeKey. Leading zeros stay: "0x04d8" gives "04D8".
std::string NormalizeHexId(std::string_view text);

// A vendor or product id as config.json and the scenario files write it, read once.
struct HexId16 {
    std::string text;                    // as written
    std::optional<std::uint16_t> value;  // empty unless NormalizeHexId(text) is 1+ hex digits
                                         // worth at most 0xFFFF
};

// The one reader of vendor and product ids: "0x04d8", "04D8", " 4d8 " and "0x0004d8" all read
// 0x04D8; "04d8h", "+4d8", "0x" and "0x10000" read no value.
HexId16 ReadHexId16(std::string_view text);

// The value of one hexadecimal digit (0-9, a-f, A-F), or -1 for any other byte.
int HexDigitValue(char c);

}  // namespace tarnwick
