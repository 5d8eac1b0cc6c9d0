// SPDX-License-Identifier: Apache-2.0
// IDL literals of values: numbers, floats and decimals exactly, escaped characters and strings.
#include "idl_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kivtool::idl {

namespace {

std::string escaped(uint8_t c, char quote) {
    switch (c) {
        case '\n':
            return "\\n";
        case '\t':
            return "\\t";
        case '\r':
            return "\\r";
        case '\\':
            return "\\\\";
        default:
            break;
    }
    if (c == static_cast<uint8_t>(quote)) return std::string("\\") + quote;
    if (c >= 0x20 && c < 0x7F) return std::string(1, static_cast<char>(c));
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
    return buffer;
}

template <class Float>
std::string shortestFloat(Float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    // A literal without '.' or exponent would read as an integer.
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

// A decimal split into its parts; coefficient as decimal digits.
struct DecimalParts {
    bool negative = false;
    enum { Finite, Infinite, QuietNaN, SignalingNaN } form = Finite;
    std::string digits;
    int exponent = 0;
};

// The standard to-scientific-string form: plain notation while the exponent is at most 0 and
// the adjusted exponent at least -6, scientific notation otherwise.
std::string sciText(const DecimalParts &d) {
    std::string sign = d.negative ? "-" : "";
    switch (d.form) {
        case DecimalParts::Infinite:
            return sign + "Infinity";
        case DecimalParts::QuietNaN:
            return sign + "NaN";
        case DecimalParts::SignalingNaN:
            return sign + "sNaN";
        case DecimalParts::Finite:
            break;
    }
    const std::string &c = d.digits;
    int length = static_cast<int>(c.size());
    int adjusted = d.exponent + length - 1;
    std::string out = sign;
    if (d.exponent <= 0 && adjusted >= -6) {
        int point = length + d.exponent;  // digits before the decimal point
        if (d.exponent == 0)
            out.append(c);
        else if (point > 0)
            out.append(c, 0, point).append(".").append(c, point);
        else
            out.append("0.").append(-point, '0').append(c);
        return out;
    }
    out.append(c, 0, 1);
    if (length > 1) out.append(".").append(c, 1);
    return out.append(adjusted >= 0 ? "E+" : "E-").append(std::to_string(std::abs(adjusted)));
}

__extension__ typedef unsigned __int128 U128;

std::string digitsOf(U128 value) {
    std::string out;
    do {
        out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return out;
}

// The BID layout of one format: `bits` wide, an exponent field of `exponentBits`, the
// given bias and the largest canonical coefficient.
struct BidFormat {
    int bits;
    int exponentBits;
    int bias;
    U128 maxCoefficient;
};

// Decodes a BID value (held in the low `format.bits` bits of `value`).
DecimalParts decodeBid(U128 value, const BidFormat &format) {
    DecimalParts d;
    int top = format.bits - 1;
    d.negative = (value >> top) & 1;
    auto field = [&](int high, int width) {
        return static_cast<uint32_t>((value >> (high - width + 1)) & ((U128{1} << width) - 1));
    };
    U128 coefficient;
    int exponentField;
    if (field(top - 1, 2) == 3) {
        uint32_t special = field(top - 1, 5);
        if (special == 0x1E) {
            d.form = DecimalParts::Infinite;
            return d;
        }
        if (special == 0x1F) {
            d.form = field(top - 6, 1) ? DecimalParts::SignalingNaN : DecimalParts::QuietNaN;
            return d;
        }
        // The large-coefficient form: an implicit 100 in front of the stored bits.
        int coefficientBits = top - 2 - format.exponentBits;
        exponentField = static_cast<int>(field(top - 3, format.exponentBits));
        coefficient = (U128{4} << coefficientBits) | (value & ((U128{1} << coefficientBits) - 1));
    } else {
        int coefficientBits = top - format.exponentBits;
        exponentField = static_cast<int>(field(top - 1, format.exponentBits));
        coefficient = value & ((U128{1} << coefficientBits) - 1);
    }
    if (coefficient > format.maxCoefficient) coefficient = 0;  // non-canonical: zero
    d.digits = digitsOf(coefficient);
    d.exponent = exponentField - format.bias;
    return d;
}

U128 powerOfTen(int n) {
    U128 p = 1;
    while (n-- > 0) p *= 10;
    return p;
}

}  // namespace

std::string charLiteral(uint8_t c) {
    return std::string("'").append(escaped(c, '\'')).append("'");
}

std::string wcharLiteral(uint16_t c) {
    if (c < 0x80) return std::string("L").append(charLiteral(static_cast<uint8_t>(c)));
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "L'\\u%04x'", c);
    return buffer;
}

std::string stringLiteral(std::string_view text, bool wide) {
    std::string out = wide ? "L\"" : "\"";
    for (char c : text) out += escaped(static_cast<uint8_t>(c), '"');
    return out + "\"";
}

std::string floatLiteral(float value) {
    return shortestFloat(value);
}

std::string floatLiteral(double value) {
    return shortestFloat(value);
}

std::string decimal32Text(uint32_t bits) {
    return sciText(decodeBid(bits, {32, 8, 101, powerOfTen(7) - 1}));
}

std::string decimal64Text(uint64_t bits) {
    return sciText(decodeBid(bits, {64, 10, 398, powerOfTen(16) - 1}));
}

std::string decimal128Text(uint64_t low, uint64_t high) {
    return sciText(decodeBid((U128{high} << 64) | low, {128, 14, 6176, powerOfTen(34) - 1}));
}

namespace {

template <class Float, class Bits>
std::optional<Bits> parseFloatBits(std::string_view text) {
    bool negative = text.starts_with("-");
    if (negative) text.remove_prefix(1);
    Float value;
    if (text == "NaN") {
        value = std::numeric_limits<Float>::quiet_NaN();
    } else if (text == "Infinity") {
        value = std::numeric_limits<Float>::infinity();
    } else {
        if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
        if (std::isinf(value) || std::isnan(value)) return std::nullopt;
    }
    if (negative) value = -value;
    Bits bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

std::optional<uint32_t> floatBits(std::string_view text) {
    return parseFloatBits<float, uint32_t>(text);
}

std::optional<uint64_t> doubleBits(std::string_view text) {
    return parseFloatBits<double, uint64_t>(text);
}

std::optional<Bits128> decimalBits(std::string_view text, int width, std::string *why) {
    struct Layout {
        int exponentBits, bias, digits;
    };
    const Layout layout = width == 32   ? Layout{8, 101, 7}
                          : width == 64 ? Layout{10, 398, 16}
                                        : Layout{14, 6176, 34};
    auto fail = [&](const std::string &reason) -> std::optional<Bits128> {
        if (why) *why = reason;
        return std::nullopt;
    };
    int top = width - 1;
    U128 sign = 0;
    if (text.starts_with("-")) {
        sign = U128{1} << top;
        text.remove_prefix(1);
    }
    if (text == "Infinity") return sign | (U128{0x1E} << (top - 5));
    if (text == "NaN") return sign | (U128{0x1F} << (top - 5));
    if (text == "sNaN") return sign | (U128{0x3F} << (top - 6));
    std::string digits;
    int exponent = 0;
    size_t i = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            digits += c;
            if (point) --exponent;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits.empty()) return fail("not a decimal number");
    if (i < text.size()) {
        if (text[i] != 'e' && text[i] != 'E') return fail("not a decimal number");
        int e = 0;
        std::string_view rest = text.substr(i + 1);
        if (rest.starts_with("+")) rest.remove_prefix(1);
        auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), e);
        if (ec != std::errc() || end != rest.data() + rest.size()) return fail("bad exponent");
        exponent += e;
    }
    size_t nonzero = digits.find_first_not_of('0');
    digits = nonzero == std::string::npos ? "0" : digits.substr(nonzero);
    if (static_cast<int>(digits.size()) > layout.digits)
        return fail("more than " + std::to_string(layout.digits) +
                    " significant digits for decimal" + std::to_string(width));
    int maxBiased = 3 << (layout.exponentBits - 2);
    int biased = exponent + layout.bias;
    if (biased < 0 || biased >= maxBiased)
        return fail("exponent out of the range of decimal" + std::to_string(width));
    U128 coefficient = 0;
    for (char c : digits) coefficient = coefficient * 10 + static_cast<unsigned>(c - '0');
    int smallBits = top - layout.exponentBits;
    if (coefficient < (U128{1} << smallBits))
        return sign | (U128(biased) << smallBits) | coefficient;
    int largeBits = smallBits - 2;
    return sign | (U128{3} << (top - 2)) | (U128(biased) << largeBits) |
           (coefficient & ((U128{1} << largeBits) - 1));
}

