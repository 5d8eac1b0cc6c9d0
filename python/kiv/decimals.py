# SPDX-License-Identifier: Apache-2.0
"""IEEE 754 decimal32/64/128 values (binary integer decimal encoding) as decimal.Decimal.

Conversions are exact: a value converts only when the format holds it with every digit, and
otherwise raises (decimal.Inexact, OverflowError). Round first with the format's context
(CONTEXTS[width]) to store a value that does not fit as the format would."""

import decimal

__all__ = ["CONTEXTS", "decimal32_context", "decimal64_context", "decimal128_context",
           "to_decimal", "from_decimal"]


class _Format:
    def __init__(self, width, precision, exponent_bits, bias):
        self.width = width
        self.precision = precision
        self.exponent_bits = exponent_bits
        self.bias = bias
        self.max_coefficient = 10**precision - 1
        self.max_biased = 3 * 2 ** (exponent_bits - 2) - 1
        self.trailing_bits = width - 4 - exponent_bits
        emax = self.max_biased - bias + precision - 1
        self.context = decimal.Context(prec=precision, rounding=decimal.ROUND_HALF_EVEN,
                                       Emin=1 - emax, Emax=emax, clamp=1, traps=[])


_FORMATS = {32: _Format(32, 7, 8, 101), 64: _Format(64, 16, 10, 398),
            128: _Format(128, 34, 14, 6176)}

CONTEXTS = {width: f.context for width, f in _FORMATS.items()}
decimal32_context = CONTEXTS[32]
decimal64_context = CONTEXTS[64]
decimal128_context = CONTEXTS[128]


def _field(bits, high, count):
    return (bits >> (high - count + 1)) & ((1 << count) - 1)


def to_decimal(bits, width):
    """The Decimal that the bit pattern of a decimal``width`` stands for. Non-canonical
    coefficients read as zero, as IEEE 754 says."""
    f = _FORMATS[width]
    top = width - 1
    sign = bits >> top & 1
    if _field(bits, top - 1, 4) == 0b1111:
        if _field(bits, top - 5, 1) == 0:
            return decimal.Decimal((sign, (0,), "F"))
        payload = bits & ((1 << f.trailing_bits) - 1)
        if payload > 10 ** (f.precision - 1) - 1:
            payload = 0
        kind = "N" if _field(bits, top - 6, 1) else "n"
        digits = tuple(int(c) for c in str(payload)) if payload else ()
        return decimal.Decimal((sign, digits, kind))
    if _field(bits, top - 1, 2) == 0b11:
        exponent = _field(bits, top - 3, f.exponent_bits)
        low = width - 3 - f.exponent_bits
        coefficient = (0b100 << low) | (bits & ((1 << low) - 1))
    else:
        exponent = _field(bits, top - 1, f.exponent_bits)
        low = width - 1 - f.exponent_bits
        coefficient = bits & ((1 << low) - 1)
    if coefficient > f.max_coefficient:
        coefficient = 0
    return decimal.Decimal((sign, tuple(int(c) for c in str(coefficient)), exponent - f.bias))


def from_decimal(value, width):
    """The bit pattern of ``value`` (a Decimal, int or str) as a decimal``width``, exactly:
    decimal.Inexact when it needs more digits than the format has, OverflowError when its
    exponent is out of range even after moving zeros between coefficient and exponent."""
    f = _FORMATS[width]
    value = decimal.Decimal(value) if not isinstance(value, decimal.Decimal) else value
    sign, digits, exponent = value.as_tuple()
    top = width - 1
    if value.is_infinite():
        return sign << top | 0b11110 << (top - 5)
    if value.is_nan():
        payload = int("".join(map(str, digits))) if digits else 0
        if payload > 10 ** (f.precision - 1) - 1:
            raise decimal.Inexact(f"NaN payload {payload} does not fit decimal{width}")
        quiet = 0b111110 if value.is_qnan() else 0b111111
        return sign << top | quiet << (top - 6) | payload
    coefficient = int("".join(map(str, digits)))
    biased = exponent + f.bias
    # Trailing zeros move into the exponent and a large exponent into the coefficient, as
    # long as nothing is lost.
    while biased < 0 and coefficient % 10 == 0 and coefficient:
        coefficient //= 10
        biased += 1
    if biased < 0 and coefficient == 0:
        biased = 0
    while biased > f.max_biased and coefficient * 10 <= f.max_coefficient:
        coefficient *= 10
        biased -= 1
    while coefficient > f.max_coefficient and coefficient % 10 == 0:
        coefficient //= 10
        biased += 1
    if coefficient > f.max_coefficient or biased < 0:
        raise decimal.Inexact(f"{value} does not fit decimal{width} exactly")
    if biased > f.max_biased:
        if coefficient == 0:
            biased = f.max_biased
        else:
            raise OverflowError(f"{value} is out of the range of decimal{width}")
    low = width - 1 - f.exponent_bits
    if coefficient >> low:
        small = width - 3 - f.exponent_bits
        return (sign << top | 0b11 << (top - 2) | biased << small
                | coefficient & ((1 << small) - 1))
    return sign << top | biased << low | coefficient
