// SPDX-License-Identifier: Apache-2.0
// Files that the database library writes with histories our own writer never makes, read by
// lookups and by the whole-file check; and lookups that meet damage late or a file rewritten
// under them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "damage.h"
#include "test_support.h"
#include "tlib/btree.h"
#include "tlib/reader.h"
#include "tlib/store.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using namespace tlibtest;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

DBT dbt(const std::string &s) {
    return DBT{const_cast<char *>(s.data()), s.size()};
}

// Every record the database library's own scan yields, in its order.
Pairs scanWithLibrary(const std::string &path) {
    Database db;
    EXPECT_EQ(Database::open(path, O_RDONLY, 0, &db), 0u);
    Pairs out;
    DBT k{}, v{};
    for (unsigned flag = kDbFirst; db.get()->seq(db.get(), &k, &v, flag) == kDbSuccess;
         flag = kDbNext)
        out.emplace_back(std::string(static_cast<char *>(k.data), k.size),
                         std::string(static_cast<char *>(v.data), v.size));
    return out;
}

// Looks `key` up in the file at `path` as a handle's store does, on a fresh reader.
struct Looked {
    kivResult rc;
    bool found;
    std::string value;
};
Looked lookUp(btree::Reader &reader, const std::string &key) {
    std::vector<uint8_t> value;
    Looked out{};
    out.rc = reader.find(key, &out.found, value);
    out.value.assign(value.begin(), value.end());
    return out;
}

btree::Reader readerOf(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    btree::Reader reader;
    reader.open(fd, static_cast<uint64_t>(st.st_size));
    return reader;
}

std::vector<uint8_t> fileBytes(const std::string &path) {
    std::string s = kivtest::readFile(path);
    return {s.begin(), s.end()};
}

// A random history: puts of short and long keys, replacements, deletes, and either values
// kept in overflow pages or syncs and reopens. The database library on this host cannot have
// both: it converts an overflow value's reference wrongly when it writes or reads a page, and
// then follows it.
// The keys it deleted go into *deleted; false when the database library failed.
bool writeRandomHistory(const std::string &path, std::mt19937 &random,
                        std::set<std::string> *deleted) {
    std::set<std::string> keys;
    Database db;
    // A cache that holds the whole file: no page is read back before a reopen.
    constexpr unsigned kCache = 16u << 20;
    if (Database::open(path, O_RDWR | O_CREAT | O_TRUNC, 0600, &db, kCache) != 0) return false;
    bool descending = random() % 4 == 0, bigValues = random() % 2 == 0;
    int operations = 100 + int(random() % 400);
    for (int i = 0; i < operations; ++i) {
        DB *d = db.get();
        unsigned what = random() % 100;
        std::string key;
        if (descending) {
            // Long keys put in descending order make tall trees of one entry per page.
            key = std::string(330, 'q') + std::to_string(100000 - i);
        } else if (what < 60 || keys.empty()) {
            // Long keys stay below the size (about 490 bytes) that moves a key to overflow
            // pages: the database library mixes up the order of those and then fails itself.
            size_t size = random() % 8 == 0 ? 300 + random() % 60 : 4 + random() % 40;
            key = std::string(size, char('a' + random() % 26)) + std::to_string(random());
        } else {
            auto it = keys.begin();
            std::advance(it, random() % keys.size());
            key = *it;
        }
        if (what < 80) {
            size_t size = bigValues && random() % 6 == 0 ? 1000 + random() % 4000 : random() % 100;
            std::string value(size, char('A' + random() % 26));
            DBT k = dbt(key), v = dbt(value);
            if (d->put(d, &k, &v, 0) != kDbSuccess) return false;
            keys.insert(key);
        } else if (what < 92) {
            DBT k = dbt(key);
            d->del(d, &k, 0);
            keys.erase(key);
            deleted->insert(key);
        } else if (bigValues) {
            continue;
        } else if (what < 96) {
            if (d->sync(d, 0) != 0) return false;
        } else if (db.close() != 0 || Database::open(path, O_RDWR, 0, &db, kCache) != 0) {
            return false;
        }
    }
    return db.close() == 0;
}

