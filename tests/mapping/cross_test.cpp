// SPDX-License-Identifier: Apache-2.0
// Objects implemented through one language's mapping and called through the other's, and the
// counted pointers, results and handles of kiv.hpp.
#include <gtest/gtest.h>

#include "everykind.h"
#include "everykind.hpp"
#include "test_support.h"

namespace {

// ---- an IBase implemented in C style: a record and a table of plain functions ----

struct CBase {
    const Geo_IBaseVtbl *vtbl;
    uint32_t references;
    int32_t id;
    int pings;
};

kivResult cQuery(void *self, const char *iid, void **out) {
    *out = nullptr;
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) && kivCompareIID(iid, Geo_IBase_IID))
        return KIV_E_NOINTERFACE;
    *out = self;
    ++static_cast<CBase *>(self)->references;
    return KIV_S_OK;
}
uint32_t cAddRef(void *self) {
    return ++static_cast<CBase *>(self)->references;
}
uint32_t cRelease(void *self) {
    return --static_cast<CBase *>(self)->references;
}
const char *cInterfaceId(void *) {
    return Geo_IBase_IID;
}
kivResult cGetId(Geo_IBase *self, int32_t *value) {
    *value = reinterpret_cast<CBase *>(self)->id;
    return KIV_S_OK;
}
kivResult cSetId(Geo_IBase *self, int32_t value) {
    reinterpret_cast<CBase *>(self)->id = value;
    return value < 0 ? KIV_E_INVALIDARG : KIV_S_OK;
}
kivResult cGetLabel(Geo_IBase *, char **value) {
    *value = kivStrDup("from C");
    return KIV_S_OK;
}
kivResult cPing(Geo_IBase *self) {
    ++reinterpret_cast<CBase *>(self)->pings;
    return KIV_S_OK;
}
const Geo_IBaseVtbl cTable = {
    kivComQueryInterface, kivComAddRef, kivComRelease, cQuery,    cAddRef, cRelease,
    cInterfaceId,         cGetId,       cSetId,        cGetLabel, cPing};

// ---- the same interface implemented in C++ ----

class CxxBase final : public kiv::object<Geo::IBase> {
  public:
    explicit CxxBase(bool *destroyed) : destroyed_(destroyed) {}
    ~CxxBase() override { *destroyed_ = true; }
    kivResult get_id(int32_t *value) override {
        *value = id_;
        return KIV_S_OK;
    }
    kivResult set_id(int32_t value) override {
        id_ = value;
        return KIV_S_OK;
    }
    kivResult get_label(char **value) override {
        *value = kivStrDup("from C++");
        return KIV_S_OK;
    }
    kivResult ping() override { return KIV_E_NOTIMPL; }

  private:
    bool *destroyed_;
    int32_t id_ = 0;
};

std::string take(char *text) {
    std::string out = text ? text : "(null)";
    kivFree(text);
    return out;
}

// C++ calls into a table of C functions: clang's vptr check knows nothing of C tables. Not
// inlined, as a host's calls on a plug-in's objects are not.
#if defined(__clang__)
__attribute__((no_sanitize("vptr")))
#endif
__attribute__((noinline)) void
callThroughCxx(Geo::IBase *p, int32_t *id, std::string *label) {
    ASSERT_EQ(p->set_id(41), KIV_S_OK);
    ASSERT_EQ(p->ping(), KIV_S_OK);
    ASSERT_EQ(p->get_id(id), KIV_S_OK);
    char *text = nullptr;
    ASSERT_EQ(p->get_label(&text), KIV_S_OK);
    *label = take(text);
    EXPECT_EQ(p->set_id(-1), KIV_E_INVALIDARG);
}

TEST(MappingCross, CObjectCalledThroughCxxClass) {
    CBase object{&cTable, 1, 0, 0};
    int32_t id = 0;
    std::string label;
    callThroughCxx(reinterpret_cast<Geo::IBase *>(&object), &id, &label);
    EXPECT_EQ(id, 41);
    EXPECT_EQ(label, "from C");
    EXPECT_EQ(object.pings, 1);
    {
        auto counted = kiv::ref<Geo_IBase>::share(reinterpret_cast<Geo_IBase *>(&object));
        EXPECT_EQ(object.references, 2u);
        auto unknown = counted.query<IUnknown>(KIV_IID_IUNKNOWN);
        ASSERT_TRUE(unknown.ok());
        EXPECT_TRUE(counted.same_object(*unknown));
        EXPECT_EQ(counted.query<Geo_IShape>(Geo_IShape_IID).code(), KIV_E_NOINTERFACE);
    }
    EXPECT_EQ(object.references, 1u);
}

