// The creating operations: order of checks, scopes, flags, listing in the scope, the two
// tables, forward completion and auto-flush.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <functional>
#include <string>
#include <vector>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using tlibtest::Handle;
using tlibtest::hex;

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

const kivTLibTypeRef kLong{KIV_TYPE_LONG, nullptr};
const kivTLibTypeRef kVoid{KIV_TYPE_VOID, nullptr};
const kivTLibStructMember kField{"x", kLong};
const kivTLibStructMember kVoidField{"x", kVoid};
const kivTLibEnumMember kRed{"RED", 0};
const kivTLibMember kSize{KIV_MEMBER_ATTRIBUTE, "size", 0, kLong, 0, nullptr};

kivTLibValue value(uint32_t tag, uint32_t u32 = 0) {
    kivTLibValue v{tag, {}};
    v.u32 = u32;
    return v;
}

kivTLibUnionCase unionCase(const char *name, uint32_t labelTag, uint32_t label = 0) {
    return {name, kLong, value(labelTag, label)};
}

// An operation taking `count` parameters that all have `direction`.
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

Call structIn(const char *id, const char *scope, uint32_t count = 1,
              const kivTLibStructMember *members = &kField) {
    return [=](kivTLib *t, kivTLibDef **out) {
        return kivTLibCreateStruct(t, "N", id, scope, 0, count, members, out);
    };
}

Call interfaceIn(const char *id, const char *scope, const char *base, uint32_t count,
                 const kivTLibMember *members) {
    return [=](kivTLib *t, kivTLibDef **out) {
        return kivTLibCreateInterface(t, "I", id, scope, 0, base, count, members, out);
    };
}

Call unionOf(kivTLibTypeRef discriminator, std::vector<kivTLibUnionCase> cases,
             const char *scope = kDemo) {
    return [=](kivTLib *t, kivTLibDef **out) {
        return kivTLibCreateUnion(t, "V", kNew, scope, 0, &discriminator,
                                  static_cast<uint32_t>(cases.size()),
                                  cases.empty() ? nullptr : cases.data(), out);
    };
}

Call constantOf(kivTLibTypeRef type, kivTLibValue v, const char *scope = kDemo) {
    return [=](kivTLib *t, kivTLibDef **out) {
        return kivTLibCreateConstant(t, "C", kNew, scope, 0, &type, &v, out);
    };
}

Call aliasOf(kivTLibTypeRef type, const char *scope = kDemo) {
    return [=](kivTLib *t, kivTLibDef **out) {
        return kivTLibCreateAlias(t, "A", kNew, scope, 0, &type, out);
    };
}

// Every operation, with null for every pointer argument.
std::vector<std::pair<const char *, Call>> everyOperationWithNulls() {
    return {
        {"root", [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateRoot(t, 0, o); }},
        {"module",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateModule(t, nullptr, nullptr, nullptr, 0, o);
         }},
        {"interface",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateInterface(t, nullptr, nullptr, nullptr, 0, nullptr, 1, nullptr, o);
         }},
        {"forward",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateInterfaceFwd(t, nullptr, nullptr, nullptr, 0, o);
         }},
        {"alias",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateAlias(t, nullptr, nullptr, nullptr, 0, nullptr, o);
         }},
        {"array", [](kivTLib *t,
                     kivTLibDef **o) { return kivTLibCreateArray(t, nullptr, 0, 1, nullptr, o); }},
        {"sequence",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateSequence(t, nullptr, 0, 1, nullptr, o);
         }},
        {"string",
         [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateString(t, nullptr, 0, 1, o); }},
        {"wstring",
         [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateWString(t, nullptr, 0, 1, o); }},
        {"struct",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateStruct(t, nullptr, nullptr, nullptr, 0, 1, nullptr, o);
         }},
        {"union",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateUnion(t, nullptr, nullptr, nullptr, 0, nullptr, 1, nullptr, o);
         }},
        {"enum",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateEnum(t, nullptr, nullptr, nullptr, 0, 1, nullptr, o);
         }},
        {"constant",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateConstant(t, nullptr, nullptr, nullptr, 0, nullptr, nullptr, o);
         }},
    };
}

