// kivFixed against two established decimal libraries and a plain __int128 fixed-point baseline,
// all doing the same exact work: operands and results of one type (digits, scale), results
// truncated to the scale. Prints Google Benchmark's table, then the ratios against the goals.
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
};

const Size kSizes[] = {
    {5, 2, "123.45", "-67.89", "12.34", "5.67", "123.45", "6.78"},
    {18, 6, "123456789012.345678", "-98765432109.876543", "123456.789012", "9876.543210",
     "123456789012.345678", "98765.432109"},
    {31, 10, "123456789012345678901.2345678901", "-98765432109876543210.9876543210",
     "1234567890.1234567890", "98765.4321098765", "123456789012345.6789012345", "98765.4321098765"},
};

// The operand texts an operation uses at a size.
std::pair<const char *, const char *> operandsFor(const Size &s, const char *op) {
    if (!std::strcmp(op, "mul")) return {s.mulA, s.mulB};
    if (!std::strcmp(op, "div")) return {s.divA, s.divB};
    return {s.a, s.b};
}

const char *const kOps[] = {"add", "sub", "mul", "div", "cmp", "round", "SetString", "GetString"};
const char *const kLibs[] = {"kiv", "decNumber", "decimal128", "int128"};

// --- kiv -----------------------------------------------------------------------------------

struct KivRecord {
    alignas(8) uint8_t bytes[64];
    KivRecord(const Size &s, const char *text) {
        kivFixedInit(bytes, static_cast<uint16_t>(s.digits), static_cast<int16_t>(s.scale));
        if (text) kivFixedSetString(get(), text, nullptr);
    }
    kivFixed *get() { return reinterpret_cast<kivFixed *>(bytes); }
};

void kivArith(benchmark::State &state, const Size &s, const char *op) {
    const bool mul = !std::strcmp(op, "mul");
    const auto [textA, textB] = operandsFor(s, op);
    KivRecord a(s, textA), b(s, textB), r(s, nullptr);
    void (*fn)(kivFixed *, const kivFixed *, const kivFixed *) =
        !std::strcmp(op, "add")   ? kivFixedAdd
        : !std::strcmp(op, "sub") ? kivFixedSub
        : mul                     ? kivFixedMul
                                  : kivFixedDiv;
    for (auto _ : state) {
        fn(r.get(), a.get(), b.get());
        benchmark::ClobberMemory();
    }
}

void kivCmp(benchmark::State &state, const Size &s) {
    KivRecord a(s, s.a), b(s, s.b);
    for (auto _ : state) benchmark::DoNotOptimize(kivFixedCmp(a.get(), b.get(), KIV_FIXED_LT));
}

void kivRound(benchmark::State &state, const Size &s) {
    KivRecord a(s, s.a), r(s, nullptr);
    for (auto _ : state) {
        kivFixedRound(r.get(), a.get(), s.scale - 2);
        benchmark::ClobberMemory();
    }
}

void kivSetString(benchmark::State &state, const Size &s) {
    KivRecord r(s, nullptr);
    for (auto _ : state) {
        kivFixedSetString(r.get(), s.a, nullptr);
        benchmark::ClobberMemory();
    }
}

void kivGetString(benchmark::State &state, const Size &s) {
    KivRecord a(s, s.a);
    char text[80];
    for (auto _ : state) {
        benchmark::DoNotOptimize(kivFixedGetString(a.get(), s.scale, text, sizeof text));
        benchmark::ClobberMemory();
    }
}

// --- decNumber -------------------------------------------------------------------------------