TEST(MappingCross, CxxObjectCalledThroughCHelpers) {
    bool destroyed = false;
    kiv::ref<Geo::IBase> object = kiv::make<CxxBase>(&destroyed);
    auto *c = reinterpret_cast<Geo_IBase *>(object.get());
    EXPECT_EQ(Geo_IBase_set_id(c, 7), KIV_S_OK);
    int32_t id = 0;
    EXPECT_EQ(Geo_IBase_get_id(c, &id), KIV_S_OK);
    EXPECT_EQ(id, 7);
    char *text = nullptr;
    EXPECT_EQ(Geo_IBase_get_label(c, &text), KIV_S_OK);
    EXPECT_EQ(take(text), "from C++");
    EXPECT_EQ(Geo_IBase_ping(c), KIV_E_NOTIMPL);
    EXPECT_STREQ(Geo_IBase_interfaceId(c), Geo_IBase_IID);

    // queryInterface answers the interface and its bases, each with a reference.
    void *out = nullptr;
    EXPECT_EQ(Geo_IBase_queryInterface(c, KIV_IID_IUNKNOWN, &out), KIV_S_OK);
    EXPECT_EQ(out, c);
    EXPECT_EQ(Geo_IBase_release(c), 1u);
    EXPECT_EQ(Geo_IBase_queryInterface(c, Geo_IShape_IID, &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Geo_IBase_comQueryInterface(c, nullptr, &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(kivComAddRef(c), 2u);
    EXPECT_EQ(kivComRelease(c), 1u);

    kiv::ref<Geo::IBase> copy = object;
    EXPECT_EQ(Geo_IBase_addRef(c), 3u);
    EXPECT_EQ(Geo_IBase_release(c), 2u);
    copy.reset();
    object.reset();
    EXPECT_TRUE(destroyed);
}

TEST(MappingCross, ResultsAndHandles) {
    kivtest::TempDir dir;
    auto missing = kiv::type_library::open(dir.file("none.tlb").c_str());
    EXPECT_FALSE(missing.ok());
    try {
        missing.value();
        ADD_FAILURE() << "value() of a failure returned";
    } catch (const kiv::error &e) {
        EXPECT_EQ(e.code(), missing.code());
        EXPECT_STREQ(e.what(), kivStrError(missing.code()));
    }
    EXPECT_EQ(kiv::check(KIV_S_UUID_LOCAL_ONLY), KIV_S_UUID_LOCAL_ONLY);
    EXPECT_THROW(kiv::check(KIV_E_FAIL), kiv::error);

    {
        auto created = kiv::type_library::create(dir.file("new.tlb").c_str());
        ASSERT_TRUE(created.ok());
        kiv::type_library library = std::move(created).value();
        EXPECT_EQ(kivTLibCreateRoot(library.get(), 0, nullptr), KIV_S_OK);
    }  // closed and flushed here
    auto reopened = kiv::type_library::open(dir.file("new.tlb").c_str());
    ASSERT_TRUE(reopened.ok());
    EXPECT_EQ(kivTLibGetRoot(reopened->get(), nullptr), KIV_S_OK);
    EXPECT_EQ(reopened->close(), KIV_S_OK);
    EXPECT_FALSE(*reopened);
}

TEST(MappingCross, RegistryKeyClosesItself) {
    kivtest::TempDir dir;
    setenv("KIV_REGISTRY_USER", dir.file("user.db").c_str(), 1);
    setenv("KIV_REGISTRY_MACHINE", dir.file("machine.db").c_str(), 1);
    ASSERT_EQ(kivInitialize(), KIV_S_OK);
    auto registry = kiv::create<IRegistry>(KIV_CLSID_REGISTRY, KIV_IID_IREGISTRY).value();
    int32_t root = KIV_REG_NO_KEY;
    ASSERT_EQ(registry->vtbl->openUserRoot(registry.get(), 0, KIV_REG_ACCESS_CREATE_SUBKEY, &root),
              KIV_S_OK);
    kiv::registry_key user(registry, root);
    auto key = kiv::registry_key::open(registry, user.get(), "KIV\\Mapping", KIV_REG_OPTION_CREATE,
                                       KIV_REG_ACCESS_SET);
    ASSERT_TRUE(key.ok());
    int32_t handle = key->get();
    EXPECT_EQ(key->close(), KIV_S_OK);
    // The handle is gone: closing it again is refused.
    EXPECT_TRUE(KIV_FAILED(registry->vtbl->closeKey(registry.get(), handle)));
}

}  // namespace
