#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using tlibtest::Bytes;
using tlibtest::hex;

namespace {

using tlibtest::create;
using tlibtest::Handle;
using tlibtest::open;

kivResult openResult(const std::string &path, uint32_t flags = 0) {
    kivTLib *t = reinterpret_cast<kivTLib *>(1);
    kivResult rc = kivTLibOpen(path.c_str(), flags, &t);
    if (rc) EXPECT_EQ(t, nullptr);
    kivTLibClose(t);
    return rc;
}

std::map<std::string, Bytes> records(const std::string &path) {
    std::map<std::string, Bytes> out;
    for (auto &[k, v] : tlibtest::readAllRecords(path)) out[k] = v;
    return out;
}

std::string key(const char *id) {
    return std::string(id, std::strlen(id) + 1);
}

ino_t inodeOf(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

std::string localId(kivTLib *t) {
    char buffer[32];
    kivResult rc = kivTLibCreateLocalRepoId(t, buffer, sizeof buffer);
    return rc ? "error " + std::to_string(rc) : buffer;
}

// A library with the sample definitions of every kind, flushed and closed.
void writeSampleLibrary(const std::string &path) {
    Handle t = create(path);
    tlibtest::addModule(t.get(), "Demo");
    for (auto &def : tlibtest::sampleDefinitions())
        if (std::strcmp(def->repoId, "IDL:Demo:1.0") != 0)
            tlibtest::addDefinition(t.get(), std::move(def));
    ASSERT_EQ(kivTLibFlush(t.get()), 0u);
}

class TLibHandle : public ::testing::Test {
  protected:
    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
};

// ---- Life cycle -----------------------------------------------------------------------------

TEST_F(TLibHandle, CreateCloseOpen) {
    Handle t = create(path);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->flags, 0u);
    EXPECT_EQ(t->anonymousScope->header.flags, KIV_DEF_MODIFIED);
    EXPECT_EQ(openResult(path), KIV_E_FORMAT);  // not a library until the first flush
    EXPECT_EQ(kivTLibClose(t.release()), 0u);

    EXPECT_EQ(hex(records(path).at(key(KIV_TLIB_ANONYMOUS_SCOPE_ID))),
              hex(tlibtest::bytes("02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 01 01 02 00 00 00")));
    Handle again = open(path, KIV_TLIB_AUTOFLUSH);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->flags, KIV_TLIB_AUTOFLUSH);
    EXPECT_EQ(again->anonymousScope->header.flags, 0u);
    EXPECT_EQ(kivTLibGetRoot(again.get(), nullptr), KIV_E_UNKNOWN_REPOID);
}

TEST_F(TLibHandle, ArgumentsAndFlags) {
    kivTLib *t = reinterpret_cast<kivTLib *>(1);
    kivtest::writeFile(path, "keep me");
    EXPECT_EQ(kivTLibCreate(path.c_str(), KIV_TLIB_READONLY, &t), KIV_E_INVALID_ARG);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(kivtest::readFile(path), "keep me");
    EXPECT_EQ(kivTLibCreate(path.c_str(), KIV_TLIB_COUNTER_MODIFIED, &t), KIV_E_INVALID_ARG);
    EXPECT_EQ(kivTLibCreate(nullptr, 0, &t), KIV_E_INVALID_ARG);
    EXPECT_EQ(kivTLibCreate(path.c_str(), 0, nullptr), KIV_E_INVALID_ARG);
    EXPECT_EQ(kivTLibOpen(nullptr, 0, &t), KIV_E_INVALID_ARG);
    EXPECT_EQ(kivTLibOpen(path.c_str(), 0x8, &t), KIV_E_INVALID_ARG);
    EXPECT_EQ(kivTLibGetDefinition(nullptr, "x", nullptr), KIV_E_INVALID_ARG);
    EXPECT_EQ(kivTLibFlush(nullptr), KIV_E_INVALID_ARG);
    EXPECT_EQ(kivTLibClose(nullptr), KIV_E_INVALID_ARG);

    Handle h = create(path);
    kivTLibDef *def = reinterpret_cast<kivTLibDef *>(1);
    EXPECT_EQ(kivTLibGetDefinition(h.get(), nullptr, &def), KIV_E_INVALID_ARG);
    EXPECT_EQ(def, nullptr);
}

