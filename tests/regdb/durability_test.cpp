// SPDX-License-Identifier: Apache-2.0
// A registry flush is durable when it returns: it syncs the store's write-ahead log, where the
// committed changes are. This test stands in for fsync and fdatasync in the whole process (the
// database library calls them through the dynamic linker) to see every call.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "regdb/registry.h"
#include "regdb/store.h"
#include "test_support.h"

namespace {

std::vector<std::string> syncedPaths;

void record(int fd) {
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    syncedPaths.push_back(n > 0 ? std::string(target, static_cast<size_t>(n)) : link);
}

}  // namespace

// Exported, so that the dynamic linker binds the database library's calls to them.
extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    record(fd);
    return static_cast<int>(syscall(SYS_fsync, fd));
}
extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
    record(fd);
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace {

using namespace kiv::regdb;

TEST(RegistryDurability, FlushSyncsTheWriteAheadLog) {
    kivtest::TempDir dir;
    std::string path = std::filesystem::canonical(dir.path()).string() + "/registry.db";
    Store none{""}, user{path, StoreOwner::user};
    RegistryObject object{none, user};
    IRegistry *reg = object.interface();
    int32_t top, key;
    ASSERT_EQ(reg->vtbl->openUserRoot(reg, 0, KIV_REG_ACCESS_ALL, &top), 0u);
    ASSERT_EQ(reg->vtbl->openKey(reg, top, "K", KIV_REG_OPTION_CREATE, KIV_REG_ACCESS_ALL, 0, &key),
              0u);
    for (int round = 0; round < 2; ++round) {
        std::string text = "v" + std::to_string(round);
        RegistryValue value{};
        value.kind = KIV_REG_STRING;
        value.string = text.data();
        ASSERT_EQ(reg->vtbl->setValue(reg, key, "v", &value), 0u);
        syncedPaths.clear();
        ASSERT_EQ(reg->vtbl->flushKey(reg, key), 0u);
        EXPECT_EQ(syncedPaths, std::vector<std::string>{path + "-wal"}) << round;
    }
}

}  // namespace
