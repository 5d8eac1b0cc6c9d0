// SPDX-License-Identifier: Apache-2.0
// Property: a random but valid library, built through the creating operations, reads back from
// its file in a second handle as definitions compatible with (and encoded like) the originals,
// and the second handle has nothing to write.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <map>
#include <random>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

namespace {

// Builds a random library of every kind, through creating operations that must all succeed.
struct RandomLibrary {
    kivTLib *t, *readOnly;
    std::mt19937_64 rng;
    std::deque<std::string> texts;  // strings passed to the library, kept alive
    std::map<uint32_t, std::vector<const char *>> byKind{{KIV_DEF_MODULE, {KIV_TLIB_ROOT_ID}}};
    std::vector<const char *> ids{KIV_TLIB_ROOT_ID, KIV_TLIB_ANONYMOUS_SCOPE_ID};
    std::vector<kivTLibDef *> forwards;

    RandomLibrary(kivTLib *tlib, kivTLib *reader, uint64_t seed)
        : t(tlib), readOnly(reader), rng(seed) {}

    uint32_t below(size_t n) { return uint32_t(rng() % n); }
    const char *keep(std::string s) { return texts.emplace_back(std::move(s)).c_str(); }
    const char *name() { return keep("n" + std::to_string(texts.size())); }
    // An existing definition of one of `kinds`, or null.
    const char *pick(std::vector<uint32_t> kinds) {
        std::vector<const char *> all;
        for (uint32_t k : kinds) all.insert(all.end(), byKind[k].begin(), byKind[k].end());
        return all.empty() ? nullptr : all[below(all.size())];
    }
    kivTLibTypeRef type(bool allowVoid) {
        uint32_t tag = 1 + below(26);
        if (tag == 14 || (tag == KIV_TYPE_VOID && !allowVoid)) tag = KIV_TYPE_LONG;
        if (tag < KIV_TYPE_STRING || tag > KIV_TYPE_INTERFACE) return {tag, nullptr};
        const uint32_t kinds[] = {8, 9, 4, 5, 6, 10, 11, 7, 2};  // of tags 15 to 23
        const char *id = pick({kinds[tag - KIV_TYPE_STRING]});
        if (tag <= KIV_TYPE_WSTRING) return {tag, below(2) ? id : nullptr};
        // Sequences and arrays are looked up when compared; the other names never are.
        if (tag == KIV_TYPE_SEQUENCE || tag == KIV_TYPE_ARRAY)
            return id ? kivTLibTypeRef{tag, id} : kivTLibTypeRef{KIV_TYPE_LONG, nullptr};
        return {tag, id && below(4) ? id : keep("IDL:Elsewhere/T" + std::to_string(below(5)))};
    }
    // Any payload of `tag`, but no NaN: it would differ from itself.
    kivTLibValue value(uint32_t tag) {
        kivTLibValue v{tag, {}};
        v.d128[0] = rng(), v.d128[1] = rng();
        if (tag == KIV_TYPE_FLOAT && std::isnan(v.f32)) v.f32 = 1.5f;
        if (tag == KIV_TYPE_DOUBLE && std::isnan(v.f64)) v.f64 = -2.5;
        if (tag == KIV_TYPE_DECIMAL32 && (v.u32 >> 26 & 31) == 31) v.u32 ^= 1u << 26;
        if (tag == KIV_TYPE_DECIMAL64 && (v.u64 >> 58 & 31) == 31) v.u64 ^= 1ull << 58;
        if (tag == KIV_TYPE_DECIMAL128 && (v.d128[1] >> 58 & 31) == 31) v.d128[1] ^= 1ull << 58;
        if (tag == KIV_TYPE_STRING || tag == KIV_TYPE_WSTRING) {
            std::string s(below(12), ' ');
            for (char &c : s) c = char(1 + below(255));
            v.str = keep(s);
        }
        return v;
    }

