// SPDX-License-Identifier: Apache-2.0
// Random libraries built by the creating calls print as IDL that compiles back to the same
// records, byte for byte, and prints the same again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <deque>
#include <map>
#include <random>
#include <set>

#include <unistd.h>
#include <tuple>

#include "idl_checks.h"
#include "idl_compiler.h"
#include "idl_printer.h"
#include "idl_text.h"
#include "test_support.h"
#include "tlib_fixtures.h"

namespace {

using kivtool::Library;
using namespace kivtool::idl;

class RandomLibrary {
  public:
    RandomLibrary(kivTLib *t, uint64_t seed) : t_(t), rng_(seed) {}

    void build(int steps) {
        uint32_t rootFlags = chance(4) ? pick(1, 0xFFFF) << 16 : 0;
        kivTLibCreateRoot(t_, rootFlags, nullptr);
        modules_.push_back(KIV_TLIB_ROOT_ID);
        paths_[KIV_TLIB_ROOT_ID] = "";
        for (int i = 0; i < steps; ++i) step();
    }

  private:
    uint32_t pick(uint32_t low, uint32_t high) {
        return std::uniform_int_distribution<uint32_t>(low, high)(rng_);
    }
    bool chance(uint32_t oneIn) { return pick(1, oneIn) == 1; }
    template <class T>
    const T &any(const std::vector<T> &v) {
        return v[pick(0, static_cast<uint32_t>(v.size() - 1))];
    }
    uint32_t flags() { return chance(3) ? pick(1, 0xFFFF) << 16 : 0; }

    std::string name() {
        static const std::vector<std::string> odd = {
            "module",   "string", "_under",    "two words", "",    "na\xc3\xafve", "NaN",
            "Infinity", "bits",   "anonymous", "TRUE",      "x`y", "a\"b",         "0digit"};
        if (chance(8)) return any(odd);
        if (chance(10) && !names_.empty()) return any(names_);  // a clash
        std::string n = "n" + std::to_string(next_++);
        names_.push_back(n);
        return n;
    }

