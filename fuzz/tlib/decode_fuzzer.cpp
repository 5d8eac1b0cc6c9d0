// The record reader on arbitrary bytes: it must refuse or decode without reading past the
// input, leaking, or allocating beyond what the input can justify, and whatever it decodes
// must encode to a record that decodes to the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "tlib/codec.h"
#include "tlib/model.h"

using namespace kiv::tlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kivTLibDef *def = nullptr;
    if (decode(std::span(data, size), &def) != 0) {
        if (def) std::abort();
        return 0;
    }
    DefinitionPtr first(def);
    std::vector<uint8_t> record = encode(first.get());
    kivTLibDef *again = nullptr;
    if (decode(record, &again) != 0) std::abort();
    DefinitionPtr second(again);
    if (encode(second.get()) != record) std::abort();
    return 0;
}