std::vector<std::string> contents(const kivTLibDef *scope) {
    auto ids = contentsOf(scope);
    return {ids.begin(), ids.end()};
}

bool isModified(kivTLib *t, const kivTLibDef *def) {
    return kivHashGet(t->modified, def->repoId) == def;
}

// A library with a root, module Demo and in it a structure S, an interface I with one
// attribute, a union U and an enumeration E, flushed, plus a malformed record Broken.
class TLibCreate : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            Handle h = tlibtest::create(path);
            kivTLib *t = h.get();
            ASSERT_EQ(kivTLibCreateRoot(t, 0, nullptr), 0u);
            ASSERT_EQ(kivTLibCreateModule(t, "Demo", kDemo, kRoot, 0, nullptr), 0u);
            ASSERT_EQ(kivTLibCreateStruct(t, "S", kS, kDemo, 0, 1, &kField, nullptr), 0u);
            ASSERT_EQ(kivTLibCreateInterface(t, "I", kI, kDemo, 0, nullptr, 1, &kSize, nullptr),
                      0u);
            kivTLibUnionCase c = unionCase("a", KIV_TYPE_LONG, 1);
            ASSERT_EQ(kivTLibCreateUnion(t, "U", kU, kDemo, 0, &kLong, 1, &c, nullptr), 0u);
            ASSERT_EQ(kivTLibCreateEnum(t, "E", kE, kDemo, 0, 1, &kRed, nullptr), 0u);
        }
        std::string key(kBroken, std::strlen(kBroken) + 1);
        tlibtest::putRawRecords(path, {{key, tlibtest::bytes("01 01 'S' 08 00 01 00 00")}});
        tlib = tlibtest::open(path);
        for (const char *id : {kRoot, kDemo, kS, kI, kU, kE})
            ASSERT_EQ(kivTLibGetDefinition(tlib.get(), id, nullptr), 0u);
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

// ---- Refusals ---------------------------------------------------------------------------------

