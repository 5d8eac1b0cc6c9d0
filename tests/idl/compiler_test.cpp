// SPDX-License-Identifier: Apache-2.0
// The IDL language, its diagnostics, compiles into existing libraries, and the kiv idl command.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

#include "idl_compiler.h"
#include "idl_constants.h"
#include "idl_printer.h"
#include "idl_text.h"
#include "test_support.h"
#include "tlib_fixtures.h"

namespace {

using namespace kivtool::idl;

// Sources by path, for includes without files.
FileReader memory(std::map<std::string, std::string> files) {
    return [files](const std::string &path) -> std::optional<std::string> {
        auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    };
}

class IdlCompile : public ::testing::Test {
  protected:
    std::string library() const { return dir_.file("t.tlb"); }

    CompileResult compile(const std::string &source, CompileOptions options = {},
                          std::map<std::string, std::string> files = {}) {
        return compileLibrary(library(), {{"t.idl", source, true}}, options, memory(files));
    }

    const kivTLibDef *find(const std::string &repoId) {
        if (!handle_) handle_ = tlibtest::open(library(), KIV_TLIB_READONLY);
        kivTLibDef *def = nullptr;
        kivTLibGetDefinition(handle_.get(), repoId.c_str(), &def);
        return def;
    }

    kivtest::TempDir dir_;
    tlibtest::Handle handle_;
};

TEST_F(IdlCompile, DiagnosticsNameThePlaceAndTheProblem) {
    struct Case {
        const char *source;
        std::vector<const char *> expected;  // substrings of the diagnostics, in order
    };
    const Case cases[] = {
        {"struct Point { long x; };\nstruct S { Pointt p; };",
         {"t.idl:2:12: error: unknown type 'Pointt'; did you mean 'Point'?\n"
          "struct S { Pointt p; };\n           ^\n"}},
        {"module M { struct A { long x; }; };\nstruct B { M::AA a; };",
         {"unknown type 'M::AA'; did you mean 'M::A'?"}},
        {"struct A { long x; };\nstruct A { long y; };",
         {"t.idl:2:8: error: redefinition of 'A' (struct)",
          "t.idl:1:8: note: previous definition of 'A' is here"}},
        {"interface I { };\ninterface I { };",
         {"interface 'I' is already defined", "t.idl:1:11: note"}},
        {"exception E { };", {"'exception': exceptions are not part of the type library"}},
        {"interface I { void f() raises (E); };", {"'raises': 'raises' clauses"}},
        {"struct S { any a; };", {"the type library has no 'any' type"}},
        {"interface I { oneway void f(); };", {"oneway operations"}},
        {"valuetype V { };", {"value types are not part of the type library"}},
        {"typedef fixed<5,2> F;", {"no fixed-point type"}},
        {"native N;", {"native types"}},
        {"struct S { Object o; };", {"no 'Object' type"}},
        {"const octet X = 256;", {"value 256 is out of the range of octet"}},
        {"const short X = -32769;", {"value -32769 is out of the range of short"}},
        {"const unsigned long X = -1;", {"out of the range of unsigned long"}},
        {"const float X = 1e39;", {"out of the range of float"}},
        {"const long X = 1 / (2 - 2);", {"division by zero"}},
        // The first problem in the order of the text, even before a syntax error.
        {"const long X = (1/0) + Y;\nconst long Z = W + (2;\nconst long V = 1 + (2;",
         {"t.idl:1:18: error: division by zero", "t.idl:2:16: error: unknown constant 'W'",
          "t.idl:3:22: error: expected ')' to close the parenthesis, found ';'"}},
        {"typedef sequence<void, (1/0)> T;\ntypedef sequence<long, > U;\n"
         "@flags(1/0) @flag struct A { long x; };\n@flags(0x10000 @id(\"x\") struct B { long x; };",
         {"t.idl:1:18: error: 'void' is only", "t.idl:1:26: error: division by zero",
          "t.idl:2:24: error: expected a constant expression, found '>'",
          "t.idl:3:9: error: division by zero", "t.idl:4:16: error: expected ')' to close @flags"}},
        {"const long long X = 1 << 64;", {"shift count must be 0 to 63"}},
        {"const unsigned long long X = 18446744073709551616;", {"does not fit in 64 bits"}},
        {"const char C = 65;", {"expected a character literal"}},
        {"const decimal32 D = 12345678;", {"more than 7 significant digits"}},
        {"const decimal64 D = 1.5 * 2;", {"a decimal constant takes a number literal"}},
        {"const string<3> S = \"abcd\";", {"the string has 4 bytes; its type allows 3"}},
        {"struct A { long x; }", {"expected ';' after the structure's '}', found end of input"}},
        {"struct A { foo x; };\nstruct B { bar y; };",
         {"unknown type 'foo'", "t.idl:2:12: error: unknown type 'bar'"}},
        {"struct module { long x; };",
         {"found keyword 'module' (write _module to use it as a name)"}},
        {"@flags(0x1) struct A { long x; };", {"definition flags use bits 16 to 31"}},
        {"@flag(0x10000) struct A { long x; };",
         {"unknown annotation @flag; did you mean @flags?"}},
        {"@flags(0x10000) module M { };", {"a module carries no flags"}},
        {"union U switch (float) { case 1: long x; };", {"a union discriminator is boolean, char"}},
        {"interface I { attribute void a; };", {"'void' is only an operation's result type"}},
        {"struct S { };", {"structure 'S' needs at least one member"}},
        {"interface I { struct S { long x; }; module M { }; };",
         {"a module cannot be defined inside an interface"}},
        {"struct S { long x; }; interface I : S { };", {"'S' is a struct, not an interface"}},
        {"interface A; interface B; interface I : A, B { };", {"at most one base"}},
        {"enum E { A, B }; const E X = C;", {"unknown constant 'C'"}},
        {"enum E { A }; enum F { B }; const E X = B;", {"the enumerator belongs to 'F'"}},
        {"#include \"missing.idl\"", {"cannot find include file 'missing.idl'"}},
        {"#ifdef X\nstruct", {"#ifdef without #endif"}},
        {"#define F(x) x", {"macros with parameters are not supported"}},
        {"strcut S { long x; };", {"did you mean 'struct'?"}},
        {"const string S = \"a\\q\";", {"invalid escape sequence"}},
        {"struct S { long x; }; /* open", {"unterminated comment"}},
        {"module M { struct S { long x; }; };\n@id(\"IDL:M/S:1.0\") struct T { long y; };",
         {"repository id \"IDL:M/S:1.0\" is already used by struct 'S'"}},
    };
    for (const Case &c : cases) {
        CompileResult r = compile(c.source);
        EXPECT_GT(r.errors, 0u) << c.source;
        size_t at = 0;
        for (const char *expected : c.expected) {
            size_t found = r.diagnostics.find(expected, at);
            EXPECT_NE(found, std::string::npos) << c.source << "\n--- got:\n" << r.diagnostics;
            if (found != std::string::npos) at = found;
        }
    }
}

// Declarations that would give a library the header generator cannot map, or that IDL
// forbids, are refused at the source with both places named.
TEST_F(IdlCompile, RefusesCollidingAndSelfContainingDeclarations) {
    struct Case {
        const char *source;
        const char *error;  // the expected error, with its position
        const char *note;   // the place it collides with, or null
    };
    const Case cases[] = {
        {"struct S { long a;\n short a; };", "t.idl:2:8: error: duplicate member 'a' in structure",
         "t.idl:1:17: note: 'a' is declared here"},
        {"struct S { long a;\n short A; };",
         "t.idl:2:8: error: member 'A' differs only in case from 'a'", "t.idl:1:17: note"},
        {"union U switch (long) { case 1: long a;\n case 2: short a; };",
         "t.idl:2:16: error: duplicate member 'a' in union 'U'", "t.idl:1:38: note"},
        {"union U switch (long) { case 1: long a;\n case 1: long b; };",
         "t.idl:2:7: error: duplicate case label in union 'U'", "t.idl:1:30: note"},
        {"union U switch (long) { default: long a;\n default: long b; };",
         "t.idl:2:2: error: duplicate case label", "t.idl:1:25: note"},
        {"enum E { A,\n A };", "t.idl:2:2: error: redefinition of 'A' (enumerator)",
         "t.idl:1:10: note"},
        {"enum E { A };\nenum F { A };", "t.idl:2:10: error: redefinition of 'A' (enumerator)",
         "t.idl:1:10: note"},
        {"enum E { A };\nconst long A = 1;", "t.idl:2:12: error: redefinition of 'A'",
         "t.idl:1:10: note"},
        {"module M { struct foo { long x; };\n struct Foo { long y; }; };",
         "t.idl:2:9: error: 'Foo' differs only in case from struct 'foo'", "t.idl:1:19: note"},
        {"interface I { void f(in long a,\n in long a); };",
         "t.idl:2:10: error: duplicate parameter 'a' in operation 'f'", "t.idl:1:30: note"},
        {"interface I { void f();\n void f(); };",
         "t.idl:2:7: error: duplicate member 'f' in interface 'I'", "t.idl:1:20: note"},
        {"interface I { attribute long f;\n void f(); };", "t.idl:2:7: error: duplicate member 'f'",
         "t.idl:1:30: note"},
        {"interface I { attribute long size;\n void get_size(); };",
         "t.idl:2:7: error: member 'get_size' of interface 'I' takes the slot name 'get_size'",
         "t.idl:1:30: note: 'size' is declared here"},
        {"interface I {\n void release(); };",
         "t.idl:2:7: error: member 'release' of interface 'I' is named like the base slot",
         nullptr},
        {"interface B { attribute long x; };\ninterface D : B { void set_x(in long v); };",
         "t.idl:2:24: error: member 'set_x' of interface 'D' takes the slot name 'set_x'",
         "t.idl:1:30: note"},
        {"interface B { void f(); };\ninterface D : B { void F(); };",
         "t.idl:2:24: error: member 'F' differs only in case from 'f' (inherited from 'B')",
         "t.idl:1:20: note"},
        {"struct S {\n S s; };", "t.idl:2:4: error: member 's' makes 'S' contain itself by value",
         nullptr},
        {"struct S { struct N { S s[2]; };\n N n; };",
         "t.idl:2:4: error: member 'n' makes 'S' contain itself", nullptr},
        {"typedef long A[3]\n[0];", "t.idl:2:1: error: an array has at least one element", nullptr},
        {"enum E { A = 4294967295, B };", "t.idl:1:26: error: enumerator 'B' would have the value",
         nullptr},
    };
    for (const Case &c : cases) {
        CompileResult r = compile(c.source);
        EXPECT_EQ(r.errors, 1u) << c.source << "\n" << r.diagnostics;
        size_t at = r.diagnostics.find(c.error);
        EXPECT_NE(at, std::string::npos) << c.source << "\n--- got:\n" << r.diagnostics;
        if (c.note && at != std::string::npos) {
            EXPECT_NE(r.diagnostics.find(c.note, at), std::string::npos)
                << c.source << "\n--- got:\n"
                << r.diagnostics;
        }
    }
}

// After an error, reading resumes where the grammar says the failing declaration ends: one
// refused by a check is read to its end, bodies included; one with a syntax error is skipped
// from that token to its ';' or over its braces, and an enumeration's list up to its '}'.
TEST_F(IdlCompile, ReadingResumesWhereTheErrorStopped) {
    struct Case {
        const char *source;
        std::vector<const char *> errors;  // each "LINE:COL: MESSAGE" start, all, in order
    };
    const Case cases[] = {
        {"struct A { long x; };\nstruct A { long y; } const long C = 1;\nconst long D = E;",
         {"2:8: error: redefinition of 'A'", "3:16: error: unknown constant 'E'"}},
        {"struct A { long x; };\nunion A switch (long { case 1: long x; };\nconst long D = E;",
         {"2:7: error: redefinition of 'A'", "3:16: error: unknown constant 'E'"}},
        {"union U switch (long { case 1: long x; };\nconst long D = E;",
         {"1:22: error: expected ')'", "2:16: error: unknown constant 'E'"}},
        {"union U switch (Foo, x) { case 1: long x; };\nconst long D = E;",
         {"1:17: error: unknown type 'Foo'", "2:16: error: unknown constant 'E'"}},
        {"enum E { A };\nenum E { B C };\nconst long D = X;",
         {"2:6: error: redefinition of 'E'", "3:16: error: unknown constant 'X'"}},
        {"enum F { B C };\nconst long D = X;",
         {"1:12: error: expected '}' to close enumeration 'F'",
          "2:16: error: unknown constant 'X'"}},
        {"module M { enum E { A = 1, B = X };\nconst long C = Y; };\nconst long D = Z;",
         {"1:32: error: unknown constant 'X'", "2:16: error: unknown constant 'Y'",
          "3:16: error: unknown constant 'Z'"}},
        {"typedef enum { A } X;\ntypedef enum { B } X;\nconst long D = E;",
         {"2:14: error: redefinition of 'X'", "3:16: error: unknown constant 'E'"}},
        {"typedef struct { long x; } X;\ntypedef struct { long y; } X;",
         {"2:16: error: redefinition of 'X'"}},
        {"struct O { struct I { long x; } i;\n struct I { long y; } j; Foo k; };",
         {"2:9: error: redefinition of 'I'", "2:26: error: unknown type 'Foo'"}},
        {"interface I : J;\nconst long X = Y;",
         {"1:15: error: unknown interface 'J'", "1:16: error: expected '{' or ';'",
          "2:16: error: unknown constant 'Y'"}},
        {"interface A; interface B;\ninterface I : A, B { };\ninterface K : I { };",
         {"2:16: error: multiple inheritance"}},
        {"anonymous \"IDL:a:1.0\" Foo[3];\nconst long X = Y;",
         {"1:23: error: unknown type 'Foo'", "2:16: error: unknown constant 'Y'"}},
        {"anonymous \"IDL:a:1.0\" sequence<long>[N];\nconst long X = Y;",
         {"1:38: error: unknown constant 'N'", "2:16: error: unknown constant 'Y'"}},
        {"interface I { void f() raises (A; };\nconst long X = Y;",
         {"1:33: error: expected ')' to close the list of exceptions",
          "2:16: error: unknown constant 'Y'"}},
        {"interface I { void f() raises (A",
         {"1:33: error: expected ')' to close the list of exceptions, found end of input",
          "1:33: error: expected '}' to close interface 'I'"}},
        {"exception E long a; };\nconst long X = Y;",
         {"1:13: error: expected '{' after the exception name",
          "1:21: error: unexpected '}' with no open scope", "2:16: error: unknown constant 'Y'"}},
        {"struct A;\nunion U switch (long) { case 1: long x; }\nconst long D = E;",
         {"1:9: error: forward-declared structures", "3:1: error: expected ';'",
          "3:16: error: unknown constant 'E'"}},
    };
    CompileOptions leavingOut;  // exceptions are read, then left out
    leavingOut.skipUnstorable = true;
    for (const Case &c : cases) {
        CompileResult r = compile(c.source, leavingOut);
        EXPECT_EQ(r.errors, c.errors.size()) << c.source << "\n--- got:\n" << r.diagnostics;
        size_t at = 0;
        for (const char *expected : c.errors) {
            size_t found = r.diagnostics.find(std::string("t.idl:") + expected, at);
            EXPECT_NE(found, std::string::npos) << c.source << "\n--- got:\n" << r.diagnostics;
            if (found != std::string::npos) at = found;
        }
    }
}

TEST_F(IdlCompile, AcceptsDeclarationsThatOnlyLookAlike) {
    const char *sources[] = {
        "const string<3> S = \"abc\";",
        "union U switch (long) { case 1: case 2: long a; };",
        "union U switch (long) { case 1: long a; case 2: long a; };",  // as a dump prints it
        "struct S { sequence<S> next; };",
        "struct S { struct N { S s; }; long n; };",  // N is nested, not a member of S
        "enum E { A = 4294967294, B };",
        "module M { struct a { long x; }; }; module N { struct A { long y; }; };",
        "interface I { attribute long x; void get_y(); };",
    };
    for (const char *source : sources) {
        CompileResult r = compile(source);
        EXPECT_EQ(r.errors, 0u) << source << "\n" << r.diagnostics;
    }
}

std::string repeated(const std::string &text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// Sources built to exhaust the compiler end quickly, in one diagnostic.
TEST_F(IdlCompile, HostileSourcesEndInOneDiagnostic) {
    struct Case {
        std::string source;
        const char *expected;
    };
    const int deep = 20000;
    const Case cases[] = {
        {"typedef " + repeated("sequence<", deep) + "long" + repeated(" >", deep) + " S;",
         "t.idl:1:2313: error: nested more than 256 levels deep"},
        {"const long X = " + repeated("(", deep) + "1" + repeated(")", deep) + ";",
         "nested more than 256 levels deep"},
        {"const long X = " + repeated("- ", deep) + "1;", "nested more than 256 levels deep"},
        {"const long X = " + repeated("1 + ", 50 * deep) + "(1 / 0);", "division by zero"},
        {"#pragma next_local_id 4294967295\n", "local ids end at 2147483647"},
        {"#pragma next_local_id 2000000\n", "skips more than 1048576 ids (the counter is at 1)"},
    };
    for (const Case &c : cases) {
        CompileResult r = compile(c.source);
        EXPECT_EQ(r.errors, 1u) << r.diagnostics.substr(0, 2000);
        EXPECT_NE(r.diagnostics.find(c.expected), std::string::npos)
            << r.diagnostics.substr(0, 2000);
    }
}

// Forms of OMG IDL found in files written for other tools, each stored as the library can.
TEST_F(IdlCompile, AcceptsOmgIdlForms) {
    struct Case {
        const char *source;
        std::vector<std::pair<const char *, kivTLibDefKind>> defined;
        const char *absent;  // an id that must not be defined, or null
    };
    const Case cases[] = {
        {"typedef struct { long a; } X;", {{"IDL:X:1.0", KIV_DEF_STRUCT}}, nullptr},
        {"typedef struct S { long a; } X;",
         {{"IDL:S:1.0", KIV_DEF_STRUCT}, {"IDL:X:1.0", KIV_DEF_ALIAS}},
         nullptr},
        {"typedef struct S { long a; } S;", {{"IDL:S:1.0", KIV_DEF_STRUCT}}, nullptr},
        {"typedef enum E { A, B } F; const E C = B;",
         {{"IDL:E:1.0", KIV_DEF_ENUM},
          {"IDL:F:1.0", KIV_DEF_ALIAS},
          {"IDL:C:1.0", KIV_DEF_CONSTANT}},
         nullptr},
        {"typedef union switch (long) { case 1: long a; } U;",
         {{"IDL:U:1.0", KIV_DEF_UNION}},
         nullptr},
        {"struct Z { struct N { long a; } n, m; };",
         {{"IDL:Z:1.0", KIV_DEF_STRUCT}, {"IDL:Z/N:1.0", KIV_DEF_STRUCT}},
         nullptr},
        {"module M { struct S { long x; };\n#pragma version S 2.3\n#pragma ID M::T \"DCE:t\"\n"
         "struct T { long y; }; };",
         {{"IDL:M/S:2.3", KIV_DEF_STRUCT}, {"DCE:t", KIV_DEF_STRUCT}},
         "IDL:M/S:1.0"},
        {"module M { interface I { };\n#pragma ID I \"IDL:x/I:2.0\"\n};",
         {{"IDL:x/I:2.0", KIV_DEF_INTERFACE}},
         "IDL:M/I:1.0"},
        {"#pragma prefix \"acme.com\";\nstruct S { long x; };",
         {{"IDL:acme.com/S:1.0", KIV_DEF_STRUCT}},
         nullptr},
        {"typedef sequence<sequence<long>> S; typedef sequence<sequence<long, 2>> T;",
         {{"IDL:S:1.0", KIV_DEF_ALIAS}, {"IDL:T:1.0", KIV_DEF_ALIAS}},
         nullptr},
    };
    for (const Case &c : cases) {
        CompileResult r = compile(c.source);
        EXPECT_EQ(r.errors, 0u) << c.source << "\n" << r.diagnostics;
        for (auto &[id, kind] : c.defined) {
            const kivTLibDef *def = find(id);
            EXPECT_TRUE(def && def->kind == kind) << c.source << ": " << id;
        }
        if (c.absent) {
            EXPECT_EQ(find(c.absent), nullptr) << c.source;
        }
        handle_.reset();
    }
}

// What a typedef names is what a constant or a discriminator stores; '>>' closes bounds.
TEST_F(IdlCompile, TypedefsOfConstantsAndBoundsAreResolved) {
    ASSERT_EQ(compile("typedef long T; typedef T U; const U X = 1;\n"
                      "union V switch (U) { case 1: long a; };\n"
                      "typedef sequence<long, (4>>1)> Two;")
                  .errors,
              0u);
    auto *x = reinterpret_cast<const kivTLibConstantDef *>(find("IDL:X:1.0"));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->type.tag, KIV_TYPE_LONG);
    auto *v = reinterpret_cast<const kivTLibUnionDef *>(find("IDL:V:1.0"));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->discriminator.tag, KIV_TYPE_LONG);
    auto *two = reinterpret_cast<const kivTLibAliasDef *>(find("IDL:Two:1.0"));
    ASSERT_NE(two, nullptr);
    auto *sequence = reinterpret_cast<const kivTLibSequenceDef *>(find(two->type.repoId));
    ASSERT_NE(sequence, nullptr);
    EXPECT_EQ(sequence->bound, 2u);
    handle_.reset();
    CompileResult bounded = compile("typedef string<3> S3; const S3 X = \"abcd\";");
    EXPECT_NE(bounded.diagnostics.find("the string has 4 bytes; its type allows 3"),
              std::string::npos);
}