std::string bitsLiteral(Bits128 value, int width) {
    std::string hexDigits;
    for (int shift = width - 4; shift >= 0; shift -= 4)
        hexDigits += "0123456789abcdef"[static_cast<int>((value >> shift) & 0xF)];
    return "bits(0x" + hexDigits + ")";
}

bool isKeyword(std::string_view word) {
    static const char *const words[] = {
        "FALSE",       "Object",  "TRUE",       "ValueBase",  "abstract",  "any",
        "attribute",   "boolean", "case",       "char",       "component", "const",
        "context",     "custom",  "decimal128", "decimal32",  "decimal64", "default",
        "double",      "enum",    "exception",  "factory",    "fixed",     "float",
        "getraises",   "home",    "import",     "in",         "inout",     "interface",
        "local",       "long",    "module",     "native",     "octet",     "oneway",
        "out",         "private", "public",     "raises",     "readonly",  "sequence",
        "setraises",   "short",   "string",     "struct",     "supports",  "switch",
        "truncatable", "typedef", "typeid",     "typeprefix", "union",     "unsigned",
        "valuetype",   "void",    "wchar",      "wstring"};
    return std::binary_search(std::begin(words), std::end(words), word,
                              [](std::string_view a, std::string_view b) { return a < b; });
}

std::string idlName(std::string_view name) {
    bool identifier = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_'))
            identifier = false;
    if (!identifier) {
        std::string out = "`";
        for (char c : name) out += escaped(static_cast<uint8_t>(c), '`');
        return out + "`";
    }
    std::string out;
    if (name[0] == '_' || isKeyword(name)) out = "_";
    out.append(name);
    return out;
}

}  // namespace kivtool::idl
