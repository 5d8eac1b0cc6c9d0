// SPDX-License-Identifier: Apache-2.0
// kiv_decimal.h against the Intel decimal library as the reference: reading text, writing text
// that reads back, kivFixed to decimal and back, and conversions between the decimal types, on
// random values of every kind from a fixed seed.
#include "kiv_decimal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

// The library's by-value entry points (libbidgcc000); its header does not compile as C++.
extern "C" {
struct alignas(16) BidUint128 {
    uint64_t w[2];
};
uint32_t __bid32_from_string(char *s, unsigned rnd, unsigned *flags);
uint64_t __bid64_from_string(char *s, unsigned rnd, unsigned *flags);
BidUint128 __bid128_from_string(char *s, unsigned rnd, unsigned *flags);
uint64_t __bid32_to_bid64(uint32_t x, unsigned *flags);
BidUint128 __bid32_to_bid128(uint32_t x, unsigned *flags);
BidUint128 __bid64_to_bid128(uint64_t x, unsigned *flags);
uint32_t __bid64_to_bid32(uint64_t x, unsigned rnd, unsigned *flags);
uint32_t __bid128_to_bid32(BidUint128 x, unsigned rnd, unsigned *flags);
uint64_t __bid128_to_bid64(BidUint128 x, unsigned rnd, unsigned *flags);
int __bid128_quiet_equal(BidUint128 x, BidUint128 y, unsigned *flags);
BidUint128 __bid128_quantize(BidUint128 x, BidUint128 y, unsigned rnd, unsigned *flags);
}

namespace {

constexpr unsigned kNearestEven = 0, kTowardZero = 3, kInexact = 0x20;

kivDecimal_U128 bitsOf(BidUint128 x) {
    return (static_cast<kivDecimal_U128>(x.w[1]) << 64) | x.w[0];
}
BidUint128 bid(kivDecimal_U128 bits) {
    return {{static_cast<uint64_t>(bits), static_cast<uint64_t>(bits >> 64)}};
}

// One decimal format through both implementations, as 128-bit patterns.
struct Format {
    const char *name;
    const kivDecimal_Format *f;
    kivDecimal_U128 (*bidParse)(std::string);
    kivDecimal_U128 (*kivParse)(const char *, char **);
    int64_t (*kivFormat)(kivDecimal_U128, char *, size_t);
    kivDecimal_U128 (*kivFromFixed)(const kivFixed *);
    kivResult (*kivToFixed)(kivFixed *, kivDecimal_U128);
    BidUint128 (*bidTo128)(kivDecimal_U128);
};

const Format kFormats[] = {
    {"decimal32", &kivDecimal_F32,
     [](std::string s) -> kivDecimal_U128 {
         unsigned flags = 0;
         return __bid32_from_string(s.data(), kNearestEven, &flags);
     },
     [](const char *s, char **end) {
         kivDecimal32 d{};
         kivDecimal32FromString(&d, s, end);
         return kivDecimal_bits32(d);
     },
     [](kivDecimal_U128 b, char *out, size_t n) {
         return kivDecimal32ToString(kivDecimal_make32(b), out, n);
     },
     [](const kivFixed *v) { return kivDecimal_bits32(kivFixedToDecimal32(v)); },
     [](kivFixed *r, kivDecimal_U128 b) { return kivDecimal32ToFixed(r, kivDecimal_make32(b)); },
     [](kivDecimal_U128 b) {
         unsigned flags = 0;
         return __bid32_to_bid128(static_cast<uint32_t>(b), &flags);
     }},
    {"decimal64", &kivDecimal_F64,
     [](std::string s) -> kivDecimal_U128 {
         unsigned flags = 0;
         return __bid64_from_string(s.data(), kNearestEven, &flags);
     },
     [](const char *s, char **end) {
         kivDecimal64 d{};
         kivDecimal64FromString(&d, s, end);
         return kivDecimal_bits64(d);
     },
     [](kivDecimal_U128 b, char *out, size_t n) {
         return kivDecimal64ToString(kivDecimal_make64(b), out, n);
     },
     [](const kivFixed *v) { return kivDecimal_bits64(kivFixedToDecimal64(v)); },
     [](kivFixed *r, kivDecimal_U128 b) { return kivDecimal64ToFixed(r, kivDecimal_make64(b)); },
     [](kivDecimal_U128 b) {
         unsigned flags = 0;
         return __bid64_to_bid128(static_cast<uint64_t>(b), &flags);
     }},
    {"decimal128", &kivDecimal_F128,
     [](std::string s) {
         unsigned flags = 0;
         return bitsOf(__bid128_from_string(s.data(), kNearestEven, &flags));
     },
     [](const char *s, char **end) {
         kivDecimal128 d{};
         kivDecimal128FromString(&d, s, end);
         return kivDecimal_bits128(d);
     },
     [](kivDecimal_U128 b, char *out, size_t n) {
         return kivDecimal128ToString(kivDecimal_make128(b), out, n);
     },
     [](const kivFixed *v) { return kivDecimal_bits128(kivFixedToDecimal128(v)); },
     [](kivFixed *r, kivDecimal_U128 b) { return kivDecimal128ToFixed(r, kivDecimal_make128(b)); },
     [](kivDecimal_U128 b) { return bid(b); }},
};

std::string hex(kivDecimal_U128 b) {
    char text[40];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(b >> 64),
                  static_cast<unsigned long long>(b));
    return text;
}

