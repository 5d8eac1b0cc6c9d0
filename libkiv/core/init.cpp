// SPDX-License-Identifier: Apache-2.0
// kivInitialize: the runtime layer, the installation root directory and the process-wide
// set-up of the component model.
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime.h"
#include "ust.h"

namespace {

char *rootDirectory = nullptr;

// Name of this library's own file on this platform, e.g. "libkiv.so".
std::string ownLibraryName() {
    std::string name;
    if (const char *prefix = ustGetDSOPrefix()) name += prefix;
    name += "kiv";
    if (const char *suffix = ustGetDSOSuffix()) name += suffix;
    return name.size() < 256 ? name : std::string();
}

// The directory holding this library's file, one level up when that directory is lib or bin;
// empty when any step fails.
std::string rootFromLibraryLocation() {
    std::string name = ownLibraryName();
    ustDSO *dso = nullptr;
    if (name.empty() || ustOpenDSO(name.c_str(), 0, &dso) != 0) return {};

    char path[1024];
    ustResult got = ustGetDSOPath(dso, path, sizeof path);
    ustCloseDSO(dso);
    if (got != 0) return {};

    std::string dir(std::strlen(path) + 1, '\0');
    if (ustGetDirname(path, dir.data(), dir.size()) != 0) return {};
    dir.resize(std::strlen(dir.c_str()));

    std::string base(dir.size() + 1, '\0');
    if (ustGetBasename(dir.c_str(), base.data(), base.size()) != 0) return {};
    base.resize(std::strlen(base.c_str()));
    if (base != "lib" && base != "bin") return dir;

    std::string parent(dir.size() + 1, '\0');
    if (ustGetDirname(dir.c_str(), parent.data(), parent.size()) != 0) return {};
    parent.resize(std::strlen(parent.c_str()));
    return parent;
}

}  // namespace

extern "C" {

const char *kivGetRootDir(void) {
    return rootDirectory;
}

KIV_API kivResult kivInitialize(void) noexcept {
    ustResult started = ustInitialize();
    if (KIV_FAILED(started)) return started;

    std::string root;
    const char *fromEnvironment = std::getenv("KIV_ROOT_DIR");
    if (fromEnvironment && *fromEnvironment)
        root = fromEnvironment;
    else
        root = rootFromLibraryLocation();
    // A previous root stays allocated: callers may still hold the pointer.
    if (!root.empty()) rootDirectory = kivStrDup(root.c_str());

    kiv::regdb::setUpProcess();
    kiv::com::setUpProcess();
    return 0;
}

}  // extern "C"
