// Property: a random but valid library, built through the creating operations, reads back
// from its file in a second handle as definitions compatible with (and encoded exactly like)
// the originals, and the second handle has nothing to write.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/hash.h"
#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib_fixtures.h"
#include "ust.h"

using namespace kiv::tlib;
using tlibtest::Handle;

namespace {

class RandomLibrary {
  public:
    RandomLibrary(kivTLib *tlib, uint32_t seed) : tlib_(tlib), rng_(seed) {}

    // Runs `count` random creating operations; every one must succeed.
    void build(int count) {
        ASSERT_EQ(kivTLibCreateRoot(tlib_, flags(), nullptr), 0u);
        ids_.push_back(KIV_TLIB_ROOT_ID);
        ids_.push_back(KIV_TLIB_ANONYMOUS_SCOPE_ID);
        byKind_[KIV_DEF_MODULE].push_back(KIV_TLIB_ROOT_ID);
        for (int i = 0; i < count; ++i) ASSERT_EQ(createOne(), 0u) << "operation " << i;
    }

    const std::vector<const char *> &ids() const { return ids_; }

  private:
    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < static_cast<uint32_t>(percent); }
    uint32_t flags() { return chance(30) ? uint32_t(rng_()) : 0; }

    const char *keep(std::string text) {
        texts_.push_back(std::move(text));
        return texts_.back().c_str();
    }
    const char *name() { return keep("n" + std::to_string(++counter_)); }
    // Mostly the id IDL derives, sometimes another form.
    const char *newId(const char *name) {
        if (chance(15)) return keep("DCE:0000-" + std::to_string(counter_) + ":3");
        return keep(std::string("IDL:R/") + name + ":1.0");
    }
    const char *localId() {
        char buffer[32];
        EXPECT_EQ(kivTLibCreateLocalRepoId(tlib_, buffer, sizeof buffer), 0u);
        return keep(buffer);
    }
    const char *randomText() {
        std::string s(below(12), ' ');
        for (char &c : s) c = static_cast<char>(1 + below(255));
        return keep(s);
    }
    // An existing definition of one of `kinds`, or null when there is none.
    const char *pick(std::initializer_list<kivTLibDefKind> kinds) {
        std::vector<const char *> all;
        for (kivTLibDefKind k : kinds) all.insert(all.end(), byKind_[k].begin(), byKind_[k].end());
        return all.empty() ? nullptr : all[below(static_cast<uint32_t>(all.size()))];
    }
    const char *anyScope() {
        return pick({KIV_DEF_MODULE, KIV_DEF_INTERFACE, KIV_DEF_STRUCT, KIV_DEF_UNION});
    }
    // An id for a tag that names definitions: an existing one, or any text (only string,
    // sequence and array references are ever looked up).
    const char *idFor(kivTLibDefKind kind) {
        const char *found = pick({kind});
        return found && chance(80) ? found
                                   : keep("IDL:Elsewhere/T" + std::to_string(below(5)) + ":1.0");
    }

    kivTLibTypeRef typeRef(bool allowVoid) {
        static const uint32_t basic[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 24, 25, 26};
        switch (below(10)) {
            case 0:
                return {allowVoid ? KIV_TYPE_VOID : KIV_TYPE_LONG, nullptr};
            case 1:
            case 2: {
                bool wide = chance(40);
                const char *bounded = pick({wide ? KIV_DEF_WSTRING : KIV_DEF_STRING});
                return {wide ? KIV_TYPE_WSTRING : KIV_TYPE_STRING, chance(50) ? bounded : nullptr};
            }
            case 3: {
                static const std::pair<uint32_t, kivTLibDefKind> named[] = {
                    {KIV_TYPE_STRUCT, KIV_DEF_STRUCT},
                    {KIV_TYPE_UNION, KIV_DEF_UNION},
                    {KIV_TYPE_ENUM, KIV_DEF_ENUM},
                    {KIV_TYPE_ALIAS, KIV_DEF_ALIAS},
                    {KIV_TYPE_INTERFACE, KIV_DEF_INTERFACE}};
                auto [tag, kind] = named[below(5)];
                return {tag, idFor(kind)};
            }
            case 4:
                if (const char *seq = pick({KIV_DEF_SEQUENCE})) return {KIV_TYPE_SEQUENCE, seq};
                break;
            case 5:
                if (const char *array = pick({KIV_DEF_ARRAY})) return {KIV_TYPE_ARRAY, array};
                break;
            default:
                break;
        }
        return {basic[below(std::size(basic))], nullptr};
    }

