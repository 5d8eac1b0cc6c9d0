# SPDX-License-Identifier: Apache-2.0
"""kiv.Fixed: a kivFixed record of a chosen type (digits, scale), exact to and from Decimal.

Arithmetic runs in libkiv and follows its rules: the result has a type of its own, fraction
digits beyond its scale are truncated toward zero, and an integer part that does not fit makes
an infinity. Conversion from Python values truncates the fraction the same way but refuses an
integer part that does not fit (OverflowError) rather than dropping digits silently."""

import decimal
import functools
import numbers
import struct

from . import _kiv

__all__ = ["Fixed", "ROUND_FLOOR", "ROUND_DOWN", "ROUND_CEILING", "ROUND_UP", "ROUND_HALF_CEILING",
           "ROUND_HALF_UP", "ROUND_HALF_EVEN", "ROUND_HALF_DOWN"]

MAX_DIGITS = 65535
(ROUND_NONE, ROUND_FLOOR, ROUND_DOWN, ROUND_CEILING, ROUND_UP, ROUND_HALF_CEILING, ROUND_HALF_UP,
 ROUND_HALF_EVEN, ROUND_HALF_DOWN) = range(9)
_POS_INF, _NEG_INF, _POSITIVE, _NEGATIVE = 10, 11, 12, 13
_EQ, _NE, _LT, _LE, _GE, _GT = range(6)
_ADD, _SUB, _MUL, _DIV = range(4)


def _check_type(digits, scale):
    if not isinstance(digits, int) or not isinstance(scale, int):
        raise TypeError("digits and scale must be integers")
    if not 0 <= digits <= MAX_DIGITS:
        raise ValueError(f"digits must be 0 to {MAX_DIGITS}, not {digits}")
    if not -32768 <= scale <= digits:
        raise ValueError(f"scale must be -32768 to digits ({digits}), not {scale}")


def _clamp_type(digits, scale):
    digits = max(0, min(MAX_DIGITS, digits))
    return digits, max(-32768, min(scale, digits))


def _encode(digits, scale, negative, magnitude, state=None):
    """The record bytes: header, digit nibbles (a zero nibble first for an even count), state."""
    text = str(magnitude).rjust(digits, "0") if magnitude else "0" * digits
    if digits % 2 == 0:
        text = "0" + text
    if state is None:
        state = _NEGATIVE if negative else _POSITIVE
    nibbles = [int(c) for c in text] + [state]
    packed = bytes(nibbles[i] << 4 | nibbles[i + 1] for i in range(0, len(nibbles), 2))
    return struct.pack("=Hh", digits, scale) + packed


