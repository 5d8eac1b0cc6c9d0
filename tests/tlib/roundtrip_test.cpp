// Property: a random but valid library, built through the creating operations, reads back from
// its file in a second handle as definitions compatible with (and encoded exactly like) the
// originals, and the second handle has nothing to write.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <map>
#include <random>

#include "test_support.h"
#include "tlib/codec.h"
#include "core/hash.h"
#include "tlib/handle.h"
#include "tlib_fixtures.h"

namespace {

class RandomLibrary {
  public:
    RandomLibrary(kivTLib *t, uint32_t seed) : t_(t), rng_(seed) {
        EXPECT_EQ(kivTLibCreateRoot(t, 0, nullptr), 0u);
        ids_[KIV_DEF_MODULE] = {KIV_TLIB_ROOT_ID};
    }

    // One random creating operation; it must succeed.
    void createOne() {
        uint32_t f = below(3) ? 0 : uint32_t(rng_()), n = ++count_;
        std::string name = "n" + std::to_string(n);
        const char *id = keep(below(7) ? "IDL:R/" + name + ":1.0" : "DCE:00-" + name + ":3");
        const char *module = pick({KIV_DEF_MODULE});
        const char *anyScope =
            pick({KIV_DEF_MODULE, KIV_DEF_INTERFACE, KIV_DEF_STRUCT, KIV_DEF_UNION});
        const char *moduleOrInterface = pick({KIV_DEF_MODULE, KIV_DEF_INTERFACE});
        kivTLibDef *def = nullptr;
        kivResult rc = 0;
        switch (below(12)) {
            case 0:
                rc = kivTLibCreateModule(t_, keep(name), id, module, f, &def);
                break;
            case 1:
                rc = kivTLibCreateInterfaceFwd(t_, keep(name), id, module, f, &def);
                if (rc == 0) forwards_.push_back(def);
                break;
            case 2:
            case 3: {
                std::vector<kivTLibMember> members(below(5));
                std::deque<std::vector<kivTLibParam>> params;
                for (auto &m : members) {
                    auto &p = params.emplace_back(below(3) ? below(4) : 0);
                    for (auto &param : p) param = {fresh(), type(false), 1 + below(3)};
                    m = {p.empty() ? KIV_MEMBER_ATTRIBUTE : KIV_MEMBER_OPERATION,
                         fresh(),
                         uint32_t(rng_()),
                         type(!p.empty()),
                         uint32_t(p.size()),
                         p.data()};
                }
                const char *base = below(2) ? pick({KIV_DEF_INTERFACE}) : nullptr;
                kivTLibDef *target = nullptr;  // half of the time, complete a declaration
                if (!forwards_.empty() && below(2)) {
                    target = forwards_.back();
                    forwards_.pop_back();
                }
                rc = kivTLibCreateInterface(t_, target ? target->name : keep(name),
                                            target ? target->repoId : id,
                                            target ? target->scopeId : module, f, base,
                                            uint32_t(members.size()), members.data(), &def);
                EXPECT_TRUE(!target || def == target);
                if (target) return;
                break;
            }
            case 4: {
                std::vector<kivTLibStructMember> members(1 + below(4));
                for (auto &m : members) m = {fresh(), type(false)};
                rc = kivTLibCreateStruct(t_, keep(name), id, anyScope, f, uint32_t(members.size()),
                                         members.data(), &def);
                break;
            }
            case 5: {
                static const uint32_t tags[] = {2, 4, 6, 7, 8, 9, 10, 11, 19};
                uint32_t tag = tags[below(std::size(tags))];
                kivTLibTypeRef discriminator{tag,
                                             tag == KIV_TYPE_ENUM ? named(KIV_DEF_ENUM) : nullptr};
                std::vector<kivTLibUnionCase> cases(1 + below(4));
                for (auto &c : cases)
                    c = {fresh(), type(false), below(4) ? value(tag) : kivTLibValue{}};
                rc = kivTLibCreateUnion(t_, keep(name), id, anyScope, f, &discriminator,
                                        uint32_t(cases.size()), cases.data(), &def);
                break;
            }
            case 6: {
                std::vector<kivTLibEnumMember> members(1 + below(4));
                for (auto &m : members) m = {fresh(), uint32_t(rng_())};
                rc = kivTLibCreateEnum(t_, keep(name), id, anyScope, f, uint32_t(members.size()),
                                       members.data(), &def);
                break;
            }
            case 7: {
                kivTLibTypeRef t = type(false);
                rc = kivTLibCreateAlias(t_, keep(name), id, moduleOrInterface, f, &t, &def);
                break;
            }
            case 8: {
                kivTLibTypeRef t = type(false);
                while (t.tag > KIV_TYPE_WSTRING && t.tag != KIV_TYPE_ENUM &&
                       t.tag < KIV_TYPE_DECIMAL32)
                    t = type(false);
                kivTLibValue v = value(t.tag);
                rc = kivTLibCreateConstant(t_, keep(name), id, moduleOrInterface, f, &t, &v, &def);
                break;
            }
            default: {
                char local[32];
                ASSERT_EQ(kivTLibCreateLocalRepoId(t_, local, sizeof local), 0u);
                kivTLibTypeRef element = type(false);
                uint32_t size = below(2) ? below(100) : uint32_t(rng_()), k = below(4);
                rc = k == 0   ? kivTLibCreateString(t_, local, f, size, &def)
                     : k == 1 ? kivTLibCreateWString(t_, local, f, size, &def)
                     : k == 2 ? kivTLibCreateSequence(t_, local, f, size, &element, &def)
                              : kivTLibCreateArray(t_, local, f, size, &element, &def);
            }
        }
        ASSERT_EQ(rc, 0u);
        ids_[def->kind].push_back(def->repoId);
    }

