// SPDX-License-Identifier: Apache-2.0
/*
 * kivcall: calling and implementing any interface from its type library, without generated
 * code. Compiles as C11 and as C++. Link with libkivcall.so (and libkiv.so).
 *
 * Four parts:
 *  - type information: an interface id (or any repository id) resolved to a read-only
 *    description, from the type libraries registered in this process, in the registry
 *    database (user root before machine root) or found in the folders of KIV_TLIB_PATH;
 *  - values: one self-describing record (kcallValue) for everything a member can pass;
 *  - calls: a member prepared once (kcallPrepare), then called any number of times
 *    (kcallInvoke) with values, converted to and from the native mapping of docs/mapping.md;
 *  - implementations: an object whose slots turn native calls into values and hand them to one
 *    generic handler (kcallObjectCreate).
 *
 * Call kivInitialize first. Every function may be called from any thread. No function allocates
 * for the caller except where it says so; such memory is released with kivFree (or
 * kcallValueClear for values).
 *
 * Lifetime of descriptions. Descriptions (kcallType, kcallInterface, kcallMember, kcallMethod)
 * are immutable and belong to the version of the type library they were read from, together with
 * every method prepared from them. A version lives while any of these uses it:
 *  - the library's cache: until a lookup finds the file changed (or gone) and reads it again,
 *    until its process registration is removed, and until libkivcall is unloaded (or the
 *    process exits);
 *  - a hold taken with kcallHoldInterface, until the matching kcallReleaseInterface;
 *  - a dynamic object made from it (kcallObjectCreate), until its last reference is released:
 *    the handler's method descriptions stay valid for as long as the object.
 * A caller that keeps descriptions while a library may change on disk (another thread's lookup
 * may then free them) holds them; one that looks them up again gets the new version. The slots
 * of dynamic objects are closures shared by the objects of one version and freed with it. Basic
 * types (kcallBasicType) and the built-in IUnknown live as long as the library.
 */
#ifndef KIV_CALL_H
#define KIV_CALL_H

#include "kiv.h"

KIV_BEGIN_DECLS

/* ---- Result codes --------------------------------------------------------------------------
 * Failures of this library (facility 0x1625). kcallStrError gives their texts and falls back
 * to kivStrError for every other code; kcallLastError gives details about the calling thread's
 * most recent failure. Codes of libkiv are reused where they say it all: KIV_E_INVALIDARG (a
 * null where a pointer is needed), KIV_E_POINTER (a null object), KIV_E_UNKNOWN_REPOID (no
 * library defines the id), KIV_E_FORMAT (a damaged library), KIV_E_NOINTERFACE. A call whose
 * callee or handler fails returns the callee's code unchanged. */
#define KCALL_E_KIND UINT32_C(0x96250001)  /* value of the wrong kind for its type */
#define KCALL_E_RANGE UINT32_C(0x96250002) /* number out of its type's range */
#define KCALL_E_BOUND                                                                       \
    UINT32_C(0x96250003)                        /* string or sequence over its bound, or an \
                                                   array of the wrong length */
#define KCALL_E_UNION_CASE UINT32_C(0x96250004) /* no union case for the discriminator */
#define KCALL_E_ARITY UINT32_C(0x96250005)      /* wrong number of arguments */
#define KCALL_E_NO_MEMBER UINT32_C(0x96250006)  /* the interface has no such member */
#define KCALL_E_LAYOUT                                                                    \
    UINT32_C(0x96250007)                      /* a type that cannot be laid out in memory \
                                                 (contains itself, too large, bad tag) */
#define KCALL_E_SYNTAX UINT32_C(0x96250008)   /* text that is not a value of the type */
#define KCALL_E_ENCODING UINT32_C(0x96250009) /* a string that is not valid UTF-8 / UTF-16 */

/* Text of any result code; never NULL, never to be freed (lives until the process ends for
 * this library's codes, as kivStrError says for the others). */
KIV_API const char *kcallStrError(kivResult code) KIV_NOEXCEPT;
/* The calling thread's explanation of its most recent failure of a kcall function, such as
 * "argument 2 (size): 300 is out of range for octet"; "" when there is none. Valid until the
 * thread's next kcall call. */
KIV_API const char *kcallLastError(void) KIV_NOEXCEPT;

/* ---- Type information ----------------------------------------------------------------------- */

typedef struct kcallType kcallType;
typedef struct kcallInterface kcallInterface;