    // A value of `tag` that equals itself (no NaN), with any bits otherwise.
    kivTLibValue value(uint32_t tag) {
        kivTLibValue v{tag, {}};
        v.d128[0] = (uint64_t{rng_()} << 32) | rng_();
        v.d128[1] = (uint64_t{rng_()} << 32) | rng_();
        switch (tag) {
            case KIV_TYPE_FLOAT:
                if (std::isnan(v.f32)) v.f32 = 1.5f;
                break;
            case KIV_TYPE_DOUBLE:
                if (std::isnan(v.f64)) v.f64 = -2.5;
                break;
            case KIV_TYPE_DECIMAL32:
                if (ustDec64QuietNotEqual(ustDec32ToDec64(v.u32), ustDec32ToDec64(v.u32)))
                    v.u32 = 0x3200000Au;
                break;
            case KIV_TYPE_DECIMAL64:
                if (ustDec64QuietNotEqual(v.u64, v.u64)) v.u64 = 0x31A000000000000Aull;
                break;
            case KIV_TYPE_DECIMAL128:
                if (ustDec128QuietNotEqual(v.d128, v.d128)) v.d128[1] = 0x3040000000000000ull;
                break;
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                v.str = randomText();
                break;
            default:
                break;
        }
        return v;
    }

    kivResult createOne() {
        const char *n = name();
        const char *id = newId(n);
        uint32_t f = flags();
        kivTLibDef *def = nullptr;
        kivResult rc = 0;
        switch (below(13)) {
            case 0:
                rc = kivTLibCreateModule(tlib_, n, id, pick({KIV_DEF_MODULE}), f, &def);
                break;
            case 1:
                rc = kivTLibCreateInterfaceFwd(tlib_, n, id, pick({KIV_DEF_MODULE}), f, &def);
                if (rc == 0) forwards_.push_back(def);
                break;
            case 2:
            case 3:
                return createInterface(n, id, f);
            case 4: {
                std::vector<kivTLibStructMember> members(1 + below(4));
                for (auto &m : members) m = {name(), typeRef(false)};
                rc = kivTLibCreateStruct(tlib_, n, id, anyScope(), f, uint32_t(members.size()),
                                         members.data(), &def);
                break;
            }
            case 5: {
                static const uint32_t tags[] = {2, 4, 6, 7, 8, 9, 10, 11, 19};
                uint32_t tag = tags[below(std::size(tags))];
                kivTLibTypeRef discriminator{tag,
                                             tag == KIV_TYPE_ENUM ? idFor(KIV_DEF_ENUM) : nullptr};
                std::vector<kivTLibUnionCase> cases(1 + below(4));
                for (auto &c : cases)
                    c = {name(), typeRef(false), chance(25) ? kivTLibValue{} : value(tag)};
                rc = kivTLibCreateUnion(tlib_, n, id, anyScope(), f, &discriminator,
                                        uint32_t(cases.size()), cases.data(), &def);
                break;
            }
            case 6: {
                std::vector<kivTLibEnumMember> members(1 + below(4));
                for (auto &m : members) m = {name(), uint32_t(rng_())};
                rc = kivTLibCreateEnum(tlib_, n, id, anyScope(), f, uint32_t(members.size()),
                                       members.data(), &def);
                break;
            }
            case 7: {
                kivTLibTypeRef t = typeRef(false);
                rc = kivTLibCreateAlias(tlib_, n, id, pick({KIV_DEF_MODULE, KIV_DEF_INTERFACE}), f,
                                        &t, &def);
                break;
            }
            case 8: {
                static const uint32_t tags[] = {2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                11, 12, 13, 15, 16, 19, 24, 25, 26};
                uint32_t tag = tags[below(std::size(tags))];
                kivTLibTypeRef t{tag, nullptr};
                if (tag == KIV_TYPE_ENUM) t.repoId = idFor(KIV_DEF_ENUM);
                if (tag == KIV_TYPE_STRING || tag == KIV_TYPE_WSTRING)
                    t = {tag, chance(50) ? pick({tag == KIV_TYPE_STRING ? KIV_DEF_STRING
                                                                        : KIV_DEF_WSTRING})
                                         : nullptr};
                kivTLibValue v = value(tag);
                rc = kivTLibCreateConstant(tlib_, n, id, pick({KIV_DEF_MODULE, KIV_DEF_INTERFACE}),
                                           f, &t, &v, &def);
                break;
            }
            default:
                return createAnonymous(f);
        }
        if (rc == 0) remember(def);
        return rc;
    }

