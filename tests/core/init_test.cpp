// SPDX-License-Identifier: Apache-2.0
// The root directory as kivInitialize derives it, for copies of the shared library placed in
// different trees and loaded in a child process.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using kivtest::runProcess;
using kivtest::runShell;
using kivtest::TempDir;

std::string symbolOffset(const std::string &name) {
    auto r = runShell(std::string("nm --defined-only '") + KIV_SHARED_LIBRARY +
                      "' | awk '$3 == \"" + name + "\" {print $1}'");
    std::string out = r.out.substr(0, r.out.find('\n'));
    EXPECT_FALSE(out.empty()) << "no symbol " << name;
    return out;
}

struct Placement {
    const char *folder;      // below the temporary root
    const char *fileName;    // name of the copied library
    const char *rootDirEnv;  // KIV_ROOT_DIR, or null to unset it
    const char *expected;    // root directory relative to the temporary root, or an absolute one
};

class RootDirectory : public testing::TestWithParam<Placement> {};

TEST_P(RootDirectory, IsDerivedFromTheLibraryLocation) {
    const Placement &p = GetParam();
    TempDir tmp;
    std::string dir = tmp.file(p.folder);
    kivtest::makeDirs(dir);
    std::string library = dir + "/" + p.fileName;
    fs::copy_file(KIV_SHARED_LIBRARY, library);

    static const std::string initOffset = symbolOffset("kivInitialize");
    static const std::string rootOffset = symbolOffset("kivGetRootDir");
    std::vector<std::string> env = {p.rootDirEnv ? std::string("KIV_ROOT_DIR=") + p.rootDirEnv
                                                 : std::string("KIV_ROOT_DIR")};
    auto r = runProcess({ROOT_PROBE, library, initOffset, rootOffset}, env);
    ASSERT_EQ(r.exitCode, 0) << r.err;

    std::string expected = p.expected;
    if (expected != "(null)" && expected.front() != '/') expected = tmp.file(expected);
    EXPECT_EQ(r.out, "0 " + expected + "\n");
}

// Loaded by a relative path or through a relative search path, then the current folder
// changes before kivInitialize: the root is still the library's own folder's parent.
TEST(RootDirectory, DoesNotDependOnTheCurrentFolder) {
    TempDir tmp;
    kivtest::makeDirs(tmp.file("app/lib"));
    fs::copy_file(KIV_SHARED_LIBRARY, tmp.file("app/lib/libkiv.so.1"));
    const std::string offsets = symbolOffset("kivInitialize") + " " + symbolOffset("kivGetRootDir");
    for (const char *how : {"app/lib/libkiv.so.1", "libkiv.so.1"}) {
        auto r =
            runShell("cd '" + tmp.path() + "' && env -u KIV_ROOT_DIR LD_LIBRARY_PATH=app/lib " +
                     ROOT_PROBE + " " + how + " " + offsets + " /");
        EXPECT_EQ(r.out, "0 " + tmp.file("app") + "\n") << how << ": " << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Placements, RootDirectory,
    testing::Values(
        Placement{"app/lib", "libkiv.so.1", nullptr, "app"},
        Placement{"app/bin", "libkiv.so", nullptr, "app"},
        Placement{"app/lib", "libkiv.so.1.0.0", nullptr, "app"},
        Placement{"app/Lib", "libkiv.so.1", nullptr, "app/Lib"},
        Placement{"app/BIN", "libkiv.so.1", nullptr, "app/BIN"},
        Placement{"app/libs", "libkiv.so.1", nullptr, "app/libs"},
        Placement{"app/plugins/x", "libkiv.so.1", nullptr, "app/plugins/x"},
        Placement{"app/lib", "libkiv.so.1", "/opt/elsewhere", "/opt/elsewhere"},
        Placement{"app/lib", "libkiv.so.1", "", "app"},
        // A library that cannot find its own file by name runs without a root directory.
        Placement{"app/lib", "renamed.so", nullptr, "(null)"}));

}  // namespace
