// SPDX-License-Identifier: Apache-2.0
// kivFixed against two established decimal libraries and a plain __int128 fixed-point baseline,
// all doing the same exact work in three patterns of types per operation and size: operands and
// result of one type; results of the type that holds the exact outcome; operands at different
// scales. Results are truncated to the result's scale. Prints Google Benchmark's table, then the
// ratios against the goals.
#define DECNUMDIGITS 64
extern "C" {
#include <decNumber.h>
}

#include <benchmark/benchmark.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kiv_fixed.h"

// The Intel decimal library's by-value entry points (libbidgcc000: rounding mode and flags as
// arguments); its header does not compile as C++.
extern "C" {
struct alignas(16) BidUint128 {
    uint64_t w[2];
};
BidUint128 __bid128_add(BidUint128 x, BidUint128 y, unsigned rnd, unsigned *flags);
BidUint128 __bid128_sub(BidUint128 x, BidUint128 y, unsigned rnd, unsigned *flags);
BidUint128 __bid128_mul(BidUint128 x, BidUint128 y, unsigned rnd, unsigned *flags);
BidUint128 __bid128_div(BidUint128 x, BidUint128 y, unsigned rnd, unsigned *flags);
BidUint128 __bid128_quantize(BidUint128 x, BidUint128 y, unsigned rnd, unsigned *flags);
int __bid128_quiet_less(BidUint128 x, BidUint128 y, unsigned *flags);
BidUint128 __bid128_from_string(char *s, unsigned rnd, unsigned *flags);
void __bid128_to_string(char *s, BidUint128 x, unsigned *flags);
}

