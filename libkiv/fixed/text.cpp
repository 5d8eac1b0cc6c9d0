// SPDX-License-Identifier: Apache-2.0
// Conversion of kivFixed values from and to text. Packed decimal maps to characters nibble by
// nibble, so both directions copy digits eight at a time where they line up.
#include <cctype>
#include <cstring>

#include "fixed/fixed.h"
#include "fixed/native.h"

using namespace kiv::fixed;

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Characters that continue a word: ASCII letters, digits and '_'.
bool continuesWord(char c) {
    const unsigned char u = static_cast<unsigned char>(c) | 0x20u;
    return isDigit(c) || (u >= 'a' && u <= 'z') || c == '_';
}

bool isWord(const char *p, const char *word, size_t length) {
    return std::strncmp(p, word, length) == 0 && !continuesWord(p[length]);
}

// Writes `count` digit characters as the record's digits from index `first` on; the packed
// area has been cleared.
void writeDigits(kivFixed *v, int64_t first, const char *s, int64_t count) {
    uint8_t *p = packedOf(v);
    uint64_t n = static_cast<uint64_t>(first) + ((v->digits & 1u) ^ 1u);  // nibble index
    if (count > 0 && (n & 1)) {
        p[n >> 1] |= static_cast<uint8_t>(*s++ - '0');
        ++n;
        --count;
    }
    for (; kLittleEndian && count >= 8; count -= 8, s += 8, n += 8) {
        // Eight characters to four bytes: pair each even character with the odd one after it.
        uint64_t w;
        std::memcpy(&w, s, 8);
        w -= 0x3030303030303030ull;
        w = ((w & 0x000F000F000F000Full) << 4) | ((w >> 8) & 0x000F000F000F000Full);
        w = (w | (w >> 8)) & 0x0000FFFF0000FFFFull;
        const uint32_t packed = static_cast<uint32_t>(w | (w >> 16));
        std::memcpy(p + (n >> 1), &packed, 4);
    }
    for (; count >= 2; count -= 2, s += 2, n += 2)
        p[n >> 1] = static_cast<uint8_t>(((s[0] - '0') << 4) | (s[1] - '0'));
    if (count > 0) p[n >> 1] |= static_cast<uint8_t>((*s - '0') << 4);
}

// Output in the manner of snprintf: every character counts, only those that fit are stored.
class TextOut {
  public:
    TextOut(char *buffer, size_t size) : buf_(buffer), size_(size) {}

    void put(char c) {
        if (len_ < size_) buf_[len_] = c;
        ++len_;
    }
    void repeat(char c, int64_t count) {
        if (count <= 0) return;
        const uint64_t n = static_cast<uint64_t>(count);
        if (len_ < size_) std::memset(buf_ + len_, c, std::min(n, size_ - len_));
        len_ += n;
    }
    void text(const char *s) {
        while (*s) put(*s++);
    }
    // The digits with indices [from, to); indices outside the record are zeros.
    void digits(const DigitView &x, const uint8_t *packed, int64_t from, int64_t to);
    // Terminates the text (cutting it when the buffer is full) and returns its full length.
    int64_t finish() {
        if (len_ < size_) {
            buf_[len_] = '\0';
        } else if (size_ > 0) {
            buf_[size_ - 1] = '\0';
        }
        return static_cast<int64_t>(len_);
    }

  private:
    char *buf_;
    uint64_t size_;
    uint64_t len_ = 0;
};

