// The type library handle: create, open, look up, flush, close.
#include "tlib/handle.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <unordered_set>

#include "core/hash.h"
#include "tlib/codec.h"
#include "tlib/model.h"
#include "ust.h"

namespace kiv::tlib {

namespace {

constexpr uint32_t kCallerHandleFlags = KIV_TLIB_READONLY | KIV_TLIB_AUTOFLUSH;
constexpr uint32_t kTableBuckets = 16;

// A record key: the id's bytes and its NUL.
std::string_view keyOf(const char *repoId) {
    return {repoId, std::strlen(repoId) + 1};
}

kivTLib *newHandle(uint32_t flags) {
    auto *tlib = new (kivCalloc(1, sizeof(kivTLib))) kivTLib{};
    tlib->flags = flags;
    tlib->definitions = kivHashCreate(kTableBuckets, 0);
    tlib->modified = kivHashCreate(kTableBuckets, 0);
    return tlib;
}

// Releases the tables, every definition and the handle; closes the file. Returns the close's
// result.
kivResult destroyHandle(kivTLib *tlib) {
    kivHashDestroy(tlib->definitions, releaseDefinitionCallback);
    kivHashDestroy(tlib->modified, nullptr);
    kivResult rc = tlib->store.close();
    tlib->~kivTLib();
    kivFree(tlib);
    return rc;
}

// Another handle may have listed definitions in this scope since we read it: keep what the
// file lists and we do not, after our own contents, so that neither writer loses the other's.
kivResult keepStoredContents(const Store::Snapshot &current, kivTLibDef *scope) {
    std::span<const uint8_t> value;
    kivResult code = 0;
    Lookup found = current.get(keyOf(scope->repoId), &value, &code);
    if (found == Lookup::Failed) return code;
    kivTLibDef *stored = nullptr;
    if (found == Lookup::Absent || decode(value, &stored) != 0) return 0;  // ours replaces it
    DefinitionPtr guard(stored);
    if (stored->kind != scope->kind) return 0;
    std::unordered_set<std::string_view> ours;
    for (const char *id : contentsOf(scope)) ours.insert(id);
    for (const char *id : contentsOf(stored))
        if (id && ours.insert(id).second) appendContent(scope, id);
    return 0;
}

// The records of everything pending in the handle.
kivResult pendingRecords(kivTLib *tlib, const Store::Snapshot &current, RecordBatch &out) {
    out.reserve(tlib->modified->count + 1, 512);
    if (tlib->flags & KIV_TLIB_COUNTER_MODIFIED) {
        std::string counter = encodeCounter(tlib->localIdCounter);
        out.add(keyOf(KIV_TLIB_LOCAL_COUNTER_ID),
                {reinterpret_cast<const uint8_t *>(counter.data()), counter.size()});
    }
    // Definitions in the order of their addresses: the walk over memory that this gives is
    // several times faster for large flushes than the table's hash order.
    std::vector<kivTLibDef *> defs;
    defs.reserve(tlib->modified->count);
    kivHashIter it;
    for (kivHashIterBegin(&it, tlib->modified); it.current;) {
        void *value;
        kivHashIterNext(&it, nullptr, &value);
        defs.push_back(static_cast<kivTLibDef *>(value));
    }
    std::sort(defs.begin(), defs.end(), std::less<kivTLibDef *>());
    for (kivTLibDef *def : defs) {
        if (isScopeKind(def->kind))
            if (kivResult rc = keepStoredContents(current, def)) return rc;
        encodeInto(def, out.start(keyOf(def->repoId)));
    }
    return 0;
}

void clearPending(kivTLib *tlib) {
    tlib->flags &= ~KIV_TLIB_COUNTER_MODIFIED;
    kivHashIter it;
    for (kivHashIterBegin(&it, tlib->modified); it.current;) {
        void *value;
        kivHashIterNext(&it, nullptr, &value);
        static_cast<kivTLibDef *>(value)->flags &= ~KIV_DEF_MODIFIED;
    }
    kivHashClear(tlib->modified, nullptr);
}

}  // namespace

bool enterDefinition(kivTLib *tlib, kivTLibDef *def) {
    if (!kivHashInsert(tlib->definitions, def->repoId, def)) return false;
    kivHashInsert(tlib->modified, def->repoId, def);
    return true;
}

void markModified(kivTLib *tlib, kivTLibDef *def) {
    def->flags |= KIV_DEF_MODIFIED;
    kivHashInsert(tlib->modified, def->repoId, def);
}

bool addToScope(kivTLib *tlib, kivTLibDef *scope, const kivTLibDef *def) {
    if (!appendContent(scope, def->repoId)) return false;
    markModified(tlib, scope);
    return true;
}

kivResult autoFlush(kivTLib *tlib) {
    return (tlib->flags & KIV_TLIB_AUTOFLUSH) ? kivTLibFlush(tlib) : 0;
}

}  // namespace kiv::tlib

