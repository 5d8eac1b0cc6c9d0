// SPDX-License-Identifier: Apache-2.0
// The `kiv reg` export format parser on arbitrary text: whatever parses must be written again
// and read back as the same keys and values.
#include <cstdlib>
#include <string>
#include <string_view>

#include "reg_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kivtool::regtext;
    std::string error;
    auto keys = parse({reinterpret_cast<const char *>(data), size}, error);
    if (!keys) {
        if (error.empty()) std::abort();
        return 0;
    }
    std::string text = format(*keys);
    auto again = parse(text, error);
    if (!again || *again != *keys || format(*again) != text) std::abort();
    return 0;
}