    // A creating operation on handle `h` with out-parameter `o`, refused on a read-only handle
    // and without a handle, then run on the library: the new definition is listed last in its
    // scope, both are pending, and only the caller's flags are kept.
    template <class Call>
    void run(Call call, uint32_t flags, kivTLibDef *fwd = nullptr) {
        kivTLibDef *def = nullptr;
        ASSERT_EQ(call(readOnly, &def), KIV_E_READ_ONLY);
        ASSERT_EQ(call(nullptr, &def), KIV_E_INVALID_ARG);
        ASSERT_EQ(call(t, &def), 0u);
        if (fwd) {  // a completed declaration: the same definition
            ASSERT_EQ(def, fwd);
            return;
        }
        kivTLibDef *scope = nullptr;
        bool anonymous = def->kind >= KIV_DEF_STRING;
        ASSERT_EQ(
            kivTLibGetDefinition(t, anonymous ? KIV_TLIB_ANONYMOUS_SCOPE_ID : def->scopeId, &scope),
            0u);
        EXPECT_STREQ(kiv::tlib::contentsOf(scope).back(), def->repoId);
        EXPECT_TRUE(tlibtest::isPending(t, def) && tlibtest::isPending(t, scope));
        EXPECT_EQ(def->flags & ~KIV_DEF_FORWARD,
                  def->kind == KIV_DEF_MODULE ? 1 : (flags & 0xFFFF0000u) | 1);
        if (def->flags & KIV_DEF_FORWARD) forwards.push_back(def);
        byKind[def->kind].push_back(def->repoId);
        ids.push_back(def->repoId);
    }

#define CALL(...) [&](kivTLib *h, kivTLibDef **o) { return __VA_ARGS__; }
    void createOne() {
        const char *n = name(), *id = keep(below(6) ? std::string("IDL:R/") + n + ":1.0"
                                                    : std::string("DCE:00-") + n + ":3");
        const char *module = pick({KIV_DEF_MODULE}), *moduleOrInterface = pick({1, 2}),
                   *anyScope = pick({1, 2, 4, 5});
        uint32_t f = uint32_t(rng()), count = 1 + below(4);
        std::vector<kivTLibMember> members(count - 1);
        std::deque<std::vector<kivTLibParam>> params;
        std::vector<kivTLibStructMember> fields(count);
        std::vector<kivTLibUnionCase> cases(count);
        std::vector<kivTLibEnumMember> enumerators(count);
        const uint32_t discriminators[] = {2, 4, 6, 7, 8, 9, 10, 11, 19},
                       constants[] = {2,  3,  4,  5,  6,  7,  8,  9,  10,
                                      11, 12, 13, 15, 16, 19, 24, 25, 26};
        kivTLibTypeRef t1 = type(false), t2{discriminators[below(9)], nullptr};
        char local[32];
        switch (below(12)) {
            case 0:
                return run(CALL(kivTLibCreateModule(h, n, id, module, f, o)), f);
            case 1:
                return run(CALL(kivTLibCreateInterfaceFwd(h, n, id, module, f, o)), f);
            case 2:
            case 3: {
                for (auto &m : members) {
                    bool operation = below(3);
                    auto &p = params.emplace_back(operation ? below(4) : 0);
                    for (auto &param : p) param = {name(), type(false), 1 + below(3)};
                    uint32_t kind = operation ? KIV_MEMBER_OPERATION : KIV_MEMBER_ATTRIBUTE;
                    m = {kind,    name(), uint32_t(rng()), type(operation), uint32_t(p.size()),
                         p.data()};
                }
                const char *base = below(2) ? pick({KIV_DEF_INTERFACE}) : nullptr;
                kivTLibDef *fwd = nullptr;  // half of the time, complete a declaration
                if (!forwards.empty() && below(2)) fwd = forwards.back(), forwards.pop_back();
                return run(
                    CALL(kivTLibCreateInterface(h, fwd ? fwd->name : n, fwd ? fwd->repoId : id,
                                                fwd ? fwd->scopeId : module, f, base,
                                                uint32_t(members.size()), members.data(), o)),
                    f, fwd);
            }
            case 4:
                for (auto &m : fields) m = {name(), type(false)};
                return run(
                    CALL(kivTLibCreateStruct(h, n, id, anyScope, f, count, fields.data(), o)), f);
            case 5:
                if (t2.tag == KIV_TYPE_ENUM) t2.repoId = keep("IDL:E:1.0");
                for (auto &c : cases)
                    c = {name(), type(false), below(4) ? value(t2.tag) : kivTLibValue{}};
                return run(
                    CALL(kivTLibCreateUnion(h, n, id, anyScope, f, &t2, count, cases.data(), o)),
                    f);
            case 6:
                for (auto &m : enumerators) m = {name(), uint32_t(rng())};
                return run(
                    CALL(kivTLibCreateEnum(h, n, id, anyScope, f, count, enumerators.data(), o)),
                    f);
            case 7:
                return run(CALL(kivTLibCreateAlias(h, n, id, moduleOrInterface, f, &t1, o)), f);
            case 8: {
                t2 = {constants[below(std::size(constants))], nullptr};
                if (t2.tag == KIV_TYPE_ENUM) t2.repoId = keep("IDL:E:1.0");
                if (t2.tag == KIV_TYPE_STRING || t2.tag == KIV_TYPE_WSTRING)
                    t2.repoId = pick({t2.tag - 7});  // a string or wide string definition
                kivTLibValue v = value(t2.tag);
                return run(CALL(kivTLibCreateConstant(h, n, id, moduleOrInterface, f, &t2, &v, o)),
                           f);
            }
        }
        ASSERT_EQ(kivTLibCreateLocalRepoId(t, local, sizeof local), 0u);
        uint32_t size = below(2) ? below(100) : uint32_t(rng());
        switch (below(4)) {
            case 0:
                return run(CALL(kivTLibCreateString(h, local, f, size, o)), f);
            case 1:
                return run(CALL(kivTLibCreateWString(h, local, f, size, o)), f);
            case 2:
                return run(CALL(kivTLibCreateSequence(h, local, f, size, &t1, o)), f);
            default:
                return run(CALL(kivTLibCreateArray(h, local, f, size, &t1, o)), f);
        }
    }
};

TEST(TLibRoundTrip, RandomLibrariesReadBackCompatibleAndUnchanged) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        kivtest::TempDir dir;
        std::string path = dir.file("random.tlb");
        tlibtest::Handle first = tlibtest::create(path);
        kivTLibDef *root = nullptr;
        ASSERT_EQ(kivTLibCreateRoot(first.get(), 0x00050003u, &root), 0u);
        EXPECT_EQ(root->flags, 0x00050001u);
        ASSERT_EQ(kivTLibFlush(first.get()), 0u);
        tlibtest::Handle readOnly = tlibtest::open(path, KIV_TLIB_READONLY);
        RandomLibrary library(first.get(), readOnly.get(), seed);
        for (int i = 0; i < 250 && !testing::Test::HasFatalFailure(); ++i) library.createOne();
        ASSERT_FALSE(testing::Test::HasFatalFailure()) << "seed " << seed;
        EXPECT_EQ(library.byKind.size(), 11u);  // every kind was created
        ASSERT_EQ(kivTLibFlush(first.get()), 0u);
        std::string before = kivtest::readFile(path);

        tlibtest::Handle second = tlibtest::open(path);
        for (const char *id : library.ids) {
            kivTLibDef *a = nullptr, *b = nullptr;
            ASSERT_EQ(kivTLibGetDefinition(first.get(), id, &a), 0u);
            ASSERT_EQ(kivTLibGetDefinition(second.get(), id, &b), 0u) << id;
            EXPECT_EQ(kivTLibCheckCompatDef(first.get(), a, second.get(), b), 0u) << id;
            EXPECT_EQ(kivTLibCheckCompatDef(second.get(), b, first.get(), a), 0u) << id;
            EXPECT_EQ(kiv::tlib::encode(a), kiv::tlib::encode(b)) << id;
        }
        EXPECT_EQ(tlibtest::stateOf(second.get()).pending, 0u);
        EXPECT_EQ(kivTLibFlush(second.get()), 0u);
        EXPECT_EQ(kivtest::readFile(path), before) << "seed " << seed;
    }
}

}  // namespace
