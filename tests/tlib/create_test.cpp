// The creating operations: order of checks, scopes, flags, listing in the scope, the two
// tables, forward completion and auto-flush.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/handle.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using tlibtest::Handle;

namespace {

constexpr const char *kRoot = KIV_TLIB_ROOT_ID;
constexpr const char *kAnon = KIV_TLIB_ANONYMOUS_SCOPE_ID;
constexpr const char *kDemo = "IDL:Demo:1.0";
constexpr const char *kS = "IDL:Demo/S:1.0";
constexpr const char *kI = "IDL:Demo/I:1.0";
constexpr const char *kU = "IDL:Demo/U:1.0";
constexpr const char *kE = "IDL:Demo/E:1.0";
constexpr const char *kBroken = "IDL:Demo/Broken:1.0";  // a malformed record
constexpr const char *kNew = "IDL:Demo/New:1.0";
constexpr const char *kNope = "IDL:Nope:1.0";

const kivTLibTypeRef kLong{KIV_TYPE_LONG, nullptr};
const kivTLibTypeRef kVoid{KIV_TYPE_VOID, nullptr};
const kivTLibStructMember kField{"x", kLong};
const kivTLibEnumMember kRed{"RED", 0};
const kivTLibMember kSize{KIV_MEMBER_ATTRIBUTE, "size", 0, kLong, 0, nullptr};

kivTLibValue value(uint32_t tag, uint32_t u32 = 0) {
    kivTLibValue v{tag, {}};
    v.u32 = u32;
    return v;
}

// An operation with `count` parameters of one direction.
struct Operation {
    std::vector<kivTLibParam> params;
    kivTLibMember member;
    Operation(size_t count, uint32_t direction, kivTLibTypeRef result = kVoid)
        : params(count, kivTLibParam{"p", kLong, direction}), member{KIV_MEMBER_OPERATION,
                                                                     "op",
                                                                     0,
                                                                     result,
                                                                     static_cast<uint32_t>(count),
                                                                     params.data()} {}
};

using Call = std::function<kivResult(kivTLib *, kivTLibDef **)>;
// A call of one creating operation on the handle `t`, its out-parameter `o`; the arguments are
// copies made when the call is written down.
#define CALL(...) [=](kivTLib *t, kivTLibDef **o) { return __VA_ARGS__; }

Call structIn(const char *id, const char *scope, uint32_t n = 1,
              const kivTLibStructMember *m = &kField) {
    return CALL(kivTLibCreateStruct(t, "N", id, scope, 0, n, m, o));
}
Call interfaceIn(const char *id, const char *scope, const char *base, uint32_t n,
                 const kivTLibMember *m) {
    return CALL(kivTLibCreateInterface(t, "I", id, scope, 0, base, n, m, o));
}
Call unionOf(kivTLibTypeRef d, std::vector<kivTLibUnionCase> cases, const char *scope = kDemo) {
    return CALL(kivTLibCreateUnion(t, "V", kNew, scope, 0, &d, uint32_t(cases.size()),
                                   cases.empty() ? nullptr : cases.data(), o));
}
Call constantOf(kivTLibTypeRef type, kivTLibValue v, const char *scope = kDemo) {
    return CALL(kivTLibCreateConstant(t, "C", kNew, scope, 0, &type, &v, o));
}
Call aliasOf(kivTLibTypeRef type, const char *scope = kDemo) {
    return CALL(kivTLibCreateAlias(t, "A", kNew, scope, 0, &type, o));
}

std::vector<std::string> contents(const kivTLibDef *scope) {
    auto ids = contentsOf(scope);
    return {ids.begin(), ids.end()};
}

bool isModified(kivTLib *t, const kivTLibDef *def) {
    return kivHashGet(t->modified, def->repoId) == def;
}

// A library with a root, module Demo and in it a structure S, an interface I with one
// attribute, a union U and an enumeration E, all written, plus a malformed record Broken.
class TLibCreate : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            Handle h = tlibtest::create(path);
            kivTLib *t = h.get();
            kivTLibUnionCase c{"a", kLong, value(KIV_TYPE_LONG, 1)};
            for (kivResult rc :
                 {kivTLibCreateRoot(t, 0, nullptr),
                  kivTLibCreateModule(t, "Demo", kDemo, kRoot, 0, nullptr),
                  kivTLibCreateStruct(t, "S", kS, kDemo, 0, 1, &kField, nullptr),
                  kivTLibCreateInterface(t, "I", kI, kDemo, 0, nullptr, 1, &kSize, nullptr),
                  kivTLibCreateUnion(t, "U", kU, kDemo, 0, &kLong, 1, &c, nullptr),
                  kivTLibCreateEnum(t, "E", kE, kDemo, 0, 1, &kRed, nullptr)})
                ASSERT_EQ(rc, 0u);
        }
        tlibtest::putRawRecords(
            path, {{std::string(kBroken) + '\0', tlibtest::bytes("01 01 'S' 08 00 01 00 00")}});
        tlib = tlibtest::open(path);
        for (const char *id : {kRoot, kDemo, kS, kI, kU, kE}) get(id);  // cached from here on
    }

    kivTLibDef *get(const char *id) {
        kivTLibDef *def = nullptr;
        EXPECT_EQ(kivTLibGetDefinition(tlib.get(), id, &def), 0u) << id;
        return def;
    }

    kivtest::TempDir dir;
    std::string path = dir.file("lib.tlb");
    Handle tlib;
};

