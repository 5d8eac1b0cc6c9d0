// SPDX-License-Identifier: Apache-2.0
// Conversion between values and the native C form of a type (docs/mapping.md), in both
// directions, with the checks that keep a bad value or a hostile callee from doing harm.
#pragma once

#include <cstddef>
#include <vector>

#include "model.h"

namespace kcall {

// Scratch memory of one call: an inline block, then heap chunks, all released together, and
// the references taken for `in` arguments that were asked for another interface.
class Arena {
  public:
    Arena() = default;
    Arena(const Arena &) = delete;
    Arena &operator=(const Arena &) = delete;
    ~Arena();
    void *allocate(size_t size, size_t align);  // zeroed
    void keepReference(void *object) { references_.push_back(object); }

  private:
    alignas(16) std::byte inline_[512];
    size_t used_ = 0;
    std::vector<void *> chunks_;
    std::vector<void *> references_;
};

enum class Mode {
    borrow,  // `in` arguments: strings point into the value, scratch memory from the arena
    own,     // memory handed to another party: kivMalloc, counted references
};

// Writes the native form of `value` to `dst` (type->size bytes, zeroed by the caller). On
// failure nothing stays allocated (own mode frees what it wrote) and lastError names the place.
kivResult toNative(const Type *type, const kcallValue &value, void *dst, Mode mode, Arena *arena);
// Builds a value from native memory without taking anything from it (strings copied,
// references added to). Fails only for native data that cannot be read (a sequence whose
// buffer is null but whose length is not 0).
kivResult fromNative(const Type *type, const void *src, kcallValue &value);
// Releases what an own-mode native value holds (strings, sequence buffers, references) and
// zeroes it.
void freeNative(const Type *type, void *native);

// The case of a union that a discriminator selects, or -1.
int unionCase(const Type *type, int64_t discriminator);
// An integer value of any integer kind (also boolean, char, wchar, enum); false for others.
bool integerOf(const kcallValue &v, __int128 &out);

}  // namespace kcall
