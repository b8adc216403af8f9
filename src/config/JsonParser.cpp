// The JSON reader: one pass over the bytes into a JsonValue tree, stopping at the first fault
// with one fixed message.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "config/Json.h"
#include "config/TextNormalize.h"

namespace tarnwick {

namespace {

bool IsWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// std::from_chars reports a value beyond the range of a double as an error and leaves the
// output alone, where the C library's conversion returns infinity (overflow) or zero (underflow).
// Such a value is either far above 1 or far below it, so the decimal exponent of its first
// significant digit tells which. `first`..`last` is a span already scanned by the number grammar.
bool OutOfRangeIsOverflow(const char* first, const char* last) {
    // Saturation bounds keep the sums below far from the limits of a 64-bit integer.
    constexpr std::int64_t kClamp = std::int64_t{1} << 40;
    const char* p = first;
    if (p != last && *p == '-') {
        ++p;
    }
    std::int64_t leadingExponent = 0;  // value = 0.d1d2... * 10^leadingExponent
    bool seenSignificant = false;
    for (; p != last && IsDigit(*p); ++p) {
        if (*p != '0') {
            seenSignificant = true;
        }
        if (seenSignificant && leadingExponent < kClamp) {
            ++leadingExponent;
        }
    }
    if (p != last && *p == '.') {
        ++p;
        for (; p != last && IsDigit(*p); ++p) {
            if (seenSignificant) {
                continue;
            }
            if (*p != '0') {
                seenSignificant = true;
            } else if (leadingExponent > -kClamp) {
                --leadingExponent;
            }
        }
    }
    std::int64_t exponent = 0;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p != last && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        for (; p != last && IsDigit(*p); ++p) {
            if (exponent < kClamp) {
                exponent = exponent * 10 + (*p - '0');
            }
        }
        if (negative) {
            exponent = -exponent;
        }
    }
    return leadingExponent + exponent > 0;
}

class Parser {
public:
    explicit Parser(std::string_view text) : data_(text.data()), size_(text.size()) {}

    JsonParseResult ParseDocument() {
        JsonParseResult result;
        static constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
        if (size_ >= 3 && std::memcmp(data_, kByteOrderMark, 3) == 0) {
            pos_ = 3;
        }
        if (!ParseValue(result.value)) {
            result.value = JsonValue();
            result.error = error_;
            return result;
        }
        SkipWhitespace();
        if (pos_ != size_) {
            // The value read before the trailing bytes is kept on purpose.
            result.error = "Unexpected trailing characters";
            return result;
        }
        result.ok = true;
        return result;
    }

private:
    bool AtEnd() const { return pos_ >= size_; }
    char Peek() const { return data_[pos_]; }

    void SkipWhitespace() {
        while (pos_ < size_ && IsWhitespace(data_[pos_])) {
            ++pos_;
        }
    }

    bool Fail(const char* message) {
        error_ = message;
        return false;
    }

    // On failure `out` is left as it was (callers pass a fresh Null value).
    bool ParseValue(JsonValue& out) {
        SkipWhitespace();
        if (AtEnd()) {
            return Fail("Unexpected end of input");
        }
        const char c = Peek();
        switch (c) {
            case '{':
            case '[': {
                // Checked before descending, so a hostile file never recurses past the limit.
                if (depth_ >= kMaxJsonNestingDepth) {
                    return Fail("Nesting too deep");
                }
                ++depth_;
                const bool ok = c == '{' ? ParseObject(out) : ParseArray(out);
                --depth_;
                return ok;
            }
            case '"': {
                std::string text;
                if (!ParseString(text)) {
                    return false;
                }
                out.kind = JsonKind::String;
                out.stringValue = std::move(text);
                return true;
            }
            case 't':
            case 'f':
                return ParseBoolean(out);
            case 'n':
                return ParseNull(out);
            default:
                if (c == '-' || IsDigit(c)) {
                    return ParseNumber(out);
                }
                return Fail("Unexpected token");
        }
    }

    bool ParseObject(JsonValue& out) {
        ++pos_;  // '{'
        SkipWhitespace();
        if (AtEnd()) {
            return Fail("Unterminated object");
        }
        JsonValue object;
        object.kind = JsonKind::Object;
        if (Peek() == '}') {
            ++pos_;
            out = std::move(object);
            return true;
        }
        for (;;) {
            SkipWhitespace();
            if (AtEnd() || Peek() != '"') {
                return Fail("Expected string key");
            }
            std::string key;
            if (!ParseString(key)) {
                return false;
            }
            SkipWhitespace();
            if (AtEnd() || Peek() != ':') {
                return Fail("Expected ':' after key");
            }
            ++pos_;
            JsonValue member;
            if (!ParseValue(member)) {
                return false;
            }
            // The first occurrence of a key wins; later ones were still required to parse.
            object.objectValue.try_emplace(std::move(key), std::move(member));
            SkipWhitespace();
            if (AtEnd()) {
                return Fail("Unterminated object");
            }
            const char c = Peek();
            if (c == ',') {
                ++pos_;
                if (AtEnd()) {
                    return Fail("Unterminated object");
                }
                continue;
            }
            if (c == '}') {
                ++pos_;
                out = std::move(object);
                return true;
            }
            return Fail("Expected ',' or '}'");
        }
    }

