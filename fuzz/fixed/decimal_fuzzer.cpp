// SPDX-License-Identifier: Apache-2.0
// kiv_decimal.h on arbitrary text, bit patterns and records: reading stops inside the text, what
// is written reads back to the same decimal, records are written whole or not at all, and
// widening then narrowing gives the value back.
#include <string>

#include "fuzz_record.h"
#include "kiv_decimal.h"

using namespace kivfuzz;

namespace {

const kivDecimal_Format *const kFormats[] = {&kivDecimal_F32, &kivDecimal_F64, &kivDecimal_F128};

kivDecimal_U128 pattern(Input &in, unsigned width) {
    kivDecimal_U128 b = 0;
    for (unsigned i = 0; i < width / 8; ++i) b = (b << 8) | in.byte();
    return b;
}

// What text gives back: a finite value's sign, coefficient and exponent, or its kind.
bool same(kivDecimal_U128 x, kivDecimal_U128 y, const kivDecimal_Format *f) {
    const kivDecimal_Parts p = kivDecimal_decode(x, f), q = kivDecimal_decode(y, f);
    if (p.kind == kivDecimal_NAN) return q.kind == kivDecimal_NAN;
    return p.kind == q.kind && p.negative == q.negative &&
           (p.kind != kivDecimal_FINITE ||
            (p.coefficient == q.coefficient && p.exponent == q.exponent));
}

// The same value whatever the exponents: coefficients without trailing zeros.
bool sameValue(kivDecimal_Parts p, kivDecimal_Parts q) {
    if (p.kind != q.kind) return false;
    if (p.kind == kivDecimal_NAN) return true;
    if (p.negative != q.negative || (p.coefficient == 0) != (q.coefficient == 0)) return false;
    if (p.kind == kivDecimal_INF || p.coefficient == 0) return true;
    for (kivDecimal_Parts *v : {&p, &q})
        for (; v->coefficient % 10 == 0; ++v->exponent) v->coefficient /= 10;
    return p.coefficient == q.coefficient && p.exponent == q.exponent;
}

void roundTrip(kivDecimal_U128 x, const kivDecimal_Format *f) {
    char text[64], *end = nullptr;
    const int64_t length = kivDecimal_format(kivDecimal_decode(x, f), text, sizeof text);
    kivDecimal_U128 back = 0;
    require(length >= 0 && length <= 48 && kivDecimal_parse(text, &end, &back, f) == KIV_S_OK);
    require(end == text + length && same(x, back, f));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, data + size};
    const Record before = fill(type(in), in);
    for (const kivDecimal_Format *f : kFormats) {
        const kivDecimal_U128 x = pattern(in, f->width);
        roundTrip(x, f);
        // Into a record whole or not at all, and back to the same value when it fits.
        Record r = before;
        if (kivDecimal_toFixed(r.get(), kivDecimal_decode(x, f)) == KIV_S_OK) {
            require(valid(r.get()));
            require(sameValue(kivDecimal_decode(x, f),
                              kivDecimal_decode(kivDecimal_fromFixed(r.get(), f), f)));
        } else {
            require(r == before);
        }
        roundTrip(kivDecimal_fromFixed(before.get(), f), f);
        roundTrip(kivDecimal_convert(x, f, &kivDecimal_F128), &kivDecimal_F128);
        require(same(
            kivDecimal_convert(kivDecimal_convert(x, f, &kivDecimal_F128), &kivDecimal_F128, f),
            kivDecimal_convert(x, f, f), f));
    }
    const std::string text(reinterpret_cast<const char *>(in.p), in.end - in.p);  // to a NUL
    for (const kivDecimal_Format *f : kFormats) {
        char *end = nullptr;
        kivDecimal_U128 x = 0;
        const kivResult rc = kivDecimal_parse(text.c_str(), &end, &x, f);
        require(end >= text.c_str() && end <= text.c_str() + text.size());
        require(rc == KIV_S_OK ? end != text.c_str() : end == text.c_str());
        if (rc == KIV_S_OK) roundTrip(x, f);
    }
    return 0;
}
