// SPDX-License-Identifier: Apache-2.0
/*
 * Conversions of the IDL decimal types kivDecimal32, kivDecimal64 and kivDecimal128 to and from
 * kivFixed, text and each other. Header-only: every function is static inline, nothing is
 * linked from libkiv. Compiles as C11 (GCC and clang: it uses their unsigned __int128) and C++.
 *
 * The decimals hold IEEE 754 decimal values in the binary integer encoding (BID; docs/mapping.md
 * describes the layout): a sign, a coefficient of at most 7, 16 or 34 digits and an exponent of
 * ten in -101..90, -398..369 or -6176..6111. Coefficients the encoding can hold but the format
 * cannot (above 10^7 - 1, 10^16 - 1, 10^34 - 1) read as zero, as the standard asks.
 *
 * Rounding: a value with more digits than the decimal type holds is rounded half to even to its
 * digits (and to the smallest exponent: tiny values lose digits, down to zero); a value past the
 * largest finite decimal becomes an infinity of its sign. Converting to a wider decimal type is
 * exact. A decimal converts to a kivFixed record only when the record holds its value exactly;
 * otherwise the call fails and leaves the record unchanged. NaN payloads are not kept: every NaN
 * becomes the quiet NaN of its sign, and a kivFixed NaN becomes a positive quiet NaN.
 */
#ifndef KIV_DECIMAL_H
#define KIV_DECIMAL_H

#include <stddef.h>
#include <stdint.h>

#include "kiv_base.h"
#include "kiv_fixed.h"

#ifdef __cplusplus
#include <optional>
#include <string>
#include <string_view>
#endif

KIV_BEGIN_DECLS

/* Internal helpers (kivDecimal_ prefix): not part of the interface. */
__extension__ typedef unsigned __int128 kivDecimal_U128;

/* A decimal format: bits, exponent field bits, coefficient digits, exponent bias. */
typedef struct kivDecimal_Format {
    unsigned width, exponentBits, digits;
    int bias;
} kivDecimal_Format;

static const kivDecimal_Format kivDecimal_F32 = {32, 8, 7, 101};
static const kivDecimal_Format kivDecimal_F64 = {64, 10, 16, 398};
static const kivDecimal_Format kivDecimal_F128 = {128, 14, 34, 6176};

enum { kivDecimal_FINITE, kivDecimal_INF, kivDecimal_NAN };

/* A decoded value: coefficient x 10^exponent, or an infinity or NaN. */
typedef struct kivDecimal_Parts {
    int kind, negative;
    int32_t exponent;
    kivDecimal_U128 coefficient;
} kivDecimal_Parts;

static inline kivDecimal_U128 kivDecimal_pow10(unsigned k) {
    kivDecimal_U128 x = 1;
    while (k-- > 0) x *= 10;
    return x;
}

static inline unsigned kivDecimal_length(kivDecimal_U128 c) {
    unsigned n = 0;
    while (c != 0) {
        c /= 10;
        ++n;
    }
    return n;
}

static inline int kivDecimal_maxExponent(const kivDecimal_Format *f) {
    return 3 * (1 << (f->exponentBits - 2)) - 1 - f->bias;
}

static inline kivDecimal_Parts kivDecimal_decode(kivDecimal_U128 bits, const kivDecimal_Format *f) {
    const unsigned w = f->width, e = f->exponentBits;
    const kivDecimal_U128 one = 1;
    kivDecimal_Parts p = {kivDecimal_FINITE, (int)((bits >> (w - 1)) & 1u), 0, 0};
    unsigned exponent;
    if (((bits >> (w - 3)) & 3u) != 3u) {
        exponent = (unsigned)(bits >> (w - 1 - e)) & ((1u << e) - 1u);
        p.coefficient = bits & ((one << (w - 1 - e)) - 1u);
    } else if (((bits >> (w - 5)) & 3u) == 3u) {
        p.kind = ((bits >> (w - 6)) & 1u) ? kivDecimal_NAN : kivDecimal_INF;
        return p;
    } else {
        exponent = (unsigned)(bits >> (w - 3 - e)) & ((1u << e) - 1u);
        p.coefficient = (bits & ((one << (w - 3 - e)) - 1u)) | (one << (w - 1 - e));
    }
    if (p.coefficient >= kivDecimal_pow10(f->digits)) p.coefficient = 0;
    p.exponent = (int32_t)exponent - f->bias;
    return p;
}

