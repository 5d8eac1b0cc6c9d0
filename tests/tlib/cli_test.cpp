// kiv tlib info|dump|check on generated library files.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_support.h"
#include "tlib_fixtures.h"

using kivtest::runProcess;
using tlibtest::Handle;

namespace {

kivtest::ProcessResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), KIV_TOOL);
    return runProcess(args);
}

void expectOutput(const std::vector<std::string> &args, int status, const std::string &out,
                  const std::string &err = "") {
    auto r = tool(args);
    EXPECT_EQ(r.exitCode, status) << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

constexpr const char *kDemoIdl = R"(module Demo {
    struct Point {
        double x;
        double y;
    };
    enum Color {
        RED,
        GREEN,
        BLUE
    };
    interface IShape {
        attribute Demo::Point origin;
        attribute string name;
        void move(in double dx, in double dy);
        boolean contains(in Demo::Point p, out Demo::Color hit);
    };
    union Fill switch (Demo::Color) {
        case Demo::RED: double intensity;
        case Demo::GREEN: Demo::Point pattern;
        default: string<32> label;
    };
    const unsigned long MAX_POINTS = 1000;
    typedef sequence<Demo::Point, 10> Path;
};
// anonymous types
// LOCAL:1  string<32>
// LOCAL:2  sequence<Demo::Point, 10>
)";

class TLibCli : public ::testing::Test {
  protected:
    // The demonstration library of examples/tlib_demo.c.
    std::string demoLibrary(const std::string &name = "demo.tlb") {
        std::string path = dir.file(name);
        auto r = runProcess({TLIB_DEMO, path});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return path;
    }

    kivtest::TempDir dir;
};

TEST_F(TLibCli, DemoLibraryInfoAndDump) {
    std::string path = demoLibrary();
    expectOutput({"tlib", "dump", path}, 0, kDemoIdl);
    expectOutput({"tlib", "dump", path, "IDL:Demo/Fill:1.0"}, 0,
                 "union Fill switch (Demo::Color) {\n"
                 "    case Demo::RED: double intensity;\n"
                 "    case Demo::GREEN: Demo::Point pattern;\n"
                 "    default: string<32> label;\n"
                 "};\n");
    expectOutput({"tlib", "dump", path, "LOCAL:2"}, 0, "// LOCAL:2  sequence<Demo::Point, 10>\n");
    expectOutput({"tlib", "info", path}, 0,
                 "root module       present\n"
                 "definitions       9\n"
                 "  module          1\n"
                 "  interface       1\n"
                 "  constant        1\n"
                 "  struct          1\n"
                 "  union           1\n"
                 "  enum            1\n"
                 "  alias           1\n"
                 "  string          1\n"
                 "  wstring         0\n"
                 "  sequence        1\n"
                 "  array           0\n"
                 "local id counter  3\n");
    // Reading the counter through a read-only handle leaves the file as it was.
    std::string before = kivtest::readFile(path);
    expectOutput({"tlib", "info", path}, 0, tool({"tlib", "info", path}).out);
    EXPECT_EQ(kivtest::readFile(path), before);
}