TEST_F(TLibHandle, FilesThatAreNoLibraries) {
    EXPECT_EQ(openResult(dir.file("missing")), KIV_E_SYSTEM(ENOENT));
    kivtest::writeFile(dir.file("text"), std::string(2048, 'x'));
    EXPECT_EQ(openResult(dir.file("text")) & 0xFFFF0000u, 0x96220000u);
    // An empty B-tree written by an auto-flushing create.
    {
        Handle empty = create(dir.file("empty"), KIV_TLIB_AUTOFLUSH);
        empty->flags |= KIV_TLIB_READONLY;  // so that closing it writes nothing
    }
    EXPECT_EQ(openResult(dir.file("empty")), KIV_E_FORMAT);

    struct Case {
        const char *name;
        Bytes scope;
    } cases[] = {
        {"malformed", tlibtest::bytes("02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 01 01 02 00")},
        {"alias", tlibtest::bytes("02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 07 01 02 02 00 03")},
        {"stranger", tlibtest::bytes("02 00 03 'IDL' 01 01 02 00 00 00")},
    };
    for (const auto &c : cases) {
        std::string file = dir.file(c.name);
        tlibtest::putRawRecords(file, {{key(KIV_TLIB_ANONYMOUS_SCOPE_ID), c.scope}});
        EXPECT_EQ(openResult(file), KIV_E_FORMAT) << c.name;
    }
}

// ---- Lookups ------------------------------------------------------------------------------------

TEST_F(TLibHandle, LookupsDecodeOnceAndCache) {
    writeSampleLibrary(path);
    Handle t = open(path, KIV_TLIB_READONLY);
    uint32_t cached = t->definitions->count;
    EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:Demo/IFoo:1.0", nullptr), 0u);
    EXPECT_EQ(t->definitions->count, cached + 1);
    kivTLibDef *a = nullptr, *b = nullptr;
    EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:Demo/IFoo:1.0", &a), 0u);
    EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:Demo/IFoo:1.0", &b), 0u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->strings->index, nullptr);
    EXPECT_EQ(a->flags, 0xABCD0000u);
    EXPECT_EQ(t->modified->count, 0u);

    kivTLibDef *root = nullptr;
    EXPECT_EQ(kivTLibGetRoot(t.get(), &root), 0u);
    EXPECT_STREQ(root->name, "");
    EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:Nope:1.0", &a), KIV_E_UNKNOWN_REPOID);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(kivTLibGetDefinition(t.get(), KIV_TLIB_LOCAL_COUNTER_ID, nullptr),
              KIV_E_UNKNOWN_REPOID);
}

TEST_F(TLibHandle, MalformedRecordsAreNeverCached) {
    writeSampleLibrary(path);
    tlibtest::putRawRecords(
        path, {
                  {key("IDL:Bad:1.0"), tlibtest::bytes("01 01 'S' 08 00 01 00 00")},
                  {key("IDL:Moved:1.0"), tlibtest::bytes("01 05 'Other' 08 00 01 00 00 05")},
                  {key(KIV_TLIB_ROOT_ID), tlibtest::bytes("01 01 'S' 08 00 01 00 00 05")},
                  {key(KIV_TLIB_LOCAL_COUNTER_ID), tlibtest::bytes("'1a' 00")},
              });
    Handle t = open(path);
    uint32_t cached = t->definitions->count;
    for (const char *id : {"IDL:Bad:1.0", "IDL:Moved:1.0", KIV_TLIB_LOCAL_COUNTER_ID}) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            kivTLibDef *def = reinterpret_cast<kivTLibDef *>(1);
            EXPECT_EQ(kivTLibGetDefinition(t.get(), id, &def), KIV_E_FORMAT) << id;
            EXPECT_EQ(def, nullptr);
        }
    }
    EXPECT_EQ(t->definitions->count, cached);
    EXPECT_EQ(kivTLibGetRoot(t.get(), nullptr), KIV_E_FORMAT);  // stored under another id
}

// ---- Flush --------------------------------------------------------------------------------------

TEST_F(TLibHandle, ReadOnlyHandlesNeverWrite) {
    writeSampleLibrary(path);
    std::string before = kivtest::readFile(path);
    ino_t inode = inodeOf(path);
    Handle t = open(path, KIV_TLIB_READONLY);
    kivTLibDef *root = nullptr;
    ASSERT_EQ(kivTLibGetRoot(t.get(), &root), 0u);
    markModified(t.get(), root);
    EXPECT_EQ(localId(t.get()), "LOCAL:1");
    EXPECT_EQ(kivTLibFlush(t.get()), 0u);
    EXPECT_EQ(kivTLibClose(t.release()), 0u);
    EXPECT_EQ(kivtest::readFile(path), before);
    EXPECT_EQ(inodeOf(path), inode);
    EXPECT_EQ(openResult(dir.file("missing"), KIV_TLIB_READONLY), KIV_E_SYSTEM(ENOENT));
}

