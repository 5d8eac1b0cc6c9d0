// SPDX-License-Identifier: Apache-2.0
// IEEE 754-2008 decimal operations on BID-encoded values, through the Intel decimal library
// (the build linked here passes arguments by value and flags by pointer).
#include "ust.h"

#include <cstring>

// The library's header does not compile as C++; these are its by-value entry points
// (libbidgcc000: arguments by value, exception flags through a pointer).
extern "C" {
struct BidUint128 {
    uint64_t w[2];  // w[0] the less significant word
};
uint64_t __bid32_to_bid64(uint32_t x, unsigned *flags);
int __bid64_quiet_not_equal(uint64_t x, uint64_t y, unsigned *flags);
int __bid128_quiet_not_equal(BidUint128 x, BidUint128 y, unsigned *flags);
}

uint64_t ustDec32ToDec64(uint32_t value) {
    unsigned flags = 0;
    return __bid32_to_bid64(value, &flags);
}

int ustDec64QuietNotEqual(uint64_t a, uint64_t b) {
    unsigned flags = 0;
    return __bid64_quiet_not_equal(a, b, &flags) != 0;
}

int ustDec128QuietNotEqual(const void *a, const void *b) {
    // The values may sit at any alignment inside caller records.
    BidUint128 x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    unsigned flags = 0;
    return __bid128_quiet_not_equal(x, y, &flags) != 0;
}
