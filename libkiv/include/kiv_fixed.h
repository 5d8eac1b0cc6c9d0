// SPDX-License-Identifier: Apache-2.0
/*
 * kivFixed: exact fixed-point decimal numbers in caller-owned packed-decimal records.
 * Compiles as C11 and as C++.
 *
 * A record's type is the pair (digits, scale): `digits` decimal digits, of which `scale` lie
 * right of the decimal point (a negative scale s means -s implied zeros left of the point).
 * The caller allocates KIV_FIXED_SIZE(digits) bytes, sets `digits` and `scale` (scale <= digits)
 * and never changes them afterwards; the functions read and write only `packed`.
 *
 * `packed` holds the digits as 4-bit nibbles, most significant first, followed by a state
 * nibble; with an even digit count a zero nibble comes first, so that the state is always the
 * low nibble of byte digits/2. 123.45 as (5, 2) is 12 34 5C; -12.34 as (4, 2) is 01 23 4D.
 *
 * Every operation writes its outcome into a result record whose type the caller chose: fraction
 * digits beyond the result's scale are truncated toward zero (never rounded), and an integer
 * part that does not fit makes the result an infinity of the result's sign. Nothing reports an
 * error, allocates from the heap or keeps state between calls; calls on different records may
 * run on any threads at once. A result record may be one of the operands.
 *
 * Negative zero (state KIV_FIXED_NEGATIVE with all digits zero) is a value: it compares equal
 * to zero, converts to -0.0 and formats as "-0". A result keeps its sign when it truncates to
 * zero, so a negative outcome too small for the result's scale is a negative zero. Exact zeros:
 * a sum or difference of equal magnitudes with opposite effective signs is +0 while (-0) + (-0)
 * and (-0) - (+0) are -0; a zero product and the negation of a zero are +0; a zero quotient
 * keeps the sign of the operands (0 / -5 is -0); rounding and truncation keep the sign.
 *
 * Infinities and NaN: a NaN operand makes the result a copy of that operand's packed digits
 * (as far as the shorter record reaches) with its state; infinities combine as in IEEE
 * arithmetic except that an infinity times zero is an infinity and an infinity divided by zero
 * is an infinity. x / 0 is an infinity with the sign of the operands (a negative zero divisor
 * counts as negative), 0 / 0 is NaN.
 *
 * Decisions beyond the basic rules:
 *  - A quotient whose integer part does not fit the result becomes an infinity of the
 *    quotient's sign, like the results of the other operations.
 *  - kivFixedRound2 with a mode outside 0 to 8 leaves the value unrounded (as mode 0); rounding
 *    at a position left of every digit rounds exactly (999 to scale -4 gives 0 by
 *    KIV_FIXED_ROUND_HALF_EVEN and 10000 by KIV_FIXED_ROUND_UP).
 *  - kivFixedSetString into a type without integer digits (scale == digits) reads an integer
 *    part of zeros, so "0", "-0" and "0." give zero; "5" stores no digit and is refused.
 *  - kivFixedSet uses the magnitude of a negative fractionUnits, and a negative fractionUnits
 *    with integerPart 0 makes the value negative (kivFixedSet(v, 0, -5) at scale 1 is -0.5);
 *    INT32_MIN as integerPart is read as 2147483648 with a negative sign.
 *  - A state nibble 0 to 9 is read as NaN; results copied from such a record get state 15.
 *    Digit nibbles above 9 give unspecified values but never unsafe memory access.
 *  - A record with scale > digits is read as the value D x 10^-scale.
 *  - Every digit count up to 65535 and every scale is supported exactly, even where the
 *    intermediate results need more digits. Multiplication and division of records with more
 *    than about 1100 digits use up to 90 KB of stack; everything else needs less than 2 KB.
 */
#ifndef KIV_FIXED_H
#define KIV_FIXED_H

#include "kiv_base.h"

KIV_BEGIN_DECLS

typedef struct kivFixed {
    uint16_t digits;   /* number of decimal digits held */
    int16_t scale;     /* digits right of the point; negative: implied zeros left of it */
    uint8_t packed[1]; /* really digits / 2 + 1 bytes */
} kivFixed;

