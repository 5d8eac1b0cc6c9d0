// SPDX-License-Identifier: Apache-2.0
// The compatibility check on two arbitrary records (a big-endian 16-bit length, the first
// record, then the second): it answers without crashing, a definition matches itself unless it
// holds a NaN, and "compatible" does not depend on the order of the two.
#include <cstdlib>

#include "tlib/codec.h"
#include "tlib/model.h"

using namespace kiv::tlib;

namespace {

DefinitionPtr decoded(std::span<const uint8_t> record) {
    kivTLibDef *def = nullptr;
    return DefinitionPtr(decode(record, &def) == 0 ? def : nullptr);
}

// Without handles, references to bounded strings, sequences and arrays give KIV_E_INVALID_ARG.
bool plausible(kivResult rc) {
    return rc == 0 || rc == KIV_E_INCOMPATIBLE || rc == KIV_E_INVALID_ARG;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t split = std::min<size_t>(size - 2, (size_t{data[0]} << 8) | data[1]);
    DefinitionPtr a = decoded({data + 2, split}), b = decoded({data + 2 + split, size - 2 - split});
    if (!a) return 0;
    if (!plausible(kivTLibCheckCompatDef(nullptr, a.get(), nullptr, a.get()))) std::abort();
    if (!b) return 0;
    b->repoId = intern(b->strings, a->repoId);  // one id, so that the check goes further
    kivResult ab = kivTLibCheckCompatDef(nullptr, a.get(), nullptr, b.get());
    kivResult ba = kivTLibCheckCompatDef(nullptr, b.get(), nullptr, a.get());
    if (!plausible(ab) || !plausible(ba) || (ab == 0) != (ba == 0)) std::abort();
    return 0;
}
