// kivTLibCheckCompatDef: every kind's rule, sets against positions, values, and references
// resolved across two library files.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

DefinitionPtr alias(kivTLibTypeRef t, const char *id = kId) {
    return own(buildAlias("X", id, kScope, 0, t));
}

DefinitionPtr module(const char *name, const char *scope) {
    return own(buildModule(name, kId, scope, 0));
}

// Values of each payload.
kivTLibValue v32(uint32_t tag, uint32_t bits) {
    kivTLibValue v{tag, {}};
    v.u32 = bits;
    return v;
}
kivTLibValue v64(uint32_t tag, uint64_t bits) {
    kivTLibValue v{tag, {}};
    v.u64 = bits;
    return v;
}
kivTLibValue f32(float f) {
    kivTLibValue v{KIV_TYPE_FLOAT, {}};
    v.f32 = f;
    return v;
}
kivTLibValue f64(double f) {
    kivTLibValue v{KIV_TYPE_DOUBLE, {}};
    v.f64 = f;
    return v;
}
kivTLibValue d128(uint64_t low, uint64_t high) {
    kivTLibValue v{KIV_TYPE_DECIMAL128, {}};
    v.d128[0] = low;
    v.d128[1] = high;
    return v;
}
kivTLibValue text(uint32_t tag, const char *s) {
    kivTLibValue v{tag, {}};
    v.str = s;
    return v;
}
kivTLibValue small(uint32_t tag, uint16_t n) {
    kivTLibValue v{tag, {}};
    if (tag <= KIV_TYPE_CHAR)
        v.u8 = static_cast<uint8_t>(n);
    else
        v.u16 = n;
    return v;
}

// Decimals in the binary integer encoding: coefficient and biased exponent.
uint32_t dec32(uint32_t coefficient, int exponent) {
    return (static_cast<uint32_t>(exponent + 101) << 23) | coefficient;
}
uint64_t dec64(uint64_t coefficient, int exponent) {
    return (static_cast<uint64_t>(exponent + 398) << 53) | coefficient;
}
kivTLibValue dec128(uint64_t coefficient, int exponent) {
    return d128(coefficient, static_cast<uint64_t>(exponent + 6176) << 49);
}
constexpr uint64_t kDec64NaN = 0x7C00000000000000ull;

DefinitionPtr constant(kivTLibValue v, const char *typeId = nullptr) {
    return own(buildConstant("X", kId, kScope, 0, type(v.tag, typeId), v));
}

DefinitionPtr structOf(std::vector<kivTLibStructMember> members,
                       std::vector<const char *> contents = {}) {
    auto def = own(
        buildStruct("X", kId, kScope, 0, static_cast<uint32_t>(members.size()), members.data()));
    for (const char *id : contents) appendContent(def.get(), id);
    return def;
}

kivTLibUnionCase unionCase(const char *name, kivTLibValue label, uint32_t tag = KIV_TYPE_LONG) {
    return {name, type(tag), label};
}

DefinitionPtr unionOf(std::vector<kivTLibUnionCase> cases, std::vector<const char *> contents = {},
                      kivTLibTypeRef discriminator = type(KIV_TYPE_LONG)) {
    auto def = own(buildUnion("X", kId, kScope, 0, discriminator,
                              static_cast<uint32_t>(cases.size()), cases.data()));
    for (const char *id : contents) appendContent(def.get(), id);
    return def;
}

DefinitionPtr enumOf(std::vector<kivTLibEnumMember> members) {
    return own(
        buildEnum("X", kId, kScope, 0, static_cast<uint32_t>(members.size()), members.data()));
}

DefinitionPtr interface(std::vector<kivTLibMember> members, const char *base = nullptr,
                        std::vector<const char *> contents = {}, uint32_t flags = 0,
                        const char *name = "X") {
    auto def = own(buildInterface(name, kId, kScope, flags, base,
                                  static_cast<uint32_t>(members.size()), members.data()));
    for (const char *id : contents) appendContent(def.get(), id);
    return def;
}

kivTLibMember attribute(const char *name, kivTLibTypeRef t = type(KIV_TYPE_LONG)) {
    return {KIV_MEMBER_ATTRIBUTE, name, 0, t, 0, nullptr};
}

const kivTLibParam kInLong[] = {{"a", type(KIV_TYPE_LONG), KIV_PARAM_IN},
                                {"b", type(KIV_TYPE_LONG), KIV_PARAM_IN}};
