// SPDX-License-Identifier: Apache-2.0
// Checks of the slot programs that mapping_slotgen writes.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

static int checks, failures;

static void expect(const char *what, size_t got, size_t want) {
    ++checks;
    if (got == want) return;
    std::printf("%s: at byte %zu of the table, expected %zu\n", what, got, want);
    ++failures;
}

// The byte offset of a virtual function in its class's table: on the Itanium C++ ABI a pointer
// to a virtual member function holds 1 + that offset.
template <class F>
size_t virtualOffset(F f) {
    struct {
        std::ptrdiff_t ptr, adjust;
    } rep;
    static_assert(sizeof f == sizeof rep, "not an Itanium member function pointer");
    std::memcpy(&rep, &f, sizeof rep);
    if (!(rep.ptr & 1)) return static_cast<size_t>(-1);  // not virtual
    return static_cast<size_t>(rep.ptr - 1);
}
