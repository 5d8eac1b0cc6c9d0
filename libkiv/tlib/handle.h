// SPDX-License-Identifier: Apache-2.0
// The type library handle and the steps that the creating operations share with it.
//
// A handle owns every definition it has decoded or created (the `definitions` table, keyed by
// each definition's own interned repoId) until kivTLibClose. `modified` holds the definitions
// created or changed since the last successful flush; it owns nothing.
// A flush encodes exactly those (plus the local id counter when it advanced) and writes them
// through the store (store.h), which replaces the file atomically.
//
// A creating operation, once its checks have passed and it has built its definition with the
// model's build* functions (model.h), ends with:
//     addToScope(tlib, scope, def);        // not for the root module
//     enterDefinition(tlib, def);
//     if (kivResult rc = autoFlush(tlib)) return rc;
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kiv_tlib.h"
#include "tlib/store.h"

struct kivHashTable;

namespace kiv::tlib {

// A set of definitions by address, in one array (open addressing, at most half full): adding
// allocates nothing per definition, and a flush lists and clears it in one sweep each.
class DefinitionSet {
  public:
    // Adds `def`; false when it is there already.
    bool insert(kivTLibDef *def);
    bool contains(const kivTLibDef *def) const;
    uint32_t size() const { return count_; }
    // The slots: every definition once, in no particular order, and nulls in between.
    std::span<kivTLibDef *const> slots() const { return slots_; }
    // Empties the set and releases its memory.
    void clear();

  private:
    size_t slotOf(const kivTLibDef *def) const;
    void grow();

    std::vector<kivTLibDef *> slots_;  // null or a definition; the size is 0 or a power of two
    uint32_t count_ = 0;
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
