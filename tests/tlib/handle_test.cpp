// SPDX-License-Identifier: Apache-2.0
// Type library handle tests: life cycle, lookups, flushes and a failed flush keeping its changes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"
#include "ust_fs.h"

using namespace kiv::tlib;
using namespace tlibtest;

namespace {

std::string localId(kivTLib *t) {
    char buffer[32];
    kivResult rc = kivTLibCreateLocalRepoId(t, buffer, sizeof buffer);
    return rc ? "error " + std::to_string(rc) : buffer;
}

class TLibHandle : public ::testing::Test {
  protected:
    // The file's inode and bytes, which a handle that writes nothing leaves as they are.
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
    EXPECT_EQ(kivTLibClose(t.release()), 0u);   // writes the anonymous-types scope
    t = open(path, KIV_TLIB_AUTOFLUSH);
    EXPECT_EQ(kivTLibGetRoot(t.get(), nullptr), KIV_E_UNKNOWN_REPOID);

    std::string text = dir.file("text");
    kivtest::writeFile(text, "keep me");
    kivTLib *out = reinterpret_cast<kivTLib *>(1);
    kivTLibDef *def = reinterpret_cast<kivTLibDef *>(1);
    for (kivResult rc :
         {kivTLibCreate(text.c_str(), KIV_TLIB_READONLY, &out),
          kivTLibCreate(text.c_str(), KIV_TLIB_COUNTER_MODIFIED, &out),
          kivTLibCreate(nullptr, 0, &out), kivTLibCreate(text.c_str(), 0, nullptr),
          kivTLibOpen(nullptr, 0, &out), kivTLibOpen(text.c_str(), 0x8, &out),
          kivTLibGetDefinition(t.get(), nullptr, &def), kivTLibGetDefinition(nullptr, "x", nullptr),
          kivTLibFlush(nullptr), kivTLibClose(nullptr)})
        EXPECT_EQ(rc, KIV_E_INVALID_ARG);
    EXPECT_TRUE(out == nullptr && def == nullptr);
    EXPECT_EQ(kivtest::readFile(text), "keep me");