static inline kivDecimal_U128 kivDecimal_special(int negative, unsigned code,
                                                 const kivDecimal_Format *f) {
    return ((kivDecimal_U128)(negative != 0) << (f->width - 1)) |
           ((kivDecimal_U128)code << (f->width - 6));
}

/* Encodes sign, coefficient (< 10^digits) and exponent (in range). */
static inline kivDecimal_U128 kivDecimal_pack(int negative, kivDecimal_U128 c, int exponent,
                                              const kivDecimal_Format *f) {
    const unsigned w = f->width, e = f->exponentBits;
    const kivDecimal_U128 biased = (kivDecimal_U128)(exponent + f->bias), one = 1;
    kivDecimal_U128 bits = (kivDecimal_U128)(negative != 0) << (w - 1);
    if ((c >> (w - 1 - e)) == 0) return bits | (biased << (w - 1 - e)) | c;
    return bits | ((kivDecimal_U128)3 << (w - 3)) | (biased << (w - 3 - e)) |
           (c & ((one << (w - 3 - e)) - 1u));
}

/* Encodes c x 10^exponent (c below 10^38; `sticky`: digits below c's last were dropped that
 * are not all zero), rounded half to even to the format's digits and exponent range. */
static inline kivDecimal_U128 kivDecimal_round(int negative, kivDecimal_U128 c, int64_t exponent,
                                               int sticky, const kivDecimal_Format *f) {
    const int64_t emin = -(int64_t)f->bias, emax = kivDecimal_maxExponent(f);
    const int64_t length = (int64_t)kivDecimal_length(c);
    int64_t drop = length - (int64_t)f->digits;
    if (exponent + drop < emin) drop = emin - exponent; /* tiny values keep fewer digits */
    if (drop > 0) {
        kivDecimal_U128 q = 0;
        if (drop <= length) { /* else c is below a tenth of the unit: it rounds to zero */
            const kivDecimal_U128 unit = kivDecimal_pow10((unsigned)drop);
            const kivDecimal_U128 rest = c % unit, half = unit / 2;
            q = c / unit;
            if (rest > half || (rest == half && (sticky || (q & 1u)))) ++q;
        }
        c = q;
        exponent += drop;
        if (c == kivDecimal_pow10(f->digits)) {
            c /= 10;
            ++exponent;
        }
    }
    if (exponent > emax) {
        /* Zeros appended to the coefficient may take up the excess; a zero takes the largest
         * exponent. */
        const int64_t excess = exponent - emax;
        if (c != 0 && (int64_t)kivDecimal_length(c) + excess > (int64_t)f->digits)
            return kivDecimal_special(negative, 0x1E, f);
        if (c != 0) c *= kivDecimal_pow10((unsigned)excess);
        exponent = emax;
    }
    return kivDecimal_pack(negative, c, (int)exponent, f);
}

/* The value of a kivFixed record as a decimal of format f. */
static inline kivDecimal_U128 kivDecimal_fromFixed(const kivFixed *v, const kivDecimal_Format *f) {
    const unsigned n = v->digits, pad = (n & 1u) ^ 1u;
    const unsigned state = v->packed[n / 2] & 15u;
    kivDecimal_U128 c = 0;
    unsigned i, kept = 0;
    int64_t dropped = 0;
    int sticky = 0;
    if (state == KIV_FIXED_POS_INF || state == KIV_FIXED_NEG_INF)
        return kivDecimal_special(state == KIV_FIXED_NEG_INF, 0x1E, f);
    if (state != KIV_FIXED_POSITIVE && state != KIV_FIXED_NEGATIVE)
        return kivDecimal_special(0, 0x1F, f);
    for (i = 0; i < n; ++i) {
        const uint8_t b = v->packed[(i + pad) / 2];
        unsigned d = ((i + pad) & 1u) ? (b & 15u) : (unsigned)(b >> 4);
        if (d > 9) d = 9; /* a damaged nibble: any digit will do */
        if (kept < 38) {
            c = c * 10 + d;
            kept += c != 0;
        } else {
            sticky |= d != 0;
            ++dropped;
        }
    }
    return kivDecimal_round(state == KIV_FIXED_NEGATIVE, c, dropped - v->scale, sticky, f);
}

