// SPDX-License-Identifier: Apache-2.0
/*
 * kiv component model: UUIDs, interface pointers, object factories, plug-in registration and
 * the registry database. Compiles as C11 and as C++.
 */
#ifndef KIV_COM_H
#define KIV_COM_H

#include "kiv_base.h"

KIV_BEGIN_DECLS

/* ---- UUIDs ------------------------------------------------------------------------------ */

/* 16 bytes with the field layout of RFC 4122, each field a number in host byte order. */
typedef struct kivUUID {
    uint32_t time_low;
    uint16_t time_mid;
    uint16_t time_hi_and_version;      /* top 4 bits: version */
    uint8_t clock_seq_hi_and_reserved; /* top 2 bits: variant */
    uint8_t clock_seq_low;
    uint8_t node[6];
} kivUUID;

/* A new random UUID: 0, KIV_S_UUID_LOCAL_ONLY, KIV_E_UUID_NO_ADDRESS or KIV_E_FAIL. */
KIV_API kivResult kivUUIDCreate(kivUUID *uuid) KIV_NOEXCEPT;
/* The RFC 4122 version-3 (MD5) UUID of a namespace and `length` name bytes. */
KIV_API kivResult kivUUIDCreateFromName(const kivUUID *ns, const void *name, size_t length,
                                        kivUUID *uuid) KIV_NOEXCEPT;
/* Total order by fields (time_low, time_mid, time_hi_and_version, clock_seq_hi_and_reserved,
 * clock_seq_low, node bytes) as numbers: -1, 0 or +1. NULL orders before every UUID. The two
 * creating functions return KIV_E_INVALIDARG for a NULL output (or namespace, or a NULL name
 * with a length above 0). */
KIV_API int32_t kivUUIDCompare(const kivUUID *a, const kivUUID *b) KIV_NOEXCEPT;

/* ---- Interface pointers ----------------------------------------------------------------- */

#define KIV_IID_IUNKNOWN "IDL:kiv/IUnknown:1.0"
#define KIV_IID_IOBJECTFACTORY "IDL:kiv/IObjectFactory:1.0"
#define KIV_IID_IREGISTRY "IDL:kiv/regdb/IRegistry:1.0"
/* Class of the built-in registry database. */
#define KIV_CLSID_REGISTRY "071d093c-8cce-11d5-bfd3-0000e2430653"

/* The seven slots with which every function table begins. The base slots take `void *self`
 * so that one routine serves every table. Slots 0-2 are the COM-compatible front (put
 * kivComQueryInterface, kivComAddRef and kivComRelease there); interfaces are found through
 * queryInterface by id string; addRef and release return the new count; interfaceId returns
 * the static id of the interface the table implements. */
#define KIV_IUNKNOWN_SLOTS                                                      \
    kivResult (*comQueryInterface)(void *self, const void *comIid, void **out); \
    uint32_t (*comAddRef)(void *self);                                          \
    uint32_t (*comRelease)(void *self);                                         \
    kivResult (*queryInterface)(void *self, const char *iid, void **out);       \
    uint32_t (*addRef)(void *self);                                             \
    uint32_t (*release)(void *self);                                            \
    const char *(*interfaceId)(void *self);

typedef struct IUnknownVtbl {
    KIV_IUNKNOWN_SLOTS
} IUnknownVtbl;

/* An interface pointer: an object whose first field points to its function table. */
typedef struct IUnknown {
    const IUnknownVtbl *vtbl;
} IUnknown;

/* Stores null in *out and returns KIV_E_NOINTERFACE: COM identifiers find nothing. */
KIV_API kivResult kivComQueryInterface(void *object, const void *comIid, void **out) KIV_NOEXCEPT;
/* Forward to the object's addRef and release slots; a NULL object gives 0 and calls nothing. */
KIV_API uint32_t kivComAddRef(void *object) KIV_NOEXCEPT;
KIV_API uint32_t kivComRelease(void *object) KIV_NOEXCEPT;
/* 0 when both pointers lead to one object (or both are null), 1 when they do not, a failure
 * code when that cannot be told. */
KIV_API kivResult kivSameObject(void *a, void *b) KIV_NOEXCEPT;

/* ---- Object factories and plug-ins ------------------------------------------------------- */

typedef struct IObjectFactory IObjectFactory;
typedef struct IObjectFactoryVtbl {
    KIV_IUNKNOWN_SLOTS
    /* A non-null outer object asks for aggregation. */
    kivResult (*createInstance)(IObjectFactory *self, void *outer, const char *iid, void **out);
    kivResult (*lockServer)(IObjectFactory *self, int32_t lock);
} IObjectFactoryVtbl;
struct IObjectFactory {
    const IObjectFactoryVtbl *vtbl;
};

