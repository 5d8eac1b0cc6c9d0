// SPDX-License-Identifier: Apache-2.0
// kivFixedGetString and kivFixedSetString on arbitrary values: the length reported against the
// text written, both algorithm paths agreeing, exact round trips, and rounding in text agreeing
// with kivFixedRound. (oracle.py checks texts cut by small buffers.)
#include <algorithm>
#include <string>

#include "fuzz_record.h"

using namespace kivfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, data + size};
    const Record v = fill(type(in), in);
    const auto precisionByte = static_cast<int8_t>(in.byte());
    const int32_t precision = precisionByte < -100 ? -1 : precisionByte % 50;
    const int64_t length = kivFixedGetString(v.get(), precision, nullptr, 0);
    require(length >= 0 && length < (1 << 20));
    std::string text(static_cast<size_t>(length) + 1, '\x7f'), general = text;
    require(kiv::fixed::getStringFixed(v.get(), precision, text.data(), text.size(), Path::Fast) ==
            length);
    require(kiv::fixed::getStringFixed(v.get(), precision, general.data(), general.size(),
                                       Path::General) == length);
    require(text == general && text.find('\0') == static_cast<size_t>(length));
    text.resize(static_cast<size_t>(length));

    const int state = kivFixedGetState(v.get());
    if (state < KIV_FIXED_POS_INF || state > KIV_FIXED_NEGATIVE) return 0;  // NaN reads back clean
    Record back(v.get()->digits, v.get()->scale),
        rounded(std::min(v.get()->digits + 1, 65535), precision);
    if (precision < 0 || precision >= v.get()->scale) {  // no rounding: the same record again
        char *end = nullptr;
        kivFixedSetString(back.get(), text.c_str(), &end);
        require(end == text.c_str() + text.size() && back == v);
    } else if (state >= KIV_FIXED_POSITIVE) {  // as kivFixedRound into a type with room to carry
        Record fromText = rounded;
        kivFixedSetString(fromText.get(), text.c_str(), nullptr);
        kivFixedRound(rounded.get(), v.get(), precision);
        require(fromText == rounded);
    }
    return 0;
}