/* Writes the decoded finite value p into r when r holds it exactly, else fails. */
static inline kivResult kivDecimal_toFixed(kivFixed *r, kivDecimal_Parts p) {
    const unsigned n = r->digits, pad = (n & 1u) ^ 1u;
    const int64_t shift = (int64_t)p.exponent + r->scale; /* zeros after the coefficient */
    kivDecimal_U128 c = p.coefficient;
    unsigned i;
    int64_t e;
    if (p.kind != kivDecimal_FINITE) {
        for (i = 0; i < n / 2; ++i) r->packed[i] = 0;
        r->packed[n / 2] = (uint8_t)(p.kind == kivDecimal_NAN ? KIV_FIXED_NAN
                                     : p.negative             ? KIV_FIXED_NEG_INF
                                                              : KIV_FIXED_POS_INF);
        return KIV_S_OK;
    }
    if (c != 0 && shift < 0) {
        if (-shift > 38 || c % kivDecimal_pow10((unsigned)-shift) != 0) return KIV_E_INVALID_ARG;
        c /= kivDecimal_pow10((unsigned)-shift);
    }
    if (c != 0 && (int64_t)kivDecimal_length(c) + (shift > 0 ? shift : 0) > (int64_t)n)
        return KIV_E_INVALID_ARG;
    for (i = 0; i < n / 2; ++i) r->packed[i] = 0;
    r->packed[n / 2] = (uint8_t)(p.negative ? KIV_FIXED_NEGATIVE : KIV_FIXED_POSITIVE);
    for (e = shift > 0 ? shift : 0; c != 0; ++e, c /= 10) {
        const unsigned at = n - 1 - (unsigned)e + pad, d = (unsigned)(c % 10);
        r->packed[at / 2] |= (uint8_t)((at & 1u) ? d : d << 4);
    }
    return KIV_S_OK;
}

static inline int kivDecimal_startsWith(const char *s, const char *word) {
    for (; *word; ++s, ++word)
        if ((*s | 0x20) != *word) return 0;
    return 1;
}

/* Reads a decimal number from text as strtod does, rounded to format f. */
static inline kivResult kivDecimal_parse(const char *text, char **end, kivDecimal_U128 *out,
                                         const kivDecimal_Format *f) {
    const char *s = text;
    kivDecimal_U128 c = 0;
    int negative = 0, sticky = 0, any = 0, point = 0;
    unsigned kept = 0;
    int64_t exponent = 0;
    if (end) *end = (char *)(uintptr_t)text;
    if (!text) return KIV_E_INVALID_ARG;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (kivDecimal_startsWith(s, "inf") || kivDecimal_startsWith(s, "nan") ||
        kivDecimal_startsWith(s, "snan")) {
        const int nan = (*s | 0x20) != 'i';
        s += kivDecimal_startsWith(s, "infinity") ? 8 : (*s | 0x20) == 's' ? 4 : 3;
        *out = kivDecimal_special(negative, nan ? 0x1F : 0x1E, f);
        if (end) *end = (char *)(uintptr_t)s;
        return KIV_S_OK;
    }
    for (;; ++s) {
        if (*s == '.' && !point) {
            point = 1;
            continue;
        }
        if (*s < '0' || *s > '9') break;
        any = 1;
        if (kept < 38) {
            c = c * 10 + (unsigned)(*s - '0');
            kept += c != 0;
            exponent -= point;
        } else {
            sticky |= *s != '0';
            exponent += !point;
        }
    }
    if (!any) return KIV_E_INVALID_ARG;
    if ((*s | 0x20) == 'e') {
        const char *e = s + 1;
        int64_t x = 0;
        const int minus = *e == '-';
        if (*e == '+' || *e == '-') ++e;
        if (*e >= '0' && *e <= '9') {
            for (; *e >= '0' && *e <= '9'; ++e)
                if (x < 100000000) x = x * 10 + (*e - '0');
            exponent += minus ? -x : x;
            s = e;
        }
    }
    *out = kivDecimal_round(negative, c, exponent, sticky, f);
    if (end) *end = (char *)(uintptr_t)s;
    return KIV_S_OK;
}

