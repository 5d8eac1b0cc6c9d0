// SPDX-License-Identifier: Apache-2.0
// Library files as untrusted input, and flushes that meet failing file systems: damaged files
// are refused whole, a flush never shrinks a library, a failed flush leaves the old file and
// everything pending, and the scratch file and lock give nothing away.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "damage.h"
#include "test_support.h"
#include "tlib/db185.h"
#include "tlib_fixtures.h"
#include "ust_fs.h"

using namespace tlibtest;

namespace {

kivResult openResult(const std::string &path, uint32_t flags = 0) {
    kivTLib *t = nullptr;
    kivResult rc = kivTLibOpen(path.c_str(), flags, &t);
    kivTLibClose(t);
    return rc;
}

kivResult addModule(kivTLib *t, const std::string &name) {
    return kivTLibCreateModule(t, name.c_str(), ("IDL:" + name + ":1.0").c_str(), KIV_TLIB_ROOT_ID,
                               0, nullptr);
}

size_t filesIn(const std::string &folder) {
    auto files = std::filesystem::directory_iterator(folder);
    return static_cast<size_t>(std::distance(begin(files), end(files)));
}

// The file system calls of a flush fail one by one, with a full disk and with a failing device.
TEST(TLibUntrusted, EachFailingCallOfAFlushLeavesOldOrNewAndTheRetryWritesAll) {
    kivtest::TempDir dir, other;
    std::string base = dir.file("base.tlb"), path = other.file("lib.tlb");
    std::vector<std::string> ids = buildLibrary(base, 1000);
    std::string old = kivtest::readFile(base);
    const char *added[] = {"Added1", "Added2", "Added3"};
    auto pending = [&] {
        kivtest::writeFile(path, old);
        Handle t = open(path);
        for (const char *name : added) EXPECT_EQ(addModule(t.get(), name), 0u);
        return t;
    };
    // A flush without faults: its calls and the file it leaves.
    Handle t = pending();
    uint64_t first = ustFsCallCount(UST_FS_CALL_KINDS);
    ASSERT_EQ(kivTLibFlush(t.get()), 0u);
    uint64_t calls = ustFsCallCount(UST_FS_CALL_KINDS) - first;
    // The database library leaves padding bytes unset, so files compare by their records.
    Records before = readRecords(base), written = readRecords(path);
    EXPECT_GE(calls, 8u);

    // Another library on another folder, to show that the process stays usable.
    std::string bystander = dir.file("other.tlb");
    Handle b = create(bystander);
    ASSERT_EQ(kivTLibCreateRoot(b.get(), 0, nullptr), 0u);
    for (int err : {ENOSPC, EIO}) {
        for (uint64_t nth = 1; nth <= calls; ++nth) {
            SCOPED_TRACE("errno " + std::to_string(err) + ", call " + std::to_string(nth));
            t = pending();
            ustFsInjectFault(nth, err, 0);
            kivResult rc = kivTLibFlush(t.get());
            ustFsInjectFault(0, 0, 0);
            Records now = readRecords(path);
            EXPECT_TRUE(now == before || now == written);
            if (rc == 0) {
                EXPECT_TRUE(now == written);
            }
            EXPECT_LE(filesIn(other.path()), 2u);  // a scratch file only when its unlink failed
            std::string name = "B_" + std::to_string(err);
            name.append("_").append(std::to_string(nth));
            ASSERT_EQ(addModule(b.get(), name), 0u);
            EXPECT_EQ(kivTLibFlush(b.get()), 0u);

            EXPECT_EQ(kivTLibFlush(t.get()), 0u);
            EXPECT_EQ(kivTLibClose(t.release()), 0u);
            Handle reader = open(path, KIV_TLIB_READONLY);
            size_t found = 0;
            for (const std::string &id : ids)
                found += kivTLibGetDefinition(reader.get(), id.c_str(), nullptr) == 0;
            for (const char *name : added)
                found +=
                    kivTLibGetDefinition(
                        reader.get(), ("IDL:" + std::string(name) + ":1.0").c_str(), nullptr) == 0;
            EXPECT_EQ(found, ids.size() + std::size(added));
            for (auto &entry : std::filesystem::directory_iterator(other.path()))
                if (entry.path() != path) std::filesystem::remove(entry.path());
        }
    }
}

// One page of the damage kinds a host may be handed; the examples come from files that crashed
// earlier readers.
TEST(TLibUntrusted, DamagedFilesAreRefusedOrReadAndNeverShrunkByAFlush) {
    kivtest::TempDir dir;
    std::string base = dir.file("base.tlb"), path = dir.file("damaged.tlb");
    std::vector<std::string> ids = buildLibrary(base, 442);
    std::string good = kivtest::readFile(base);
    std::mt19937 random(20261206);
    for (int kind = 0; kind < kDamageKinds; ++kind)
        for (int i = 0; i < 12; ++i) {
            SCOPED_TRACE(std::string(damageName(Damage(kind))) + " " + std::to_string(i));
            kivtest::writeFile(path, damaged(good, Damage(kind), random));
            EXPECT_EQ(exercise(path, dir.file("copy.tlb"), ids), "");
        }

    auto be32 = [&good](size_t at) {
        return uint32_t(uint8_t(good[at])) << 24 | uint32_t(uint8_t(good[at + 1])) << 16 |
               uint32_t(uint8_t(good[at + 2])) << 8 | uint8_t(good[at + 3]);
    };
    size_t leaf = 0;
    for (size_t p = 1; p < good.size() / 1024 && !leaf; ++p)
        if (be32(p * 1024 + 12) == 2 && be32(p * 1024 + 8) != 0) leaf = p;
    ASSERT_NE(leaf, 0u);
    struct Case {
        const char *what;
        size_t at;
        std::string bytes;
    } cases[] = {
        {"zeroed page", 15 * 1024, std::string(1024, '\0')},
        {"line pointer 20368", leaf * 1024 + 20, "\x4f\x90"},
        {"next page zeroed", leaf * 1024 + 8, std::string(4, '\0')},
        {"next page back to itself", leaf * 1024 + 8,
         std::string("\0\0", 2) + char(leaf >> 8) + char(leaf)},
        {"little-endian meta page", 0, "\x62\x31\x05\x00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = good;
        bad.replace(c.at, c.bytes.size(), c.bytes);
        kivtest::writeFile(path, bad);
        EXPECT_EQ(openResult(path, KIV_TLIB_READONLY), KIV_E_FORMAT);
        // A writer that opened the file before the damage refuses to flush and writes nothing.
        kivtest::writeFile(path, good);
        Handle t = open(path);
        ASSERT_EQ(addModule(t.get(), "Late"), 0u);
        kivtest::writeFile(path, bad);
        EXPECT_EQ(kivTLibFlush(t.get()), KIV_E_FORMAT);
        EXPECT_EQ(kivtest::readFile(path), bad);
        kivtest::writeFile(path, good);
        EXPECT_EQ(kivTLibClose(t.release()), 0u);
        EXPECT_EQ(readRecords(path).count(key("IDL:Late:1.0")), 1u);
    }
}

// Only regular files are read, created over or replaced; nothing blocks on a FIFO.
TEST(TLibUntrusted, OnlyRegularFilesAreLibraries) {
    kivtest::TempDir dir;
    std::string fifo = dir.file("fifo"), folder = dir.file("folder"), hash = dir.file("hash");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kivtest::makeDirs(folder);
    DB *db = dbopen(hash.c_str(), O_RDWR | O_CREAT, 0600, DB_HASH, nullptr);
    ASSERT_NE(db, nullptr);
    DBT k{const_cast<char *>("k"), 1}, v{const_cast<char *>("v"), 1};
    db->put(db, &k, &v, 0);
    db->close(db);

    for (const std::string &path : {fifo, folder}) {
        kivTLib *t = nullptr;
        EXPECT_EQ(kivTLibCreate(path.c_str(), 0, &t), KIV_E_INVALID_ARG) << path;
        EXPECT_TRUE(std::filesystem::exists(path));
    }
    EXPECT_EQ(openResult(fifo), KIV_E_FORMAT);
    EXPECT_EQ(openResult(fifo, KIV_TLIB_READONLY), KIV_E_FORMAT);
    EXPECT_EQ(openResult(hash, KIV_TLIB_READONLY), KIV_E_FORMAT);
    EXPECT_EQ(openResult(dir.file("missing")), KIV_E_SYSTEM(ENOENT));
}

const ustFsTable *systemCalls;
std::vector<mode_t> createdModes;
int failCreates = 0, createErrno = 0;
bool refuseRename = false;

int recordingOpen(const char *path, int flags, mode_t mode) {
    if (flags & O_CREAT) {
        createdModes.push_back(mode);
        if (failCreates > 0) {
            --failCreates;
            errno = createErrno;
            return -1;
        }
    }
    return systemCalls->open(path, flags, mode);
}

// The scratch file: never more readable than the library, not held up by names others took,
// and replaced by writing the library itself when the folder cannot be written.
TEST(TLibUntrusted, ScratchFileModeSquattersAndUnwritableFolders) {
    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
    systemCalls = ustFsGetTable();
    ustFsTable table = *systemCalls;
    table.open = recordingOpen;
    table.rename = [](const char *from, const char *to) {
        if (!refuseRename) return systemCalls->rename(from, to);
        errno = EPERM;
        return -1;
    };
    struct Case {
        const char *what;
        int failCreates, createErrno;
        bool refuseRename;
        int writeFault;
        bool inPlace;
        kivResult result;
    } cases[] = {
        {"plain", 0, 0, false, 0, false, 0},
        {"names taken", 5, EEXIST, false, 0, false, 0},
        {"folder not writable", 1, EACCES, false, 0, true, 0},
        {"sticky folder, another owner's file", 0, 0, true, 0, true, 0},
        {"folder not writable, disk full", 1, EACCES, false, ENOSPC, true, KIV_E_SYSTEM(ENOSPC)},
    };
    mode_t mask = umask(0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        {
            Handle t = create(path);
            addEveryKind(t.get());
        }
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        std::string before = kivtest::readFile(path);
        struct stat old, now;
        ASSERT_EQ(stat(path.c_str(), &old), 0);
        Handle t = open(path);
        ASSERT_EQ(addModule(t.get(), "Extra"), 0u);
        createdModes.clear();
        failCreates = c.failCreates;
        createErrno = c.createErrno;
        refuseRename = c.refuseRename;
        ustFsSetTable(&table);
        if (c.writeFault) ustFsInjectFault(1, c.writeFault, 1u << UST_FS_WRITE);
        kivResult rc = kivTLibFlush(t.get());
        ustFsInjectFault(0, 0, 0);
        ustFsSetTable(nullptr);
        EXPECT_EQ(rc, c.result);
        for (mode_t mode : createdModes) EXPECT_EQ(mode & ~mode_t{0640}, 0u) << std::oct << mode;
        ASSERT_EQ(stat(path.c_str(), &now), 0);
        EXPECT_EQ(now.st_mode & 07777, 0640u);
        EXPECT_EQ(now.st_ino == old.st_ino, c.inPlace);
        EXPECT_EQ(filesIn(dir.path()), 1u);
        if (rc != 0) {
            EXPECT_EQ(kivtest::readFile(path), before);
        }
        EXPECT_EQ(readRecords(path).count(key("IDL:Extra:1.0")), rc == 0 ? 1u : 0u);
    }
    umask(mask);
}

// A reader's lock cannot hold a writer off: the writer lock needs write access.
TEST(TLibUntrusted, ReadersCannotBlockWriters) {
    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
    Handle t = create(path);
    ASSERT_EQ(kivTLibFlush(t.get()), 0u);
    int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(reader, LOCK_EX), 0);
    ASSERT_EQ(addModule(t.get(), "A"), KIV_E_UNKNOWN_SCOPE);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    EXPECT_EQ(kivTLibFlush(t.get()), 0u);
    ::close(reader);
}

}  // namespace
