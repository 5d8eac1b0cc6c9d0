// SPDX-License-Identifier: Apache-2.0
// kivTLibCheckCompatDef: every kind's rule, sets (given in another order on both sides) against
// positions, values, and references resolved across two library files.
#include <gtest/gtest.h>

#include "test_support.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;

namespace {

constexpr const char *kId = "IDL:M/X:1.0", *kM = "IDL:M:1.0";
constexpr kivResult kNo = KIV_E_INCOMPATIBLE;
constexpr uint32_t kLong = KIV_TYPE_LONG;
using Ids = std::vector<const char *>;

template <class Def>
DefinitionPtr own(Def *def, Ids contents = {}) {
    for (const char *id : contents) appendContent(&def->header, id);
    return DefinitionPtr(&def->header);
}
kivTLibValue val(uint32_t tag, uint64_t bits, uint64_t high = 0, const char *text = nullptr) {
    kivTLibValue v{tag, {}};
    v.d128[0] = bits;  // the payload's low bits (little-endian host)
    v.d128[1] = high;
    if (text) v.str = text;
    return v;
}
DefinitionPtr alias(uint32_t tag, const char *ref = nullptr, const char *name = "X",
                    const char *scope = kM, uint32_t flags = 0) {
    return own(buildAlias(name, kId, scope, flags, {tag, ref}));
}
DefinitionPtr module(const char *name, const char *scope, Ids contents = {}) {
    return own(buildModule(name, kId, scope, 0), contents);
}
DefinitionPtr constant(kivTLibValue v, const char *typeId = nullptr) {
    return own(buildConstant("X", kId, kM, 0, {v.tag, typeId}, v));
}
DefinitionPtr structure(std::vector<kivTLibStructMember> m, Ids contents = {}) {
    return own(buildStruct("X", kId, kM, 0, uint32_t(m.size()), m.data()), contents);
}
DefinitionPtr unionOf(std::vector<kivTLibUnionCase> c, Ids contents = {}, uint32_t tag = kLong) {
    return own(buildUnion("X", kId, kM, 0, {tag, nullptr}, uint32_t(c.size()), c.data()), contents);
}
DefinitionPtr enumOf(std::vector<kivTLibEnumMember> m) {
    return own(buildEnum("X", kId, kM, 0, uint32_t(m.size()), m.data()));
}
DefinitionPtr iface(std::vector<kivTLibMember> m, const char *base = nullptr, Ids contents = {},
                    uint32_t flags = 0, const char *name = "X") {
    return own(buildInterface(name, kId, kM, flags, base, uint32_t(m.size()), m.data()), contents);
}
DefinitionPtr fwd(const char *name = "X") {
    return iface({}, nullptr, {}, KIV_DEF_FORWARD, name);
}
kivTLibUnionCase arm(const char *name, uint32_t label, uint32_t tag = kLong) {
    return {name, {tag, nullptr}, label ? val(kLong, label) : kivTLibValue{}};  // 0: default
}
kivTLibMember attr(const char *name, uint32_t tag = kLong) {
    return {KIV_MEMBER_ATTRIBUTE, name, 0, {tag, nullptr}, 0, nullptr};
}
const kivTLibParam kIn[] = {{"a", {kLong, nullptr}, 1}, {"b", {kLong, nullptr}, 1}},
                   kOut[] = {{"a", {kLong, nullptr}, 1}, {"b", {kLong, nullptr}, 2}},
                   kRenamed[] = {{"a", {kLong, nullptr}, 1}, {"c", {kLong, nullptr}, 1}};
kivTLibMember op(const kivTLibParam *params, uint32_t count = 2, uint32_t flags = 0,
                 uint32_t result = KIV_TYPE_VOID) {
    return {KIV_MEMBER_OPERATION, "op", flags, {result, nullptr}, count, params};
}

// Two libraries whose anonymous types have different ids, and one id (LOCAL:1) naming other
// bounds in each: references must be resolved each in its own library.
class TLibCompat : public ::testing::Test {
  protected:
    void SetUp() override {
        kivTLibTypeRef l{kLong, nullptr}, d{KIV_TYPE_DOUBLE, nullptr};
        kivTLib *a = one.get(), *b = two.get();
        for (kivResult rc : {kivTLibCreateString(a, "LOCAL:1", 0, 10, nullptr),
                             kivTLibCreateWString(a, "LOCAL:2", 0, 5, nullptr),
                             kivTLibCreateSequence(a, "LOCAL:3", 0, 4, &l, nullptr),
                             kivTLibCreateArray(a, "LOCAL:4", 0, 8, &l, nullptr),
                             kivTLibCreateString(b, "LOCAL:1", 0, 20, nullptr),
                             kivTLibCreateWString(b, "LOCAL:12", 0, 5, nullptr),
                             kivTLibCreateSequence(b, "LOCAL:13", 0, 4, &d, nullptr),
                             kivTLibCreateArray(b, "LOCAL:14", 0, 8, &d, nullptr),
                             kivTLibCreateArray(b, "LOCAL:15", 0, 9, &l, nullptr),
                             kivTLibCreateString(b, "LOCAL:17", 0, 10, nullptr)})
            ASSERT_EQ(rc, 0u);
    }