namespace {

constexpr unsigned kBidNearestEven = 0, kBidTowardZero = 3;

// Operands per size: add, sub, cmp, round and text use full-width values; mul and div use
// values whose exact results fit the type (and a 128-bit integer, for the baseline).
struct Size {
    int digits, scale;
    const char *a, *b;        // add, sub, cmp, round, text
    const char *mulA, *mulB;  // product fits
    const char *divA, *divB;  // quotient fits
    // Operands at different scales: a's and b's types and the texts of a, b for add, sub and
    // cmp, for mul and for div.
    int aDigits, aScale, bDigits, bScale;
    const char *mixedA, *mixedB, *mixedMulA, *mixedMulB, *mixedDivA, *mixedDivB;
};

const Size kSizes[] = {
    {5, 2, "123.45", "-67.89", "12.34", "5.67", "123.45", "6.78",  //
     5, 1, 4, 3, "123.4", "-6.789", "12.3", "5.678", "123.4", "6.789"},
    {18, 6, "123456789012.345678", "-98765432109.876543", "123456.789012", "9876.543210",
     "123456789012.345678", "98765.432109",  //
     18, 2, 9, 6, "1234567890.12", "-987.654321", "1234567890.12", "1.234567", "1234567890.12",
     "987.654321"},
    {31, 10, "123456789012345678901.2345678901", "-98765432109876543210.9876543210",
     "1234567890.1234567890", "98765.4321098765", "123456789012345.6789012345", "98765.4321098765",
     31, 4, 16, 10, "123456789012345678901.2345", "-987654.3210987654", "1234567890.1234",
     "98765.4321098765", "123456789012345.6789", "98765.4321098765"},
};

struct Type {
    int digits, scale;
};

// The patterns of types. Exact result types: a sum of D + 1 digits, a product of 2D - s, a
// quotient of D (as in the same-type pattern), a comparison with a value of D + 1 digits, and a
// rounding to half the scale into a type just wide enough for the carry. Wide: outcomes past
// 38 digits, for the sizes whose full-width product has more: the exact product of full-width
// operands, and a quotient of D digits by a short divisor (a dividend of D + s digits).
enum Pattern { kSame, kExact, kScales, kWide };
const char *const kPatterns[] = {"same", "exact", "scales", "wide"};
constexpr const char *kWideDivisor = "0.9876543210";

bool hasWide(const Size &s) {
    return 2 * s.digits > 38;
}

// One timed operation: operand and result types, operand texts, the rounding's fraction digits.
struct Work {
    Type a, b, r;
    const char *x, *y;
    int keep;
};

Work workFor(const Size &s, const char *op, Pattern p) {
    const bool mul = !std::strcmp(op, "mul"), div = !std::strcmp(op, "div");
    const bool round = !std::strcmp(op, "round"), cmp = !std::strcmp(op, "cmp");
    const Type t{s.digits, s.scale};
    Work w{t,          t, t, mul ? s.mulA : div ? s.divA : s.a, mul ? s.mulB : div ? s.divB : s.b,
           s.scale - 2};
    if (p == kExact) {
        if (mul) w.r = {2 * s.digits - s.scale, s.scale};
        if (round) {
            w.keep = s.scale / 2;
            w.r = {s.digits - s.scale + 1 + w.keep, w.keep};
        }
        if (cmp) w.b = {s.digits + 1, s.scale};
        if (!mul && !div && !round) w.r = {s.digits + 1, s.scale};
    } else if (p == kWide) {
        w.x = s.a;
        w.y = mul ? s.b : kWideDivisor;
        if (mul) w.r = {2 * s.digits - s.scale, s.scale};
    } else if (p == kScales) {
        if (round) {  // at s - 1 into a result of s + 1 fraction digits
            w.keep = s.scale - 1;
            w.r = {s.digits + 2, s.scale + 1};
        } else {
            w.a = {s.aDigits, s.aScale};
            w.b = {s.bDigits, s.bScale};
            w.x = mul ? s.mixedMulA : div ? s.mixedDivA : s.mixedA;
            w.y = mul ? s.mixedMulB : div ? s.mixedDivB : s.mixedB;
        }
    }
    return w;
}

const char *const kOps[] = {"add", "sub", "mul", "div", "cmp", "round", "SetString", "GetString"};
const char *const kLibs[] = {"kiv", "decNumber", "decimal128", "int128"};

// --- kiv -----------------------------------------------------------------------------------

struct KivRecord {
    alignas(8) uint8_t bytes[64];
    KivRecord(Type t, const char *text) {
        kivFixedInit(bytes, static_cast<uint16_t>(t.digits), static_cast<int16_t>(t.scale));
        if (text) kivFixedSetString(get(), text, nullptr);
    }
    kivFixed *get() { return reinterpret_cast<kivFixed *>(bytes); }
};

using KivBinary = void (*)(kivFixed *, const kivFixed *, const kivFixed *);
KivBinary kivFunction(const char *op) {
    return !std::strcmp(op, "add")   ? kivFixedAdd
           : !std::strcmp(op, "sub") ? kivFixedSub
           : !std::strcmp(op, "mul") ? kivFixedMul
                                     : kivFixedDiv;
}

void kivArith(benchmark::State &state, const Work &w, const char *op) {
    KivRecord a(w.a, w.x), b(w.b, w.y), r(w.r, nullptr);
    const KivBinary fn = kivFunction(op);
    for (auto _ : state) {
        fn(r.get(), a.get(), b.get());
        benchmark::ClobberMemory();
    }
}

void kivCmp(benchmark::State &state, const Work &w) {
    KivRecord a(w.a, w.x), b(w.b, w.y);
    for (auto _ : state) benchmark::DoNotOptimize(kivFixedCmp(a.get(), b.get(), KIV_FIXED_LT));
}

void kivRound(benchmark::State &state, const Work &w) {
    KivRecord a(w.a, w.x), r(w.r, nullptr);
    for (auto _ : state) {
        kivFixedRound(r.get(), a.get(), w.keep);
        benchmark::ClobberMemory();
    }
}

void kivSetString(benchmark::State &state, const Work &w) {
    KivRecord r(w.a, nullptr);
    for (auto _ : state) {
        kivFixedSetString(r.get(), w.x, nullptr);
        benchmark::ClobberMemory();
    }
}

void kivGetString(benchmark::State &state, const Work &w) {
    KivRecord a(w.a, w.x);
    char text[80];
    for (auto _ : state) {
        benchmark::DoNotOptimize(kivFixedGetString(a.get(), w.a.scale, text, sizeof text));
        benchmark::ClobberMemory();
    }
}

// --- decNumber -------------------------------------------------------------------------------

struct DecNumber {
    decContext ctx;
    decNumber quantum;  // the exponent results are rescaled to
    explicit DecNumber(int scale, int round = DEC_ROUND_DOWN) {
        decContextDefault(&ctx, DEC_INIT_BASE);
        ctx.digits = DECNUMDIGITS;
        ctx.emax = 999999;
        ctx.emin = -999999;
        ctx.round = static_cast<rounding>(round);
        ctx.traps = 0;
        decNumberFromString(&quantum, std::to_string(-scale).c_str(), &ctx);
    }
    decNumber from(const char *text) {
        decNumber n;
        decNumberFromString(&n, text, &ctx);
        decNumberRescale(&n, &n, &quantum, &ctx);
        return n;
    }
};

using DecBinary = decNumber *(*)(decNumber *, const decNumber *, const decNumber *, decContext *);
DecBinary decFunction(const char *op) {
    return !std::strcmp(op, "add")   ? decNumberAdd
           : !std::strcmp(op, "sub") ? decNumberSubtract
           : !std::strcmp(op, "mul") ? decNumberMultiply
                                     : decNumberDivide;
}

void decArith(benchmark::State &state, const Work &w, const char *op) {
    DecNumber da(w.a.scale), db(w.b.scale), dr(w.r.scale);
    decNumber a = da.from(w.x), b = db.from(w.y), r;
    const DecBinary fn = decFunction(op);
    for (auto _ : state) {
        fn(&r, &a, &b, &dr.ctx);
        decNumberRescale(&r, &r, &dr.quantum, &dr.ctx);
        benchmark::ClobberMemory();
    }
}

void decCmp(benchmark::State &state, const Work &w) {
    DecNumber da(w.a.scale), db(w.b.scale);
    decNumber a = da.from(w.x), b = db.from(w.y), r;
    for (auto _ : state) {
        decNumberCompare(&r, &a, &b, &da.ctx);
        benchmark::DoNotOptimize(decNumberIsNegative(&r));
    }
}

void decRound(benchmark::State &state, const Work &w) {
    DecNumber da(w.a.scale), dr(w.r.scale), rounded(w.keep, DEC_ROUND_HALF_EVEN);
    decNumber a = da.from(w.x), r;
    for (auto _ : state) {
        decNumberRescale(&r, &a, &rounded.quantum, &rounded.ctx);
        decNumberRescale(&r, &r, &dr.quantum, &dr.ctx);
        benchmark::ClobberMemory();
    }
}

void decSetString(benchmark::State &state, const Work &w) {
    DecNumber d(w.a.scale);
    decNumber r;
    for (auto _ : state) {
        decNumberFromString(&r, w.x, &d.ctx);
        decNumberRescale(&r, &r, &d.quantum, &d.ctx);
        benchmark::ClobberMemory();
    }
}

void decGetString(benchmark::State &state, const Work &w) {
    DecNumber d(w.a.scale);
    decNumber a = d.from(w.x);
    char text[DECNUMDIGITS + 16];
    for (auto _ : state) {
        decNumberToString(&a, text);
        benchmark::ClobberMemory();
    }
}

// --- decimal128 ------------------------------------------------------------------------------

struct Bid {
    BidUint128 quantum;  // 1E-scale
    unsigned flags = 0;
    explicit Bid(int scale) { quantum = parse(("1E" + std::to_string(-scale)).c_str()); }
    BidUint128 parse(const char *text) {
        std::string copy(text);
        return __bid128_from_string(copy.data(), kBidNearestEven, &flags);
    }
    BidUint128 from(const char *text) {
        return __bid128_quantize(parse(text), quantum, kBidTowardZero, &flags);
    }
};

using BidBinary = BidUint128 (*)(BidUint128, BidUint128, unsigned, unsigned *);
BidBinary bidFunction(const char *op) {
    return !std::strcmp(op, "add")   ? __bid128_add
           : !std::strcmp(op, "sub") ? __bid128_sub
           : !std::strcmp(op, "mul") ? __bid128_mul
                                     : __bid128_div;
}

void bidArith(benchmark::State &state, const Work &w, const char *op) {
    Bid da(w.a.scale), db(w.b.scale), dr(w.r.scale);
    BidUint128 a = da.from(w.x), b = db.from(w.y);
    const BidBinary fn = bidFunction(op);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        BidUint128 r = __bid128_quantize(fn(a, b, kBidTowardZero, &dr.flags), dr.quantum,
                                         kBidTowardZero, &dr.flags);
        benchmark::DoNotOptimize(r);
    }
}

