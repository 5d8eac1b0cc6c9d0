// SPDX-License-Identifier: Apache-2.0
// Type library test helpers: handles, byte strings, raw records, the every-kind library.
#include "tlib_fixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <bit>
#include <sstream>

#include "core/hash.h"
#include "tlib/handle.h"
#include "tlib/store.h"

namespace tlibtest {

Handle create(const std::string &path, uint32_t flags) {
    kivTLib *t = nullptr;
    EXPECT_EQ(kivTLibCreate(path.c_str(), flags, &t), 0u) << path;
    return Handle(t);
}

Handle open(const std::string &path, uint32_t flags) {
    kivTLib *t = nullptr;
    EXPECT_EQ(kivTLibOpen(path.c_str(), flags, &t), 0u) << path;
    return Handle(t);
}

kivResult openResult(const std::string &path, uint32_t flags) {
    kivTLib *t = reinterpret_cast<kivTLib *>(1);
    kivResult rc = kivTLibOpen(path.c_str(), flags, &t);
    EXPECT_TRUE(rc == 0 || t == nullptr) << path;
    kivTLibClose(t);
    return rc;
}

kivResult addModule(kivTLib *t, const std::string &name) {
    return kivTLibCreateModule(t, name.c_str(), ("IDL:" + name + ":1.0").c_str(), KIV_TLIB_ROOT_ID,
                               0, nullptr);
}

Bytes bytes(const std::string &pattern) {
    Bytes out;
    std::istringstream in(pattern);
    for (std::string t; in >> t;) {
        if (t[0] == '\'')
            out.insert(out.end(), t.begin() + 1, t.end() - 1);
        else
            out.push_back(uint8_t(std::stoul(t, nullptr, 16)));
    }
    return out;
}

std::string hex(const Bytes &b) {
    std::string s;
    for (uint8_t c : b) s += {"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15], ' '};
    return s;
}

std::string key(const std::string &repoId) {
    return repoId + '\0';
}

Records readRecords(const std::string &path) {
    Records out;
    EXPECT_EQ(kiv::tlib::readAll(path,
                                 [&out](std::string_view k, std::span<const uint8_t> v) {
                                     out[std::string(k)] = Bytes(v.begin(), v.end());
                                 }),
              0u);
    return out;
}

void putRecords(const std::string &path, const Records &records) {
    kiv::tlib::Database db;
    ASSERT_EQ(kiv::tlib::Database::open(path, O_RDWR | O_CREAT, 0666, &db), 0u);
    for (auto &[k, v] : records) {
        DBT key{const_cast<char *>(k.data()), k.size()};
        DBT value{const_cast<uint8_t *>(v.data()), v.size()};
        ASSERT_EQ(db.get()->put(db.get(), &key, &value, 0), 0);
    }
}

HandleState stateOf(const kivTLib *t) {
    return {t->definitions->count, t->modified.size(), (t->flags & KIV_TLIB_COUNTER_MODIFIED) != 0};
}

bool isPending(const kivTLib *t, const kivTLibDef *def) {
    return t->modified.contains(def);
}

void addEveryKind(kivTLib *t) {
    const char *m = "IDL:M:1.0";
    auto constant = [&](const char *name, kivTLibTypeRef type, kivTLibValue v) {
        std::string id = std::string("IDL:M/") + name + ":1.0";
        EXPECT_EQ(kivTLibCreateConstant(t, name, id.c_str(), m, 0, &type, &v, nullptr), 0u);
    };
    // clang-format off
    const struct { const char *name; uint32_t tag; uint64_t bits; } numbers[] = {
        {"B", KIV_TYPE_BOOLEAN, 1}, {"O", KIV_TYPE_OCTET, 255}, {"C", KIV_TYPE_CHAR, '\''},
        {"W", KIV_TYPE_WCHAR, 0x20AC}, {"S", KIV_TYPE_SHORT, 0xFFFF}, {"US", KIV_TYPE_USHORT, 0xFFFF},
        {"L", KIV_TYPE_LONG, 0x80000000u}, {"UL", KIV_TYPE_ULONG, ~0u},
        {"LL", KIV_TYPE_LONGLONG, 1ull << 63}, {"ULL", KIV_TYPE_ULONGLONG, ~0ull},
        {"F", KIV_TYPE_FLOAT, std::bit_cast<uint32_t>(0.1f)},
        {"D", KIV_TYPE_DOUBLE, std::bit_cast<uint64_t>(-0.0)},
        {"D32", KIV_TYPE_DECIMAL32, (99u << 23) | 100},                  // 1.00
        {"D64", KIV_TYPE_DECIMAL64, (1ull << 63) | (392ull << 53) | 1},  // -0.000001
        {"E64", KIV_TYPE_DECIMAL64, (401ull << 53) | 1}};                // 1E+3
    // clang-format on
    EXPECT_EQ(kivTLibCreateRoot(t, 0, nullptr), 0u);
    EXPECT_EQ(kivTLibCreateModule(t, "M", m, KIV_TLIB_ROOT_ID, 0, nullptr), 0u);
    for (const auto &n : numbers) {
        kivTLibValue v{n.tag, {}};
        v.u64 = n.bits;  // the payload's low bits (little-endian host)
        constant(n.name, {n.tag, nullptr}, v);
    }
    kivTLibValue v{KIV_TYPE_DECIMAL128, {}};
    v.d128[0] = 0x378D8E63FFFFFFFFull;  // 10^34 - 1 at exponent -2
    v.d128[1] = (6174ull << 49) | 0x1ED09BEAD87C0ull;
    constant("D128", {KIV_TYPE_DECIMAL128, nullptr}, v);
    v = {KIV_TYPE_STRING, {.str = "say \"hi\"\n"}};
    constant("STR", {KIV_TYPE_STRING, nullptr}, v);
    v.tag = KIV_TYPE_WSTRING;
    EXPECT_EQ(kivTLibCreateWString(t, "LOCAL:5", 0, 5, nullptr), 0u);
    constant("WSTR", {KIV_TYPE_WSTRING, "LOCAL:5"}, v);

    kivTLibTypeRef longType{KIV_TYPE_LONG, nullptr}, row{KIV_TYPE_ARRAY, "LOCAL:1"},
        grid{KIV_TYPE_ARRAY, "LOCAL:2"}, wide{KIV_TYPE_WSTRING, nullptr},
        boolean{KIV_TYPE_BOOLEAN, nullptr};
    kivTLibEnumMember levels[] = {{"LOW", 0}, {"HIGH", ~0u}};
    kivTLibStructMember cell[] = {{"g", grid},
                                  {"names", {KIV_TYPE_SEQUENCE, "LOCAL:3"}},
                                  {"tag", {KIV_TYPE_STRING, "LOCAL:4"}}};
    kivTLibParam params[] = {{"c", {KIV_TYPE_STRUCT, "IDL:M/IGrid/Cell:1.0"}, KIV_PARAM_INOUT},
                             {"who", {KIV_TYPE_INTERFACE, "IDL:Other/IWho:1.0"}, KIV_PARAM_OUT},
                             {"n", {KIV_TYPE_UNION, "IDL:M/Maybe:1.0"}, KIV_PARAM_IN}};
    kivTLibMember members[] = {
        {KIV_MEMBER_OPERATION, "fill", ~0u, {KIV_TYPE_ALIAS, "DCE:0d4a-grid:1"}, 3, params},
        {KIV_MEMBER_ATTRIBUTE, "level", 0, {KIV_TYPE_ENUM, "IDL:M/Level:1.0"}, 0, nullptr}};
    kivTLibUnionCase cases[] = {{"yes", longType, {KIV_TYPE_BOOLEAN, {}}},
                                {"other", {KIV_TYPE_STRING, nullptr}, {KIV_VALUE_NONE, {}}}};
    cases[0].label.u8 = 1;
    for (kivResult rc : {
             kivTLibCreateArray(t, "LOCAL:1", 0, 3, &longType, nullptr),
             kivTLibCreateArray(t, "LOCAL:2", 0, 2, &row, nullptr),
             kivTLibCreateAlias(t, "Grid", "DCE:0d4a-grid:1", m, 0x00070000u, &grid, nullptr),
             kivTLibCreateSequence(t, "LOCAL:3", 0, 200000, &wide, nullptr),
             kivTLibCreateString(t, "LOCAL:4", 0, 0x10000000u, nullptr),
             kivTLibCreateEnum(t, "Level", "IDL:M/Level:1.0", m, 0, 2, levels, nullptr),
         })
        EXPECT_EQ(rc, 0u);
    v = {KIV_TYPE_ENUM, {.u32 = ~0u}};
    constant("TOP", {KIV_TYPE_ENUM, "IDL:M/Level:1.0"}, v);
    for (kivResult rc : {
             kivTLibCreateInterfaceFwd(t, "IBase", "IDL:M/IBase:1.0", m, 0, nullptr),
             kivTLibCreateInterfaceFwd(t, "IGrid", "IDL:M/IGrid:1.0", m, 0, nullptr),
             kivTLibCreateStruct(t, "Cell", "IDL:M/IGrid/Cell:1.0", "IDL:M/IGrid:1.0", 0, 3, cell,
                                 nullptr),
             kivTLibCreateInterface(t, "IGrid", "IDL:M/IGrid:1.0", m, 0x00050000u,
                                    "IDL:M/IBase:1.0", 2, members, nullptr),
             kivTLibCreateUnion(t, "Maybe", "IDL:M/Maybe:1.0", m, 0, &boolean, 2, cases, nullptr),
         })
        EXPECT_EQ(rc, 0u);
}

}  // namespace tlibtest
