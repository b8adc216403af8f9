// Normalizers for the names users type: profiles, roles, effects, backlight modes, controls,
// actions (NormalizeKey), and for hexadecimal ids such as board ids and vendor/product ids
// (NormalizeHexId).
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// Removes every white-space byte (space, \t, \n, \v, \f, \r) and upper-cases a to z; every
// other byte is kept as it is.
std::string NormalizeKey(std::string_view text);

// White space removed, then a leading "0x"/"0X" removed when at least two bytes remain, then
// upper-cased like NormalizeKey. Leading zeros stay: "0x04d8" gives "04D8".
std::string NormalizeHexId(std::string_view text);

// The value of one hexadecimal digit (0-9, a-f, A-F), or -1 for any other byte.
int HexDigitValue(char c);

}  // namespace tarnwick
