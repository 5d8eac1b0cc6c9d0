// SPDX-License-Identifier: Apache-2.0
// Library files as untrusted input, and flushes that meet failing file systems: damaged files
// are refused whole, a flush never shrinks a library, a failed flush leaves the old file and
// everything pending, and the scratch file and lock give nothing away.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "damage.h"
#include "test_support.h"
#include "tlib/btree.h"
#include "tlib/db185.h"
#include "tlib/store.h"
#include "tlib_fixtures.h"
#include "ust_fs.h"

using namespace tlibtest;

namespace {

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
            // The library, its lock file, and a scratch file only when its unlink failed.
            EXPECT_LE(filesIn(other.path()), 3u);
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

// The first result of a host that opens a library read-only and looks up every id.
kivResult hostReading(const std::string &path, const std::vector<std::string> &ids) {
    kivTLib *t = nullptr;
    kivResult rc = kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t);
    for (size_t i = 0; rc == 0 && i < ids.size(); ++i)
        rc = kivTLibGetDefinition(t, ids[i].c_str(), nullptr);
    kivTLibClose(t);
    return rc;
}

bool passesWholeFileCheck(const std::string &bytes) {
    kiv::tlib::btree::Image image;
    return kiv::tlib::btree::Image::load({bytes.begin(), bytes.end()}, &image);
}

// Damage kinds that always break the file's structure when they change a byte.
bool breaksStructure(Damage kind) {
    switch (kind) {
        case Damage::Truncation:
        case Damage::ZeroedPage:
        case Damage::SwappedPages:
        case Damage::RandomAfterFirstPage:
        case Damage::NextPageZeroed:
        case Damage::Cycle:
            return true;
        default:
            return false;
    }
}