TEST_F(TLibCreate, RefusalsFollowTheOrderOfChecksAndChangeNothing) {
    Operation params255(255, KIV_PARAM_IN), params256(256, KIV_PARAM_IN);
    Operation direction0(1, 0), direction4(1, 4), badResult(1, KIV_PARAM_IN, {14, nullptr});
    kivTLibParam unnamed{nullptr, kLong, KIV_PARAM_IN};
    kivTLibMember unnamedParam{KIV_MEMBER_OPERATION, "op", 0, kVoid, 1, &unnamed};
    kivTLibMember paramsMissing{KIV_MEMBER_OPERATION, "op", 0, kVoid, 2, nullptr};
    kivTLibMember voidAttribute{KIV_MEMBER_ATTRIBUTE, "a", 0, kVoid, 0, nullptr};
    kivTLibMember kind3{3, "m", 0, kLong, 0, nullptr};
    kivTLibMember unnamedMember{KIV_MEMBER_ATTRIBUTE, nullptr, 0, kLong, 0, nullptr};
    kivTLibMember otherSize{KIV_MEMBER_ATTRIBUTE, "size", 0, {KIV_TYPE_ULONG, nullptr}, 0, nullptr};
    kivTLibStructMember unnamedField{nullptr, kLong};
    kivTLibEnumMember unnamedEnum{nullptr, 0};
    kivTLibValue nullString{KIV_TYPE_STRING, {}};
    const std::vector<kivTLibUnionCase> oneCase{unionCase("a", KIV_TYPE_LONG, 1)};

    struct Case {
        const char *what;
        Call call;
        kivResult expected;
    };
    const Case cases[] = {
        // Modules and the root.
        {"root again", [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateRoot(t, 0, o); },
         KIV_E_REPOID_EXISTS},
        {"module again, identical",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateModule(t, "Demo", kDemo, kRoot, 0, o);
         },
         KIV_E_REPOID_EXISTS},
        {"module in an interface",
         [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateModule(t, "M", kNew, kI, 0, o); },
         KIV_E_BAD_SCOPE_KIND},
        {"module in nothing",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateModule(t, "M", kNew, "IDL:Nope:1.0", 0, o);
         },
         KIV_E_UNKNOWN_SCOPE},
        // Interfaces: base before members before scope before redefinition.
        {"unknown base, unknown scope", interfaceIn(kNew, "IDL:Nope:1.0", "IDL:Base:1.0", 0, {}),
         KIV_E_UNKNOWN_BASE},
        {"unknown base, bad member", interfaceIn(kNew, kDemo, "IDL:Base:1.0", 1, &kind3),
         KIV_E_UNKNOWN_BASE},
        {"structure as base", interfaceIn(kNew, kDemo, kS, 0, nullptr), KIV_E_BAD_BASE},
        {"unreadable base", interfaceIn(kNew, kDemo, kBroken, 0, nullptr), KIV_E_FORMAT},
        {"bad member, unknown scope", interfaceIn(kNew, "IDL:Nope:1.0", kI, 1, &kind3),
         KIV_E_INVALID_ARG},
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
        {"interface in a structure", interfaceIn(kNew, kS, nullptr, 1, &params255.member),
         KIV_E_BAD_SCOPE_KIND},
        {"incompatible redefinition", interfaceIn(kI, kDemo, nullptr, 1, &otherSize),
         KIV_E_INCOMPATIBLE},
        {"interface over a structure", interfaceIn(kS, kDemo, nullptr, 0, nullptr),
         KIV_E_INCOMPATIBLE},
        {"interface over a malformed record", interfaceIn(kBroken, kDemo, nullptr, 0, nullptr),
         KIV_E_FORMAT},
        {"forward: scope before existence",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateInterfaceFwd(t, "I", kI, "IDL:Nope:1.0", 0, o);
         },
         KIV_E_UNKNOWN_SCOPE},
        {"forward over a structure",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateInterfaceFwd(t, "S", kS, kDemo, 0, o);
         },
         KIV_E_INCOMPATIBLE},
        {"forward with another name",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateInterfaceFwd(t, "J", kI, kDemo, 0, o);
         },
         KIV_E_INCOMPATIBLE},
        // Structures: content, then existence, then scope.
        {"no members", structIn(kNew, kDemo, 0), KIV_E_INVALID_ARG},
        {"members missing", structIn(kNew, kDemo, 1, nullptr), KIV_E_INVALID_ARG},
        {"void member, taken id", structIn(kS, kDemo, 1, &kVoidField), KIV_E_INVALID_ARG},
        {"member without name", structIn(kNew, kDemo, 1, &unnamedField), KIV_E_INVALID_ARG},
        {"taken id, unknown scope", structIn(kS, "IDL:Nope:1.0"), KIV_E_REPOID_EXISTS},
        {"malformed id, unknown scope", structIn(kBroken, "IDL:Nope:1.0"), KIV_E_FORMAT},
        {"unknown scope", structIn(kNew, "IDL:Nope:1.0"), KIV_E_UNKNOWN_SCOPE},
        {"unreadable scope", structIn(kNew, kBroken), KIV_E_FORMAT},
        {"structure in an enumeration", structIn(kNew, kE), KIV_E_BAD_SCOPE_KIND},
        {"enumeration without members",
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateEnum(t, "E2", kNew, kDemo, 0, 0, &kRed, o);
         },
         KIV_E_INVALID_ARG},
        {"enumerator without name",
         [&](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateEnum(t, "E2", kNew, kDemo, 0, 1, &unnamedEnum, o);
         },
         KIV_E_INVALID_ARG},
        // Unions.
        {"no cases", unionOf(kLong, {}), KIV_E_INVALID_ARG},
        {"float discriminator", unionOf({KIV_TYPE_FLOAT, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"double discriminator", unionOf({KIV_TYPE_DOUBLE, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"octet discriminator", unionOf({KIV_TYPE_OCTET, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"string discriminator", unionOf({KIV_TYPE_STRING, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"enumeration without id", unionOf({KIV_TYPE_ENUM, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"label of another tag", unionOf({KIV_TYPE_ULONG, nullptr}, oneCase), KIV_E_INVALID_ARG},
        {"void case", unionOf(kLong, {{"a", kVoid, value(KIV_TYPE_LONG)}}), KIV_E_INVALID_ARG},
        {"union in an enumeration", unionOf(kLong, oneCase, kE), KIV_E_BAD_SCOPE_KIND},
        // Constants and aliases.
        {"value tag differs", constantOf(kLong, value(KIV_TYPE_ULONG)), KIV_E_INVALID_ARG},
        {"null string value", constantOf({KIV_TYPE_STRING, nullptr}, nullString),
         KIV_E_INVALID_ARG},
        {"constant of an alias", constantOf({KIV_TYPE_ALIAS, kS}, value(KIV_TYPE_ALIAS)),
         KIV_E_INVALID_ARG},
        {"constant in a union", constantOf(kLong, value(KIV_TYPE_LONG), kU), KIV_E_BAD_SCOPE_KIND},
        {"void alias", aliasOf(kVoid), KIV_E_INVALID_ARG},
        {"alias of a structure without id", aliasOf({KIV_TYPE_STRUCT, nullptr}), KIV_E_INVALID_ARG},
        {"alias of long with an id", aliasOf({KIV_TYPE_LONG, kS}), KIV_E_INVALID_ARG},
        {"alias in a structure", aliasOf(kLong, kS), KIV_E_BAD_SCOPE_KIND},
        // Anonymous types: no scope to look up.
        {"void element",
         [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateSequence(t, kNew, 0, 1, &kVoid, o); },
         KIV_E_INVALID_ARG},
        {"taken id",
         [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateString(t, kDemo, 0, 1, o); },
         KIV_E_REPOID_EXISTS},
        {"anonymous scope's id",
         [](kivTLib *t, kivTLibDef **o) { return kivTLibCreateArray(t, kAnon, 0, 1, &kLong, o); },
         KIV_E_REPOID_EXISTS},
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

TEST_F(TLibCreate, ReadOnlyHandlesAndNullHandlesAreRefusedFirst) {
    Handle readOnly = tlibtest::open(path, KIV_TLIB_READONLY);
    for (const auto &[what, call] : everyOperationWithNulls()) {
        kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
        EXPECT_EQ(call(readOnly.get(), &out), KIV_E_READ_ONLY) << what;
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(call(nullptr, &out), KIV_E_INVALID_ARG) << what;
        // The root needs no pointer argument; everything else is missing one.
        if (std::string(what) != "root")
            EXPECT_EQ(call(tlib.get(), nullptr), KIV_E_INVALID_ARG) << what;
    }
    EXPECT_EQ(readOnly->modified->count, 0u);
}

// ---- Successes --------------------------------------------------------------------------------

TEST_F(TLibCreate, DefinitionsAreListedInTheirScopeAndPending) {
    Operation params255(255, KIV_PARAM_INOUT);
    kivTLibValue text{KIV_TYPE_STRING, {}};
    std::string greeting = "hello";
    text.str = greeting.c_str();
    kivTLibTypeRef stringType{KIV_TYPE_STRING, nullptr};
    kivTLibTypeRef unknownEnum{KIV_TYPE_ENUM, "IDL:Nowhere:1.0"};
    kivTLibTypeRef unknownSequence{KIV_TYPE_SEQUENCE, "LOCAL:99"};
    kivTLibUnionCase defaults[] = {unionCase("a", KIV_VALUE_NONE), unionCase("b", KIV_VALUE_NONE)};
    kivTLibUnionCase enumCase{"e", kLong, value(KIV_TYPE_ENUM, 7)};
    constexpr uint32_t kFlags = 0xABCD1234u;  // only bits 16..31 are kept

    struct Case {
        const char *what;
        const char *scope;
        kivTLibDefKind kind;
        Call call;
    };
    const Case cases[] = {
        {"module in a module", kDemo, KIV_DEF_MODULE,
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateModule(t, "M", "IDL:Demo/M:1.0", kDemo, kFlags, o);
         }},
        {"255 parameters, void result", kDemo, KIV_DEF_INTERFACE,
         [&](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateInterface(t, "J", "IDL:Demo/J:1.0", kDemo, kFlags, kI, 1,
                                           &params255.member, o);
         }},
        {"structure in a union", kU, KIV_DEF_STRUCT,
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateStruct(t, "In", "IDL:Demo/U/In:1.0", kU, kFlags, 1, &kField, o);
         }},
        {"enumeration in a structure", kS, KIV_DEF_ENUM,
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateEnum(t, "K", "IDL:Demo/S/K:1.0", kS, kFlags, 1, &kRed, o);
         }},
        {"union with two defaults in an interface", kI, KIV_DEF_UNION,
         [&](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateUnion(t, "W", "IDL:Demo/I/W:1.0", kI, kFlags, &kLong, 2, defaults,
                                       o);
         }},
        {"union on an enumeration that is not there", kDemo, KIV_DEF_UNION,
         [&](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateUnion(t, "X", "IDL:Demo/X:1.0", kDemo, kFlags, &unknownEnum, 1,
                                       &enumCase, o);
         }},
        {"alias in an interface", kI, KIV_DEF_ALIAS,
         [&](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateAlias(t, "T", "IDL:Demo/I/T:1.0", kI, kFlags, &unknownSequence, o);
         }},
        {"string constant in an interface", kI, KIV_DEF_CONSTANT,
         [&](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateConstant(t, "HI", "IDL:Demo/I/HI:1.0", kI, kFlags, &stringType,
                                          &text, o);
         }},
        {"sequence of something unknown", kAnon, KIV_DEF_SEQUENCE,
         [&](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateSequence(t, "LOCAL:1", kFlags, 5, &unknownSequence, o);
         }},
        {"string of bound 0", kAnon, KIV_DEF_STRING,
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateString(t, "LOCAL:2", kFlags, 0, o);
         }},
        {"wide string", kAnon, KIV_DEF_WSTRING,
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateWString(t, "LOCAL:3", kFlags, 9, o);
         }},
        {"array of length 0", kAnon, KIV_DEF_ARRAY,
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateArray(t, "LOCAL:4", kFlags, 0, &kLong, o);
         }},
        {"forward declaration", kDemo, KIV_DEF_INTERFACE,
         [](kivTLib *t, kivTLibDef **o) {
             return kivTLibCreateInterfaceFwd(t, "F", "IDL:Demo/F:1.0", kDemo, kFlags, o);
         }},
    };
    for (const auto &c : cases) {
        kivTLibDef *def = nullptr;
        ASSERT_EQ(c.call(tlib.get(), &def), 0u) << c.what;
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->kind, c.kind) << c.what;
        kivTLibDef *scope = get(c.scope);
        EXPECT_EQ(contents(scope).back(), def->repoId) << c.what;
        EXPECT_TRUE(isModified(tlib.get(), def) && isModified(tlib.get(), scope)) << c.what;
        EXPECT_TRUE(scope->flags & KIV_DEF_MODIFIED);
        uint32_t expected = c.kind == KIV_DEF_MODULE ? 1u : 0xABCD0001u;
        if (std::string(c.what) == "forward declaration") expected |= KIV_DEF_FORWARD;
        EXPECT_EQ(def->flags, expected) << c.what;
        EXPECT_EQ(get(def->repoId), def);
    }
    auto *hi = as<kivTLibConstantDef>(get("IDL:Demo/I/HI:1.0"));
    EXPECT_STREQ(hi->value.str, "hello");
    EXPECT_NE(hi->value.str, greeting.c_str());  // the definition's own copy
    EXPECT_EQ(position(hi->header.strings, hi->value.str), hi->header.strings->count);

    // The stored records come out as the builders make them, strings in field order.
    ASSERT_EQ(kivTLibFlush(tlib.get()), 0u);
    kivTLibValue max = value(KIV_TYPE_USHORT);
    max.u16 = 1000;
    kivTLibTypeRef ushort{KIV_TYPE_USHORT, nullptr};
    ASSERT_EQ(kivTLibCreateConstant(tlib.get(), "MAX", "IDL:Demo/MAX:1.0", kDemo, 0, &ushort, &max,
                                    nullptr),
              0u);
    ASSERT_EQ(kivTLibFlush(tlib.get()), 0u);
    std::map<std::string, tlibtest::Bytes> records;
    for (auto &[k, v] : tlibtest::readAllRecords(path)) records[k] = v;
    EXPECT_EQ(hex(records[std::string("IDL:Demo/MAX:1.0") + '\0']),
              hex(tlibtest::bytes("03 03 'MAX' 10 'IDL:Demo/MAX:1.0' 0C 'IDL:Demo:1.0' "
                                  "03 01 02 03 00 07 07 03 E8")));
}

TEST_F(TLibCreate, RootOnANewLibraryAndOverAnotherKind) {
    Handle t = tlibtest::create(dir.file("new.tlb"));
    EXPECT_EQ(kivTLibGetRoot(t.get(), nullptr), KIV_E_UNKNOWN_REPOID);
    EXPECT_EQ(kivTLibCreateRoot(t.get(), 0x00050003u, nullptr), 0u);
    kivTLibDef *root = nullptr;
    ASSERT_EQ(kivTLibGetRoot(t.get(), &root), 0u);
    EXPECT_EQ(root->flags, 0x00050001u);
    EXPECT_STREQ(root->name, "");
    EXPECT_EQ(root->scopeId, nullptr);
    EXPECT_TRUE(isModified(t.get(), root));
    EXPECT_TRUE(contents(&t->anonymousScope->header).empty());

    Handle other = tlibtest::create(dir.file("other.tlb"));
    ASSERT_EQ(kivTLibCreateString(other.get(), kRoot, 0, 1, nullptr), 0u);
    EXPECT_EQ(kivTLibCreateRoot(other.get(), 0, nullptr), KIV_E_BAD_KIND);
}

// ---- Interfaces: forward declarations and redefinitions -----------------------------------------

TEST_F(TLibCreate, ForwardDeclarationIsCompletedInPlace) {
    const char *id = "IDL:Demo/F:1.0";
    kivTLibDef *fwd = nullptr;
    ASSERT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0x00010000u, &fwd), 0u);
    EXPECT_EQ(fwd->flags, 0x00010000u | KIV_DEF_FORWARD | KIV_DEF_MODIFIED);
    // Another forward declaration, and a base of a new interface: the same definition.
    kivTLibDef *again = nullptr;
    ASSERT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0, &again), 0u);
    EXPECT_EQ(again, fwd);
    ASSERT_EQ(kivTLibCreateInterface(tlib.get(), "G", "IDL:Demo/G:1.0", kDemo, 0, id, 0, nullptr,
                                     nullptr),
              0u);

    Operation op(2, KIV_PARAM_OUT);
    kivTLibMember members[] = {kSize, op.member};
    kivTLibDef *done = nullptr;
    ASSERT_EQ(
        kivTLibCreateInterface(tlib.get(), "F", id, kDemo, 0x00020000u, kI, 2, members, &done), 0u);
    EXPECT_EQ(done, fwd);
    auto *f = as<kivTLibInterfaceDef>(fwd);
    EXPECT_EQ(fwd->flags, 0x00030000u | KIV_DEF_MODIFIED);
    EXPECT_STREQ(f->baseId, kI);
    ASSERT_EQ(f->memberCount, 2u);
    EXPECT_STREQ(f->members[1].params[1].name, "p");
    auto listed = contents(get(kDemo));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), id), 1);

    // A complete interface: the same content again changes nothing, other content is refused,
    // and a forward declaration returns it.
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
    EXPECT_EQ(done, nullptr);
}