    // A name that is not in `used` (compared without case), which it joins: the compiler
    // refuses names repeated in one declaration.
    std::string unusedName(std::set<std::string> &used) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::string n = name();
            if (used.insert(foldCase(n)).second) return n;
        }
        std::string n = "u" + std::to_string(next_++);
        used.insert(n);
        return n;
    }

    // A definition's name, never an enumerator's (enumerators are names of their scope).
    std::string definitionName() {
        for (;;) {
            std::string n = name();
            if (!enumerators_.count(foldCase(n))) {
                definitions_.insert(foldCase(n));
                return n;
            }
        }
    }

    std::string enumeratorName() {
        std::set<std::string> taken = definitions_;
        taken.insert(enumerators_.begin(), enumerators_.end());
        std::string n = unusedName(taken);
        enumerators_.insert(foldCase(n));
        return n;
    }

    // An interface member's name, whose slots no other member (nor a base slot) takes.
    std::string memberName(bool attribute) {
        for (;;) {
            std::string n = name();
            std::vector<std::string> slots = slotNames(n, attribute, false);
            slots.push_back(n);
            bool free = true;
            for (auto &slot : slots) free = free && !slots_.count(foldCase(slot));
            if (!free) continue;
            for (auto &slot : slots) slots_.insert(foldCase(slot));
            return n;
        }
    }

    std::string id(const std::string &scope, const std::string &n) {
        if (chance(8)) {
            static const std::vector<std::string> odd = {
                "IDL:odd/id:2.0", "DCE:1234", "weird \"id\"\n\t", "LOCAL:77", "IDL::1.0", ""};
            return any(odd) + std::to_string(next_++);
        }
        std::string path = paths_[scope].empty() ? n : paths_[scope] + "/" + n;
        return "IDL:" + path + ":1.0";
    }

    void remember(const std::string &scope, const std::string &n, const std::string &repoId) {
        paths_[repoId] = paths_[scope].empty() ? n : paths_[scope] + "/" + n;
    }

    std::string localId() {
        char buffer[32];
        kivTLibCreateLocalRepoId(t_, buffer, sizeof buffer);
        return buffer;
    }

    // An anonymous type made now (it may go unused, be shared, or carry flags or an odd id).
    std::string anonymous(int depth = 0) {
        std::string repoId = chance(6) ? "ANON:" + std::to_string(next_++) : localId();
        uint32_t f = chance(8) ? flags() : 0;
        kivResult rc;
        switch (pick(0, 3)) {
            case 0:
                rc = kivTLibCreateString(t_, repoId.c_str(), f, pick(0, 300), nullptr);
                break;
            case 1:
                rc = kivTLibCreateWString(t_, repoId.c_str(), f, pick(0, 9), nullptr);
                break;
            case 2: {
                kivTLibTypeRef e = type(depth + 1);
                rc = kivTLibCreateSequence(t_, repoId.c_str(), f, pick(0, 3) * 5, &e, nullptr);
                break;
            }
            default: {
                kivTLibTypeRef e = type(depth + 1);
                rc = kivTLibCreateArray(t_, repoId.c_str(), f, pick(1, 12), &e, nullptr);
                break;
            }
        }
        if (rc == 0) anonymous_.push_back(repoId);
        return repoId;
    }

    kivTLibTypeRef type(int depth = 0, bool allowVoid = false) {
        static const kivTLibTypeTag basic[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 24, 25, 26};
        kivTLibTypeRef r{};
        switch (pick(0, 9)) {
            case 0:
            case 1:
                r.tag = basic[pick(0, 14)];
                return r;
            case 2:
                r.tag = chance(2) ? KIV_TYPE_STRING : KIV_TYPE_WSTRING;
                return r;
            case 3:
            case 4: {
                std::string anon = depth < 3 && (anonymous_.empty() || chance(2))
                                       ? anonymous(depth)
                                       : (anonymous_.empty() ? "LOCAL:999" : any(anonymous_));
                kivTLibDef *d = nullptr;
                kivTLibGetDefinition(t_, anon.c_str(), &d);
                r.tag = !d || chance(10)              ? KIV_TYPE_SEQUENCE
                        : d->kind == KIV_DEF_STRING   ? KIV_TYPE_STRING
                        : d->kind == KIV_DEF_WSTRING  ? KIV_TYPE_WSTRING
                        : d->kind == KIV_DEF_SEQUENCE ? KIV_TYPE_SEQUENCE
                                                      : KIV_TYPE_ARRAY;
                r.repoId = keep(anon);
                return r;
            }
            case 5:
                if (allowVoid) {
                    r.tag = KIV_TYPE_VOID;
                    return r;
                }
                [[fallthrough]];
            default: {
                if (named_.empty() || chance(12)) {
                    r.tag = KIV_TYPE_STRUCT;
                    r.repoId = keep("IDL:dangling/" + std::to_string(next_++) + ":1.0");
                    return r;
                }
                auto &[repoId, kind] = any(named_);
                r.tag = chance(10)               ? KIV_TYPE_UNION  // a tag that does not fit
                        : kind == KIV_DEF_STRUCT ? KIV_TYPE_STRUCT
                        : kind == KIV_DEF_UNION  ? KIV_TYPE_UNION
                        : kind == KIV_DEF_ENUM   ? KIV_TYPE_ENUM
                        : kind == KIV_DEF_ALIAS  ? KIV_TYPE_ALIAS
                                                 : KIV_TYPE_INTERFACE;
                r.repoId = keep(repoId);
                return r;
            }
        }
    }

    const char *keep(const std::string &s) { return strings_.emplace_back(s).c_str(); }

    std::string text() {
        std::string s;
        for (uint32_t i = pick(0, 12); i > 0; --i)
            s += static_cast<char>(chance(3) ? pick(1, 255) : pick(0x20, 0x7E));
        return s;
    }

    kivTLibValue value(kivTLibTypeTag tag) {
        kivTLibValue v{};
        v.tag = tag;
        uint64_t bits = std::uniform_int_distribution<uint64_t>()(rng_);
        switch (tag) {
            case KIV_TYPE_BOOLEAN:
                v.u8 = chance(6) ? static_cast<uint8_t>(bits) : bits & 1;
                break;
            case KIV_TYPE_OCTET:
            case KIV_TYPE_CHAR:
                v.u8 = static_cast<uint8_t>(bits);
                break;
            case KIV_TYPE_WCHAR:
            case KIV_TYPE_SHORT:
            case KIV_TYPE_USHORT:
                v.u16 = static_cast<uint16_t>(bits);
                break;
            case KIV_TYPE_LONG:
            case KIV_TYPE_ULONG:
            case KIV_TYPE_ENUM:
                v.u32 = chance(2) ? pick(0, 4) : static_cast<uint32_t>(bits);
                break;
            case KIV_TYPE_FLOAT: {
                static const float special[] = {0.0f,
                                                -0.0f,
                                                std::numeric_limits<float>::quiet_NaN(),
                                                -std::numeric_limits<float>::infinity(),
                                                1.5f,
                                                1e-45f};
                if (chance(2))
                    v.f32 = special[pick(0, 5)];
                else
                    v.u32 = static_cast<uint32_t>(bits);
                break;
            }
            case KIV_TYPE_DOUBLE: {
                static const double special[] = {0.0,
                                                 -0.0,
                                                 std::numeric_limits<double>::quiet_NaN(),
                                                 std::numeric_limits<double>::infinity(),
                                                 0.1,
                                                 5e-324};
                if (chance(2))
                    v.f64 = special[pick(0, 5)];
                else
                    v.u64 = bits;
                break;
            }
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                v.str = keep(text());
                break;
            case KIV_TYPE_DECIMAL32:
                v.u32 = decimal(32, bits);
                break;
            case KIV_TYPE_DECIMAL64:
                v.u64 = decimal(64, bits);
                break;
            case KIV_TYPE_DECIMAL128:
                v.d128[0] = bits;
                v.d128[1] = chance(2) ? std::uniform_int_distribution<uint64_t>()(rng_)
                                      : 0x3040000000000000ull;
                break;
            default:
                v.u64 = bits;
                break;
        }
        return v;
    }

    // Decimal bits: random patterns (NaN payloads, non-canonical ones) or literal values.
    uint64_t decimal(int width, uint64_t bits) {
        if (chance(2)) return width == 32 ? static_cast<uint32_t>(bits) : bits;
        static const char *const texts[] = {"1.00",      "-0",   "1E+3",     "NaN",
                                            "-Infinity", "sNaN", "0.000001", "9999999"};
        auto b = decimalBits(texts[pick(0, 7)], width);
        return b ? static_cast<uint64_t>(*b) : 0;
    }

    std::string scopeFor(kivTLibDefKind kind) {
        std::vector<std::string> scopes = modules_;
        if (kind != KIV_DEF_MODULE && kind != KIV_DEF_INTERFACE) {
            scopes.insert(scopes.end(), interfaces_.begin(), interfaces_.end());
            if (kind != KIV_DEF_CONSTANT && kind != KIV_DEF_ALIAS)
                scopes.insert(scopes.end(), composites_.begin(), composites_.end());
        }
        return any(scopes);
    }

    std::vector<kivTLibMember> members(std::vector<std::vector<kivTLibParam>> &params) {
        std::vector<kivTLibMember> list;
        uint32_t n = pick(0, 4);
        params.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            kivTLibMember m{};
            m.kind = chance(2) ? KIV_MEMBER_ATTRIBUTE : KIV_MEMBER_OPERATION;
            m.name = keep(memberName(m.kind == KIV_MEMBER_ATTRIBUTE));
            m.flags =
                chance(3) ? static_cast<uint32_t>(rng_()) : (chance(2) ? KIV_MEMBER_READONLY : 0);
            m.type = type(0, m.kind == KIV_MEMBER_OPERATION);
            if (m.kind == KIV_MEMBER_OPERATION) {
                std::set<std::string> used;
                for (uint32_t p = pick(0, 3); p > 0; --p)
                    params[i].push_back({keep(unusedName(used)), type(), pick(1, 3)});
                m.paramCount = static_cast<uint32_t>(params[i].size());
                m.params = params[i].data();
            }
            list.push_back(m);
        }
        return list;
    }

    void step() {
        switch (pick(0, 13)) {
            case 0: {
                std::string scope = scopeFor(KIV_DEF_MODULE), n = definitionName(),
                            repoId = id(scope, n);
                if (kivTLibCreateModule(t_, n.c_str(), repoId.c_str(), scope.c_str(), 0, nullptr) ==
                    0) {
                    modules_.push_back(repoId);
                    remember(scope, n, repoId);
                }
                break;
            }
            case 1:
            case 2: {  // an interface: new, forward, or completing a forward one
                std::string scope = scopeFor(KIV_DEF_MODULE), n = definitionName(),
                            repoId = id(scope, n);
                if (!forward_.empty() && chance(2)) {
                    auto [fid, fn, fscope] = forward_.back();
                    forward_.pop_back();
                    repoId = fid;
                    n = fn;
                    scope = fscope;
                } else if (chance(3)) {
                    if (kivTLibCreateInterfaceFwd(t_, n.c_str(), repoId.c_str(), scope.c_str(),
                                                  flags(), nullptr) == 0) {
                        forward_.emplace_back(repoId, n, scope);
                        interfaces_.push_back(repoId);
                        named_.emplace_back(repoId, KIV_DEF_INTERFACE);
                        remember(scope, n, repoId);
                    }
                    break;
                }
                const char *base = nullptr;
                if (!interfaces_.empty() && chance(2)) base = keep(any(interfaces_));
                std::vector<std::vector<kivTLibParam>> params;
                std::vector<kivTLibMember> list = members(params);
                if (kivTLibCreateInterface(t_, n.c_str(), repoId.c_str(), scope.c_str(), flags(),
                                           base, static_cast<uint32_t>(list.size()), list.data(),
                                           nullptr) == 0 &&
                    std::find(interfaces_.begin(), interfaces_.end(), repoId) ==
                        interfaces_.end()) {
                    interfaces_.push_back(repoId);
                    named_.emplace_back(repoId, KIV_DEF_INTERFACE);
                    remember(scope, n, repoId);
                }
                break;
            }
            case 3:
            case 4: {
                std::string scope = scopeFor(KIV_DEF_STRUCT), n = definitionName(),
                            repoId = id(scope, n);
                std::vector<kivTLibStructMember> list;
                std::set<std::string> used;
                for (uint32_t i = pick(1, 4); i > 0; --i)
                    list.push_back({keep(unusedName(used)), type()});
                if (kivTLibCreateStruct(t_, n.c_str(), repoId.c_str(), scope.c_str(), flags(),
                                        static_cast<uint32_t>(list.size()), list.data(),
                                        nullptr) == 0) {
                    composites_.push_back(repoId);
                    named_.emplace_back(repoId, KIV_DEF_STRUCT);
                    remember(scope, n, repoId);
                }
                break;
            }
            case 5: {
                std::string scope = scopeFor(KIV_DEF_UNION), n = definitionName(),
                            repoId = id(scope, n);
                static const kivTLibTypeTag tags[] = {2, 4, 6, 7, 8, 9, 10, 11, 19};
                kivTLibTypeRef d{tags[pick(0, 8)], nullptr};
                if (d.tag == KIV_TYPE_ENUM) {
                    std::vector<std::string> enums;
                    for (auto &[e, kind] : named_)
                        if (kind == KIV_DEF_ENUM) enums.push_back(e);
                    d.repoId = keep(enums.empty() || chance(5) ? "IDL:noenum:1.0" : any(enums));
                }
                std::vector<kivTLibUnionCase> list;
                std::set<std::string> used, labels;
                for (uint32_t i = pick(1, 4); i > 0; --i) {
                    kivTLibValue label = chance(5) ? kivTLibValue{} : value(d.tag);
                    if (d.tag == KIV_TYPE_ENUM && chance(2)) label.u32 = pick(0, 3);
                    if (!labels
                             .insert(labelKey(label.tag, label.u64, label.d128[1],
                                              label.tag == KIV_VALUE_NONE))
                             .second)
                        continue;
                    list.push_back({keep(unusedName(used)), type(), label});
                }
                if (kivTLibCreateUnion(t_, n.c_str(), repoId.c_str(), scope.c_str(), flags(), &d,
                                       static_cast<uint32_t>(list.size()), list.data(),
                                       nullptr) == 0) {
                    composites_.push_back(repoId);
                    named_.emplace_back(repoId, KIV_DEF_UNION);
                    remember(scope, n, repoId);
                }
                break;
            }
            case 6: {
                std::string scope = scopeFor(KIV_DEF_ENUM), n = definitionName(),
                            repoId = id(scope, n);
                std::vector<kivTLibEnumMember> list;
                uint32_t value = 0;
                for (uint32_t i = pick(1, 5); i > 0; --i) {
                    value = chance(4) ? static_cast<uint32_t>(rng_()) % 7 : value;
                    list.push_back({keep(enumeratorName()), value++});
                }
                if (kivTLibCreateEnum(t_, n.c_str(), repoId.c_str(), scope.c_str(), flags(),
                                      static_cast<uint32_t>(list.size()), list.data(),
                                      nullptr) == 0) {
                    named_.emplace_back(repoId, KIV_DEF_ENUM);
                    remember(scope, n, repoId);
                }
                break;
            }
            case 7: {
                std::string scope = scopeFor(KIV_DEF_ALIAS), n = definitionName(),
                            repoId = id(scope, n);
                kivTLibTypeRef r = type();
                if (kivTLibCreateAlias(t_, n.c_str(), repoId.c_str(), scope.c_str(), flags(), &r,
                                       nullptr) == 0) {
                    named_.emplace_back(repoId, KIV_DEF_ALIAS);
                    remember(scope, n, repoId);
                }
                break;
            }
            case 8:
            case 9:
            case 10: {
                std::string scope = scopeFor(KIV_DEF_CONSTANT), n = definitionName(),
                            repoId = id(scope, n);
                static const kivTLibTypeTag tags[] = {2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                      11, 12, 13, 15, 16, 19, 24, 25, 26};
                kivTLibTypeRef r{tags[pick(0, 17)], nullptr};
                if ((r.tag == KIV_TYPE_STRING || r.tag == KIV_TYPE_WSTRING) && chance(2)) {
                    std::string anon = localId();
                    if (r.tag == KIV_TYPE_STRING)
                        kivTLibCreateString(t_, anon.c_str(), 0, pick(0, 20), nullptr);
                    else
                        kivTLibCreateWString(t_, anon.c_str(), 0, pick(0, 20), nullptr);
                    anonymous_.push_back(anon);
                    r.repoId = keep(anon);
                }
                if (r.tag == KIV_TYPE_ENUM) {
                    std::vector<std::string> enums;
                    for (auto &[e, kind] : named_)
                        if (kind == KIV_DEF_ENUM) enums.push_back(e);
                    r.repoId = keep(enums.empty() || chance(5) ? "IDL:noenum:1.0" : any(enums));
                }
                kivTLibValue v = value(r.tag);
                kivTLibCreateConstant(t_, n.c_str(), repoId.c_str(), scope.c_str(), flags(), &r, &v,
                                      nullptr);
                break;
            }
            case 11:
                anonymous();
                break;
            case 12:
                if (chance(3)) localId();  // a number used up without a definition
                break;
            default:
                break;
        }
    }

    kivTLib *t_;
    std::mt19937_64 rng_;
    uint64_t next_ = 0;
    std::deque<std::string> strings_;
    std::vector<std::string> names_, modules_, interfaces_, composites_, anonymous_;
    std::vector<std::pair<std::string, kivTLibDefKind>> named_;
    std::vector<std::tuple<std::string, std::string, std::string>> forward_;
    std::map<std::string, std::string> paths_;
    std::set<std::string> definitions_, enumerators_;  // every name given, without case
    std::set<std::string> slots_{"comqueryinterface", "comaddref", "comrelease",
                                 "queryinterface",    "addref",    "release",
                                 "interfaceid"};
};