// One page of the damage kinds a host may be handed; the examples come from files that crashed
// earlier readers. Structural damage is refused by the whole-file check (and so by every
// flush), not only survived.
TEST(TLibUntrusted, DamagedFilesAreRefusedOrReadAndNeverShrunkByAFlush) {
    kivtest::TempDir dir;
    std::string base = dir.file("base.tlb"), path = dir.file("damaged.tlb");
    std::vector<std::string> ids = buildLibrary(base, 442);
    std::string good = kivtest::readFile(base);
    std::mt19937 random(20261206);
    for (int kind = 0; kind < kDamageKinds; ++kind)
        for (int i = 0; i < 12; ++i) {
            SCOPED_TRACE(std::string(damageName(Damage(kind))) + " " + std::to_string(i));
            std::string bad = damaged(good, Damage(kind), random);
            kivtest::writeFile(path, bad);
            // An empty file is a library created and never written.
            if (breaksStructure(Damage(kind)) && bad != good && !bad.empty()) {
                EXPECT_FALSE(passesWholeFileCheck(bad));
            }
            EXPECT_EQ(exercise(path, dir.file("copy.tlb"), ids), "");
        }

    const size_t leaf = linkedLeafPage(good);
    ASSERT_NE(leaf, 0u);
    // Sibling links are no part of any lookup's path: only the whole-file check sees them.
    struct Case {
        const char *what;
        size_t at;
        std::string bytes;
        bool onLookupPaths;
    } cases[] = {
        {"zeroed page", 15 * 1024, std::string(1024, '\0'), true},
        {"line pointer 20368", leaf * 1024 + 20, "\x4f\x90", true},
        {"next page zeroed", leaf * 1024 + 8, std::string(4, '\0'), false},
        {"next page back to itself", leaf * 1024 + 8,
         std::string("\0\0", 2) + char(leaf >> 8) + char(leaf), false},
        {"little-endian meta page", 0, "\x62\x31\x05\x00", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = good;
        bad.replace(c.at, c.bytes.size(), c.bytes);
        kivtest::writeFile(path, bad);
        EXPECT_FALSE(passesWholeFileCheck(bad));
        EXPECT_EQ(hostReading(path, ids), c.onLookupPaths ? KIV_E_FORMAT : 0u);
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
        // Owner-only until it has the library's group and mode.
        for (mode_t mode : createdModes) EXPECT_EQ(mode, 0600u) << std::oct << mode;
        ASSERT_EQ(stat(path.c_str(), &now), 0);
        EXPECT_EQ(now.st_mode & 07777, 0640u);
        EXPECT_EQ(now.st_ino == old.st_ino, c.inPlace);
        // The lock file carries the library's write bits only.
        ASSERT_EQ(stat((path + ".lock").c_str(), &now), 0);
        EXPECT_EQ(now.st_mode & 07777, 0200u);
        EXPECT_EQ(filesIn(dir.path()), 2u);
        if (rc != 0) {
            EXPECT_EQ(kivtest::readFile(path), before);
        }
        EXPECT_EQ(readRecords(path).count(key("IDL:Extra:1.0")), rc == 0 ? 1u : 0u);
    }
    umask(mask);
}

// Whatever a reader locks on the library, a flush does not wait: writers lock a file that
// readers cannot open. The reader is another process, as classic record locks of one process
// never conflict with each other; if the flush waited, the alarm would end the test.
TEST(TLibUntrusted, ReadersCannotBlockWriters) {
    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
    Handle t = create(path);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    ASSERT_EQ(kivTLibFlush(t.get()), 0u);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t reader = fork();
    if (reader == 0) {
        int fd = ::open(path.c_str(), O_RDONLY);
        struct flock range {};
        range.l_type = F_RDLCK;
        range.l_whence = SEEK_SET;
        bool locked = fd >= 0 && fcntl(fd, F_SETLK, &range) == 0 && flock(fd, LOCK_SH) == 0 &&
                      fcntl(::open(path.c_str(), O_RDONLY), F_OFD_SETLK, &range) == 0;
        char c = locked ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(addModule(t.get(), "A" + std::to_string(i)), 0u);
        alarm(20);
        EXPECT_EQ(kivTLibFlush(t.get()), 0u);
        alarm(0);
    }
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

// Damage that every reader must refuse, not only survive: the whole-file check names it,
// flushes write nothing, and a lookup that reaches it fails.
TEST(TLibUntrusted, StructuralDamageIsRefused) {
    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
    Records records;
    for (int i = 0; i < 100; ++i)
        records[key("IDL:K" + std::to_string(1000 + i) + ":1.0")] = Bytes(i == 50 ? 3000 : 30, 'v');
    putRecords(path, records);
    std::string good = kivtest::readFile(path);
    auto *bytes = reinterpret_cast<const uint8_t *>(good.data());
    uint32_t pages = uint32_t(good.size() / 1024);

    // The leaf with the long value, the second page of that value, and a leaf of short keys.
    kiv::tlib::btree::TreePage page;
    uint32_t secondOfChain = 0;
    size_t twinAt = 0, twinFrom = 0;
    std::string twinKey;
    for (uint32_t n = 1; n < pages; ++n) {
        if (!kiv::tlib::btree::readTreePage(bytes + size_t{n} * 1024, n, pages, &page,
                                            [](uint32_t, const std::string &) { return true; }) ||
            page.kind != kiv::tlib::btree::TreePage::kLeaf)
            continue;
        for (size_t i = 0; i < page.entries.size(); ++i) {
            const auto &e = page.entries[i];
            if (e.bigValue.size)
                secondOfChain = kiv::tlib::btree::be32(bytes + e.bigValue.first * 1024 + 8);
            if (i > 0 && !twinAt && !e.bigValue.size && !page.entries[i - 1].bigValue.size &&
                e.keySize == page.entries[i - 1].keySize) {
                twinAt = size_t{n} * 1024 + e.keyAt;
                twinFrom = size_t{n} * 1024 + page.entries[i - 1].keyAt;
                twinKey = std::string(page.inlineKey(page.entries[i - 1]));
            }
        }
    }
    ASSERT_NE(secondOfChain, 0u);
    ASSERT_NE(twinAt, 0u);
    std::string longValue = "IDL:K1050:1.0";

    struct Case {
        const char *what;
        size_t at;
        std::string bytes;
        std::string lookup;  // an id whose lookup reaches the damage, if any
    } cases[] = {
        {"a value's chain runs past the end", size_t{secondOfChain} * 1024 + 8,
         std::string("\x00\x00\x7f\x00", 4), longValue},
        {"a value's chain comes back to its own page", size_t{secondOfChain} * 1024 + 8,
         std::string("\0\0", 2) + char(secondOfChain >> 8) + char(secondOfChain), longValue},
        {"a key stored twice", twinAt, good.substr(twinFrom, twinKey.size()), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = good;
        bad.replace(c.at, c.bytes.size(), c.bytes);
        EXPECT_FALSE(passesWholeFileCheck(bad));
        kivtest::writeFile(path, bad);
        // Not a type library (it has no anonymous-types scope): its store is used directly.
        kiv::tlib::Store store;
        ASSERT_EQ(store.open(path.c_str(), false), 0u);
        if (!c.lookup.empty()) {
            std::span<const uint8_t> value;
            kivResult rc = 0;
            EXPECT_EQ(store.get(key(c.lookup), &value, &rc), kiv::tlib::Lookup::Failed);
            EXPECT_EQ(rc, KIV_E_FORMAT);
        }
        EXPECT_EQ(store.write([](const kiv::tlib::Store::Snapshot &, kiv::tlib::RecordBatch &) {
            return kivResult{0};
        }),
                  KIV_E_FORMAT);
        EXPECT_EQ(kivtest::readFile(path), bad);
    }
}

}  // namespace
