// SPDX-License-Identifier: Apache-2.0
// Resolved type information: the descriptions handed out through kiv_call.h, with the layout
// and call data that the converters and the call machinery need.
#pragma once

#include <ffi.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ffi_types.h"
#include "kiv_call.h"
#include "kiv_tlib.h"

namespace kcall {

enum class LayoutState : uint8_t { pending, inProgress, done, failed };

struct Type : kcallType {
    LayoutState layout = LayoutState::pending;
    size_t unionOffset = 0;       // offset of the case storage `_u` in a union
    std::vector<size_t> offsets;  // structure members
    std::vector<kcallField> fieldStore;
};

struct Method;
struct Model;

struct ClosureFree {
    void operator()(ffi_closure *closure) const { ffi_closure_free(closure); }
};
using Closure = std::unique_ptr<ffi_closure, ClosureFree>;

struct Interface : kcallInterface {
    Model *model = nullptr;
    bool resolving = false;  // set while its bases and members are read: a base loop stops
    bool failed = false;     // resolution failed; kept so that later lookups fail at once
    std::vector<kcallMember> memberStore;
    std::deque<std::vector<kcallParam>> paramStore;

    // Prepared calls and the dynamic objects' function table, made on first use.
    std::mutex mutex;
    std::map<std::pair<const kcallMember *, uint32_t>, std::unique_ptr<Method>> methods;
    std::vector<void *> table;      // slotCount entries once built
    std::vector<Closure> closures;  // behind the table's member slots
};

// Everything read from one version of one library file, and everything made from it later
// (prepared calls, dynamic objects' tables and closures). Shared ownership: the catalog holds
// the current version of each library; dynamic objects and interface holds keep the version
// they use, so that a library read again after a change frees the old one once nothing uses it.
struct Model : std::enable_shared_from_this<Model> {
    Model();
    ~Model();
    Model(const Model &) = delete;
    Model &operator=(const Model &) = delete;

    std::string path;
    std::deque<std::string> strings;
    std::deque<Type> types;
    std::deque<Interface> interfaces;
    std::map<std::string, Type *> typeById;
    std::map<std::string, Interface *> interfaceById;

    const char *intern(std::string text) { return strings.emplace_back(std::move(text)).c_str(); }
};

// Keeps one version of a library's descriptions alive; empty for the built-in descriptions,
// which live as long as the library.
using ModelPin = std::shared_ptr<const Model>;
ModelPin pinOf(const Interface &iface);
// Models alive in this process, for tests of their lifetime.
size_t liveModelCount();

// A prepared call: the public description, the libffi call interface and per-argument plans.
struct Method : kcallMethod {
    ffi_cif cif{};
    std::vector<ffi_type *> argTypes;  // self, declared parameters, result pointer
    std::vector<uint32_t> directions;  // per value in args
    std::vector<const Type *> types;   // per value in args
    bool simple = false;               // every argument an `in` scalar, no result
    std::string slotNameText;          // what slotName points to
};

// Resolution of repository ids to descriptions (catalog.cpp). Thread-safe. With `pin`, the
// interface's library version is kept alive for as long as the pin is.
kivResult findInterface(const char *iid, const Interface **out, ModelPin *pin = nullptr);
// Holds taken through kcallHoldInterface; releaseHold is false for an interface not held.
kivResult holdInterface(const char *iid, const Interface **out);
bool releaseHold(const kcallInterface *iface);
kivResult findType(const char *repoId, const Type **out);
const Type *basicType(uint32_t kind);
inline const Type *asType(const kcallType *t) {
    return static_cast<const Type *>(t);
}
inline const Interface *asInterface(const kcallInterface *i) {
    return static_cast<const Interface *>(i);
}

// The calling thread's failure detail (errors.cpp).
kivResult fail(kivResult code, std::string detail);
void clearLastError();

}  // namespace kcall
