// SPDX-License-Identifier: Apache-2.0
// Literals of IDL values as `kiv tlib dump` prints them.
#pragma once

#include <cstdint>
#include <optional>
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

__extension__ typedef unsigned __int128 Bits128;

// The bits of a float or double literal as the compiler reads it: a number, NaN (the quiet NaN
// without payload), Infinity, each optionally negated. nullopt when the text is not one or the
// value overflows the type.
std::optional<uint32_t> floatBits(std::string_view text);
std::optional<uint64_t> doubleBits(std::string_view text);

// The BID encoding of a decimal literal of the given width (32, 64, 128): coefficient and
// exponent exactly as written (1.00 is 100E-2), or NaN, sNaN, Infinity, each optionally
// negated. Fails (with the reason) when the digits or the exponent do not fit; never rounds.
std::optional<Bits128> decimalBits(std::string_view text, int width, std::string *why = nullptr);

// bits(0x...) with as many hex digits as the width needs.
std::string bitsLiteral(Bits128 value, int width);

// Words the language reserves, including those of constructs it refuses.
bool isKeyword(std::string_view word);
// A name as it must be written to read back: Point, _module (a keyword), __x (a name that
// begins with '_'), `two words` (anything that is not an identifier).
std::string idlName(std::string_view name);

}  // namespace kivtool::idl