void bidCmp(benchmark::State &state, const Work &w) {
    Bid da(w.a.scale), db(w.b.scale);
    BidUint128 a = da.from(w.x), b = db.from(w.y);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(__bid128_quiet_less(a, b, &da.flags));
    }
}

void bidRound(benchmark::State &state, const Work &w) {
    Bid da(w.a.scale), dr(w.r.scale), rounded(w.keep);
    BidUint128 a = da.from(w.x);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        BidUint128 r =
            __bid128_quantize(__bid128_quantize(a, rounded.quantum, kBidNearestEven, &dr.flags),
                              dr.quantum, kBidTowardZero, &dr.flags);
        benchmark::DoNotOptimize(r);
    }
}

void bidSetString(benchmark::State &state, const Work &w) {
    Bid d(w.a.scale);
    std::string text(w.x);
    for (auto _ : state) {
        BidUint128 r =
            __bid128_quantize(__bid128_from_string(text.data(), kBidTowardZero, &d.flags),
                              d.quantum, kBidTowardZero, &d.flags);
        benchmark::DoNotOptimize(r);
    }
}

void bidGetString(benchmark::State &state, const Work &w) {
    Bid d(w.a.scale);
    BidUint128 a = d.from(w.x);
    char text[80];
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        __bid128_to_string(text, a, &d.flags);
        benchmark::ClobberMemory();
    }
}

