// SPDX-License-Identifier: Apache-2.0
// How RegistryValue kinds are written as registry types and bytes, and read back.
//
//   kind       type           bytes
//   bytes      REG_BINARY     the bytes
//   int32      REG_DWORD      the 4 bytes of the number, host order
//   int64      REG_MULTI_SZ   "!@KIV_INT64_VALUE#$" NUL, then from byte 20 "0x" and lower-case
//                             hex digits, NUL, zero bytes up to 40 in all
//   string     REG_SZ         the text and its NUL
//   stringList REG_MULTI_SZ   each text and its NUL ("!@KIV_EMPTY_STRING#$" for an empty one),
//                             then one more NUL; an empty list is two NULs, which reads back
//                             as an empty list (a single NUL, as stores may hold from before,
//                             stays malformed)
//
// Values that would not read back as written are refused with KIV_E_INVALIDARG: a kind outside
// 0-5, a list holding the text "!@KIV_EMPTY_STRING#$" (it would read back empty), and a list
// whose first text is "!@KIV_INT64_VALUE#$" (it would read as an int64). Kind none writes
// nothing and succeeds.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "kiv_com.h"

namespace kiv::regdb {

inline constexpr std::string_view kInt64Marker = "!@KIV_INT64_VALUE#$";
inline constexpr std::string_view kEmptyStringMarker = "!@KIV_EMPTY_STRING#$";
inline constexpr size_t kInt64BlockSize = 40;

struct EncodedValue {
    bool present = false;  // false: the kind has no registry form and nothing is written
    uint32_t type = 0;
    std::span<const uint8_t> bytes;  // into `storage`, or into the value itself
    std::vector<uint8_t> storage;
};

// KIV_E_INVALIDARG when the value's pointers do not hold what its kind needs, or when it would
// not read back as written.
kivResult encodeValue(const RegistryValue &value, EncodedValue &out);

// Zeroes every byte of a value: kind none.
void clearValue(RegistryValue &value);

// Fills `out` from stored bytes, with buffers from kivMalloc; `out` is kind 0 on failure.
// KIV_E_FAIL for bytes malformed for their type, KIV_E_UNEXPECTED for a type that no kind is
// written as.
kivResult decodeValue(uint32_t type, std::span<const uint8_t> data, RegistryValue &out);

}  // namespace kiv::regdb
