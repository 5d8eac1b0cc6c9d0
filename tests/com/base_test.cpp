// The interface base: the COM front, the library objects' base slots, kivSameObject.
#include <gtest/gtest.h>

#include "com/base.h"

namespace {

// ---- an object built on the library's base slots ----

const char *ownId(void *) {
    return "IDL:kivtest/IOwn:1.0";
}
const IUnknownVtbl ownVtbl = {kivComQueryInterface,
                              kivComAddRef,
                              kivComRelease,
                              kiv::com::objectQueryInterface,
                              kiv::com::objectAddRef,
                              kiv::com::objectRelease,
                              ownId};

TEST(Base, ComQueryInterfaceFindsNothingAndClearsTheOutPointer) {
    kiv::com::ObjectHeader object{&ownVtbl, 0};
    void *out = &object;
    EXPECT_EQ(ownVtbl.comQueryInterface(&object, KIV_IID_IUNKNOWN, &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object.references, 0u);
}

TEST(Base, LibraryObjectsCountThroughTheComFront) {
    kiv::com::ObjectHeader object{&ownVtbl, 0};
    EXPECT_EQ(kivComAddRef(&object), 1u);
    EXPECT_EQ(kivComAddRef(&object), 2u);
    EXPECT_EQ(kivComRelease(&object), 1u);
}

TEST(Base, LibraryObjectsAnswerTheBaseAndTheirOwnInterface) {
    kiv::com::ObjectHeader object{&ownVtbl, 0};
    struct Case {
        const char *iid;
        kivResult result;
        bool found;
    };
    const Case cases[] = {
        {KIV_IID_IUNKNOWN, 0, true},
        {"IDL:kivtest/IOwn:1.0", 0, true},
        {"IDL:kivtest/IOwn:1.1", KIV_E_NOINTERFACE, false},
        {"IDL:kiv/IUnknown:1", KIV_E_NOINTERFACE, false},
        {"", KIV_E_NOINTERFACE, false},
    };
    for (const auto &c : cases) {
        uint32_t before = object.references;
        void *out = reinterpret_cast<void *>(1);
        EXPECT_EQ(ownVtbl.queryInterface(&object, c.iid, &out), c.result) << c.iid;
        EXPECT_EQ(out, c.found ? &object : nullptr) << c.iid;
        EXPECT_EQ(object.references, before + (c.found ? 1 : 0)) << c.iid;
    }
}

TEST(BaseDeathTest, ReleasingBelowZeroAborts) {
    kiv::com::ObjectHeader object{&ownVtbl, 0};
    EXPECT_DEATH(kivComRelease(&object), "");
}

// ---- objects whose identity query is scripted, for kivSameObject ----

struct Scripted;
struct Interface {
    const IUnknownVtbl *vtbl;
    Scripted *object;
};
struct Scripted {
    Interface identity;       // what asking for IUnknown yields
    kivResult answer = 0;     // result of that query
    bool storesNull = false;  // succeeds without an interface pointer
    int references = 0;
    int queries = 0;
};

kivResult scriptedQuery(void *self, const char *, void **out) {
    Scripted *o = static_cast<Interface *>(self)->object;
    ++o->queries;
    *out = nullptr;
    if (KIV_FAILED(o->answer) || o->storesNull) return o->answer;
    ++o->references;
    *out = &o->identity;
    return o->answer;
}
uint32_t scriptedAddRef(void *self) {
    return static_cast<uint32_t>(++static_cast<Interface *>(self)->object->references);
}
uint32_t scriptedRelease(void *self) {
    return static_cast<uint32_t>(--static_cast<Interface *>(self)->object->references);
}
const char *scriptedId(void *) {
    return "IDL:kivtest/IScripted:1.0";
}
const IUnknownVtbl scriptedVtbl = {
    kivComQueryInterface, kivComAddRef,    kivComRelease, scriptedQuery,
    scriptedAddRef,       scriptedRelease, scriptedId};

struct Pair {
    Scripted a, b;
    Interface aFacet{&scriptedVtbl, &a};  // an interface of a other than its identity
    Pair() {
        a.identity = {&scriptedVtbl, &a};
        b.identity = {&scriptedVtbl, &b};
    }
};

TEST(SameObject, NullPointersAreDecidedWithoutCalls) {
    Pair p;
    EXPECT_EQ(kivSameObject(nullptr, nullptr), 0u);
    EXPECT_EQ(kivSameObject(&p.aFacet, nullptr), 1u);
    EXPECT_EQ(kivSameObject(nullptr, &p.aFacet), 1u);
    EXPECT_EQ(p.a.queries, 0);
}

TEST(SameObject, ComparesIdentitiesAndReleasesThem) {
    struct Case {
        const char *name;
        void (*script)(Pair &);
        bool sameObject;  // compare a's facet with a's identity, else with b
        kivResult expected;
        int aQueries, bQueries;
    };
    const Case cases[] = {
        {"two interfaces of one object", [](Pair &) {}, true, 0, 2, 0},
        {"two objects", [](Pair &) {}, false, 1, 1, 1},
        {"success codes other than 0 count as success",
         [](Pair &p) { p.a.answer = p.b.answer = 1; }, false, 1, 1, 1},
        {"first query fails: the second is not made",
         [](Pair &p) { p.a.answer = KIV_E_NOINTERFACE; }, false, KIV_E_NOINTERFACE, 1, 0},
        {"second query fails", [](Pair &p) { p.b.answer = KIV_E_UNEXPECTED; }, false,
         KIV_E_UNEXPECTED, 1, 1},
        {"an identity query that stores null", [](Pair &p) { p.b.storesNull = true; }, false,
         KIV_E_FAIL, 1, 1},
    };
    for (const auto &c : cases) {
        Pair p;
        c.script(p);
        void *other = c.sameObject ? static_cast<void *>(&p.a.identity) : &p.b.identity;
        EXPECT_EQ(kivSameObject(&p.aFacet, other), c.expected) << c.name;
        EXPECT_EQ(p.a.queries, c.aQueries) << c.name;
        EXPECT_EQ(p.b.queries, c.bQueries) << c.name;
        EXPECT_EQ(p.a.references, 0) << c.name;
        EXPECT_EQ(p.b.references, 0) << c.name;
    }
}

TEST(SameObject, OnePointerTwiceIsTheSameObjectWithCountsUnchanged) {
    kiv::com::ObjectHeader object{&ownVtbl, 3};
    EXPECT_EQ(kivSameObject(&object, &object), 0u);
    EXPECT_EQ(object.references, 3u);
}

}  // namespace
