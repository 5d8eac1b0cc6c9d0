// SPDX-License-Identifier: Apache-2.0
/*
 * kiv type libraries: persistent stores of IDL definitions keyed by repository id.
 * Compiles as C11 and as C++.
 *
 * A library is one Berkeley DB 1.85 B-tree file. A handle (kivTLib) caches every definition it
 * has read or created; the pointers it hands out stay valid until kivTLibClose and are never
 * freed or changed by the caller. A handle is used by one thread at a time.
 */
#ifndef KIV_TLIB_H
#define KIV_TLIB_H

#include "kiv_base.h"

KIV_BEGIN_DECLS

/* ---- Kinds, flags and tags --------------------------------------------------------------- */

/* Definition kinds (kivTLibDef.kind). */
typedef uint32_t kivTLibDefKind;
#define KIV_DEF_MODULE UINT32_C(1)
#define KIV_DEF_INTERFACE UINT32_C(2)
#define KIV_DEF_CONSTANT UINT32_C(3)
#define KIV_DEF_STRUCT UINT32_C(4)
#define KIV_DEF_UNION UINT32_C(5)
#define KIV_DEF_ENUM UINT32_C(6)
#define KIV_DEF_ALIAS UINT32_C(7)
#define KIV_DEF_STRING UINT32_C(8)
#define KIV_DEF_WSTRING UINT32_C(9)
#define KIV_DEF_SEQUENCE UINT32_C(10)
#define KIV_DEF_ARRAY UINT32_C(11)

/* Definition flags (kivTLibDef.flags). Bits 16..31 belong to the creator and are stored as
 * given; MODIFIED is never stored; FORWARD marks a declared but not yet defined interface. */
#define KIV_DEF_MODIFIED UINT32_C(0x1)
#define KIV_DEF_FORWARD UINT32_C(0x2)

/* Handle flags: the caller passes READONLY and AUTOFLUSH; COUNTER_MODIFIED is the library's. */
#define KIV_TLIB_READONLY UINT32_C(0x1)
#define KIV_TLIB_AUTOFLUSH UINT32_C(0x2)
#define KIV_TLIB_COUNTER_MODIFIED UINT32_C(0x4)

/* Type tags (kivTLibTypeRef.tag, kivTLibValue.tag). 14 is never valid. */
typedef uint32_t kivTLibTypeTag;
#define KIV_TYPE_VOID UINT32_C(1)
#define KIV_TYPE_BOOLEAN UINT32_C(2)
#define KIV_TYPE_OCTET UINT32_C(3)
#define KIV_TYPE_CHAR UINT32_C(4)
#define KIV_TYPE_WCHAR UINT32_C(5)
#define KIV_TYPE_SHORT UINT32_C(6)
#define KIV_TYPE_USHORT UINT32_C(7)
#define KIV_TYPE_LONG UINT32_C(8)
#define KIV_TYPE_ULONG UINT32_C(9)
#define KIV_TYPE_LONGLONG UINT32_C(10)
#define KIV_TYPE_ULONGLONG UINT32_C(11)
#define KIV_TYPE_FLOAT UINT32_C(12)
#define KIV_TYPE_DOUBLE UINT32_C(13)
#define KIV_TYPE_STRING UINT32_C(15)
#define KIV_TYPE_WSTRING UINT32_C(16)
#define KIV_TYPE_STRUCT UINT32_C(17)
#define KIV_TYPE_UNION UINT32_C(18)
#define KIV_TYPE_ENUM UINT32_C(19)
#define KIV_TYPE_SEQUENCE UINT32_C(20)
#define KIV_TYPE_ARRAY UINT32_C(21)
#define KIV_TYPE_ALIAS UINT32_C(22)
#define KIV_TYPE_INTERFACE UINT32_C(23)
#define KIV_TYPE_DECIMAL32 UINT32_C(24)
#define KIV_TYPE_DECIMAL64 UINT32_C(25)
#define KIV_TYPE_DECIMAL128 UINT32_C(26)

/* A value tag of 0: no value (the default label of a union case). */
#define KIV_VALUE_NONE UINT32_C(0)

