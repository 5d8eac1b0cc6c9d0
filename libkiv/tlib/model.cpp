// SPDX-License-Identifier: Apache-2.0
// Definition model: string tables with interning, building and releasing definitions,
// validity rules.
#include "tlib/model.h"

#include <bit>
#include <cstring>

#include "core/hash.h"

namespace kiv::tlib {

namespace {

// Slots a table with an index holds for `count` entries: the smallest power of two not
// below count, and 1 for an empty table.
uint32_t indexedCapacity(uint32_t count) {
    return count == 0 ? 1u : std::bit_ceil(count);
}

template <class T>
T *allocArray(uint32_t count) {
    return count ? static_cast<T *>(kivCalloc(count, sizeof(T))) : nullptr;
}

// Element arrays are const for callers; the owning definition writes and frees them.
template <class T>
void freeArray(const T *array) {
    kivFree(const_cast<T *>(array));
}

const char *internOrNull(kivTLibStringTable *table, const char *text) {
    return text ? intern(table, text) : nullptr;
}

const char ***contentsSlot(kivTLibDef *def, uint32_t **count) {
    switch (def->kind) {
        case KIV_DEF_MODULE: {
            auto *m = as<kivTLibModuleDef>(def);
            *count = &m->contentCount;
            return &m->contents;
        }
        case KIV_DEF_INTERFACE: {
            auto *i = as<kivTLibInterfaceDef>(def);
            *count = &i->contentCount;
            return &i->contents;
        }
        case KIV_DEF_STRUCT: {
            auto *s = as<kivTLibStructDef>(def);
            *count = &s->contentCount;
            return &s->contents;
        }
        case KIV_DEF_UNION: {
            auto *u = as<kivTLibUnionDef>(def);
            *count = &u->contentCount;
            return &u->contents;
        }
        default:
            return nullptr;
    }
}

void releaseInterfaceMembers(const kivTLibMember *members, uint32_t count) {
    for (uint32_t i = 0; members && i < count; ++i)
        if (members[i].kind == KIV_MEMBER_OPERATION) freeArray(members[i].params);
    freeArray(members);
}

}  // namespace

// ---- String tables -----------------------------------------------------------------------------

kivTLibStringTable *newStringTable() {
    return static_cast<kivTLibStringTable *>(kivCalloc(1, sizeof(kivTLibStringTable)));
}

void ensureIndex(kivTLibStringTable *table) {
    if (table->index) return;
    uint32_t capacity = indexedCapacity(table->count);
    table->strings = static_cast<char **>(kivRealloc(table->strings, capacity * sizeof(char *)));
    table->index = kivHashCreate(4, 0);
    // insert keeps an existing key, so of two equal decoded texts the first one wins.
    for (uint32_t i = 0; i < table->count; ++i)
        kivHashInsert(table->index, table->strings[i], reinterpret_cast<void *>(uintptr_t{i + 1}));
}

const char *intern(kivTLibStringTable *table, const char *text) {
    ensureIndex(table);
    if (void *found = kivHashGet(table->index, text))
        return table->strings[reinterpret_cast<uintptr_t>(found) - 1];
    uint32_t n = table->count;
    if (n != 0 && std::has_single_bit(n))
        table->strings = static_cast<char **>(kivRealloc(table->strings, 2 * n * sizeof(char *)));
    char *copy = kivStrDup(text);
    table->strings[n] = copy;
    table->count = n + 1;
    kivHashInsert(table->index, copy, reinterpret_cast<void *>(uintptr_t{n + 1}));
    return copy;
}

uint32_t position(const kivTLibStringTable *table, const char *string) {
    if (!string || !table->index) return 0;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kivHashGet(table->index, string)));
}

void releaseStringTable(kivTLibStringTable *table) {
    if (!table) return;
    if (table->index) kivHashDestroy(table->index, nullptr);
    for (uint32_t i = 0; i < table->count; ++i) kivFree(table->strings[i]);
    kivFree(table->strings);
    kivFree(table);
}

// ---- Definitions -------------------------------------------------------------------------------