    std::vector<const char *> ids() const {
        std::vector<const char *> all{KIV_TLIB_ANONYMOUS_SCOPE_ID};
        for (auto &[kind, ids] : ids_) all.insert(all.end(), ids.begin(), ids.end());
        return all;
    }

  private:
    uint32_t below(size_t n) { return uint32_t(rng_() % n); }
    const char *keep(std::string text) { return texts_.emplace_back(std::move(text)).c_str(); }
    const char *fresh() { return keep("m" + std::to_string(++count_)); }
    // An existing definition of one of `kinds`, or null.
    const char *pick(std::initializer_list<kivTLibDefKind> kinds) {
        std::vector<const char *> all;
        for (kivTLibDefKind k : kinds) all.insert(all.end(), ids_[k].begin(), ids_[k].end());
        return all.empty() ? nullptr : all[below(all.size())];
    }
    // An existing definition of `kind` or any id: references of these kinds are not looked up.
    const char *named(kivTLibDefKind kind) {
        const char *found = pick({kind});
        return found && below(5) ? found
                                 : keep("IDL:Elsewhere/T" + std::to_string(below(5)) + ":1.0");
    }
    kivTLibTypeRef type(bool allowVoid) {
        static const std::pair<uint32_t, kivTLibDefKind> refs[] = {
            {KIV_TYPE_STRING, KIV_DEF_STRING},      {KIV_TYPE_WSTRING, KIV_DEF_WSTRING},
            {KIV_TYPE_SEQUENCE, KIV_DEF_SEQUENCE},  {KIV_TYPE_ARRAY, KIV_DEF_ARRAY},
            {KIV_TYPE_STRUCT, KIV_DEF_STRUCT},      {KIV_TYPE_UNION, KIV_DEF_UNION},
            {KIV_TYPE_ENUM, KIV_DEF_ENUM},          {KIV_TYPE_ALIAS, KIV_DEF_ALIAS},
            {KIV_TYPE_INTERFACE, KIV_DEF_INTERFACE}};
        if (allowVoid && below(8) == 0) return {KIV_TYPE_VOID, nullptr};
        if (below(2)) {
            static const uint32_t basic[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 24, 25, 26};
            return {basic[below(std::size(basic))], nullptr};
        }
        auto [tag, kind] = refs[below(std::size(refs))];
        if (tag <= KIV_TYPE_WSTRING) return {tag, below(2) ? pick({kind}) : nullptr};
        if (tag <= KIV_TYPE_ARRAY && tag != KIV_TYPE_ENUM) {
            const char *id = pick({kind});  // looked up when compared: must exist
            return id ? kivTLibTypeRef{tag, id} : kivTLibTypeRef{KIV_TYPE_LONG, nullptr};
        }
        return {tag, named(kind)};
    }
    // Any bits of `tag`'s payload, but never a NaN (which differs from itself).
    kivTLibValue value(uint32_t tag) {
        kivTLibValue v{tag, {}};
        v.d128[0] = (uint64_t{rng_()} << 32) | rng_();
        v.d128[1] = (uint64_t{rng_()} << 32) | rng_();
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

    kivTLib *t_;
    std::mt19937 rng_;
    std::deque<std::string> texts_;  // strings passed to the library, kept alive
    std::map<kivTLibDefKind, std::vector<const char *>> ids_;
    std::vector<kivTLibDef *> forwards_;
    uint32_t count_ = 0;
};

TEST(TLibRoundTrip, RandomLibrariesReadBackCompatibleAndUnchanged) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        kivtest::TempDir dir;
        std::string path = dir.file("random.tlb");
        tlibtest::Handle first = tlibtest::create(path);
        RandomLibrary library(first.get(), seed);
        for (int i = 0; i < 250 && !testing::Test::HasFatalFailure(); ++i) library.createOne();
        ASSERT_FALSE(testing::Test::HasFatalFailure()) << "seed " << seed;
        ASSERT_EQ(kivTLibFlush(first.get()), 0u);
        std::string before = kivtest::readFile(path);

        tlibtest::Handle second = tlibtest::open(path);
        for (const char *id : library.ids()) {
            kivTLibDef *a = nullptr, *b = nullptr;
            ASSERT_EQ(kivTLibGetDefinition(first.get(), id, &a), 0u);
            ASSERT_EQ(kivTLibGetDefinition(second.get(), id, &b), 0u) << id;
            EXPECT_EQ(kivTLibCheckCompatDef(first.get(), a, second.get(), b), 0u) << id;
            EXPECT_EQ(kivTLibCheckCompatDef(second.get(), b, first.get(), a), 0u) << id;
            EXPECT_EQ(kiv::tlib::encode(a), kiv::tlib::encode(b)) << id;
        }
        EXPECT_EQ(second->modified->count, 0u);
        EXPECT_EQ(kivTLibClose(second.release()), 0u);
        EXPECT_EQ(kivTLibClose(first.release()), 0u);
        EXPECT_EQ(kivtest::readFile(path), before) << "seed " << seed;
    }
}

}  // namespace