/* Interface member kinds and parameter directions. */
#define KIV_MEMBER_ATTRIBUTE UINT32_C(1)
#define KIV_MEMBER_OPERATION UINT32_C(2)
#define KIV_PARAM_IN UINT32_C(1)
#define KIV_PARAM_OUT UINT32_C(2)
#define KIV_PARAM_INOUT UINT32_C(3)
/* Caller bit of kivTLibMember.flags that kiv's tools and language mappings read: the attribute
 * is read-only (a getter, no setter). The library itself stores it unchanged. */
#define KIV_MEMBER_READONLY UINT32_C(0x00010000)

/* Well-known repository ids. */
#define KIV_TLIB_ROOT_ID "DCE:b30dcdc0-77ad-11d5-9804-00e029099a4b:0"
#define KIV_TLIB_ANONYMOUS_SCOPE_ID "DCE:717109b8-896e-11d5-9804-00e029099a4b:0"
/* Key of the record that holds the next local id number (kivTLibCreateLocalRepoId). */
#define KIV_TLIB_LOCAL_COUNTER_ID "DCE:06af78da-7ac8-11d5-bfd3-0000e2430653:0"

/* ---- Records ------------------------------------------------------------------------------ */

struct kivHashTable;

/* The strings of one definition: every string field of the definition points into it. */
typedef struct kivTLibStringTable {
    uint32_t count;
    char **strings;
    struct kivHashTable *index; /* text -> position; null until something is added */
} kivTLibStringTable;

/* The header that every definition record begins with. */
typedef struct kivTLibDef {
    kivTLibDefKind kind;
    const char *name;    /* "" for the root and anonymous scopes; null for kinds 8..11 */
    const char *repoId;  /* always set */
    const char *scopeId; /* null for the root and anonymous scopes and for kinds 8..11 */
    uint32_t flags;
    kivTLibStringTable *strings;
} kivTLibDef;

typedef struct kivTLibTypeRef {
    kivTLibTypeTag tag;
    const char *repoId; /* the definition a tag of 15..23 names, or null */
} kivTLibTypeRef;

/* A constant's value or a union case label. The payload member follows the tag: u8 for 2..4,
 * u16 for 5..7, u32 for 8, 9, 19, 24, f32 for 12, u64 for 10, 11, 25, f64 for 13, str for 15
 * and 16, d128 (less significant word first) for 26. */
typedef struct kivTLibValue {
    kivTLibTypeTag tag;
    union {
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        float f32;
        double f64;
        const char *str;
        uint64_t d128[2];
    };
} kivTLibValue;

typedef struct kivTLibParam {
    const char *name;
    kivTLibTypeRef type;
    uint32_t direction; /* KIV_PARAM_* */
} kivTLibParam;

typedef struct kivTLibMember {
    uint32_t kind; /* KIV_MEMBER_* */
    const char *name;
    uint32_t flags;      /* the caller's, never interpreted */
    kivTLibTypeRef type; /* attribute type or operation result (only there may it be void) */
    uint32_t paramCount; /* operations: at most 255 */
    const kivTLibParam *params;
} kivTLibMember;

typedef struct kivTLibStructMember {
    const char *name;
    kivTLibTypeRef type;
} kivTLibStructMember;

typedef struct kivTLibUnionCase {
    const char *name;
    kivTLibTypeRef type;
    kivTLibValue label; /* tag KIV_VALUE_NONE for the default case */
} kivTLibUnionCase;

typedef struct kivTLibEnumMember {
    const char *name;
    uint32_t value;
} kivTLibEnumMember;

/* Kind records: the header, then the kind's fields. An array with count 0 may be null. */
typedef struct kivTLibModuleDef {
    kivTLibDef header;
    uint32_t contentCount;
    const char **contents; /* repository ids of the definitions in this scope */
} kivTLibModuleDef;

typedef struct kivTLibInterfaceDef {
    kivTLibDef header;
    const char *baseId;
    uint32_t contentCount;
    const char **contents;
    uint32_t memberCount;
    const kivTLibMember *members;
} kivTLibInterfaceDef;

typedef struct kivTLibConstantDef {
    kivTLibDef header;
    kivTLibTypeRef type;
    kivTLibValue value;
} kivTLibConstantDef;

typedef struct kivTLibStructDef {
    kivTLibDef header;
    uint32_t contentCount;
    const char **contents;
    uint32_t memberCount;
    const kivTLibStructMember *members;
} kivTLibStructDef;

typedef struct kivTLibUnionDef {
    kivTLibDef header;
    uint32_t contentCount;
    const char **contents;
    kivTLibTypeRef discriminator;
    uint32_t caseCount;
    const kivTLibUnionCase *cases;
} kivTLibUnionDef;

