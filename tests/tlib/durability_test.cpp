// A flush is durable when it returns: the new file's contents reach the disk, then its name.
// The file's own fsync is the 1.85 library's, inside its sync; this test stands in for fsync in
// the whole process (the library calls it through the dynamic linker) to see every call.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "tlib_fixtures.h"

namespace {

std::vector<std::string> syncedPaths;

}  // namespace

// Exported, so that the dynamic linker binds the 1.85 library's fsync calls to it.
extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    syncedPaths.push_back(n > 0 ? std::string(target, static_cast<size_t>(n)) : link);
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

TEST(TLibDurability, FlushSyncsTheNewFileOnceThenItsFolder) {
    kivtest::TempDir dir;
    std::string folder = std::filesystem::canonical(dir.path()), path = folder + "/lib.tlb";

    tlibtest::Handle t = tlibtest::create(path);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    for (int flush = 0; flush < 2; ++flush) {
        syncedPaths.clear();
        ASSERT_EQ(kivTLibFlush(t.get()), 0u);
        EXPECT_EQ(syncedPaths, (std::vector<std::string>{path + ".new", folder}));
        std::string name = "M" + std::to_string(flush), id = "IDL:" + name + ":1.0";
        ASSERT_EQ(
            kivTLibCreateModule(t.get(), name.c_str(), id.c_str(), KIV_TLIB_ROOT_ID, 0, nullptr),
            0u);
    }
}

}  // namespace
