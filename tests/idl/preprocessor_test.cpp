// SPDX-License-Identifier: Apache-2.0
// The IDL preprocessor: conditionals, macros, includes and the prefix they carry, hostile
// sources, and the reading of source files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>

#include "idl_compiler.h"
#include "idl_lexer.h"
#include "test_support.h"
#include "tlib_fixtures.h"

namespace {

using namespace kivtool::idl;

using Defines = std::vector<std::pair<std::string, std::string>>;
using Files = std::map<std::string, std::string>;

FileReader memory(Files files) {
    return [files](const std::string &path) -> std::optional<std::string> {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
}

struct Preprocessed {
    std::string tokens;  // spellings separated by blanks; pragmas as #NAME ARGS, synthetic ones
                         // in parentheses with the line they point at
    std::string diagnostics;
    size_t errors = 0;
};

Preprocessed preprocess(const std::string &text, Defines defines = {}, Files files = {},
                        std::vector<std::string> includeDirs = {}) {
    SourceSet sources(memory(std::move(files)));
    Diagnostics diagnostics(sources, 0);
    PreprocessorOptions options;
    options.defines = std::move(defines);
    options.includeDirs = std::move(includeDirs);
    Preprocessor pp(sources, diagnostics, options);
    pp.openText("t.idl", text);
    Preprocessed out;
    auto word = [](const Token &t) {
        if (t.kind == Tok::String) return "\"" + t.text + "\"";
        return t.spelling().empty() ? t.text : t.spelling();
    };
    for (Token t = pp.next(); t.kind != Tok::End; t = pp.next()) {
        if (!out.tokens.empty()) out.tokens += ' ';
        if (t.kind != Tok::Pragma) {
            out.tokens += word(t);
            continue;
        }
        std::string pragma = "#" + t.text;
        for (const Token &arg : t.args) pragma += " " + word(arg);
        out.tokens += t.synthetic ? "(" + pragma + " @" + std::to_string(t.at.line) + ")" : pragma;
    }
    out.diagnostics = diagnostics.text();
    out.errors = diagnostics.errors();
    return out;
}

// A source and what comes of it (tokens, or a part of the diagnostics).
struct TextCase {
    const char *text;
    const char *expected;
};

TEST(Preprocessor, SelectsTheTextACompilerOfCWould) {
    struct Case {
        const char *text;
        Defines defines;
        const char *expected;
    };
    const Case cases[] = {
        // Names that begin with '_' are macros like any other.
        {"#define _F\n#ifdef _F\nyes\n#else\nno\n#endif", {}, "yes"},
        {"#ifdef _F\nyes\n#endif", {{"_F", ""}}, "yes"},
        {"#define __X__\n#if defined(__X__) && defined __X__\nyes\n#endif", {}, "yes"},
        {"#define _F\n#undef _F\n#ifdef _F\nno\n#endif", {}, ""},
        {"#define _T long\n_T x; _U y;", {}, "long x ; _U y ;"},
        {"#ifndef _G_\n#define _G_\n#ifndef _G_\nno\n#endif\nyes\n#endif", {}, "yes"},
        // #if with defined, comments and operators.
        {"#if defined(A) || defined(B)\nyes\n#endif", {{"A", ""}}, "yes"},
        {"#if defined(A) // A is set\nyes\n#endif", {{"A", ""}}, "yes"},
        {"#if defined A && !defined(B) /* B is not */\nyes\n#else\nno\n#endif", {{"A", ""}}, "yes"},
        {"#if (1 + 2) * 3 == 9 && 10 / 3 == 3 && 10 % 3 == 1 && 7 - 9 == -2\nyes\n#endif",
         {},
         "yes"},
        {"#if -1 < 0 && ~0 == -1 && (1 << 4) == 16 && (256 >> 4) == 0x10 && 010 == 8\nyes\n#endif",
         {},
         "yes"},
        {"#if (6 & 3) == 2 && (6 | 3) == 7 && (6 ^ 3) == 5 && 'A' == 65\nyes\n#endif", {}, "yes"},
        {"#define V 3\n#if V > 2 && V <= 3 && V != 4 && V >= 3 && !(V < 3)\nyes\n#endif",
         {},
         "yes"},
        {"#if 0x10UL == 16l && 2u * 3LL == 6\nyes\n#endif", {}, "yes"},
        {"#define V W\n#define W 2\n#if V == 2\nyes\n#endif", {}, "yes"},
        {"#if UNDEFINED == 0 && !UNDEFINED\nyes\n#endif", {}, "yes"},
        {"#if 1 ? 0 : 1\nno\n#elif 2 ? 1 : 0\nyes\n#endif", {}, "yes"},
        // Operands that short-circuiting skips are not evaluated.
        {"#if 0 && 1 / 0\nno\n#elif 1 || 1 % 0\nyes\n#endif", {}, "yes"},
        // #elif and #else chains, also inside switched-off text.
        {"#ifdef A\na\n#elif defined(B)\nb\n#else\nc\n#endif", {{"B", ""}}, "b"},
        {"#ifdef A\na\n#elif defined(B)\nb\n#else\nc\n#endif", {}, "c"},
        {"#if 1\na\n#elif 1\nb\n#else\nc\n#endif", {}, "a"},
        {"#if 0\n#if 1\na\n#elif 1\nb\n#else\nc\n#endif\n#endif\nd", {}, "d"},
        {"#if 0\n#bogus\n#if garbage (((\n#elif 1/0\n#endif\n#endif\nok", {}, "ok"},
        {"#if 0\nconst string S = \"/*\"; don't\n#else\nyes\n#endif", {}, "yes"},
        {"#if 0\n/* a comment\n#else\n*/\n#endif\nyes", {}, "yes"},
        // Comments and continued lines in directives.
        {"#ifdef X /* a comment\n   that ends here */\nno\n#endif\nyes", {}, "yes"},
        {"#define A \\\n  1 2\nA", {}, "1 2"},
        {"#define A \\\r\n  1 2\r\nA", {}, "1 2"},
        {"#if 1 && \\\n 0\nno\n#endif", {}, ""},
        // Directives that change nothing here.
        {"#line 10 \"x.idl\"\n# 5 \"y.idl\" 1\n#ident \"v1\"\n#\nok", {}, "ok"},
        {"#pragma prefix \"p\"\nx", {}, "#prefix \"p\" x"},
    };
    for (const Case &c : cases) {
        Preprocessed p = preprocess(c.text, c.defines);
        EXPECT_EQ(p.tokens, c.expected) << c.text;
        EXPECT_EQ(p.diagnostics, "") << c.text;
    }
}

TEST(Preprocessor, DiagnosesDirectivesAtTheirPlace) {
    const TextCase cases[] = {
        {"#ifndef X\nstruct", "t.idl:1:1: error: #ifndef without #endif"},
        {"\n#if 1\n", "t.idl:2:1: error: #if without #endif"},
        {"#else\n", "t.idl:1:1: error: #else without #if"},
        {"#if 1\n#else\n#elif 1\n#endif", "t.idl:3:1: error: #elif after #else"},
        {"#if 1\n#else\n#else\n#endif", "#else after #else"},
        {"#if 1/0\n#endif", "t.idl:1:6: error: division by zero in #if"},
        {"#if 1 << 64\n#endif", "shift out of range in #if"},
        {"#if (1\n#endif", "expected ')' in #if"},
        {"#if\n#endif", "#if expects an expression"},
        {"#if 1 +\n#endif", "#if expression ends too early"},
        {"#if 1 2\n#endif", "unexpected '2' in #if"},
        {"#if \"s\"\n#endif", "#if expects integers, found 's'"},
        {"#if 1.5\n#endif", "#if expects integers, found '1.5'"},
        {"#if defined(\n#endif", "'defined' expects a name, or one in parentheses"},
        {"#if 99999999999999999999999\n#endif", "integer too large in #if"},
        {"#ifdef\n#endif", "#ifdef expects one name"},
        {"#undef 1\n", "#undef expects one name"},
        {"#define 1 2\n", "#define expects a name"},
        {"#define V 1L\n", "invalid suffix 'L' on a number"},
        {"#error stop here // why\n", "t.idl:1:1: error: #error stop here\n"},
        {"#frobnicate\n", "unknown preprocessor directive '#frobnicate'"},
    };
    for (const TextCase &c : cases) {
        Preprocessed p = preprocess(c.text);
        EXPECT_NE(p.diagnostics.find(c.expected), std::string::npos) << c.text << "\n"
                                                                     << p.diagnostics;
        EXPECT_GE(p.errors, 1u) << c.text;
    }
    Preprocessed w = preprocess("#warning careful\nx");
    EXPECT_EQ(w.errors, 0u);
    EXPECT_EQ(w.tokens, "x");
    EXPECT_NE(w.diagnostics.find("t.idl:1:1: warning: #warning careful"), std::string::npos);
}

TEST(Preprocessor, IncludesFollowGuardsAndCarryTheirOwnPrefix) {
    const Files files = {
        {"g.idl", "#ifndef _G_IDL_\n#define _G_IDL_\ng;\n#endif\n"},
        {"p.idl", "#pragma prefix \"inner\"\nq;\n"},
        {"nested.idl", "n;\n#include \"p.idl\"\nm;\n"},
        {"silent.idl", "#pragma prefix \"never\"\n"},
        {"once.idl", "#pragma once\no;\n"},
        {"members.idl", "long m;\n"},
    };
    const TextCase cases[] = {
        {"#include \"g.idl\"\n#include \"g.idl\"\nx", "g ; x"},
        {"#include \"once.idl\"\n#include <once.idl>\n#include \"./once.idl\"\nx", "o ; x"},
        // A guarded file read again yields nothing, not even a prefix reset.
        {"#pragma prefix \"p\"\n#include \"g.idl\"\n#include \"g.idl\"\nx",
         "#prefix \"p\" (#prefix \"\" @2) g ; (#prefix \"p\" @2) x"},
        {"#include \"p.idl\"\nx", "#prefix \"inner\" q ; (#prefix \"\" @1) x"},
        {"#pragma prefix \"outer\"\n#include \"nested.idl\"\nx",
         "#prefix \"outer\" (#prefix \"\" @2) n ; #prefix \"inner\" q ; (#prefix \"\" @2) m ; "
         "(#prefix \"outer\" @2) x"},
        {"#include \"silent.idl\"\nx", "#prefix \"never\" (#prefix \"\" @1) x"},
        // Members of a struct take no pragma.
        {"#pragma prefix \"p\"\nstruct S {\n#include \"members.idl\"\n};\nx",
         "#prefix \"p\" struct S { long m ; } ; x"},
        {"#pragma prefix \"p\"\ninterface I {\n#include \"members.idl\"\n};\nx",
         "#prefix \"p\" interface I { (#prefix \"\" @3) long m ; (#prefix \"p\" @3) } ; x"},
        // A module restores the prefix at its end, so the includer's comes back as ""
        {"module M {\n#pragma prefix \"m\"\n};\n#include \"p.idl\"\nx",
         "module M { #prefix \"m\" } ; #prefix \"inner\" q ; (#prefix \"\" @4) x"},
    };
    for (const TextCase &c : cases) {
        Preprocessed p = preprocess(c.text, {}, files, {".//"});
        EXPECT_EQ(p.tokens, c.expected) << c.text;
        EXPECT_EQ(p.diagnostics, "") << c.text;
    }
}

class PrefixCompile : public ::testing::Test {
  protected:
    bool defined(const std::string &repoId) {
        tlibtest::Handle handle = tlibtest::open(dir_.file("t.tlb"), KIV_TLIB_READONLY);
        kivTLibDef *def = nullptr;
        return kivTLibGetDefinition(handle.get(), repoId.c_str(), &def) == 0;
    }
    kivtest::TempDir dir_;
};

TEST_F(PrefixCompile, RepositoryIdsTakeThePrefixOfTheirOwnFile) {
    struct Case {
        const char *main;
        const char *included;
        std::vector<const char *> ids;
    };
    const Case cases[] = {
        {"#pragma prefix \"outer\"\n#include \"inc.idl\"\nstruct Main { long a; };",
         "struct Inc { long b; };",
         {"IDL:Inc:1.0", "IDL:outer/Main:1.0"}},
        {"#include \"inc.idl\"\nstruct Main { long a; };",
         "#pragma prefix \"inner\"\nstruct Inc { long b; };",
         {"IDL:inner/Inc:1.0", "IDL:Main:1.0"}},
        {"#pragma prefix \"outer\"\nmodule M {\n#include \"inc.idl\"\nstruct After { long a; };\n};"
         "\nstruct Top { long c; };",
         "#pragma prefix \"inner\"\nstruct Inc { long b; };",
         {"IDL:inner/M/Inc:1.0", "IDL:outer/M/After:1.0", "IDL:outer/Top:1.0"}},
        {"module M {\n#pragma prefix \"m\"\nstruct A { long a; };\n};\n#include \"inc.idl\"\n"
         "struct B { long b; };",
         "#pragma prefix \"i\"\nstruct I { long c; };",
         {"IDL:m/M/A:1.0", "IDL:i/I:1.0", "IDL:B:1.0"}},
        {"#pragma prefix \"p\"\nstruct S {\n#include \"inc.idl\"\n};", "long m;", {"IDL:p/S:1.0"}},
    };
    for (const Case &c : cases) {
        std::remove(dir_.file("t.tlb").c_str());
        CompileResult r = compileLibrary(dir_.file("t.tlb"), {{"t.idl", c.main, true}}, {},
                                         memory({{"inc.idl", c.included}}));
        ASSERT_EQ(r.errors, 0u) << c.main << "\n" << r.diagnostics;
        for (const char *id : c.ids) EXPECT_TRUE(defined(id)) << c.main << "\n" << id;
    }

    // Files compiled together are separate files too.
    std::remove(dir_.file("t.tlb").c_str());
    CompileResult r =
        compileLibrary(dir_.file("t.tlb"),
                       {{"a.idl", "#pragma prefix \"a\"\nstruct A { long x; };", true},
                        {"b.idl", "struct B { long y; };", true}},
                       {}, memory({}));
    ASSERT_EQ(r.errors, 0u) << r.diagnostics;
    EXPECT_TRUE(defined("IDL:a/A:1.0"));
    EXPECT_TRUE(defined("IDL:B:1.0"));
}

TEST(Preprocessor, HostileSourcesEndWithABoundedError) {
    std::string macros;
    for (int i = 1; i <= 20; ++i)
        macros += "#define A" + std::to_string(i) + " A" + std::to_string(i - 1) + " A" +
                  std::to_string(i - 1) + "\n";
    std::string parens(100000, '(');
    struct Case {
        std::string text;
        Files files;
        const char *expected;
    };
    const Case cases[] = {
        {"#define A A\nA", {}, "macro 'A' expands without end"},
        {"#define A0 x\n" + macros + "A20 y", {}, "macro 'A20' expands to more than 100000 tokens"},
        {"#define A B\n#define B A\nA", {}, "macro 'A' expands without end"},
        {"#define A A\n#if A\n#endif", {}, "macro 'A' in #if expands without end"},
        {"#if " + parens + "1\n#endif", {}, "#if expression nested too deeply"},
        {"#include \"self.idl\"",
         {{"self.idl", "#include \"self.idl\"\n"}},
         "#include nested too deeply"},
        {"#include \"two.idl\"",
         {{"two.idl", "#include \"two.idl\"\n#include \"two.idl\"\n"}},
         "#include directives in one compile"},
    };
    for (const Case &c : cases) {
        Preprocessed p = preprocess(c.text, {}, c.files);
        EXPECT_NE(p.diagnostics.find(c.expected), std::string::npos)
            << c.text.substr(0, 40) << "\n"
            << p.diagnostics.substr(0, 400);
        EXPECT_LT(p.tokens.size(), 1000000u);
    }
}

// The plain edit distance, to check the banded one against.
size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j)
            d[i][j] =
                std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (std::tolower(a[i - 1]) != std::tolower(b[j - 1]))});
    return d[a.size()][b.size()];
}