void TextOut::digits(const DigitView &x, const uint8_t *packed, int64_t from, int64_t to) {
    if (from >= to) return;
    if (from < 0) {
        repeat('0', std::min<int64_t>(to, 0) - from);
        from = 0;
    }
    const int64_t inside = std::min(to, x.digits());
    uint64_t n = static_cast<uint64_t>(from) + ((x.digits() & 1) ^ 1);  // nibble index
    int64_t i = from;
    if (i < inside && (n & 1)) {
        put(static_cast<char>('0' + x.at(i++)));
        ++n;
    }
    for (; inside - i >= 8 && size_ - std::min(len_, size_) >= 8; i += 8, n += 8) {
        // Four packed bytes to eight characters: spread the nibbles to one per byte.
        uint64_t w = (uint64_t{packed[n >> 1]} << 24) | (uint64_t{packed[(n >> 1) + 1]} << 16) |
                     (uint64_t{packed[(n >> 1) + 2]} << 8) | packed[(n >> 1) + 3];
        w = (w | (w << 16)) & 0x0000FFFF0000FFFFull;
        w = (w | (w << 8)) & 0x00FF00FF00FF00FFull;
        w = ((w | (w << 4)) & 0x0F0F0F0F0F0F0F0Full) + 0x3030303030303030ull;
        w = __builtin_bswap64(w);
        std::memcpy(buf_ + len_, &w, 8);
        len_ += 8;
    }
    for (; i < inside; ++i) put(static_cast<char>('0' + x.at(i)));
    repeat('0', to - std::max(from, inside));
}

// The kept digits of a value printed with rounding: when rounding carries, the digit at
// `carryAt` grows by one and every kept digit after it becomes 0.
struct Kept {
    const DigitView &x;
    const uint8_t *packed;
    bool carries;
    int64_t carryAt;

    void print(TextOut &out, int64_t from, int64_t to) const {
        if (!carries) return out.digits(x, packed, from, to);
        out.digits(x, packed, from, std::min(to, carryAt));
        if (carryAt >= from && carryAt < to) out.put(static_cast<char>('1' + x.at(carryAt)));
        out.repeat('0', to - std::max(from, carryAt + 1));
    }
};

// Eight packed digits (most significant nibble first) as characters.
uint64_t packedToChars8(uint32_t digits) {
    uint64_t w = digits;
    w = (w | (w << 16)) & 0x0000FFFF0000FFFFull;
    w = (w | (w << 8)) & 0x00FF00FF00FF00FFull;
    w = ((w | (w << 4)) & 0x0F0F0F0F0F0F0F0Full) + 0x3030303030303030ull;
    return __builtin_bswap64(w);
}