bool isNaN(const Format &f, kivDecimal_U128 b) {
    return kivDecimal_decode(b, f.f).kind == kivDecimal_NAN;
}

class Random {
  public:
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::string digits(int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += static_cast<char>('0' + (below(4) ? below(10) : 9 * below(2)));
        return s;
    }
    // A number as the reference reads it: up to 45 digits, a point, an exponent near either
    // end of a format's range or anywhere, or a special word.
    std::string number() {
        if (below(20) == 0)
            return std::string(below(2) ? "-" : "") +
                   (const char *[]){"Inf", "Infinity", "NaN", "inf", "nan"}[below(5)];
        std::string s = below(2) ? "-" : "";
        const int whole = below(3) ? below(20) : below(46), fraction = below(2) ? below(25) : 0;
        s += whole ? digits(whole) : "0";
        if (fraction) s += "." + digits(fraction);
        if (below(3) == 0) {
            const int exponents[] = {-6200, -6176, -6150, -420, -398, -380, -110, -101, -95, 0,
                                     85,    90,    97,    360,  369,  380,  6100, 6111, 6140};
            s += "E" + std::to_string(exponents[below(19)] + below(9) - 4);
        }
        return s;
    }
    kivDecimal_U128 bits() {
        kivDecimal_U128 b = 0;
        for (int i = 0; i < 4; ++i) b = (b << 32) | static_cast<uint32_t>(rng_());
        return b;
    }

  private:
    std::mt19937_64 rng_{20240611};
};

TEST(Decimal, ReadsTextAsTheReferenceDoes) {
    Random rnd;
    for (const Format &f : kFormats) {
        for (int i = 0; i < 10000; ++i) {
            const std::string text = rnd.number();
            char *end = nullptr;
            const kivDecimal_U128 mine = f.kivParse(text.c_str(), &end), want = f.bidParse(text);
            ASSERT_EQ(end, text.c_str() + text.size()) << f.name << " " << text;
            if (isNaN(f, want)) {
                EXPECT_TRUE(isNaN(f, mine)) << f.name << " " << text;
            } else {
                ASSERT_EQ(hex(mine), hex(want)) << f.name << " " << text;
            }
        }
    }
}

TEST(Decimal, TextEndsAndRefusals) {
    struct Case {
        const char *text;
        long used;  // -1: refused
        const char *value;
    } cases[] = {{"  12.50xyz", 7, "12.50"},
                 {"-0", 2, "-0"},
                 {"+1e3", 4, "1E+3"},
                 {"1e", 1, "1"},
                 {"1e+", 1, "1"},
                 {".5", 2, "0.5"},
                 {"5.", 2, "5"},
                 {"Infinityx", 8, "Infinity"},
                 {"-INF", 4, "-Infinity"},
                 {"sNaN", 4, "NaN"},
                 {"", -1, ""},
                 {"-", -1, ""},
                 {".", -1, ""},
                 {"e5", -1, ""},
                 {"abc", -1, ""},
                 {"in", -1, ""}};
    for (const Case &c : cases) {
        kivDecimal64 d{12345};
        char *end = nullptr;
        const kivResult rc = kivDecimal64FromString(&d, c.text, &end);
        EXPECT_EQ(rc == KIV_S_OK, c.used >= 0) << c.text;
        EXPECT_EQ(end - c.text, c.used < 0 ? 0 : c.used) << c.text;
        // A refused text leaves the decimal as it was.
        EXPECT_EQ(kiv::toString(d), c.used < 0 ? "1.2345E-394" : c.value) << c.text;
    }
    char *end = reinterpret_cast<char *>(1);
    kivDecimal32 d{};
    EXPECT_EQ(kivDecimal32FromString(&d, nullptr, &end), KIV_E_INVALID_ARG);
    EXPECT_EQ(end, nullptr);
    EXPECT_FALSE(kiv::parseDecimal<kivDecimal128>("1.5 ").has_value());
    EXPECT_EQ(kiv::toString(*kiv::parseDecimal<kivDecimal32>("1234567.5")), "1234568");
}

