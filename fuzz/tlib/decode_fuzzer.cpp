// SPDX-License-Identifier: Apache-2.0
// The record reader on arbitrary bytes: it refuses or decodes without reading past the input,
// leaking or allocating beyond what the input justifies, and what it decodes encodes to a
// record that decodes to the same bytes again.
#include <cstdlib>

#include "tlib/codec.h"
#include "tlib/model.h"

using namespace kiv::tlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kivTLibDef *def = nullptr;
    if (decode({data, size}, &def) != 0) {
        if (def) std::abort();
        return 0;
    }
    std::vector<uint8_t> record = encode(DefinitionPtr(def).get());
    kivTLibDef *again = nullptr;
    if (decode(record, &again) != 0 || encode(DefinitionPtr(again).get()) != record) std::abort();
    return 0;
}