    // The first definition resolved in `one`, the second in `two`.
    void expect(const char *what, DefinitionPtr a, DefinitionPtr b, kivResult expected) {
        EXPECT_EQ(kivTLibCheckCompatDef(one.get(), a.get(), two.get(), b.get()), expected) << what;
    }

    kivtest::TempDir dir;
    tlibtest::Handle one = tlibtest::create(dir.file("one.tlb"));
    tlibtest::Handle two = tlibtest::create(dir.file("two.tlb"));
};

TEST_F(TLibCompat, HeadersModulesAndNamedTypes) {
    const uint32_t S = KIV_TYPE_STRUCT;
    expect("ids differ", alias(kLong), own(buildAlias("X", "IDL:Y:1.0", kM, 0, {kLong, nullptr})),
           KIV_E_INVALID_ARG);
    expect("kinds differ", alias(kLong), constant(val(kLong, 1)), kNo);
    expect("module contents", module("M", kM, {"IDL:A:1.0"}), module("M", kM), 0);
    expect("module names", module("M", kM), module("N", kM), kNo);
    expect("module scopes", module("M", nullptr), module("M", kM), kNo);
    expect("caller flags", alias(kLong), alias(kLong, nullptr, "X", kM, 0xFFFF0001u), 0);
    expect("structure ids", alias(S, "IDL:S:1.0"), alias(S, "IDL:T:1.0"), kNo);
    expect("interfaces are not looked up", alias(KIV_TYPE_INTERFACE, "IDL:Gone:1.0"),
           alias(KIV_TYPE_INTERFACE, "IDL:Gone:1.0"), 0);
    expect("long, unsigned long", alias(kLong), alias(KIV_TYPE_ULONG), kNo);
    expect("enumerators in another order", enumOf({{"B", 2}, {"C", 3}, {"A", 1}}),
           enumOf({{"C", 3}, {"A", 1}, {"B", 2}}), 0);
    expect("an enumerator's value", enumOf({{"A", 1}, {"B", 2}}), enumOf({{"B", 2}, {"A", 7}}),
           kNo);
    expect("an enumerator's name", enumOf({{"A", 1}, {"B", 2}}), enumOf({{"A", 1}, {"C", 2}}), kNo);
    expect("an enumerator more", enumOf({{"A", 1}}), enumOf({{"A", 1}, {"B", 2}}), kNo);
    expect("string bounds", own(buildString(KIV_DEF_STRING, kId, 0, 5)),
           own(buildString(KIV_DEF_STRING, kId, 0, 6)), kNo);
    expect("sequence elements", own(buildSequence(kId, 0, 4, {S, "IDL:S:1.0"})),
           own(buildSequence(kId, 0, 4, {S, "IDL:T:1.0"})), kNo);
    expect("sequence bounds", own(buildSequence(kId, 0, 4, {kLong, nullptr})),
           own(buildSequence(kId, 0, 5, {kLong, nullptr})), kNo);
    expect("array lengths", own(buildArray(kId, 0, 4, {kLong, nullptr})),
           own(buildArray(kId, 0, 5, {kLong, nullptr})), kNo);
}

TEST_F(TLibCompat, InterfacesStructuresAndUnions) {
    const std::vector<kivTLibMember> ab{attr("a"), attr("b")};
    const kivTLibStructMember a{"a", {kLong, nullptr}}, b{"b", {kLong, nullptr}};
    expect("forward, anything", fwd(), iface({attr("z")}, "IDL:B:1.0", {"IDL:In:1.0"}), 0);
    expect("anything, forward", iface(ab), fwd(), 0);
    expect("forward, other name", fwd(), fwd("Y"), kNo);
    expect("base on one side", iface(ab), iface(ab, "IDL:B:1.0"), kNo);
    expect("bases", iface({}, "IDL:A:1.0"), iface({}, "IDL:B:1.0"), kNo);
    expect("nested definitions in another order",
           iface({}, nullptr, {"IDL:b:1.0", "IDL:\xC3:1.0", "IDL:a:1.0"}),
           iface({}, nullptr, {"IDL:\xC3:1.0", "IDL:a:1.0", "IDL:b:1.0"}), 0);
    expect("nested definitions", iface({}, nullptr, {"IDL:a:1.0"}),
           iface({}, nullptr, {"IDL:b:1.0"}), kNo);
    expect("members in another order", iface(ab), iface({attr("b"), attr("a")}), kNo);
    expect("attribute types", iface(ab), iface({attr("a"), attr("b", KIV_TYPE_SHORT)}), kNo);
    expect("a member more", iface(ab), iface({attr("a"), attr("b"), attr("c")}), kNo);
    expect("member flags", iface({op(kIn, 2, 1)}), iface({op(kIn, 2, 0xFFFFFFFFu)}), 0);
    expect("parameter direction", iface({op(kIn)}), iface({op(kOut)}), kNo);
    expect("parameter name", iface({op(kIn)}), iface({op(kRenamed)}), kNo);
    expect("parameter count", iface({op(kIn, 2)}), iface({op(kIn, 1)}), kNo);
    expect("result type", iface({op(kIn)}), iface({op(kIn, 2, 0, kLong)}), kNo);
    expect("structure members in another order", structure({a, b}), structure({b, a}), kNo);
    expect("structure member type", structure({a}), structure({{"a", {KIV_TYPE_FLOAT, nullptr}}}),
           kNo);
    expect("structure contents in another order",
           structure({a}, {"IDL:b:1.0", "IDL:c:1.0", "IDL:a:1.0"}),
           structure({a}, {"IDL:c:1.0", "IDL:a:1.0", "IDL:b:1.0"}), 0);
    expect("structure contents", structure({a}, {"IDL:a:1.0"}), structure({a}), kNo);
    expect("union cases in another order", unionOf({arm("b", 2), arm("c", 0), arm("a", 1)}),
           unionOf({arm("c", 0), arm("a", 1), arm("b", 2)}), 0);
    expect("two default labels", unionOf({arm("a", 0), arm("b", 0)}),
           unionOf({arm("b", 0), arm("a", 0)}), 0);
    expect("a label", unionOf({arm("a", 1)}), unionOf({arm("a", 2)}), kNo);
    expect("default, label", unionOf({arm("a", 1)}), unionOf({arm("a", 0)}), kNo);
    expect("a case type", unionOf({arm("a", 1)}), unionOf({arm("a", 1, KIV_TYPE_SHORT)}), kNo);
    expect("a case name", unionOf({arm("a", 1), arm("b", 2)}), unionOf({arm("a", 1), arm("c", 2)}),
           kNo);
    expect("discriminators", unionOf({arm("a", 0)}), unionOf({arm("a", 0)}, {}, KIV_TYPE_SHORT),
           kNo);
    expect("union contents", unionOf({arm("a", 0)}, {"IDL:a:1.0"}),
           unionOf({arm("a", 0)}, {"IDL:b:1.0"}), kNo);
}

TEST_F(TLibCompat, ConstantValues) {
    // clang-format off
    const struct { const char *what; kivTLibValue a, b; kivResult expected; } cases[] = {
        {"float zeros", val(12, 0), val(12, 0x80000000), 0},
        {"float NaN, same bits", val(12, 0x7FC00000), val(12, 0x7FC00000), kNo},
        {"floats 1.5, 2.5", val(12, 0x3FC00000), val(12, 0x40200000), kNo},
        {"double zeros", val(13, 0), val(13, 1ull << 63), 0},
        {"decimal32 1.0, 1.00", val(24, (100u << 23) | 10), val(24, (99u << 23) | 100), 0},
        {"decimal32 1.0, 2.0", val(24, (100u << 23) | 10), val(24, (100u << 23) | 20), kNo},
        {"decimal64 1.0, 1.00", val(25, (397ull << 53) | 10), val(25, (396ull << 53) | 100), 0},
        {"decimal64 NaN", val(25, 0x7C00000000000000), val(25, 0x7C00000000000000), kNo},
        {"decimal128 1.0, 1.00", val(26, 10, 6175ull << 49), val(26, 100, 6174ull << 49), 0},
        {"decimal128 1, 10", val(26, 1, 6176ull << 49), val(26, 1, 6177ull << 49), kNo},
        {"strings", val(16, 0, 0, "a"), val(16, 0, 0, "ab"), kNo},
        {"booleans", val(2, 1), val(2, 0), kNo},
        {"shorts", val(6, 1), val(6, 0x8001), kNo},
        {"long longs", val(10, 1), val(10, (1ull << 32) | 1), kNo}};
    // clang-format on
    for (const auto &c : cases) expect(c.what, constant(c.a), constant(c.b), c.expected);
    expect("enumerations", constant(val(KIV_TYPE_ENUM, 3), "IDL:E:1.0"),
           constant(val(KIV_TYPE_ENUM, 3), "IDL:F:1.0"), kNo);
}

TEST_F(TLibCompat, ReferencesAreResolvedEachInItsOwnLibrary) {
    const uint32_t s = KIV_TYPE_STRING, seq = KIV_TYPE_SEQUENCE, arr = KIV_TYPE_ARRAY;
    expect("unbounded, bounded", alias(s), alias(s, "LOCAL:17"), kNo);
    expect("one bound, two ids", alias(s, "LOCAL:1"), alias(s, "LOCAL:17"), 0);
    expect("one id, two bounds", alias(s, "LOCAL:1"), alias(s, "LOCAL:1"), kNo);
    expect("wide strings", alias(KIV_TYPE_WSTRING, "LOCAL:2"), alias(KIV_TYPE_WSTRING, "LOCAL:12"),
           0);
    expect("sequences: the bound counts", alias(seq, "LOCAL:3"), alias(seq, "LOCAL:13"), 0);
    expect("arrays: the length counts", alias(arr, "LOCAL:4"), alias(arr, "LOCAL:14"), 0);
    expect("array lengths", alias(arr, "LOCAL:4"), alias(arr, "LOCAL:15"), kNo);
    expect("sequence naming an array", alias(seq, "LOCAL:4"), alias(seq, "LOCAL:13"),
           KIV_E_BAD_KIND);
    expect("second of another kind", alias(s, "LOCAL:1"), alias(s, "LOCAL:13"), KIV_E_BAD_KIND);
    expect("first lookup fails", alias(arr, "LOCAL:99"), alias(arr, "LOCAL:4"),
           KIV_E_UNKNOWN_REPOID);
    expect("second lookup fails", alias(arr, "LOCAL:4"), alias(arr, "LOCAL:4"),
           KIV_E_UNKNOWN_REPOID);
    expect("lookups before kinds", structure({{"a", {seq, "LOCAL:4"}}, {"b", {kLong, nullptr}}}),
           structure({{"a", {seq, "LOCAL:99"}}, {"b", {KIV_TYPE_SHORT, nullptr}}}),
           KIV_E_UNKNOWN_REPOID);
}

}  // namespace
