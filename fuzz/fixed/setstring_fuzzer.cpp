// kivFixedSetString on arbitrary text into arbitrary types: where reading stops, an untouched
// record when nothing is read, a valid record otherwise, both algorithm paths agreeing, and the
// value reading back from its own text.
#include <cstdlib>
#include <string>

#include "fuzz_record.h"

using kiv::fixed::Path;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kivfuzz::Input in(data, size);
    kivfuzz::Record fast = kivfuzz::type(in);
    kivfuzz::fill(fast, in);
    const kivfuzz::Record before = fast;
    kivfuzz::Record general = fast;
    size_t length;
    const uint8_t *bytes = in.rest(&length);
    const std::string text(reinterpret_cast<const char *>(bytes), length);  // stops at a NUL

    char *end = nullptr, *generalEnd = nullptr;
    kiv::fixed::setStringFixed(fast.get(), text.c_str(), &end, Path::Fast);
    kiv::fixed::setStringFixed(general.get(), text.c_str(), &generalEnd, Path::General);
    if (!fast.samePacked(general) || end != generalEnd) abort();
    if (end < text.c_str() || end > text.c_str() + text.size()) abort();
    if (end == text.c_str()) {
        if (!fast.samePacked(before)) abort();
        return 0;
    }
    if (!kivfuzz::valid(fast.get())) abort();

    // Every fraction digit of a finite value, read back into the same type, gives it again.
    const int state = kivFixedGetState(fast.get());
    if (state == KIV_FIXED_POSITIVE || state == KIV_FIXED_NEGATIVE) {
        std::string out(static_cast<size_t>(kivFixedGetString(fast.get(), -1, nullptr, 0)), '\0');
        kivFixedGetString(fast.get(), -1, out.data(), out.size() + 1);
        kivfuzz::Record again = before;
        kivFixedSetString(again.get(), out.c_str(), nullptr);
        if (!again.samePacked(fast)) abort();
    }
    return 0;
}
