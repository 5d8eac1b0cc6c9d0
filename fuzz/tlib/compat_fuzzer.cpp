// The compatibility check on two arbitrary records: the input is a big-endian 16-bit length,
// the first record, then the second. Whatever the reader accepts, the check must answer
// without crashing, a definition must match itself unless it holds a NaN, and the answer
// "compatible" must not depend on the order of the two definitions.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tlib/codec.h"
#include "tlib/model.h"

using namespace kiv::tlib;

namespace {

DefinitionPtr decoded(std::span<const uint8_t> record) {
    kivTLibDef *def = nullptr;
    return DefinitionPtr(decode(record, &def) == 0 ? def : nullptr);
}

// Without handles, references to bounded strings, sequences and arrays cannot be resolved and
// give KIV_E_INVALID_ARG; NaN values make a definition differ from itself.
bool plausible(kivResult rc) {
    return rc == 0 || rc == KIV_E_INCOMPATIBLE || rc == KIV_E_INVALID_ARG;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t split = std::min<size_t>(size - 2, (size_t{data[0]} << 8) | data[1]);
    DefinitionPtr a = decoded({data + 2, split});
    DefinitionPtr b = decoded({data + 2 + split, size - 2 - split});
    if (!a) return 0;
    if (!plausible(kivTLibCheckCompatDef(nullptr, a.get(), nullptr, a.get()))) std::abort();
    if (!b) return 0;
    // Compare under one id so that the check goes past the first step.
    b->repoId = intern(b->strings, a->repoId);
    kivResult ab = kivTLibCheckCompatDef(nullptr, a.get(), nullptr, b.get());
    kivResult ba = kivTLibCheckCompatDef(nullptr, b.get(), nullptr, a.get());
    if (!plausible(ab) || !plausible(ba) || ((ab == 0) != (ba == 0))) std::abort();
    return 0;
}
