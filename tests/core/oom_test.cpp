// SPDX-License-Identifier: Apache-2.0
// Out of memory inside the library ends the process through kivFatal, whichever allocation
// fails: never an exception escaping to a C host, never a crash in the reporting path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_support.h"

namespace {

// The allocation limit for the host: the shim when the C library's malloc serves the process,
// the sanitizer's own limit when a sanitizer's allocator does (it takes no shim).
std::vector<std::string> limitedEnvironment(const std::string &userStore) {
    std::vector<std::string> env = {"LD_PRELOAD=" FAILING_MALLOC, "KIVTEST_MALLOC_LIMIT=1048576",
                                    "KIV_REGISTRY_USER=" + userStore,
                                    "KIV_REGISTRY_MACHINE=" + userStore + ".machine"};
    for (const char *name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char *options = std::getenv(name);
        env.push_back(std::string(name) + "=" + (options ? options : "") +
                      ":allocator_may_return_null=1:max_allocation_size_mb=1:detect_leaks=0");
    }
    return env;
}

TEST(OutOfMemory, EndsInFatalWithTheRuntimeText) {
    kivtest::TempDir tmp;
    for (const char *request : {"strdup", "list"}) {
        auto r = kivtest::runProcess({OOM_HOST, request}, limitedEnvironment(tmp.file("user.db")));
        EXPECT_EQ(r.exitCode, 1) << request << ": " << r.err;
        EXPECT_EQ(r.out.find("returned"), std::string::npos) << request << ": " << r.out;
        EXPECT_NE(r.err.find("Fatal: "), std::string::npos) << request << ": " << r.err;
        EXPECT_NE(r.err.find("can't allocate"), std::string::npos) << request << ": " << r.err;
        EXPECT_NE(r.err.find(": Cannot allocate memory\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("terminate"), std::string::npos) << request << ": " << r.err;
    }
}

}  // namespace