struct DecNumber {
    decContext ctx;
    decNumber quantum;  // the exponent results are rescaled to
    explicit DecNumber(const Size &s, int scale, int round = DEC_ROUND_DOWN) {
        decContextDefault(&ctx, DEC_INIT_BASE);
        ctx.digits = DECNUMDIGITS;
        ctx.emax = 999999;
        ctx.emin = -999999;
        ctx.round = static_cast<rounding>(round);
        ctx.traps = 0;
        decNumberFromString(&quantum, std::to_string(-scale).c_str(), &ctx);
        (void)s;
    }
    decNumber from(const char *text) {
        decNumber n;
        decNumberFromString(&n, text, &ctx);
        decNumberRescale(&n, &n, &quantum, &ctx);
        return n;
    }
};

void decArith(benchmark::State &state, const Size &s, const char *op) {
    const bool mul = !std::strcmp(op, "mul");
    const auto [textA, textB] = operandsFor(s, op);
    DecNumber d(s, s.scale);
    decNumber a = d.from(textA), b = d.from(textB), r;
    decNumber *(*fn)(decNumber *, const decNumber *, const decNumber *, decContext *) =
        !std::strcmp(op, "add")   ? decNumberAdd
        : !std::strcmp(op, "sub") ? decNumberSubtract
        : mul                     ? decNumberMultiply
                                  : decNumberDivide;
    for (auto _ : state) {
        fn(&r, &a, &b, &d.ctx);
        decNumberRescale(&r, &r, &d.quantum, &d.ctx);
        benchmark::ClobberMemory();
    }
}

void decCmp(benchmark::State &state, const Size &s) {
    DecNumber d(s, s.scale);
    decNumber a = d.from(s.a), b = d.from(s.b), r;
    for (auto _ : state) {
        decNumberCompare(&r, &a, &b, &d.ctx);
        benchmark::DoNotOptimize(decNumberIsNegative(&r));
    }
}

void decRound(benchmark::State &state, const Size &s) {
    DecNumber d(s, s.scale), rounded(s, s.scale - 2, DEC_ROUND_HALF_EVEN);
    decNumber a = d.from(s.a), r;
    for (auto _ : state) {
        decNumberRescale(&r, &a, &rounded.quantum, &rounded.ctx);
        decNumberRescale(&r, &r, &d.quantum, &d.ctx);
        benchmark::ClobberMemory();
    }
}

void decSetString(benchmark::State &state, const Size &s) {
    DecNumber d(s, s.scale);
    decNumber r;
    for (auto _ : state) {
        decNumberFromString(&r, s.a, &d.ctx);
        decNumberRescale(&r, &r, &d.quantum, &d.ctx);
        benchmark::ClobberMemory();
    }
}

void decGetString(benchmark::State &state, const Size &s) {
    DecNumber d(s, s.scale);
    decNumber a = d.from(s.a);
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

void bidArith(benchmark::State &state, const Size &s, const char *op) {
    const bool mul = !std::strcmp(op, "mul");
    const auto [textA, textB] = operandsFor(s, op);
    Bid d(s.scale);
    BidUint128 a = d.from(textA), b = d.from(textB);
    BidUint128 (*fn)(BidUint128, BidUint128, unsigned, unsigned *) =
        !std::strcmp(op, "add")   ? __bid128_add
        : !std::strcmp(op, "sub") ? __bid128_sub
        : mul                     ? __bid128_mul
                                  : __bid128_div;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        BidUint128 r = __bid128_quantize(fn(a, b, kBidTowardZero, &d.flags), d.quantum,
                                         kBidTowardZero, &d.flags);
        benchmark::DoNotOptimize(r);
    }
}

void bidCmp(benchmark::State &state, const Size &s) {
    Bid d(s.scale);
    BidUint128 a = d.from(s.a), b = d.from(s.b);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(__bid128_quiet_less(a, b, &d.flags));
    }
}

void bidRound(benchmark::State &state, const Size &s) {
    Bid d(s.scale), rounded(s.scale - 2);
    BidUint128 a = d.from(s.a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        BidUint128 r =
            __bid128_quantize(__bid128_quantize(a, rounded.quantum, kBidNearestEven, &d.flags),
                              d.quantum, kBidTowardZero, &d.flags);
        benchmark::DoNotOptimize(r);
    }
}