TEST_F(TLibCreate, ForwardDeclarationReadFromTheFileIsCompletedAndWritten) {
    const char *id = "IDL:Demo/F:1.0";
    ASSERT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0, nullptr), 0u);
    tlib.reset();
    tlib = tlibtest::open(path);
    kivTLibDef *fwd = get(id);
    EXPECT_EQ(fwd->flags, KIV_DEF_FORWARD);
    ASSERT_EQ(kivTLibCreateInterface(tlib.get(), "F", id, kDemo, 0, nullptr, 1, &kSize, nullptr),
              0u);
    // Pending although completing leaves its KIV_DEF_MODIFIED bit alone; the scope is untouched.
    EXPECT_EQ(fwd->flags, 0u);
    EXPECT_TRUE(isModified(tlib.get(), fwd));
    EXPECT_EQ(tlib->modified->count, 1u);
    tlib.reset();
    Handle reread = tlibtest::open(path, KIV_TLIB_READONLY);
    kivTLibDef *def = nullptr;
    ASSERT_EQ(kivTLibGetDefinition(reread.get(), id, &def), 0u);
    EXPECT_EQ(as<kivTLibInterfaceDef>(def)->memberCount, 1u);
    EXPECT_EQ(def->flags, 0u);
}

// ---- Auto-flush ---------------------------------------------------------------------------------

