// SPDX-License-Identifier: Apache-2.0
// The registry value decoder on arbitrary stored bytes. The first input byte picks the registry
// type; whatever decodes must encode again and read back as the same value.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "regdb/codec.h"
#include "regdb/store.h"

namespace {

using namespace kiv::regdb;

uint32_t pickType(uint8_t selector) {
    constexpr uint32_t kTypes[] = {kRegNone,  kRegSz,      kRegExpandSz, kRegBinary,
                                   kRegDword, kRegMultiSz, kRegQword};
    return selector < std::size(kTypes) ? kTypes[selector] : selector;
}

bool same(const RegistryValue &a, const RegistryValue &b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case KIV_REG_BYTES:
            return a.count == b.count && std::memcmp(a.bytes, b.bytes, a.count) == 0;
        case KIV_REG_INT32:
            return a.int32 == b.int32;
        case KIV_REG_INT64:
            return a.int64 == b.int64;
        case KIV_REG_STRING:
            return std::strcmp(a.string, b.string) == 0;
        case KIV_REG_STRING_LIST:
            if (a.count != b.count) return false;
            for (uint32_t i = 0; i < a.count; ++i)
                if (std::strcmp(a.strings[i], b.strings[i]) != 0) return false;
            return true;
        default:
            return true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    RegistryValue value;
    if (decodeValue(pickType(data[0]), {data + 1, size - 1}, value) != 0) {
        if (value.kind != KIV_REG_NONE) std::abort();
        return 0;
    }
    EncodedValue encoded;
    if (encodeValue(value, encoded) != 0) std::abort();
    if (encoded.present) {
        RegistryValue again;
        if (decodeValue(encoded.type, encoded.bytes, again) != 0 || !same(value, again))
            std::abort();
        kivRegistryValueClear(&again);
    }
    kivRegistryValueClear(&value);
    return 0;
}
