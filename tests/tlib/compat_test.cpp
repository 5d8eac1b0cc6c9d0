// kivTLibCheckCompatDef: every kind's rule, sets against positions, values, and references
// resolved across two library files.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "test_support.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using tlibtest::Handle;

namespace {

constexpr const char *kId = "IDL:M/X:1.0";
constexpr const char *kScope = "IDL:M:1.0";

template <class Record>
DefinitionPtr own(Record *record) {
    return DefinitionPtr(&record->header);
}

kivTLibTypeRef type(uint32_t tag, const char *id = nullptr) {
    return {tag, id};
}

// A value of any numeric tag from its bits.
kivTLibValue val(uint32_t tag, uint64_t bits) {
    kivTLibValue v{tag, {}};
    switch (payloadOf(tag)) {
        case Payload::U8:
            v.u8 = static_cast<uint8_t>(bits);
            break;
        case Payload::U16:
        case Payload::WChar:
            v.u16 = static_cast<uint16_t>(bits);
            break;
        case Payload::U32:
        case Payload::Varint:
            v.u32 = static_cast<uint32_t>(bits);
            break;
        default:
            v.u64 = bits;
    }
    return v;
}
kivTLibValue f32(float f) {
    return val(KIV_TYPE_FLOAT, std::bit_cast<uint32_t>(f));
}
kivTLibValue f64(double f) {
    return val(KIV_TYPE_DOUBLE, std::bit_cast<uint64_t>(f));
}
kivTLibValue text(uint32_t tag, const char *s) {
    kivTLibValue v{tag, {}};
    v.str = s;
    return v;
}
// Decimals in the binary integer encoding, from coefficient and exponent.
kivTLibValue dec32(uint32_t c, int e) {
    return val(KIV_TYPE_DECIMAL32, (uint64_t(e + 101) << 23) | c);
}
kivTLibValue dec64(uint64_t c, int e) {
    return val(KIV_TYPE_DECIMAL64, (uint64_t(e + 398) << 53) | c);
}
kivTLibValue dec128(uint64_t c, int e) {
    kivTLibValue v{KIV_TYPE_DECIMAL128, {}};
    v.d128[0] = c;
    v.d128[1] = uint64_t(e + 6176) << 49;
    return v;
}

DefinitionPtr alias(kivTLibTypeRef t, const char *id = kId, const char *name = "X") {
    return own(buildAlias(name, id, kScope, 0, t));
}
DefinitionPtr module(const char *name, const char *scope, const char *content = nullptr) {
    auto m = own(buildModule(name, kId, scope, 0));
    if (content) appendContent(m.get(), content);
    return m;
}
DefinitionPtr constant(kivTLibValue v, const char *typeId = nullptr) {
    return own(buildConstant("X", kId, kScope, 0, type(v.tag, typeId), v));
}
template <class Def>
DefinitionPtr withContents(Def *def, std::vector<const char *> contents) {
    for (const char *id : contents) appendContent(&def->header, id);
    return own(def);
}
DefinitionPtr structOf(std::vector<kivTLibStructMember> m, std::vector<const char *> in = {}) {
    return withContents(buildStruct("X", kId, kScope, 0, uint32_t(m.size()), m.data()), in);
}
DefinitionPtr unionOf(std::vector<kivTLibUnionCase> c, std::vector<const char *> in = {},
                      kivTLibTypeRef discriminator = type(KIV_TYPE_LONG)) {
    return withContents(
        buildUnion("X", kId, kScope, 0, discriminator, uint32_t(c.size()), c.data()), in);
}
DefinitionPtr enumOf(std::vector<kivTLibEnumMember> m) {
    return own(buildEnum("X", kId, kScope, 0, uint32_t(m.size()), m.data()));
}
DefinitionPtr interface(std::vector<kivTLibMember> m, const char *base = nullptr,
                        std::vector<const char *> in = {}, uint32_t flags = 0,
                        const char *name = "X") {
    return withContents(
        buildInterface(name, kId, kScope, flags, base, uint32_t(m.size()), m.data()), in);
}

kivTLibUnionCase unionCase(const char *name, kivTLibValue label, uint32_t tag = KIV_TYPE_LONG) {
    return {name, type(tag), label};
}
kivTLibMember attribute(const char *name, uint32_t tag = KIV_TYPE_LONG) {
    return {KIV_MEMBER_ATTRIBUTE, name, 0, type(tag), 0, nullptr};
}
const kivTLibParam kIn[] = {{"a", type(KIV_TYPE_LONG), KIV_PARAM_IN},
                            {"b", type(KIV_TYPE_LONG), KIV_PARAM_IN}};
const kivTLibParam kOut[] = {{"a", type(KIV_TYPE_LONG), KIV_PARAM_IN},
                             {"b", type(KIV_TYPE_LONG), KIV_PARAM_OUT}};
const kivTLibParam kRenamed[] = {{"a", type(KIV_TYPE_LONG), KIV_PARAM_IN},
                                 {"c", type(KIV_TYPE_LONG), KIV_PARAM_IN}};
kivTLibMember operation(const kivTLibParam *params, uint32_t count = 2, uint32_t flags = 0,
                        uint32_t result = KIV_TYPE_VOID) {
    return {KIV_MEMBER_OPERATION, "op", flags, type(result), count, params};
}

// Two libraries whose anonymous types have different ids, and one id (LOCAL:1) naming other
// bounds in each: references must be resolved each in its own library.
class TLibCompat : public ::testing::Test {
  protected:
    void SetUp() override {
        kivTLibTypeRef l = type(KIV_TYPE_LONG), d = type(KIV_TYPE_DOUBLE);
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
    Handle one = tlibtest::create(dir.file("one.tlb"));
    Handle two = tlibtest::create(dir.file("two.tlb"));
};

TEST_F(TLibCompat, HeadersModulesAndNamedTypes) {
    const auto l = type(KIV_TYPE_LONG);
    expect("ids differ", alias(l), alias(l, "IDL:M/Y:1.0"), KIV_E_INVALID_ARG);
    expect("kinds differ", alias(l), constant(val(KIV_TYPE_LONG, 1)), KIV_E_INCOMPATIBLE);
    expect("modules with other contents", module("M", kScope, "IDL:A:1.0"), module("M", kScope), 0);
    expect("module names", module("M", kScope), module("N", kScope), KIV_E_INCOMPATIBLE);
    expect("module scopes", module("M", nullptr), module("M", kScope), KIV_E_INCOMPATIBLE);
    expect("modules without scope", module("", nullptr), module("", nullptr), 0);
    expect("alias names", alias(l), alias(l, kId, "Y"), KIV_E_INCOMPATIBLE);
    expect("alias scopes", alias(l), own(buildAlias("X", kId, "IDL:N:1.0", 0, l)),
           KIV_E_INCOMPATIBLE);
    expect("caller flags", alias(l), own(buildAlias("X", kId, kScope, 0xFFFF0001u, l)), 0);
    expect("same structure id", alias(type(KIV_TYPE_STRUCT, "IDL:S:1.0")),
           alias(type(KIV_TYPE_STRUCT, "IDL:S:1.0")), 0);
    expect("structure ids", alias(type(KIV_TYPE_STRUCT, "IDL:S:1.0")),
           alias(type(KIV_TYPE_STRUCT, "IDL:T:1.0")), KIV_E_INCOMPATIBLE);
    expect("interfaces are not looked up", alias(type(KIV_TYPE_INTERFACE, "IDL:Gone:1.0")),
           alias(type(KIV_TYPE_INTERFACE, "IDL:Gone:1.0")), 0);
    expect("long, unsigned long", alias(l), alias(type(KIV_TYPE_ULONG)), KIV_E_INCOMPATIBLE);
    expect("enumerators in another order", enumOf({{"A", 1}, {"B", 2}, {"C", 3}}),
           enumOf({{"C", 3}, {"A", 1}, {"B", 2}}), 0);
    expect("an enumerator's value", enumOf({{"A", 1}, {"B", 2}}), enumOf({{"B", 2}, {"A", 7}}),
           KIV_E_INCOMPATIBLE);
    expect("an enumerator's name", enumOf({{"A", 1}, {"B", 2}}), enumOf({{"A", 1}, {"C", 2}}),
           KIV_E_INCOMPATIBLE);
    expect("an enumerator more", enumOf({{"A", 1}}), enumOf({{"A", 1}, {"B", 2}}),
           KIV_E_INCOMPATIBLE);
    expect("string bounds", own(buildString(KIV_DEF_STRING, kId, 0, 5)),
           own(buildString(KIV_DEF_STRING, kId, 0, 6)), KIV_E_INCOMPATIBLE);
    expect("wide string bounds", own(buildString(KIV_DEF_WSTRING, kId, 0, 5)),
           own(buildString(KIV_DEF_WSTRING, kId, 0, 5)), 0);
    expect("sequence elements", own(buildSequence(kId, 0, 4, type(KIV_TYPE_STRUCT, "IDL:S:1.0"))),
           own(buildSequence(kId, 0, 4, type(KIV_TYPE_STRUCT, "IDL:T:1.0"))), KIV_E_INCOMPATIBLE);
    expect("sequence bounds", own(buildSequence(kId, 0, 4, l)), own(buildSequence(kId, 0, 5, l)),
           KIV_E_INCOMPATIBLE);
    expect("array lengths", own(buildArray(kId, 0, 4, l)), own(buildArray(kId, 0, 5, l)),
           KIV_E_INCOMPATIBLE);
    expect("equal arrays", own(buildArray(kId, 0, 4, l)), own(buildArray(kId, 0, 4, l)), 0);
}

TEST_F(TLibCompat, InterfacesStructuresAndUnions) {
    const kivTLibValue one1 = val(KIV_TYPE_LONG, 1), two2 = val(KIV_TYPE_LONG, 2), none{};
    const std::vector<kivTLibMember> ab{attribute("a"), attribute("b")};
    expect("forward, anything", interface({}, nullptr, {}, KIV_DEF_FORWARD),
           interface({attribute("z")}, "IDL:B:1.0", {"IDL:In:1.0"}), 0);
    expect("anything, forward", interface(ab), interface({}, nullptr, {}, KIV_DEF_FORWARD), 0);
    expect("forward, other name", interface({}, nullptr, {}, KIV_DEF_FORWARD),
           interface({}, nullptr, {}, KIV_DEF_FORWARD, "Y"), KIV_E_INCOMPATIBLE);
    expect("base on one side", interface(ab), interface(ab, "IDL:B:1.0"), KIV_E_INCOMPATIBLE);
    expect("bases", interface({}, "IDL:A:1.0"), interface({}, "IDL:B:1.0"), KIV_E_INCOMPATIBLE);
    expect("nested definitions in another order",
           interface({}, nullptr, {"IDL:a:1.0", "IDL:b:1.0", "IDL:\xC3:1.0"}),
           interface({}, nullptr, {"IDL:\xC3:1.0", "IDL:b:1.0", "IDL:a:1.0"}), 0);
    expect("nested definitions", interface({}, nullptr, {"IDL:a:1.0"}),
           interface({}, nullptr, {"IDL:b:1.0"}), KIV_E_INCOMPATIBLE);
    expect("members in another order", interface(ab), interface({attribute("b"), attribute("a")}),
           KIV_E_INCOMPATIBLE);
    expect("attribute types", interface(ab),
           interface({attribute("a"), attribute("b", KIV_TYPE_SHORT)}), KIV_E_INCOMPATIBLE);
    expect("a member more", interface(ab),
           interface({attribute("a"), attribute("b"), attribute("c")}), KIV_E_INCOMPATIBLE);
    expect("attribute, operation", interface({attribute("op")}), interface({operation(nullptr, 0)}),
           KIV_E_INCOMPATIBLE);
    expect("member flags", interface({operation(kIn, 2, 1)}),
           interface({operation(kIn, 2, 0xFFFFFFFFu)}), 0);
    expect("parameter direction", interface({operation(kIn)}), interface({operation(kOut)}),
           KIV_E_INCOMPATIBLE);
    expect("parameter name", interface({operation(kIn)}), interface({operation(kRenamed)}),
           KIV_E_INCOMPATIBLE);
    expect("parameter count", interface({operation(kIn, 2)}), interface({operation(kIn, 1)}),
           KIV_E_INCOMPATIBLE);
    expect("result type", interface({operation(kIn)}),
           interface({operation(kIn, 2, 0, KIV_TYPE_LONG)}), KIV_E_INCOMPATIBLE);
    expect("structure members in another order",
           structOf({{"a", type(KIV_TYPE_LONG)}, {"b", type(KIV_TYPE_LONG)}}),
           structOf({{"b", type(KIV_TYPE_LONG)}, {"a", type(KIV_TYPE_LONG)}}), KIV_E_INCOMPATIBLE);
    expect("structure member type", structOf({{"a", type(KIV_TYPE_LONG)}}),
           structOf({{"a", type(KIV_TYPE_FLOAT)}}), KIV_E_INCOMPATIBLE);
    expect("structure contents in another order",
           structOf({{"a", type(KIV_TYPE_LONG)}}, {"IDL:a:1.0", "IDL:b:1.0"}),
           structOf({{"a", type(KIV_TYPE_LONG)}}, {"IDL:b:1.0", "IDL:a:1.0"}), 0);
    expect("structure contents", structOf({{"a", type(KIV_TYPE_LONG)}}, {"IDL:a:1.0"}),
           structOf({{"a", type(KIV_TYPE_LONG)}}), KIV_E_INCOMPATIBLE);
    expect("union cases in another order",
           unionOf({unionCase("a", one1), unionCase("b", two2), unionCase("c", none)}),
           unionOf({unionCase("c", none), unionCase("b", two2), unionCase("a", one1)}), 0);
    expect("two default labels", unionOf({unionCase("a", none), unionCase("b", none)}),
           unionOf({unionCase("b", none), unionCase("a", none)}), 0);
    expect("a label", unionOf({unionCase("a", one1)}), unionOf({unionCase("a", two2)}),
           KIV_E_INCOMPATIBLE);
    expect("default, label", unionOf({unionCase("a", one1)}), unionOf({unionCase("a", none)}),
           KIV_E_INCOMPATIBLE);
    expect("a case type", unionOf({unionCase("a", one1)}),
           unionOf({unionCase("a", one1, KIV_TYPE_SHORT)}), KIV_E_INCOMPATIBLE);
    expect("a case name", unionOf({unionCase("a", one1), unionCase("b", two2)}),
           unionOf({unionCase("a", one1), unionCase("c", two2)}), KIV_E_INCOMPATIBLE);
    expect("discriminators", unionOf({unionCase("a", none)}),
           unionOf({unionCase("a", none)}, {}, type(KIV_TYPE_SHORT)), KIV_E_INCOMPATIBLE);
    expect("union contents", unionOf({unionCase("a", none)}, {"IDL:a:1.0"}),
           unionOf({unionCase("a", none)}, {"IDL:b:1.0"}), KIV_E_INCOMPATIBLE);
}

TEST_F(TLibCompat, ConstantValues) {
    const float nanF = NAN;
    const double nanD = NAN;
    expect("float zeros", constant(f32(0.0f)), constant(f32(-0.0f)), 0);
    expect("float NaN, same bits", constant(f32(nanF)), constant(f32(nanF)), KIV_E_INCOMPATIBLE);
    expect("floats", constant(f32(1.5f)), constant(f32(2.5f)), KIV_E_INCOMPATIBLE);
    expect("double zeros", constant(f64(0.0)), constant(f64(-0.0)), 0);
    expect("double NaN", constant(f64(nanD)), constant(f64(nanD)), KIV_E_INCOMPATIBLE);
    expect("double infinities", constant(f64(INFINITY)), constant(f64(INFINITY)), 0);
    expect("decimal32 1.0, 1.00", constant(dec32(10, -1)), constant(dec32(100, -2)), 0);
    expect("decimal32 1.0, 2.0", constant(dec32(10, -1)), constant(dec32(20, -1)),
           KIV_E_INCOMPATIBLE);
    expect("decimal64 1.0, 1.00", constant(dec64(10, -1)), constant(dec64(100, -2)), 0);
    expect("decimal64 NaN", constant(val(KIV_TYPE_DECIMAL64, 0x7C00000000000000ull)),
           constant(val(KIV_TYPE_DECIMAL64, 0x7C00000000000000ull)), KIV_E_INCOMPATIBLE);
    expect("decimal128 1.0, 1.00", constant(dec128(10, -1)), constant(dec128(100, -2)), 0);
    expect("decimal128 1, 10", constant(dec128(1, 0)), constant(dec128(1, 1)), KIV_E_INCOMPATIBLE);
    expect("strings", constant(text(KIV_TYPE_STRING, "a")), constant(text(KIV_TYPE_STRING, "a")),
           0);
    expect("wide strings", constant(text(KIV_TYPE_WSTRING, "a")),
           constant(text(KIV_TYPE_WSTRING, "ab")), KIV_E_INCOMPATIBLE);
    expect("booleans", constant(val(KIV_TYPE_BOOLEAN, 1)), constant(val(KIV_TYPE_BOOLEAN, 0)),
           KIV_E_INCOMPATIBLE);
    expect("wide characters", constant(val(KIV_TYPE_WCHAR, 0x20AC)),
           constant(val(KIV_TYPE_WCHAR, 0x20AC)), 0);
    expect("shorts", constant(val(KIV_TYPE_SHORT, 1)), constant(val(KIV_TYPE_SHORT, 0x8001)),
           KIV_E_INCOMPATIBLE);
    expect("long longs", constant(val(KIV_TYPE_LONGLONG, 1)),
           constant(val(KIV_TYPE_LONGLONG, (1ull << 32) | 1)), KIV_E_INCOMPATIBLE);
    expect("long, unsigned long", constant(val(KIV_TYPE_LONG, 1)), constant(val(KIV_TYPE_ULONG, 1)),
           KIV_E_INCOMPATIBLE);
    expect("enumerators", constant(val(KIV_TYPE_ENUM, 3), "IDL:E:1.0"),
           constant(val(KIV_TYPE_ENUM, 3), "IDL:E:1.0"), 0);
    expect("enumerations", constant(val(KIV_TYPE_ENUM, 3), "IDL:E:1.0"),
           constant(val(KIV_TYPE_ENUM, 3), "IDL:F:1.0"), KIV_E_INCOMPATIBLE);
}

TEST_F(TLibCompat, ReferencesAreResolvedEachInItsOwnLibrary) {
    auto ref = [](uint32_t tag, const char *id) { return alias(type(tag, id)); };
    const uint32_t str = KIV_TYPE_STRING, seq = KIV_TYPE_SEQUENCE, arr = KIV_TYPE_ARRAY;
    expect("unbounded strings", ref(str, nullptr), ref(str, nullptr), 0);
    expect("unbounded, bounded", ref(str, nullptr), ref(str, "LOCAL:17"), KIV_E_INCOMPATIBLE);
    expect("bounded, unbounded", ref(str, "LOCAL:1"), ref(str, nullptr), KIV_E_INCOMPATIBLE);
    expect("one bound, two ids", ref(str, "LOCAL:1"), ref(str, "LOCAL:17"), 0);
    expect("one id, two bounds", ref(str, "LOCAL:1"), ref(str, "LOCAL:1"), KIV_E_INCOMPATIBLE);
    expect("wide strings", ref(KIV_TYPE_WSTRING, "LOCAL:2"), ref(KIV_TYPE_WSTRING, "LOCAL:12"), 0);
    expect("sequences: the bound counts", ref(seq, "LOCAL:3"), ref(seq, "LOCAL:13"), 0);
    expect("arrays: the length counts", ref(arr, "LOCAL:4"), ref(arr, "LOCAL:14"), 0);
    expect("array lengths", ref(arr, "LOCAL:4"), ref(arr, "LOCAL:15"), KIV_E_INCOMPATIBLE);
    expect("sequence naming an array", ref(seq, "LOCAL:4"), ref(seq, "LOCAL:13"), KIV_E_BAD_KIND);
    expect("second of another kind", ref(str, "LOCAL:1"), ref(str, "LOCAL:13"), KIV_E_BAD_KIND);
    expect("first lookup fails", ref(arr, "LOCAL:99"), ref(arr, "LOCAL:4"), KIV_E_UNKNOWN_REPOID);
    expect("second lookup fails", ref(arr, "LOCAL:4"), ref(arr, "LOCAL:4"), KIV_E_UNKNOWN_REPOID);
    expect("lookups before kinds",
           structOf({{"a", type(seq, "LOCAL:4")}, {"b", type(KIV_TYPE_LONG)}}),
           structOf({{"a", type(seq, "LOCAL:99")}, {"b", type(KIV_TYPE_SHORT)}}),
           KIV_E_UNKNOWN_REPOID);
    expect("no second definition", alias(type(KIV_TYPE_LONG)), nullptr, KIV_E_INVALID_ARG);
}

TEST(TLibCompatDeathTest, BrokenInvariantsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto def = alias(type(KIV_TYPE_LONG)), broken = alias(type(14));
    EXPECT_DEATH(kivTLibCheckCompatDef(nullptr, broken.get(), nullptr, def.get()), "");
    auto badValue = constant(val(KIV_TYPE_LONG, 1));
    as<kivTLibConstantDef>(badValue.get())->value.tag = KIV_TYPE_STRUCT;
    EXPECT_DEATH(kivTLibCheckCompatDef(nullptr, badValue.get(), nullptr, badValue.get()), "");
}

}  // namespace
