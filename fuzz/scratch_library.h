// SPDX-License-Identifier: Apache-2.0
// The one library path that a fuzz target writes in every run, in a private folder of its own.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ust_fs.h"

namespace kivfuzz {

// Created on the first call, named after `tag`; syncs are turned off for the whole process,
// since durability is not under test and syncs would dominate the time of a run.
inline std::string scratchLibrary(const char *tag) {
    static const std::string path = [tag] {
        static ustFsTable noSync = *ustFsGetTable();
        noSync.fsync = [](int) { return 0; };
        ustFsSetTable(&noSync);
        std::string dir = std::string("/tmp/kiv-") + tag + "-XXXXXX";
        if (!mkdtemp(dir.data())) std::abort();
        return dir + "/lib.tlb";
    }();
    return path;
}

}  // namespace kivfuzz
