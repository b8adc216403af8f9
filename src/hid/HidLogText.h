// Text helpers for the HID manager's log lines. Lines are built by appending, which keeps GCC's
// -Wrestrict quiet at -O3 and costs one allocation per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick::hidtext {

// Every byte as two upper-case hexadecimal digits, no separators.
inline std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

template <typename... Pieces>
std::string Concat(const Pieces&... pieces) {
    std::string text;
    text.reserve((std::string_view(pieces).size() + ...));
    (text.append(std::string_view(pieces)), ...);
    return text;
}

}  // namespace tarnwick::hidtext