/* A member of a structure, a case of a union, or an enumerator. */
typedef struct kcallField {
    const char *name;
    const kcallType *type; /* NULL for enumerators */
    /* Union case: the label's value (as the discriminator's integer value; unsigned long long
     * labels as their bits, boolean 0/1, char its code); isDefault 1 for the default case.
     * Enumerator: its value. */
    int64_t label;
    uint32_t isDefault;
} kcallField;

/* A resolved type: aliases are followed (kind is never KIV_TYPE_ALIAS). */
struct kcallType {
    uint32_t kind;            /* KIV_TYPE_* */
    const char *repoId;       /* the definition's repository id; NULL for basic types */
    const char *name;         /* IDL spelling: "unsigned long", "string<8>", "Demo::Point",
                                 "sequence<long>", "long[3]" */
    uint32_t bound;           /* string, wstring, sequence: bound (0 unbounded); array: length */
    const kcallType *element; /* sequence and array element */
    const kcallType *discriminator; /* union */
    uint32_t fieldCount;            /* structure members, union cases, enumerators */
    const kcallField *fields;
    const kcallInterface *iface; /* interface references: the interface, when its library
                                    defines it; NULL for a forward declaration only */
    size_t size;                 /* bytes of the native C form (docs/mapping.md) */
    size_t align;
};

/* A parameter of an operation. */
typedef struct kcallParam {
    const char *name;
    const kcallType *type;
    uint32_t direction; /* KIV_PARAM_IN, KIV_PARAM_OUT, KIV_PARAM_INOUT */
} kcallParam;

/* An operation or attribute, inherited ones included. */
typedef struct kcallMember {
    const char *name;      /* IDL name */
    uint32_t kind;         /* KIV_MEMBER_OPERATION or KIV_MEMBER_ATTRIBUTE */
    uint32_t flags;        /* KIV_MEMBER_READONLY for a read-only attribute */
    const kcallType *type; /* result (kind KIV_TYPE_VOID for none) or attribute type */
    uint32_t paramCount;
    const kcallParam *params;
    uint32_t slot;          /* the operation's or getter's slot; a setter follows the getter */
    const char *declaredIn; /* repository id of the interface that declares it */
} kcallMember;

struct kcallInterface {
    const char *iid;
    const char *name;           /* scoped IDL name, "Demo::IShape" */
    const kcallInterface *base; /* NULL when derived from IUnknown or from nothing */
    uint32_t memberCount;       /* every member, inherited first, in slot order */
    const kcallMember *members;
    uint32_t slotCount;  /* table slots, the seven base slots included */
    const char *library; /* path of the type library it was read from */
};

/* The interface with this id, with its bases and every type its members use. Resolution order:
 * libraries registered in this process (newest first), then the registry database (user root
 * before machine root), then KIV_TLIB_PATH. KIV_E_UNKNOWN_REPOID when none defines it;
 * KCALL_E_LAYOUT when a type it uses cannot be laid out; KIV_E_BAD_KIND for an id of another
 * kind of definition. IUnknown (no members) is built in; references to IObjectFactory and
 * IRegistry pass as pointers (kcallType.iface NULL) unless a library defines them. */
KIV_API kivResult kcallFindInterface(const char *iid, const kcallInterface **out) KIV_NOEXCEPT;
/* kcallFindInterface with a hold: the interface's library version (every description read
 * from it and every method prepared from them) stays valid until kcallReleaseInterface, even
 * when the library changes on disk meanwhile. Holds count: each is released once. */
KIV_API kivResult kcallHoldInterface(const char *iid, const kcallInterface **out) KIV_NOEXCEPT;
/* Ends one hold of kcallHoldInterface (the interface it gave); KIV_E_INVALIDARG when the
 * interface is not held. The last release of an old version frees it. */
KIV_API kivResult kcallReleaseInterface(const kcallInterface *iface) KIV_NOEXCEPT;
/* Any named type (structure, union, enumeration, alias, interface, ...) by repository id,
 * resolved the same way: valid while its library version is (see above). */
KIV_API kivResult kcallFindType(const char *repoId, const kcallType **out) KIV_NOEXCEPT;
/* A basic type by tag (KIV_TYPE_VOID .. KIV_TYPE_DOUBLE, KIV_TYPE_STRING, KIV_TYPE_WSTRING
 * unbounded, the decimals); NULL for other tags. */
KIV_API const kcallType *kcallBasicType(uint32_t kind) KIV_NOEXCEPT;
/* A member by IDL name (an operation or attribute name); NULL when there is none. */
KIV_API const kcallMember *kcallFindMember(const kcallInterface *iface,
                                           const char *name) KIV_NOEXCEPT;