// What a library cannot hold: one diagnostic naming the construct, nothing that follows from
// it; with skipUnstorable, exceptions, raises and oneway are left out with a warning each.
TEST_F(IdlCompile, UnstorableConstructsAreNamedOnce) {
    struct Case {
        const char *source;
        bool skip;
        size_t errors;
        std::vector<const char *> expected;
    };
    const char *exceptions =
        "exception E { long x; };\ninterface I { oneway void f() raises (E);\n"
        "attribute long a getraises(E) setraises(E); };";
    const Case cases[] = {
        {exceptions,
         false,
         3,
         {"t.idl:1:1: error: 'exception'", "t.idl:2:15: error: 'oneway'",
          "t.idl:3:18: error: 'getraises'"}},
        {exceptions,
         true,
         0,
         {"t.idl:1:1: warning: exception 'E' left out", "t.idl:2:15: warning: 'oneway' left out",
          "t.idl:2:31: warning: 'raises' clause left out", "t.idl:3:18: warning: 'getraises'",
          "t.idl:3:31: warning: 'setraises'"}},
        {"valuetype V { public long x; };\nstruct T { V v; long y; };\n"
         "interface I { V f(in V v); };",
         false,
         1,
         {"t.idl:1:1: error: 'valuetype': value types are not part of the type library"}},
        {"struct S { any a; };", false, 1, {"the type library has no 'any' type"}},
        {"interface I { void f(in CORBA::TypeCode t); };",
         false,
         1,
         {"t.idl:1:25: error: 'CORBA::TypeCode': the type library has no 'TypeCode' type"}},
        {"interface A { }; interface B { };\ninterface C : A, B { void f(); };\n",
         false,
         1,
         {"t.idl:2:16: error: multiple inheritance: an interface has at most one base"}},
        {"typedef any A;\ntypedef sequence<A> B, C[2];\nstruct S { B b; C c; };\n"
         "interface I { A f(in C c); };",
         false,
         1,
         {"t.idl:1:9: error: 'any'"}},
        {"module CORBA { interface Current { }; };\nstruct S { CORBA::TypeCode t; };",
         false,
         1,
         {"t.idl:2:12: error: 'CORBA::TypeCode': the type library has no 'TypeCode' type"}},
        {"interface A { }; interface B { };\ninterface C : A, B { };\ninterface D : C { };\n"
         "struct S { C c; };",
         false,
         1,
         {"t.idl:2:16: error: multiple inheritance"}},
        {"typedef Nosuch T;\ntypedef sequence<T> U;\nstruct S { U u; };",
         false,
         1,
         {"t.idl:1:9: error: unknown type 'Nosuch'"}},
        {"const any X = Y;\nconst foo Z[2] = 1;\nstruct S { Y y; Z z; };",
         false,
         2,
         {"t.idl:1:7: error: 'any'", "t.idl:2:7: error: unknown type 'foo'"}},
        // A type left unknown quiets the names declared after it, not those before.
        {"union U switch (long) { case 1: foo, b; case 2: long c; };\nstruct T { foo x; b y; };",
         false,
         2,
         {"t.idl:1:33: error: unknown type 'foo'", "t.idl:2:12: error: unknown type 'foo'"}},
        {"interface I { void f(in foo a, in long b, in bar c); };\nstruct T { a x; b y; c z; };",
         false,
         2,
         {"t.idl:1:25: error: unknown type 'foo'", "t.idl:2:22: error: unknown type 'c'"}},
        {"import M;", false, 1, {"'import' is not supported"}},
        {"eventtype Tick { public long n; };\nstruct S { Tick t; long x; };",
         false,
         1,
         {"t.idl:1:1: error: 'eventtype': event types are not part of the type library"}},
        {"module M { typeprefix M \"x\"; };", false, 1, {"'typeprefix' is not supported"}},
        {"#pragma prefx \"a\"\nstruct S { long x; };",
         false,
         0,
         {"t.idl:1:1: warning: unknown #pragma 'prefx' ignored; did you mean 'prefix'?"}},
    };
    for (const Case &c : cases) {
        CompileOptions options;
        options.skipUnstorable = c.skip;
        CompileResult r = compile(c.source, options);
        EXPECT_EQ(r.errors, c.errors) << c.source << "\n" << r.diagnostics;
        for (const char *expected : c.expected)
            EXPECT_NE(r.diagnostics.find(expected), std::string::npos) << c.source << "\n--- got:\n"
                                                                       << r.diagnostics;
    }
    auto *i = reinterpret_cast<const kivTLibInterfaceDef *>(find("IDL:I:1.0"));
    EXPECT_EQ(i, nullptr) << "the last compile defines no I";

    std::string many;
    for (int n = 0; n < 5; ++n) many += "exception E" + std::to_string(n) + " { };\n";
    CompileOptions options;
    options.skipUnstorable = true;
    options.errorLimit = 2;
    CompileResult r = compile(many + "struct S { long x; };", options);
    EXPECT_EQ(r.errors, 0u);
    EXPECT_NE(r.diagnostics.find("warning: 3 more warnings like these not shown"),
              std::string::npos)
        << r.diagnostics;
}