// Copies n characters, sizeof(Word) <= n <= 2 x sizeof(Word), as two overlapping moves.
template <class Word>
void copyOverlapping(char *to, const char *from, size_t n) {
    Word head, tail;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

// Copies n characters without a call for the short lengths of formatted values.
void copyShort(char *to, const char *from, size_t n) {
    if (n >= 4 && n < 8) return copyOverlapping<uint32_t>(to, from, n);
    if (n >= 8 && n <= 16) return copyOverlapping<uint64_t>(to, from, n);
    std::memcpy(to, from, n);
}

// The nibbles of a packed word as characters, most significant first.
template <class W>
void packedToChars(W m, char *out) {
    for (unsigned i = 0; i < sizeof(W) / 4; ++i) {
        const uint64_t chars =
            packedToChars8(static_cast<uint32_t>(m >> (8 * sizeof(W) - 32 - 32 * i)));
        std::memcpy(out + 8 * i, &chars, 8);
    }
}

// Leading zero bits of a word that is not zero.
inline unsigned leadingZeros(uint64_t w) {
    return static_cast<unsigned>(__builtin_clzll(w));
}
inline unsigned leadingZeros(u128 w) {
    return hi64(w) ? leadingZeros(hi64(w)) : 64 + leadingZeros(static_cast<uint64_t>(w));
}

// Values that fit a word W, with a scale >= 0, written with at least their own fraction digits
// (no rounding): formatted from the packed word in a local buffer.
template <class W>
bool getStringShort(const kivFixed *v, int32_t precision, char *buffer, size_t size,
                    int64_t *length) {
    if (!fitsWord<W>(v) || v->scale < 0 || precision < v->scale || precision > 64) return false;
    const W w = loadPacked<W>(v);
    const unsigned state = static_cast<unsigned>(w) & 15u;
    if (state != kPositive && state != kNegative) return false;
    constexpr unsigned kNibbles = 2 * sizeof(W);
    const W m = w >> 4;
    const unsigned scale = static_cast<unsigned>(v->scale);
    char digits[kNibbles];
    packedToChars(m, digits);
    const W whole = m >> (4 * scale);
    const unsigned wholeDigits = whole ? kNibbles - leadingZeros(whole) / 4 : 1;  // "0"
    char text[1 + kNibbles + 1 + 64];
    size_t n = 0;
    if (state == kNegative) text[n++] = '-';
    copyShort(text + n, digits + kNibbles - scale - wholeDigits, wholeDigits);
    n += wholeDigits;
    if (precision > 0) {
        text[n++] = '.';
        copyShort(text + n, digits + kNibbles - scale, scale);
        std::memset(text + n + scale, '0', static_cast<size_t>(precision) - scale);
        n += static_cast<size_t>(precision);
    }
    *length = static_cast<int64_t>(n);
    if (size > 0) {
        const size_t stored = n < size ? n : size - 1;
        copyShort(buffer, text, stored);
        buffer[stored] = '\0';
    }
    return true;
}

// [-]digits[.digits] into a record that fits a word W, with integer positions and a scale >= 0:
// digits shifted into packed words as they are read. Anything else (special words, no digit
// stored) is left to the general reader.
template <class W>
bool setStringShort(kivFixed *v, const char *text, char **end) {
    if (!fitsWord<W>(v) || v->scale < 0 || v->scale >= v->digits) return false;
    const char *p = text;
    while (!isDigit(*p) && std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    const char *q = p + negative;
    const unsigned scale = static_cast<unsigned>(v->scale), wholePositions = v->digits - scale;
    W whole = 0;
    const char *start = q;
    for (; isDigit(*q); ++q) whole = (whole << 4) | static_cast<unsigned>(*q - '0');
    bool stored = q != start;
    W fraction = 0;
    unsigned taken = 0;
    if (*q == '.') {
        for (++q; isDigit(*q); ++q) {
            if (taken < scale) {
                fraction = (fraction << 4) | static_cast<unsigned>(*q - '0');
                ++taken;
            }
        }
        stored = stored || taken > 0;
    }
    if (!stored) return false;
    whole &= (W{1} << (4 * wholePositions)) - 1;
    storePacked<W>(v, (whole << (4 * scale)) | (fraction << (4 * (scale - taken))), negative);
    if (end) *end = const_cast<char *>(q);
    return true;
}

}  // namespace

void kiv::fixed::setStringFixed(kivFixed *v, const char *text, char **end, Path path) {
    if (path == Path::Fast && (fitsWord<uint64_t>(v) ? setStringShort<uint64_t>(v, text, end)
                                                     : setStringShort<u128>(v, text, end)))
        return;
    const char *p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    int special = 0;
    if (isWord(p, "-Inf", 4)) {
        special = kNegInf;
    } else if (isWord(p, "+Inf", 4)) {
        special = kPosInf;
    } else if (isWord(p, "NaN", 3)) {
        special = kNaN;
    }
    if (special) {
        setSpecial(v, special);
        if (end) *end = const_cast<char *>(p + (special == kNaN ? 3 : 4));
        return;
    }

    const bool negative = *p == '-';
    const char *intBegin = p + negative, *intEnd = intBegin;
    while (isDigit(*intEnd)) ++intEnd;
    const char *fracBegin = intEnd, *fracEnd = intEnd, *stop = intEnd;
    if (*intEnd == '.') {
        fracBegin = fracEnd = intEnd + 1;
        while (isDigit(*fracEnd)) ++fracEnd;
        stop = fracEnd;
    }
    const int64_t intLength = intEnd - intBegin, fracLength = fracEnd - fracBegin;
    const DigitView x(v);
    const int64_t lo = x.lowExp(), hi = x.highExp();
    // Integer digits take the exponents [0, hi), fraction digits [-scale, -1]; a type without
    // integer positions still reads an integer part made only of zeros.
    const bool storesInteger =
        intLength > 0 && (hi > 0 || std::strspn(intBegin, "0") >= size_t(intLength));
    const bool storesFraction = fracLength > 0 && v->scale > 0;
    if (!storesInteger && !storesFraction) {
        if (end) *end = const_cast<char *>(text);
        return;
    }
    DigitWriter out(v);
    out.clear();
    // Digit with exponent e is intBegin[intLength - 1 - e] or fracBegin[-1 - e]; both runs land
    // on consecutive record indices hi - 1 - e.
    const int64_t intTop = std::min(hi, intLength), intLow = std::max<int64_t>(lo, 0);
    if (intTop > intLow)
        writeDigits(v, hi - intTop, intBegin + intLength - intTop, intTop - intLow);
    const int64_t fracTop = std::min<int64_t>(-1, hi - 1), fracLow = std::max(lo, -fracLength);
    if (fracTop >= fracLow)
        writeDigits(v, hi - 1 - fracTop, fracBegin - 1 - fracTop, fracTop - fracLow + 1);
    out.setState(negative);
    if (end) *end = const_cast<char *>(stop);
}

int64_t kiv::fixed::getStringFixed(const kivFixed *v, int32_t precision, char *buffer, size_t size,
                                   Path path) {
    int64_t length;
    if (path == Path::Fast &&
        (fitsWord<uint64_t>(v) ? getStringShort<uint64_t>(v, precision, buffer, size, &length)
                               : getStringShort<u128>(v, precision, buffer, size, &length)))
        return length;
    TextOut out(buffer, size);
    const int state = stateOf(v);
    if (!isFiniteState(state)) {
        out.text(state == kPosInf ? "+Inf" : (state == kNegInf ? "-Inf" : "NaN"));
        return out.finish();
    }
    const DigitView x(v);
    const uint8_t *packed = packedOf(v);
    const int64_t scale = std::max<int64_t>(v->scale, 0);
    const int64_t point = x.digits() - v->scale;  // index of the first fraction digit
    const int64_t shown = precision < 0 ? scale : std::min<int64_t>(precision, scale);
    const int64_t end = point + shown;                  // one past the last kept digit
    const int64_t start = std::min<int64_t>(0, point);  // the first kept digit

    // Half to even at `precision` fraction digits when that drops digits.
    Kept kept{x, packed, false, end};
    bool carriesOut = false;
    if (precision >= 0 && precision < scale) {
        const unsigned first = x.at(end);
        const bool beyond = x.anyNonZero(x.expOfIndex(point + scale - 1), x.expOfIndex(end));
        const int half = first > 5 || (first == 5 && beyond) ? 1 : (first == 5 ? 0 : -1);
        if (roundsUp(KIV_FIXED_ROUND_HALF_EVEN, half, true, x.at(end - 1) & 1, false)) {
            int64_t at = end - 1;
            while (at >= start && x.at(at) == 9) --at;
            kept.carries = true;
            kept.carryAt = at;
            carriesOut = at < start;
        }
    }

    if (state == kNegative) out.put('-');
    if (carriesOut) {
        out.put('1');  // every kept integer digit was 9 and is now 0
        kept.print(out, 0, point);
    } else {
        const int64_t nonZero = x.firstNonZero();  // implied zeros follow the digits
        int64_t first = nonZero < x.digits() ? std::min(nonZero, point) : point;
        if (kept.carries && kept.carryAt >= 0) first = std::min(first, kept.carryAt);
        if (first >= point) {
            out.put('0');
        } else {
            kept.print(out, first, point);
        }
    }
    if (precision > 0) {
        out.put('.');
        kept.print(out, point, end);
        out.repeat('0', int64_t{precision} - shown);
    } else if (precision < 0 && scale > 0) {
        int64_t last = point + scale - 1;
        while (last >= point && x.at(last) == 0) --last;
        out.put('.');
        if (last < point) {
            out.put('0');
        } else {
            out.digits(x, packed, point, last + 1);
        }
    }
    return out.finish();
}

void kivFixedSetString(kivFixed *v, const char *text, char **end) {
    if (text == nullptr) {  // no text, so no number: nothing is read
        if (end) *end = nullptr;
        return;
    }
    setStringFixed(v, text, end, Path::Fast);
}

int64_t kivFixedGetString(const kivFixed *v, int32_t precision, char *buffer, size_t size) {
    return getStringFixed(v, precision, buffer, buffer ? size : 0, Path::Fast);
}