/* Writes the decoded value as text, like snprintf: plain notation when the exponent is at
 * most 0 and the adjusted exponent at least -6, else d.dddE+n. */
static inline int64_t kivDecimal_format(kivDecimal_Parts p, char *buffer, size_t size) {
    char text[64], digits[40];
    size_t length = 0, count = 0, i;
    if (p.negative) text[length++] = '-';
    if (p.kind != kivDecimal_FINITE) {
        const char *word = p.kind == kivDecimal_INF ? "Infinity" : "NaN";
        while (*word) text[length++] = *word++;
    } else {
        const int64_t e = p.exponent;
        int64_t adjusted;
        do {
            digits[count++] = (char)('0' + (int)(p.coefficient % 10));
            p.coefficient /= 10;
        } while (p.coefficient != 0);
        adjusted = e + (int64_t)count - 1;
        if (e <= 0 && adjusted >= -6) {
            const int64_t whole = (int64_t)count + e; /* digits left of the point */
            if (whole <= 0) {
                text[length++] = '0';
                text[length++] = '.';
                for (i = 0; i < (size_t)-whole; ++i) text[length++] = '0';
            }
            for (i = count; i-- > 0;) {
                text[length++] = digits[i];
                if (e < 0 && whole > 0 && i == (size_t)-e) text[length++] = '.';
            }
        } else {
            int64_t x = adjusted < 0 ? -adjusted : adjusted;
            char exp[8];
            size_t k = 0;
            text[length++] = digits[count - 1];
            if (count > 1) text[length++] = '.';
            for (i = count - 1; i-- > 0;) text[length++] = digits[i];
            text[length++] = 'E';
            text[length++] = adjusted < 0 ? '-' : '+';
            do {
                exp[k++] = (char)('0' + (int)(x % 10));
                x /= 10;
            } while (x != 0);
            while (k > 0) text[length++] = exp[--k];
        }
    }
    if (buffer && size > 0) {
        const size_t n = length < size - 1 ? length : size - 1;
        for (i = 0; i < n; ++i) buffer[i] = text[i];
        buffer[n] = '\0';
    }
    return (int64_t)length;
}

static inline kivDecimal_U128 kivDecimal_bits32(kivDecimal32 d) {
    return d.bits;
}
static inline kivDecimal_U128 kivDecimal_bits64(kivDecimal64 d) {
    return d.bits;
}
static inline kivDecimal_U128 kivDecimal_bits128(kivDecimal128 d) {
    return ((kivDecimal_U128)d.words[1] << 64) | d.words[0];
}
static inline kivDecimal32 kivDecimal_make32(kivDecimal_U128 bits) {
    kivDecimal32 d;
    d.bits = (uint32_t)bits;
    return d;
}
static inline kivDecimal64 kivDecimal_make64(kivDecimal_U128 bits) {
    kivDecimal64 d;
    d.bits = (uint64_t)bits;
    return d;
}
static inline kivDecimal128 kivDecimal_make128(kivDecimal_U128 bits) {
    kivDecimal128 d;
    d.words[0] = (uint64_t)bits;
    d.words[1] = (uint64_t)(bits >> 64);
    return d;
}

/* A decimal's value re-encoded in format f (rounded when f is narrower). */
static inline kivDecimal_U128 kivDecimal_convert(kivDecimal_U128 bits,
                                                 const kivDecimal_Format *from,
                                                 const kivDecimal_Format *to) {
    const kivDecimal_Parts p = kivDecimal_decode(bits, from);
    if (p.kind != kivDecimal_FINITE)
        return kivDecimal_special(p.negative, p.kind == kivDecimal_INF ? 0x1E : 0x1F, to);
    return kivDecimal_round(p.negative, p.coefficient, p.exponent, 0, to);
}

/* --- The interface ------------------------------------------------------------------------ */