TEST_F(TLibCreate, AutoFlushWritesEachCreationAndAFailedFlushKeepsItPending) {
    tlib.reset();
    tlib = tlibtest::open(path, KIV_TLIB_AUTOFLUSH);
    auto stored = [&](const char *id) {
        Handle reader = tlibtest::open(path, KIV_TLIB_READONLY);
        return kivTLibGetDefinition(reader.get(), id, nullptr) == 0;
    };
    kivTLibDef *out = nullptr;
    ASSERT_EQ(kivTLibCreateStruct(tlib.get(), "A", "IDL:Demo/A:1.0", kDemo, 0, 1, &kField, &out),
              0u);
    EXPECT_TRUE(stored("IDL:Demo/A:1.0"));
    EXPECT_EQ(tlib->modified->count, 0u);
    EXPECT_EQ(out->flags & KIV_DEF_MODIFIED, 0u);

    // The file is gone while the next definition is created.
    std::string moved = dir.file("moved");
    ASSERT_EQ(std::rename(path.c_str(), moved.c_str()), 0);
    out = reinterpret_cast<kivTLibDef *>(1);
    EXPECT_EQ(kivTLibCreateEnum(tlib.get(), "B", "IDL:Demo/B:1.0", kDemo, 0, 1, &kRed, &out),
              KIV_E_SYSTEM(ENOENT));
    EXPECT_EQ(out, nullptr);
    kivTLibDef *b = get("IDL:Demo/B:1.0");
    EXPECT_TRUE(isModified(tlib.get(), b) && isModified(tlib.get(), get(kDemo)));
    EXPECT_EQ(contents(get(kDemo)).back(), "IDL:Demo/B:1.0");
    EXPECT_EQ(kivTLibCreateEnum(tlib.get(), "B", "IDL:Demo/B:1.0", kDemo, 0, 1, &kRed, nullptr),
              KIV_E_REPOID_EXISTS);

    ASSERT_EQ(std::rename(moved.c_str(), path.c_str()), 0);
    EXPECT_FALSE(stored("IDL:Demo/B:1.0"));
    ASSERT_EQ(kivTLibCreateString(tlib.get(), "LOCAL:1", 0, 3, nullptr), 0u);  // flushes all
    EXPECT_TRUE(stored("IDL:Demo/B:1.0"));
    EXPECT_TRUE(stored("LOCAL:1"));
}

}  // namespace