/* Bytes to allocate for a record of `digits` digits. */
#define KIV_FIXED_SIZE(digits) ((size_t)4 + (size_t)(digits) / 2 + 1)

/* State codes (kivFixedGetState). 15 is read as NaN as well; the library never makes it but
 * propagates it. */
#define KIV_FIXED_POS_INF 10
#define KIV_FIXED_NEG_INF 11
#define KIV_FIXED_POSITIVE 12 /* finite, not negative */
#define KIV_FIXED_NEGATIVE 13 /* finite, negative (all digits zero: negative zero) */
#define KIV_FIXED_NAN 14

/* Relations for kivFixedCmp. NaN is unordered and unequal to everything, itself included. */
#define KIV_FIXED_EQ 0
#define KIV_FIXED_NE 1
#define KIV_FIXED_LT 2
#define KIV_FIXED_LE 3
#define KIV_FIXED_GE 4
#define KIV_FIXED_GT 5

/* Rounding modes for kivFixedRound2. */
#define KIV_FIXED_ROUND_NONE 0         /* digits stay as they are */
#define KIV_FIXED_ROUND_FLOOR 1        /* toward negative infinity */
#define KIV_FIXED_ROUND_DOWN 2         /* toward zero */
#define KIV_FIXED_ROUND_CEILING 3      /* toward positive infinity */
#define KIV_FIXED_ROUND_UP 4           /* away from zero */
#define KIV_FIXED_ROUND_HALF_CEILING 5 /* nearest; a half toward positive infinity */
#define KIV_FIXED_ROUND_HALF_UP 6      /* nearest; a half away from zero */
#define KIV_FIXED_ROUND_HALF_EVEN 7    /* nearest; a half to the even digit */
#define KIV_FIXED_ROUND_HALF_DOWN 8    /* nearest; a half toward zero */

/* Prepares storage of at least KIV_FIXED_SIZE(digits) bytes, aligned for kivFixed, as a record
 * of type (digits, scale) holding +0, and returns it. */
static inline kivFixed *kivFixedInit(void *storage, uint16_t digits, int16_t scale) {
    kivFixed *v = (kivFixed *)storage;
    uint8_t *packed = (uint8_t *)storage + 4;
    size_t i;
    v->digits = digits;
    v->scale = scale;
    for (i = 0; i < (size_t)digits / 2; ++i) packed[i] = 0;
    packed[digits / 2] = KIV_FIXED_POSITIVE;
    return v;
}

/* Declares `kivFixed *const name`, a record of type (digits, scale) on the stack holding +0.
 * digits must be a constant expression. Example: KIV_FIXED_DECLARE(price, 9, 2); */
