// SPDX-License-Identifier: Apache-2.0
// A flush holds the writer lock (on the lock file beside the library) while it works and is durable
// when it returns: the new file's contents reach the disk, then its name. Seen through the
// runtime's file-system table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"
#include "tlib_fixtures.h"
#include "ust_fs.h"

namespace {

std::vector<std::string> events;
const ustFsTable *systemCalls;

// The file behind a descriptor, with a scratch file's random suffix made readable.
std::string nameOf(int fd) {
    char target[PATH_MAX];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    std::string name = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
    return std::regex_replace(name, std::regex("\\.tmp-[0-9a-f]{16}$"), ".tmp-X");
}

TEST(TLibDurability, FlushLocksThenSyncsTheNewFileThenItsFolder) {
    kivtest::TempDir dir;
    std::string folder = std::filesystem::canonical(dir.path()), path = folder + "/lib.tlb";
    systemCalls = ustFsGetTable();
    ustFsTable recording = *systemCalls;
    recording.fsync = [](int fd) {
        events.push_back("sync " + nameOf(fd));
        return systemCalls->fsync(fd);
    };
    recording.lockWrite = [](int fd) {
        // The lock must need write access, so that readers cannot hold writers off.
        bool writable = (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY;
        events.push_back(std::string(writable ? "lock " : "read-only lock ") + nameOf(fd));
        return systemCalls->lockWrite(fd);
    };
    recording.rename = [](const char *from, const char *to) {
        events.push_back("rename");
        return systemCalls->rename(from, to);
    };

    tlibtest::Handle t = tlibtest::create(path);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    for (int flush = 0; flush < 2; ++flush) {
        events.clear();
        ustFsSetTable(&recording);
        kivResult rc = kivTLibFlush(t.get());
        ustFsSetTable(nullptr);
        ASSERT_EQ(rc, 0u);
        EXPECT_EQ(events,
                  (std::vector<std::string>{"lock " + path + ".lock", "sync " + path + ".tmp-X",
                                            "rename", "sync " + folder}));
        std::string name(1, 'M');  // appended: GCC 12 warns falsely (-Wrestrict) about "M" + ...
        name += std::to_string(flush);
        std::string id = "IDL:" + name + ":1.0";
        ASSERT_EQ(
            kivTLibCreateModule(t.get(), name.c_str(), id.c_str(), KIV_TLIB_ROOT_ID, 0, nullptr),
            0u);
    }
}

}  // namespace