/* Where kcallLocateInterface found an interface. */
#define KCALL_SOURCE_PROCESS UINT32_C(1) /* kcallRegisterLibrary(KIV_REGISTER_PROCESS) */
#define KCALL_SOURCE_USER UINT32_C(2)    /* registry database, user root */
#define KCALL_SOURCE_MACHINE UINT32_C(3) /* registry database, machine root */
#define KCALL_SOURCE_PATH UINT32_C(4)    /* a folder of KIV_TLIB_PATH */

/* The library that serves an interface id: its path (kivMalloc'd, the caller frees it with
 * kivFree) and where it was found (KCALL_SOURCE_*). source may be NULL. */
KIV_API kivResult kcallLocateInterface(const char *iid, char **path, uint32_t *source) KIV_NOEXCEPT;

/* Called for each interface kcallEnumInterfaces finds, with its id, scoped IDL name and library
 * path (valid during the call); returns 0 to go on, anything else to stop. */
typedef int32_t (*kcallInterfaceVisitor)(void *context, const char *iid, const char *name,
                                         const char *library);
/* Visits every interface (defined, not only declared) that kcallFindInterface can find, in its
 * search order, each id once: as the first library that defines it serves it. Libraries that
 * cannot be read are passed over. The visitor may call any kcall function. */
KIV_API kivResult kcallEnumInterfaces(kcallInterfaceVisitor visit, void *context) KIV_NOEXCEPT;

/* Registers a type library file (made absolute; it must open as a library). flags as for
 * kivRegisterDSO: KIV_REGISTER_PROCESS for this process only; otherwise the registry database
 * under the machine root, falling back to the user root, or the user root alone with
 * KIV_REGISTER_USER_ONLY; KIV_REGISTER_VARIANT selects variant 1 of the root. Registering a
 * registered file again succeeds. The registry holds one value per library under the key
 * KIV/TypeLibraries, named by and holding the absolute path. */
KIV_API kivResult kcallRegisterLibrary(const char *path, uint32_t flags) KIV_NOEXCEPT;
/* Removes a registration made with the same flags; KIV_E_RT_NOT_FOUND when there is none. */
KIV_API kivResult kcallUnregisterLibrary(const char *path, uint32_t flags) KIV_NOEXCEPT;

/* ---- Values ----------------------------------------------------------------------------------
 * A value owns everything it points to: strings and item arrays allocated with the kivMalloc
 * family, one counted reference for a non-null interface. A zeroed record is the empty value
 * (kind 0), which kcallValueClear accepts. */

typedef struct kcallValue kcallValue;

/* An interface reference: the object, and the interface id it is typed as. */
typedef struct kcallRef {
    void *object; /* NULL for a null reference */
    char *iid;    /* NUL-terminated, may be NULL for a null reference */
} kcallRef;

struct kcallValue {
    uint32_t kind;  /* KIV_TYPE_* of the type the value is for; 0 for the empty value */
    uint32_t count; /* STRING: bytes before the NUL; WSTRING: code units before the NUL;
                       STRUCT: members; SEQUENCE, ARRAY: elements; UNION: 1 when only the
                       discriminator is set (no case is active), else 2 */
    union {
        kivBoolean boolean; /* BOOLEAN: 0 or 1 */
        uint8_t octet;
        char ch;      /* CHAR */
        kivWChar wch; /* WCHAR */
        int16_t i16;  /* SHORT */
        uint16_t u16; /* USHORT */
        int32_t i32;  /* LONG */
        uint32_t u32; /* ULONG, and ENUM (the enumerator's value) */
        int64_t i64;  /* LONGLONG */
        uint64_t u64; /* ULONGLONG */
        float f32;
        double f64;
        kivDecimal32 d32; /* decimals keep their IEEE bits */
        kivDecimal64 d64;
        kivDecimal128 d128;
        char *str;         /* STRING: UTF-8, NUL-terminated */
        kivWChar *wstr;    /* WSTRING: UTF-16, NUL-terminated */
        kcallValue *items; /* STRUCT members in order; SEQUENCE and ARRAY elements; UNION:
                              items[0] the discriminator, items[1] the active case's value */
        kcallRef ref;      /* INTERFACE */
    } v;
};

/* Releases what a value holds (recursively, references included) and leaves it empty. NULL
 * and empty values are accepted. */