/* Class-context flags of kivCreateInstance and kivGetObjectFactory: this bit must be set. */
#define KIV_CLSCTX_INPROC UINT32_C(0x1)

/* Flags of kivRegisterDSO and kivUnregisterDSO. */
#define KIV_REGISTER_VARIANT UINT32_C(0x1)   /* persistent: variant 1 of the root */
#define KIV_REGISTER_USER_ONLY UINT32_C(0x2) /* persistent: skip the machine root */
#define KIV_REGISTER_PROCESS UINT32_C(0x4)   /* this process only; the registry is untouched */

/* Creates an object of a class and returns the interface asked for, with one reference. */
KIV_API kivResult kivCreateInstance(const char *clsid, void *outer, uint32_t context,
                                    void *reserved, const char *iid, void **out) KIV_NOEXCEPT;
/* The object factory of a class (or whatever interface its plug-in offers for iid). */
KIV_API kivResult kivGetObjectFactory(const char *clsid, uint32_t context, void *reserved,
                                      const char *iid, void **out) KIV_NOEXCEPT;
/* Records that the plug-in at `path` serves `clsid`: in this process (KIV_REGISTER_PROCESS),
 * else under the machine root of the registry database, falling back to the user root. */
KIV_API kivResult kivRegisterDSO(const char *clsid, uint32_t flags, const char *path) KIV_NOEXCEPT;
KIV_API kivResult kivUnregisterDSO(const char *clsid, uint32_t flags) KIV_NOEXCEPT;

/* Every plug-in exports this entry point under the name KIV_DSO_ENTRY_POINT. */
#define KIV_DSO_ENTRY_POINT "dsoGetObjectFactory"
typedef kivResult (*kivDSOGetObjectFactory)(const char *clsid, const char *iid, void **out);
#if defined(_WIN32)
#define KIV_PLUGIN_EXPORT __declspec(dllexport)
#else
#define KIV_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

/* ---- Registry database ------------------------------------------------------------------ */

/* Kinds of RegistryValue. */
#define KIV_REG_NONE 0u
#define KIV_REG_BYTES 1u       /* count bytes at `bytes` */
#define KIV_REG_INT32 2u       /* int32 */
#define KIV_REG_INT64 3u       /* int64 */
#define KIV_REG_STRING 4u      /* NUL-terminated `string` */
#define KIV_REG_STRING_LIST 5u /* count texts at `strings` */

/* A typed value. Buffers in values that the registry returns are allocated with kivMalloc and
 * are the caller's to free with kivFree (KIV_REG_STRING_LIST: each text, then the array).
 * setValue stores every value so that queryValue reads it back as written (an empty list
 * included); it refuses with KIV_E_INVALIDARG a kind above 5 and a list that could not read
 * back: one holding the text "!@KIV_EMPTY_STRING#$" or starting with "!@KIV_INT64_VALUE#$".
 * Kind KIV_REG_NONE writes nothing and succeeds. */
typedef struct RegistryValue {
    uint32_t kind;
    union {
        uint32_t count;
        uint32_t int32;
        uint64_t int64;
        char *string;
    };
    union {
        void *bytes;
        char **strings;
    };
} RegistryValue;

typedef struct StringList {
    uint32_t count;
    char **strings;
} StringList;

typedef struct kivNamedValue {
    char *name;
    RegistryValue value;
} kivNamedValue;

typedef struct NamedValueList {
    uint32_t count;
    kivNamedValue *entries;
} NamedValueList;

/* The record that getKeyInfo clears. */
typedef struct kivRegistryKeyInfo {
    uint32_t subKeyCount;
    uint32_t maxSubKeyLength;
    uint32_t maxClassLength;
    uint32_t valueCount;
    uint32_t maxValueNameLength;
    uint32_t maxValueLength;
    uint32_t securityDescriptorLength;
} kivRegistryKeyInfo;

/* Earlier names of kivNamedValue and kivRegistryKeyInfo, kept so that existing sources still
 * compile (the struct tags changed with the names). Define KIV_NO_OLD_NAMES to leave them out. */
#ifndef KIV_NO_OLD_NAMES
typedef kivNamedValue NamedValue;
typedef kivRegistryKeyInfo RegistryKeyInfo;
#endif

/* Options of openKey. */
#define KIV_REG_OPTION_CREATE UINT32_C(0x1)    /* create the key when it is missing */
#define KIV_REG_OPTION_EXCLUSIVE UINT32_C(0x2) /* with CREATE: fail if it existed */

