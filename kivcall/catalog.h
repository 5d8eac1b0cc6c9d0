// SPDX-License-Identifier: Apache-2.0
// Where type libraries come from: this process's registrations, the registry database and
// KIV_TLIB_PATH, in that order.
#pragma once

#include <string>
#include <vector>

#include "model.h"

namespace kcall {

struct RegisteredLibrary {
    std::string path;
    bool machine;  // false: the user root
};

// Libraries registered in the registry database: user root (variants 0, 1), then machine root.
std::vector<RegisteredLibrary> registeredLibraries();

// IUnknown, which every library may refer to without defining; null for other ids.
const Interface *builtinInterface(const char *iid);

kivResult locateInterface(const char *iid, std::string &path, uint32_t &source);

// Every interface the search serves: each id once, from the first library defining it.
struct ServedInterface {
    std::string iid;
    std::string name;  // scoped IDL name
    std::string library;
};
std::vector<ServedInterface> servedInterfaces();
void addProcessLibrary(const std::string &path);
bool removeProcessLibrary(const std::string &path);

}  // namespace kcall
