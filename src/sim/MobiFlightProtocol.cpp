#include "sim/MobiFlightProtocol.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/ByteOrder.h"

namespace tarnwick::MobiFlightProtocol {

std::string RegistrationCommand(const std::string& clientName) {
    return std::string(kClientsAddPrefix) + clientName;
}

std::string ClientCommandChannel(const std::string& clientName) {
    return clientName + ".Command";
}

std::string ClientResponseChannel(const std::string& clientName) {
    return clientName + ".Response";
}

std::string ClientLVarsChannel(const std::string& clientName) {
    return clientName + ".LVars";
}

std::string RpnCommand(const std::string& rpn) {
    std::string text;
    text.reserve(kRpnPrefix.size() + rpn.size());
    text.append(kRpnPrefix);
    text.append(rpn);
    return text;
}

std::string RegistrationFinishedAnswer(const std::string& clientName) {
    return RegistrationCommand(clientName) + ".Finished";
}

std::string RegistrationErrorAnswer(const std::string& clientName) {
    return RegistrationCommand(clientName) + ".Error";
}

bool BuildCommandBlock(std::string_view text, CommandBlock& block) {
    block.fill('\0');
    if (text.size() > kMaxCommandText) {
        return false;
    }
    if (!text.empty()) {
        std::memcpy(block.data(), text.data(), text.size());
    }
    return true;
}

std::string BlockText(const std::uint8_t* data, std::uint32_t size) {
    if (data == nullptr || size == 0) {
        return {};
    }
    const auto* end = data + size;
    const auto* nul = std::find(data, end, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(nul - data));
}

std::string FormatFloat(float value) {
    // The widest float with six decimals ("-3402...(39 digits).000000") needs 48 bytes.
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
    if (n < 0) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(std::min<int>(n, sizeof buffer - 1)));
}

namespace {

bool IsTextByte(std::uint8_t byte) {
    return (byte >= 0x20 && byte <= 0x7E) || byte == '\t' || byte == '\r' || byte == '\n';
}

// A whole decimal number, as a text block may carry one.
bool IsNumberText(const std::uint8_t* begin, const std::uint8_t* end) {
    const std::string text(reinterpret_cast<const char*>(begin),
                           static_cast<std::size_t>(end - begin));
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

std::optional<std::string> DecodeLVarBlock(const std::uint8_t* data, std::uint32_t size) {
    if (data == nullptr || size == 0) {
        return std::nullopt;
    }
    if (data[0] != 0) {
        const auto* end = data + size;
        const auto* nul = std::find(data, end, std::uint8_t{0});
        // The float's own four bytes are printable for about one level in ten (0.9 is "fff?");
        // a text is longer than four bytes or a number of its own.
        // A NUL inside the first four bytes followed by more non-zero bytes is part of a float
        // too (32.05 is "33", NUL, "B").
        const bool longText = nul - data > 4;
        const auto* slotEnd = data + std::min<std::uint32_t>(size, 4);
        const bool floatAfterNul =
            nul < slotEnd && std::any_of(nul, slotEnd, [](std::uint8_t b) { return b != 0; });
        if (!floatAfterNul && std::all_of(data, nul, IsTextByte) &&
            (longText || IsNumberText(data, nul))) {
            return std::string(reinterpret_cast<const char*>(data),
                               static_cast<std::size_t>(nul - data));
        }
    }
    if (size < 4) {
        return std::nullopt;
    }
    const float value = bytes::ReadF32(data);
    // A short word that is not a number ("ON", NUL, NUL) leaves the top byte zero and so reads
    // as a denormal; the module never writes one (a level is 0 or a normal float), so neither
    // that nor a NaN or an infinity is a value.
    const int kind = std::fpclassify(value);
    if (kind == FP_NAN || kind == FP_INFINITE || kind == FP_SUBNORMAL) {
        return std::nullopt;
    }
    return FormatFloat(value);
}

}  // namespace tarnwick::MobiFlightProtocol
