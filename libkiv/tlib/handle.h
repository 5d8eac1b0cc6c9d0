// SPDX-License-Identifier: Apache-2.0
// The type library handle and the steps that the creating operations share with it.
//
// A handle owns every definition it has decoded or created (the `definitions` table, keyed by
// each definition's own interned repoId) until kivTLibClose. `modified` holds the definitions
// created or changed since the last successful flush; it owns nothing.
// A flush writes exactly those (plus the local id counter when it advanced) through the store
// (store.h), which replaces the file atomically: a new definition as it was encoded when it was
// entered, any other encoded as the flush puts it.
//
// A creating operation, once its checks have passed and it has built its definition with the
// model's build* functions (model.h), ends with:
//     addToScope(tlib, scope, def);        // not for the root module
//     enterDefinition(tlib, def);
//     if (kivResult rc = autoFlush(tlib)) return rc;
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "kiv_tlib.h"
#include "tlib/store.h"

struct kivHashTable;

namespace kiv::tlib {

// A set of definitions by address, listed in the order they were added (open addressing, at
// most half full): adding allocates nothing per definition, and a flush lists and clears it in
// one sweep each.
//
// A definition entered new can carry its record, encoded at once while the definition is
// still in the processor's cache. The records lie side by side, key and value, in the order
// the definitions were entered, which is close to key order when definitions are created scope
// by scope: a flush of many new definitions reads them in one sweep instead of visiting each
// definition. Any change of the definition afterwards goes through insert(), which drops its
// record.
class DefinitionSet {
  public:
    // Adds `def`, or, when it is there already, forgets its encoded record: the definition
    // changed. False in the second case.
    bool insert(kivTLibDef *def);
    // Adds `def` with its record (key `def->repoId` plus NUL) encoded now. False, changing
    // nothing, when it is there already.
    bool insertEncoded(kivTLibDef *def);
    bool contains(const kivTLibDef *def) const;
    uint32_t size() const { return static_cast<uint32_t>(members_.size()); }
    // Every definition once, in the order added.
    std::span<kivTLibDef *const> members() const { return members_; }
    // The record encoded for members()[i], when the definition has not changed since.
    bool encoded(size_t i, std::string_view *key, std::span<const uint8_t> *value) const;
    // Empties the set and releases its memory.
    void clear();

  private:
    struct Record {
        size_t at;  // of the key in bytes_; the value follows it
        uint32_t keySize, valueSize;
    };
    static constexpr uint32_t kNone = UINT32_MAX;

    size_t slotOf(const kivTLibDef *def) const;
    // The position of `def` in members_, added when missing (*added tells).
    uint32_t find(kivTLibDef *def, bool *added);
    void grow();

    std::vector<uint32_t> slots_;  // kNone or a position in members_; the size is 0 or a power of 2
    std::vector<kivTLibDef *> members_;
    std::vector<uint32_t> recordOf_;  // for each member, its record in records_, or kNone
    std::vector<Record> records_;
    RecordBuffer bytes_;
};

}  // namespace kiv::tlib

struct kivTLib {
    kiv::tlib::Store store;   // the file
    uint32_t flags;           // KIV_TLIB_*
    uint32_t localIdCounter;  // next local id number; 0 until first loaded
    kivHashTable *definitions;
    kiv::tlib::DefinitionSet modified;
    kivTLibModuleDef *anonymousScope;  // also an entry of definitions
};

namespace kiv::tlib {

inline bool isReadOnly(const kivTLib *tlib) {
    return (tlib->flags & KIV_TLIB_READONLY) != 0;
}

// Puts a new definition into `definitions` (under its own repoId) and then into `modified`.
// Returns false when `definitions` already holds that id (nothing is inserted then).
bool enterDefinition(kivTLib *tlib, kivTLibDef *def);

// Records that a definition of the handle changed: sets KIV_DEF_MODIFIED and puts it into
// `modified` (no change when it is there already).
void markModified(kivTLib *tlib, kivTLibDef *def);

// Lists `def` in the contents of `scope` (a module, interface, structure or union of this
// handle) and marks the scope modified. Returns false, changing nothing, for a scope of any
// other kind; callers check the scope's kind before building.
bool addToScope(kivTLib *tlib, kivTLibDef *scope, const kivTLibDef *def);

// kivTLibFlush when the handle has KIV_TLIB_AUTOFLUSH, else 0.
kivResult autoFlush(kivTLib *tlib);

}  // namespace kiv::tlib