// --- plain __int128 fixed point --------------------------------------------------------------
//
// A value is the integer v with value v x 10^-scale; results are range-checked against the
// result type's digits like any fixed-point type would be. Scale factors are computed once per
// operation, as a hand-written fixed-point type would hold them.

using i128 = __int128;
using u128 = unsigned __int128;

constexpr u128 pow10(int k) {
    u128 x = 1;
    while (k-- > 0) x *= 10;
    return x;
}

struct Int128Fixed {
    i128 v;
    bool overflow;
};

// Parsing and formatting in one type.
struct Int128Type {
    int digits, scale;
    i128 limit, unit;  // 10^digits, 10^scale

    explicit Int128Type(Type t)
        : digits(t.digits), scale(t.scale), limit(pow10(t.digits)), unit(pow10(t.scale)) {}

    Int128Fixed checked(i128 v) const { return {v, v >= limit || v <= -limit}; }

    // [-]digits[.digits], fraction digits beyond the scale dropped; 19 digits at a time in
    // 64-bit arithmetic.
    __attribute__((noinline)) Int128Fixed parse(const char *p) const {
        const bool negative = *p == '-';
        p += negative;
        u128 v = 0;
        uint64_t chunk = 0;
        int inChunk = 0, fraction = -1;
        for (;; ++p) {
            if (*p == '.' && fraction < 0) {
                fraction = 0;
                continue;
            }
            if (*p < '0' || *p > '9' || fraction == scale) break;
            chunk = chunk * 10 + static_cast<unsigned>(*p - '0');
            if (fraction >= 0) ++fraction;
            if (++inChunk == 19) {
                v = v * pow10(19) + chunk;
                chunk = 0;
                inChunk = 0;
            }
        }
        v = v * static_cast<u128>(pow10(inChunk)) + chunk;
        v *= pow10(scale - (fraction < 0 ? 0 : fraction));
        return checked(negative ? -static_cast<i128>(v) : static_cast<i128>(v));
    }