    kivResult createInterface(const char *n, const char *id, uint32_t f) {
        std::vector<kivTLibMember> members(below(5));
        std::deque<std::vector<kivTLibParam>> params;
        for (auto &m : members) {
            if (chance(40)) {
                m = {KIV_MEMBER_ATTRIBUTE, name(), uint32_t(rng_()), typeRef(false), 0, nullptr};
                continue;
            }
            params.emplace_back(below(4));
            for (auto &p : params.back()) p = {name(), typeRef(false), 1 + below(3)};
            m = {KIV_MEMBER_OPERATION,
                 name(),
                 uint32_t(rng_()),
                 typeRef(true),
                 uint32_t(params.back().size()),
                 params.back().data()};
        }
        const char *base = chance(50) ? pick({KIV_DEF_INTERFACE}) : nullptr;
        kivTLibDef *def = nullptr;
        // Half of the time, complete a forward declaration instead of making a new interface.
        if (!forwards_.empty() && chance(50)) {
            kivTLibDef *fwd = forwards_.back();
            forwards_.pop_back();
            kivResult rc =
                kivTLibCreateInterface(tlib_, fwd->name, fwd->repoId, fwd->scopeId, f, base,
                                       uint32_t(members.size()), members.data(), &def);
            if (rc == 0 && def != fwd) ADD_FAILURE() << "completion made a new definition";
            return rc;
        }
        kivResult rc = kivTLibCreateInterface(tlib_, n, id, pick({KIV_DEF_MODULE}), f, base,
                                              uint32_t(members.size()), members.data(), &def);
        if (rc == 0) remember(def);
        return rc;
    }

    kivResult createAnonymous(uint32_t f) {
        const char *id = localId();
        kivTLibDef *def = nullptr;
        kivTLibTypeRef element = typeRef(false);
        uint32_t size = chance(50) ? below(100) : uint32_t(rng_());
        uint32_t k = below(4);
        kivResult rc = k == 0   ? kivTLibCreateString(tlib_, id, f, size, &def)
                       : k == 1 ? kivTLibCreateWString(tlib_, id, f, size, &def)
                       : k == 2 ? kivTLibCreateSequence(tlib_, id, f, size, &element, &def)
                                : kivTLibCreateArray(tlib_, id, f, size, &element, &def);
        if (rc == 0) remember(def);
        return rc;
    }

    void remember(kivTLibDef *def) {
        ids_.push_back(def->repoId);
        byKind_[def->kind].push_back(def->repoId);
    }

    kivTLib *tlib_;
    std::mt19937 rng_;
    std::deque<std::string> texts_;  // strings passed to the library, kept alive
    std::map<kivTLibDefKind, std::vector<const char *>> byKind_;
    std::vector<const char *> ids_;
    std::vector<kivTLibDef *> forwards_;
    int counter_ = 0;
};

ino_t inodeOf(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

TEST(TLibRoundTrip, RandomLibrariesReadBackCompatibleAndUnchanged) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        kivtest::TempDir dir;
        std::string path = dir.file("random.tlb");
        Handle first = tlibtest::create(path);
        RandomLibrary library(first.get(), seed);
        library.build(250);
        if (HasFatalFailure()) return;
        ASSERT_EQ(kivTLibFlush(first.get()), 0u);

        Handle second = tlibtest::open(path);
        for (const char *id : library.ids()) {
            kivTLibDef *a = nullptr, *b = nullptr;
            ASSERT_EQ(kivTLibGetDefinition(first.get(), id, &a), 0u);
            ASSERT_EQ(kivTLibGetDefinition(second.get(), id, &b), 0u) << id;
            EXPECT_EQ(kivTLibCheckCompatDef(first.get(), a, second.get(), b), 0u) << id;
            EXPECT_EQ(kivTLibCheckCompatDef(second.get(), b, first.get(), a), 0u) << id;
            EXPECT_EQ(encode(a), encode(b)) << id;
        }
        std::string bytes = kivtest::readFile(path);
        ino_t inode = inodeOf(path);
        EXPECT_EQ(second->modified->count, 0u);
        EXPECT_EQ(kivTLibClose(second.release()), 0u);
        EXPECT_EQ(kivTLibClose(first.release()), 0u);
        EXPECT_EQ(inodeOf(path), inode);
        EXPECT_EQ(kivtest::readFile(path), bytes);
    }
}

}  // namespace