void bidSetString(benchmark::State &state, const Size &s) {
    Bid d(s.scale);
    std::string text(s.a);
    for (auto _ : state) {
        BidUint128 r =
            __bid128_quantize(__bid128_from_string(text.data(), kBidTowardZero, &d.flags),
                              d.quantum, kBidTowardZero, &d.flags);
        benchmark::DoNotOptimize(r);
    }
}

void bidGetString(benchmark::State &state, const Size &s) {
    Bid d(s.scale);
    BidUint128 a = d.from(s.a);
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
// type's digits like any fixed-point type would be.

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

struct Int128Type {
    int digits, scale;
    i128 limit, unit;  // 10^digits, 10^scale

    explicit Int128Type(const Size &s)
        : digits(s.digits), scale(s.scale), limit(pow10(s.digits)), unit(pow10(s.scale)) {}

    Int128Fixed checked(i128 v) const { return {v, v >= limit || v <= -limit}; }

    __attribute__((noinline)) Int128Fixed add(Int128Fixed a, Int128Fixed b) const {
        return checked(a.v + b.v);
    }
    __attribute__((noinline)) Int128Fixed sub(Int128Fixed a, Int128Fixed b) const {
        return checked(a.v - b.v);
    }
    __attribute__((noinline)) Int128Fixed mul(Int128Fixed a, Int128Fixed b) const {
        return checked(a.v * b.v / unit);
    }
    __attribute__((noinline)) Int128Fixed div(Int128Fixed a, Int128Fixed b) const {
        return checked(a.v * unit / b.v);
    }
    __attribute__((noinline)) bool less(Int128Fixed a, Int128Fixed b) const { return a.v < b.v; }

    // Half to even at `keep` fraction digits.
    __attribute__((noinline)) Int128Fixed round(Int128Fixed a, int keep) const {
        const i128 step = pow10(scale - keep), half = step / 2;
        i128 q = a.v / step, rem = a.v % step;
        const i128 mag = rem < 0 ? -rem : rem;
        if (mag > half || (mag == half && (q & 1))) q += a.v < 0 ? -1 : 1;
        return checked(q * step);
    }

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

void intArith(benchmark::State &state, const Size &s, const char *op) {
    const bool mul = !std::strcmp(op, "mul");
    const auto [textA, textB] = operandsFor(s, op);
    const Int128Type t(s);
    Int128Fixed a = t.parse(textA), b = t.parse(textB);
    const int which = !std::strcmp(op, "add") ? 0 : !std::strcmp(op, "sub") ? 1 : mul ? 2 : 3;
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

void intCmp(benchmark::State &state, const Size &s) {
    const Int128Type t(s);
    Int128Fixed a = t.parse(s.a), b = t.parse(s.b);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(t.less(a, b));
    }
}

void intRound(benchmark::State &state, const Size &s) {
    const Int128Type t(s);
    Int128Fixed a = t.parse(s.a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(t.round(a, s.scale - 2));
    }
}

void intSetString(benchmark::State &state, const Size &s) {
    const Int128Type t(s);
    for (auto _ : state) benchmark::DoNotOptimize(t.parse(s.a));
}

void intGetString(benchmark::State &state, const Size &s) {
    const Int128Type t(s);
    Int128Fixed a = t.parse(s.a);
    char text[80];
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(t.format(a, text));
        benchmark::ClobberMemory();
    }
}

// --- checks that every library computes the same values ------------------------------------
//
// Each library's result of every timed operation, as plain text with the type's fraction
// digits ("1" or "0" for the comparison), must agree before anything is timed.

const char *const kCheckedOps[] = {"add", "sub", "mul", "div", "cmp", "round"};

std::string kivResult(const Size &s, const char *op) {
    const auto [x, y] = operandsFor(s, op);
    KivRecord a(s, x), b(s, y), r(s, nullptr);
    if (!std::strcmp(op, "cmp")) return std::to_string(kivFixedCmp(a.get(), b.get(), KIV_FIXED_LT));
    if (!std::strcmp(op, "add")) kivFixedAdd(r.get(), a.get(), b.get());
    if (!std::strcmp(op, "sub")) kivFixedSub(r.get(), a.get(), b.get());
    if (!std::strcmp(op, "mul")) kivFixedMul(r.get(), a.get(), b.get());
    if (!std::strcmp(op, "div")) kivFixedDiv(r.get(), a.get(), b.get());
    if (!std::strcmp(op, "round")) kivFixedRound(r.get(), a.get(), s.scale - 2);
    char text[80];
    kivFixedGetString(r.get(), s.scale, text, sizeof text);
    return text;
}

std::string decResult(const Size &s, const char *op) {
    const auto [x, y] = operandsFor(s, op);
    DecNumber d(s, s.scale), rounded(s, s.scale - 2, DEC_ROUND_HALF_EVEN);
    decNumber a = d.from(x), b = d.from(y), r;
    if (!std::strcmp(op, "cmp")) {
        decNumberCompare(&r, &a, &b, &d.ctx);
        return decNumberIsNegative(&r) ? "1" : "0";
    }
    if (!std::strcmp(op, "add")) decNumberAdd(&r, &a, &b, &d.ctx);
    if (!std::strcmp(op, "sub")) decNumberSubtract(&r, &a, &b, &d.ctx);
    if (!std::strcmp(op, "mul")) decNumberMultiply(&r, &a, &b, &d.ctx);
    if (!std::strcmp(op, "div")) decNumberDivide(&r, &a, &b, &d.ctx);
    if (!std::strcmp(op, "round")) decNumberRescale(&r, &a, &rounded.quantum, &rounded.ctx);
    decNumberRescale(&r, &r, &d.quantum, &d.ctx);
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

std::string bidResult(const Size &s, const char *op) {
    const auto [x, y] = operandsFor(s, op);
    Bid d(s.scale), rounded(s.scale - 2);
    const BidUint128 a = d.from(x), b = d.from(y);
    if (!std::strcmp(op, "cmp")) return std::to_string(__bid128_quiet_less(a, b, &d.flags));
    BidUint128 r = a;
    if (!std::strcmp(op, "add")) r = __bid128_add(a, b, kBidTowardZero, &d.flags);
    if (!std::strcmp(op, "sub")) r = __bid128_sub(a, b, kBidTowardZero, &d.flags);
    if (!std::strcmp(op, "mul")) r = __bid128_mul(a, b, kBidTowardZero, &d.flags);
    if (!std::strcmp(op, "div")) r = __bid128_div(a, b, kBidTowardZero, &d.flags);
    if (!std::strcmp(op, "round"))
        r = __bid128_quantize(a, rounded.quantum, kBidNearestEven, &d.flags);
    r = __bid128_quantize(r, d.quantum, kBidTowardZero, &d.flags);
    char text[80];
    __bid128_to_string(text, r, &d.flags);
    return plainText(text, s.scale);
}

std::string intResult(const Size &s, const char *op) {
    const auto [x, y] = operandsFor(s, op);
    const Int128Type t(s);
    const Int128Fixed a = t.parse(x), b = t.parse(y);
    if (!std::strcmp(op, "cmp")) return t.less(a, b) ? "1" : "0";
    const Int128Fixed r = !std::strcmp(op, "add")   ? t.add(a, b)
                          : !std::strcmp(op, "sub") ? t.sub(a, b)
                          : !std::strcmp(op, "mul") ? t.mul(a, b)
                          : !std::strcmp(op, "div") ? t.div(a, b)
                                                    : t.round(a, s.scale - 2);
    char text[80];
    t.format(r, text);
    return text;
}

bool sameResults() {
    bool ok = true;
    for (const Size &s : kSizes) {
        for (const char *op : kCheckedOps) {
            const std::string results[] = {kivResult(s, op), decResult(s, op), bidResult(s, op),
                                           intResult(s, op)};
            for (size_t i = 1; i < 4; ++i) {
                if (results[i] != results[0]) {
                    std::fprintf(stderr, "%s at %d digits: kiv %s, %s %s\n", op, s.digits,
                                 results[0].c_str(), kLibs[i], results[i].c_str());
                    ok = false;
                }
            }
        }
    }
    return ok;
}

// --- registration and the summary ----------------------------------------------------------

std::string name(const char *op, const char *lib, const Size &s) {
    return std::string(op) + "/" + lib + "/" + std::to_string(s.digits);
}

void registerAll() {
    for (const Size &s : kSizes) {
        for (const char *op : {"add", "sub", "mul", "div"}) {
            benchmark::RegisterBenchmark(name(op, "kiv", s).c_str(), kivArith, s, op);
            benchmark::RegisterBenchmark(name(op, "decNumber", s).c_str(), decArith, s, op);
            benchmark::RegisterBenchmark(name(op, "decimal128", s).c_str(), bidArith, s, op);
            benchmark::RegisterBenchmark(name(op, "int128", s).c_str(), intArith, s, op);
        }
        using Fn = void (*)(benchmark::State &, const Size &);
        const std::pair<const char *, std::array<Fn, 4>> others[] = {
            {"cmp", {kivCmp, decCmp, bidCmp, intCmp}},
            {"round", {kivRound, decRound, bidRound, intRound}},
            {"SetString", {kivSetString, decSetString, bidSetString, intSetString}},
            {"GetString", {kivGetString, decGetString, bidGetString, intGetString}},
        };
        for (const auto &[op, fns] : others)
            for (size_t i = 0; i < 4; ++i)
                benchmark::RegisterBenchmark(name(op, kLibs[i], s).c_str(), fns[i], s);
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

void printSummary(const std::map<std::string, double> &ns) {
    std::printf(
        "\nkivFixed, CPU ns per operation (medians, same run), and ratios against the goals\n");
    std::printf("%-10s %6s %8s %10s %11s %8s %14s %15s %11s  %s\n", "op", "digits", "kiv",
                "decNumber", "decimal128", "int128", "decNumber/kiv", "decimal128/kiv",
                "kiv/int128", "goals");
    bool allMet = true, anyMeasured = false;
    for (const char *op : kOps) {
        for (const Size &s : kSizes) {
            auto at = [&](const char *lib) {
                auto it = ns.find(name(op, lib, s));
                return it == ns.end() ? 0.0 : it->second;
            };
            const double kiv = at("kiv"), dec = at("decNumber"), bid = at("decimal128"),
                         i128 = at("int128");
            if (kiv <= 0) continue;
            anyMeasured = true;
            const bool text = std::string(op).find("String") != std::string::npos;
            const bool mulDiv = !std::strcmp(op, "mul") || !std::strcmp(op, "div");
            std::string goals;
            bool met = true;
            if (!text) {
                met = met && dec / kiv >= 3 && bid / kiv > 1;
                goals = ">=3x decNumber, >1x decimal128";
            }
            if (mulDiv) {
                met = met && kiv / i128 <= 4;
                goals += ", <=4x int128";
            }
            if (text) {
                met = kiv / i128 <= 1.5;
                goals = "<=1.5x int128";
            }
            allMet = allMet && met;
            std::printf("%-10s %6d %8.1f %10.1f %11.1f %8.1f %14.2f %15.2f %11.2f  %s: %s\n", op,
                        s.digits, kiv, dec, bid, i128, dec / kiv, bid / kiv, kiv / i128,
                        met ? "met" : "MISSED", goals.c_str());
        }
    }
    if (anyMeasured) std::printf("%s\n", allMet ? "every goal met" : "some goals missed");
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