size_t recordSize(kivTLibDefKind kind) {
    switch (kind) {
        case KIV_DEF_MODULE:
            return sizeof(kivTLibModuleDef);
        case KIV_DEF_INTERFACE:
            return sizeof(kivTLibInterfaceDef);
        case KIV_DEF_CONSTANT:
            return sizeof(kivTLibConstantDef);
        case KIV_DEF_STRUCT:
            return sizeof(kivTLibStructDef);
        case KIV_DEF_UNION:
            return sizeof(kivTLibUnionDef);
        case KIV_DEF_ENUM:
            return sizeof(kivTLibEnumDef);
        case KIV_DEF_ALIAS:
            return sizeof(kivTLibAliasDef);
        case KIV_DEF_STRING:
        case KIV_DEF_WSTRING:
            return sizeof(kivTLibStringDef);
        case KIV_DEF_SEQUENCE:
            return sizeof(kivTLibSequenceDef);
        case KIV_DEF_ARRAY:
            return sizeof(kivTLibArrayDef);
        default:
            return 0;
    }
}

void releaseDefinition(kivTLibDef *def) {
    if (!def) return;
    releaseStringTable(def->strings);
    switch (def->kind) {
        case KIV_DEF_MODULE:
            kivFree(as<kivTLibModuleDef>(def)->contents);
            break;
        case KIV_DEF_INTERFACE: {
            auto *i = as<kivTLibInterfaceDef>(def);
            releaseInterfaceMembers(i->members, i->memberCount);
            kivFree(i->contents);
            break;
        }
        case KIV_DEF_STRUCT: {
            auto *s = as<kivTLibStructDef>(def);
            freeArray(s->members);
            kivFree(s->contents);
            break;
        }
        case KIV_DEF_UNION: {
            auto *u = as<kivTLibUnionDef>(def);
            freeArray(u->cases);
            kivFree(u->contents);
            break;
        }
        case KIV_DEF_ENUM:
            freeArray(as<kivTLibEnumDef>(def)->members);
            break;
        default:
            break;
    }
    kivFree(def);
}

void releaseDefinitionCallback(void *def) {
    releaseDefinition(static_cast<kivTLibDef *>(def));
}

kivTLibDef *newDefinition(kivTLibDefKind kind, const char *name, const char *repoId,
                          const char *scopeId, uint32_t flags) {
    auto *def = static_cast<kivTLibDef *>(kivCalloc(1, recordSize(kind)));
    def->kind = kind;
    def->flags = flags;
    def->strings = newStringTable();
    def->name = internOrNull(def->strings, name);
    def->repoId = internOrNull(def->strings, repoId);
    def->scopeId = internOrNull(def->strings, scopeId);
    return def;
}

void copyTypeRef(kivTLibStringTable *table, kivTLibTypeRef &to, const kivTLibTypeRef &from) {
    to.tag = from.tag;
    to.repoId = internOrNull(table, from.repoId);
}

void copyValue(kivTLibStringTable *table, kivTLibValue &to, const kivTLibValue &from) {
    to = from;
    if (payloadOf(from.tag) == Payload::String) to.str = internOrNull(table, from.str);
}

std::span<const char *const> contentsOf(const kivTLibDef *def) {
    uint32_t *count = nullptr;
    const char ***contents = contentsSlot(const_cast<kivTLibDef *>(def), &count);
    if (!contents) return {};
    return {*contents, *count};
}

bool appendContent(kivTLibDef *scope, const char *repoId) {
    uint32_t *count = nullptr;
    const char ***contents = contentsSlot(scope, &count);
    if (!contents) return false;
    *contents = static_cast<const char **>(kivRealloc(*contents, (*count + 1) * sizeof(char *)));
    (*contents)[*count] = intern(scope->strings, repoId);
    ++*count;
    scope->flags |= KIV_DEF_MODIFIED;
    return true;
}

void setBaseId(kivTLibInterfaceDef *def, const char *baseId) {
    def->baseId = internOrNull(def->header.strings, baseId);
}

void setInterfaceMembers(kivTLibInterfaceDef *def, uint32_t count, const kivTLibMember *members) {
    kivTLibStringTable *table = def->header.strings;
    releaseInterfaceMembers(def->members, def->memberCount);
    auto *copy = allocArray<kivTLibMember>(count);
    for (uint32_t i = 0; i < count; ++i) {
        const kivTLibMember &from = members[i];
        kivTLibMember &to = copy[i];
        to.kind = from.kind;
        to.flags = from.flags;
        to.name = internOrNull(table, from.name);
        copyTypeRef(table, to.type, from.type);
        if (from.kind != KIV_MEMBER_OPERATION) continue;  // attributes keep no parameters
        to.paramCount = from.paramCount;
        auto *params = allocArray<kivTLibParam>(from.paramCount);
        for (uint32_t p = 0; p < from.paramCount; ++p) {
            params[p].name = internOrNull(table, from.params[p].name);
            copyTypeRef(table, params[p].type, from.params[p].type);
            params[p].direction = from.params[p].direction;
        }
        to.params = params;
    }
    def->members = copy;
    def->memberCount = count;
}

