// SPDX-License-Identifier: Apache-2.0
// kivFixedSetString on arbitrary text into arbitrary records: where reading stops, an untouched
// record when nothing is read, a valid record otherwise, and both algorithm paths agreeing.
#include <string>

#include "fuzz_record.h"

using namespace kivfuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, data + size};
    const Record before = fill(type(in), in);
    Record fast = before, general = before;
    const std::string text(reinterpret_cast<const char *>(in.p), in.end - in.p);  // to a NUL
    char *end = nullptr, *generalEnd = nullptr;
    kiv::fixed::setStringFixed(fast.get(), text.c_str(), &end, Path::Fast);
    kiv::fixed::setStringFixed(general.get(), text.c_str(), &generalEnd, Path::General);
    require(fast == general && end == generalEnd);
    require(end >= text.c_str() && end <= text.c_str() + text.size());
    require(end != text.c_str() ? valid(fast.get()) : fast == before);
    return 0;
}
