// Records built from fuzzer input for the kivFixed fuzz targets.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "fixed/fixed.h"

namespace kivfuzz {

// Reads bytes from the front of the input; zeros once it is used up.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
    const uint8_t *rest(size_t *size) {
        *size = static_cast<size_t>(end_ - p_);
        return p_;
    }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

// A record with exactly KIV_FIXED_SIZE bytes, so that any access past it is reported.
class Record {
  public:
    Record(unsigned digits, int scale) : bytes_(KIV_FIXED_SIZE(digits)) {
        kivFixedInit(bytes_.data(), static_cast<uint16_t>(digits), static_cast<int16_t>(scale));
    }
    kivFixed *get() { return reinterpret_cast<kivFixed *>(bytes_.data()); }
    const kivFixed *get() const { return reinterpret_cast<const kivFixed *>(bytes_.data()); }
    size_t packedSize() const { return bytes_.size() - 4; }
    bool samePacked(const Record &o) const { return bytes_ == o.bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// A type: mostly short, sometimes up to a few hundred digits; scales from -40 to digits.
inline Record type(Input &in) {
    const uint8_t d = in.byte();
    const unsigned digits = (d & 0x80) ? d * 3u : d % 45u;
    const int scale = static_cast<int>(in.byte() % (digits + 41)) - 40;
    return Record(digits, scale);
}

// Fills a record with a value: valid digit nibbles, a pad nibble of 0 and a state that is
// finite most of the time; specials have zero digits.
inline void fill(Record &r, Input &in) {
    uint8_t *p = r.get()->packed;
    const size_t n = r.packedSize();
    const uint8_t shape = in.byte();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = (shape & 1) ? in.byte() : static_cast<uint8_t>(shape & 2 ? 0x99 : 0);
        p[i] = static_cast<uint8_t>(((b >> 4) % 10) << 4 | ((b & 15) % 10));
    }
    if (r.get()->digits % 2 == 0) p[0] &= 0x0F;
    static const uint8_t kStates[] = {12, 13, 12, 13, 12, 13, 10, 11, 14, 15};
    const uint8_t state = kStates[(shape >> 2) % sizeof kStates];
    if (state != 12 && state != 13) std::memset(p, 0, n);
    p[n - 1] = static_cast<uint8_t>((p[n - 1] & 0xF0) | state);
}

// A record that the library wrote: a valid state, and for values and infinities valid digit
// nibbles and a zero pad nibble (a NaN may carry the nibbles of the NaN it copies).
inline bool valid(const kivFixed *v) {
    const uint8_t *p = v->packed;
    const size_t n = v->digits / 2u + 1u;
    const int state = p[n - 1] & 15;
    if (state < 10) return false;
    if (state >= 14) return true;
    if (v->digits % 2 == 0 && (p[0] >> 4) != 0) return false;
    for (size_t i = 0; i < n; ++i) {
        if ((p[i] >> 4) > 9) return false;
        if (i + 1 < n && (p[i] & 15) > 9) return false;
    }
    return true;
}

}  // namespace kivfuzz