using namespace kiv::tlib;

extern "C" {

KIV_API kivResult kivTLibCreate(const char *path, uint32_t flags, kivTLib **out) {
    if (out) *out = nullptr;
    if (!path || !out || (flags & ~kCallerHandleFlags) || (flags & KIV_TLIB_READONLY))
        return KIV_E_INVALID_ARG;
    ustResult removed = ustRemoveFile(path);
    if (removed != 0 && removed != UST_E_NO_FILE) return removed;

    kivTLib *tlib = newHandle(flags);
    if (kivResult rc = tlib->store.create(path)) {
        destroyHandle(tlib);
        return rc;
    }
    tlib->anonymousScope = buildAnonymousScope();
    enterDefinition(tlib, &tlib->anonymousScope->header);
    // The scope reaches the file with the first flush; an auto-flushing handle only makes the
    // new file a valid, empty B-tree at once.
    if (flags & KIV_TLIB_AUTOFLUSH) {
        if (kivResult rc = tlib->store.syncCreated()) {
            destroyHandle(tlib);
            return rc;
        }
    }
    *out = tlib;
    return 0;
}

KIV_API kivResult kivTLibOpen(const char *path, uint32_t flags, kivTLib **out) {
    if (out) *out = nullptr;
    if (!path || !out || (flags & ~kCallerHandleFlags)) return KIV_E_INVALID_ARG;
    kivTLib *tlib = newHandle(flags);
    kivResult rc = tlib->store.open(path, isReadOnly(tlib));
    kivTLibDef *scope = nullptr;
    if (rc == 0) rc = kivTLibGetDefinition(tlib, KIV_TLIB_ANONYMOUS_SCOPE_ID, &scope);
    // A file without a valid anonymous-types scope module is not a type library.
    if (rc == KIV_E_UNKNOWN_REPOID || (rc == 0 && scope->kind != KIV_DEF_MODULE)) rc = KIV_E_FORMAT;
    if (rc != 0) {
        destroyHandle(tlib);
        return rc;
    }
    tlib->anonymousScope = as<kivTLibModuleDef>(scope);
    *out = tlib;
    return 0;
}

KIV_API kivResult kivTLibGetDefinition(kivTLib *tlib, const char *repoId, kivTLibDef **out) {
    if (out) *out = nullptr;
    if (!tlib || !repoId) return KIV_E_INVALID_ARG;
    auto *def = static_cast<kivTLibDef *>(kivHashGet(tlib->definitions, repoId));
    if (!def) {
        std::span<const uint8_t> value;
        kivResult code = 0;
        switch (tlib->store.get(keyOf(repoId), &value, &code)) {
            case Lookup::Failed:
                return code;
            case Lookup::Absent:
                return KIV_E_UNKNOWN_REPOID;
            case Lookup::Found:
                break;
        }
        if (kivResult rc = decode(value, &def)) return rc;
        // A record must carry the id it is stored under: the table is keyed by each
        // definition's own id, and a stranger would be decoded again on every lookup.
        if (std::strcmp(def->repoId, repoId) != 0) {
            releaseDefinition(def);
            return KIV_E_FORMAT;
        }
        kivHashInsert(tlib->definitions, def->repoId, def);
    }
    if (out) *out = def;
    return 0;
}

KIV_API kivResult kivTLibGetRoot(kivTLib *tlib, kivTLibDef **out) {
    if (out) *out = nullptr;
    kivTLibDef *root = nullptr;
    if (kivResult rc = kivTLibGetDefinition(tlib, KIV_TLIB_ROOT_ID, &root)) return rc;
    if (root->kind != KIV_DEF_MODULE) return KIV_E_BAD_KIND;
    if (out) *out = root;
    return 0;
}

KIV_API kivResult kivTLibFlush(kivTLib *tlib) {
    if (!tlib) return KIV_E_INVALID_ARG;
    if (isReadOnly(tlib)) return 0;
    if (!(tlib->flags & KIV_TLIB_COUNTER_MODIFIED) && tlib->modified->count == 0) return 0;
    kivResult rc = tlib->store.write([tlib](const Store::Snapshot &current, RecordBatch &out) {
        return pendingRecords(tlib, current, out);
    });
    // On failure the file is unchanged and everything stays pending for the next flush.
    if (rc == 0) clearPending(tlib);
    return rc;
}

KIV_API kivResult kivTLibClose(kivTLib *tlib) {
    if (!tlib) return KIV_E_INVALID_ARG;
    kivResult flushed = kivTLibFlush(tlib);
    kivResult closed = destroyHandle(tlib);
    return flushed ? flushed : closed;
}

}  // extern "C"
