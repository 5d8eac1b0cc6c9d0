// kiv tlib info|dump|check on generated library files.
#include <gtest/gtest.h>

#include <cmath>

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
    expectTool({"info", stranger}, 1, "",
               "kiv: tlib info: " + stranger + ": Type library format error\n");
    expectTool({"dump", all, "IDL:Nope:1.0"}, 1, "",
               "kiv: tlib dump: IDL:Nope:1.0: Unknown repository id\n");
    expectTool({"list", all}, 2, "",
               "kiv: tlib: expected info FILE, dump FILE [REPOID] or check OLD NEW\n");
    expectTool({"dump", all, "a", "b"}, 2, "", "kiv: tlib dump: expected FILE [REPOID]\n");
}

}  // namespace