    // The integer part by 64-bit chunks with std::to_chars, the fraction zero-padded.
    __attribute__((noinline)) size_t format(Int128Fixed a, char *out) const {
        char *p = out;
        u128 m = a.v < 0 ? -static_cast<u128>(a.v) : static_cast<u128>(a.v);
        if (a.v < 0) *p++ = '-';
        const u128 whole = m / static_cast<u128>(unit);
        const uint64_t fraction = static_cast<uint64_t>(m % static_cast<u128>(unit));
        if (whole >> 64) {
            const uint64_t hi = static_cast<uint64_t>(whole / pow10(19)),
                           lo = static_cast<uint64_t>(whole % pow10(19));
            p = std::to_chars(p, p + 20, hi).ptr;
            char buf[20];
            char *e = std::to_chars(buf, buf + 20, lo).ptr;
            const size_t n = static_cast<size_t>(e - buf);
            std::memset(p, '0', 19 - n);
            std::memcpy(p + 19 - n, buf, n);
            p += 19;
        } else {
            p = std::to_chars(p, p + 20, static_cast<uint64_t>(whole)).ptr;
        }
        if (scale > 0) {
            *p++ = '.';
            char buf[20];
            char *e = std::to_chars(buf, buf + 20, fraction).ptr;
            const size_t n = static_cast<size_t>(e - buf);
            std::memset(p, '0', static_cast<size_t>(scale) - n);
            std::memcpy(p + scale - n, buf, n);
            p += scale;
        }
        *p = '\0';
        return static_cast<size_t>(p - out);
    }
};

// One operation's types: the factors that align the operands (add, sub, cmp) or the dividend
// (div), and that bring the outcome to the result's scale (up, or down by truncation).
struct Int128Op {
    Int128Type r;
    i128 alignA = 1, alignB = 1, up = 1, down = 1;
    i128 step = 1;  // rounding: the unit of the kept digits in the operand's scale

    Int128Op(const Work &w, const char *op) : r(w.r) {
        int scale = std::max(w.a.scale, w.b.scale);  // of the exact outcome
        if (!std::strcmp(op, "mul")) {
            scale = w.a.scale + w.b.scale;
        } else if (!std::strcmp(op, "div")) {
            alignA = pow10(w.r.scale - w.a.scale + w.b.scale);
            scale = w.r.scale;
        } else if (!std::strcmp(op, "round")) {
            step = pow10(w.a.scale - w.keep);
            scale = w.keep;
        } else {
            alignA = pow10(scale - w.a.scale);
            alignB = pow10(scale - w.b.scale);
        }
        (w.r.scale >= scale ? up : down) = pow10(std::abs(w.r.scale - scale));
    }

    Int128Fixed fit(i128 v) const {
        if (down != 1) v /= down;
        if (up != 1) v *= up;
        return r.checked(v);
    }
    __attribute__((noinline)) Int128Fixed add(Int128Fixed a, Int128Fixed b) const {
        return fit(a.v * alignA + b.v * alignB);
    }
    __attribute__((noinline)) Int128Fixed sub(Int128Fixed a, Int128Fixed b) const {
        return fit(a.v * alignA - b.v * alignB);
    }
    __attribute__((noinline)) Int128Fixed mul(Int128Fixed a, Int128Fixed b) const {
        return fit(a.v * b.v);
    }
    __attribute__((noinline)) Int128Fixed div(Int128Fixed a, Int128Fixed b) const {
        return fit(a.v * alignA / b.v);
    }
    __attribute__((noinline)) bool less(Int128Fixed a, Int128Fixed b) const {
        return a.v * alignA < b.v * alignB;
    }
    // Half to even at the kept digits.
    __attribute__((noinline)) Int128Fixed round(Int128Fixed a) const {
        const i128 half = step / 2;
        i128 q = a.v / step, rem = a.v % step;
        const i128 mag = rem < 0 ? -rem : rem;
        if (mag > half || (mag == half && (q & 1))) q += a.v < 0 ? -1 : 1;
        return fit(q);
    }
};

void intArith(benchmark::State &state, const Work &w, const char *op) {
    const Int128Op t(w, op);
    Int128Fixed a = Int128Type(w.a).parse(w.x), b = Int128Type(w.b).parse(w.y);
    const int which = !std::strcmp(op, "add")   ? 0
                      : !std::strcmp(op, "sub") ? 1
                      : !std::strcmp(op, "mul") ? 2
                                                : 3;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        Int128Fixed r = which == 0   ? t.add(a, b)
                        : which == 1 ? t.sub(a, b)
                        : which == 2 ? t.mul(a, b)
                                     : t.div(a, b);
        benchmark::DoNotOptimize(r);
    }
}

void intCmp(benchmark::State &state, const Work &w) {
    const Int128Op t(w, "cmp");
    Int128Fixed a = Int128Type(w.a).parse(w.x), b = Int128Type(w.b).parse(w.y);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(t.less(a, b));
    }
}