void setStructMembers(kivTLibStructDef *def, uint32_t count, const kivTLibStructMember *members) {
    freeArray(def->members);
    auto *copy = allocArray<kivTLibStructMember>(count);
    for (uint32_t i = 0; i < count; ++i) {
        copy[i].name = internOrNull(def->header.strings, members[i].name);
        copyTypeRef(def->header.strings, copy[i].type, members[i].type);
    }
    def->members = copy;
    def->memberCount = count;
}

void setUnionCases(kivTLibUnionDef *def, uint32_t count, const kivTLibUnionCase *cases) {
    freeArray(def->cases);
    auto *copy = allocArray<kivTLibUnionCase>(count);
    for (uint32_t i = 0; i < count; ++i) {
        copy[i].name = internOrNull(def->header.strings, cases[i].name);
        copyTypeRef(def->header.strings, copy[i].type, cases[i].type);
        copyValue(def->header.strings, copy[i].label, cases[i].label);
    }
    def->cases = copy;
    def->caseCount = count;
}

void setEnumMembers(kivTLibEnumDef *def, uint32_t count, const kivTLibEnumMember *members) {
    freeArray(def->members);
    auto *copy = allocArray<kivTLibEnumMember>(count);
    for (uint32_t i = 0; i < count; ++i) {
        copy[i].name = internOrNull(def->header.strings, members[i].name);
        copy[i].value = members[i].value;
    }
    def->members = copy;
    def->memberCount = count;
}

kivTLibModuleDef *buildModule(const char *name, const char *repoId, const char *scopeId,
                              uint32_t flags) {
    return as<kivTLibModuleDef>(newDefinition(KIV_DEF_MODULE, name, repoId, scopeId, flags));
}

kivTLibInterfaceDef *buildInterface(const char *name, const char *repoId, const char *scopeId,
                                    uint32_t flags, const char *baseId, uint32_t memberCount,
                                    const kivTLibMember *members) {
    auto *def =
        as<kivTLibInterfaceDef>(newDefinition(KIV_DEF_INTERFACE, name, repoId, scopeId, flags));
    setBaseId(def, baseId);
    setInterfaceMembers(def, memberCount, members);
    return def;
}

kivTLibConstantDef *buildConstant(const char *name, const char *repoId, const char *scopeId,
                                  uint32_t flags, const kivTLibTypeRef &type,
                                  const kivTLibValue &value) {
    auto *def =
        as<kivTLibConstantDef>(newDefinition(KIV_DEF_CONSTANT, name, repoId, scopeId, flags));
    copyTypeRef(def->header.strings, def->type, type);
    copyValue(def->header.strings, def->value, value);
    return def;
}

kivTLibStructDef *buildStruct(const char *name, const char *repoId, const char *scopeId,
                              uint32_t flags, uint32_t memberCount,
                              const kivTLibStructMember *members) {
    auto *def = as<kivTLibStructDef>(newDefinition(KIV_DEF_STRUCT, name, repoId, scopeId, flags));
    setStructMembers(def, memberCount, members);
    return def;
}

kivTLibUnionDef *buildUnion(const char *name, const char *repoId, const char *scopeId,
                            uint32_t flags, const kivTLibTypeRef &discriminator, uint32_t caseCount,
                            const kivTLibUnionCase *cases) {
    auto *def = as<kivTLibUnionDef>(newDefinition(KIV_DEF_UNION, name, repoId, scopeId, flags));
    copyTypeRef(def->header.strings, def->discriminator, discriminator);
    setUnionCases(def, caseCount, cases);
    return def;
}

kivTLibEnumDef *buildEnum(const char *name, const char *repoId, const char *scopeId, uint32_t flags,
                          uint32_t memberCount, const kivTLibEnumMember *members) {
    auto *def = as<kivTLibEnumDef>(newDefinition(KIV_DEF_ENUM, name, repoId, scopeId, flags));
    setEnumMembers(def, memberCount, members);
    return def;
}