TEST_F(TLibHandle, FlushWritesOnlyWhatChanged) {
    writeSampleLibrary(path);
    Handle reader = open(path);
    kivTLibDef *point = nullptr;
    ASSERT_EQ(kivTLibGetDefinition(reader.get(), "IDL:Demo/Point:1.0", &point), 0u);

    // Another handle changes Point in the file after `reader` has cached it.
    {
        Handle writer = open(path);
        kivTLibDef *p = nullptr;
        ASSERT_EQ(kivTLibGetDefinition(writer.get(), "IDL:Demo/Point:1.0", &p), 0u);
        kivTLibEnumMember m{"ONE", 1};
        tlibtest::addDefinition(
            writer.get(),
            DefinitionPtr(
                &buildEnum("K2", "IDL:Demo/Point/K2:1.0", "IDL:Demo/Point:1.0", 1, 1, &m)->header));
    }
    Bytes changedPoint = records(path).at(key("IDL:Demo/Point:1.0"));

    ino_t inode = inodeOf(path);
    EXPECT_EQ(kivTLibFlush(reader.get()), 0u);  // nothing pending: the file stays as it is
    EXPECT_EQ(inodeOf(path), inode);

    tlibtest::addModule(reader.get(), "Other");
    EXPECT_EQ(reader->modified->count, 2u);  // the module and the root
    EXPECT_EQ(kivTLibFlush(reader.get()), 0u);
    EXPECT_EQ(reader->modified->count, 0u);
    auto after = records(path);
    EXPECT_EQ(hex(after.at(key("IDL:Demo/Point:1.0"))), hex(changedPoint));
    EXPECT_TRUE(after.count(key("IDL:Other:1.0")));
    kivTLibDef *root = nullptr;
    ASSERT_EQ(kivTLibGetRoot(reader.get(), &root), 0u);
    EXPECT_EQ(root->flags & KIV_DEF_MODIFIED, 0u);
    EXPECT_EQ(hex(after.at(key(KIV_TLIB_ROOT_ID))), hex(encode(root)));
}

TEST_F(TLibHandle, FlushThenMoreLookupsAndWritesOnTheSameHandle) {
    Handle t = create(path, KIV_TLIB_AUTOFLUSH);
    std::vector<std::string> ids;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 40; ++i) {
            // Ids that arrive out of key order, a third of them records of exactly 488 bytes.
            std::string id = "IDL:T/" + std::to_string((i * 7919 + round * 31) % 1000) + "_" +
                             std::to_string(round) + ":1.0";
            DefinitionPtr def =
                i % 3 == 0
                    ? tlibtest::structOfRecordSize(id, 488)
                    : DefinitionPtr(
                          &buildString(KIV_DEF_STRING, id.c_str(), KIV_DEF_MODIFIED, i)->header);
            if (i % 3 == 0) ASSERT_EQ(id.size() + 1 + encode(def.get()).size(), 488u);
            tlibtest::addDefinition(t.get(), std::move(def), KIV_TLIB_ANONYMOUS_SCOPE_ID);
            ids.push_back(id);
        }
        ASSERT_EQ(kivTLibFlush(t.get()), 0u);
        for (const auto &id : ids)
            ASSERT_EQ(kivTLibGetDefinition(t.get(), id.c_str(), nullptr), 0u);
        EXPECT_EQ(localId(t.get()), "LOCAL:" + std::to_string(round + 1));
    }
    EXPECT_EQ(kivTLibClose(t.release()), 0u);

    Handle again = open(path, KIV_TLIB_READONLY);
    for (const auto &id : ids) {
        kivTLibDef *def = nullptr;
        ASSERT_EQ(kivTLibGetDefinition(again.get(), id.c_str(), &def), 0u) << id;
        EXPECT_STREQ(def->repoId, id.c_str());
    }
    EXPECT_EQ(again->anonymousScope->contentCount, ids.size());
    EXPECT_EQ(localId(again.get()), "LOCAL:7");
}