void intRound(benchmark::State &state, const Work &w) {
    const Int128Op t(w, "round");
    Int128Fixed a = Int128Type(w.a).parse(w.x);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(t.round(a));
    }
}

void intSetString(benchmark::State &state, const Work &w) {
    const Int128Type t(w.a);
    for (auto _ : state) benchmark::DoNotOptimize(t.parse(w.x));
}

void intGetString(benchmark::State &state, const Work &w) {
    const Int128Type t(w.a);
    Int128Fixed a = t.parse(w.x);
    char text[80];
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(t.format(a, text));
        benchmark::ClobberMemory();
    }
}

// --- checks that every library computes the same values ------------------------------------
//
// Each library's result of every timed operation, as plain text with the result type's fraction
// digits ("1" or "0" for the comparison), must agree before anything is timed.

const char *const kCheckedOps[] = {"add", "sub", "mul", "div", "cmp", "round"};

std::string kivResult(const Work &w, const char *op) {
    KivRecord a(w.a, w.x), b(w.b, w.y), r(w.r, nullptr);
    if (!std::strcmp(op, "cmp")) return std::to_string(kivFixedCmp(a.get(), b.get(), KIV_FIXED_LT));
    if (!std::strcmp(op, "round")) {
        kivFixedRound(r.get(), a.get(), w.keep);
    } else {
        kivFunction(op)(r.get(), a.get(), b.get());
    }
    char text[80];
    kivFixedGetString(r.get(), w.r.scale, text, sizeof text);
    return text;
}

std::string decResult(const Work &w, const char *op) {
    DecNumber da(w.a.scale), db(w.b.scale), dr(w.r.scale), rounded(w.keep, DEC_ROUND_HALF_EVEN);
    decNumber a = da.from(w.x), b = db.from(w.y), r;
    if (!std::strcmp(op, "cmp")) {
        decNumberCompare(&r, &a, &b, &da.ctx);
        return decNumberIsNegative(&r) ? "1" : "0";
    }
    if (!std::strcmp(op, "round")) {
        decNumberRescale(&r, &a, &rounded.quantum, &rounded.ctx);
    } else {
        decFunction(op)(&r, &a, &b, &dr.ctx);
    }
    decNumberRescale(&r, &r, &dr.quantum, &dr.ctx);
    char text[DECNUMDIGITS + 16];
    decNumberToString(&r, text);
    return text;
}

// decimal128 text ("+123456E-3") as plain text with `scale` fraction digits.
std::string plainText(const char *bid, int scale) {
    std::string text(bid);
    const size_t e = text.find('E');
    const bool negative = text[0] == '-';
    std::string digits = text.substr(1, e - 1);
    const int exponent = std::stoi(text.substr(e + 1));
    if (exponent > -scale) digits.append(static_cast<size_t>(exponent + scale), '0');
    if (digits.size() <= static_cast<size_t>(scale))
        digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
    if (scale > 0) digits.insert(digits.end() - scale, '.');
    if (negative) digits.insert(digits.begin(), '-');
    return digits;
}

std::string bidResult(const Work &w, const char *op) {
    Bid da(w.a.scale), db(w.b.scale), dr(w.r.scale), rounded(w.keep);
    const BidUint128 a = da.from(w.x), b = db.from(w.y);
    if (!std::strcmp(op, "cmp")) return std::to_string(__bid128_quiet_less(a, b, &da.flags));
    BidUint128 r = !std::strcmp(op, "round")
                       ? __bid128_quantize(a, rounded.quantum, kBidNearestEven, &dr.flags)
                       : bidFunction(op)(a, b, kBidTowardZero, &dr.flags);
    r = __bid128_quantize(r, dr.quantum, kBidTowardZero, &dr.flags);
    char text[80];
    __bid128_to_string(text, r, &dr.flags);
    return plainText(text, w.r.scale);
}

std::string intResult(const Work &w, const char *op) {
    const Int128Op t(w, op);
    const Int128Fixed a = Int128Type(w.a).parse(w.x), b = Int128Type(w.b).parse(w.y);
    if (!std::strcmp(op, "cmp")) return t.less(a, b) ? "1" : "0";
    const Int128Fixed r = !std::strcmp(op, "add")   ? t.add(a, b)
                          : !std::strcmp(op, "sub") ? t.sub(a, b)
                          : !std::strcmp(op, "mul") ? t.mul(a, b)
                          : !std::strcmp(op, "div") ? t.div(a, b)
                                                    : t.round(a);
    if (r.overflow) return "overflow";
    char text[80];
    t.r.format(r, text);
    return text;
}

