// Little-endian fields as the HID reports and the SimConnect records carry them, read and written
// byte by byte and through the bit patterns: neither the host's byte order nor a floating-point
// conversion (rounding, NaN quieting) can change a value on its way.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick::bytes {

constexpr std::uint16_t ReadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

constexpr std::uint32_t ReadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::uint64_t ReadU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(ReadU32(p)) |
           (static_cast<std::uint64_t>(ReadU32(p + 4)) << 32);
}

constexpr void WriteU16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value & 0xFF);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void WriteU32(std::uint8_t* p, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
    }
}

constexpr float ReadF32(const std::uint8_t* p) {
    return std::bit_cast<float>(ReadU32(p));
}

constexpr void WriteF32(std::uint8_t* p, float value) {
    WriteU32(p, std::bit_cast<std::uint32_t>(value));
}

constexpr double ReadF64(const std::uint8_t* p) {
    return std::bit_cast<double>(ReadU64(p));
}

inline void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
    }
}

inline void AppendF64(std::vector<std::uint8_t>& out, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    AppendU32(out, static_cast<std::uint32_t>(bits));
    AppendU32(out, static_cast<std::uint32_t>(bits >> 32));
}

}  // namespace tarnwick::bytes