    // Files that are no libraries.
    EXPECT_EQ(openResult(dir.file("missing")), KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(openResult(dir.file("missing"), KIV_TLIB_READONLY), KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(openResult(text), KIV_E_FORMAT);
    const char *scopes[] = {"", "02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 01 01 02 00",
                            "02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 07 01 02 02 00 03"};
    for (const char *scope : scopes) {
        std::string file = dir.file(std::to_string(std::strlen(scope)));
        putRecords(file,
                   *scope ? Records{{key(KIV_TLIB_ANONYMOUS_SCOPE_ID), bytes(scope)}} : Records{});
        EXPECT_EQ(openResult(file), KIV_E_FORMAT) << scope;
    }
}

// Lookups decode once and cache only good records; read-only handles write nothing and do not
// remember the local ids they hand out, even those whose text did not fit.
TEST_F(TLibHandle, LookupsAndReadOnlyHandles) {
    addEveryKind(create(path).get());
    putRecords(path, {{key("IDL:Bad:1.0"), bytes("01 01 'S' 08 00 01 00 00")},
                      {key("IDL:Moved:1.0"), bytes("01 05 'Other' 08 00 01 00 00 05")},
                      {key(KIV_TLIB_LOCAL_COUNTER_ID), bytes("'1a' 00")}});
    std::string before = state();
    for (int round = 0; round < 2; ++round) {
        Handle t = open(path, KIV_TLIB_READONLY);
        uint32_t cached = stateOf(t.get()).cached;
        kivTLibDef *a = nullptr, *b = nullptr;
        EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:M/IGrid:1.0", &a), 0u);
        EXPECT_EQ(kivTLibGetDefinition(t.get(), "IDL:M/IGrid:1.0", &b), 0u);
        EXPECT_EQ(a, b);
        EXPECT_EQ(a->flags, 0x00050000u);
        EXPECT_EQ(stateOf(t.get()).cached, ++cached);
        for (const char *id : {"IDL:Bad:1.0", "IDL:Moved:1.0", "IDL:Bad:1.0",
                               KIV_TLIB_LOCAL_COUNTER_ID, "IDL:Nope:1.0"}) {
            EXPECT_EQ(kivTLibGetDefinition(t.get(), id, &a),
                      id[4] == 'N' ? KIV_E_UNKNOWN_REPOID : KIV_E_FORMAT);
            EXPECT_EQ(a, nullptr);
        }
        EXPECT_EQ(stateOf(t.get()).cached, cached);
        ASSERT_EQ(kivTLibGetRoot(t.get(), nullptr), 0u);
        char small[8];
        EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), small, 8), KIV_E_BUFFER_TOO_SMALL);
        EXPECT_STREQ(small, "LOCAL:2");
        EXPECT_EQ(kivTLibCreateLocalRepoId(t.get(), nullptr, 0), KIV_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(localId(t.get()), "LOCAL:28");
        EXPECT_EQ(kivTLibFlush(t.get()), 0u);
    }
    EXPECT_EQ(state(), before);
    putRecords(path, {{key(KIV_TLIB_LOCAL_COUNTER_ID), bytes("'zz' 00")}});
    Handle t = open(path);
    EXPECT_EQ(localId(t.get()), "error " + std::to_string(KIV_E_FORMAT));
    EXPECT_EQ(localId(t.get()), "error " + std::to_string(KIV_E_FORMAT));  // not loaded
}

// Local ids stay positive and unique: an exhausted counter refuses, also after a flush and
// reopen, instead of going negative or wrapping around to ids handed out before.
TEST_F(TLibHandle, ExhaustedLocalIdCounterRefuses) {
    const std::string refused = "error " + std::to_string(KIV_E_BAD_STATE);
    struct Case {
        const char *stored;
        std::vector<std::string> ids;
    } cases[] = {
        {"7ffffffe", {"LOCAL:2147483646", "LOCAL:2147483647", refused, refused}},
        {"7fffffff", {"LOCAL:2147483647", refused}},
        {"80000000", {refused, refused}},
        {"fffffffe", {refused, refused}},
        {"ffffffff", {refused}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        addEveryKind(create(path).get());
        putRecords(path,
                   {{key(KIV_TLIB_LOCAL_COUNTER_ID), bytes(std::string("'") + c.stored + "' 00")}});
        {
            Handle t = open(path);
            for (const std::string &id : c.ids) EXPECT_EQ(localId(t.get()), id);
        }
        Handle t = open(path);
        EXPECT_EQ(localId(t.get()), refused);  // the flush on close kept the counter
    }
}

// Two handles on one file: each flush writes only its own changes into the file as the other
// left it, and a handle finds what the other flushed.
TEST_F(TLibHandle, FlushWritesOnlyWhatChanged) {
    addEveryKind(create(path).get());
    chmod(path.c_str(), 0640);
    Handle reader = open(path), writer = open(path);
    for (const char *id : {KIV_TLIB_ROOT_ID, "IDL:M:1.0"})
        ASSERT_EQ(kivTLibGetDefinition(reader.get(), id, nullptr), 0u);
    ASSERT_EQ(addModule(writer.get(), "FromWriter"), 0u);
    kivTLibEnumMember one{"ONE", 1};
    ASSERT_EQ(kivTLibCreateEnum(writer.get(), "K", "IDL:M/K:1.0", "IDL:M:1.0", 0, 1, &one, nullptr),
              0u);
    ASSERT_EQ(kivTLibFlush(writer.get()), 0u);
    Bytes withK = readRecords(path).at(key("IDL:M:1.0"));
    std::string before = state();
    EXPECT_EQ(kivTLibFlush(reader.get()), 0u);  // nothing pending: the file stays as it is
    EXPECT_EQ(state(), before);
    EXPECT_EQ(kivTLibGetDefinition(reader.get(), "IDL:M/K:1.0", nullptr), 0u);
    ASSERT_EQ(addModule(reader.get(), "FromReader"), 0u);
    EXPECT_EQ(stateOf(reader.get()).pending, 2u);  // the module and the root
    ASSERT_EQ(kivTLibFlush(reader.get()), 0u);
    EXPECT_EQ(stateOf(reader.get()).pending, 0u);
    EXPECT_EQ(readRecords(path).at(key("IDL:M:1.0")), withK);  // not the reader's older copy
    Handle check = open(path, KIV_TLIB_READONLY);
    kivTLibDef *root = nullptr;
    ASSERT_EQ(kivTLibGetRoot(check.get(), &root), 0u);
    auto contents = contentsOf(root);
    EXPECT_EQ(std::vector<std::string>(contents.begin(), contents.end()),
              (std::vector<std::string>{"IDL:M:1.0", "IDL:FromReader:1.0", "IDL:FromWriter:1.0"}));
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Rounds of writes, each flushed and looked up again on the same handle, with ids out of key
// order and a third of the records exactly 488 bytes long, the longest that a 1024-byte page
// keeps in place: every record is in the file, and db_dump185 lists them.
TEST_F(TLibHandle, FlushThenMoreLookupsAndWritesAsDbDump185SeesThem) {
    Handle t = create(path, KIV_TLIB_AUTOFLUSH);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    std::vector<std::string> ids{KIV_TLIB_ROOT_ID, KIV_TLIB_ANONYMOUS_SCOPE_ID};
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 40; ++i) {
            std::string id = "IDL:T/" + std::to_string((i * 7919 + round * 31) % 1000) + "_" +
                             std::to_string(round) + ":1.0";
            ids.push_back(id);
            std::string name;
            kivTLibStructMember m{name.c_str(), {KIV_TYPE_OCTET, nullptr}};
            auto size = [&] {  // of the record with a member called `name`
                m.name = name.c_str();
                DefinitionPtr d(&buildStruct("P", id.c_str(), KIV_TLIB_ROOT_ID, 0, 1, &m)->header);
                return id.size() + 1 + encode(d.get()).size();
            };
            while (i % 3 == 0 && size() < 488) name += 'p';
            ASSERT_EQ(i % 3 ? kivTLibCreateString(t.get(), id.c_str(), 0, i, nullptr)
                            : kivTLibCreateStruct(t.get(), "P", id.c_str(), KIV_TLIB_ROOT_ID, 0, 1,
                                                  &m, nullptr),
                      0u);
        }
        for (const auto &id : ids)
            ASSERT_EQ(kivTLibGetDefinition(t.get(), id.c_str(), nullptr), 0u);
        EXPECT_EQ(localId(t.get()), "LOCAL:" + std::to_string(round + 1));
    }
    EXPECT_EQ(kivTLibClose(t.release()), 0u);

    Records records = readRecords(path);
    EXPECT_EQ(records.size(), ids.size() + 1);  // and the counter
    int exactly488 = 0;
    for (const auto &[k, v] : records) exactly488 += k.size() + v.size() == 488;
    EXPECT_EQ(exactly488, 6 * 14);

    // db_dump185 lists the same records: after its header, key and value lines in hex (with a
    // leading blank, and a DATA=END line at the end, in some versions).
    kivtest::ProcessResult dump = kivtest::runProcess({KIV_DB_DUMP185, path});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
    std::string listed = "HEADER=END\n", got = dump.out.substr(dump.out.find("HEADER=END"));
    for (const auto &[k, v] : records)
        listed += hex(Bytes(k.begin(), k.end())) + "\n" + hex(v) + "\n";
    std::erase(listed, ' ');
    std::erase(got, ' ');
    std::transform(got.begin(), got.end(), got.begin(), ::toupper);
    EXPECT_EQ(got.substr(0, got.find("DATA=END")), listed);
}

// A failing flush, alone or at the end of a creating operation, keeps every change pending.
TEST_F(TLibHandle, FailedFlushKeepsEverythingPending) {
    Handle t = create(path, KIV_TLIB_AUTOFLUSH);
    ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    EXPECT_EQ(readRecords(path).count(key(KIV_TLIB_ROOT_ID)), 1u);
    EXPECT_EQ(stateOf(t.get()).pending, 0u);

    // The file vanished.
    std::string moved = dir.file("moved");
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    EXPECT_EQ(localId(t.get()), "error " + std::to_string(KIV_E_SYSTEM(ENOENT)));
    kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
    EXPECT_EQ(kivTLibCreateModule(t.get(), "A", "IDL:A:1.0", KIV_TLIB_ROOT_ID, 0, &out),
              KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(stateOf(t.get()).pending, 2u);  // A and the root
    EXPECT_TRUE(stateOf(t.get()).counterPending);
    ASSERT_EQ(std::rename(moved.c_str(), path.c_str()), 0);
    EXPECT_EQ(readRecords(path).count(key("IDL:A:1.0")), 0u);
    // From here on, flushes are explicit: a handle without auto-flush (closing this one writes
    // what it holds).
    ASSERT_EQ(kivTLibClose(t.release()), 0u);
    t = open(path);

    // The file may not grow: the first write of the flush fails.
    std::string big(600, 'x');
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(kivTLibCreateString(t.get(), (big + std::to_string(i)).c_str(), 0, 1, nullptr),
                  0u);
    std::string before = kivtest::readFile(path);
    ustFsInjectFault(1, EFBIG, 1u << UST_FS_WRITE);
    kivResult rc = kivTLibFlush(t.get());
    ustFsInjectFault(0, 0, 0);
    EXPECT_EQ(rc, KIV_E_SYSTEM(EFBIG));
    EXPECT_EQ(stateOf(t.get()).pending, 201u);  // and the anonymous-types scope
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

}  // namespace
