// kivTLibCheckCompatDef: every kind's rule, sets against positions, values, and references
// resolved across two library files.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "test_support.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;

namespace {

constexpr const char *kId = "IDL:M/X:1.0";
constexpr const char *kM = "IDL:M:1.0";
using Ids = std::vector<const char *>;

DefinitionPtr own(auto *record) {
    return DefinitionPtr(&record->header);
}
template <class Def>
DefinitionPtr with(Def *def, Ids contents) {
    for (const char *id : contents) appendContent(&def->header, id);
    return own(def);
}
kivTLibTypeRef ty(uint32_t tag, const char *id = nullptr) {
    return {tag, id};
}
kivTLibValue val(uint32_t tag, uint64_t bits) {  // the payload's low bits (little-endian host)
    kivTLibValue v{tag, {}};
    v.u64 = bits;
    return v;
}
kivTLibValue str(uint32_t tag, const char *s) {
    kivTLibValue v{tag, {}};
    v.str = s;
    return v;
}
kivTLibValue dec128(uint64_t coefficient, int exponent) {
    kivTLibValue v{KIV_TYPE_DECIMAL128, {}};
    v.d128[0] = coefficient;
    v.d128[1] = uint64_t(exponent + 6176) << 49;
    return v;
}
DefinitionPtr alias(kivTLibTypeRef t, const char *id = kId, const char *name = "X",
                    const char *scope = kM, uint32_t flags = 0) {
    return own(buildAlias(name, id, scope, flags, t));
}
DefinitionPtr module(const char *name, const char *scope, Ids contents = {}) {
    return with(buildModule(name, kId, scope, 0), contents);
}
DefinitionPtr constant(kivTLibValue v, const char *typeId = nullptr) {
    return own(buildConstant("X", kId, kM, 0, ty(v.tag, typeId), v));
}
DefinitionPtr structure(std::vector<kivTLibStructMember> m, Ids contents = {}) {
    return with(buildStruct("X", kId, kM, 0, uint32_t(m.size()), m.data()), contents);
}
DefinitionPtr unionOf(std::vector<kivTLibUnionCase> c, Ids contents = {},
                      uint32_t discriminator = KIV_TYPE_LONG) {
    return with(buildUnion("X", kId, kM, 0, ty(discriminator), uint32_t(c.size()), c.data()),
                contents);
}
DefinitionPtr enumOf(std::vector<kivTLibEnumMember> m) {
    return own(buildEnum("X", kId, kM, 0, uint32_t(m.size()), m.data()));
}
DefinitionPtr iface(std::vector<kivTLibMember> m, const char *base = nullptr, Ids contents = {},
                    uint32_t flags = 0, const char *name = "X") {
    return with(buildInterface(name, kId, kM, flags, base, uint32_t(m.size()), m.data()), contents);
}
DefinitionPtr fwd(const char *name = "X") {
    return iface({}, nullptr, {}, KIV_DEF_FORWARD, name);
}
kivTLibUnionCase arm(const char *name, kivTLibValue label, uint32_t tag = KIV_TYPE_LONG) {
    return {name, ty(tag), label};
}
kivTLibMember attr(const char *name, uint32_t tag = KIV_TYPE_LONG) {
    return {KIV_MEMBER_ATTRIBUTE, name, 0, ty(tag), 0, nullptr};
}
const kivTLibParam kIn[] = {{"a", ty(KIV_TYPE_LONG), 1}, {"b", ty(KIV_TYPE_LONG), 1}};
const kivTLibParam kOut[] = {{"a", ty(KIV_TYPE_LONG), 1}, {"b", ty(KIV_TYPE_LONG), 2}};
const kivTLibParam kRenamed[] = {{"a", ty(KIV_TYPE_LONG), 1}, {"c", ty(KIV_TYPE_LONG), 1}};
kivTLibMember op(const kivTLibParam *params, uint32_t count = 2, uint32_t flags = 0,
                 uint32_t result = KIV_TYPE_VOID) {
    return {KIV_MEMBER_OPERATION, "op", flags, ty(result), count, params};
}

// Two libraries whose anonymous types have different ids, and one id (LOCAL:1) naming other
// bounds in each: references must be resolved each in its own library.
class TLibCompat : public ::testing::Test {
  protected:
    void SetUp() override {
        kivTLibTypeRef l = ty(KIV_TYPE_LONG), d = ty(KIV_TYPE_DOUBLE);
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
    const auto l = ty(KIV_TYPE_LONG), s = ty(KIV_TYPE_STRUCT, "IDL:S:1.0");
    constexpr kivResult no = KIV_E_INCOMPATIBLE;
    expect("ids differ", alias(l), alias(l, "IDL:M/Y:1.0"), KIV_E_INVALID_ARG);
    expect("kinds differ", alias(l), constant(val(KIV_TYPE_LONG, 1)), no);
    expect("module contents", module("M", kM, {"IDL:A:1.0"}), module("M", kM), 0);
    expect("module names", module("M", kM), module("N", kM), no);
    expect("module scopes", module("M", nullptr), module("M", kM), no);
    expect("modules without scope", module("", nullptr), module("", nullptr), 0);
    expect("alias names", alias(l), alias(l, kId, "Y"), no);
    expect("alias scopes", alias(l), alias(l, kId, "X", "IDL:N:1.0"), no);
    expect("caller flags", alias(l), alias(l, kId, "X", kM, 0xFFFF0001u), 0);
    expect("same structure id", alias(s), alias(s), 0);
    expect("structure ids", alias(s), alias(ty(KIV_TYPE_STRUCT, "IDL:T:1.0")), no);
    expect("interfaces are not looked up", alias(ty(KIV_TYPE_INTERFACE, "IDL:Gone:1.0")),
           alias(ty(KIV_TYPE_INTERFACE, "IDL:Gone:1.0")), 0);
    expect("long, unsigned long", alias(l), alias(ty(KIV_TYPE_ULONG)), no);
    expect("enumerators in another order", enumOf({{"A", 1}, {"B", 2}, {"C", 3}}),
           enumOf({{"C", 3}, {"A", 1}, {"B", 2}}), 0);
    expect("an enumerator's value", enumOf({{"A", 1}, {"B", 2}}), enumOf({{"B", 2}, {"A", 7}}), no);
    expect("an enumerator's name", enumOf({{"A", 1}, {"B", 2}}), enumOf({{"A", 1}, {"C", 2}}), no);
    expect("an enumerator more", enumOf({{"A", 1}}), enumOf({{"A", 1}, {"B", 2}}), no);
    expect("string bounds", own(buildString(KIV_DEF_STRING, kId, 0, 5)),
           own(buildString(KIV_DEF_STRING, kId, 0, 6)), no);
    expect("wide string bounds", own(buildString(KIV_DEF_WSTRING, kId, 0, 5)),
           own(buildString(KIV_DEF_WSTRING, kId, 0, 5)), 0);
    expect("sequence elements", own(buildSequence(kId, 0, 4, s)),
           own(buildSequence(kId, 0, 4, ty(KIV_TYPE_STRUCT, "IDL:T:1.0"))), no);
    expect("sequence bounds", own(buildSequence(kId, 0, 4, l)), own(buildSequence(kId, 0, 5, l)),
           no);
    expect("array lengths", own(buildArray(kId, 0, 4, l)), own(buildArray(kId, 0, 5, l)), no);
    expect("equal arrays", own(buildArray(kId, 0, 4, l)), own(buildArray(kId, 0, 4, l)), 0);
}

TEST_F(TLibCompat, InterfacesStructuresAndUnions) {
    const kivTLibValue one1 = val(KIV_TYPE_LONG, 1), two2 = val(KIV_TYPE_LONG, 2), none{};
    const std::vector<kivTLibMember> ab{attr("a"), attr("b")};
    const kivTLibStructMember a{"a", ty(KIV_TYPE_LONG)}, b{"b", ty(KIV_TYPE_LONG)};
    constexpr kivResult no = KIV_E_INCOMPATIBLE;
    expect("forward, anything", fwd(), iface({attr("z")}, "IDL:B:1.0", {"IDL:In:1.0"}), 0);
    expect("anything, forward", iface(ab), fwd(), 0);
    expect("forward, other name", fwd(), fwd("Y"), no);
    expect("base on one side", iface(ab), iface(ab, "IDL:B:1.0"), no);
    expect("bases", iface({}, "IDL:A:1.0"), iface({}, "IDL:B:1.0"), no);
    expect("nested definitions in another order",
           iface({}, nullptr, {"IDL:a:1.0", "IDL:b:1.0", "IDL:\xC3:1.0"}),
           iface({}, nullptr, {"IDL:\xC3:1.0", "IDL:b:1.0", "IDL:a:1.0"}), 0);
    expect("nested definitions", iface({}, nullptr, {"IDL:a:1.0"}),
           iface({}, nullptr, {"IDL:b:1.0"}), no);
    expect("members in another order", iface(ab), iface({attr("b"), attr("a")}), no);
    expect("attribute types", iface(ab), iface({attr("a"), attr("b", KIV_TYPE_SHORT)}), no);
    expect("a member more", iface(ab), iface({attr("a"), attr("b"), attr("c")}), no);
    expect("attribute, operation", iface({attr("op")}), iface({op(nullptr, 0)}), no);
    expect("member flags", iface({op(kIn, 2, 1)}), iface({op(kIn, 2, 0xFFFFFFFFu)}), 0);
    expect("parameter direction", iface({op(kIn)}), iface({op(kOut)}), no);
    expect("parameter name", iface({op(kIn)}), iface({op(kRenamed)}), no);
    expect("parameter count", iface({op(kIn, 2)}), iface({op(kIn, 1)}), no);
    expect("result type", iface({op(kIn)}), iface({op(kIn, 2, 0, KIV_TYPE_LONG)}), no);
    expect("structure members in another order", structure({a, b}), structure({b, a}), no);
    expect("structure member type", structure({a}), structure({{"a", ty(KIV_TYPE_FLOAT)}}), no);
    expect("structure contents in another order", structure({a}, {"IDL:a:1.0", "IDL:b:1.0"}),
           structure({a}, {"IDL:b:1.0", "IDL:a:1.0"}), 0);
    expect("structure contents", structure({a}, {"IDL:a:1.0"}), structure({a}), no);
    expect("union cases in another order",
           unionOf({arm("a", one1), arm("b", two2), arm("c", none)}),
           unionOf({arm("c", none), arm("b", two2), arm("a", one1)}), 0);
    expect("two default labels", unionOf({arm("a", none), arm("b", none)}),
           unionOf({arm("b", none), arm("a", none)}), 0);
    expect("a label", unionOf({arm("a", one1)}), unionOf({arm("a", two2)}), no);
    expect("default, label", unionOf({arm("a", one1)}), unionOf({arm("a", none)}), no);
    expect("a case type", unionOf({arm("a", one1)}), unionOf({arm("a", one1, KIV_TYPE_SHORT)}), no);
    expect("a case name", unionOf({arm("a", one1), arm("b", two2)}),
           unionOf({arm("a", one1), arm("c", two2)}), no);
    expect("discriminators", unionOf({arm("a", none)}),
           unionOf({arm("a", none)}, {}, KIV_TYPE_SHORT), no);
    expect("union contents", unionOf({arm("a", none)}, {"IDL:a:1.0"}),
           unionOf({arm("a", none)}, {"IDL:b:1.0"}), no);
}

TEST_F(TLibCompat, ConstantValues) {
    const struct {
        const char *what;
        kivTLibValue a, b;
        kivResult expected;
    } cases[] = {
        {"float zeros", val(12, std::bit_cast<uint32_t>(0.0f)),
         val(12, std::bit_cast<uint32_t>(-0.0f)), 0},
        {"float NaN, same bits", val(12, 0x7FC00000), val(12, 0x7FC00000), KIV_E_INCOMPATIBLE},
        {"floats", val(12, std::bit_cast<uint32_t>(1.5f)), val(12, std::bit_cast<uint32_t>(2.5f)),
         KIV_E_INCOMPATIBLE},
        {"double zeros", val(13, 0), val(13, 1ull << 63), 0},
        {"double NaN", val(13, 0x7FF8000000000000), val(13, 0x7FF8000000000000),
         KIV_E_INCOMPATIBLE},
        {"decimal32 1.0, 1.00", val(24, (100u << 23) | 10), val(24, (99u << 23) | 100), 0},
        {"decimal32 1.0, 2.0", val(24, (100u << 23) | 10), val(24, (100u << 23) | 20),
         KIV_E_INCOMPATIBLE},
        {"decimal64 1.0, 1.00", val(25, (397ull << 53) | 10), val(25, (396ull << 53) | 100), 0},
        {"decimal64 NaN", val(25, 0x7C00000000000000), val(25, 0x7C00000000000000),
         KIV_E_INCOMPATIBLE},
        {"decimal128 1.0, 1.00", dec128(10, -1), dec128(100, -2), 0},
        {"decimal128 1, 10", dec128(1, 0), dec128(1, 1), KIV_E_INCOMPATIBLE},
        {"strings", str(15, "a"), str(15, "a"), 0},
        {"wide strings", str(16, "a"), str(16, "ab"), KIV_E_INCOMPATIBLE},
        {"booleans", val(2, 1), val(2, 0), KIV_E_INCOMPATIBLE},
        {"wide characters", val(5, 0x20AC), val(5, 0x20AC), 0},
        {"shorts", val(6, 1), val(6, 0x8001), KIV_E_INCOMPATIBLE},
        {"long longs", val(10, 1), val(10, (1ull << 32) | 1), KIV_E_INCOMPATIBLE},
        {"long, unsigned long", val(8, 1), val(9, 1), KIV_E_INCOMPATIBLE},
    };
    for (const auto &c : cases) expect(c.what, constant(c.a), constant(c.b), c.expected);
    expect("enumerators", constant(val(KIV_TYPE_ENUM, 3), "IDL:E:1.0"),
           constant(val(KIV_TYPE_ENUM, 3), "IDL:E:1.0"), 0);
    expect("enumerations", constant(val(KIV_TYPE_ENUM, 3), "IDL:E:1.0"),
           constant(val(KIV_TYPE_ENUM, 3), "IDL:F:1.0"), KIV_E_INCOMPATIBLE);
}

TEST_F(TLibCompat, ReferencesAreResolvedEachInItsOwnLibrary) {
    auto ref = [](uint32_t tag, const char *id) { return alias(ty(tag, id)); };
    const uint32_t s = KIV_TYPE_STRING, seq = KIV_TYPE_SEQUENCE, arr = KIV_TYPE_ARRAY;
    expect("unbounded strings", ref(s, nullptr), ref(s, nullptr), 0);
    expect("unbounded, bounded", ref(s, nullptr), ref(s, "LOCAL:17"), KIV_E_INCOMPATIBLE);
    expect("bounded, unbounded", ref(s, "LOCAL:1"), ref(s, nullptr), KIV_E_INCOMPATIBLE);
    expect("one bound, two ids", ref(s, "LOCAL:1"), ref(s, "LOCAL:17"), 0);
    expect("one id, two bounds", ref(s, "LOCAL:1"), ref(s, "LOCAL:1"), KIV_E_INCOMPATIBLE);
    expect("wide strings", ref(KIV_TYPE_WSTRING, "LOCAL:2"), ref(KIV_TYPE_WSTRING, "LOCAL:12"), 0);
    expect("sequences: the bound counts", ref(seq, "LOCAL:3"), ref(seq, "LOCAL:13"), 0);
    expect("arrays: the length counts", ref(arr, "LOCAL:4"), ref(arr, "LOCAL:14"), 0);
    expect("array lengths", ref(arr, "LOCAL:4"), ref(arr, "LOCAL:15"), KIV_E_INCOMPATIBLE);
    expect("sequence naming an array", ref(seq, "LOCAL:4"), ref(seq, "LOCAL:13"), KIV_E_BAD_KIND);
    expect("second of another kind", ref(s, "LOCAL:1"), ref(s, "LOCAL:13"), KIV_E_BAD_KIND);
    expect("first lookup fails", ref(arr, "LOCAL:99"), ref(arr, "LOCAL:4"), KIV_E_UNKNOWN_REPOID);
    expect("second lookup fails", ref(arr, "LOCAL:4"), ref(arr, "LOCAL:4"), KIV_E_UNKNOWN_REPOID);
    expect("lookups before kinds", structure({{"a", ty(seq, "LOCAL:4")}, {"b", ty(KIV_TYPE_LONG)}}),
           structure({{"a", ty(seq, "LOCAL:99")}, {"b", ty(KIV_TYPE_SHORT)}}),
           KIV_E_UNKNOWN_REPOID);
}

}  // namespace