typedef struct kivTLibEnumDef {
    kivTLibDef header;
    uint32_t memberCount;
    const kivTLibEnumMember *members;
} kivTLibEnumDef;

typedef struct kivTLibAliasDef {
    kivTLibDef header;
    kivTLibTypeRef type;
} kivTLibAliasDef;

/* KIV_DEF_STRING and KIV_DEF_WSTRING. */
typedef struct kivTLibStringDef {
    kivTLibDef header;
    uint32_t bound;
} kivTLibStringDef;

typedef struct kivTLibSequenceDef {
    kivTLibDef header;
    uint32_t bound;
    kivTLibTypeRef element;
} kivTLibSequenceDef;

typedef struct kivTLibArrayDef {
    kivTLibDef header;
    uint32_t length;
    kivTLibTypeRef element;
} kivTLibArrayDef;

/* ---- Handle ------------------------------------------------------------------------------- */

typedef struct kivTLib kivTLib;

/* Creates an empty library at `path`, replacing any file there. flags: 0 or
 * KIV_TLIB_AUTOFLUSH. The file becomes a library that kivTLibOpen accepts with the first
 * flush (kivTLibClose flushes). */
KIV_API kivResult kivTLibCreate(const char *path, uint32_t flags, kivTLib **out);
/* Opens an existing library; flags: any of KIV_TLIB_READONLY and KIV_TLIB_AUTOFLUSH. A file
 * without the anonymous-types scope gives KIV_E_FORMAT. */
KIV_API kivResult kivTLibOpen(const char *path, uint32_t flags, kivTLib **out);
/* Finds a definition by repository id (KIV_E_UNKNOWN_REPOID when there is none). `out` may be
 * null to test for existence. */
KIV_API kivResult kivTLibGetDefinition(kivTLib *tlib, const char *repoId, kivTLibDef **out);
/* Finds the root module (KIV_TLIB_ROOT_ID). */
KIV_API kivResult kivTLibGetRoot(kivTLib *tlib, kivTLibDef **out);
/* Writes every pending change to the file. A flush replaces the file atomically: after a
 * crash the file holds either all of it or none of it. Does nothing on a read-only handle. */
KIV_API kivResult kivTLibFlush(kivTLib *tlib);
/* Flushes, releases every definition and the handle. The handle is gone whatever the result. */
KIV_API kivResult kivTLibClose(kivTLib *tlib);
/* Writes the next local repository id ("LOCAL:<n>") into `buffer` of `size` bytes. */
KIV_API kivResult kivTLibCreateLocalRepoId(kivTLib *tlib, char *buffer, size_t size);

/* ---- Creating definitions ----------------------------------------------------------------- */

/* Every creating operation adds one definition to the handle: it checks its arguments
 * (KIV_E_INVALID_ARG), that the repository id is free (KIV_E_REPOID_EXISTS) and that the scope
 * exists (KIV_E_UNKNOWN_SCOPE) and may hold the new kind (KIV_E_BAD_SCOPE_KIND), in this
 * order, then lists the definition in its scope's contents. A read-only handle gives
 * KIV_E_READ_ONLY before anything else. The definition is pending until the next flush, at
 * once on a KIV_TLIB_AUTOFLUSH handle, whose failing flush becomes the result (the definition
 * then stays created and pending). `out` may be null; when given it is set to null on entry and
 * receives the handle's definition on success. Bits 16..31 of `flags` are stored unchanged;
 * the other bits are ignored. Element arrays stay the caller's: they are copied. */

/* The root module (KIV_TLIB_ROOT_ID): the outermost scope of a library. */
KIV_API kivResult kivTLibCreateRoot(kivTLib *tlib, uint32_t flags, kivTLibDef **out);
/* A module inside the root or another module. `flags` is not used. */
KIV_API kivResult kivTLibCreateModule(kivTLib *tlib, const char *name, const char *repoId,
                                      const char *scopeId, uint32_t flags, kivTLibDef **out);
/* An interface in a module, with an optional base interface (KIV_E_UNKNOWN_BASE,
 * KIV_E_BAD_BASE). An id that is already an interface is a redefinition: when
 * kivTLibCheckCompatDef finds it compatible the existing definition is returned, and a
 * forward declaration is completed in place (the same pointer, now with base and members);
 * otherwise its result (KIV_E_INCOMPATIBLE) is returned and nothing changes. */