TEST(Decimal, WritesTextThatReadsBack) {
    Random rnd;
    for (const Format &f : kFormats) {
        for (int i = 0; i < 10000; ++i) {
            // Random patterns (non-canonical coefficients and specials among them) and canonical
            // values made by the reference.
            const kivDecimal_U128 x =
                (i & 1 ? rnd.bits() : f.bidParse(rnd.number())) &
                (f.f->width == 128 ? ~kivDecimal_U128{0} : (kivDecimal_U128{1} << f.f->width) - 1);
            char text[64];
            const int64_t length = f.kivFormat(x, text, sizeof text);
            ASSERT_EQ(length, static_cast<int64_t>(std::strlen(text)));
            ASSERT_LE(length, 48);
            const kivDecimal_Parts p = kivDecimal_decode(x, f.f);
            const kivDecimal_U128 back = f.bidParse(text);
            if (p.kind == kivDecimal_NAN) {
                EXPECT_TRUE(isNaN(f, back)) << text;
            } else {
                // The reference reads it back to the same sign, coefficient and exponent.
                const kivDecimal_Parts q = kivDecimal_decode(back, f.f);
                EXPECT_TRUE(q.kind == p.kind && q.negative == p.negative &&
                            (p.kind != kivDecimal_FINITE ||
                             (q.coefficient == p.coefficient && q.exponent == p.exponent)))
                    << f.name << " " << hex(x) << " " << text;
            }
            char small[4];
            EXPECT_EQ(f.kivFormat(x, small, sizeof small), length);
            EXPECT_EQ(std::string(small), std::string(text).substr(0, 3));
        }
    }
    EXPECT_EQ(kiv::toString(kivDecimal64{0x31c0000000000000 | 12345}), "12345");
    EXPECT_EQ(kiv::toString(kivDecimal64{0x3180000000000000 | 12345}), "123.45");
    EXPECT_EQ(kiv::toString(kivDecimal64{12}), "1.2E-397");
    EXPECT_EQ(kiv::toString(kivDecimal64{0xb1e0000000000000}), "-0E+1");
    EXPECT_EQ(kiv::toString(kivDecimal64{0x3120000000000000 | 1}), "0.00001");
}

// A random kivFixed record: up to 60 digits, scales around the digits and now and then far
// outside every decimal's range.
std::vector<uint8_t> randomRecord(Random &rnd) {
    const int digits = 1 + rnd.below(60);
    int scale = rnd.below(digits + 8) - 5;
    if (rnd.below(10) == 0) scale = (rnd.below(2) ? 1 : -1) * (90 + rnd.below(7000));
    std::vector<uint8_t> bytes(KIV_FIXED_SIZE(digits));
    kivFixed *v =
        kivFixedInit(bytes.data(), static_cast<uint16_t>(digits), static_cast<int16_t>(scale));
    const std::string d = rnd.digits(digits);
    const int skip = rnd.below(digits);  // leading zeros
    for (int i = skip; i < digits; ++i) {
        const unsigned at = static_cast<unsigned>(i) + ((digits & 1) ^ 1);
        v->packed[at / 2] |= static_cast<uint8_t>((at & 1) ? d[i] - '0' : (d[i] - '0') << 4);
    }
    if (rnd.below(2)) v->packed[digits / 2] = (v->packed[digits / 2] & 0xF0) | KIV_FIXED_NEGATIVE;
    if (rnd.below(30) == 0) kivFixedSetPosInfinity(v);
    if (rnd.below(30) == 0) kivFixedSetNaN(v);
    return bytes;
}

// The record as the reference reads it: every digit and the exponent its scale gives.
std::string referenceText(const kivFixed *v) {
    const int state = kivFixedGetState(v);
    if (state == KIV_FIXED_POS_INF || state == KIV_FIXED_NEG_INF)
        return state == KIV_FIXED_NEG_INF ? "-Inf" : "Inf";
    if (state != KIV_FIXED_POSITIVE && state != KIV_FIXED_NEGATIVE) return "NaN";
    std::string text = state == KIV_FIXED_NEGATIVE ? "-" : "";
    const unsigned pad = (v->digits & 1u) ^ 1u;
    for (unsigned i = 0; i < v->digits; ++i) {
        const uint8_t b = v->packed[(i + pad) / 2];
        text += static_cast<char>('0' + (((i + pad) & 1u) ? b & 15 : b >> 4));
    }
    return text + "E" + std::to_string(-v->scale);
}

TEST(Decimal, FromFixedRoundsAsTheReference) {
    Random rnd;
    for (const Format &f : kFormats) {
        for (int i = 0; i < 10000; ++i) {
            const std::vector<uint8_t> bytes = randomRecord(rnd);
            const kivFixed *v = reinterpret_cast<const kivFixed *>(bytes.data());
            const std::string text = referenceText(v);
            const kivDecimal_U128 mine = f.kivFromFixed(v), want = f.bidParse(text);
            if (isNaN(f, want)) {
                EXPECT_TRUE(isNaN(f, mine)) << text;
            } else {
                EXPECT_EQ(hex(mine), hex(want)) << f.name << " " << text;
            }
        }
    }
}