KIV_API void kcallValueClear(kcallValue *value) KIV_NOEXCEPT;
/* A deep copy (references are added to). *dst is overwritten, not cleared first. */
KIV_API kivResult kcallValueCopy(kcallValue *dst, const kcallValue *src) KIV_NOEXCEPT;
/* 0 when equal (same kind, same items; numbers and decimals by their bits, references by
 * pointer), otherwise -1 or 1 in a consistent total order. */
KIV_API int32_t kcallValueCompare(const kcallValue *a, const kcallValue *b) KIV_NOEXCEPT;

/* Builders: each overwrites *out without clearing it. */
/* A string of `length` bytes (NULs are refused: KCALL_E_ENCODING); length SIZE_MAX means up
 * to the NUL. */
KIV_API kivResult kcallValueSetString(kcallValue *out, const char *text,
                                      size_t length) KIV_NOEXCEPT;
/* A wide string of `length` code units, or up to the 0 unit with SIZE_MAX. */
KIV_API kivResult kcallValueSetWString(kcallValue *out, const kivWChar *text,
                                       size_t length) KIV_NOEXCEPT;
/* A structure, sequence, array or union with `count` empty items to be filled. */
KIV_API kivResult kcallValueSetItems(kcallValue *out, uint32_t kind, uint32_t count) KIV_NOEXCEPT;
/* An interface reference: adds a reference to a non-null object. */
KIV_API kivResult kcallValueSetRef(kcallValue *out, void *object, const char *iid) KIV_NOEXCEPT;
/* The empty (zero) value of a type: numbers 0, strings "", sequences empty, structures with
 * every member empty-valued, arrays of `bound` such elements, a union with the first case's
 * discriminator value and that case's empty value, null references. */
KIV_API kivResult kcallValueInit(kcallValue *out, const kcallType *type) KIV_NOEXCEPT;

/* Whether a value fits a type: 0, or KCALL_E_KIND, KCALL_E_RANGE, KCALL_E_BOUND,
 * KCALL_E_UNION_CASE, KCALL_E_ENCODING with kcallLastError naming the place. An integer value
 * of another integer kind fits when it is in range (so a LONG value fits an octet type when it
 * is 0..255); a LONG, ULONG or LONGLONG value fits an enumeration when it is one of its
 * enumerators; a DOUBLE fits FLOAT. kcallValueConvert rewrites such values to the exact
 * kinds. */
KIV_API kivResult kcallValueCheck(const kcallType *type, const kcallValue *value) KIV_NOEXCEPT;
KIV_API kivResult kcallValueConvert(const kcallType *type, kcallValue *value) KIV_NOEXCEPT;

/* Text forms. KCALL_TEXT_IDL: IDL literal syntax: 42, -0x10, 1.5, TRUE, 'c', L'c', "text"
 * (C escapes, \uXXXX), L"wide", 1.25d (decimal), enumerator names (RED or Demo::Color::RED),
 * structures { 1, "x" } or { x = 1, y = "x" }, sequences and arrays [ 1, 2 ], unions
 * { RED: 5 } (discriminator: value; { RED } when no case is active), null.
 * KCALL_TEXT_JSON: numbers, strings (char and wchar as one-character strings; decimals as
 * strings "1.25"; 64-bit integers as numbers), true/false, structures as objects by member
 * name, sequences and arrays as arrays, unions {"_d": discriminator, "case": value}, null. */
#define KCALL_TEXT_IDL UINT32_C(0)
#define KCALL_TEXT_JSON UINT32_C(1)

/* Reads `length` bytes of text as a value of `type`; *out is overwritten on success and left
 * alone on failure (KCALL_E_SYNTAX, or a check code). Interface references parse only as null. */
KIV_API kivResult kcallValueParse(const kcallType *type, const char *text, size_t length,
                                  uint32_t flags, kcallValue *out) KIV_NOEXCEPT;
/* Writes a value (checked against `type`) as NUL-terminated text allocated with kivMalloc.
 * References print as null or as "<IID@0xADDRESS>" (IDL) / {"iid": ..., "object": "0x..."}
 * (JSON). */
KIV_API kivResult kcallValueFormat(const kcallType *type, const kcallValue *value, uint32_t flags,
                                   char **text) KIV_NOEXCEPT;
/* The IDL signature of a member, as `kiv call --list` prints it; kivMalloc'd. */
KIV_API kivResult kcallMemberFormat(const kcallMember *member, char **text) KIV_NOEXCEPT;

/* ---- Calls ----------------------------------------------------------------------------------- */

/* What a prepared method reaches. */
#define KCALL_OPERATION UINT32_C(0)
#define KCALL_GET UINT32_C(1)
#define KCALL_SET UINT32_C(2)