    bool ParseArray(JsonValue& out) {
        ++pos_;  // '['
        SkipWhitespace();
        if (AtEnd()) {
            return Fail("Unterminated array");
        }
        JsonValue array;
        array.kind = JsonKind::Array;
        if (Peek() == ']') {
            ++pos_;
            out = std::move(array);
            return true;
        }
        for (;;) {
            JsonValue element;
            if (!ParseValue(element)) {
                return false;
            }
            array.arrayValue.push_back(std::move(element));
            SkipWhitespace();
            if (AtEnd()) {
                return Fail("Unterminated array");
            }
            const char c = Peek();
            if (c == ',') {
                ++pos_;
                if (AtEnd()) {
                    return Fail("Unterminated array");
                }
                continue;
            }
            if (c == ']') {
                ++pos_;
                out = std::move(array);
                return true;
            }
            return Fail("Expected ',' or ']'");
        }
    }

    bool ParseString(std::string& out) {
        ++pos_;  // opening quote
        for (;;) {
            // Copy a run of plain bytes at once; control bytes and bytes >= 0x80 are plain.
            const std::size_t runStart = pos_;
            while (pos_ < size_ && data_[pos_] != '"' && data_[pos_] != '\\') {
                ++pos_;
            }
            out.append(data_ + runStart, pos_ - runStart);
            if (AtEnd()) {
                return Fail("Unterminated string");
            }
            if (Peek() == '"') {
                ++pos_;
                return true;
            }
            ++pos_;  // backslash
            if (AtEnd()) {
                return Fail("Invalid escape sequence");
            }
            const char escape = data_[pos_++];
            if (escape == 'u') {
                if (!ParseUnicodeEscape(out)) {
                    return false;
                }
                continue;
            }
            // Each letter of kEscapeLetters stands for the byte at the same index of kEscapeBytes.
            static constexpr std::string_view kEscapeLetters = "\"\\/bfnrt";
            static constexpr std::string_view kEscapeBytes = "\"\\/\b\f\n\r\t";
            const std::size_t index = kEscapeLetters.find(escape);
            if (index == std::string_view::npos) {
                return Fail("Invalid escape character");
            }
            out.push_back(kEscapeBytes[index]);
        }
    }

    // The position is just past "\u".
    bool ParseUnicodeEscape(std::string& out) {
        if (size_ - pos_ < 4) {
            return Fail("Invalid unicode escape");
        }
        unsigned code = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int digit = HexDigitValue(data_[pos_ + i]);
            if (digit < 0) {
                return Fail("Invalid unicode escape");
            }
            code = code * 16 + static_cast<unsigned>(digit);
        }
        pos_ += 4;
        // One byte per escape, with no UTF-8 encoding: the configuration files are compared
        // byte-wise, and anything beyond ASCII is deliberately flattened to '?'.
        out.push_back(code <= 0x7F ? static_cast<char>(code) : '?');
        return true;
    }

    bool ParseNumber(JsonValue& out) {
        const std::size_t start = pos_;
        if (Peek() == '-') {
            ++pos_;
        }
        SkipDigits();
        if (!AtEnd() && Peek() == '.') {
            ++pos_;
            SkipDigits();
        }
        if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
            ++pos_;
            if (!AtEnd() && (Peek() == '+' || Peek() == '-')) {
                ++pos_;
            }
            SkipDigits();
        }
        // The span holds only '-', digits, '.', 'e'/'E' and an exponent sign, so the forms where
        // from_chars and the C library's strtod differ (leading '+', "inf", "nan", hexadecimal,
        // leading white space) cannot reach it. Unlike strtod it ignores the current locale.
        const char* first = data_ + start;
        const char* last = data_ + pos_;
        double value = 0.0;
        const auto [end, ec] = std::from_chars(first, last, value);
        if (end != last || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
            return Fail("Invalid number");
        }
        if (ec == std::errc::result_out_of_range) {
            const bool negative = *first == '-';
            const double magnitude =
                OutOfRangeIsOverflow(first, last) ? std::numeric_limits<double>::infinity() : 0.0;
            value = negative ? -magnitude : magnitude;
        }
        out.kind = JsonKind::Number;
        out.numberValue = value;
        return true;
    }

    void SkipDigits() {
        while (pos_ < size_ && IsDigit(data_[pos_])) {
            ++pos_;
        }
    }

    bool MatchesLiteral(std::string_view literal) const {
        return size_ - pos_ >= literal.size() &&
               std::memcmp(data_ + pos_, literal.data(), literal.size()) == 0;
    }

    // The byte after a literal is not examined: "trueX" leaves X to the enclosing container.
    bool ParseBoolean(JsonValue& out) {
        if (MatchesLiteral("true")) {
            pos_ += 4;
            out.kind = JsonKind::Bool;
            out.boolValue = true;
            return true;
        }
        if (MatchesLiteral("false")) {
            pos_ += 5;
            out.kind = JsonKind::Bool;
            out.boolValue = false;
            return true;
        }
        return Fail("Invalid boolean");
    }

    bool ParseNull(JsonValue& out) {
        if (MatchesLiteral("null")) {
            pos_ += 4;
            out = JsonValue();
            return true;
        }
        return Fail("Invalid null");
    }

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    const char* error_ = "";
};

}  // namespace

JsonParseResult ParseJson(std::string_view text) {
    return Parser(text).ParseDocument();
}

}  // namespace tarnwick
