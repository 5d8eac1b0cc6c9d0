// SPDX-License-Identifier: Apache-2.0
// Arithmetic, comparison, rounding and negation on arbitrary values and types: the native fast
// paths against the digit-serial and limb algorithms, results valid, and a result record that
// is also an operand giving the same outcome.
#include "fuzz_record.h"

using namespace kivfuzz;
using namespace kiv::fixed;

namespace {

// Runs op by both paths into records of r's type, and with a as the result when it has that type.
template <class Op>
void both(const Record &r, Record a, Op op) {
    Record fast = r, general = r;
    op(fast.get(), a.get(), Path::Fast);
    op(general.get(), a.get(), Path::General);
    require(fast == general && valid(fast.get()));
    if (std::memcmp(a.get(), r.get(), 4) != 0) return;
    op(a.get(), a.get(), Path::Fast);
    require(a == fast);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, data + size};
    const Record a = fill(type(in), in);
    const uint8_t shape = in.byte();
    const Record b = fill((shape & 1) ? a : type(in), in);
    const Record r = (shape & 2) ? a : type(in);
    const int op = (shape >> 2) % 4, rel = in.byte() % 8, scale = in.byte() - 128,
              mode = in.byte() % 10;
    both(r, a, [&](kivFixed *out, const kivFixed *x, Path p) {
        if (op < 2) addFixed(out, x, b.get(), op == 1, p);
        if (op == 2) mulFixed(out, x, b.get(), p);
        if (op == 3) divFixed(out, x, b.get(), p);
    });
    both(r, a,
         [&](kivFixed *out, const kivFixed *x, Path p) { roundFixed(out, x, scale, mode, p); });
    both(r, a, [&](kivFixed *out, const kivFixed *x, Path p) { negateFixed(out, x, p); });
    require(cmpFixed(a.get(), b.get(), rel, Path::Fast) ==
            cmpFixed(a.get(), b.get(), rel, Path::General));
    return 0;
}
