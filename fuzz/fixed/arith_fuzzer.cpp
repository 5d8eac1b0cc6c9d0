// Arithmetic, comparison and rounding on arbitrary values and types: the native fast paths
// against the digit-serial and limb algorithms, results valid, and a result record that is
// also an operand giving the same outcome.
#include <cstdlib>

#include "fuzz_record.h"

using kiv::fixed::Path;

namespace {

using Binary = void (*)(kivFixed *, const kivFixed *, const kivFixed *, Path);

void add(kivFixed *r, const kivFixed *a, const kivFixed *b, Path p) {
    kiv::fixed::addFixed(r, a, b, false, p);
}
void sub(kivFixed *r, const kivFixed *a, const kivFixed *b, Path p) {
    kiv::fixed::addFixed(r, a, b, true, p);
}

void checkBinary(Binary op, const kivfuzz::Record &a, const kivfuzz::Record &b,
                 const kivfuzz::Record &type) {
    kivfuzz::Record fast = type, general = type;
    op(fast.get(), a.get(), b.get(), Path::Fast);
    op(general.get(), a.get(), b.get(), Path::General);
    if (!fast.samePacked(general) || !kivfuzz::valid(fast.get())) abort();
    if (a.get()->digits == type.get()->digits && a.get()->scale == type.get()->scale) {
        kivfuzz::Record alias = a;
        op(alias.get(), alias.get(), b.get(), Path::Fast);
        if (!alias.samePacked(fast)) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kivfuzz::Input in(data, size);
    kivfuzz::Record a = kivfuzz::type(in);
    kivfuzz::fill(a, in);
    const uint8_t shape = in.byte();
    kivfuzz::Record b =
        (shape & 1) ? kivfuzz::Record(a.get()->digits, a.get()->scale) : kivfuzz::type(in);
    kivfuzz::fill(b, in);
    const kivfuzz::Record type =
        (shape & 2) ? kivfuzz::Record(a.get()->digits, a.get()->scale) : kivfuzz::type(in);

    static const Binary kOps[] = {add, sub, kiv::fixed::mulFixed, kiv::fixed::divFixed};
    checkBinary(kOps[(shape >> 2) % 4], a, b, type);

    const int op = in.byte() % 8;
    if (kiv::fixed::cmpFixed(a.get(), b.get(), op, Path::Fast) !=
        kiv::fixed::cmpFixed(a.get(), b.get(), op, Path::General))
        abort();

    const int scale = static_cast<int>(in.byte()) - 128;
    const int mode = in.byte() % 10;
    kivfuzz::Record fast = type, general = type;
    kiv::fixed::roundFixed(fast.get(), a.get(), scale, mode, Path::Fast);
    kiv::fixed::roundFixed(general.get(), a.get(), scale, mode, Path::General);
    if (!fast.samePacked(general) || !kivfuzz::valid(fast.get())) abort();
    kiv::fixed::negateFixed(fast.get(), a.get(), Path::Fast);
    kiv::fixed::negateFixed(general.get(), a.get(), Path::General);
    if (!fast.samePacked(general) || !kivfuzz::valid(fast.get())) abort();
    return 0;
}
