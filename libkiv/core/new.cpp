// SPDX-License-Identifier: Apache-2.0
// The library's own operator new: allocation failure inside libkiv.so ends in kivFatal instead
// of throwing std::bad_alloc through a C caller.
//
// Linked into the shared library only, where the export list keeps these definitions local, so
// they serve the library's code and never the host's. They take memory from the process's own
// nothrow forms and leave operator delete alone, so every block is freed by the allocator family
// that made it.
#include <cstdint>
#include <cstdio>
#include <new>

#include "kiv_base.h"

namespace {

[[noreturn]] void outOfMemory(std::size_t size) noexcept {
    char message[128];
    std::snprintf(message, sizeof message, "new: can't allocate %lu bytes of memory",
                  static_cast<unsigned long>(static_cast<uint32_t>(size)));
    kivFatal(KIV_E_OUT_OF_MEMORY, message);
}

template <typename Allocate>
void *checked(std::size_t size, Allocate allocate) noexcept {
    void *p = allocate();
    if (!p) outOfMemory(size);
    return p;
}

}  // namespace

void *operator new(std::size_t size) {
    return checked(size, [&] { return ::operator new(size, std::nothrow); });
}

void *operator new[](std::size_t size) {
    return checked(size, [&] { return ::operator new[](size, std::nothrow); });
}

void *operator new(std::size_t size, std::align_val_t alignment) {
    return checked(size, [&] { return ::operator new(size, alignment, std::nothrow); });
}

void *operator new[](std::size_t size, std::align_val_t alignment) {
    return checked(size, [&] { return ::operator new[](size, alignment, std::nothrow); });
}
