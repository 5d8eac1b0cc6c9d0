// SPDX-License-Identifier: Apache-2.0
// The type library handle: create, open, look up, flush, close.
#include "tlib/handle.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "core/hash.h"
#include "tlib/codec.h"
#include "tlib/model.h"
#include "ust.h"
#include "ust_fs.h"

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
    return tlib;
}

// Releases the tables, every definition and the handle; closes the file. Returns the close's
// result.
kivResult destroyHandle(kivTLib *tlib) {
    kivHashDestroy(tlib->definitions, releaseDefinitionCallback);
    kivResult rc = tlib->store.close();
    tlib->~kivTLib();
    kivFree(tlib);
    return rc;
}

// Another handle may have listed definitions in this scope since we read it: keep what the
// file lists and we do not, after our own contents, so that neither writer loses the other's.
// *changed tells whether the scope gained any.
kivResult keepStoredContents(const Store::Snapshot &current, std::string_view key,
                             kivTLibDef *scope, bool *changed) {
    *changed = false;
    std::span<const uint8_t> value;
    kivResult code = 0;
    Lookup found = current.get(key, &value, &code);
    if (found == Lookup::Failed) return code;
    kivTLibDef *stored = nullptr;
    if (found == Lookup::Absent || decode(value, &stored) != 0) return 0;  // ours replaces it
    DefinitionPtr guard(stored);
    if (stored->kind != scope->kind) return 0;
    std::unordered_set<std::string_view> ours;
    for (const char *id : contentsOf(scope)) ours.insert(id);
    for (const char *id : contentsOf(stored))
        if (id && ours.insert(id).second) *changed |= appendContent(scope, id);
    return 0;
}

void encodeDefinition(void *def, RecordBuffer &out) {
    encodeInto(static_cast<kivTLibDef *>(def), out);
}

// The records of the modified definitions (plus the counter when it advanced): each as it was
// encoded when it was entered, when it has not changed since, else encoded as the store puts
// it, in key order.
kivResult pendingRecords(kivTLib *tlib, const Store::Snapshot &current, RecordBatch &out) {
    out.reserve(tlib->modified.size() + 1);
    if (tlib->flags & KIV_TLIB_COUNTER_MODIFIED) {
        std::string counter = encodeCounter(tlib->localIdCounter);
        out.add(keyOf(KIV_TLIB_LOCAL_COUNTER_ID),
                {reinterpret_cast<const uint8_t *>(counter.data()), counter.size()});
    }
    // A record encoded earlier spares visiting its definition, unless the file holds its key.
    std::span<kivTLibDef *const> members = tlib->modified.members();
    for (size_t i = 0; i < members.size(); ++i) {
        kivTLibDef *def = members[i];
        std::string_view key;
        std::span<const uint8_t> value;
        bool unchanged = tlib->modified.encoded(i, &key, &value);
        if (!unchanged) key = keyOf(def->repoId);
        if (current.contains(key) && isScopeKind(def->kind)) {
            bool changed = false;
            if (kivResult rc = keepStoredContents(current, key, def, &changed)) return rc;
            unchanged &= !changed;
        }
        if (unchanged)
            out.addUnchanging(key, value);
        else
            out.addEncoded(key, encodeDefinition, def);
    }
    return 0;
}

void clearPending(kivTLib *tlib) {
    tlib->flags &= ~KIV_TLIB_COUNTER_MODIFIED;
    for (kivTLibDef *def : tlib->modified.members()) def->flags &= ~KIV_DEF_MODIFIED;
    tlib->modified.clear();
}

// Hashes an address: the multiplier spreads every bit into the high bits that pick the slot.
uint64_t addressHash(const void *p) {
    return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull;
}

}  // namespace

// ---- DefinitionSet ------------------------------------------------------------------------------

size_t DefinitionSet::slotOf(const kivTLibDef *def) const {
    int bits = std::countr_zero(slots_.size());
    return bits == 0 ? 0 : static_cast<size_t>(addressHash(def) >> (64 - bits));
}

bool DefinitionSet::contains(const kivTLibDef *def) const {
    if (slots_.empty()) return false;
    size_t mask = slots_.size() - 1;
    for (size_t i = slotOf(def);; i = (i + 1) & mask) {
        if (slots_[i] == kNone) return false;
        if (members_[slots_[i]] == def) return true;
    }
}

uint32_t DefinitionSet::find(kivTLibDef *def, bool *added) {
    if (2 * (members_.size() + 1) > slots_.size()) grow();
    size_t mask = slots_.size() - 1;
    for (size_t i = slotOf(def);; i = (i + 1) & mask) {
        *added = slots_[i] == kNone;
        if (*added) {
            slots_[i] = static_cast<uint32_t>(members_.size());
            members_.push_back(def);
            recordOf_.push_back(kNone);
            return slots_[i];
        }
        if (members_[slots_[i]] == def) return slots_[i];
    }
}

bool DefinitionSet::insert(kivTLibDef *def) {
    bool added = false;
    recordOf_[find(def, &added)] = kNone;
    return added;
}

bool DefinitionSet::insertEncoded(kivTLibDef *def) {
    bool added = false;
    uint32_t member = find(def, &added);
    if (!added) return false;
    std::string_view key = keyOf(def->repoId);
    size_t at = bytes_.size();
    bytes_.insert(bytes_.end(), key.begin(), key.end());
    encodeInto(def, bytes_);
    recordOf_[member] = static_cast<uint32_t>(records_.size());
    records_.push_back({at, static_cast<uint32_t>(key.size()),
                        static_cast<uint32_t>(bytes_.size() - at - key.size())});
    return true;
}

bool DefinitionSet::encoded(size_t i, std::string_view *key,
                            std::span<const uint8_t> *value) const {
    if (recordOf_[i] == kNone) return false;
    const Record &record = records_[recordOf_[i]];
    const uint8_t *bytes = bytes_.data() + record.at;
    *key = {reinterpret_cast<const char *>(bytes), record.keySize};
    *value = {bytes + record.keySize, record.valueSize};
    return true;
}

void DefinitionSet::grow() {
    slots_.assign(std::max<size_t>(16, 2 * slots_.size()), kNone);
    size_t mask = slots_.size() - 1;
    for (uint32_t member = 0; member < members_.size(); ++member) {
        size_t i = slotOf(members_[member]);
        while (slots_[i] != kNone) i = (i + 1) & mask;
        slots_[i] = member;
    }
}

void DefinitionSet::clear() {
    std::vector<uint32_t>().swap(slots_);
    std::vector<kivTLibDef *>().swap(members_);
    std::vector<uint32_t>().swap(recordOf_);
    std::vector<Record>().swap(records_);
    RecordBuffer().swap(bytes_);
}

// ---- Handle steps -------------------------------------------------------------------------------

bool enterDefinition(kivTLib *tlib, kivTLibDef *def) {
    if (!kivHashInsert(tlib->definitions, def->repoId, def)) return false;
    tlib->modified.insertEncoded(def);
    return true;
}

void markModified(kivTLib *tlib, kivTLibDef *def) {
    def->flags |= KIV_DEF_MODIFIED;
    tlib->modified.insert(def);
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
    // Only a library file is replaced: never a device, a FIFO, a socket or a folder.
    struct stat existing;
    if (ustFsStat(path, &existing) == 0 && !S_ISREG(existing.st_mode)) return KIV_E_INVALID_ARG;
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
    if (!(tlib->flags & KIV_TLIB_COUNTER_MODIFIED) && tlib->modified.size() == 0) return 0;
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
