#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <sstream>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using namespace tlibtest;

namespace {

std::string localId(kivTLib *t) {
    char buffer[32];
    kivResult rc = kivTLibCreateLocalRepoId(t, buffer, sizeof buffer);
    return rc ? "error " + std::to_string(rc) : buffer;
}

kivResult addModule(kivTLib *t, const std::string &name) {
    return kivTLibCreateModule(t, name.c_str(), ("IDL:" + name + ":1.0").c_str(), KIV_TLIB_ROOT_ID,
                               0, nullptr);
}

class TLibHandle : public ::testing::Test {
  protected:
    kivResult openResult(const std::string &file, uint32_t flags = 0) {
        kivTLib *t = reinterpret_cast<kivTLib *>(1);
        kivResult rc = kivTLibOpen(file.c_str(), flags, &t);
        EXPECT_TRUE(rc == 0 || t == nullptr);
        kivTLibClose(t);
        return rc;
    }
    void writeEveryKind() { addEveryKind(create(path).get()); }
    // The file's bytes and inode: what a handle that writes nothing leaves unchanged.
    std::string state() {
        struct stat st {};
        stat(path.c_str(), &st);
        return std::to_string(st.st_ino) + kivtest::readFile(path);
    }

    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
};

TEST_F(TLibHandle, LifeCycleAndRefusals) {
    Handle t = create(path);
    EXPECT_EQ(openResult(path), KIV_E_FORMAT);  // not a library until the first flush
    EXPECT_EQ(kivTLibClose(t.release()), 0u);
    EXPECT_EQ(hex(readRecords(path).at(key(KIV_TLIB_ANONYMOUS_SCOPE_ID))),
              hex(bytes("02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 01 01 02 00 00 00")));
    t = open(path, KIV_TLIB_AUTOFLUSH);
    EXPECT_EQ(t->flags, KIV_TLIB_AUTOFLUSH);
    EXPECT_EQ(kivTLibGetRoot(t.get(), nullptr), KIV_E_UNKNOWN_REPOID);

    kivtest::writeFile(dir.file("text"), "keep me");
    kivTLib *out = reinterpret_cast<kivTLib *>(1);
    kivTLibDef *def = reinterpret_cast<kivTLibDef *>(1);
    std::string file = dir.file("text");
    const char *text = file.c_str();
    for (kivResult rc :
         {kivTLibCreate(text, KIV_TLIB_READONLY, &out),
          kivTLibCreate(text, KIV_TLIB_COUNTER_MODIFIED, &out), kivTLibCreate(nullptr, 0, &out),
          kivTLibCreate(text, 0, nullptr), kivTLibOpen(nullptr, 0, &out),
          kivTLibOpen(text, 0x8, &out), kivTLibGetDefinition(t.get(), nullptr, &def),
          kivTLibGetDefinition(nullptr, "x", nullptr), kivTLibFlush(nullptr),
          kivTLibClose(nullptr)})
        EXPECT_EQ(rc, KIV_E_INVALID_ARG);
    EXPECT_TRUE(out == nullptr && def == nullptr);
    EXPECT_EQ(kivtest::readFile(dir.file("text")), "keep me");

    // Files that are no libraries.
    EXPECT_EQ(openResult(dir.file("missing")), KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(openResult(dir.file("missing"), KIV_TLIB_READONLY), KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(openResult(dir.file("text")) & 0xFFFF0000u, 0x96220000u);
    putRecords(dir.file("empty"), {});
    EXPECT_EQ(openResult(dir.file("empty")), KIV_E_FORMAT);
    for (const char *scope : {"02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 01 01 02 00",
                              "02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 07 01 02 02 00 03",
                              "02 00 03 'IDL' 01 01 02 00 00 00"}) {
        std::string file = dir.file(std::to_string(std::hash<std::string>()(scope)));
        putRecords(file, {{key(KIV_TLIB_ANONYMOUS_SCOPE_ID), bytes(scope)}});
        EXPECT_EQ(openResult(file), KIV_E_FORMAT) << scope;
    }
}

// Lookups decode once and cache only good records; a read-only handle never writes and does not
// remember the local ids it hands out.
TEST_F(TLibHandle, LookupsAndReadOnlyHandles) {
    writeEveryKind();
    putRecords(path, {{key("IDL:Bad:1.0"), bytes("01 01 'S' 08 00 01 00 00")},
                      {key("IDL:Moved:1.0"), bytes("01 05 'Other' 08 00 01 00 00 05")},
                      {key(KIV_TLIB_LOCAL_COUNTER_ID), bytes("'1a' 00")}});
    std::string before = state();
    for (int round = 0; round < 2; ++round) {
        Handle t = open(path, KIV_TLIB_READONLY);
        uint32_t cached = t->definitions->count;
        kivTLibDef *a = nullptr, *b = nullptr;
        EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:M/IGrid:1.0", &a), 0u);
        EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:M/IGrid:1.0", &b), 0u);
        EXPECT_EQ(a, b);
        EXPECT_EQ(a->flags, 0x00050000u);
        EXPECT_EQ(t->definitions->count, ++cached);
        for (const char *id : {"IDL:Bad:1.0", "IDL:Moved:1.0", "IDL:Bad:1.0",
                               KIV_TLIB_LOCAL_COUNTER_ID, "IDL:Nope:1.0"}) {
            EXPECT_EQ(kivTLibGetDefinition(t.get(), id, &a),
                      id[4] == 'N' ? KIV_E_UNKNOWN_REPOID : KIV_E_FORMAT);
            EXPECT_EQ(a, nullptr);
        }
        EXPECT_EQ(t->definitions->count, cached);
        kivTLibDef *root = nullptr;
        ASSERT_EQ(kivTLibGetRoot(t.get(), &root), 0u);
        markModified(t.get(), root);
        EXPECT_EQ(localId(t.get()), "LOCAL:26");
        EXPECT_EQ(kivTLibFlush(t.get()), 0u);
    }
    EXPECT_EQ(state(), before);
}

// Several handles on one file: each flush writes only its own changes into the file as another
// handle left it, and a handle finds records that another one flushed.
TEST_F(TLibHandle, FlushWritesOnlyWhatChanged) {
    writeEveryKind();
    chmod(path.c_str(), 0640);
    Handle reader = open(path), writer = open(path);
    kivTLibDef *level = nullptr;
    ASSERT_EQ(kivTLibGetDefinition(reader.get(), "IDL:M:1.0", &level), 0u);
    ASSERT_EQ(addModule(writer.get(), "FromWriter"), 0u);
    kivTLibEnumMember one{"ONE", 1};
    ASSERT_EQ(kivTLibCreateEnum(writer.get(), "K", "IDL:M/K:1.0", "IDL:M:1.0", 0, 1, &one, nullptr),
              0u);
    ASSERT_EQ(kivTLibFlush(writer.get()), 0u);
    Records written = readRecords(path);

    std::string before = state();
    EXPECT_EQ(kivTLibFlush(reader.get()), 0u);  // nothing pending: the file stays as it is
    EXPECT_EQ(state(), before);
    EXPECT_EQ(kivTLibGetDefinition(reader.get(), "IDL:M/K:1.0", nullptr), 0u);
    ASSERT_EQ(addModule(reader.get(), "FromReader"), 0u);
    EXPECT_EQ(reader->modified->count, 2u);  // the module and the root
    ASSERT_EQ(kivTLibFlush(reader.get()), 0u);
    EXPECT_EQ(reader->modified->count, 0u);

    Records after = readRecords(path);
    EXPECT_EQ(after.size(), written.size() + 1);
    EXPECT_EQ(after.at(key("IDL:M:1.0")), written.at(key("IDL:M:1.0")));
    Handle check = open(path, KIV_TLIB_READONLY);
    kivTLibDef *root = nullptr;
    ASSERT_EQ(kivTLibGetRoot(check.get(), &root), 0u);
    auto contents = contentsOf(root);
    EXPECT_EQ(std::vector<std::string>(contents.begin(), contents.end()),
              (std::vector<std::string>{"IDL:M:1.0", "IDL:FromWriter:1.0", "IDL:FromReader:1.0"}));
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(TLibHandle, FlushThenMoreLookupsAndWritesOnTheSameHandle) {
    Handle t = create(path, KIV_TLIB_AUTOFLUSH);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    kivTLibTypeRef octet{KIV_TYPE_OCTET, nullptr};
    std::vector<std::string> ids;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 40; ++i) {
            // Ids out of key order, a third of them records of exactly 488 bytes.
            std::string id = "IDL:T/" + std::to_string((i * 7919 + round * 31) % 1000) + "_" +
                             std::to_string(round) + ":1.0";
            ids.push_back(id);
            if (i % 3) {
                ASSERT_EQ(kivTLibCreateString(t.get(), id.c_str(), 0, i, nullptr), 0u);
                continue;
            }
            std::string name;
            auto size = [&] {
                kivTLibStructMember m{name.c_str(), octet};
                DefinitionPtr d(&buildStruct("P", id.c_str(), KIV_TLIB_ROOT_ID, 0, 1, &m)->header);
                return id.size() + 1 + encode(d.get()).size();
            };
            while (size() < 488) name += 'p';
            ASSERT_EQ(size(), 488u);
            kivTLibStructMember m{name.c_str(), octet};
            ASSERT_EQ(
                kivTLibCreateStruct(t.get(), "P", id.c_str(), KIV_TLIB_ROOT_ID, 0, 1, &m, nullptr),
                0u);
        }
        for (const auto &id : ids)
            ASSERT_EQ(kivTLibGetDefinition(t.get(), id.c_str(), nullptr), 0u);
        EXPECT_EQ(localId(t.get()), "LOCAL:" + std::to_string(round + 1));
    }
    EXPECT_EQ(kivTLibClose(t.release()), 0u);
    Records records = readRecords(path);
    EXPECT_EQ(records.size(), ids.size() + 3);  // and the root, the scope and the counter
    t = open(path);
    for (const auto &id : ids) {
        kivTLibDef *def = nullptr;
        ASSERT_EQ(kivTLibGetDefinition(t.get(), id.c_str(), &def), 0u) << id;
        EXPECT_EQ(hex(encode(def)), hex(records.at(key(id))));
    }
    EXPECT_EQ(localId(t.get()), "LOCAL:7");
    EXPECT_EQ(kivTLibClose(t.release()), 0u);
    EXPECT_EQ(hex(readRecords(path).at(key(KIV_TLIB_LOCAL_COUNTER_ID))), hex(bytes("'8' 00")));
}

TEST_F(TLibHandle, FailedFlushKeepsEverythingPending) {
    Handle t = create(path);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    ASSERT_EQ(kivTLibFlush(t.get()), 0u);
    ASSERT_EQ(addModule(t.get(), "A"), 0u);
    EXPECT_EQ(localId(t.get()), "LOCAL:1");

    // The file vanished.
    std::string moved = dir.file("moved");
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    EXPECT_EQ(kivTLibFlush(t.get()), KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(t->modified->count, 2u);
    EXPECT_TRUE(t->flags & KIV_TLIB_COUNTER_MODIFIED);
    ASSERT_EQ(std::rename(moved.c_str(), path.c_str()), 0);

    // The file system is full: the new file cannot grow past a few pages.
    std::string big(600, 'x');
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(kivTLibCreateString(t.get(), (big + std::to_string(i)).c_str(), 0, 1, nullptr),
                  0u);
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
    EXPECT_EQ(t->modified->count, 203u);
    EXPECT_EQ(kivtest::readFile(path), before);

    // Lookups go on, and the next flush writes it all.
    EXPECT_EQ(kivTLibGetDefinition(t.get(), (big + "7").c_str(), nullptr), 0u);
    EXPECT_EQ(kivTLibFlush(t.get()), 0u);
    EXPECT_EQ(readRecords(path).size(), 204u);  // scope, root, A, 200 strings, counter

    // Closing after a failed flush returns its code (ASan checks that all is released).
    ASSERT_EQ(addModule(t.get(), "B"), 0u);
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_EQ(kivTLibClose(t.release()), KIV_E_SYSTEM(ENOENT));
}

TEST_F(TLibHandle, DbDump185ListsExactlyOurRecords) {
    writeEveryKind();
    kivtest::ProcessResult dump = kivtest::runProcess({KIV_DB_DUMP185, path});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
    // Bytevalue format: a header up to HEADER=END, then key and value lines in hex (with a
    // leading blank in some versions).
    std::istringstream in(dump.out);
    std::string k, v;
    while (std::getline(in, k) && k != "HEADER=END") {
    }
    std::map<std::string, std::string> dumped, expected;
    while (std::getline(in, k) && k != "DATA=END" && std::getline(in, v))
        dumped[k.substr(k.find_first_not_of(' '))] = v.substr(v.find_first_not_of(' '));
    auto plain = [](Bytes b) {
        std::string h = hex(b);
        std::erase(h, ' ');
        for (char &c : h) c = char(std::tolower(c));
        return h;
    };
    Handle t = open(path, KIV_TLIB_READONLY);
    for (auto &[id, value] : readRecords(path)) {
        Bytes ours = id == key(KIV_TLIB_LOCAL_COUNTER_ID) ? bytes("'6' 00") : Bytes{};
        kivTLibDef *def = nullptr;
        if (ours.empty()) {
            ASSERT_EQ(kivTLibGetDefinition(t.get(), id.c_str(), &def), 0u) << id;
            ours = encode(def);
        }
        expected[plain(Bytes(id.begin(), id.end()))] = plain(ours);
    }
    EXPECT_EQ(expected.size(), 33u);
    EXPECT_EQ(dumped, expected);
}

TEST_F(TLibHandle, LocalIdsCountOnAcrossReopen) {
    Handle t = create(path);
    EXPECT_EQ(localId(t.get()), "LOCAL:1");
    EXPECT_EQ(localId(t.get()), "LOCAL:2");
    EXPECT_EQ(kivTLibClose(t.release()), 0u);
    t = open(path, KIV_TLIB_AUTOFLUSH);
    EXPECT_EQ(localId(t.get()), "LOCAL:3");
    EXPECT_EQ(hex(readRecords(path).at(key(KIV_TLIB_LOCAL_COUNTER_ID))), hex(bytes("'4' 00")));

    // The number is used up even when the text does not fit.
    char small[8];
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), small, 7), KIV_E_BUFFER_TOO_SMALL);
    EXPECT_STREQ(small, "LOCAL:");
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), nullptr, 0), KIV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), small, 8), 0u);
    EXPECT_STREQ(small, "LOCAL:6");
    t->localIdCounter = 10;
    EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), small, 8), KIV_E_BUFFER_TOO_SMALL);
    t->localIdCounter = 0x80000000u;
    EXPECT_EQ(localId(t.get()), "LOCAL:-2147483648");

    putRecords(path, {{key(KIV_TLIB_LOCAL_COUNTER_ID), bytes("'zz' 00")}});
    t = open(path);
    EXPECT_EQ(localId(t.get()), "error " + std::to_string(KIV_E_FORMAT));
    EXPECT_EQ(t->localIdCounter, 0u);
}

}  // namespace