@functools.total_ordering
class Fixed:
    """A fixed-point decimal of ``digits`` digits, ``scale`` of them after the point.

    ``Fixed("12.345", 6, 2)`` is 12.34; ``Fixed(Decimal("1.50"))`` takes its type from the value
    (3 digits, scale 2). ``to_decimal()`` (or ``Decimal(str(x))``) gives the value exactly."""

    __slots__ = ("_record",)

    def __init__(self, value=0, digits=None, scale=None):
        if isinstance(value, Fixed):
            if digits is None:
                self._record = value._record
                return
            value = value.to_decimal()
        elif isinstance(value, float):
            value = decimal.Decimal(value)
        elif isinstance(value, (int, str)) and not isinstance(value, bool):
            value = decimal.Decimal(value)
        elif not isinstance(value, decimal.Decimal):
            raise TypeError(f"cannot make a Fixed from {type(value).__name__}")
        if digits is None or scale is None:
            digits, scale = self._type_of(value, digits, scale)
        _check_type(digits, scale)
        self._record = self._from_decimal(value, digits, scale)

    @staticmethod
    def _type_of(value, digits, scale):
        if not value.is_finite():
            return digits or 1, scale or 0
        exponent = value.as_tuple().exponent
        if scale is None:
            scale = max(0, -exponent)
        if digits is None:
            integral = abs(value).to_integral_value(rounding=decimal.ROUND_DOWN)
            integer_digits = len(str(integral)) if integral else 1
            digits = max(integer_digits + scale, scale, 1)
        return digits, scale

    @staticmethod
    def _from_decimal(value, digits, scale):
        sign = value.is_signed()
        if value.is_nan():
            return _encode(digits, scale, False, 0, 14)
        if value.is_infinite():
            return _encode(digits, scale, sign, 0, _NEG_INF if sign else _POS_INF)
        _, coefficient_digits, exponent = value.as_tuple()
        coefficient = int("".join(map(str, coefficient_digits)))
        shift = exponent + scale
        magnitude = coefficient * 10**shift if shift >= 0 else coefficient // 10**-shift
        if magnitude >= 10**digits:
            raise OverflowError(f"{value} does not fit {digits} digits with scale {scale}")
        return _encode(digits, scale, sign, magnitude)

    @classmethod
    def from_record(cls, record):
        """A Fixed over a kivFixed record given as bytes (header and packed digits)."""
        record = bytes(record)
        _kiv.fixed_to_string(record, 0)  # validates the shape
        fixed = cls.__new__(cls)
        fixed._record = record
        return fixed

    @property
    def record(self):
        """The kivFixed record as bytes, as C code reads it."""
        return self._record

    @property
    def digits(self):
        return struct.unpack_from("=H", self._record)[0]

    @property
    def scale(self):
        return struct.unpack_from("=h", self._record, 2)[0]

    def _nibbles(self):
        packed = self._record[4:]
        nibbles = [n for b in packed for n in (b >> 4, b & 15)]
        return nibbles[-self.digits - 1:-1] if self.digits else [], nibbles[-1]

    def to_decimal(self):
        digits, state = self._nibbles()
        if state == _POS_INF or state == _NEG_INF:
            return decimal.Decimal("-Infinity" if state == _NEG_INF else "Infinity")
        if state not in (_POSITIVE, _NEGATIVE):
            return decimal.Decimal("NaN")
        # Nibbles above 9 have no meaning; they read as 9 so that the result is a number.
        return decimal.Decimal((int(state == _NEGATIVE), tuple(min(d, 9) for d in digits) or (0,),
                                -self.scale))

    def is_nan(self):
        return self._nibbles()[1] not in (_POS_INF, _NEG_INF, _POSITIVE, _NEGATIVE)

    def is_infinite(self):
        return self._nibbles()[1] in (_POS_INF, _NEG_INF)

    # --- arithmetic through the library ---------------------------------------------------

    def _binary(self, op, other, digits, scale):
        other = _coerce(other)
        if other is NotImplemented:
            return NotImplemented
        if digits is None:
            digits, scale = _result_type(op, self, other)
        _check_type(digits, scale)
        return Fixed.from_record(_kiv.fixed_binary(op, digits, scale, self._record, other._record))

    def add(self, other, digits=None, scale=None):
        """self + other into a result of type (digits, scale); by default one that holds any
        sum exactly."""
        return self._binary(_ADD, other, digits, scale)

    def sub(self, other, digits=None, scale=None):
        return self._binary(_SUB, other, digits, scale)

    def mul(self, other, digits=None, scale=None):
        return self._binary(_MUL, other, digits, scale)

    def div(self, other, digits=None, scale=None):
        """self / other truncated toward zero at the result's scale; by default the result
        has self's type."""
        return self._binary(_DIV, other, digits, scale)

    __add__ = add
    __sub__ = sub
    __mul__ = mul
    __truediv__ = div

    def __radd__(self, other):
        other = _coerce(other)
        return NotImplemented if other is NotImplemented else other.add(self)

    def __rsub__(self, other):
        other = _coerce(other)
        return NotImplemented if other is NotImplemented else other.sub(self)

    def __rmul__(self, other):
        other = _coerce(other)
        return NotImplemented if other is NotImplemented else other.mul(self)

    def __rtruediv__(self, other):
        other = _coerce(other)
        return NotImplemented if other is NotImplemented else other.div(self)

    def __neg__(self):
        return Fixed.from_record(_kiv.fixed_negate(self.digits, self.scale, self._record))

    def __pos__(self):
        return self

    def __abs__(self):
        return -self if self.to_decimal().is_signed() else self

    def round(self, scale, mode=ROUND_HALF_EVEN, digits=None, result_scale=None):
        """Rounded to ``scale`` fraction digits by ``mode`` (ROUND_*), in a result of type
        (digits, result_scale), by default this value's type."""
        digits = self.digits if digits is None else digits
        result_scale = self.scale if result_scale is None else result_scale
        _check_type(digits, result_scale)
        return Fixed.from_record(_kiv.fixed_round(digits, result_scale, self._record, scale, mode))

    def truncate(self, scale):
        """The digits beyond ``scale`` fraction digits dropped, toward zero."""
        return Fixed.from_record(_kiv.fixed_truncate(self.digits, self.scale, self._record, scale))

    # --- comparisons and conversions ------------------------------------------------------

    def _compare(self, other, op):
        other = _coerce(other)
        if other is NotImplemented:
            return NotImplemented
        return _kiv.fixed_compare(self._record, other._record, op)

    def __eq__(self, other):
        return self._compare(other, _EQ)

    def __lt__(self, other):
        return self._compare(other, _LT)

    def __hash__(self):
        return hash(self.to_decimal())

    def __float__(self):
        return _kiv.fixed_to_double(self._record)

    def __int__(self):
        return int(self.to_decimal())

    def __bool__(self):
        return not self.to_decimal().is_zero() or self.is_nan()

    def __str__(self):
        return _kiv.fixed_to_string(self._record, max(self.scale, 0))

    def __format__(self, format_spec):
        return format(self.to_decimal(), format_spec)

    def __repr__(self):
        return f"Fixed({str(self)!r}, {self.digits}, {self.scale})"


def _coerce(value):
    if isinstance(value, Fixed):
        return value
    if isinstance(value, (decimal.Decimal, numbers.Integral)) and not isinstance(value, bool):
        return Fixed(decimal.Decimal(value))
    return NotImplemented


def _result_type(op, a, b):
    """A result type that holds a sum, difference or product exactly; a's type for a quotient."""
    ia, ib = a.digits - a.scale, b.digits - b.scale
    if op in (_ADD, _SUB):
        scale = max(a.scale, b.scale)
        return _clamp_type(max(ia, ib) + 1 + scale, scale)
    if op == _MUL:
        return _clamp_type(a.digits + b.digits, a.scale + b.scale)
    return a.digits, a.scale
