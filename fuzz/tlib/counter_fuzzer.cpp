// SPDX-License-Identifier: Apache-2.0
// The local-id counter record on arbitrary bytes: it is refused, or it holds a number that
// writes back to a record reading the same number, and a refusal leaves the output untouched.
#include <cstdlib>

#include "tlib/codec.h"

using namespace kiv::tlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr uint32_t kUntouched = 0xdeadbeef;
    uint32_t counter = kUntouched;
    if (decodeCounter({data, size}, &counter) != 0) {
        if (counter != kUntouched) std::abort();
        return 0;
    }
    const std::string record = encodeCounter(counter);
    uint32_t again = 0;
    const auto *bytes = reinterpret_cast<const uint8_t *>(record.data());
    if (decodeCounter({bytes, record.size()}, &again) != 0 || again != counter) std::abort();
    return 0;
}