TEST_F(TLibHandle, FailedFlushKeepsEverythingPending) {
    Handle t = create(path);
    ASSERT_EQ(kivTLibFlush(t.get()), 0u);
    tlibtest::addModule(t.get(), "A");
    EXPECT_EQ(localId(t.get()), "LOCAL:1");

    // The file vanished.
    std::string moved = dir.file("moved");
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    EXPECT_EQ(kivTLibFlush(t.get()), KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(t->modified->count, 2u);
    EXPECT_TRUE(t->flags & KIV_TLIB_COUNTER_MODIFIED);
    ASSERT_EQ(std::rename(moved.c_str(), path.c_str()), 0);

    // The file system is full: the new file cannot grow past a few pages.
    for (int i = 0; i < 200; ++i)
        tlibtest::addDefinition(
            t.get(), tlibtest::structOfRecordSize("IDL:Big" + std::to_string(i) + ":1.0", 600),
            KIV_TLIB_ROOT_ID);
    std::string before = kivtest::readFile(path);
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 16 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    kivResult rc = kivTLibFlush(t.get());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(rc, KIV_E_SYSTEM(EFBIG));
    EXPECT_EQ(t->modified->count, 202u);
    EXPECT_EQ(kivtest::readFile(path), before);
    EXPECT_FALSE(std::ifstream(path + ".new").good());

    // Lookups go on, and the next flush writes it all.
    EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:Big7:1.0", nullptr), 0u);
    EXPECT_EQ(kivTLibFlush(t.get()), 0u);
    EXPECT_EQ(records(path).size(), 204u);  // scope, root, A, 200 structures, counter
}

TEST_F(TLibHandle, CloseReturnsTheFailedFlushAndReleasesEverything) {
    Handle t = create(path);
    tlibtest::addModule(t.get(), "A");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_EQ(kivTLibClose(t.release()), KIV_E_SYSTEM(ENOENT));  // ASan checks the release
}

TEST_F(TLibHandle, DbDump185ListsExactlyOurRecords) {
    writeSampleLibrary(path);
    kivtest::ProcessResult dump = kivtest::runProcess({KIV_DB_DUMP185, path});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
    // Bytevalue format: a header ending in HEADER=END, then key and value lines in hex (with a
    // leading blank in some versions).
    std::istringstream in(dump.out);
    std::string line;
    while (std::getline(in, line) && line != "HEADER=END") {
    }
    std::map<std::string, std::string> dumped;
    std::string k, v;
    while (std::getline(in, k) && k != "DATA=END" && std::getline(in, v))
        dumped[k.substr(k.find_first_not_of(' '))] = v.substr(v.find_first_not_of(' '));

    // What the flush put, which is what the encoder made of each definition.
    std::map<std::string, std::string> expected;
    auto plainHex = [](std::string_view bytes) {
        std::string out;
        for (unsigned char c : bytes)
            out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
        return out;
    };
    Handle t = open(path, KIV_TLIB_READONLY);
    for (auto &[key, value] : records(path)) {
        kivTLibDef *def = nullptr;
        ASSERT_EQ(kivTLibGetDefinition(t.get(), key.c_str(), &def), 0u) << key;
        Bytes ours = encode(def);
        expected[plainHex(key)] =
            plainHex({reinterpret_cast<const char *>(ours.data()), ours.size()});
    }
    EXPECT_EQ(dumped, expected);
}

// ---- Several handles on one file ------------------------------------------------------------

TEST_F(TLibHandle, ReaderSeesRecordsFlushedByAnotherHandle) {
    writeSampleLibrary(path);
    Handle reader = open(path, KIV_TLIB_READONLY);
    Handle writer = open(path);
    EXPECT_EQ(kivTLibGetDefinition(reader.get(), "IDL:Late:1.0", nullptr), KIV_E_UNKNOWN_REPOID);
    tlibtest::addModule(writer.get(), "Late");
    ASSERT_EQ(kivTLibFlush(writer.get()), 0u);
    // The reader still reads the file it opened where it can, and notices the new one when an
    // id is missing there.
    kivTLibDef *late = nullptr;
    EXPECT_EQ(kivTLibGetDefinition(reader.get(), "IDL:Late:1.0", &late), 0u);
    EXPECT_STREQ(late->scopeId, KIV_TLIB_ROOT_ID);
}

TEST_F(TLibHandle, TwoWritersKeepEachOthersScopeContents) {
    writeSampleLibrary(path);
    Handle a = open(path), b = open(path);
    tlibtest::addModule(a.get(), "FromA");
    tlibtest::addDefinition(a.get(),
                            DefinitionPtr(&buildString(KIV_DEF_STRING, "LOCAL:A", 1, 1)->header));
    tlibtest::addModule(b.get(), "FromB");
    tlibtest::addDefinition(b.get(),
                            DefinitionPtr(&buildString(KIV_DEF_STRING, "LOCAL:B", 1, 1)->header));
    ASSERT_EQ(kivTLibFlush(a.get()), 0u);
    ASSERT_EQ(kivTLibFlush(b.get()), 0u);
    Handle check = open(path, KIV_TLIB_READONLY);
    kivTLibDef *root = nullptr;
    ASSERT_EQ(kivTLibGetRoot(check.get(), &root), 0u);
    auto *r = as<kivTLibModuleDef>(root);
    std::vector<std::string> contents(r->contents, r->contents + r->contentCount);
    EXPECT_EQ(contents,
              (std::vector<std::string>{"IDL:Demo:1.0", "IDL:FromB:1.0", "IDL:FromA:1.0"}));
    auto *anon = check->anonymousScope;
    std::vector<std::string> anonymous(anon->contents, anon->contents + anon->contentCount);
    EXPECT_EQ(anonymous.back(), "LOCAL:A");
    EXPECT_EQ(anonymous[anonymous.size() - 2], "LOCAL:B");
}

// ---- Local ids ----------------------------------------------------------------------------------

TEST_F(TLibHandle, LocalIdsCountOnAcrossReopen) {
    Handle t = create(path);
    EXPECT_EQ(localId(t.get()), "LOCAL:1");
    EXPECT_EQ(localId(t.get()), "LOCAL:2");
    EXPECT_EQ(localId(t.get()), "LOCAL:3");
    EXPECT_EQ(kivTLibClose(t.release()), 0u);
    EXPECT_EQ(hex(records(path).at(key(KIV_TLIB_LOCAL_COUNTER_ID))),
              hex(tlibtest::bytes("'4' 00")));
    t = open(path, KIV_TLIB_AUTOFLUSH);
    EXPECT_EQ(localId(t.get()), "LOCAL:4");
    EXPECT_EQ(hex(records(path).at(key(KIV_TLIB_LOCAL_COUNTER_ID))),
              hex(tlibtest::bytes("'5' 00")));

    // Buffers: the number is used up even when the text does not fit.
    char small[8];
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), small, 7), KIV_E_BUFFER_TOO_SMALL);
    EXPECT_STREQ(small, "LOCAL:");
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), nullptr, 0), KIV_E_BUFFER_TOO_SMALL);
    t->localIdCounter = 10;
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), small, 8), KIV_E_BUFFER_TOO_SMALL);
    t->localIdCounter = 9;
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), small, 8), 0u);
    EXPECT_STREQ(small, "LOCAL:9");
    t->localIdCounter = 0x80000000u;
    EXPECT_EQ(localId(t.get()), "LOCAL:-2147483648");
}