// Which baselines take the pattern's work: wide products pass decimal128's 34 digits, and
// every wide outcome passes the 128-bit integers.
bool libraryTakes(size_t lib, Pattern p, const char *op) {
    return p != kWide || lib == 1 || (lib == 2 && !std::strcmp(op, "div"));
}

bool sameResults() {
    bool ok = true;
    for (const Size &s : kSizes) {
        for (int p = kSame; p <= kWide; ++p) {
            if (p == kWide && !hasWide(s)) continue;
            for (const char *op : kCheckedOps) {
                const Pattern pattern = static_cast<Pattern>(p);
                if (p == kWide && std::strcmp(op, "mul") && std::strcmp(op, "div")) continue;
                const Work w = workFor(s, op, pattern);
                std::string (*const results[])(const Work &, const char *) = {kivResult, decResult,
                                                                              bidResult, intResult};
                const std::string kiv = kivResult(w, op);
                for (size_t i = 1; i < 4; ++i) {
                    if (!libraryTakes(i, pattern, op)) continue;
                    if (const std::string other = results[i](w, op); other != kiv) {
                        std::fprintf(stderr, "%s/%s at %d digits: kiv %s, %s %s\n", op,
                                     kPatterns[p], s.digits, kiv.c_str(), kLibs[i], other.c_str());
                        ok = false;
                    }
                }
            }
        }
    }
    return ok;
}

// --- registration and the summary ----------------------------------------------------------

std::string name(const char *op, Pattern p, const char *lib, const Size &s) {
    return std::string(op) + "/" + kPatterns[p] + "/" + lib + "/" + std::to_string(s.digits);
}

void registerAll() {
    using Fn = void (*)(benchmark::State &, const Work &);
    for (const Size &s : kSizes) {
        for (int pi = kSame; pi <= kScales; ++pi) {
            const Pattern p = static_cast<Pattern>(pi);
            for (const char *op : {"add", "sub", "mul", "div"}) {
                const Work w = workFor(s, op, p);
                benchmark::RegisterBenchmark(name(op, p, "kiv", s).c_str(), kivArith, w, op);
                benchmark::RegisterBenchmark(name(op, p, "decNumber", s).c_str(), decArith, w, op);
                benchmark::RegisterBenchmark(name(op, p, "decimal128", s).c_str(), bidArith, w, op);
                benchmark::RegisterBenchmark(name(op, p, "int128", s).c_str(), intArith, w, op);
            }
            const std::pair<const char *, std::array<Fn, 4>> others[] = {
                {"cmp", {kivCmp, decCmp, bidCmp, intCmp}},
                {"round", {kivRound, decRound, bidRound, intRound}},
                {"SetString", {kivSetString, decSetString, bidSetString, intSetString}},
                {"GetString", {kivGetString, decGetString, bidGetString, intGetString}},
            };
            for (const auto &[op, fns] : others) {
                // Text conversion has one type: it runs in the same-type pattern only.
                if (p != kSame && std::strstr(op, "String")) continue;
                for (size_t i = 0; i < 4; ++i)
                    benchmark::RegisterBenchmark(name(op, p, kLibs[i], s).c_str(), fns[i],
                                                 workFor(s, op, p));
            }
        }
        if (!hasWide(s)) continue;
        for (const char *op : {"mul", "div"}) {
            const Work w = workFor(s, op, kWide);
            benchmark::RegisterBenchmark(name(op, kWide, "kiv", s).c_str(), kivArith, w, op);
            benchmark::RegisterBenchmark(name(op, kWide, "decNumber", s).c_str(), decArith, w, op);
            benchmark::RegisterBenchmark(name(op, kWide, "decimal128", s).c_str(), bidArith, w, op);
        }
    }
}

// Keeps each benchmark's CPU time per iteration in nanoseconds (the time the thread ran, so
// that time slices given to other processes do not count): the median of its repetitions, or
// its one run.
class Collector : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration && !ns.count(r.run_name.str())) {
                ns[r.run_name.str()] = r.GetAdjustedCPUTime();
            } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns[r.run_name.str()] = r.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// The goals: add, sub, mul, div and round at least 3x faster than decNumber and faster than