/* A prepared call of one slot of one interface. Made once, cached, shared by every thread. */
typedef struct kcallMethod {
    const kcallInterface *iface; /* the interface it was prepared for */
    const kcallMember *member;
    uint32_t access;             /* KCALL_OPERATION, KCALL_GET or KCALL_SET */
    uint32_t slot;               /* table slot */
    const char *slotName;        /* "move", "get_width", "set_width" */
    uint32_t argCount;           /* values in `args`: the operation's parameters, 1 for a setter,
                                    0 for a getter */
    const kcallType *resultType; /* result or attribute value; NULL for a void operation and
                                    a setter */
} kcallMethod;

/* Prepares the member `name` of interface `iid`: an operation name, an attribute name with
 * access KCALL_GET or KCALL_SET, or a slot name ("get_width", "set_width") with access
 * KCALL_OPERATION. The same pointer comes back for the same (iid, name, access) while the
 * library's version is current; the method lives as long as that version. KCALL_E_NO_MEMBER when
 * there is no such member or a read-only attribute is asked to be set. */
KIV_API kivResult kcallPrepare(const char *iid, const char *name, uint32_t access,
                               const kcallMethod **out) KIV_NOEXCEPT;
/* The same from a description already found. */
KIV_API kivResult kcallPrepareMember(const kcallInterface *iface, const kcallMember *member,
                                     uint32_t access, const kcallMethod **out) KIV_NOEXCEPT;

/* Calls a prepared method on `object` (an interface pointer of the method's interface or of
 * one derived from it). `args` holds argCount values in parameter order:
 *  - in: read only, checked against the parameter's type;
 *  - inout: read, and on success replaced by the value the callee left (the old one cleared);
 *  - out: ignored on entry, replaced on success.
 * `result` (may be NULL to discard) receives the result or attribute value on success. On
 * failure nothing is replaced: a conversion failure before the call returns its code, the
 * callee's failure code is returned as it is; in both cases the caller frees nothing new.
 * Memory and references the callee hands out are converted and released (kivFree). */
KIV_API kivResult kcallInvoke(const kcallMethod *method, void *object, kcallValue *args,
                              uint32_t argCount, kcallValue *result) KIV_NOEXCEPT;

/* Attribute shortcuts: prepare (cached) and call a getter or setter by attribute name. */
KIV_API kivResult kcallGetAttribute(void *object, const char *iid, const char *name,
                                    kcallValue *value) KIV_NOEXCEPT;
KIV_API kivResult kcallSetAttribute(void *object, const char *iid, const char *name,
                                    const kcallValue *value) KIV_NOEXCEPT;

/* ---- Implementations ---------------------------------------------------------------------- */

/* The one routine behind every member slot of a dynamic object. `method` says which slot was
 * called (its iface is the interface of the table that was called through); `args` holds
 * method->argCount values: in and inout values converted from the caller's, out values empty.
 * The handler fills out and inout values and `result` (NULL when method->resultType is NULL)
 * with values that fit their types (kcallValueConvert is applied), and returns 0 or a failure
 * code. Values left in args and result are cleared by the caller of the handler. On failure,
 * or when a value does not fit, the native caller gets empty out values and the code. */
typedef kivResult (*kcallHandler)(void *context, const kcallMethod *method, kcallValue *args,
                                  kcallValue *result);
/* Called once with the context when the object's last reference is released. */
typedef void (*kcallContextRelease)(void *context);

/* Makes an object that implements `iidCount` interfaces (and their bases) for the handler. The
 * object keeps the library versions of its interfaces, whose slots are closures shared by every
 * object of the interface: they are freed with the version, after the last such object.
 * `*out` receives the interface `iid` (one of the listed ones or a base of one; NULL means the
 * first listed), with one reference. queryInterface answers for IUnknown and every listed
 * interface and base; addRef and release are atomic; interfaceId gives the id of the table's
 * interface. On failure releaseContext is not called. */
KIV_API kivResult kcallObjectCreate(const char *const *iids, uint32_t iidCount,
                                    kcallHandler handler, void *context,
                                    kcallContextRelease releaseContext, const char *iid,
                                    void **out) KIV_NOEXCEPT;
/* The handler context of a dynamic object (any of its interface pointers); NULL for objects
 * not made by kcallObjectCreate. */
KIV_API void *kcallObjectContext(void *object) KIV_NOEXCEPT;

KIV_END_DECLS

#endif /* KIV_CALL_H */