/* kivFixed to decimal: rounded half to even to the type's digits. */
static inline kivDecimal32 kivFixedToDecimal32(const kivFixed *v) {
    return kivDecimal_make32(kivDecimal_fromFixed(v, &kivDecimal_F32));
}
static inline kivDecimal64 kivFixedToDecimal64(const kivFixed *v) {
    return kivDecimal_make64(kivDecimal_fromFixed(v, &kivDecimal_F64));
}
static inline kivDecimal128 kivFixedToDecimal128(const kivFixed *v) {
    return kivDecimal_make128(kivDecimal_fromFixed(v, &kivDecimal_F128));
}

/* Decimal to kivFixed: KIV_S_OK when r's type holds the value exactly (trailing zeros of the
 * coefficient may be dropped, a negative zero stays negative; infinities and NaN always fit),
 * else KIV_E_INVALID_ARG with r unchanged. */
static inline kivResult kivDecimal32ToFixed(kivFixed *r, kivDecimal32 d) {
    return kivDecimal_toFixed(r, kivDecimal_decode(kivDecimal_bits32(d), &kivDecimal_F32));
}
static inline kivResult kivDecimal64ToFixed(kivFixed *r, kivDecimal64 d) {
    return kivDecimal_toFixed(r, kivDecimal_decode(kivDecimal_bits64(d), &kivDecimal_F64));
}
static inline kivResult kivDecimal128ToFixed(kivFixed *r, kivDecimal128 d) {
    return kivDecimal_toFixed(r, kivDecimal_decode(kivDecimal_bits128(d), &kivDecimal_F128));
}

/* Text to decimal, like strtod: leading white space, an optional sign, digits with an optional
 * point and an optional exponent (1.5E-3), or Inf, Infinity, NaN, sNaN in any case; rounded
 * half to even. *end (end may be NULL) receives where reading stopped. Text that holds no
 * number (or NULL) gives KIV_E_INVALID_ARG, leaves *d unchanged and sets *end = text. */
static inline kivResult kivDecimal32FromString(kivDecimal32 *d, const char *text, char **end) {
    kivDecimal_U128 bits;
    const kivResult rc = kivDecimal_parse(text, end, &bits, &kivDecimal_F32);
    if (rc == KIV_S_OK) *d = kivDecimal_make32(bits);
    return rc;
}
static inline kivResult kivDecimal64FromString(kivDecimal64 *d, const char *text, char **end) {
    kivDecimal_U128 bits;
    const kivResult rc = kivDecimal_parse(text, end, &bits, &kivDecimal_F64);
    if (rc == KIV_S_OK) *d = kivDecimal_make64(bits);
    return rc;
}
static inline kivResult kivDecimal128FromString(kivDecimal128 *d, const char *text, char **end) {
    kivDecimal_U128 bits;
    const kivResult rc = kivDecimal_parse(text, end, &bits, &kivDecimal_F128);
    if (rc == KIV_S_OK) *d = kivDecimal_make128(bits);
    return rc;
}

/* Decimal to text, which reads back to the same decimal: "123.45", "-0.000001", "1.2E+7",
 * "1E-7", "Infinity", "-NaN". Like snprintf: at most size - 1 characters and a NUL when
 * size > 0; returns the full length (at most 48) without the NUL. */
static inline int64_t kivDecimal32ToString(kivDecimal32 d, char *buffer, size_t size) {
    return kivDecimal_format(kivDecimal_decode(kivDecimal_bits32(d), &kivDecimal_F32), buffer,
                             size);
}
static inline int64_t kivDecimal64ToString(kivDecimal64 d, char *buffer, size_t size) {
    return kivDecimal_format(kivDecimal_decode(kivDecimal_bits64(d), &kivDecimal_F64), buffer,
                             size);
}
static inline int64_t kivDecimal128ToString(kivDecimal128 d, char *buffer, size_t size) {
    return kivDecimal_format(kivDecimal_decode(kivDecimal_bits128(d), &kivDecimal_F128), buffer,
                             size);
}

