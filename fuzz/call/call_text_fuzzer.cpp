// SPDX-License-Identifier: Apache-2.0
// Values read from IDL literal text and JSON: whatever is read fits its type, writes back as
// text that reads as the same value, and nothing leaks or crashes. The first byte picks the
// type and the text form.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kiv_call.h"

namespace {

const char *const kTypes[] = {"IDL:Fuzz/All:1.0",  "IDL:Fuzz/Shape:1.0", "IDL:Fuzz/Matrix:1.0",
                              "IDL:Fuzz/Wide:1.0", "IDL:Fuzz/Point:1.0", "IDL:Fuzz/Color:1.0"};
constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];
const kcallType *types[kTypeCount];

bool setUp() {
    if (kivInitialize() || kcallRegisterLibrary(FUZZ_TLB, KIV_REGISTER_PROCESS)) return false;
    for (size_t i = 0; i < kTypeCount; ++i)
        if (kcallFindType(kTypes[i], &types[i])) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = setUp();
    if (!ready) std::abort();
    if (size < 1) return 0;
    const kcallType *type = types[data[0] % kTypeCount];
    const uint32_t flags = (data[0] / kTypeCount) % 2 ? KCALL_TEXT_JSON : KCALL_TEXT_IDL;
    const char *text = reinterpret_cast<const char *>(data + 1);
    kcallValue value{};
    if (kcallValueParse(type, text, size - 1, flags, &value)) {
        if (value.kind != 0) std::abort();  // a failed read leaves the value alone
        return 0;
    }
    if (kcallValueCheck(type, &value)) std::abort();
    char *written = nullptr;
    if (kcallValueFormat(type, &value, flags, &written)) std::abort();
    kcallValue again{};
    if (kcallValueParse(type, written, std::strlen(written), flags, &again)) std::abort();
    // NaN payloads and -0 compare by bits, so the round trip must keep them exactly.
    if (kcallValueCompare(&value, &again) != 0) std::abort();
    kivFree(written);
    kcallValueClear(&again);
    kcallValueClear(&value);
    return 0;
}
