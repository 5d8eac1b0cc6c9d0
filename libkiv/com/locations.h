// SPDX-License-Identifier: Apache-2.0
// Where persistent plug-in registrations live in the registry database, shared by the library's
// class resolution and the kiv tool's explanation of it (header only, no library internals).
#pragma once

#include <cstdint>

#include "kiv_com.h"

namespace kiv::com {

enum class Root { user, machine };

// A persistent location: a root of the registry database and one of its two variants.
struct PersistentLocation {
    Root root;
    uint32_t variant;  // 0 or 1
    const char *name;  // for people
};

// The persistent locations in the order in which classes are resolved (the process's own
// registrations come before all of them).
inline constexpr PersistentLocation kPersistentLocations[] = {
    {Root::user, 0, "user root, variant 0"},
    {Root::user, 1, "user root, variant 1"},
    {Root::machine, 0, "machine root, variant 0"},
    {Root::machine, 1, "machine root, variant 1"},
};

// First argument of openMachineRoot/openUserRoot naming the variant.
inline constexpr uint32_t rootSelector(uint32_t variant) {
    return 0x60000u + variant * 0x10000u;
}

// A registration is the value "DSO" (a string: the plug-in's path) in the key
// KIV/Classes/<class id> under a root.
inline constexpr const char *kProductKey = "KIV";
inline constexpr const char *kClassesKey = "Classes";
inline constexpr const char *kPathValue = "DSO";

// Access flags and options of the registry operations used for registrations.
inline constexpr uint32_t kAccessCreateSubkey = KIV_REG_ACCESS_CREATE_SUBKEY;  // also "register"
inline constexpr uint32_t kAccessQuery = KIV_REG_ACCESS_QUERY;
inline constexpr uint32_t kAccessReadClass = KIV_REG_ACCESS_READ;
inline constexpr uint32_t kAccessDeleteValue = KIV_REG_ACCESS_DELETE_VALUE;
inline constexpr uint32_t kAccessWriteClass = KIV_REG_ACCESS_WRITE | KIV_REG_ACCESS_SET;
inline constexpr uint32_t kOptionCreate = KIV_REG_OPTION_CREATE;
inline constexpr uint32_t kReservedTag = 0x3ffb32cc;  // the built-in registry ignores it

}  // namespace kiv::com