kivTLibAliasDef *buildAlias(const char *name, const char *repoId, const char *scopeId,
                            uint32_t flags, const kivTLibTypeRef &type) {
    auto *def = as<kivTLibAliasDef>(newDefinition(KIV_DEF_ALIAS, name, repoId, scopeId, flags));
    copyTypeRef(def->header.strings, def->type, type);
    return def;
}

kivTLibStringDef *buildString(kivTLibDefKind kind, const char *repoId, uint32_t flags,
                              uint32_t bound) {
    auto *def = as<kivTLibStringDef>(newDefinition(kind, nullptr, repoId, nullptr, flags));
    def->bound = bound;
    return def;
}

kivTLibSequenceDef *buildSequence(const char *repoId, uint32_t flags, uint32_t bound,
                                  const kivTLibTypeRef &element) {
    auto *def =
        as<kivTLibSequenceDef>(newDefinition(KIV_DEF_SEQUENCE, nullptr, repoId, nullptr, flags));
    def->bound = bound;
    copyTypeRef(def->header.strings, def->element, element);
    return def;
}

kivTLibArrayDef *buildArray(const char *repoId, uint32_t flags, uint32_t length,
                            const kivTLibTypeRef &element) {
    auto *def = as<kivTLibArrayDef>(newDefinition(KIV_DEF_ARRAY, nullptr, repoId, nullptr, flags));
    def->length = length;
    copyTypeRef(def->header.strings, def->element, element);
    return def;
}

kivTLibModuleDef *buildAnonymousScope() {
    return buildModule("", KIV_TLIB_ANONYMOUS_SCOPE_ID, nullptr, KIV_DEF_MODIFIED);
}

// ---- Validity rules -----------------------------------------------------------------------------

TypeId typeIdRule(uint32_t tag) {
    if ((tag >= 1 && tag <= 13) || (tag >= 24 && tag <= 26)) return TypeId::None;
    if (tag == 15 || tag == 16) return TypeId::Optional;
    if (tag >= 17 && tag <= 23) return TypeId::Required;
    return TypeId::Invalid;
}

Payload payloadOf(uint32_t tag) {
    switch (tag) {
        case KIV_VALUE_NONE:
            return Payload::None;
        case KIV_TYPE_BOOLEAN:
        case KIV_TYPE_OCTET:
        case KIV_TYPE_CHAR:
            return Payload::U8;
        case KIV_TYPE_WCHAR:
            return Payload::WChar;
        case KIV_TYPE_SHORT:
        case KIV_TYPE_USHORT:
            return Payload::U16;
        case KIV_TYPE_LONG:
        case KIV_TYPE_ULONG:
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_DECIMAL32:
            return Payload::U32;
        case KIV_TYPE_LONGLONG:
        case KIV_TYPE_ULONGLONG:
        case KIV_TYPE_DOUBLE:
        case KIV_TYPE_DECIMAL64:
            return Payload::U64;
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING:
            return Payload::String;
        case KIV_TYPE_ENUM:
            return Payload::Varint;
        case KIV_TYPE_DECIMAL128:
            return Payload::D128;
        default:
            return Payload::Invalid;
    }
}

kivResult checkTypeRef(const kivTLibTypeRef *ref, bool allowVoid) {
    if (!ref || (!allowVoid && ref->tag == KIV_TYPE_VOID)) return KIV_E_INVALID_ARG;
    switch (typeIdRule(ref->tag)) {
        case TypeId::None:
            return ref->repoId ? KIV_E_INVALID_ARG : 0;
        case TypeId::Optional:
            return 0;
        case TypeId::Required:
            return ref->repoId ? 0 : KIV_E_INVALID_ARG;
        case TypeId::Invalid:
            break;
    }
    return KIV_E_INVALID_ARG;
}

kivResult checkValue(const kivTLibValue *value) {
    if (!value) return KIV_E_INVALID_ARG;
    switch (payloadOf(value->tag)) {
        case Payload::Invalid:
        case Payload::None:
            return KIV_E_INVALID_ARG;
        case Payload::String:
            return value->str ? 0 : KIV_E_INVALID_ARG;
        default:
            return 0;
    }
}

bool isDiscriminatorTag(uint32_t tag) {
    constexpr uint32_t kDiscriminatorTags = 0x80FD4;  // bits 2, 4, 6..11, 19
    return tag < 20 && ((kDiscriminatorTags >> tag) & 1u);
}

}  // namespace kiv::tlib
