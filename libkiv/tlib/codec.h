// SPDX-License-Identifier: Apache-2.0
// The record format of type library files: how a definition is turned into the value of its
// B-tree record and back.
//
// A record is self-contained: it carries the definition's string table, then the header, then
// the body of its kind; every string field is written as its 1-based position in that table (a
// "ref", 0 for null). Numbers inside records are big-endian; counts, lengths, refs, kinds and
// flags are varints (1 to 5 bytes, the first byte telling the length). The writer's output
// depends only on the definition, so positions given by interning in field order fix the bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kiv_tlib.h"

namespace kiv::tlib {

// Leaves the elements that a resize adds uninitialised instead of zeroing them: the writer
// makes room ahead of writing and keeps only the bytes it wrote.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U> &) noexcept {}
    template <class U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <class U, class... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};
// The buffer that record values are written into.
using RecordBuffer = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

// Appends the varint form of `value` that the writer uses: 1 byte up to 127, 2 up to 1023,
// 3 up to 0x1FFFFF, 4 up to 0x0FFFFFFF, else 5.
void appendVarint(std::vector<uint8_t> &out, uint32_t value);

// The record value of a definition that satisfies the model's validity rules. KIV_DEF_MODIFIED
// is not written. Builds the string table's index when it has none (positions are unchanged).
std::vector<uint8_t> encode(kivTLibDef *def);
// The same, appended to `out`.
void encodeInto(kivTLibDef *def, RecordBuffer &out);

// Decodes a record value into a new definition whose string table has no index. Every
// malformed record gives KIV_E_FORMAT and leaves nothing allocated; bytes after a complete
// body are ignored. Contents that the creating operations never write count as malformed: a
// member, enumerator, case or parameter without a name, a void type where data is held, a
// structure, union or enumeration without elements, a union label or constant value whose tag
// is not its type's, a union discriminator of a type that cannot discriminate. Nothing is allocated
// beyond what the record's length can justify.
kivResult decode(std::span<const uint8_t> record, kivTLibDef **out);

// The value of the local id counter record: the number in lower-case hex plus a NUL byte.
std::string encodeCounter(uint32_t counter);
// Parses a counter record value; KIV_E_FORMAT when it is empty, lacks its closing NUL, holds no
// hex number, holds anything after the number, or overflows 32 bits.
kivResult decodeCounter(std::span<const uint8_t> value, uint32_t *counter);

}  // namespace kiv::tlib