TEST_F(TLibCreate, RefusalsFollowTheOrderOfChecksAndChangeNothing) {
    Operation params256(256, KIV_PARAM_IN), direction0(1, 0), direction4(1, 4);
    Operation badResult(1, KIV_PARAM_IN, {14, nullptr});
    kivTLibParam unnamed{nullptr, kLong, KIV_PARAM_IN};
    kivTLibMember unnamedParam{KIV_MEMBER_OPERATION, "op", 0, kVoid, 1, &unnamed};
    kivTLibMember paramsMissing{KIV_MEMBER_OPERATION, "op", 0, kVoid, 2, nullptr};
    kivTLibMember voidAttribute{KIV_MEMBER_ATTRIBUTE, "a", 0, kVoid, 0, nullptr};
    kivTLibMember kind3{3, "m", 0, kLong, 0, nullptr};
    kivTLibMember unnamedMember{KIV_MEMBER_ATTRIBUTE, nullptr, 0, kLong, 0, nullptr};
    kivTLibMember otherSize{KIV_MEMBER_ATTRIBUTE, "size", 0, {KIV_TYPE_ULONG, nullptr}, 0, nullptr};
    kivTLibStructMember voidField{"x", kVoid}, unnamedField{nullptr, kLong};
    kivTLibEnumMember unnamedEnum{nullptr, 0};
    kivTLibValue nullString{KIV_TYPE_STRING, {}};
    std::vector<kivTLibUnionCase> oneCase{{"a", kLong, value(KIV_TYPE_LONG, 1)}};

    const struct {
        const char *what;
        Call call;
        kivResult expected;
    } cases[] = {
        {"root again", CALL(kivTLibCreateRoot(t, 0, o)), KIV_E_REPOID_EXISTS},
        {"same module again", CALL(kivTLibCreateModule(t, "Demo", kDemo, kRoot, 0, o)),
         KIV_E_REPOID_EXISTS},
        {"module without name", CALL(kivTLibCreateModule(t, nullptr, kNew, kDemo, 0, o)),
         KIV_E_INVALID_ARG},
        {"module in an interface", CALL(kivTLibCreateModule(t, "M", kNew, kI, 0, o)),
         KIV_E_BAD_SCOPE_KIND},
        // Interfaces: base, then members, then scope, then redefinition.
        {"unknown base, unknown scope", interfaceIn(kNew, kNope, "IDL:B:1.0", 0, {}),
         KIV_E_UNKNOWN_BASE},
        {"unknown base, bad member", interfaceIn(kNew, kDemo, "IDL:B:1.0", 1, &kind3),
         KIV_E_UNKNOWN_BASE},
        {"structure as base", interfaceIn(kNew, kDemo, kS, 0, nullptr), KIV_E_BAD_BASE},
        {"unreadable base", interfaceIn(kNew, kDemo, kBroken, 0, nullptr), KIV_E_FORMAT},
        {"bad member, unknown scope", interfaceIn(kNew, kNope, kI, 1, &kind3), KIV_E_INVALID_ARG},
        {"members missing", interfaceIn(kNew, kDemo, nullptr, 1, nullptr), KIV_E_INVALID_ARG},
        {"member without name", interfaceIn(kNew, kDemo, nullptr, 1, &unnamedMember),
         KIV_E_INVALID_ARG},
        {"void attribute", interfaceIn(kNew, kDemo, nullptr, 1, &voidAttribute), KIV_E_INVALID_ARG},
        {"256 parameters", interfaceIn(kNew, kDemo, nullptr, 1, &params256.member),
         KIV_E_INVALID_ARG},
        {"direction 0", interfaceIn(kNew, kDemo, nullptr, 1, &direction0.member),
         KIV_E_INVALID_ARG},
        {"direction 4", interfaceIn(kNew, kDemo, nullptr, 1, &direction4.member),
         KIV_E_INVALID_ARG},
        {"result tag 14", interfaceIn(kNew, kDemo, nullptr, 1, &badResult.member),
         KIV_E_INVALID_ARG},
        {"parameter without name", interfaceIn(kNew, kDemo, nullptr, 1, &unnamedParam),
         KIV_E_INVALID_ARG},
        {"parameters missing", interfaceIn(kNew, kDemo, nullptr, 1, &paramsMissing),
         KIV_E_INVALID_ARG},
        {"interface in a structure", interfaceIn(kNew, kS, nullptr, 0, nullptr),
         KIV_E_BAD_SCOPE_KIND},
        {"incompatible redefinition", interfaceIn(kI, kDemo, nullptr, 1, &otherSize),
         KIV_E_INCOMPATIBLE},
        {"interface over a structure", interfaceIn(kS, kDemo, nullptr, 0, nullptr),
         KIV_E_INCOMPATIBLE},
        {"interface over a malformed record", interfaceIn(kBroken, kDemo, nullptr, 0, nullptr),
         KIV_E_FORMAT},
        {"forward: scope before existence",
         CALL(kivTLibCreateInterfaceFwd(t, "I", kI, kNope, 0, o)), KIV_E_UNKNOWN_SCOPE},
        {"forward over a structure", CALL(kivTLibCreateInterfaceFwd(t, "S", kS, kDemo, 0, o)),
         KIV_E_INCOMPATIBLE},
        {"forward with another name", CALL(kivTLibCreateInterfaceFwd(t, "J", kI, kDemo, 0, o)),
         KIV_E_INCOMPATIBLE},
        // The others: content, then existence, then scope.
        {"no members", structIn(kNew, kDemo, 0), KIV_E_INVALID_ARG},
        {"members missing", structIn(kNew, kDemo, 1, nullptr), KIV_E_INVALID_ARG},
        {"void member, taken id", structIn(kS, kDemo, 1, &voidField), KIV_E_INVALID_ARG},
        {"member without name", structIn(kNew, kDemo, 1, &unnamedField), KIV_E_INVALID_ARG},
        {"taken id, unknown scope", structIn(kS, kNope), KIV_E_REPOID_EXISTS},
        {"malformed id, unknown scope", structIn(kBroken, kNope), KIV_E_FORMAT},
        {"unknown scope", structIn(kNew, kNope), KIV_E_UNKNOWN_SCOPE},
        {"unreadable scope", structIn(kNew, kBroken), KIV_E_FORMAT},
        {"structure in an enumeration", structIn(kNew, kE), KIV_E_BAD_SCOPE_KIND},
        {"enumeration without members",
         CALL(kivTLibCreateEnum(t, "F", kNew, kDemo, 0, 0, &kRed, o)), KIV_E_INVALID_ARG},
        {"enumerator without name",
         CALL(kivTLibCreateEnum(t, "F", kNew, kDemo, 0, 1, &unnamedEnum, o)), KIV_E_INVALID_ARG},
        {"no cases", unionOf(kLong, {}), KIV_E_INVALID_ARG},
        {"float discriminator", unionOf({KIV_TYPE_FLOAT, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"double discriminator", unionOf({KIV_TYPE_DOUBLE, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"octet discriminator", unionOf({KIV_TYPE_OCTET, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"string discriminator", unionOf({KIV_TYPE_STRING, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"enumeration without id", unionOf({KIV_TYPE_ENUM, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"label of another tag", unionOf({KIV_TYPE_ULONG, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"void case", unionOf(kLong, {{"a", kVoid, value(KIV_TYPE_LONG)}}), KIV_E_INVALID_ARG},
        {"union in an enumeration", unionOf(kLong, oneCase, kE), KIV_E_BAD_SCOPE_KIND},
        {"value of another tag", constantOf(kLong, value(KIV_TYPE_ULONG)), KIV_E_INVALID_ARG},
        {"null string", constantOf({KIV_TYPE_STRING, nullptr}, nullString), KIV_E_INVALID_ARG},
        {"constant of an alias", constantOf({KIV_TYPE_ALIAS, kS}, value(KIV_TYPE_ALIAS)),
         KIV_E_INVALID_ARG},
        {"constant in a union", constantOf(kLong, value(KIV_TYPE_LONG), kU), KIV_E_BAD_SCOPE_KIND},
        {"void alias", aliasOf(kVoid), KIV_E_INVALID_ARG},
        {"structure without id", aliasOf({KIV_TYPE_STRUCT, nullptr}), KIV_E_INVALID_ARG},
        {"long with an id", aliasOf({KIV_TYPE_LONG, kS}), KIV_E_INVALID_ARG},
        {"alias in a structure", aliasOf(kLong, kS), KIV_E_BAD_SCOPE_KIND},
        {"void element", CALL(kivTLibCreateSequence(t, kNew, 0, 1, &kVoid, o)), KIV_E_INVALID_ARG},
        {"no element", CALL(kivTLibCreateArray(t, kNew, 0, 1, nullptr, o)), KIV_E_INVALID_ARG},
        {"string without id", CALL(kivTLibCreateString(t, nullptr, 0, 1, o)), KIV_E_INVALID_ARG},
        {"taken id", CALL(kivTLibCreateWString(t, kDemo, 0, 1, o)), KIV_E_REPOID_EXISTS},
    };
    uint32_t definitions = tlib->definitions->count;
    std::string before = kivtest::readFile(path);
    for (const auto &c : cases) {
        kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
        EXPECT_EQ(c.call(tlib.get(), &out), c.expected) << c.what;
        EXPECT_EQ(out, nullptr) << c.what;
    }
    EXPECT_EQ(tlib->definitions->count, definitions);
    EXPECT_EQ(tlib->modified->count, 0u);
    EXPECT_EQ(kivTLibFlush(tlib.get()), 0u);
    EXPECT_EQ(kivtest::readFile(path), before);
}

// Each operation in each scope it accepts; the same calls on a read-only handle and without a
// handle are refused first.
TEST_F(TLibCreate, DefinitionsAreListedInTheirScopeAndPending) {
    Operation params255(255, KIV_PARAM_INOUT);
    kivTLibValue text{KIV_TYPE_STRING, {}};
    std::string hello = "hello";
    text.str = hello.c_str();
    kivTLibTypeRef string{KIV_TYPE_STRING, nullptr}, someEnum{KIV_TYPE_ENUM, "IDL:Nowhere:1.0"},
        someSequence{KIV_TYPE_SEQUENCE, "LOCAL:99"};
    kivTLibUnionCase defaults[] = {{"a", kLong, {}}, {"b", kLong, {}}};
    kivTLibUnionCase enumCase{"e", kLong, value(KIV_TYPE_ENUM, 7)};
    constexpr uint32_t f = 0xABCD1234u;  // only bits 16..31 are kept
    Handle readOnly = tlibtest::open(path, KIV_TLIB_READONLY);

    const struct {
        const char *scope;
        kivTLibDefKind kind;
        Call call;
    } cases[] = {
        {kDemo, KIV_DEF_MODULE, CALL(kivTLibCreateModule(t, "M", "IDL:Demo/M:1.0", kDemo, f, o))},
        {kDemo, KIV_DEF_INTERFACE,
         CALL(kivTLibCreateInterface(t, "J", "IDL:Demo/J:1.0", kDemo, f, kI, 1, &params255.member,
                                     o))},
        {kU, KIV_DEF_STRUCT,
         CALL(kivTLibCreateStruct(t, "T", "IDL:U/T:1.0", kU, f, 1, &kField, o))},
        {kS, KIV_DEF_ENUM, CALL(kivTLibCreateEnum(t, "K", "IDL:S/K:1.0", kS, f, 1, &kRed, o))},
        {kI, KIV_DEF_UNION,
         CALL(kivTLibCreateUnion(t, "W", "IDL:I/W:1.0", kI, f, &kLong, 2, defaults, o))},
        {kDemo, KIV_DEF_UNION,
         CALL(kivTLibCreateUnion(t, "X", "IDL:Demo/X:1.0", kDemo, f, &someEnum, 1, &enumCase, o))},
        {kI, KIV_DEF_ALIAS,
         CALL(kivTLibCreateAlias(t, "T", "IDL:I/T:1.0", kI, f, &someSequence, o))},
        {kI, KIV_DEF_CONSTANT,
         CALL(kivTLibCreateConstant(t, "HI", "IDL:I/HI:1.0", kI, f, &string, &text, o))},
        {kAnon, KIV_DEF_SEQUENCE,
         CALL(kivTLibCreateSequence(t, "LOCAL:1", f, 5, &someSequence, o))},
        {kAnon, KIV_DEF_STRING, CALL(kivTLibCreateString(t, "LOCAL:2", f, 0, o))},
        {kAnon, KIV_DEF_WSTRING, CALL(kivTLibCreateWString(t, "LOCAL:3", f, 9, o))},
        {kAnon, KIV_DEF_ARRAY, CALL(kivTLibCreateArray(t, "LOCAL:4", f, 0, &kLong, o))},
        {kDemo, KIV_DEF_INTERFACE,
         CALL(kivTLibCreateInterfaceFwd(t, "F", "IDL:Demo/F:1.0", kDemo, f, o))},
    };
    for (const auto &c : cases) {
        kivTLibDef *def = reinterpret_cast<kivTLibDef *>(1);
        EXPECT_EQ(c.call(readOnly.get(), &def), KIV_E_READ_ONLY);
        EXPECT_EQ(def, nullptr);
        EXPECT_EQ(c.call(nullptr, &def), KIV_E_INVALID_ARG);
        ASSERT_EQ(c.call(tlib.get(), &def), 0u) << c.kind;
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->kind, c.kind);
        kivTLibDef *scope = get(c.scope);
        EXPECT_EQ(contents(scope).back(), def->repoId);
        EXPECT_TRUE(isModified(tlib.get(), def) && isModified(tlib.get(), scope));
        EXPECT_TRUE(scope->flags & KIV_DEF_MODIFIED);
        uint32_t expected = c.kind == KIV_DEF_MODULE ? KIV_DEF_MODIFIED : 0xABCD0001u;
        if (std::strcmp(def->repoId, "IDL:Demo/F:1.0") == 0) expected |= KIV_DEF_FORWARD;
        EXPECT_EQ(def->flags, expected) << def->repoId;
        EXPECT_EQ(get(def->repoId), def);
    }
    EXPECT_EQ(readOnly->modified->count, 0u);
    auto *hi = as<kivTLibConstantDef>(get("IDL:I/HI:1.0"));
    EXPECT_STREQ(hi->value.str, "hello");
    EXPECT_EQ(position(hi->header.strings, hi->value.str), hi->header.strings->count);

    // The root: once per library, and refused when its id names another kind.
    Handle fresh = tlibtest::create(dir.file("new.tlb"));
    kivTLibDef *root = nullptr;
    EXPECT_EQ(kivTLibCreateRoot(fresh.get(), 0x00050003u, &root), 0u);
    EXPECT_EQ(root->flags, 0x00050001u);
    EXPECT_TRUE(isModified(fresh.get(), root));
    Handle other = tlibtest::create(dir.file("other.tlb"));
    ASSERT_EQ(kivTLibCreateString(other.get(), kRoot, 0, 1, nullptr), 0u);
    EXPECT_EQ(kivTLibCreateRoot(other.get(), 0, nullptr), KIV_E_BAD_KIND);
}

TEST_F(TLibCreate, ForwardDeclarationIsCompletedInPlace) {
    const char *id = "IDL:Demo/F:1.0";
    kivTLibDef *fwd = nullptr, *again = nullptr;
    ASSERT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0x00010000u, &fwd), 0u);
    ASSERT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0, &again), 0u);
    EXPECT_EQ(again, fwd);
    ASSERT_EQ(kivTLibFlush(tlib.get()), 0u);

    // Completed in a later session: the pointer stays, the scope lists the id once, and the
    // definition is pending although its KIV_DEF_MODIFIED bit is left alone.
    tlib = tlibtest::open(path);
    fwd = get(id);
    Operation op(2, KIV_PARAM_OUT);
    kivTLibMember members[] = {kSize, op.member};
    kivTLibDef *done = nullptr;
    ASSERT_EQ(
        kivTLibCreateInterface(tlib.get(), "F", id, kDemo, 0x00020000u, kI, 2, members, &done), 0u);
    EXPECT_EQ(done, fwd);
    auto *f = as<kivTLibInterfaceDef>(fwd);
    EXPECT_EQ(fwd->flags, 0x00030000u);
    EXPECT_STREQ(f->baseId, kI);
    ASSERT_EQ(f->memberCount, 2u);
    EXPECT_STREQ(f->members[1].params[1].name, "p");
    auto listed = contents(get(kDemo));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), id), 1);
    EXPECT_TRUE(isModified(tlib.get(), fwd));
    EXPECT_EQ(tlib->modified->count, 1u);

    // Complete now: the same content or a declaration returns it and changes nothing; other
    // content is refused.
    ASSERT_EQ(kivTLibFlush(tlib.get()), 0u);
    EXPECT_EQ(
        kivTLibCreateInterface(tlib.get(), "F", id, kDemo, 0x00400000u, kI, 2, members, &done), 0u);
    EXPECT_EQ(done, fwd);
    EXPECT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0, &done), 0u);
    EXPECT_EQ(done, fwd);
    EXPECT_EQ(tlib->modified->count, 0u);
    EXPECT_EQ(fwd->flags, 0x00030000u);
    EXPECT_EQ(kivTLibCreateInterface(tlib.get(), "F", id, kDemo, 0, kI, 1, members, &done),
              KIV_E_INCOMPATIBLE);
    tlib.reset();
    Handle reread = tlibtest::open(path, KIV_TLIB_READONLY);
    ASSERT_EQ(kivTLibGetDefinition(reread.get(), id, &done), 0u);
    EXPECT_EQ(as<kivTLibInterfaceDef>(done)->memberCount, 2u);
}

TEST_F(TLibCreate, AutoFlushWritesEachCreationAndAFailedFlushKeepsItPending) {
    tlib = tlibtest::open(path, KIV_TLIB_AUTOFLUSH);
    auto stored = [&](const char *id) {
        Handle reader = tlibtest::open(path, KIV_TLIB_READONLY);
        return kivTLibGetDefinition(reader.get(), id, nullptr) == 0;
    };
    ASSERT_EQ(kivTLibCreateStruct(tlib.get(), "A", "IDL:A:1.0", kDemo, 0, 1, &kField, nullptr), 0u);
    EXPECT_TRUE(stored("IDL:A:1.0"));
    EXPECT_EQ(tlib->modified->count, 0u);

    std::string moved = dir.file("moved");  // the file is away while B is created
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
    EXPECT_EQ(kivTLibCreateEnum(tlib.get(), "B", "IDL:B:1.0", kDemo, 0, 1, &kRed, &out),
              KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(out, nullptr);
    kivTLibDef *b = get("IDL:B:1.0");
    EXPECT_TRUE(isModified(tlib.get(), b) && isModified(tlib.get(), get(kDemo)));
    EXPECT_EQ(contents(get(kDemo)).back(), "IDL:B:1.0");

    ASSERT_EQ(std::rename(moved.c_str(), path.c_str()), 0);
    EXPECT_FALSE(stored("IDL:B:1.0"));
    ASSERT_EQ(kivTLibCreateString(tlib.get(), "LOCAL:1", 0, 3, nullptr), 0u);  // flushes all
    EXPECT_TRUE(stored("IDL:B:1.0"));
}

}  // namespace
