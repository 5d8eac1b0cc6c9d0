// SPDX-License-Identifier: Apache-2.0
// kiv tlib info|dump|check on generated library files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "damage.h"
#include "test_support.h"
#include "tlib_fixtures.h"

namespace {

class TLibCli : public ::testing::Test {
  protected:
    void SetUp() override { tlibtest::addEveryKind(tlibtest::create(all).get()); }

    void expectTool(std::vector<std::string> args, int status, const std::string &out,
                    const std::string &err = "") {
        args.insert(args.begin(), {KIV_TOOL, "tlib"});
        auto r = kivtest::runProcess(args);
        EXPECT_EQ(r.exitCode, status) << args[2];
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
    }

    kivtest::TempDir dir;
    std::string all = dir.file("all.tlb");
};

// Every kind, value, anonymous type, repository id and flag as the printer shows it.
TEST_F(TLibCli, InfoAndDump) {
    {
        tlibtest::Handle h = tlibtest::open(all);
        kivTLibTypeRef type{KIV_TYPE_DOUBLE, nullptr};
        kivTLibValue nan{KIV_TYPE_DOUBLE, {}};
        nan.f64 = std::nan("");
        ASSERT_EQ(kivTLibCreateConstant(h.get(), "NAN", "IDL:M/NAN:1.0", "IDL:M:1.0", 0, &type,
                                        &nan, nullptr),
                  0u);
    }
    std::string before = kivtest::readFile(all);
    expectTool({"info", all}, 0,
               "root module       present\n"
               "definitions       32\n"
               "  module          1\n"
               "  interface       2\n"
               "  constant        20\n"
               "  struct          1\n"
               "  union           1\n"
               "  enum            1\n"
               "  alias           1\n"
               "  string          1\n"
               "  wstring         1\n"
               "  sequence        1\n"
               "  array           2\n"
               "local id counter  1\n");
    EXPECT_EQ(kivtest::readFile(all), before);  // reading the counter writes nothing
    expectTool({"dump", all, "LOCAL:2"}, 0, "anonymous \"LOCAL:2\" long[2][3];\n");
    // The dump reads back into the same library (the IDL tests check that byte for byte).
    expectTool({"dump", all}, 0, R"(anonymous "LOCAL:5" wstring<5>;
anonymous "LOCAL:1" long[3];
anonymous "LOCAL:2" array "LOCAL:1"[2];
anonymous "LOCAL:3" sequence<wstring, 200000>;
anonymous "LOCAL:4" string<268435456>;
module M {
    const boolean B = TRUE;
    const octet O = 255;
    const char C = '\'';
    const wchar W = L'\u20ac';
    const short S = -1;
    const unsigned short US = 65535;
    const long L = -2147483648;
    const unsigned long UL = 4294967295;
    const long long LL = -9223372036854775808;
    const unsigned long long ULL = 18446744073709551615;
    const float F = 0.1;
    const double D = -0.0;
    const decimal32 D32 = 1.00;
    const decimal64 D64 = -0.000001;
    const decimal64 E64 = 1E+3;
    const decimal128 D128 = 99999999999999999999999999999999.99;
    const string STR = "say \"hi\"\n";
    const wstring "LOCAL:5" WSTR = L"say \"hi\"\n";
    @id("DCE:0d4a-grid:1") @flags(0x00070000) typedef array "LOCAL:2" Grid;
    enum Level {
        LOW,
        HIGH = 4294967295
    };
    const M::Level TOP = M::HIGH;
    interface IBase;
    @forward interface IGrid {
        struct Cell {
            array "LOCAL:2" g;
            sequence "LOCAL:3" names;
            string "LOCAL:4" tag;
        };
    };
    @id("IDL:M/IGrid:1.0") @flags(0x00050000) interface IGrid : M::IBase {
        @flags(0xffffffff) M::Grid fill(inout M::IGrid::Cell c, out interface "IDL:Other/IWho:1.0" who, in union "IDL:M/Maybe:1.0" n);
        attribute M::Level level;
    };
    union Maybe switch (boolean) {
        case TRUE: long yes;
        default: string other;
    };
    const double NAN = NaN;
};
)");
}

TEST_F(TLibCli, CheckPassesACompatibleSupersetAndFailsOtherwise) {
    std::string superset = dir.file("superset.tlb"), old = dir.file("old.tlb");
    const char *m = "IDL:M:1.0";
    kivTLibTypeRef longType{KIV_TYPE_LONG, nullptr}, boolean{KIV_TYPE_BOOLEAN, nullptr};
    kivTLibValue no{KIV_TYPE_BOOLEAN, {}};
    kivTLibStructMember field{"x", longType};
    tlibtest::Handle h = tlibtest::create(superset);
    tlibtest::addEveryKind(h.get());
    ASSERT_EQ(kivTLibCreateAlias(h.get(), "Extra", "IDL:M/Extra:1.0", m, 0, &longType, nullptr),
              0u);
    h = tlibtest::create(old);  // one whose definitions the every-kind library changed or dropped
    kivTLib *t = h.get();
    for (kivResult rc : {kivTLibCreateRoot(t, 0, nullptr),
                         kivTLibCreateModule(t, "M", m, KIV_TLIB_ROOT_ID, 0, nullptr),
                         kivTLibCreateConstant(t, "B", "IDL:M/B:1.0", m, 0, &boolean, &no, nullptr),
                         kivTLibCreateStruct(t, "TOP", "IDL:M/TOP:1.0", m, 0, 1, &field, nullptr),
                         kivTLibCreateStruct(t, "Gone", "IDL:M/Gone:1.0", m, 0, 1, &field, nullptr),
                         kivTLibCreateArray(t, "LOCAL:1", 0, 4, &longType, nullptr)})
        ASSERT_EQ(rc, 0u);
    h.reset();
    expectTool({"check", all, superset}, 0, "33 definitions compatible\n");
    expectTool({"check", old, all}, 1,
               "IDL:M/B:1.0: incompatible\n"
               "IDL:M/TOP:1.0: incompatible: was struct, now constant\n"
               "IDL:M/Gone:1.0: missing\n"
               "LOCAL:1: incompatible\n"
               "4 of 7 definitions incompatible or missing\n");
}

TEST_F(TLibCli, ErrorsAndUsage) {
    std::string missing = dir.file("missing.tlb"), stranger = dir.file("stranger.tlb");
    tlibtest::putRecords(stranger, {{tlibtest::key("IDL:X:1.0"), tlibtest::bytes("00")}});
    expectTool({"check", all, missing}, 1, "",
               "kiv: tlib check: " + missing + ": No such file or directory\n");
    expectTool(
        {"info", stranger}, 1, "",
        "kiv: tlib info: " + stranger + ": not a type library: no anonymous-types scope record\n");
    expectTool({"dump", all, "IDL:Nope:1.0"}, 1, "",
               "kiv: tlib dump: IDL:Nope:1.0: Unknown repository id\n");
    expectTool({"list", all}, 2, "",
               "kiv: tlib: expected info FILE, dump FILE [REPOID], check [OLD] NEW, header "
               "FILE [REPOID...], register FILE or unregister FILE\n");
    expectTool({"dump", all, "a", "b"}, 2, "", "kiv: tlib dump: expected FILE [REPOID]\n");
}

// Files that are not sound libraries: info says why in plain words, check lists the damage page
// by page, and neither blocks on a FIFO nor trips over a null entry in a module's contents.
TEST_F(TLibCli, DamagedAndForeignFiles) {
    std::string bytes = kivtest::readFile(all), linkCut = dir.file("cut.tlb");
    const size_t page = tlibtest::linkedLeafPage(bytes);
    ASSERT_NE(page, 0u) << "the library has a single leaf page";
    const uint32_t next = tlibtest::be32(bytes, page * 1024 + 8);
    std::string cut = bytes;
    std::fill_n(cut.begin() + page * 1024 + 8, 4, '\0');
    kivtest::writeFile(linkCut, cut);
    std::string text = dir.file("text.tlb"), fifo = dir.file("fifo.tlb"), nulls = dir.file("n.tlb");
    kivtest::writeFile(text, "not a library");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kivtest::writeFile(nulls, bytes);
    tlibtest::putRecords(nulls, {{tlibtest::key(KIV_TLIB_ROOT_ID),
                                  tlibtest::bytes("02 00 2A '" KIV_TLIB_ROOT_ID "' 01 01 02 00 00 "
                                                  "02 00 01")}});

    std::string damaged = "page " + std::to_string(page) + ": next-page link 0, expected " +
                          std::to_string(next) + "\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"check", linkCut}, 1, damaged + linkCut + ": 1 problem\n", ""},
        {{"info", text},
         1,
         "",
         "kiv: tlib info: " + text +
             ": not a type library, or a damaged one: file: size 13 is "
             "not a whole number (at least 2) of 1024-byte pages: truncated or not a library\n"},
        {{"info", fifo},
         1,
         "",
         "kiv: tlib info: " + fifo + ": not a type library: not a regular file\n"},
        {{"check", fifo}, 1, "file: not a regular file\n" + fifo + ": 1 problem\n", ""},
        {{"check", dir.path()}, 1, "file: a folder\n" + dir.path() + ": 1 problem\n", ""},
    };
    for (const Case &c : cases) expectTool(c.args, c.status, c.out, c.err);

    // A sibling link lies on no lookup's path: info reads the library, check reports the link.
    auto r = kivtest::runProcess({KIV_TOOL, "tlib", "info", linkCut});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = kivtest::runProcess({KIV_TOOL, "tlib", "check", all});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("records, no problems found"), std::string::npos) << r.out;
    r = kivtest::runProcess({KIV_TOOL, "tlib", "info", nulls});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("null entries      1"), std::string::npos) << r.out;
}

}  // namespace
