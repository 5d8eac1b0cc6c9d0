// SPDX-License-Identifier: Apache-2.0
// The libffi types of the values the C mapping passes by value. Header-only, so that the Python
// package's direct calls, which link libkivcall through its C API only, use the same mapping.
#pragma once

#include <ffi.h>

#include <cstdint>

#include "kiv_tlib.h"

namespace kcall {

// Kinds passed by value as `in` parameters.
inline bool isScalarKind(uint32_t kind) {
    return (kind >= KIV_TYPE_BOOLEAN && kind <= KIV_TYPE_DOUBLE) || kind == KIV_TYPE_ENUM ||
           kind >= KIV_TYPE_DECIMAL32;
}

// The libffi type of a scalar kind; null for the kinds passed by pointer.
inline ffi_type *scalarFfiType(uint32_t kind) {
    // Decimals are one-word or two-word structures passed by value.
    static ffi_type *dec32Elements[] = {&ffi_type_uint32, nullptr};
    static ffi_type *dec64Elements[] = {&ffi_type_uint64, nullptr};
    static ffi_type *dec128Elements[] = {&ffi_type_uint64, &ffi_type_uint64, nullptr};
    static ffi_type dec32 = {0, 0, FFI_TYPE_STRUCT, dec32Elements};
    static ffi_type dec64 = {0, 0, FFI_TYPE_STRUCT, dec64Elements};
    static ffi_type dec128 = {0, 0, FFI_TYPE_STRUCT, dec128Elements};
    switch (kind) {
        case KIV_TYPE_BOOLEAN:
        case KIV_TYPE_OCTET:
            return &ffi_type_uint8;
        case KIV_TYPE_CHAR:
            return &ffi_type_schar;
        case KIV_TYPE_WCHAR:
        case KIV_TYPE_USHORT:
            return &ffi_type_uint16;
        case KIV_TYPE_SHORT:
            return &ffi_type_sint16;
        case KIV_TYPE_LONG:
            return &ffi_type_sint32;
        case KIV_TYPE_ULONG:
        case KIV_TYPE_ENUM:
            return &ffi_type_uint32;
        case KIV_TYPE_LONGLONG:
            return &ffi_type_sint64;
        case KIV_TYPE_ULONGLONG:
            return &ffi_type_uint64;
        case KIV_TYPE_FLOAT:
            return &ffi_type_float;
        case KIV_TYPE_DOUBLE:
            return &ffi_type_double;
        case KIV_TYPE_DECIMAL32:
            return &dec32;
        case KIV_TYPE_DECIMAL64:
            return &dec64;
        case KIV_TYPE_DECIMAL128:
            return &dec128;
        default:
            return nullptr;
    }
}

}  // namespace kcall
