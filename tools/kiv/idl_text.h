// Literals of IDL values as `kiv tlib dump` prints them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kivtool::idl {

// 'a', '\n', '\x07'.
std::string charLiteral(uint8_t c);
// L'a', L'\u20ac'.
std::string wcharLiteral(uint16_t c);
// "text" (L"text" when wide) with C escapes for quotes, backslashes and unprintable bytes.
std::string stringLiteral(std::string_view text, bool wide);
// The shortest text that reads back as the same number, always with a '.' or an exponent
// (1.0, -0.0, 1e+30); NaN, Infinity and -Infinity for the special values.
std::string floatLiteral(float value);
std::string floatLiteral(double value);

// IEEE 754-2008 decimals in the binary integer decimal encoding, printed exactly: coefficient
// and exponent as the standard's to-scientific-string gives them (1.00 stays 1.00, 1E+3 stays
// 1E+3), with Infinity, NaN and sNaN for the special values.
std::string decimal32Text(uint32_t bits);
std::string decimal64Text(uint64_t bits);
// The less significant 64-bit word first.
std::string decimal128Text(uint64_t low, uint64_t high);

}  // namespace kivtool::idl
