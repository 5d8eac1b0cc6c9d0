// SPDX-License-Identifier: Apache-2.0
// The in-memory definition model: string tables, building and releasing definitions, and the
// validity rules that every stored definition satisfies.
//
// Every definition owns one string table; every string field of the definition (header,
// contents, members, parameters, cases, type references, string values) is null or points at
// an entry of that table. Strings enter a table only through intern(), in field order, which
// fixes their positions and so the bytes of the stored record (see codec.h). A definition owns
// its table and its arrays (contents, members, cases, each operation's params), nothing else.
//
// The creating operations are meant to be built from these pieces:
//   1. check the caller's arguments with checkTypeRef / checkValue / isDiscriminatorTag;
//   2. build the definition with one of the build* functions (they copy the caller's arrays and
//      intern every string in field order);
//   3. list it in its scope and enter it into the handle's tables (handle.h: addToScope,
//      enterDefinition), then flush when the handle auto-flushes.
// Allocation failure is fatal (kivMalloc), so none of these functions fails.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "kiv_tlib.h"

namespace kiv::tlib {

// Definition flags that the library manages; bits 16..31 are the creator's.
constexpr uint32_t kCallerFlagsMask = 0xFFFF0000u;
// The flags that a stored record keeps (MODIFIED is never stored).
constexpr uint32_t kStoredFlagsMask = ~KIV_DEF_MODIFIED;

// ---- String tables -----------------------------------------------------------------------------

// A new empty table: no entries, no slots, no index.
kivTLibStringTable *newStringTable();

// The table's own copy of `text` (which must not be null), added at the end when the text is
// not there yet. The first call builds the index over the existing entries (a decoded table
// gets one only now); positions never change.
const char *intern(kivTLibStringTable *table, const char *text);

// 1-based position of the text of `string` in the table; 0 for null, for a table without an
// index and for a text that is not in the table.
uint32_t position(const kivTLibStringTable *table, const char *string);

// Builds the index of a table that has none (as the first intern would); no-op otherwise.
void ensureIndex(kivTLibStringTable *table);

// Frees the index, every entry, the slots and the table. Null is allowed.
void releaseStringTable(kivTLibStringTable *table);

// ---- Definitions -------------------------------------------------------------------------------

// Size of the kind's record; 0 for an unknown kind.
size_t recordSize(kivTLibDefKind kind);

// Views a definition as its kind's record (the header is the record's first member).
template <class Record>
Record *as(kivTLibDef *def) {
    return reinterpret_cast<Record *>(def);
}
template <class Record>
const Record *as(const kivTLibDef *def) {
    return reinterpret_cast<const Record *>(def);
}

// Frees everything the definition owns, then the record. Null is allowed; a partly filled
// record (as a failed decode leaves it) is released correctly as long as its arrays hold as
// many zero-initialised elements as their counts say.
void releaseDefinition(kivTLibDef *def);
// The same with the signature of a kivHashCallback.
void releaseDefinitionCallback(void *def);

struct DefinitionDeleter {
    void operator()(kivTLibDef *def) const { releaseDefinition(def); }
};
using DefinitionPtr = std::unique_ptr<kivTLibDef, DefinitionDeleter>;

// A zeroed record of `kind` with a new string table, `flags` as given, and `name`, `repoId`
// and `scopeId` interned in this order (null ones stay null). The caller fills the kind's
// fields next, in record order, through the functions below.
kivTLibDef *newDefinition(kivTLibDefKind kind, const char *name, const char *repoId,
                          const char *scopeId, uint32_t flags);

// Copies a type reference: the tag, and the id interned (or null).
void copyTypeRef(kivTLibStringTable *table, kivTLibTypeRef &to, const kivTLibTypeRef &from);
// Copies a value unchanged, interning the string of tags 15 and 16.
void copyValue(kivTLibStringTable *table, kivTLibValue &to, const kivTLibValue &from);

// The definitions listed in a module, interface, structure or union; empty for other kinds.
std::span<const char *const> contentsOf(const kivTLibDef *def);
inline bool isScopeKind(kivTLibDefKind kind) {
    return kind == KIV_DEF_MODULE || kind == KIV_DEF_INTERFACE || kind == KIV_DEF_STRUCT ||
           kind == KIV_DEF_UNION;
}

// Appends `repoId` to the contents of a module, interface, structure or union: one more slot,
// the id interned at the end of the scope's table, KIV_DEF_MODIFIED set. Returns false (and
// changes nothing) for a definition of any other kind.
bool appendContent(kivTLibDef *scope, const char *repoId);

// Interns `baseId` into the interface and sets it (null clears it).
void setBaseId(kivTLibInterfaceDef *def, const char *baseId);
// Replace the element array of a definition with copies of the caller's elements, interning
// their strings in element order; the previous array is freed.
void setInterfaceMembers(kivTLibInterfaceDef *def, uint32_t count, const kivTLibMember *members);
void setStructMembers(kivTLibStructDef *def, uint32_t count, const kivTLibStructMember *members);
void setUnionCases(kivTLibUnionDef *def, uint32_t count, const kivTLibUnionCase *cases);
void setEnumMembers(kivTLibEnumDef *def, uint32_t count, const kivTLibEnumMember *members);

// Complete definitions of each kind, strings interned in field order. `flags` is stored as
// given (creating operations pass KIV_DEF_MODIFIED plus the caller's bits 16..31). No argument
// is checked here.
kivTLibModuleDef *buildModule(const char *name, const char *repoId, const char *scopeId,
                              uint32_t flags);
kivTLibInterfaceDef *buildInterface(const char *name, const char *repoId, const char *scopeId,
                                    uint32_t flags, const char *baseId, uint32_t memberCount,
                                    const kivTLibMember *members);
kivTLibConstantDef *buildConstant(const char *name, const char *repoId, const char *scopeId,
                                  uint32_t flags, const kivTLibTypeRef &type,
                                  const kivTLibValue &value);
kivTLibStructDef *buildStruct(const char *name, const char *repoId, const char *scopeId,
                              uint32_t flags, uint32_t memberCount,
                              const kivTLibStructMember *members);
kivTLibUnionDef *buildUnion(const char *name, const char *repoId, const char *scopeId,
                            uint32_t flags, const kivTLibTypeRef &discriminator, uint32_t caseCount,
                            const kivTLibUnionCase *cases);
kivTLibEnumDef *buildEnum(const char *name, const char *repoId, const char *scopeId, uint32_t flags,
                          uint32_t memberCount, const kivTLibEnumMember *members);
kivTLibAliasDef *buildAlias(const char *name, const char *repoId, const char *scopeId,
                            uint32_t flags, const kivTLibTypeRef &type);
// kind is KIV_DEF_STRING or KIV_DEF_WSTRING.
kivTLibStringDef *buildString(kivTLibDefKind kind, const char *repoId, uint32_t flags,
                              uint32_t bound);
kivTLibSequenceDef *buildSequence(const char *repoId, uint32_t flags, uint32_t bound,
                                  const kivTLibTypeRef &element);
kivTLibArrayDef *buildArray(const char *repoId, uint32_t flags, uint32_t length,
                            const kivTLibTypeRef &element);
// The anonymous-types scope as every new library holds it.
kivTLibModuleDef *buildAnonymousScope();

// ---- Validity rules -----------------------------------------------------------------------------

// What a type reference's repoId must hold for a tag.
enum class TypeId {
    Invalid,   // the tag is not a type (0, 14, above 26)
    None,      // must be null (1..13, 24..26)
    Optional,  // may be null (15, 16: unbounded strings)
    Required,  // must be set (17..23)
};
TypeId typeIdRule(uint32_t tag);

// How a value of a tag is held and stored.
enum class Payload {
    Invalid,  // not a valid value tag (1, 14, 17, 18, 20..23, above 26)
    None,     // tag 0: the default union label
    U8,       // 2, 3, 4
    WChar,    // 5: a 16-bit code unit, stored zero-extended to 32 bits
    U16,      // 6, 7
    U32,      // 8, 9, 24, and 12 (float bits)
    U64,      // 10, 11, 25, and 13 (double bits)
    String,   // 15, 16
    Varint,   // 19: an enumerator's value
    D128,     // 26
};
Payload payloadOf(uint32_t tag);

// KIV_E_INVALID_ARG or 0. A null pointer is invalid.
kivResult checkTypeRef(const kivTLibTypeRef *ref, bool allowVoid);
// Valid values: tags 2..13, 19, 24..26 with any payload; 15 and 16 with a non-null string.
// Tag 0 is invalid here (callers exempt a default union label before asking).
kivResult checkValue(const kivTLibValue *value);
// Tags a union may be discriminated by: 2, 4, 6..11, 19.
bool isDiscriminatorTag(uint32_t tag);

}  // namespace kiv::tlib