TEST_F(IdlCompile, StopsAtTheErrorLimitAndWritesNothing) {
    std::string source;
    for (int i = 0; i < 30; ++i) source += "struct S" + std::to_string(i) + " { nosuch x; };\n";
    CompileOptions options;
    options.errorLimit = 5;
    CompileResult r = compile(source, options);
    EXPECT_EQ(r.errors, 5u);
    EXPECT_NE(r.diagnostics.find("too many errors (5); stopping"), std::string::npos);
    EXPECT_NE(access(library().c_str(), F_OK), 0) << "nothing is written on errors";
}

TEST_F(IdlCompile, RepositoryIdsFollowPrefixVersionAndExplicitIds) {
    ASSERT_EQ(compile(R"(
        #pragma prefix "acme.com"
        module M {
            #pragma version M::S 2.1
            #pragma ID M::E "DCE:e"
            struct S { long x; };
            enum E { A };
            @version(3.0) interface I { struct N { long y; }; };
            @id("LOCAL:own") typedef long T;
        };
        #pragma prefix ""
        const long C = 1;
    )")
                  .errors,
              0u);
    for (const char *id :
         {"IDL:acme.com/M:1.0", "IDL:acme.com/M/S:2.1", "DCE:e", "IDL:acme.com/M/I:3.0",
          "IDL:acme.com/M/I/N:1.0", "LOCAL:own", "IDL:C:1.0"})
        EXPECT_NE(find(id), nullptr) << id;
}

