// kivFixedGetString and kivFixedSetString on arbitrary values: the length reported against the
// text written, cut texts that are prefixes and touch nothing beyond, both algorithm paths
// agreeing, exact round trips, and rounding in text agreeing with kivFixedRound.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_record.h"

using kiv::fixed::Path;

namespace {

std::string text(const kivFixed *v, int32_t precision, Path path) {
    const int64_t n = kiv::fixed::getStringFixed(v, precision, nullptr, 0, path);
    if (n < 0 || n > (1 << 20)) abort();
    std::string out(static_cast<size_t>(n) + 1, '\x7f');
    if (kiv::fixed::getStringFixed(v, precision, out.data(), out.size(), path) != n) abort();
    if (out[static_cast<size_t>(n)] != '\0' || std::strlen(out.c_str()) != static_cast<size_t>(n))
        abort();
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kivfuzz::Input in(data, size);
    kivfuzz::Record v = kivfuzz::type(in);
    kivfuzz::fill(v, in);
    const int8_t precisionByte = static_cast<int8_t>(in.byte());
    const int32_t precision = precisionByte < -100 ? -1 : precisionByte % 50;
    const std::string full = text(v.get(), precision, Path::Fast);
    if (text(v.get(), precision, Path::General) != full) abort();

    // A buffer too small receives the beginning of the text and nothing past its size.
    const size_t cut = full.empty() ? 0 : in.byte() % (full.size() + 1);
    std::vector<char> buffer(cut + 8, '\x7f');
    if (kivFixedGetString(v.get(), precision, buffer.data(), cut) !=
        static_cast<int64_t>(full.size()))
        abort();
    if (cut > 0 &&
        (std::memcmp(buffer.data(), full.data(), cut - 1) != 0 || buffer[cut - 1] != '\0'))
        abort();
    for (size_t i = cut; i < buffer.size(); ++i)
        if (buffer[i] != '\x7f') abort();

    const int state = kivFixedGetState(v.get());
    if (state < KIV_FIXED_POS_INF || state > KIV_FIXED_NEGATIVE) return 0;  // NaN reads back clean
    const int scale = std::max<int>(v.get()->scale, 0);
    if (precision < 0 || precision >= scale) {
        // No rounding: the text reads back as the same record.
        kivfuzz::Record back(v.get()->digits, v.get()->scale);
        char *end = nullptr;
        kivFixedSetString(back.get(), full.c_str(), &end);
        if (end != full.c_str() + full.size() || !back.samePacked(v)) abort();
    } else if (state == KIV_FIXED_POSITIVE || state == KIV_FIXED_NEGATIVE) {
        // Rounded text equals kivFixedRound into a type with room for the carry.
        const unsigned digits = std::min<unsigned>(v.get()->digits + 1, 65535);
        kivfuzz::Record fromText(digits, precision), rounded(digits, precision);
        kivFixedSetString(fromText.get(), full.c_str(), nullptr);
        kivFixedRound(rounded.get(), v.get(), precision);
        if (!fromText.samePacked(rounded)) abort();
    }
    return 0;
}
