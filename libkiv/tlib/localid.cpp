// SPDX-License-Identifier: Apache-2.0
// Local repository ids: "LOCAL:<n>" with n from a counter kept per library file.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tlib/codec.h"
#include "tlib/handle.h"

namespace {

constexpr uint32_t kLastLocalId = 0x7fffffff;

// Reads the counter from the file: 1 when the library has never handed out an id. A malformed
// record leaves the counter at 0, so every later call reports it again.
kivResult loadCounter(kivTLib *tlib) {
    std::span<const uint8_t> value;
    kivResult code = 0;
    switch (tlib->store.get({KIV_TLIB_LOCAL_COUNTER_ID, sizeof KIV_TLIB_LOCAL_COUNTER_ID}, &value,
                            &code)) {
        case kiv::tlib::Lookup::Failed:
            return code;
        case kiv::tlib::Lookup::Absent:
            tlib->localIdCounter = 1;
            return 0;
        case kiv::tlib::Lookup::Found:
            break;
    }
    uint32_t counter = 0;
    if (kivResult rc = kiv::tlib::decodeCounter(value, &counter)) return rc;
    tlib->localIdCounter = counter;
    return 0;
}

}  // namespace

extern "C" KIV_API kivResult kivTLibCreateLocalRepoId(kivTLib *tlib, char *buffer, size_t size) {
    if (!tlib || (!buffer && size)) return KIV_E_INVALID_ARG;
    if (tlib->localIdCounter == 0)
        if (kivResult rc = loadCounter(tlib)) return rc;
    // Ids are printed as signed 32-bit numbers: past 0x7fffffff they would turn negative, and
    // the counter would wrap to 0, the value that means "not loaded".
    if (tlib->localIdCounter > kLastLocalId) return KIV_E_BAD_STATE;
    uint32_t n = tlib->localIdCounter++;  // used up from here on, whatever happens next
    int length = std::snprintf(buffer, size, "LOCAL:%" PRId32, static_cast<int32_t>(n));
    if (length < 0 || static_cast<size_t>(length) >= size) return KIV_E_BUFFER_TOO_SMALL;
    tlib->flags |= KIV_TLIB_COUNTER_MODIFIED;
    return kiv::tlib::autoFlush(tlib);
}
