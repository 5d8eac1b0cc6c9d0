// SPDX-License-Identifier: Apache-2.0
// Records built from fuzzer input for the kivFixed fuzz targets.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fixed/fixed.h"

namespace kivfuzz {

using kiv::fixed::Path;

inline void require(bool ok) {
    if (!ok) abort();
}

// Reads bytes from the front of the input; zeros once it is used up.
struct Input {
    const uint8_t *p, *end;
    uint8_t byte() { return p < end ? *p++ : 0; }
};

// A record with exactly KIV_FIXED_SIZE bytes, so that any access past it is reported.
struct Record {
    std::vector<uint8_t> bytes;
    Record(unsigned digits, int scale) : bytes(KIV_FIXED_SIZE(digits)) {
        kivFixedInit(bytes.data(), static_cast<uint16_t>(digits), static_cast<int16_t>(scale));
    }
    kivFixed *get() { return reinterpret_cast<kivFixed *>(bytes.data()); }
    const kivFixed *get() const { return reinterpret_cast<const kivFixed *>(bytes.data()); }
    bool operator==(const Record &o) const { return bytes == o.bytes; }
};

// A type: mostly short, sometimes up to a few hundred digits; scales from -40 to digits.
inline Record type(Input &in) {
    const uint8_t d = in.byte();
    const unsigned digits = (d & 0x80) ? d * 3u : d % 45u;
    return Record(digits, static_cast<int>(in.byte() % (digits + 41)) - 40);
}

// r filled with valid digit nibbles, a zero pad nibble and a state that is finite most
// of the time; specials have zero digits.
inline Record fill(Record r, Input &in) {
    uint8_t *p = r.get()->packed;
    const size_t n = r.bytes.size() - 4;
    static const uint8_t kStates[] = {12, 13, 12, 13, 12, 13, 10, 11, 14, 15};
    const uint8_t shape = in.byte(), state = kStates[(shape >> 2) % 10];
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = (shape & 1) ? in.byte() : (shape & 2 ? 0x99 : 0);
        p[i] = static_cast<uint8_t>(((b >> 4) % 10) << 4 | ((b & 15) % 10));
    }
    if (r.get()->digits % 2 == 0) p[0] &= 0x0F;
    if (state < 12 || state > 13) std::memset(p, 0, n);
    p[n - 1] = static_cast<uint8_t>((p[n - 1] & 0xF0) | state);
    return r;
}

// A record that the library wrote: a valid state, and for values and infinities valid digit
// nibbles and a zero pad nibble (a NaN may carry the nibbles of the NaN it copies).
inline bool valid(const kivFixed *v) {
    const uint8_t *p = v->packed;
    const size_t n = v->digits / 2u + 1u;
    const int state = p[n - 1] & 15;
    bool ok = state >= 10 && (v->digits % 2 || p[0] >> 4 == 0);
    for (size_t i = 0; i < n; ++i) ok = ok && p[i] >> 4 <= 9 && (i + 1 == n || (p[i] & 15) <= 9);
    return state >= 14 || ok;
}

}  // namespace kivfuzz