KIV_API kivResult kivTLibCreateInterface(kivTLib *tlib, const char *name, const char *repoId,
                                         const char *scopeId, uint32_t flags, const char *baseId,
                                         uint32_t memberCount, const kivTLibMember *members,
                                         kivTLibDef **out);
/* A forward-declared interface (KIV_DEF_FORWARD); for an id that is already a compatible
 * interface, the existing definition. */
KIV_API kivResult kivTLibCreateInterfaceFwd(kivTLib *tlib, const char *name, const char *repoId,
                                            const char *scopeId, uint32_t flags, kivTLibDef **out);
/* A typedef in a module or interface. */
KIV_API kivResult kivTLibCreateAlias(kivTLib *tlib, const char *name, const char *repoId,
                                     const char *scopeId, uint32_t flags,
                                     const kivTLibTypeRef *type, kivTLibDef **out);
/* Anonymous types, listed in the anonymous-types scope (no scope argument). */
KIV_API kivResult kivTLibCreateArray(kivTLib *tlib, const char *repoId, uint32_t flags,
                                     uint32_t length, const kivTLibTypeRef *element,
                                     kivTLibDef **out);
KIV_API kivResult kivTLibCreateSequence(kivTLib *tlib, const char *repoId, uint32_t flags,
                                        uint32_t bound, const kivTLibTypeRef *element,
                                        kivTLibDef **out);
KIV_API kivResult kivTLibCreateString(kivTLib *tlib, const char *repoId, uint32_t flags,
                                      uint32_t bound, kivTLibDef **out);
KIV_API kivResult kivTLibCreateWString(kivTLib *tlib, const char *repoId, uint32_t flags,
                                       uint32_t bound, kivTLibDef **out);
/* A structure (at least one member) in a module, interface, structure or union. */
KIV_API kivResult kivTLibCreateStruct(kivTLib *tlib, const char *name, const char *repoId,
                                      const char *scopeId, uint32_t flags, uint32_t memberCount,
                                      const kivTLibStructMember *members, kivTLibDef **out);
/* A union (at least one case) in a module, interface, structure or union. The discriminator
 * is boolean, char, an integer type or an enumeration; every case label has the
 * discriminator's tag, or KIV_VALUE_NONE for a default case. */
KIV_API kivResult kivTLibCreateUnion(kivTLib *tlib, const char *name, const char *repoId,
                                     const char *scopeId, uint32_t flags,
                                     const kivTLibTypeRef *discriminator, uint32_t caseCount,
                                     const kivTLibUnionCase *cases, kivTLibDef **out);
/* An enumeration (at least one member) in a module, interface, structure or union. */
KIV_API kivResult kivTLibCreateEnum(kivTLib *tlib, const char *name, const char *repoId,
                                    const char *scopeId, uint32_t flags, uint32_t memberCount,
                                    const kivTLibEnumMember *members, kivTLibDef **out);
/* A constant in a module or interface; the value's tag equals the type's tag. */
KIV_API kivResult kivTLibCreateConstant(kivTLib *tlib, const char *name, const char *repoId,
                                        const char *scopeId, uint32_t flags,
                                        const kivTLibTypeRef *type, const kivTLibValue *value,
                                        kivTLibDef **out);

/* ---- Compatibility ------------------------------------------------------------------------ */

/* Whether def2 says the same as def1, both definitions of one repository id, each from its own
 * library (they may be the same handle). 0 when compatible; KIV_E_INCOMPATIBLE when they
 * differ; KIV_E_INVALID_ARG when the ids differ (or a definition is null). Nested definitions,
 * enumeration members and union cases are compared as sets, other members by position; a
 * forward-declared interface is compatible with any interface of the same name and scope.
 * References to strings, sequences and arrays are resolved in each definition's own library
 * and compared by bound or length: a failed lookup gives its code, a definition of another
 * kind KIV_E_BAD_KIND. Floating-point values compare by value (a NaN equals nothing, -0 equals
 * +0), decimals as IEEE decimals (1.0 equals 1.00). */
KIV_API kivResult kivTLibCheckCompatDef(kivTLib *tlib1, const kivTLibDef *def1, kivTLib *tlib2,
                                        const kivTLibDef *def2);

KIV_END_DECLS

#endif /* KIV_TLIB_H */
