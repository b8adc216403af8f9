// Report buffers for the codec tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "hid/HidProtocol.h"

namespace tarnwick::test {

// `head` followed by zeros up to `size` bytes; an exactly sized heap buffer, so that a read past
// the end shows up under the address sanitizer.
inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> head,
                                       std::size_t size = HidProtocol::kReportSize) {
    std::vector<std::uint8_t> bytes(size, 0);
    std::size_t i = 0;
    for (const int b : head) {
        bytes.at(i++) = static_cast<std::uint8_t>(b);
    }
    return bytes;
}

inline std::vector<std::uint8_t> ToVector(const HidProtocol::Report& report) {
    return {report.begin(), report.end()};
}

}  // namespace tarnwick::test