// Values, anonymous types, repository ids and flags as the printer shows them.
TEST_F(TLibCli, DumpShowsEveryKindExactly) {
    std::string path = dir.file("all.tlb");
    {
        Handle h = tlibtest::create(path);
        kivTLib *t = h.get();
        auto ok = [](kivResult rc) { ASSERT_EQ(rc, 0u); };
        ok(kivTLibCreateRoot(t, 0, nullptr));
        ok(kivTLibCreateModule(t, "M", "IDL:M:1.0", KIV_TLIB_ROOT_ID, 0, nullptr));
        auto constant = [&](const char *name, kivTLibTypeRef type, kivTLibValue v) {
            std::string id = std::string("IDL:M/") + name + ":1.0";
            ok(kivTLibCreateConstant(t, name, id.c_str(), "IDL:M:1.0", 0, &type, &v, nullptr));
        };
        auto value = [](uint32_t tag, uint64_t bits) {
            kivTLibValue v{tag, {}};
            v.u64 = bits;
            return v;
        };
        auto number = [&](const char *name, uint32_t tag, uint64_t bits) {
            constant(name, {tag, nullptr}, value(tag, bits));
        };
        number("B", KIV_TYPE_BOOLEAN, 1);
        number("O", KIV_TYPE_OCTET, 255);
        number("C", KIV_TYPE_CHAR, '\'');
        number("W", KIV_TYPE_WCHAR, 0x20AC);
        number("S", KIV_TYPE_SHORT, 0xFFFF);
        number("L", KIV_TYPE_LONG, 0x80000000u);
        kivTLibValue f{KIV_TYPE_FLOAT, {}};
        f.f32 = 0.1f;
        constant("F", {KIV_TYPE_FLOAT, nullptr}, f);
        kivTLibValue d{KIV_TYPE_DOUBLE, {}};
        d.f64 = -0.0;
        constant("D", {KIV_TYPE_DOUBLE, nullptr}, d);
        d.f64 = std::nan("");
        constant("NAN", {KIV_TYPE_DOUBLE, nullptr}, d);
        number("D32", KIV_TYPE_DECIMAL32, (99u << 23) | 100);                  // 1.00
        number("D64", KIV_TYPE_DECIMAL64, (1ull << 63) | (392ull << 53) | 1);  // -0.000001
        number("E64", KIV_TYPE_DECIMAL64, (401ull << 53) | 1);                 // 1E+3
        kivTLibValue d128{KIV_TYPE_DECIMAL128, {}};
        d128.d128[0] = 0x378D8E63FFFFFFFFull;  // 10^34 - 1 at exponent -2
        d128.d128[1] = (6174ull << 49) | 0x1ED09BEAD87C0ull;
        constant("D128", {KIV_TYPE_DECIMAL128, nullptr}, d128);
        kivTLibValue s{KIV_TYPE_STRING, {}};
        s.str = "say \"hi\"\n";
        constant("STR", {KIV_TYPE_STRING, nullptr}, s);
        s.tag = KIV_TYPE_WSTRING;
        ok(kivTLibCreateWString(t, "LOCAL:5", 0, 5, nullptr));
        constant("WSTR", {KIV_TYPE_WSTRING, "LOCAL:5"}, s);

        kivTLibTypeRef longType{KIV_TYPE_LONG, nullptr};
        ok(kivTLibCreateArray(t, "LOCAL:1", 0, 3, &longType, nullptr));
        kivTLibTypeRef row{KIV_TYPE_ARRAY, "LOCAL:1"};
        ok(kivTLibCreateArray(t, "LOCAL:2", 0, 2, &row, nullptr));
        kivTLibTypeRef grid{KIV_TYPE_ARRAY, "LOCAL:2"};
        ok(kivTLibCreateAlias(t, "Grid", "DCE:0d4a-grid:1", "IDL:M:1.0", 0x00070000u, &grid,
                              nullptr));
        kivTLibTypeRef wideString{KIV_TYPE_WSTRING, nullptr};
        ok(kivTLibCreateSequence(t, "LOCAL:3", 0, 0, &wideString, nullptr));

        kivTLibEnumMember levels[] = {{"LOW", 0}, {"HIGH", 1024}};
        ok(kivTLibCreateEnum(t, "Level", "IDL:M/Level:1.0", "IDL:M:1.0", 0, 2, levels, nullptr));
        kivTLibValue high{KIV_TYPE_ENUM, {}};
        high.u32 = 1024;
        constant("TOP", {KIV_TYPE_ENUM, "IDL:M/Level:1.0"}, high);

        ok(kivTLibCreateInterfaceFwd(t, "IBase", "IDL:M/IBase:1.0", "IDL:M:1.0", 0, nullptr));
        ok(kivTLibCreateInterfaceFwd(t, "IGrid", "IDL:M/IGrid:1.0", "IDL:M:1.0", 0, nullptr));
        kivTLibStructMember cell[] = {{"g", grid}, {"names", {KIV_TYPE_SEQUENCE, "LOCAL:3"}}};
        ok(kivTLibCreateStruct(t, "Cell", "IDL:M/IGrid/Cell:1.0", "IDL:M/IGrid:1.0", 0, 2, cell,
                               nullptr));
        kivTLibParam params[] = {
            {"c", {KIV_TYPE_STRUCT, "IDL:M/IGrid/Cell:1.0"}, KIV_PARAM_INOUT},
            {"who", {KIV_TYPE_INTERFACE, "IDL:Other/IWho:1.0"}, KIV_PARAM_OUT}};
        kivTLibMember members[] = {
            {KIV_MEMBER_OPERATION, "fill", 0x12, {KIV_TYPE_ALIAS, "DCE:0d4a-grid:1"}, 2, params},
            {KIV_MEMBER_ATTRIBUTE, "level", 0, {KIV_TYPE_ENUM, "IDL:M/Level:1.0"}, 0, nullptr},
        };
        ok(kivTLibCreateInterface(t, "IGrid", "IDL:M/IGrid:1.0", "IDL:M:1.0", 0, "IDL:M/IBase:1.0",
                                  2, members, nullptr));
        kivTLibUnionCase cases[] = {{"yes", longType, {KIV_TYPE_BOOLEAN, {}}},
                                    {"other", {KIV_TYPE_STRING, nullptr}, {KIV_VALUE_NONE, {}}}};
        cases[0].label.u8 = 1;
        kivTLibTypeRef boolean{KIV_TYPE_BOOLEAN, nullptr};
        ok(kivTLibCreateUnion(t, "Maybe", "IDL:M/Maybe:1.0", "IDL:M:1.0", 0, &boolean, 2, cases,
                              nullptr));
    }
    expectOutput({"tlib", "dump", path}, 0, R"(module M {
    const boolean B = TRUE;
    const octet O = 255;
    const char C = '\'';
    const wchar W = L'\u20ac';
    const short S = -1;
    const long L = -2147483648;
    const float F = 0.1;
    const double D = -0.0;
    const double NAN = NaN;
    const decimal32 D32 = 1.00;
    const decimal64 D64 = -0.000001;
    const decimal64 E64 = 1E+3;
    const decimal128 D128 = 99999999999999999999999999999999.99;
    const string STR = "say \"hi\"\n";
    const wstring<5> WSTR = L"say \"hi\"\n";
    typedef long Grid[2][3]; /* flags 0x00070000 */
    #pragma ID M::Grid "DCE:0d4a-grid:1"
    enum Level {
        LOW,
        HIGH /* = 1024 */
    };
    const M::Level TOP = M::HIGH;
    interface IBase;
    interface IGrid : M::IBase {
        struct Cell {
            long g[2][3];
            sequence<wstring> names;
        };
        M::Grid fill(inout M::IGrid::Cell c, out Other::IWho who); /* flags 0x00000012 */
        attribute M::Level level;
    };
    union Maybe switch (boolean) {
        case TRUE: long yes;
        default: string other;
    };
};
// anonymous types
// LOCAL:5  wstring<5>
// LOCAL:1  long[3]
// LOCAL:2  long[2][3]
// LOCAL:3  sequence<wstring>
)");
}