TEST(DidYouMean, SuggestsTheClosestLikelyTypo) {
    struct Case {
        const char *name;
        std::vector<std::string> candidates;
        const char *expected;  // nullptr: no suggestion
    };
    const Case cases[] = {
        {"Pointt", {"Other", "Point"}, "Point"},    {"point", {"Point"}, "Point"},
        {"Strukt", {"Strict", "Struct"}, "Struct"}, {"ab", {"ac", "ad"}, "ac"},
        {"abc", {"xyz", "abc"}, nullptr},           {"module", {"typedef"}, nullptr},
    };
    for (const Case &c : cases) {
        std::optional<std::string> found = closest(c.name, c.candidates);
        EXPECT_EQ(found.value_or("(none)"), c.expected ? c.expected : "(none)") << c.name;
    }

    // Random near-misses: a suggestion exactly when the full distance is within a third.
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        auto word = [&](size_t length) {
            std::string w;
            for (size_t i = 0; i < length; ++i) w += "abcAB"[random() % 5];
            return w;
        };
        std::string name = word(1 + random() % 14), candidate = word(1 + random() % 14);
        size_t limit = std::max<size_t>(1, name.size() / 3);
        bool expected = candidate != name && editDistance(name, candidate) <= limit;
        EXPECT_EQ(closest(name, {candidate}).has_value(), expected) << name << " " << candidate;
    }

    // Huge names cost next to nothing.
    std::string huge(40000, 'x');
    std::vector<std::string> candidates(100, huge + "y");
    candidates.push_back(std::string(39999, 'x'));
    EXPECT_FALSE(closest(huge, candidates));
}