// Writes a random history in a child process, as the database library crashes on some (a
// page split that meets records out of order); false when it did. The deleted keys travel
// back through a file.
bool writtenInChild(const std::string &path, std::mt19937 &random, std::set<std::string> *deleted) {
    std::string list = path + ".deleted";
    pid_t child = fork();
    if (child == 0) {
        struct sigaction quiet {};
        quiet.sa_handler = [](int) { _exit(3); };
        sigaction(SIGSEGV, &quiet, nullptr);
        sigaction(SIGBUS, &quiet, nullptr);
        std::set<std::string> keys;
        if (!writeRandomHistory(path, random, &keys)) _exit(2);
        std::string text;
        for (const std::string &k : keys) text += k + "\n";
        kivtest::writeFile(list, text);
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return false;
    std::string text = kivtest::readFile(list);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        deleted->insert(text.substr(at, end - at));
    return true;
}

// 200 keys of `keyBytes` bytes and more, in ascending or descending order. Keys kept in
// overflow pages (600 bytes) are compared wrongly by the database library on this host and
// end up in no order at all; long keys in descending order (330 bytes) make a tree of one
// entry per page, 51 levels deep.
void writeFixedHistory(const std::string &path, size_t keyBytes, bool descending) {
    Database db;
    ASSERT_EQ(Database::open(path, O_RDWR | O_CREAT | O_TRUNC, 0600, &db), 0u);
    for (int i = 0; i < 200; ++i) {
        std::string key = std::string(keyBytes, 'x') + std::to_string(descending ? 1000 - i : i);
        std::string value(i % 3 * 700 * !descending, 'v');
        DBT k = dbt(key), v = dbt(value);
        ASSERT_EQ(db.get()->put(db.get(), &k, &v, 0), kDbSuccess);
    }
    EXPECT_EQ(db.close(), 0u);
}

// Every file the database library writes is read the same by the whole-file check and by
// lookups, whatever its history.
TEST(TLibReader, ReadsEveryFileTheDatabaseLibraryWritesExactly) {
    kivtest::TempDir dir;
    std::string path = dir.file("random.db");
    int written = 0;
    for (int round = 0; round <= 61; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::mt19937 random(20261206 + round);
        std::set<std::string> deleted;
        if (round >= 60)
            writeFixedHistory(path, round == 60 ? 600 : 330, round == 61);
        else if (!writtenInChild(path, random, &deleted))
            continue;
        ++written;
        Pairs expected = scanWithLibrary(path);
        std::sort(expected.begin(), expected.end());

        btree::Image image;
        std::vector<btree::Problem> problems;
        ASSERT_TRUE(btree::Image::load(fileBytes(path), &image, &problems, 10))
            << btree::describe(problems.front());
        Pairs got;
        std::vector<uint8_t> scratch;
        for (size_t i = 0; i < image.size(); ++i) {
            auto v = image.value(i, scratch);
            got.emplace_back(std::string(image.key(i)), std::string(v.begin(), v.end()));
        }
        EXPECT_EQ(got, expected);

        btree::Reader reader = readerOf(path);
        for (const auto &[k, v] : expected) {
            Looked found = lookUp(reader, k);
            ASSERT_EQ(found.rc, 0u);
            ASSERT_TRUE(found.found) << k.size() << " bytes: " << k.substr(0, 40);
            EXPECT_EQ(found.value, v);
        }
        for (const std::string &k : deleted) {
            if (std::binary_search(expected.begin(), expected.end(),
                                   std::make_pair(k, std::string()),
                                   [](auto &a, auto &b) { return a.first < b.first; }))
                continue;
            Looked found = lookUp(reader, k);
            EXPECT_EQ(found.rc, 0u);
            EXPECT_FALSE(found.found);
        }
    }
    EXPECT_GE(written, 20);
}

// The database library's own sync may leave a free list that cannot be followed: it is
// reported, but the file reads. Pages of another size are named as such.
TEST(TLibReader, FreeListAndPageSizeProblems) {
    kivtest::TempDir dir;
    std::string path = dir.file("lib.db");
    Records records;
    for (int i = 0; i < 300; ++i) records[key("IDL:K" + std::to_string(i) + ":1.0")] = Bytes(40, 7);
    putRecords(path, records);
    std::vector<uint8_t> good = fileBytes(path);
    uint32_t pages = uint32_t(good.size() / 1024);

    struct Case {
        const char *what;
        uint32_t freeHead;  // page number written as the free list's head
        uint32_t loopTo;    // next link of an appended free page, when one is appended
        const char *problem;
    } cases[] = {
        {"head past the end", pages + 9, 0, "outside the file"},
        {"head on a tree page", 1, 0, "in use"},
        {"byte-swapped head", __builtin_bswap32(pages), pages, "outside the file"},
        {"free page that loops to itself", pages, pages, "listed before"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        if (c.loopTo) {
            bytes.resize(bytes.size() + 1024, 0);
            uint8_t *p = bytes.data() + size_t{pages} * 1024;
            for (int i = 0; i < 4; ++i) p[i] = uint8_t(pages >> (24 - 8 * i));
            for (int i = 0; i < 4; ++i) p[8 + i] = uint8_t(c.loopTo >> (24 - 8 * i));
        }
        for (int i = 0; i < 4; ++i) bytes[12 + i] = uint8_t(c.freeHead >> (24 - 8 * i));
        btree::Image image;
        std::vector<btree::Problem> problems;
        ASSERT_TRUE(btree::Image::load(bytes, &image, &problems, 10));
        EXPECT_EQ(image.size(), records.size());
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_NE(problems[0].what.find(c.problem), std::string::npos) << problems[0].what;
    }

    // A 512-byte-page file with an odd number of pages.
    BTREEINFO info = btreeInfo(0);
    info.psize = 512;
    std::string small = dir.file("small.db");
    DB *db = dbopen(small.c_str(), O_RDWR | O_CREAT, 0600, DB_BTREE, &info);
    ASSERT_NE(db, nullptr);
    for (int i = 0; i < 40; ++i) {
        std::string k = "key" + std::to_string(i), v(30, 'v');
        DBT dk = dbt(k), dv = dbt(v);
        ASSERT_EQ(db->put(db, &dk, &dv, 0), 0);
    }
    ASSERT_EQ(db->close(db), 0);
    std::vector<uint8_t> bytes = fileBytes(small);
    if (bytes.size() % 1024 == 0) bytes.resize(bytes.size() + 512);
    btree::Image image;
    std::vector<btree::Problem> problems;
    EXPECT_FALSE(btree::Image::load(bytes, &image, &problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(btree::describe(problems[0]), "meta page: page size 512, expected 1024");
}

// Damage that a lookup meets after the library was opened fails that lookup and every later
// one, also of records that other pages hold; a file replaced meanwhile is read anew instead.
TEST(TLibReader, DamageMetLateFailsEveryLaterLookup) {
    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
    std::vector<std::string> ids = buildLibrary(path, 300);
    std::string good = kivtest::readFile(path);

    // A leaf holding some of the ids, and an id on another page.
    btree::TreePage leaf;
    std::string onLeaf, elsewhere;
    auto holds = [&leaf](const std::string &id) {
        return std::any_of(leaf.entries.begin(), leaf.entries.end(), [&](auto &e) {
            return e.bigKey.size == 0 && leaf.inlineKey(e) == key(id);
        });
    };
    for (uint32_t n = 2; n < good.size() / 1024 && onLeaf.empty(); ++n) {
        auto *raw = reinterpret_cast<const uint8_t *>(good.data()) + size_t{n} * 1024;
        // Not the leaf that opening reads.
        if (!btree::readTreePage(raw, n, uint32_t(good.size() / 1024), &leaf,
                                 [](uint32_t, const std::string &) { return true; }) ||
            leaf.kind != btree::TreePage::kLeaf || holds(KIV_TLIB_ANONYMOUS_SCOPE_ID))
            continue;
        for (const std::string &id : ids) (holds(id) ? onLeaf : elsewhere) = id;
    }
    ASSERT_FALSE(onLeaf.empty());
    ASSERT_FALSE(elsewhere.empty());

    Handle reader = open(path, KIV_TLIB_READONLY);
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    std::string bad = good;
    std::fill_n(bad.begin() + long(leaf.number) * 1024 + 20, 8, '\xff');
    {
        int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, bad.data(), bad.size(), 0), ssize_t(bad.size()));
        // The same size and time: the store cannot tell that the file changed.
        timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(futimens(fd, times), 0);
        ::close(fd);
    }
    EXPECT_EQ(kivTLibGetDefinition(reader.get(), onLeaf.c_str(), nullptr), KIV_E_FORMAT);
    EXPECT_EQ(kivTLibGetDefinition(reader.get(), elsewhere.c_str(), nullptr), KIV_E_FORMAT);

    // Replaced by a sound file: read anew.
    std::string other = dir.file("other.tlb");
    kivtest::writeFile(other, good);
    ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
    EXPECT_EQ(kivTLibGetDefinition(reader.get(), onLeaf.c_str(), nullptr), 0u);
}

// A writer that must rewrite the library in place (its folder cannot be written) shortens and
// refills the file under a reader: the reader's lookups fail or succeed, and never fault.
TEST(TLibReader, FileRewrittenUnderAReader) {
    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb"), second = dir.file("second.tlb");
    std::vector<std::string> ids = buildLibrary(path, 300);
    std::vector<std::string> otherIds = buildLibrary(second, 60);
    std::string good = kivtest::readFile(path), replacement = kivtest::readFile(second);

    Handle reader = open(path, KIV_TLIB_READONLY);
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (size_t cut : {good.size() / 2, size_t{1024}, size_t{0}}) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(ftruncate(fd, off_t(cut)), 0);
        for (const std::string &id : ids) {
            kivResult rc = kivTLibGetDefinition(reader.get(), id.c_str(), nullptr);
            EXPECT_TRUE(rc == 0 || rc == KIV_E_FORMAT || rc == KIV_E_UNKNOWN_REPOID) << rc;
        }
    }
    ASSERT_EQ(pwrite(fd, replacement.data(), replacement.size(), 0), ssize_t(replacement.size()));
    ::close(fd);
    for (const std::string &id : otherIds)
        EXPECT_EQ(kivTLibGetDefinition(reader.get(), id.c_str(), nullptr), 0u) << id;
}

}  // namespace