TEST_F(TLibCli, CheckPassesACompatibleSupersetAndFailsOtherwise) {
    std::string old = demoLibrary();
    std::string same = demoLibrary("same.tlb");
    {  // Additions keep a library compatible, except inside interfaces, structures and unions.
        Handle h = tlibtest::open(same);
        kivTLibTypeRef longType{KIV_TYPE_LONG, nullptr};
        ASSERT_EQ(kivTLibCreateAlias(h.get(), "Extra", "IDL:Demo/Extra:1.0", "IDL:Demo:1.0", 0,
                                     &longType, nullptr),
                  0u);
        ASSERT_EQ(
            kivTLibCreateModule(h.get(), "More", "IDL:More:1.0", KIV_TLIB_ROOT_ID, 0, nullptr), 0u);
    }
    expectOutput({"tlib", "check", old, same}, 0, "11 definitions compatible\n");

    std::string changed = dir.file("changed.tlb");
    {
        Handle h = tlibtest::create(changed);
        kivTLib *t = h.get();
        kivTLibTypeRef doubleType{KIV_TYPE_DOUBLE, nullptr};
        ASSERT_EQ(kivTLibCreateRoot(t, 0, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateModule(t, "Demo", "IDL:Demo:1.0", KIV_TLIB_ROOT_ID, 0, nullptr), 0u);
        kivTLibStructMember swapped[] = {{"y", doubleType}, {"x", doubleType}};
        ASSERT_EQ(kivTLibCreateStruct(t, "Point", "IDL:Demo/Point:1.0", "IDL:Demo:1.0", 0, 2,
                                      swapped, nullptr),
                  0u);
        ASSERT_EQ(kivTLibCreateStruct(t, "Color", "IDL:Demo/Color:1.0", "IDL:Demo:1.0", 0, 1,
                                      swapped, nullptr),
                  0u);
        ASSERT_EQ(kivTLibCreateString(t, "LOCAL:1", 0, 32, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateArray(t, "LOCAL:2", 0, 10, &doubleType, nullptr), 0u);
    }
    expectOutput({"tlib", "check", old, changed}, 1,
                 "IDL:Demo/Point:1.0: incompatible\n"
                 "IDL:Demo/Color:1.0: incompatible: was enum, now struct\n"
                 "IDL:Demo/IShape:1.0: missing\n"
                 "IDL:Demo/Fill:1.0: missing\n"
                 "IDL:Demo/MAX_POINTS:1.0: missing\n"
                 "IDL:Demo/Path:1.0: missing\n"
                 "LOCAL:2: incompatible: was sequence, now array\n"
                 "7 of 11 definitions incompatible or missing\n");
}

TEST_F(TLibCli, ErrorsAndUsage) {
    std::string demo = demoLibrary();
    std::string missing = dir.file("missing.tlb");
    std::string stranger = dir.file("stranger.tlb");
    tlibtest::putRawRecords(stranger, {{std::string("IDL:X:1.0", 10), tlibtest::bytes("00")}});
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"tlib", "info", missing},
         1,
         "kiv: tlib info: " + missing + ": No such file or directory\n"},
        {{"tlib", "dump", stranger},
         1,
         "kiv: tlib dump: " + stranger + ": Type library format error\n"},
        {{"tlib", "check", demo, missing},
         1,
         "kiv: tlib check: " + missing + ": No such file or directory\n"},
        {{"tlib", "dump", demo, "IDL:Nope:1.0"},
         1,
         "kiv: tlib dump: IDL:Nope:1.0: Unknown repository id\n"},
        {{"tlib"}, 2, "kiv: tlib: expected info FILE, dump FILE [REPOID] or check OLD NEW\n"},
        {{"tlib", "list", demo},
         2,
         "kiv: tlib: expected info FILE, dump FILE [REPOID] or check OLD NEW\n"},
        {{"tlib", "info"}, 2, "kiv: tlib info: expected FILE\n"},
        {{"tlib", "dump", demo, "a", "b"}, 2, "kiv: tlib dump: expected FILE [REPOID]\n"},
        {{"tlib", "check", demo}, 2, "kiv: tlib check: expected OLD NEW\n"},
    };
    for (const auto &c : cases) {
        auto r = tool(c.args);
        EXPECT_EQ(r.exitCode, c.status) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