#define KIV_FIXED_DECLARE(name, ndigits, nscale) \
    union {                                      \
        kivFixed record;                         \
        uint8_t bytes[KIV_FIXED_SIZE(ndigits)];  \
    } name##KivStorage;                          \
    kivFixed *const name = kivFixedInit(&name##KivStorage, (uint16_t)(ndigits), (int16_t)(nscale))

/* Special values: every digit nibble zero, the state in the last byte. */
KIV_API void kivFixedSetNaN(kivFixed *v);
KIV_API void kivFixedSetPosInfinity(kivFixed *v);
KIV_API void kivFixedSetNegInfinity(kivFixed *v);

/* The state nibble (KIV_FIXED_POS_INF ... KIV_FIXED_NAN, or 15). */
KIV_API int kivFixedGetState(const kivFixed *v);

/* Sets integerPart + fractionUnits x 10^-scale with the sign of integerPart (see the decisions
 * above for a negative fractionUnits). Digits that find no position are dropped: at (3, 0)
 * 12345 gives 345; at scale 2 fractionUnits 5 is .05 and 123 is .23; at scale <= 0 it is
 * ignored. Never makes an infinity. */
KIV_API void kivFixedSet(kivFixed *v, int32_t integerPart, int32_t fractionUnits);

/* Sets the digits of a double, truncated: integer digits by repeated fmod and division by ten,
 * fraction digits by repeated multiplication by ten, in double precision (2.675 at scale 2 gives
 * 2.67, 0.1 gives 0.10). High-order digits without a position are dropped; NaN and infinities
 * give zero (-infinity a negative zero); -0.0 gives +0. */
KIV_API void kivFixedSetDouble(kivFixed *v, double x);

/* pow(0.1, scale) x F + I in double precision, I and F being the integer and fraction digits
 * read as doubles, negated for a negative value; 0.0 for an infinity or NaN. The result is not
 * always the nearest double (0.30 gives 0.30000000000000004); with more than about 300
 * fraction digits F overflows and the result is meaningless. */
KIV_API double kivFixedGetDouble(const kivFixed *v);

/* r = a + b, a - b, a x b, a / b (quotient truncated toward zero at r's last digit). */
KIV_API void kivFixedAdd(kivFixed *r, const kivFixed *a, const kivFixed *b);
KIV_API void kivFixedSub(kivFixed *r, const kivFixed *a, const kivFixed *b);
KIV_API void kivFixedMul(kivFixed *r, const kivFixed *a, const kivFixed *b);
KIV_API void kivFixedDiv(kivFixed *r, const kivFixed *a, const kivFixed *b);

/* r = -v; negating either zero gives +0. */
KIV_API void kivFixedNegate(kivFixed *r, const kivFixed *v);

/* 1 when relation op (KIV_FIXED_EQ ... KIV_FIXED_GT) holds between a and b, else 0 (also for any
 * other op). -Inf < negative values < zero (either sign) < positive values < +Inf. */
KIV_API int kivFixedCmp(const kivFixed *a, const kivFixed *b, int op);

/* r = v rounded to `scale` fraction digits of v's value (2 keeps hundredths, -1 tens) by `mode`,
 * then fitted to r's type (which truncates further when r has fewer fraction digits). A carry
 * that does not fit r makes an infinity; infinities and NaN pass through. */
KIV_API void kivFixedRound2(kivFixed *r, const kivFixed *v, int32_t scale, int32_t mode);
/* kivFixedRound2 with KIV_FIXED_ROUND_HALF_EVEN. */
KIV_API void kivFixedRound(kivFixed *r, const kivFixed *v, int32_t scale);
/* Drops the digits beyond `scale` fraction digits (toward zero), keeping the sign. */
KIV_API void kivFixedTruncate(kivFixed *r, const kivFixed *v, int32_t scale);

/* The integer part with the value's sign, wrapped modulo 2^32 (3000000000 gives -1294967296);
 * 0 for an infinity or NaN. */
KIV_API int32_t kivFixedIntegerPart(const kivFixed *v);
/* The fraction digits read as an integer, sign ignored, wrapped modulo 2^32: 12.05 gives 5,
 * 1.050 (scale 3) gives 50; 0 at scale <= 0 and for an infinity or NaN. */
KIV_API int32_t kivFixedFractionPart(const kivFixed *v);

/* Reads "+Inf", "-Inf", "NaN" (exactly so, not followed by a letter, digit or '_') or a number
 * [-]digits[.digits] after leading white space, like strtod: *end receives where reading
 * stopped (end may be NULL). No '+', no exponent. Integer digits without a position and
 * fraction digits beyond the scale are dropped. A text that stores no digit leaves *v unchanged
 * and sets *end = (char *)text; so does a NULL text (*end becomes NULL). */
KIV_API void kivFixedSetString(kivFixed *v, const char *text, char **end);

/* Writes v with `precision` fraction digits (rounded half to even when fewer than v's; padded
 * with zeros when more; negative: every fraction digit without trailing zeros), or "+Inf",
 * "-Inf", "NaN", like snprintf: at most size - 1 characters and a NUL when size > 0. Returns
 * the full length without the NUL; size 0 measures, and so does a NULL buffer of any size. */
KIV_API int64_t kivFixedGetString(const kivFixed *v, int32_t precision, char *buffer, size_t size);

KIV_END_DECLS

#endif /* KIV_FIXED_H */