TEST(Decimal, ToFixedExactlyOrNotAtAll) {
    Random rnd;
    for (const Format &f : kFormats) {
        for (int i = 0; i < 10000; ++i) {
            const kivDecimal_U128 x = f.bidParse(rnd.number());
            const int digits = 1 + rnd.below(30);
            const int scale = rnd.below(digits + 6) - 4;
            std::vector<uint8_t> bytes(KIV_FIXED_SIZE(digits));
            kivFixed *r = kivFixedInit(bytes.data(), static_cast<uint16_t>(digits),
                                       static_cast<int16_t>(scale));
            std::memset(r->packed, 0x77, bytes.size() - 4);
            const std::vector<uint8_t> before = bytes;
            const kivResult rc = f.kivToFixed(r, x);
            const BidUint128 wide = f.bidTo128(x);
            const kivDecimal_Parts p = kivDecimal_decode(x, f.f);
            if (p.kind != kivDecimal_FINITE) {
                EXPECT_EQ(rc, KIV_S_OK);
                EXPECT_EQ(kivFixedGetState(r), p.kind == kivDecimal_NAN ? KIV_FIXED_NAN
                                               : p.negative             ? KIV_FIXED_NEG_INF
                                                                        : KIV_FIXED_POS_INF);
                continue;
            }
            // Whether the reference quantizes it to the scale exactly, within the digits.
            unsigned flags = 0;
            const BidUint128 unit = __bid128_from_string(
                std::string("1E" + std::to_string(-scale)).data(), kNearestEven, &flags);
            flags = 0;
            const kivDecimal_Parts q = kivDecimal_decode(
                bitsOf(__bid128_quantize(wide, unit, kTowardZero, &flags)), &kivDecimal_F128);
            const bool fits = (q.kind == kivDecimal_FINITE && !(flags & kInexact) &&
                               kivDecimal_length(q.coefficient) <= static_cast<unsigned>(digits));
            ASSERT_EQ(rc == KIV_S_OK, fits)
                << f.name << " " << hex(x) << " into " << digits << "," << scale;
            if (rc != KIV_S_OK) {
                EXPECT_EQ(bytes, before);
                continue;
            }
            flags = 0;
            EXPECT_TRUE(__bid128_quiet_equal(bid(kivDecimal_bits128(kivFixedToDecimal128(r))), wide,
                                             &flags))
                << f.name << " " << hex(x);
        }
    }
}

TEST(Decimal, BetweenTheTypesAsTheReference) {
    Random rnd;
    for (int i = 0; i < 15000; ++i) {
        unsigned flags = 0;
        const std::string text = rnd.number();
        const kivDecimal_U128 raw = rnd.bits();
        const kivDecimal32 d32 = kivDecimal_make32(i & 1 ? raw : kFormats[0].bidParse(text));
        const kivDecimal64 d64 = kivDecimal_make64(i & 1 ? raw : kFormats[1].bidParse(text));
        const kivDecimal128 d128 = kivDecimal_make128(i & 1 ? raw : kFormats[2].bidParse(text));
        const BidUint128 b128 = bid(kivDecimal_bits128(d128));
        const std::pair<kivDecimal_U128, kivDecimal_U128> pairs[] = {
            {kivDecimal32To64(d32).bits, __bid32_to_bid64(d32.bits, &flags)},
            {kivDecimal_bits128(kivDecimal32To128(d32)),
             bitsOf(__bid32_to_bid128(d32.bits, &flags))},
            {kivDecimal_bits128(kivDecimal64To128(d64)),
             bitsOf(__bid64_to_bid128(d64.bits, &flags))},
            {kivDecimal64To32(d64).bits, __bid64_to_bid32(d64.bits, kNearestEven, &flags)},
            {kivDecimal128To32(d128).bits, __bid128_to_bid32(b128, kNearestEven, &flags)},
            {kivDecimal128To64(d128).bits, __bid128_to_bid64(b128, kNearestEven, &flags)},
        };
        const kivDecimal_Format *to[] = {&kivDecimal_F64, &kivDecimal_F128, &kivDecimal_F128,
                                         &kivDecimal_F32, &kivDecimal_F32,  &kivDecimal_F64};
        for (size_t k = 0; k < 6; ++k) {
            const auto [mine, want] = pairs[k];
            if (kivDecimal_decode(want, to[k]).kind == kivDecimal_NAN) {
                EXPECT_EQ(kivDecimal_decode(mine, to[k]).kind, kivDecimal_NAN);
            } else {
                ASSERT_EQ(hex(mine), hex(want)) << k << " " << text << " " << hex(raw);
            }
        }
    }
}

}  // namespace