// decimal128; cmp at least 2x faster than decNumber; mul and div within 4x of __int128 up to 18
// digits and within 8x beyond; text conversion within 1.5x of __int128's. Wide outcomes: at
// least 2x faster than decNumber and faster than decimal128 where it holds the outcome (its
// product rounded to 34 digits is timed all the same).
void printSummary(const std::map<std::string, double> &ns) {
    std::printf(
        "\nkivFixed, CPU ns per operation (medians of repetitions, one run), and ratios against "
        "the goals\n");
    bool allMet = true, anyMeasured = false;
    for (int pi = kSame; pi <= kWide; ++pi) {
        const Pattern p = static_cast<Pattern>(pi);
        std::printf("\n%s types\n%-10s %6s %8s %10s %11s %8s %14s %15s %11s  %s\n", kPatterns[p],
                    "op", "digits", "kiv", "decNumber", "decimal128", "int128", "decNumber/kiv",
                    "decimal128/kiv", "kiv/int128", "goals");
        for (const char *op : kOps) {
            for (const Size &s : kSizes) {
                auto at = [&](const char *lib) {
                    auto it = ns.find(name(op, p, lib, s));
                    return it == ns.end() ? 0.0 : it->second;
                };
                const double kiv = at("kiv"), dec = at("decNumber"), bid = at("decimal128"),
                             i128 = at("int128");
                if (kiv <= 0) continue;
                anyMeasured = true;
                const bool text = std::strstr(op, "String") != nullptr;
                const bool cmp = !std::strcmp(op, "cmp");
                const bool mulDiv = !std::strcmp(op, "mul") || !std::strcmp(op, "div");
                const double intLimit = s.digits <= 18 ? 4 : 8;
                std::string goals;
                bool met = true;
                if (text) {
                    met = kiv / i128 <= 1.5;
                    goals = "<=1.5x int128";
                } else if (cmp) {
                    met = dec / kiv >= 2;
                    goals = ">=2x decNumber";
                } else if (p == kWide) {
                    met = dec / kiv >= 2 && bid / kiv > 1;
                    goals = ">=2x decNumber, >1x decimal128";
                } else {
                    met = dec / kiv >= 3 && bid / kiv > 1;
                    goals = ">=3x decNumber, >1x decimal128";
                }
                if (mulDiv && p != kWide) {
                    met = met && kiv / i128 <= intLimit;
                    goals += ", <=" + std::to_string(static_cast<int>(intLimit)) + "x int128";
                }
                allMet = allMet && met;
                // Wide outcomes have no 128-bit integer baseline.
                char i128Time[16] = "-", i128Ratio[16] = "-";
                if (i128 > 0) {
                    std::snprintf(i128Time, sizeof i128Time, "%.1f", i128);
                    std::snprintf(i128Ratio, sizeof i128Ratio, "%.2f", kiv / i128);
                }
                std::printf("%-10s %6d %8.1f %10.1f %11.1f %8s %14.2f %15.2f %11s  %s: %s\n", op,
                            s.digits, kiv, dec, bid, i128Time, dec / kiv, bid / kiv, i128Ratio,
                            met ? "met" : "MISSED", goals.c_str());
            }
        }
    }
    if (anyMeasured) std::printf("\n%s\n", allMet ? "every goal met" : "some goals missed");
}

}  // namespace

int main(int argc, char **argv) {
    if (!sameResults()) return 1;
    registerAll();
    // Medians of interleaved repetitions, so that load elsewhere on the machine falls on every
    // library alike; flags given on the command line come later and win.
    std::vector<char *> args = {argv[0]};
    char repetitions[] = "--benchmark_repetitions=5",
         interleave[] = "--benchmark_enable_random_interleaving=true",
         aggregates[] = "--benchmark_report_aggregates_only=true",
         minTime[] = "--benchmark_min_time=0.1";
    for (char *flag : {repetitions, interleave, aggregates, minTime}) args.push_back(flag);
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    printSummary(collector.ns);
    benchmark::Shutdown();
    return 0;
}
