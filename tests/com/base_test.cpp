// SPDX-License-Identifier: Apache-2.0
// UUIDs, the library objects' base slots and kivSameObject, through the shared library.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "kiv.h"
#include "test_support.h"

namespace {

std::string text(const kivUUID &u) {
    char buffer[37];
    std::snprintf(buffer, sizeof buffer, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  u.time_low, u.time_mid, u.time_hi_and_version, u.clock_seq_hi_and_reserved,
                  u.clock_seq_low, u.node[0], u.node[1], u.node[2], u.node[3], u.node[4],
                  u.node[5]);
    return buffer;
}

TEST(Uuid, Version3MatchesAnIndependentImplementation) {
    const kivUUID dns = {0x6ba7b810, 0x9dad, 0x11d1, 0x80, 0xb4, {0, 0xc0, 0x4f, 0xd4, 0x30, 0xc8}};
    kivUUID url = dns, max;
    url.time_low = 0x6ba7b811;
    std::memset(&max, 0xff, sizeof max);
    const struct {
        const kivUUID &ns;
        std::string name;
        const char *expected;  // by Python's uuid.uuid3
    } cases[] = {
        {dns, "www.widgets.com", "3d813cbb-47fb-32ba-91df-831e1593ac29"},  // the published one
        {dns, "", "c87ee674-4ddc-3efe-a74e-dfe25da5d7b3"},
        {url, "http://example.com/a?b=c", "28d5bf1e-cb8b-3d4b-a6b7-6738db00234f"},
        {url, std::string("with\0zero\0bytes", 15), "76fc2c94-d94f-3222-bf39-71b9e3653601"},
        {max, "max", "26676ef2-09cf-31f1-8636-0b0f4fd3b5b0"},
    };
    for (const auto &c : cases) {
        kivUUID u;
        ASSERT_EQ(kivUUIDCreateFromName(&c.ns, c.name.data(), c.name.size(), &u), 0u);
        EXPECT_EQ(text(u), c.expected) << c.name;
    }
    // Names that cannot be hashed are refused and leave the output alone.
    kivUUID u = max;
    EXPECT_EQ(kivUUIDCreateFromName(&url, nullptr, 1, &u), KIV_E_INVALIDARG);
    if (sizeof(size_t) > 4) {
        EXPECT_EQ(kivUUIDCreateFromName(&url, "x", size_t{1} << 32, &u), KIV_E_INVALIDARG);
    }
    EXPECT_EQ(text(u), text(max));
}

TEST(Uuid, CompareOrdersFieldsAsNumbers) {
    // The text shows each field as a number, most significant digit first: its order is the
    // order wanted. Bytes from a small alphabet make fields tie and differ in every way.
    std::mt19937 random(7);
    for (int i = 0; i < 5000; ++i) {
        kivUUID a, b;
        auto *bytes = reinterpret_cast<uint8_t *>(&a), *changed = reinterpret_cast<uint8_t *>(&b);
        for (int k = 0; k < 16; ++k) bytes[k] = "\x00\x01\xff"[random() % 3];
        b = a;
        for (auto k = random() % 17; k < 16; ++k) changed[k] = "\x00\x01\xff"[random() % 3];
        int order = text(a).compare(text(b));
        EXPECT_EQ(kivUUIDCompare(&a, &b), (order > 0) - (order < 0)) << text(a) << " " << text(b);
    }
}

const char *ownId(void *) {
    return "IDL:kivtest/IOwn:1.0";
}

// An object's reference count, read without changing it.
uint32_t countOf(void *object) {
    kivComAddRef(object);
    return kivComRelease(object);
}

// The library's own objects, seen through the registry database's object.
TEST(BaseDeathTest, LibraryObjectsCountAndAnswerTheBaseAndTheirOwnInterface) {
    kivtest::TempDir tmp;
    setenv("KIV_REGISTRY_USER", tmp.file("user.db").c_str(), 1);
    setenv("KIV_REGISTRY_MACHINE", tmp.file("machine.db").c_str(), 1);
    ASSERT_EQ(kivInitialize(), 0u);
    void *object = nullptr;
    ASSERT_EQ(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                KIV_IID_IREGISTRY, &object),
              0u);
    void *out = object;
    EXPECT_EQ(kivComQueryInterface(object, KIV_IID_IUNKNOWN, &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    const uint32_t held = countOf(object);
    EXPECT_EQ(kivComAddRef(object), held + 1);
    EXPECT_EQ(kivComAddRef(object), held + 2);
    EXPECT_EQ(kivComRelease(object), held + 1);
    EXPECT_EQ(kivComRelease(object), held);
    const std::pair<const char *, bool> cases[] = {{KIV_IID_IUNKNOWN, true},
                                                   {KIV_IID_IREGISTRY, true},
                                                   {"IDL:kiv/regdb/IRegistry:1.1", false},
                                                   {KIV_IID_IOBJECTFACTORY, false}};
    for (const auto &[iid, found] : cases) {
        EXPECT_EQ(static_cast<IUnknown *>(object)->vtbl->queryInterface(object, iid, &out),
                  found ? 0 : KIV_E_NOINTERFACE);
        EXPECT_EQ(out, found ? object : nullptr) << iid;
        EXPECT_EQ(countOf(object), held + found) << iid;
        if (out) kivComRelease(out);
    }
    EXPECT_DEATH(
        {
            for (;;) kivComRelease(object);  // below zero
        },
        "");
}

// An interface whose identity query is scripted: it yields `identity` (or, when that is null,
// succeeds without a pointer) with the result `answer`; counts queries and references.
struct Fake {
    const IUnknownVtbl *vtbl;
    Fake *identity;
    kivResult answer = 0;
    int queries = 0, references = 0;
};
kivResult fakeQuery(void *self, const char *, void **out) {
    auto *f = static_cast<Fake *>(self);
    ++f->queries;
    *out = KIV_FAILED(f->answer) ? nullptr : f->identity;
    if (*out) ++f->identity->references;
    return f->answer;
}
uint32_t fakeAddRef(void *self) {
    return ++static_cast<Fake *>(self)->references;
}
uint32_t fakeRelease(void *self) {
    return --static_cast<Fake *>(self)->references;
}
const IUnknownVtbl fakeVtbl = {kivComQueryInterface, kivComAddRef, kivComRelease, fakeQuery,
                               fakeAddRef,           fakeRelease,  ownId};

TEST(SameObject, ComparesIdentitiesAndReleasesThem) {
    struct Case {
        const char *name;
        int a, b;  // interfaces 0 and 1 are one object's (1 its identity), 2 another's; -1 null
        void (*script)(Fake *);
        kivResult expected;
        int queries;
    };
    auto none = [](Fake *) {};
    const Case cases[] = {
        {"two interfaces of one object", 0, 1, none, 0, 2},
        {"two objects", 0, 2, none, 1, 2},
        {"success codes other than 0", 0, 2, [](Fake *f) { f[0].answer = f[2].answer = 1; }, 1, 2},
        {"the first query fails: no second", 0, 2, [](Fake *f) { f[0].answer = KIV_E_NOINTERFACE; },
         KIV_E_NOINTERFACE, 1},
        {"the second query fails", 0, 2, [](Fake *f) { f[2].answer = KIV_E_UNEXPECTED; },
         KIV_E_UNEXPECTED, 2},
        {"a query that gives no pointer", 0, 2, [](Fake *f) { f[2].identity = nullptr; },
         KIV_E_FAIL, 2},
        {"two null pointers", -1, -1, none, 0, 0},
        {"a null pointer", -1, 0, none, 1, 0},
    };
    for (const auto &c : cases) {
        Fake f[3] = {{&fakeVtbl, &f[1]}, {&fakeVtbl, &f[1]}, {&fakeVtbl, &f[2]}};
        c.script(f);
        EXPECT_EQ(kivSameObject(c.a < 0 ? nullptr : &f[c.a], c.b < 0 ? nullptr : &f[c.b]),
                  c.expected)
            << c.name;
        EXPECT_EQ(f[0].queries + f[1].queries + f[2].queries, c.queries) << c.name;
        for (const Fake &x : f) EXPECT_EQ(x.references, 0) << c.name;
    }
}

}  // namespace