/* Access flags of the openers, OR-ed together. Several bits grant the same right: the ones
 * after KIV_REG_ACCESS_SET name the uses that plug-in registration asks them for. */
#define KIV_REG_ACCESS_CREATE_SUBKEY UINT32_C(0x001) /* create subkeys */
#define KIV_REG_ACCESS_DELETE UINT32_C(0x002)        /* delete the key */
#define KIV_REG_ACCESS_ENUMERATE UINT32_C(0x004)     /* list subkeys */
#define KIV_REG_ACCESS_QUERY UINT32_C(0x008)         /* read and list values */
#define KIV_REG_ACCESS_SET UINT32_C(0x010)           /* write and delete values */
#define KIV_REG_ACCESS_DELETE_VALUE UINT32_C(0x020)  /* = SET: to delete values */
#define KIV_REG_ACCESS_QUERY_VALUE UINT32_C(0x040)   /* = QUERY */
#define KIV_REG_ACCESS_READ UINT32_C(0x080)          /* = QUERY: to read a registration */
#define KIV_REG_ACCESS_WRITE UINT32_C(0x100)         /* = SET: to write a registration */
#define KIV_REG_ACCESS_READ_VALUE UINT32_C(0x200)    /* = QUERY */
/* Every right: what a tool that browses and edits the registry asks for. */
#define KIV_REG_ACCESS_ALL                                                             \
    (KIV_REG_ACCESS_CREATE_SUBKEY | KIV_REG_ACCESS_DELETE | KIV_REG_ACCESS_ENUMERATE | \
     KIV_REG_ACCESS_QUERY | KIV_REG_ACCESS_SET)

/* Key handles are small non-negative integers; -1 means no handle. */
#define KIV_REG_NO_KEY (-1)

typedef struct IRegistry IRegistry;
typedef struct IRegistryVtbl {
    KIV_IUNKNOWN_SLOTS
    kivResult (*openMachineRoot)(IRegistry *self, uint32_t ignored, uint32_t access, int32_t *key);
    kivResult (*openUserRoot)(IRegistry *self, uint32_t ignored, uint32_t access, int32_t *key);
    kivResult (*openKey)(IRegistry *self, int32_t parent, const char *path, uint32_t options,
                         uint32_t access, uint32_t reserved, int32_t *key);
    kivResult (*closeKey)(IRegistry *self, int32_t key);
    kivResult (*deleteKey)(IRegistry *self, int32_t key, const char *name);
    kivResult (*getKeyInfo)(IRegistry *self, int32_t key, kivRegistryKeyInfo *info);
    kivResult (*enumKeys)(IRegistry *self, int32_t key, StringList *names);
    kivResult (*flushKey)(IRegistry *self, int32_t key);
    kivResult (*setValue)(IRegistry *self, int32_t key, const char *name,
                          const RegistryValue *value);
    kivResult (*queryValue)(IRegistry *self, int32_t key, const char *name, RegistryValue *value);
    kivResult (*queryMultipleValues)(IRegistry *self, int32_t key, const StringList *names,
                                     NamedValueList *values);
    kivResult (*deleteValue)(IRegistry *self, int32_t key, const char *name);
    kivResult (*enumValues)(IRegistry *self, int32_t key, StringList *names);
} IRegistryVtbl;
struct IRegistry {
    const IRegistryVtbl *vtbl;
};

/* Releases what a registry operation allocated in a value, list or named-value list, and
 * leaves it empty. Header-only conveniences over kivFree. */
static inline void kivRegistryValueClear(RegistryValue *value) {
    if (value->kind == KIV_REG_STRING) {
        kivFree(value->string);
    } else if (value->kind == KIV_REG_BYTES) {
        kivFree(value->bytes);
    } else if (value->kind == KIV_REG_STRING_LIST) {
        for (uint32_t i = 0; i < value->count; ++i) kivFree(value->strings[i]);
        kivFree(value->strings);
    }
    value->kind = KIV_REG_NONE;
    value->int64 = 0;
    value->bytes = NULL;
}

static inline void kivStringListClear(StringList *list) {
    for (uint32_t i = 0; i < list->count; ++i) kivFree(list->strings[i]);
    kivFree(list->strings);
    list->count = 0;
    list->strings = NULL;
}

static inline void kivNamedValueListClear(NamedValueList *list) {
    for (uint32_t i = 0; i < list->count; ++i) {
        kivFree(list->entries[i].name);
        kivRegistryValueClear(&list->entries[i].value);
    }
    kivFree(list->entries);
    list->count = 0;
    list->entries = NULL;
}

KIV_END_DECLS

#endif /* KIV_COM_H */