TEST_F(IdlCompile, ValuesTypesAndMembersAreStoredAsWritten) {
    ASSERT_EQ(compile(R"(
        #define WIDTH 4
        #ifdef WIDTH
        const unsigned long W = (WIDTH << 2) | 1 ^ ~0 & 3;
        #else
        const unsigned long W = 0;
        #endif
        const decimal64 PRICE = -1.00;
        const double NEG_ZERO = -0.0;
        const float BITS = bits(0x7fc00001);
        const wchar EURO = L'\u20ac';
        const string S = "a" "\x01b";
        enum Color { RED, GREEN = 7, BLUE };
        const Color C = BLUE;
        typedef long Matrix[2][3];
        interface I { readonly attribute string name; @flags(0x40000) void f(in Matrix m); };
    )")
                  .errors,
              0u);
    auto constant = [&](const char *id) {
        auto *c = reinterpret_cast<const kivTLibConstantDef *>(find(id));
        return c ? c->value : kivTLibValue{};
    };
    EXPECT_EQ(constant("IDL:W:1.0").u32, ((4u << 2) | (1u ^ (~0u & 3u))));
    EXPECT_EQ(constant("IDL:PRICE:1.0").u64, static_cast<uint64_t>(*decimalBits("-1.00", 64)));
    EXPECT_EQ(constant("IDL:NEG_ZERO:1.0").u64, 0x8000000000000000u);
    EXPECT_EQ(constant("IDL:BITS:1.0").u32, 0x7fc00001u);
    EXPECT_EQ(constant("IDL:EURO:1.0").u16, 0x20ac);
    EXPECT_STREQ(constant("IDL:S:1.0").str,
                 "a\x01"
                 "b");
    EXPECT_EQ(constant("IDL:C:1.0").u32, 8u);
    auto *matrix = reinterpret_cast<const kivTLibAliasDef *>(find("IDL:Matrix:1.0"));
    ASSERT_NE(matrix, nullptr);
    auto *outer = reinterpret_cast<const kivTLibArrayDef *>(find(matrix->type.repoId));
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(outer->length, 2u);
    auto *inner = reinterpret_cast<const kivTLibArrayDef *>(find(outer->element.repoId));
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->length, 3u);
    auto *i = reinterpret_cast<const kivTLibInterfaceDef *>(find("IDL:I:1.0"));
    ASSERT_NE(i, nullptr);
    ASSERT_EQ(i->memberCount, 2u);
    EXPECT_EQ(i->members[0].flags, KIV_MEMBER_READONLY);
    EXPECT_EQ(i->members[1].flags, 0x40000u);
    EXPECT_EQ(i->members[1].params[0].type.tag, KIV_TYPE_ALIAS);
}

