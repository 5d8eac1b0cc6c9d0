// SPDX-License-Identifier: Apache-2.0
// The creating operations: which check refuses a call, and forward completion. What they create
// is checked by the random library property test (roundtrip_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using tlibtest::Handle;

namespace {

constexpr const char *kRoot = KIV_TLIB_ROOT_ID;
// Definitions of the every-kind library, and a malformed record.
constexpr const char *kDemo = "IDL:M:1.0", *kS = "IDL:M/IGrid/Cell:1.0", *kI = "IDL:M/IGrid:1.0",
                     *kU = "IDL:M/Maybe:1.0", *kE = "IDL:M/Level:1.0", *kNew = "IDL:M/New:1.0",
                     *kNope = "IDL:Nope:1.0", *kBroken = "IDL:M/Broken:1.0";
const kivTLibTypeRef kLong{KIV_TYPE_LONG, nullptr}, kVoid{KIV_TYPE_VOID, nullptr};
const kivTLibStructMember kField{"x", kLong};
const kivTLibEnumMember kRed{"RED", 0};
const kivTLibMember kSize{KIV_MEMBER_ATTRIBUTE, "size", 0, kLong, 0, nullptr};
const kivTLibUnionCase kCase{"a", kLong, {KIV_TYPE_LONG, {.u32 = 1}}};

// An operation with `n` parameters of one direction.
struct Operation {
    std::vector<kivTLibParam> params;
    kivTLibMember member;
    Operation(size_t n, uint32_t direction, kivTLibTypeRef result = kVoid)
        : params(n, kivTLibParam{"p", kLong, direction}),
          member{KIV_MEMBER_OPERATION, "op", 0, result, uint32_t(n), params.data()} {}
};

// One call of a creating operation on handle `t` with out-parameter `o`.
using Call = std::function<kivResult(kivTLib *, kivTLibDef **)>;
#define CALL(...) [=](kivTLib *t, kivTLibDef **o) { return __VA_ARGS__; }
Call structIn(const char *id, const char *scope, uint32_t n = 1,
              const kivTLibStructMember *m = &kField) {
    return CALL(kivTLibCreateStruct(t, "N", id, scope, 0, n, m, o));
}
Call iface(const char *id, const char *scope, const char *base, const kivTLibMember *m) {
    return CALL(kivTLibCreateInterface(t, "IGrid", id, scope, 0, base, m ? 1 : 0, m, o));
}
Call unionOf(kivTLibTypeRef d, const kivTLibUnionCase *c) {
    return CALL(kivTLibCreateUnion(t, "V", kNew, kDemo, 0, &d, c ? 1 : 0, c, o));
}
Call constantOf(kivTLibTypeRef type, kivTLibValue v, const char *scope = kDemo) {
    return CALL(kivTLibCreateConstant(t, "C", kNew, scope, 0, &type, &v, o));
}
Call aliasOf(kivTLibTypeRef type, const char *scope = kDemo) {
    return CALL(kivTLibCreateAlias(t, "A", kNew, scope, 0, &type, o));
}

class TLibCreate : public ::testing::Test {
  protected:
    void SetUp() override {
        tlibtest::addEveryKind(tlibtest::create(path).get());
        tlibtest::putRecords(
            path, {{tlibtest::key(kBroken), tlibtest::bytes("01 01 'S' 08 00 01 00 00")}});
        tlib = tlibtest::open(path);
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
    Operation params256(256, KIV_PARAM_IN), direction4(1, 4), result14(1, 1, {14, nullptr});
    const kivTLibParam unnamed{nullptr, kLong, KIV_PARAM_IN};
    const kivTLibMember unnamedParam{KIV_MEMBER_OPERATION, "op", 0, kVoid, 1, &unnamed},
        paramsMissing{KIV_MEMBER_OPERATION, "op", 0, kVoid, 2, nullptr},
        voidAttribute{KIV_MEMBER_ATTRIBUTE, "a", 0, kVoid, 0, nullptr},
        kind3{3, "m", 0, kLong, 0, nullptr};
    const kivTLibStructMember voidField{"x", kVoid}, unnamedField{nullptr, kLong};
    const kivTLibEnumMember unnamedEnum{nullptr, 0};
    const kivTLibUnionCase voidCase{"a", kVoid, {KIV_TYPE_LONG, {}}};
    const kivResult arg = KIV_E_INVALID_ARG, scope = KIV_E_BAD_SCOPE_KIND, no = KIV_E_INCOMPATIBLE,
                    exists = KIV_E_REPOID_EXISTS, format = KIV_E_FORMAT;
    const struct {
        const char *what;
        Call call;
        kivResult expected;
    } cases[] = {
        {"root again", CALL(kivTLibCreateRoot(t, 0, o)), exists},
        {"same module again", CALL(kivTLibCreateModule(t, "M", kDemo, kRoot, 0, o)), exists},
        {"module without name", CALL(kivTLibCreateModule(t, nullptr, kNew, kDemo, 0, o)), arg},
        {"module in an interface", CALL(kivTLibCreateModule(t, "M", kNew, kI, 0, o)), scope},
        // Interfaces: base, then members, then scope, then redefinition.
        {"unknown base and scope", iface(kNew, kNope, "IDL:B:1.0", nullptr), KIV_E_UNKNOWN_BASE},
        {"unknown base, bad member", iface(kNew, kDemo, "IDL:B:1.0", &kind3), KIV_E_UNKNOWN_BASE},
        {"structure as base", iface(kNew, kDemo, kS, nullptr), KIV_E_BAD_BASE},
        {"unreadable base", iface(kNew, kDemo, kBroken, nullptr), format},
        {"bad member, unknown scope", iface(kNew, kNope, kI, &kind3), arg},
        {"members missing", CALL(kivTLibCreateInterface(t, "I", kNew, kDemo, 0, 0, 1, 0, o)), arg},
        {"void attribute", iface(kNew, kDemo, nullptr, &voidAttribute), arg},
        {"256 parameters", iface(kNew, kDemo, nullptr, &params256.member), arg},
        {"direction 4", iface(kNew, kDemo, nullptr, &direction4.member), arg},
        {"result tag 14", iface(kNew, kDemo, nullptr, &result14.member), arg},
        {"parameter without name", iface(kNew, kDemo, nullptr, &unnamedParam), arg},
        {"parameters missing", iface(kNew, kDemo, nullptr, &paramsMissing), arg},
        {"interface in a structure", iface(kNew, kS, nullptr, nullptr), scope},
        {"incompatible redefinition", iface(kI, kDemo, "IDL:M/IBase:1.0", &kSize), no},
        {"interface over a structure", iface(kS, kDemo, nullptr, nullptr), no},
        {"over a malformed record", iface(kBroken, kDemo, nullptr, nullptr), format},
        {"forward: scope first", CALL(kivTLibCreateInterfaceFwd(t, "I", kI, kNope, 0, o)),
         KIV_E_UNKNOWN_SCOPE},
        {"forward over a structure", CALL(kivTLibCreateInterfaceFwd(t, "Cell", kS, kDemo, 0, o)),
         no},
        // The others: content, then existence, then scope.
        {"no members", structIn(kNew, kDemo, 0), arg},
        {"members missing", structIn(kNew, kDemo, 1, nullptr), arg},
        {"void member, taken id", structIn(kS, kDemo, 1, &voidField), arg},
        {"member without name", structIn(kNew, kDemo, 1, &unnamedField), arg},
        {"taken id, unknown scope", structIn(kS, kNope), exists},
        {"malformed id, unknown scope", structIn(kBroken, kNope), format},
        {"unknown scope", structIn(kNew, kNope), KIV_E_UNKNOWN_SCOPE},
        {"unreadable scope", structIn(kNew, kBroken), format},
        {"structure in an enumeration", structIn(kNew, kE), scope},
        {"no enumerators", CALL(kivTLibCreateEnum(t, "F", kNew, kDemo, 0, 0, &kRed, o)), arg},
        {"enumerator without name",
         CALL(kivTLibCreateEnum(t, "F", kNew, kDemo, 0, 1, &unnamedEnum, o)), arg},
        {"no cases", unionOf(kLong, nullptr), arg},
        {"float discriminator", unionOf({KIV_TYPE_FLOAT, nullptr}, &kCase), arg},
        {"enumeration without id", unionOf({KIV_TYPE_ENUM, nullptr}, &kCase), arg},
        {"label of another tag", unionOf({KIV_TYPE_ULONG, nullptr}, &kCase), arg},
        {"void case", unionOf(kLong, &voidCase), arg},
        {"value of another tag", constantOf(kLong, {KIV_TYPE_ULONG, {}}), arg},
        {"null string", constantOf({KIV_TYPE_STRING, nullptr}, {KIV_TYPE_STRING, {}}), arg},
        {"constant of an alias", constantOf({KIV_TYPE_ALIAS, kS}, {KIV_TYPE_ALIAS, {}}), arg},
        {"constant in a union", constantOf(kLong, {KIV_TYPE_LONG, {}}, kU), scope},
        {"void alias", aliasOf(kVoid), arg},
        {"structure without id", aliasOf({KIV_TYPE_STRUCT, nullptr}), arg},
        {"long with an id", aliasOf({KIV_TYPE_LONG, kS}), arg},
        {"alias in a structure", aliasOf(kLong, kS), scope},
        {"void element", CALL(kivTLibCreateSequence(t, kNew, 0, 1, &kVoid, o)), arg},
        {"no element", CALL(kivTLibCreateArray(t, kNew, 0, 1, nullptr, o)), arg},
        {"string without id", CALL(kivTLibCreateString(t, nullptr, 0, 1, o)), arg},
        {"taken id", CALL(kivTLibCreateWString(t, kDemo, 0, 1, o)), exists},
    };
    for (const char *id : {kRoot, kDemo, kS, kI, kU, kE, "IDL:M/IBase:1.0"}) get(id);
    uint32_t definitions = tlibtest::stateOf(tlib.get()).cached;
    std::string before = kivtest::readFile(path);
    for (const auto &c : cases) {
        kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
        EXPECT_EQ(c.call(tlib.get(), &out), c.expected) << c.what;
        EXPECT_EQ(out, nullptr) << c.what;
    }
    EXPECT_EQ(tlibtest::stateOf(tlib.get()).cached, definitions);
    EXPECT_EQ(tlibtest::stateOf(tlib.get()).pending, 0u);
    EXPECT_EQ(kivTLibFlush(tlib.get()), 0u);
    EXPECT_EQ(kivtest::readFile(path), before);
    // A root over a definition of another kind.
    tlib = tlibtest::create(dir.file("other.tlb"));
    ASSERT_EQ(kivTLibCreateString(tlib.get(), kRoot, 0, 1, nullptr), 0u);
    EXPECT_EQ(kivTLibCreateRoot(tlib.get(), 0, nullptr), KIV_E_BAD_KIND);
}

TEST_F(TLibCreate, ForwardDeclarationIsCompletedInPlace) {
    const char *id = "IDL:Demo/F:1.0";
    kivTLibDef *fwd = nullptr, *done = nullptr;
    ASSERT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0x00010000u, &fwd), 0u);
    ASSERT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0, &done), 0u);
    EXPECT_EQ(done, fwd);
    ASSERT_EQ(kivTLibFlush(tlib.get()), 0u);

    // Completed in a later session: the pointer stays, the scope lists the id once, and the
    // definition is pending although its KIV_DEF_MODIFIED bit is left alone.
    tlib = tlibtest::open(path);
    fwd = get(id);
    Operation op(2, KIV_PARAM_OUT);
    kivTLibMember members[] = {kSize, op.member};
    auto complete = [&](uint32_t flags, uint32_t n) {
        return kivTLibCreateInterface(tlib.get(), "F", id, kDemo, flags, kI, n, members, &done);
    };
    ASSERT_EQ(complete(0x00020003u, 2), 0u);
    EXPECT_EQ(done, fwd);
    EXPECT_EQ(fwd->flags, 0x00030000u);
    EXPECT_STREQ(as<kivTLibInterfaceDef>(fwd)->baseId, kI);
    auto listed = contentsOf(get(kDemo));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), std::string_view(id)), 1);
    EXPECT_EQ(tlibtest::stateOf(tlib.get()).pending, 1u);
    EXPECT_TRUE(tlibtest::isPending(tlib.get(), fwd));

    // Complete now: the same content or a declaration returns it and changes nothing; other
    // content is refused.
    ASSERT_EQ(kivTLibFlush(tlib.get()), 0u);
    EXPECT_EQ(complete(0x00400000u, 2), 0u);
    EXPECT_EQ(done, fwd);
    EXPECT_EQ(kivTLibCreateInterfaceFwd(tlib.get(), "F", id, kDemo, 0, &done), 0u);
    EXPECT_EQ(done, fwd);
    EXPECT_EQ(tlibtest::stateOf(tlib.get()).pending, 0u);
    EXPECT_EQ(fwd->flags, 0x00030000u);
    EXPECT_EQ(complete(0, 1), KIV_E_INCOMPATIBLE);
    tlib = tlibtest::open(path, KIV_TLIB_READONLY);
    auto *reread = as<kivTLibInterfaceDef>(get(id));
    ASSERT_EQ(reread->memberCount, 2u);
    EXPECT_STREQ(reread->members[1].params[1].name, "p");
}

}  // namespace