TEST(SourceFiles, OnlyRegularFilesOfSaneSizeAreRead) {
    kivtest::TempDir dir;
    std::string fifo = dir.file("fifo.idl"), big = dir.file("big.idl"), good = dir.file("ok.idl");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kivtest::writeFile(good, "struct S { long x; };\n");
    int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kMaxSourceBytes) + 1), 0);  // sparse
    close(fd);

    struct Case {
        std::string path;
        const char *failure;  // nullptr: read
    };
    const Case cases[] = {
        {good, nullptr},
        {dir.file("missing.idl"), "No such file or directory"},
        {good + "/x.idl", "Not a directory"},
        {fifo, "not a regular file"},
        {dir.path(), "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {big, "too large (the limit is 64 MiB)"},
    };
    for (const Case &c : cases) {
        SourceSet sources(diskReader());
        Diagnostics diagnostics(sources, 0);
        Preprocessor pp(sources, diagnostics, {});
        bool opened = pp.open(c.path);
        EXPECT_EQ(opened, c.failure == nullptr) << c.path;
        EXPECT_EQ(pp.failure(), c.failure ? c.failure : "") << c.path;
        if (!c.failure) continue;
        // A file named to the compiler gets the same reason.
        CompileResult r =
            compileLibrary(dir.file("out.tlb"), {{c.path, "", false}}, {}, diskReader());
        EXPECT_EQ(r.errors, 1u) << c.path;
        EXPECT_NE(r.diagnostics.find(c.path + ": error: cannot read the file: " + c.failure),
                  std::string::npos)
            << r.diagnostics;
    }

    // An include names the file it could not read and why, and the compile goes on.
    CompileOptions options;
    options.preprocessor.includeDirs = {dir.path()};
    CompileResult r = compileLibrary(
        dir.file("t.tlb"), {{"t.idl", "#include <fifo.idl>\nstruct T { long y; };", true}}, options,
        diskReader());
    EXPECT_NE(r.diagnostics.find("t.idl:1:1: error: cannot read include file '" + fifo +
                                 "': not a regular file"),
              std::string::npos)
        << r.diagnostics;
}

}  // namespace