TEST_F(IdlCompile, IncludesGuardsAndDefinesFromTheCommandLine) {
    CompileOptions options;
    options.preprocessor.includeDirs = {"inc"};
    options.preprocessor.defines = {{"WITH_EXTRA", "1"}};
    std::map<std::string, std::string> files = {
        {"inc/base.idl", "#ifndef BASE\n#define BASE\nstruct Base { long x; };\n#endif\n"},
        {"inc/once.idl", "#pragma once\nstruct Once { long y; };\n"}};
    ASSERT_EQ(
        compile(
            "#include <base.idl>\n#include \"inc/base.idl\"\n#include <once.idl>\n"
            "#include <once.idl>\n#ifdef WITH_EXTRA\nstruct Extra { Base b; Once o; };\n#endif\n",
            options, files)
            .errors,
        0u);
    EXPECT_NE(find("IDL:Extra:1.0"), nullptr);

    CompileResult r =
        compile("#include <bad.idl>\n", options, {{"inc/bad.idl", "struct B { nosuch x; };"}});
    EXPECT_NE(r.diagnostics.find("inc/bad.idl:1:12: error: unknown type 'nosuch'"),
              std::string::npos)
        << r.diagnostics;
}

// Without a base, every compile gives a library with exactly what the sources define.
TEST_F(IdlCompile, EachCompileStartsFresh) {
    ASSERT_EQ(compile("module M { struct P { long x; }; interface Old { }; };").errors, 0u);
    CompileResult edited = compile("module M { struct P { long x; double y; }; };");
    ASSERT_EQ(edited.errors, 0u) << edited.diagnostics;
    EXPECT_EQ(find("IDL:M/Old:1.0"), nullptr) << "a deleted definition is gone";
    auto *p = reinterpret_cast<const kivTLibStructDef *>(find("IDL:M/P:1.0"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->memberCount, 2u);
}

// A released library grows release by release; what it has stays as it was.
TEST_F(IdlCompile, GrowsABaseLibrary) {
    const std::string released = dir_.file("released.tlb");
    const std::string v1 = "module M { struct P { long x; sequence<long> s; }; interface I; };";
    ASSERT_EQ(compileLibrary(released, {{"v1.idl", v1, true}}, {}, memory({})).errors, 0u);
    tlibtest::Records first = tlibtest::readRecords(released);
    CompileOptions onBase;
    onBase.base = released;

    CompileResult again = compile(v1, onBase);
    EXPECT_EQ(again.errors, 0u) << again.diagnostics;
    EXPECT_FALSE(again.changed);
    EXPECT_EQ(tlibtest::readRecords(library()), first) << "an identical definition changes nothing";

    CompileResult grown =
        compile(v1 + "module M { interface I { void f(); }; struct Q { P p; }; };", onBase);
    ASSERT_EQ(grown.errors, 0u) << grown.diagnostics;
    auto *i = find("IDL:M/I:1.0");
    ASSERT_NE(i, nullptr);
    EXPECT_FALSE(i->flags & KIV_DEF_FORWARD) << "the declared interface is completed";
    EXPECT_NE(find("IDL:M/Q:1.0"), nullptr);
    handle_.reset();
    tlibtest::Records second = tlibtest::readRecords(library());
    EXPECT_EQ(tlibtest::readRecords(released), first) << "the base itself is not written";

    onBase.base = library();
    CompileResult changed =
        compile("module M { struct P { long x; sequence<short> s; }; };", onBase);
    EXPECT_EQ(changed.errors, 1u);
    EXPECT_NE(changed.diagnostics.find(
                  "t.idl:1:19: error: struct 'P' differs from its definition in " + library()),
              std::string::npos)
        << changed.diagnostics;
    EXPECT_NE(changed.diagnostics.find(library() +
                                       ": note: there, \"IDL:M/P:1.0\" is defined differently"),
              std::string::npos);
    CompileResult incompatible = compile("module M { interface I { void g(); }; };", onBase);
    EXPECT_NE(incompatible.diagnostics.find(
                  "t.idl:1:31: error: interface 'I' is incompatible with its definition in " +
                  library() + ": member 'g' differs"),
              std::string::npos)
        << incompatible.diagnostics;
    EXPECT_EQ(tlibtest::readRecords(library()), second) << "a refused compile writes nothing";
}

TEST_F(IdlCompile, ImportedDefinitionsAreReferencedNotCopied) {
    std::string base = dir_.file("base.tlb");
    ASSERT_EQ(compileLibrary(base, {{"b.idl", "module B { struct S { long x; }; };", true}}, {},
                             memory({}))
                  .errors,
              0u);
    CompileOptions options;
    options.imports = {base};
    ASSERT_EQ(compile("struct T { B::S s; };", options).errors, 0u);
    EXPECT_EQ(find("IDL:B/S:1.0"), nullptr);
    auto *t = reinterpret_cast<const kivTLibStructDef *>(find("IDL:T:1.0"));
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->members[0].type.repoId, "IDL:B/S:1.0");
}