const kivTLibParam kOutLong[] = {{"a", type(KIV_TYPE_LONG), KIV_PARAM_IN},
                                 {"b", type(KIV_TYPE_LONG), KIV_PARAM_OUT}};
const kivTLibParam kRenamed[] = {{"a", type(KIV_TYPE_LONG), KIV_PARAM_IN},
                                 {"c", type(KIV_TYPE_LONG), KIV_PARAM_IN}};

kivTLibMember operation(const kivTLibParam *params, uint32_t count = 2, uint32_t flags = 0,
                        kivTLibTypeRef result = type(KIV_TYPE_VOID)) {
    return {KIV_MEMBER_OPERATION, "op", flags, result, count, params};
}

// Two libraries whose anonymous types have different ids, and one id (LOCAL:1) naming
// different bounds in each: references must be resolved each in its own library.
class TLibCompat : public ::testing::Test {
  protected:
    void SetUp() override {
        kivTLibTypeRef longType = type(KIV_TYPE_LONG), doubleType = type(KIV_TYPE_DOUBLE);
        kivTLib *a = one.get(), *b = two.get();
        ASSERT_EQ(kivTLibCreateString(a, "LOCAL:1", 0, 10, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateWString(a, "LOCAL:2", 0, 5, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateSequence(a, "LOCAL:3", 0, 4, &longType, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateArray(a, "LOCAL:4", 0, 8, &longType, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateString(b, "LOCAL:1", 0, 20, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateWString(b, "LOCAL:12", 0, 5, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateSequence(b, "LOCAL:13", 0, 4, &doubleType, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateArray(b, "LOCAL:14", 0, 8, &doubleType, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateArray(b, "LOCAL:15", 0, 9, &longType, nullptr), 0u);
        ASSERT_EQ(kivTLibCreateString(b, "LOCAL:17", 0, 10, nullptr), 0u);
    }

    kivtest::TempDir dir;
    Handle one = tlibtest::create(dir.file("one.tlb"));
    Handle two = tlibtest::create(dir.file("two.tlb"));
};

struct Case {
    const char *what;
    DefinitionPtr first, second;
    kivResult expected;
};

void expectAll(kivTLib *one, kivTLib *two, const std::vector<Case> &cases) {
    for (const auto &c : cases)
        EXPECT_EQ(kivTLibCheckCompatDef(one, c.first.get(), two, c.second.get()), c.expected)
            << c.what;
}

template <class... Args>
std::vector<Case> list(Args &&...args) {
    std::vector<Case> out;
    (out.push_back(std::move(args)), ...);
    return out;
}

TEST_F(TLibCompat, HeadersModulesAndNamedTypes) {
    expectAll(
        one.get(), two.get(),
        list(Case{"ids differ", alias(type(KIV_TYPE_LONG)),
                  alias(type(KIV_TYPE_LONG), "IDL:M/Y:1.0"), KIV_E_INVALID_ARG},
             Case{"kinds differ", alias(type(KIV_TYPE_LONG)), constant(v32(KIV_TYPE_LONG, 1)),
                  KIV_E_INCOMPATIBLE},
             Case{"modules with other contents",
                  [] {
                      auto m = module("M", kScope);
                      appendContent(m.get(), "IDL:M/A:1.0");
                      return m;
                  }(),
                  module("M", kScope), 0},
             Case{"module names differ", module("M", kScope), module("N", kScope),
                  KIV_E_INCOMPATIBLE},
             Case{"module scopes differ", module("M", nullptr), module("M", kScope),
                  KIV_E_INCOMPATIBLE},
             Case{"two modules without scope", module("", nullptr), module("", nullptr), 0},
             Case{"alias names differ", alias(type(KIV_TYPE_LONG)),
                  own(buildAlias("Y", kId, kScope, 0, type(KIV_TYPE_LONG))), KIV_E_INCOMPATIBLE},
             Case{"alias scopes differ", alias(type(KIV_TYPE_LONG)),
                  own(buildAlias("X", kId, "IDL:N:1.0", 0, type(KIV_TYPE_LONG))),
                  KIV_E_INCOMPATIBLE},
             Case{"caller flags are not compared", alias(type(KIV_TYPE_LONG)),
                  own(buildAlias("X", kId, kScope, 0xFFFF0001u, type(KIV_TYPE_LONG))), 0},
             Case{"same structure id", alias(type(KIV_TYPE_STRUCT, "IDL:S:1.0")),
                  alias(type(KIV_TYPE_STRUCT, "IDL:S:1.0")), 0},
             Case{"other structure ids", alias(type(KIV_TYPE_STRUCT, "IDL:S:1.0")),
                  alias(type(KIV_TYPE_STRUCT, "IDL:T:1.0")), KIV_E_INCOMPATIBLE},
             Case{"interface id not looked up", alias(type(KIV_TYPE_INTERFACE, "IDL:Gone:1.0")),
                  alias(type(KIV_TYPE_INTERFACE, "IDL:Gone:1.0")), 0},
             Case{"long against unsigned long", alias(type(KIV_TYPE_LONG)),
                  alias(type(KIV_TYPE_ULONG)), KIV_E_INCOMPATIBLE},
             Case{"enumeration members in another order", enumOf({{"A", 1}, {"B", 2}, {"C", 3}}),
                  enumOf({{"C", 3}, {"A", 1}, {"B", 2}}), 0},
             Case{"an enumerator's value differs", enumOf({{"A", 1}, {"B", 2}}),
                  enumOf({{"B", 2}, {"A", 7}}), KIV_E_INCOMPATIBLE},
             Case{"an enumerator's name differs", enumOf({{"A", 1}, {"B", 2}}),
                  enumOf({{"A", 1}, {"C", 2}}), KIV_E_INCOMPATIBLE},
             Case{"an enumerator more", enumOf({{"A", 1}}), enumOf({{"A", 1}, {"B", 2}}),
                  KIV_E_INCOMPATIBLE},
             Case{"string bounds", own(buildString(KIV_DEF_STRING, kId, 0, 5)),
                  own(buildString(KIV_DEF_STRING, kId, 0, 6)), KIV_E_INCOMPATIBLE},
             Case{"wide string bounds", own(buildString(KIV_DEF_WSTRING, kId, 0, 5)),
                  own(buildString(KIV_DEF_WSTRING, kId, 0, 5)), 0},
             Case{"sequence elements differ",
                  own(buildSequence(kId, 0, 4, type(KIV_TYPE_STRUCT, "IDL:S:1.0"))),
                  own(buildSequence(kId, 0, 4, type(KIV_TYPE_STRUCT, "IDL:T:1.0"))),
                  KIV_E_INCOMPATIBLE},
             Case{"sequence bounds differ", own(buildSequence(kId, 0, 4, type(KIV_TYPE_LONG))),
                  own(buildSequence(kId, 0, 5, type(KIV_TYPE_LONG))), KIV_E_INCOMPATIBLE},
             Case{"array lengths differ", own(buildArray(kId, 0, 4, type(KIV_TYPE_LONG))),
                  own(buildArray(kId, 0, 5, type(KIV_TYPE_LONG))), KIV_E_INCOMPATIBLE},
             Case{"equal arrays", own(buildArray(kId, 0, 4, type(KIV_TYPE_LONG))),
                  own(buildArray(kId, 0, 4, type(KIV_TYPE_LONG))), 0}));
}

TEST_F(TLibCompat, InterfacesStructuresAndUnions) {
    const kivTLibValue one1 = v32(KIV_TYPE_LONG, 1), two2 = v32(KIV_TYPE_LONG, 2),
                       none = v32(KIV_VALUE_NONE, 0);
    auto ab = [] { return std::vector<kivTLibMember>{attribute("a"), attribute("b")}; };
    expectAll(
        one.get(), two.get(),
        list(Case{"forward against anything", interface({}, nullptr, {}, KIV_DEF_FORWARD),
                  interface({attribute("z")}, "IDL:B:1.0", {"IDL:M/X/In:1.0"}), 0},
             Case{"anything against forward", interface(ab()),
                  interface({}, nullptr, {}, KIV_DEF_FORWARD), 0},
             Case{"forward with another name", interface({}, nullptr, {}, KIV_DEF_FORWARD),
                  interface({}, nullptr, {}, KIV_DEF_FORWARD, "Y"), KIV_E_INCOMPATIBLE},
             Case{"base only on one side", interface(ab()), interface(ab(), "IDL:B:1.0"),
                  KIV_E_INCOMPATIBLE},
             Case{"bases differ", interface({}, "IDL:A:1.0"), interface({}, "IDL:B:1.0"),
                  KIV_E_INCOMPATIBLE},
             Case{"nested definitions in another order",
                  interface({}, nullptr, {"IDL:a:1.0", "IDL:b:1.0", "IDL:\xC3:1.0"}),
                  interface({}, nullptr, {"IDL:\xC3:1.0", "IDL:b:1.0", "IDL:a:1.0"}), 0},
             Case{"nested definitions differ", interface({}, nullptr, {"IDL:a:1.0"}),
                  interface({}, nullptr, {"IDL:b:1.0"}), KIV_E_INCOMPATIBLE},
             Case{"members in another order", interface(ab()),
                  interface({attribute("b"), attribute("a")}), KIV_E_INCOMPATIBLE},
             Case{"attribute types differ", interface(ab()),
                  interface({attribute("a"), attribute("b", type(KIV_TYPE_SHORT))}),
                  KIV_E_INCOMPATIBLE},
             Case{"a member more", interface(ab()),
                  interface({attribute("a"), attribute("b"), attribute("c")}), KIV_E_INCOMPATIBLE},
             Case{"attribute against operation", interface({attribute("op")}),
                  interface({operation(nullptr, 0)}), KIV_E_INCOMPATIBLE},
             Case{"operations differing only in flags", interface({operation(kInLong, 2, 1)}),
                  interface({operation(kInLong, 2, 0xFFFFFFFFu)}), 0},
             Case{"parameter direction", interface({operation(kInLong)}),
                  interface({operation(kOutLong)}), KIV_E_INCOMPATIBLE},
             Case{"parameter name", interface({operation(kInLong)}),
                  interface({operation(kRenamed)}), KIV_E_INCOMPATIBLE},
             Case{"parameter count", interface({operation(kInLong, 2)}),
                  interface({operation(kInLong, 1)}), KIV_E_INCOMPATIBLE},
             Case{"result type", interface({operation(kInLong)}),
                  interface({operation(kInLong, 2, 0, type(KIV_TYPE_LONG))}), KIV_E_INCOMPATIBLE},
             Case{"structure members in another order",
                  structOf({{"a", type(KIV_TYPE_LONG)}, {"b", type(KIV_TYPE_LONG)}}),
                  structOf({{"b", type(KIV_TYPE_LONG)}, {"a", type(KIV_TYPE_LONG)}}),
                  KIV_E_INCOMPATIBLE},
             Case{"structure member type", structOf({{"a", type(KIV_TYPE_LONG)}}),
                  structOf({{"a", type(KIV_TYPE_FLOAT)}}), KIV_E_INCOMPATIBLE},
             Case{"structure contents in another order",
                  structOf({{"a", type(KIV_TYPE_LONG)}}, {"IDL:a:1.0", "IDL:b:1.0"}),
                  structOf({{"a", type(KIV_TYPE_LONG)}}, {"IDL:b:1.0", "IDL:a:1.0"}), 0},
             Case{"structure contents count", structOf({{"a", type(KIV_TYPE_LONG)}}, {"IDL:a:1.0"}),
                  structOf({{"a", type(KIV_TYPE_LONG)}}), KIV_E_INCOMPATIBLE},
             Case{"union cases in another order",
                  unionOf({unionCase("a", one1), unionCase("b", two2), unionCase("c", none)}),
                  unionOf({unionCase("c", none), unionCase("b", two2), unionCase("a", one1)}), 0},
             Case{"two default labels", unionOf({unionCase("a", none), unionCase("b", none)}),
                  unionOf({unionCase("b", none), unionCase("a", none)}), 0},
             Case{"a label differs", unionOf({unionCase("a", one1)}),
                  unionOf({unionCase("a", two2)}), KIV_E_INCOMPATIBLE},
             Case{"default against a label", unionOf({unionCase("a", one1)}),
                  unionOf({unionCase("a", none)}), KIV_E_INCOMPATIBLE},
             Case{"a case type differs", unionOf({unionCase("a", one1)}),
                  unionOf({unionCase("a", one1, KIV_TYPE_SHORT)}), KIV_E_INCOMPATIBLE},
             Case{"a case name differs", unionOf({unionCase("a", one1), unionCase("b", two2)}),
                  unionOf({unionCase("a", one1), unionCase("c", two2)}), KIV_E_INCOMPATIBLE},
             Case{"discriminators differ", unionOf({unionCase("a", none)}),
                  unionOf({unionCase("a", none)}, {}, type(KIV_TYPE_SHORT)), KIV_E_INCOMPATIBLE},
             Case{"union contents differ", unionOf({unionCase("a", none)}, {"IDL:a:1.0"}),
                  unionOf({unionCase("a", none)}, {"IDL:b:1.0"}), KIV_E_INCOMPATIBLE}));
}

TEST_F(TLibCompat, ConstantValues) {
    const float nanF = std::numeric_limits<float>::quiet_NaN();
    const double nanD = std::numeric_limits<double>::quiet_NaN();
    expectAll(
        one.get(), two.get(),
        list(
            Case{"float zeros", constant(f32(0.0f)), constant(f32(-0.0f)), 0},
            Case{"float NaN, same bits", constant(f32(nanF)), constant(f32(nanF)),
                 KIV_E_INCOMPATIBLE},
            Case{"floats differ", constant(f32(1.5f)), constant(f32(2.5f)), KIV_E_INCOMPATIBLE},
            Case{"double zeros", constant(f64(0.0)), constant(f64(-0.0)), 0},
            Case{"double NaN", constant(f64(nanD)), constant(f64(nanD)), KIV_E_INCOMPATIBLE},
            Case{"double infinities", constant(f64(INFINITY)), constant(f64(INFINITY)), 0},
            Case{"decimal32 1.0 and 1.00", constant(v32(KIV_TYPE_DECIMAL32, dec32(10, -1))),
                 constant(v32(KIV_TYPE_DECIMAL32, dec32(100, -2))), 0},
            Case{"decimal32 1.0 and 2.0", constant(v32(KIV_TYPE_DECIMAL32, dec32(10, -1))),
                 constant(v32(KIV_TYPE_DECIMAL32, dec32(20, -1))), KIV_E_INCOMPATIBLE},
            Case{"decimal64 1.0 and 1.00", constant(v64(KIV_TYPE_DECIMAL64, dec64(10, -1))),
                 constant(v64(KIV_TYPE_DECIMAL64, dec64(100, -2))), 0},
            Case{"decimal64 NaN", constant(v64(KIV_TYPE_DECIMAL64, kDec64NaN)),
                 constant(v64(KIV_TYPE_DECIMAL64, kDec64NaN)), KIV_E_INCOMPATIBLE},
            Case{"decimal128 1.0 and 1.00", constant(dec128(10, -1)), constant(dec128(100, -2)), 0},
            Case{"decimal128 1.0 and 2.0", constant(dec128(10, -1)), constant(dec128(20, -1)),
                 KIV_E_INCOMPATIBLE},
            Case{"decimal128 high words differ", constant(d128(1, 6176ull << 49)),
                 constant(d128(1, 6177ull << 49)), KIV_E_INCOMPATIBLE},
            Case{"strings", constant(text(KIV_TYPE_STRING, "a")),
                 constant(text(KIV_TYPE_STRING, "a")), 0},
            Case{"strings differ", constant(text(KIV_TYPE_WSTRING, "a")),
                 constant(text(KIV_TYPE_WSTRING, "ab")), KIV_E_INCOMPATIBLE},
            Case{"booleans differ", constant(small(KIV_TYPE_BOOLEAN, 1)),
                 constant(small(KIV_TYPE_BOOLEAN, 0)), KIV_E_INCOMPATIBLE},
            Case{"wide characters", constant(small(KIV_TYPE_WCHAR, 0x20AC)),
                 constant(small(KIV_TYPE_WCHAR, 0x20AC)), 0},
            Case{"shorts differ", constant(small(KIV_TYPE_SHORT, 1)),
                 constant(small(KIV_TYPE_SHORT, 0x8001)), KIV_E_INCOMPATIBLE},
            Case{"long longs differ in the high word", constant(v64(KIV_TYPE_LONGLONG, 1)),
                 constant(v64(KIV_TYPE_LONGLONG, (1ull << 32) | 1)), KIV_E_INCOMPATIBLE},
            Case{"long against unsigned long", constant(v32(KIV_TYPE_LONG, 1)),
                 constant(v32(KIV_TYPE_ULONG, 1)), KIV_E_INCOMPATIBLE},
            Case{"enumerators", constant(v32(KIV_TYPE_ENUM, 3), "IDL:E:1.0"),
                 constant(v32(KIV_TYPE_ENUM, 3), "IDL:E:1.0"), 0},
            Case{"enumerations differ", constant(v32(KIV_TYPE_ENUM, 3), "IDL:E:1.0"),
                 constant(v32(KIV_TYPE_ENUM, 3), "IDL:F:1.0"), KIV_E_INCOMPATIBLE}));
}

TEST_F(TLibCompat, ReferencesAreResolvedEachInItsOwnLibrary) {
    auto str = [](const char *id) { return alias(type(KIV_TYPE_STRING, id)); };
    expectAll(
        one.get(), two.get(),
        list(Case{"unbounded strings", str(nullptr), str(nullptr), 0},
             Case{"unbounded against bounded", str(nullptr), str("LOCAL:17"), KIV_E_INCOMPATIBLE},
             Case{"bounded against unbounded", str("LOCAL:1"), str(nullptr), KIV_E_INCOMPATIBLE},
             Case{"same bound under other ids", str("LOCAL:1"), str("LOCAL:17"), 0},
             Case{"one id, other bounds", str("LOCAL:1"), str("LOCAL:1"), KIV_E_INCOMPATIBLE},
             Case{"wide strings", alias(type(KIV_TYPE_WSTRING, "LOCAL:2")),
                  alias(type(KIV_TYPE_WSTRING, "LOCAL:12")), 0},
             Case{"sequences: only the bound counts", alias(type(KIV_TYPE_SEQUENCE, "LOCAL:3")),
                  alias(type(KIV_TYPE_SEQUENCE, "LOCAL:13")), 0},
             Case{"arrays: only the length counts", alias(type(KIV_TYPE_ARRAY, "LOCAL:4")),
                  alias(type(KIV_TYPE_ARRAY, "LOCAL:14")), 0},
             Case{"array lengths", alias(type(KIV_TYPE_ARRAY, "LOCAL:4")),
                  alias(type(KIV_TYPE_ARRAY, "LOCAL:15")), KIV_E_INCOMPATIBLE},
             Case{"sequence naming an array", alias(type(KIV_TYPE_SEQUENCE, "LOCAL:4")),
                  alias(type(KIV_TYPE_SEQUENCE, "LOCAL:13")), KIV_E_BAD_KIND},
             Case{"second names another kind", alias(type(KIV_TYPE_STRING, "LOCAL:1")),
                  alias(type(KIV_TYPE_STRING, "LOCAL:13")), KIV_E_BAD_KIND},
             Case{"first lookup fails", alias(type(KIV_TYPE_ARRAY, "LOCAL:99")),
                  alias(type(KIV_TYPE_ARRAY, "LOCAL:4")), KIV_E_UNKNOWN_REPOID},
             Case{"second lookup fails", alias(type(KIV_TYPE_ARRAY, "LOCAL:4")),
                  alias(type(KIV_TYPE_ARRAY, "LOCAL:4")), KIV_E_UNKNOWN_REPOID},
             Case{"lookup before the kind",
                  structOf({{"a", type(KIV_TYPE_SEQUENCE, "LOCAL:4")}, {"b", type(KIV_TYPE_LONG)}}),
                  structOf(
                      {{"a", type(KIV_TYPE_SEQUENCE, "LOCAL:99")}, {"b", type(KIV_TYPE_SHORT)}}),
                  KIV_E_UNKNOWN_REPOID}));
    auto def = alias(type(KIV_TYPE_LONG));
    EXPECT_EQ(kivTLibCheckCompatDef(one.get(), def.get(), two.get(), nullptr), KIV_E_INVALID_ARG);
}

TEST(TLibCompatDeathTest, BrokenInvariantsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto def = alias(type(KIV_TYPE_LONG));
    auto broken = alias(type(14));
    EXPECT_DEATH(kivTLibCheckCompatDef(nullptr, broken.get(), nullptr, def.get()), "");
    auto badValue = constant(v32(KIV_TYPE_LONG, 1));
    as<kivTLibConstantDef>(badValue.get())->value.tag = KIV_TYPE_STRUCT;
    EXPECT_DEATH(kivTLibCheckCompatDef(nullptr, badValue.get(), nullptr, badValue.get()), "");
}

}  // namespace
