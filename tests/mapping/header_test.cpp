// SPDX-License-Identifier: Apache-2.0
// The header generator: what a header holds for the ids asked, and the libraries it refuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "header_gen.h"
#include "test_support.h"

namespace {

constexpr const char *kDemo = "IDL:Demo:1.0";

kivTLibTypeRef type(kivTLibTypeTag tag, const char *id = nullptr) {
    return {tag, id};
}

// A library with module Demo and struct Demo::Point, plus what `fill` adds.
struct Library {
    explicit Library(const std::function<void(kivTLib *)> &fill) {
        EXPECT_EQ(kivTLibCreate(dir.file("t.tlb").c_str(), 0, &tlib), 0u);
        EXPECT_EQ(kivTLibCreateRoot(tlib, 0, nullptr), 0u);
        EXPECT_EQ(kivTLibCreateModule(tlib, "Demo", kDemo, KIV_TLIB_ROOT_ID, 0, nullptr), 0u);
        kivTLibStructMember point[] = {{"x", type(KIV_TYPE_DOUBLE)}, {"y", type(KIV_TYPE_DOUBLE)}};
        EXPECT_EQ(
            kivTLibCreateStruct(tlib, "Point", "IDL:Demo/Point:1.0", kDemo, 0, 2, point, nullptr),
            0u);
        fill(tlib);
    }
    ~Library() { kivTLibClose(tlib); }
    kivtest::TempDir dir;
    kivTLib *tlib = nullptr;
};

void interface(kivTLib *t, const char *name, const char *base, std::vector<kivTLibMember> members) {
    std::string id = std::string("IDL:Demo/") + name + ":1.0";
    EXPECT_EQ(
        kivTLibCreateInterface(t, name, id.c_str(), kDemo, 0, base,
                               static_cast<uint32_t>(members.size()), members.data(), nullptr),
        0u);
}

kivTLibMember attribute(const char *name, kivTLibTypeRef t, uint32_t flags = 0) {
    return {KIV_MEMBER_ATTRIBUTE, name, flags, t, 0, nullptr};
}
kivTLibMember operation(const char *name, kivTLibTypeRef result = type(KIV_TYPE_VOID)) {
    return {KIV_MEMBER_OPERATION, name, 0, result, 0, nullptr};
}

TEST(MappingHeader, RefusesLibrariesItCannotMap) {
    const struct {
        const char *what;
        std::function<void(kivTLib *)> fill;
        std::string error;
    } cases[] = {
        {"an operation named like a getter",
         [](kivTLib *t) {
             interface(t, "I", nullptr,
                       {attribute("size", type(KIV_TYPE_LONG)), operation("get_size")});
         },
         "IDL:Demo/I:1.0: two slots named get_size"},
        {"a member named like a base slot",
         [](kivTLib *t) { interface(t, "I", nullptr, {operation("release")}); },
         "two slots named release"},
        {"a member repeated in a derived interface",
         [](kivTLib *t) {
             interface(t, "A", nullptr, {operation("go")});
             interface(t, "B", "IDL:Demo/A:1.0", {operation("go")});
         },
         "IDL:Demo/B:1.0: two slots named go"},
        {"a structure inside itself",
         [](kivTLib *t) {
             kivTLibStructMember self[] = {{"again", type(KIV_TYPE_STRUCT, "IDL:Demo/Loop:1.0")}};
             kivTLibCreateStruct(t, "Loop", "IDL:Demo/Loop:1.0", kDemo, 0, 1, self, nullptr);
         },
         "IDL:Demo/Loop:1.0: contains itself by value"},
        {"a reference to nothing",
         [](kivTLib *t) {
             kivTLibStructMember m[] = {{"p", type(KIV_TYPE_STRUCT, "IDL:Demo/Gone:1.0")}};
             kivTLibCreateStruct(t, "S", "IDL:Demo/S:1.0", kDemo, 0, 1, m, nullptr);
         },
         "IDL:Demo/Gone:1.0: "},
        {"a tag that does not match the definition",
         [](kivTLib *t) {
             kivTLibStructMember m[] = {{"p", type(KIV_TYPE_ENUM, "IDL:Demo/Point:1.0")}};
             kivTLibCreateStruct(t, "S", "IDL:Demo/S:1.0", kDemo, 0, 1, m, nullptr);
         },
         "IDL:Demo/Point:1.0 is a struct, not what its type tag says"},
        {"a base that is only declared",
         [](kivTLib *t) {
             kivTLibCreateInterfaceFwd(t, "A", "IDL:Demo/A:1.0", kDemo, 0, nullptr);
             interface(t, "B", "IDL:Demo/A:1.0", {});
         },
         "base IDL:Demo/A:1.0 is not a defined interface"},
        {"an array of length 0",
         [](kivTLib *t) {
             kivTLibTypeRef l = type(KIV_TYPE_LONG);
             kivTLibCreateArray(t, "LOCAL:1", 0, 0, &l, nullptr);
             kivTLibTypeRef a = type(KIV_TYPE_ARRAY, "LOCAL:1");
             kivTLibCreateAlias(t, "Empty", "IDL:Demo/Empty:1.0", kDemo, 0, &a, nullptr);
         },
         "LOCAL:1: array of length 0"},
    };
    for (const auto &c : cases) {
        Library library(c.fill);
        std::string out, error;
        EXPECT_FALSE(
            kivtool::generateHeader(library.tlib, {}, kivtool::HeaderLang::C, "G_H", out, error))
            << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.what;
    }
}

TEST(MappingHeader, HoldsWhatWasAskedAndWhatItNeeds) {
    Library library([](kivTLib *t) {
        kivTLibStructMember line[] = {{"from", type(KIV_TYPE_STRUCT, "IDL:Demo/Point:1.0")}};
        kivTLibCreateStruct(t, "Line", "IDL:Demo/Line:1.0", kDemo, 0, 1, line, nullptr);
        kivTLibEnumMember e[] = {{"ONE", 1}};
        kivTLibCreateEnum(t, "Unused", "IDL:Demo/Unused:1.0", kDemo, 0, 1, e, nullptr);
        interface(t, "IShape", nullptr,
                  {attribute("size", type(KIV_TYPE_LONG), KIV_MEMBER_READONLY),
                   attribute("name", type(KIV_TYPE_STRING)), operation("class")});
    });
    std::string header, error;
    const std::vector<std::string> line = {"IDL:Demo/Line:1.0"};
    ASSERT_TRUE(kivtool::generateHeader(library.tlib, line, kivtool::HeaderLang::C, "LINE_H",
                                        header, error))
        << error;
    EXPECT_NE(header.find("struct Demo_Point {"), std::string::npos);
    EXPECT_NE(header.find("struct Demo_Line {"), std::string::npos);
    EXPECT_LT(header.find("struct Demo_Point {"), header.find("struct Demo_Line {"));
    EXPECT_EQ(header.find("Demo_Unused"), std::string::npos);
    EXPECT_EQ(header.find("Demo_IShape"), std::string::npos);
    EXPECT_EQ(header.rfind("#ifndef LINE_H\n#define LINE_H\n", 200) == std::string::npos, false);

    // A read-only attribute has no setter; keywords get a trailing '_' in both languages.
    const std::vector<std::string> shape = {"IDL:Demo/IShape:1.0"};
    for (auto lang : {kivtool::HeaderLang::C, kivtool::HeaderLang::Cxx}) {
        ASSERT_TRUE(kivtool::generateHeader(library.tlib, shape, lang, "SHAPE_H", header, error))
            << error;
        EXPECT_NE(header.find("get_size"), std::string::npos);
        EXPECT_EQ(header.find("set_size"), std::string::npos);
        EXPECT_NE(header.find("set_name"), std::string::npos);
        EXPECT_NE(header.find("class_("), std::string::npos);
    }
    EXPECT_FALSE(
        kivtool::generateHeader(library.tlib, {}, kivtool::HeaderLang::C, "1BAD", header, error));
}

TEST(MappingHeader, Command) {
    Library library([](kivTLib *t) { EXPECT_EQ(kivTLibFlush(t), 0u); });
    const std::string lib = library.dir.file("t.tlb"), out = library.dir.file("out.h");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string stdoutHas, stderrIs;
    } cases[] = {
        {{}, 2, "", "kiv: tlib header: expected LIB.tlb [REPOID...] [--lang c|c++] [-o OUT.h]\n"},
        {{lib, "--lang", "c#"}, 2, "", "kiv: tlib header: --lang takes c or c++\n"},
        {{lib, "-o"}, 2, "", "kiv: tlib header: -o needs a value\n"},
        {{lib, "-x"}, 2, "", "kiv: tlib header: unknown option '-x' (did you mean -o?)\n"},
        {{lib + ".none"}, 1, "", "kiv: tlib header: " + lib + ".none: No such file or directory\n"},
        {{lib, "IDL:Nope:1.0"}, 1, "", "kiv: tlib header: IDL:Nope:1.0: Unknown repository id\n"},
        {{lib, "-o", library.dir.file("no/dir.h")},
         1,
         "",
         "kiv: tlib header: " + library.dir.file("no/dir.h") + ": No such file or directory\n"},
        {{lib, "--lang", "c++"},
         0,
         "#ifndef T_TLB_HPP\n#define T_TLB_HPP\n\n#include <kiv.hpp>\n",
         ""},
        {{lib, "IDL:Demo/Point:1.0", "-o", out}, 0, "", ""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {KIV_TOOL, "tlib", "header"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        kivtest::ProcessResult r = kivtest::runProcess(argv);
        EXPECT_EQ(r.exitCode, c.status) << argv.back();
        EXPECT_EQ(r.err, c.stderrIs) << argv.back();
        EXPECT_NE(r.out.find(c.stdoutHas), std::string::npos) << argv.back();
    }
    std::string written = kivtest::readFile(out);
    EXPECT_NE(written.find("#ifndef OUT_H\n#define OUT_H\n\n#include <kiv.h>\n"),
              std::string::npos);
    EXPECT_NE(written.find("struct Demo_Point {"), std::string::npos);
}

// -o replaces the file whole through a scratch file of its own: links planted at the target or
// at a guessable scratch name are never written through, and a file keeps its permissions.
TEST(MappingHeader, OutputNeverWritesThroughLinks) {
    Library library([](kivTLib *t) { EXPECT_EQ(kivTLibFlush(t), 0u); });
    const std::string lib = library.dir.file("t.tlb"), out = library.dir.file("out.h"),
                      victim = library.dir.file("victim");
    const struct {
        const char *what;
        std::function<void()> plant;
        mode_t mode;  // of the header written
    } cases[] = {
        {"a link at OUT.tmp",
         [&] { ASSERT_EQ(symlink(victim.c_str(), (out + ".tmp").c_str()), 0); }, 0644},
        {"a link at OUT", [&] { ASSERT_EQ(symlink(victim.c_str(), out.c_str()), 0); }, 0644},
        {"a private header",
         [&] {
             kivtest::writeFile(out, "old");
             ASSERT_EQ(chmod(out.c_str(), 0600), 0);
         },
         0600},
    };
    for (const auto &c : cases) {
        kivtest::writeFile(victim, "victim");
        unlink(out.c_str());
        unlink((out + ".tmp").c_str());
        c.plant();
        mode_t mask = umask(022);
        kivtest::ProcessResult r =
            kivtest::runProcess({KIV_TOOL, "tlib", "header", lib, "-o", out});
        umask(mask);
        EXPECT_EQ(r.exitCode, 0) << c.what << ": " << r.err;
        EXPECT_EQ(kivtest::readFile(victim), "victim") << c.what;
        struct stat st;
        ASSERT_EQ(lstat(out.c_str(), &st), 0) << c.what;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
        EXPECT_EQ(st.st_mode & 0777, c.mode) << c.what;
        EXPECT_NE(kivtest::readFile(out).find("struct Demo_Point {"), std::string::npos) << c.what;
        size_t scratch = 0;  // none left behind
        for (const auto &entry : std::filesystem::directory_iterator(library.dir.path()))
            scratch += entry.path().filename().string().starts_with(".out.h");
        EXPECT_EQ(scratch, 0u) << c.what;
    }
}

// What the compiler says about a header included alone in strict C11 or C++17 with every
// warning an error; empty when it compiles.
std::string compilerErrors(const std::string &header, kivtool::HeaderLang lang,
                           const kivtest::TempDir &dir) {
    const bool c = lang == kivtool::HeaderLang::C;
    kivtest::writeFile(dir.file(c ? "gen.h" : "gen.hpp"), header);
    kivtest::writeFile(dir.file(c ? "use.c" : "use.cpp"),
                       std::string("#include \"") + (c ? "gen.h" : "gen.hpp") + "\"\n");
    std::string command =
        std::string(c ? MAPPING_C_COMPILER " -std=c11" : MAPPING_CXX_COMPILER " -std=c++17") +
        " -pedantic -Wall -Wextra -Werror -fsyntax-only -I" KIV_TEST_SOURCE_DIR "/libkiv/include " +
        dir.file(c ? "use.c" : "use.cpp") + " 2>&1";
    kivtest::ProcessResult r = kivtest::runShell(command);
    return r.exitCode == 0 ? "" : r.out + r.err + "(exit " + std::to_string(r.exitCode) + ")";
}

constexpr const char *kRoot = KIV_TLIB_ROOT_ID;

void structIn(kivTLib *t, const char *name, const char *id, const char *scope,
              const char *member = "x") {
    kivTLibStructMember m[] = {{member, type(KIV_TYPE_LONG)}};
    EXPECT_EQ(kivTLibCreateStruct(t, name, id, scope, 0, 1, m, nullptr), 0u) << id;
}

void moduleIn(kivTLib *t, const char *name, const char *id, const char *scope = kRoot) {
    EXPECT_EQ(kivTLibCreateModule(t, name, id, scope, 0, nullptr), 0u) << id;
}

// Every header the generator writes compiles; names it cannot give are refused with a message
// naming both definitions, never dropped or left to the compiler.
TEST(MappingHeader, CompilesOrRefusesNamingBoth) {
    const struct {
        const char *what;
        std::function<void(kivTLib *)> fill;
        std::vector<std::string> ids;  // what the header is asked for; all when empty
        std::vector<std::string> cRefusal, cxxRefusal;  // all named in the message; empty: compiles
    } cases[] = {
        {"keywords as root definitions and as modules",
         [](kivTLib *t) {
             structIn(t, "register", "IDL:register:1.0", kRoot, "auto");
             moduleIn(t, "delete", "IDL:delete:1.0");
             structIn(t, "template", "IDL:delete/template:1.0", "IDL:delete:1.0", "new");
             kivTLibTypeRef l = type(KIV_TYPE_LONG);
             kivTLibValue v{KIV_TYPE_LONG, {.u32 = 1}};
             EXPECT_EQ(kivTLibCreateConstant(t, "int", "IDL:int:1.0", kRoot, 0, &l, &v, nullptr),
                       0u);
             kivTLibParam p{"self", type(KIV_TYPE_STRUCT, "IDL:register:1.0"), KIV_PARAM_INOUT};
             kivTLibMember op{KIV_MEMBER_OPERATION, "this", 0, type(KIV_TYPE_LONG), 1, &p};
             EXPECT_EQ(kivTLibCreateInterface(t, "virtual", "IDL:delete/virtual:1.0",
                                              "IDL:delete:1.0", 0, nullptr, 1, &op, nullptr),
                       0u);
         },
         {},
         {},
         {}},
        {"a derived interface declared before its base",
         [](kivTLib *t) {
             kivTLibCreateInterfaceFwd(t, "D", "IDL:Demo/D:1.0", kDemo, 0, nullptr);
             interface(t, "Base", nullptr, {operation("first")});
             interface(t, "D", "IDL:Demo/Base:1.0", {operation("second")});
         },
         {},
         {},
         {}},
        {"one derived interface asked for alone",
         [](kivTLib *t) {
             interface(t, "Base", nullptr,
                       {attribute("at", type(KIV_TYPE_STRUCT, "IDL:Demo/Point:1.0"))});
             interface(t, "D", "IDL:Demo/Base:1.0", {operation("second")});
         },
         {"IDL:Demo/D:1.0"},
         {},
         {}},
        {"a structure named like another's include guard",
         [](kivTLib *t) {
             structIn(t, "P", "IDL:P:1.0", kRoot);
             structIn(t, "P_DEFINED", "IDL:P_DEFINED:1.0", kRoot);
         },
         {},
         {"IDL:P:1.0", "IDL:P_DEFINED:1.0"},
         {}},
        {"A::B_C and A_B::C",
         [](kivTLib *t) {
             moduleIn(t, "A", "IDL:A:1.0");
             moduleIn(t, "A_B", "IDL:A_B:1.0");
             structIn(t, "B_C", "IDL:A/B_C:1.0", "IDL:A:1.0");
             structIn(t, "C", "IDL:A_B/C:1.0", "IDL:A_B:1.0");
         },
         {},
         {"IDL:A/B_C:1.0", "IDL:A_B/C:1.0"},
         {"IDL:A/B_C:1.0", "IDL:A_B/C:1.0"}},
        {"enumerator macros that collide",
         [](kivTLib *t) {
             kivTLibEnumMember xy[] = {{"X_Y", 0}}, y[] = {{"Y", 0}};
             EXPECT_EQ(kivTLibCreateEnum(t, "E", "IDL:Demo/E:1.0", kDemo, 0, 1, xy, nullptr), 0u);
             EXPECT_EQ(kivTLibCreateEnum(t, "E_X", "IDL:Demo/E_X:1.0", kDemo, 0, 1, y, nullptr),
                       0u);
         },
         {},
         {"IDL:Demo/E:1.0", "IDL:Demo/E_X:1.0"},
         {}},
        {"a nested definition named like a call helper",
         [](kivTLib *t) {
             interface(t, "I", nullptr, {operation("go")});
             structIn(t, "go", "IDL:Demo/I/go:1.0", "IDL:Demo/I:1.0");
         },
         {},
         {"IDL:Demo/I:1.0", "IDL:Demo/I/go:1.0"},
         {}},
        {"a root constant named like a member",
         [](kivTLib *t) {
             kivTLibTypeRef l = type(KIV_TYPE_LONG);
             kivTLibValue v{KIV_TYPE_LONG, {.u32 = 1}};
             EXPECT_EQ(kivTLibCreateConstant(t, "N", "IDL:N:1.0", kRoot, 0, &l, &v, nullptr), 0u);
             structIn(t, "S", "IDL:Demo/S:1.0", kDemo, "N");
         },
         {},
         {"IDL:N:1.0", "IDL:Demo/S:1.0"},
         {}},
        {"a root constant named like a parameter of the generated code",
         [](kivTLib *t) {
             kivTLibTypeRef l = type(KIV_TYPE_LONG);
             kivTLibValue v{KIV_TYPE_LONG, {.u32 = 1}};
             EXPECT_EQ(
                 kivTLibCreateConstant(t, "value", "IDL:value:1.0", kRoot, 0, &l, &v, nullptr), 0u);
         },
         {},
         {"IDL:value:1.0"},
         {}},
        {"a name that <kiv.h> declares",
         [](kivTLib *t) { structIn(t, "IUnknown", "IDL:IUnknown:1.0", kRoot); },
         {},
         {"IDL:IUnknown:1.0", "<kiv.h>"},
         {"IDL:IUnknown:1.0", "<kiv.h>"}},
        {"a module named like what <kiv.h> declares",
         [](kivTLib *t) {
             moduleIn(t, "IUnknown", "IDL:IUnknown:1.0");
             structIn(t, "S", "IDL:IUnknown/S:1.0", "IDL:IUnknown:1.0");
         },
         {},
         {},
         {"IDL:IUnknown/S:1.0", "<kiv.h>"}},
        {"a nested name that is not an identifier",
         [](kivTLib *t) { structIn(t, "9lives", "IDL:Demo/9lives:1.0", kDemo); },
         {},
         {"IDL:Demo/9lives:1.0: name is not an identifier"},
         {"IDL:Demo/9lives:1.0: name is not an identifier"}},
    };
    for (const auto &c : cases) {
        Library library(c.fill);
        for (auto lang : {kivtool::HeaderLang::C, kivtool::HeaderLang::Cxx}) {
            const auto &refusal = lang == kivtool::HeaderLang::C ? c.cRefusal : c.cxxRefusal;
            const char *language = lang == kivtool::HeaderLang::C ? "C" : "C++";
            std::string header, error;
            bool made = kivtool::generateHeader(library.tlib, c.ids, lang, "GEN_H", header, error);
            if (!refusal.empty()) {
                EXPECT_FALSE(made) << c.what << " in " << language;
                for (const std::string &named : refusal)
                    EXPECT_NE(error.find(named), std::string::npos)
                        << c.what << " in " << language << ": " << error;
                continue;
            }
            ASSERT_TRUE(made) << c.what << " in " << language << ": " << error;
            EXPECT_EQ(compilerErrors(header, lang, library.dir), "")
                << c.what << " in " << language << ":\n"
                << header;
        }
    }
}

std::string hexOf(std::string_view bytes) {
    std::string out;
    char digits[3];
    for (unsigned char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", c);
        out += digits;
    }
    return out;
}

// String constants compiled from the generated headers hold the library's text exactly: every
// byte value, escapes followed by digits and question marks, wide text beyond the BMP.
TEST(MappingHeader, StringConstantsCompileToTheLibraryText) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    const std::string tricky =
        "\x01"
        "7\x7f"
        "8\x1b"
        "0?"
        "?=?\"\\\n1";
    // U+0001 '7', U+009F '9', U+00E9, U+20AC, U+1F600, '?'
    const std::string wide =
        "\x01"
        "7\xc2\x9f"
        "9\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80?";
    const std::string wideUnits =
        "0001003700"
        "9f003900e920acd83dde00003f";
    Library library([&](kivTLib *t) {
        kivTLibTypeRef s = type(KIV_TYPE_STRING), w = type(KIV_TYPE_WSTRING);
        const struct {
            const char *name;
            kivTLibTypeRef *type;
            const std::string &text;
        } constants[] = {{"ALL", &s, all}, {"TRICKY", &s, tricky}, {"WIDE", &w, wide}};
        for (const auto &k : constants) {
            kivTLibValue v{k.type->tag, {.str = k.text.c_str()}};
            std::string id = std::string("IDL:Demo/") + k.name + ":1.0";
            EXPECT_EQ(kivTLibCreateConstant(t, k.name, id.c_str(), kDemo, 0, k.type, &v, nullptr),
                      0u);
        }
    });
    const std::string expected = hexOf(all) + "\n" + hexOf(tricky) + "\n" + wideUnits + "\n";
    const char *c = R"(#include <stdio.h>
#include "gen.h"
static void bytes(const char *s, size_t n) {
    for (size_t i = 0; i < n; ++i) printf("%02x", (unsigned char)s[i]);
    printf("\n");
}
int main(void) {
    bytes(Demo_ALL, sizeof Demo_ALL - 1);
    bytes(Demo_TRICKY, sizeof Demo_TRICKY - 1);
    for (size_t i = 0; i + 1 < sizeof Demo_WIDE / sizeof Demo_WIDE[0]; ++i)
        printf("%04x", (unsigned)Demo_WIDE[i]);
    printf("\n");
    return 0;
}
)";
    const char *cxx = R"(#include <cstdio>
#include <cstring>
#include <string>
#include "gen.hpp"
static void bytes(const char *s) {
    for (size_t i = 0; s[i]; ++i) std::printf("%02x", (unsigned char)s[i]);
    std::printf("\n");
}
int main() {
    bytes(Demo::ALL);
    bytes(Demo::TRICKY);
    for (const char16_t *w = Demo::WIDE; *w; ++w) std::printf("%04x", (unsigned)*w);
    std::printf("\n");
}
)";
    for (auto lang : {kivtool::HeaderLang::C, kivtool::HeaderLang::Cxx}) {
        const bool isC = lang == kivtool::HeaderLang::C;
        std::string header, error;
        ASSERT_TRUE(kivtool::generateHeader(library.tlib, {}, lang, "GEN_H", header, error))
            << error;
        kivtest::writeFile(library.dir.file(isC ? "gen.h" : "gen.hpp"), header);
        const std::string source = library.dir.file(isC ? "text.c" : "text.cpp"),
                          program = library.dir.file("text");
        kivtest::writeFile(source, isC ? c : cxx);
        kivtest::ProcessResult built = kivtest::runShell(
            std::string(isC ? MAPPING_C_COMPILER " -std=c11" : MAPPING_CXX_COMPILER " -std=c++17") +
            " -I" KIV_TEST_SOURCE_DIR "/libkiv/include -o " + program + " " + source + " 2>&1");
        ASSERT_EQ(built.exitCode, 0) << built.out << built.err;
        kivtest::ProcessResult ran = kivtest::runProcess({program});
        EXPECT_EQ(ran.out, expected) << (isC ? "C" : "C++");
    }
}

TEST(MappingHeader, GuardFromPath) {
    EXPECT_EQ(kivtool::guardFromPath("out/demo-types.h"), "DEMO_TYPES_H");
    EXPECT_EQ(kivtool::guardFromPath("greeter.hpp"), "GREETER_HPP");
    EXPECT_EQ(kivtool::guardFromPath("dir/3d.h"), "KIV_3D_H");
}

}  // namespace