// A damaged or hostile library prints in bounded stack and space.
TEST(IdlDump, DeeplyNestedModulesPrintWithCappedIndentation) {
    kivtest::TempDir dir;
    std::string path = dir.file("deep.tlb");
    {
        tlibtest::Handle t = tlibtest::create(path);
        ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
        std::string scope = KIV_TLIB_ROOT_ID;
        for (int i = 0; i < 20000; ++i) {
            std::string id = std::string("M").append(std::to_string(i));
            ASSERT_EQ(kivTLibCreateModule(t.get(), "m", id.c_str(), scope.c_str(), 0, nullptr), 0u);
            scope = id;
        }
    }
    std::unique_ptr<kivtool::Library> library;
    ASSERT_EQ(kivtool::Library::open(path, &library), 0u);
    std::string text = printLibrary(*library);
    EXPECT_LT(text.size(), 20000u * 200) << "indentation does not grow without end";
    EXPECT_NE(text.find("@id(\"M19999\") module m {"), std::string::npos);
}

// A scope that lists a definition the file does not hold prints a comment in its place.
TEST(IdlDump, ContentsThatNameNoRecordBecomeComments) {
    kivtest::TempDir dir;
    std::string whole = dir.file("whole.tlb"), damaged = dir.file("damaged.tlb");
    ASSERT_EQ(compileLibrary(
                  whole, {{"t.idl", "module M { struct S { long x; }; const long C = 1; };", true}},
                  {}, memory({}))
                  .errors,
              0u);
    tlibtest::Records records = tlibtest::readRecords(whole);
    ASSERT_EQ(records.erase(tlibtest::key("IDL:M/S:1.0")), 1u);
    tlibtest::putRecords(damaged, records);
    std::unique_ptr<kivtool::Library> library;
    ASSERT_EQ(kivtool::Library::open(damaged, &library), 0u);
    std::string text = printLibrary(*library);
    EXPECT_NE(text.find("// \"IDL:M/S:1.0\": "), std::string::npos) << text;
    EXPECT_NE(text.find("const long C = 1;"), std::string::npos) << text;
}

