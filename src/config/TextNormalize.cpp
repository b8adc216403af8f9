#include "config/TextNormalize.h"

namespace tarnwick {

namespace {

// Fixed byte tests instead of <cctype>: those depend on the current locale and are undefined for
// negative char values, which every byte >= 0x80 is where char is signed.
bool IsWhiteSpaceByte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string RemoveWhiteSpace(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        if (!IsWhiteSpaceByte(c)) {
            result.push_back(c);
        }
    }
    return result;
}

void UpperCaseInPlace(std::string& text) {
    for (char& c : text) {
        c = ToUpperAscii(c);
    }
}

}  // namespace

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

std::string AsciiUpper(std::string_view text) {
    std::string upper(text);
    UpperCaseInPlace(upper);
    return upper;
}

std::string NormalizeKey(std::string_view text) {
    std::string result = RemoveWhiteSpace(text);
    UpperCaseInPlace(result);
    return result;
}

std::string NormalizeHexId(std::string_view text) {
    std::string result = RemoveWhiteSpace(text);
    // The prefix is looked for only after white space is gone, so " 0 x04d8" loses it too.
    if (result.size() >= 2 && result[0] == '0' && (result[1] == 'x' || result[1] == 'X')) {
        result.erase(0, 2);
    }
    UpperCaseInPlace(result);
    return result;
}

HexId16 ReadHexId16(std::string_view text) {
    HexId16 id{std::string(text), std::nullopt};
    const std::string digits = NormalizeHexId(text);
    std::uint32_t value = 0;
    for (const char c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return id;
        }
        value = value * 16 + static_cast<std::uint32_t>(digit);
        if (value > 0xFFFF) {
            return id;
        }
    }
    if (!digits.empty()) {
        id.value = static_cast<std::uint16_t>(value);
    }
    return id;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace tarnwick