/* Between the decimal types: widening is exact, narrowing rounds half to even. */
static inline kivDecimal64 kivDecimal32To64(kivDecimal32 d) {
    return kivDecimal_make64(
        kivDecimal_convert(kivDecimal_bits32(d), &kivDecimal_F32, &kivDecimal_F64));
}
static inline kivDecimal128 kivDecimal32To128(kivDecimal32 d) {
    return kivDecimal_make128(
        kivDecimal_convert(kivDecimal_bits32(d), &kivDecimal_F32, &kivDecimal_F128));
}
static inline kivDecimal128 kivDecimal64To128(kivDecimal64 d) {
    return kivDecimal_make128(
        kivDecimal_convert(kivDecimal_bits64(d), &kivDecimal_F64, &kivDecimal_F128));
}
static inline kivDecimal32 kivDecimal64To32(kivDecimal64 d) {
    return kivDecimal_make32(
        kivDecimal_convert(kivDecimal_bits64(d), &kivDecimal_F64, &kivDecimal_F32));
}
static inline kivDecimal32 kivDecimal128To32(kivDecimal128 d) {
    return kivDecimal_make32(
        kivDecimal_convert(kivDecimal_bits128(d), &kivDecimal_F128, &kivDecimal_F32));
}
static inline kivDecimal64 kivDecimal128To64(kivDecimal128 d) {
    return kivDecimal_make64(
        kivDecimal_convert(kivDecimal_bits128(d), &kivDecimal_F128, &kivDecimal_F64));
}

KIV_END_DECLS

#ifdef __cplusplus
namespace kiv {

/* The same conversions by overloading: decimalToFixed(r, d), fixedToDecimal<kivDecimal64>(v),
 * toString(d) and parseDecimal<kivDecimal64>(text), which gives nothing unless the whole text
 * is one number. */
inline kivResult decimalToFixed(kivFixed *r, kivDecimal32 d) noexcept {
    return kivDecimal32ToFixed(r, d);
}
inline kivResult decimalToFixed(kivFixed *r, kivDecimal64 d) noexcept {
    return kivDecimal64ToFixed(r, d);
}
inline kivResult decimalToFixed(kivFixed *r, kivDecimal128 d) noexcept {
    return kivDecimal128ToFixed(r, d);
}

template <class D>
D fixedToDecimal(const kivFixed *v) noexcept;
template <>
inline kivDecimal32 fixedToDecimal<kivDecimal32>(const kivFixed *v) noexcept {
    return kivFixedToDecimal32(v);
}
template <>
inline kivDecimal64 fixedToDecimal<kivDecimal64>(const kivFixed *v) noexcept {
    return kivFixedToDecimal64(v);
}
template <>
inline kivDecimal128 fixedToDecimal<kivDecimal128>(const kivFixed *v) noexcept {
    return kivFixedToDecimal128(v);
}

inline std::string toString(kivDecimal32 d) {
    char text[64];
    return std::string(text, static_cast<size_t>(kivDecimal32ToString(d, text, sizeof text)));
}
inline std::string toString(kivDecimal64 d) {
    char text[64];
    return std::string(text, static_cast<size_t>(kivDecimal64ToString(d, text, sizeof text)));
}
inline std::string toString(kivDecimal128 d) {
    char text[64];
    return std::string(text, static_cast<size_t>(kivDecimal128ToString(d, text, sizeof text)));
}

template <class D>
std::optional<D> parseDecimal(std::string_view text) {
    const std::string copy(text);
    kivDecimal_U128 bits;
    char *end = nullptr;
    const kivDecimal_Format *f = sizeof(D) == 4   ? &kivDecimal_F32
                                 : sizeof(D) == 8 ? &kivDecimal_F64
                                                  : &kivDecimal_F128;
    if (kivDecimal_parse(copy.c_str(), &end, &bits, f) != KIV_S_OK ||
        end != copy.c_str() + copy.size())
        return std::nullopt;
    D d;
    if constexpr (sizeof(D) == 4) {
        d = kivDecimal_make32(bits);
    } else if constexpr (sizeof(D) == 8) {
        d = kivDecimal_make64(bits);
    } else {
        d = kivDecimal_make128(bits);
    }
    return d;
}

}  // namespace kiv
#endif

#endif /* KIV_DECIMAL_H */