TEST(IdlText, DecimalLiteralsKeepTheirDigitsAndRefuseWhatDoesNotFit) {
    EXPECT_EQ(decimal64Text(static_cast<uint64_t>(*decimalBits("1.00", 64))), "1.00");
    EXPECT_EQ(decimal32Text(static_cast<uint32_t>(*decimalBits("-0", 32))), "-0");
    EXPECT_EQ(decimal64Text(static_cast<uint64_t>(*decimalBits("9999999999999999", 64))),
              "9999999999999999");
    auto big = *decimalBits("1234567890123456789012345678901234E+10", 128);
    EXPECT_EQ(decimal128Text(static_cast<uint64_t>(big), static_cast<uint64_t>(big >> 64)),
              "1.234567890123456789012345678901234E+43");
    EXPECT_EQ(decimal64Text(static_cast<uint64_t>(*decimalBits("sNaN", 64))), "sNaN");
    EXPECT_FALSE(decimalBits("1E+97", 32)) << "beyond the largest exponent";
    EXPECT_FALSE(decimalBits("1.5e", 64));
}

// Integer arithmetic is exact up to 64 bits of either sign, and refused beyond.
TEST(IdlConstants, OperatorsStayWithin64Bits) {
    auto integer = [](I128 i) {
        Val v;
        v.i = i;
        return v;
    };
    Val half;
    half.kind = Val::Float;
    half.f = 0.5;
    const I128 top = (static_cast<I128>(1) << 64) - 1;
    struct Case {
        const char *op;
        Val a, b;
        std::optional<I128> result;  // nullopt: refused
        const char *problem;
    };
    const Case cases[] = {
        {"*", integer(top), integer(1), top, ""},
        {"*", integer(static_cast<I128>(1) << 63), integer(2), std::nullopt, "overflows"},
        {"*", integer(static_cast<I128>(1) << 32), integer(static_cast<I128>(1) << 32),
         std::nullopt, "overflows"},
        {"+", integer(top), integer(1), std::nullopt, "overflows"},
        {"-", integer(-top), integer(1), -top - 1, ""},
        {"<<", integer(1), integer(63), static_cast<I128>(1) << 63, ""},
        {"<<", integer(1), integer(-1), std::nullopt, "shift count"},
        {"%", integer(7), integer(0), std::nullopt, "division by zero"},
        {"|", integer(1), half, std::nullopt, "does not apply"},
    };
    for (const Case &c : cases) {
        std::string problem;
        std::optional<Val> r = applyOperator(c.op, c.a, c.b, &problem);
        ASSERT_EQ(r.has_value(), c.result.has_value()) << c.op << " " << problem;
        if (r)
            EXPECT_TRUE(r->i == *c.result) << c.op;
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
    std::optional<Val> mixed = applyOperator("*", integer(3), half, nullptr);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->kind, Val::Float);
    EXPECT_EQ(mixed->f, 1.5);
}

TEST(IdlText, NamesThatAreNotIdentifiersAreQuoted) {
    EXPECT_EQ(idlName("Point"), "Point");
    EXPECT_EQ(idlName("module"), "_module");
    EXPECT_EQ(idlName("_x"), "__x");
    EXPECT_EQ(idlName("two words"), "`two words`");
    EXPECT_EQ(idlName(""), "``");
}