TEST_F(TLibHandle, LocalIdsOnReadOnlyHandlesAreNotRemembered) {
    Handle t = create(path);
    EXPECT_EQ(localId(t.get()), "LOCAL:1");
    kivTLibClose(t.release());
    for (int i = 0; i < 2; ++i) {
        Handle r = open(path, KIV_TLIB_READONLY);
        EXPECT_EQ(localId(r.get()), "LOCAL:2");
    }
}

TEST_F(TLibHandle, StoredCounters) {
    struct Case {
        const char *value;
        std::vector<std::string> ids;
    } cases[] = {
        {"'1a' 00", {"LOCAL:26", "LOCAL:27"}},
        {"'0' 00", {"LOCAL:0", "LOCAL:1"}},
        {"'zz' 00",
         {"error " + std::to_string(KIV_E_FORMAT), "error " + std::to_string(KIV_E_FORMAT)}},
        {"'1a'", {"error " + std::to_string(KIV_E_FORMAT)}},
    };
    for (const auto &c : cases) {
        writeSampleLibrary(path);
        tlibtest::putRawRecords(path, {{key(KIV_TLIB_LOCAL_COUNTER_ID), tlibtest::bytes(c.value)}});
        Handle t = open(path, KIV_TLIB_READONLY);
        for (const auto &id : c.ids) EXPECT_EQ(localId(t.get()), id) << c.value;
        if (c.ids[0].starts_with("error")) EXPECT_EQ(t->localIdCounter, 0u);
    }
}

}  // namespace