std::string dump(const std::string &path) {
    std::unique_ptr<Library> library;
    EXPECT_EQ(Library::open(path, &library), 0u);
    return library ? printLibrary(*library) : "";
}

int libraryCount() {
    const char *count = std::getenv("KIV_IDL_ROUNDTRIP_COUNT");
    return count ? std::atoi(count) : 2000;
}

TEST(IdlRoundTrip, RandomLibrariesCompileBackToTheSameRecords) {
    // Every flush syncs the file; in memory-backed storage that costs nothing, so the thousands
    // of libraries take seconds instead of minutes.
    kivtest::TempDir dir = kivtest::TempDir::inMemory();
    std::string original = dir.file("original.tlb");
    std::string rebuilt = dir.file("rebuilt.tlb");
    int count = libraryCount();
    for (int seed = 0; seed < count; ++seed) {
        {
            tlibtest::Handle t = tlibtest::create(original);
            RandomLibrary(t.get(), static_cast<uint64_t>(seed)).build(10 + seed % 40);
        }
        std::string first = dump(original);
        std::remove(rebuilt.c_str());
        CompileResult result =
            compileLibrary(rebuilt, {{"dump.idl", first, true}}, CompileOptions{}, diskReader());
        ASSERT_EQ(result.errors, 0u) << "seed " << seed << "\n"
                                     << result.diagnostics << "\n"
                                     << first;
        auto before = tlibtest::readRecords(original);
        auto after = tlibtest::readRecords(rebuilt);
        ASSERT_EQ(before.size(), after.size()) << "seed " << seed << "\n" << first;
        for (auto &[key, bytes] : before) {
            auto other = after.find(key);
            ASSERT_TRUE(other != after.end()) << "seed " << seed << ": missing " << key << "\n"
                                              << first;
            ASSERT_EQ(tlibtest::hex(bytes), tlibtest::hex(other->second))
                << "seed " << seed << ": record " << key << "\n"
                << first;
        }
        ASSERT_EQ(first, dump(rebuilt)) << "seed " << seed;
    }
}

}  // namespace