std::string tool(const std::vector<std::string> &args, int *status, std::string *err = nullptr) {
    std::vector<std::string> argv{KIV_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = kivtest::runProcess(argv);
    *status = r.exitCode;
    if (err) *err = r.err;
    return r.out;
}

TEST(IdlCommand, ExitStatusesAndTheDefaultOutput) {
    kivtest::TempDir dir;
    std::string good = dir.file("good.idl"), bad = dir.file("bad.idl");
    kivtest::writeFile(good, "module G { const long X = 1; };\n");
    kivtest::writeFile(bad, "module G { const long X = ; };\n");
    int status = -1;
    std::string err;
    tool({"idl", good}, &status, &err);
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(access(dir.file("good.tlb").c_str(), F_OK), 0) << "named after the first file";
    tool({"idl", "-o", dir.file("bad.tlb"), bad}, &status, &err);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("bad.idl:1:27: error: expected a constant expression, found ';'"),
              std::string::npos)
        << err;
    EXPECT_NE(access(dir.file("bad.tlb").c_str(), F_OK), 0);
    tool({"idl", "--nosuch", good}, &status);
    EXPECT_EQ(status, 2);
    tool({"idl"}, &status);
    EXPECT_EQ(status, 2);
}

// Options as every kiv command takes them: repeated -I and -D, values attached or apart, and
// usage errors that say what is wrong.
TEST(IdlCommand, ReadsOptionsLikeEveryCommand) {
    kivtest::TempDir dir;
    std::filesystem::create_directories(dir.file("one"));
    std::filesystem::create_directories(dir.file("two"));
    kivtest::writeFile(dir.file("one/a.idl"), "const long A = X;\n");
    kivtest::writeFile(dir.file("two/b.idl"), "const long B = Y;\n");
    std::string main = dir.file("m.idl");
    kivtest::writeFile(main, "#include <a.idl>\n#include <b.idl>\n");
    int status = -1;
    std::string err;
    tool({"idl", "-I" + dir.file("one"), "-I", dir.file("two"), "-DX=1", "-D", "Y", main,
          "--error-limit=3"},
         &status, &err);
    EXPECT_EQ(status, 0) << err;

    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const Case cases[] = {
        {{"--skip-unstorabl", main},
         "unknown option '--skip-unstorabl' (did you mean "
         "--skip-unstorable?)"},
        {{main, "-I"}, "-I needs a value"},
        {{"-D=1", main}, "-D needs a name"},
        {{"--lang", "c", main}, "--lang goes with --header"},
        {{"--header", "h.h", "--lang", "java", main}, "--lang takes c or c++"},
        {{"-o", "a.tlb", "-o", "b.tlb", main}, "-o given twice"},
        {{"--error-limit", "many", main}, "--error-limit takes a number, not 'many'"},
        {{"--skip-unstorable=yes", main}, "--skip-unstorable takes no value"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"idl"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        tool(args, &status, &err);
        EXPECT_EQ(status, 2) << c.message;
        EXPECT_EQ(err, "kiv: idl: " + std::string(c.message) + "\n");
    }

    // A file that cannot be read says why.
    tool({"idl", "-o", dir.file("x.tlb"), dir.file("one")}, &status, &err);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("one: error: cannot read the file: not a regular file"), std::string::npos)
        << err;
}

// The library and the header of one command are written together or not at all, as new files
// renamed into place: a replaced library keeps its mode, a symbolic link is replaced, not
// followed, and no scratch file stays behind.
TEST(IdlCommand, WritesEveryOutputOrNone) {
    kivtest::TempDir dir;
    std::string idl = dir.file("a.idl"), lib = dir.file("a.tlb"), header = dir.file("a.h");
    kivtest::writeFile(idl, "module A { struct S { long x; }; };\n");
    int status = -1;
    std::string err;
    tool({"idl", "-o", lib, "--header", header, idl}, &status, &err);
    ASSERT_EQ(status, 0) << err;
    ASSERT_EQ(chmod(lib.c_str(), 0600), 0);
    auto before = tlibtest::readRecords(lib);
    std::string headerBefore = kivtest::readFile(header);

    kivtest::writeFile(idl, "module A { struct S { long x; }; const wstring W = L\"\\xff\";};\n");
    tool({"idl", "-o", lib, "--header", header, idl}, &status, &err);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("a.h: error: cannot generate the header"), std::string::npos) << err;
    EXPECT_EQ(tlibtest::readRecords(lib), before) << "a failed header keeps the library too";
    EXPECT_EQ(kivtest::readFile(header), headerBefore);

    kivtest::writeFile(idl, "module A { struct T { long y; }; };\n");
    tool({"idl", "-o", lib, idl}, &status, &err);
    ASSERT_EQ(status, 0) << err;
    struct stat st;
    ASSERT_EQ(stat(lib.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::string victim = dir.file("victim"), linked = dir.file("linked.tlb");
    kivtest::writeFile(victim, "untouched");
    ASSERT_EQ(symlink(victim.c_str(), linked.c_str()), 0);
    tool({"idl", "-o", linked, idl}, &status, &err);
    ASSERT_EQ(status, 0) << err;
    EXPECT_EQ(kivtest::readFile(victim), "untouched");
    ASSERT_EQ(lstat(linked.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    size_t entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 5u) << "a.idl, a.tlb, a.h, victim, linked.tlb and nothing else";
}

#ifdef KIV_TLIB_DEMO
// The demonstration's library comes back byte for byte from its own dump.
TEST(IdlCommand, RebuildsTheDemoLibraryFromItsDump) {
    kivtest::TempDir dir;
    std::string original = dir.file("demo.tlb"), text = dir.file("demo.idl"),
                rebuilt = dir.file("again.tlb");
    ASSERT_EQ(kivtest::runProcess({KIV_TLIB_DEMO, original}).exitCode, 0);
    int status = -1;
    std::string dumped = tool({"tlib", "dump", original}, &status);
    ASSERT_EQ(status, 0);
    kivtest::writeFile(text, dumped);
    std::string err;
    tool({"idl", "-o", rebuilt, text}, &status, &err);
    ASSERT_EQ(status, 0) << err;
    EXPECT_EQ(tlibtest::readRecords(original), tlibtest::readRecords(rebuilt));
    EXPECT_EQ(tool({"tlib", "dump", rebuilt}, &status), dumped);
}
#endif

}  // namespace
