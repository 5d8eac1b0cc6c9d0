// SPDX-License-Identifier: Apache-2.0
// C++ objects with several interfaces, their factories and the plug-in entry point of kiv.hpp,
// driven through the C mapping as a host in C would.
#include <gtest/gtest.h>

#include <stdexcept>

#include "everykind.h"
#include "everykind.hpp"

namespace {

int liveObjects = 0;

// Two unrelated interfaces on one object, IShape's base IBase reached through the first.
class Both final : public kiv::object<Geo::IBase, Geo::Sub::IPlain> {
  public:
    static constexpr const char *clsid = "5a0f3a3e-0d7c-4f51-9b1e-6f1b2a3c4d01";
    Both() { ++liveObjects; }
    ~Both() override { --liveObjects; }
    kivResult get_id(int32_t *value) override {
        *value = 5;
        return KIV_S_OK;
    }
    kivResult set_id(int32_t) override { return KIV_E_NOTIMPL; }
    kivResult get_label(char **value) override {
        *value = nullptr;
        return KIV_E_NOTIMPL;
    }
    kivResult ping() override { return KIV_S_OK; }
    kivResult at(const Geo::Point *p, Geo::Level *result) override {
        *result = p->x > 0 ? Geo::Level::HIGH : Geo::Level::LOW;
        return KIV_S_OK;
    }
};

// A class whose constructor throws the exception chosen before it is made.
enum class Throw { nothing, kivError, badAlloc, other };
Throw nextThrow = Throw::nothing;

class Fragile final : public kiv::object<Geo::Sub::IPlain> {
  public:
    static constexpr const char *clsid = "5a0f3a3e-0d7c-4f51-9b1e-6f1b2a3c4d02";
    Fragile() {
        switch (nextThrow) {
            case Throw::kivError:
                throw kiv::error(KIV_E_ACCESSDENIED);
            case Throw::badAlloc:
                throw std::bad_alloc();
            case Throw::other:
                throw std::runtime_error("no");
            case Throw::nothing:
                break;
        }
    }
    kivResult at(const Geo::Point *, Geo::Level *result) override {
        *result = Geo::Level::MID;
        return KIV_S_OK;
    }
};

}  // namespace

KIV_PLUGIN_CLASSES(Both, Fragile)

namespace {

TEST(MappingObject, SeveralInterfacesShareOneCountAndIdentity) {
    void *out = nullptr;
    ASSERT_EQ(dsoGetObjectFactory(Both::clsid, KIV_IID_IOBJECTFACTORY, &out), KIV_S_OK);
    auto *factory = static_cast<IObjectFactory *>(out);
    ASSERT_EQ(factory->vtbl->createInstance(factory, nullptr, Geo_Sub_IPlain_IID, &out), KIV_S_OK);
    factory->vtbl->release(factory);
    auto *plain = static_cast<Geo_Sub_IPlain *>(out);
    EXPECT_EQ(liveObjects, 1);

    // Each table names its own interface; calls through the second one reach the object.
    EXPECT_STREQ(Geo_Sub_IPlain_interfaceId(plain), Geo_Sub_IPlain_IID);
    Geo_Point point{1, 0};
    Geo_Level level = Geo_Level_LOW;
    EXPECT_EQ(Geo_Sub_IPlain_at(plain, &point, &level), KIV_S_OK);
    EXPECT_EQ(level, Geo_Level_HIGH);

    ASSERT_EQ(Geo_Sub_IPlain_queryInterface(plain, Geo_IBase_IID, &out), KIV_S_OK);
    auto *base = static_cast<Geo_IBase *>(out);
    EXPECT_NE(static_cast<void *>(base), static_cast<void *>(plain));
    EXPECT_STREQ(Geo_IBase_interfaceId(base), Geo_IBase_IID);
    int32_t id = 0;
    EXPECT_EQ(Geo_IBase_get_id(base, &id), KIV_S_OK);
    EXPECT_EQ(id, 5);
    EXPECT_EQ(kivSameObject(base, plain), 0);

    // IUnknown from either interface is the first one; an interface not listed is refused.
    struct Query {
        void *from;
        const char *iid;
        void *expected;
        kivResult rc;
    };
    const Query queries[] = {
        {plain, KIV_IID_IUNKNOWN, base, KIV_S_OK},
        {base, KIV_IID_IUNKNOWN, base, KIV_S_OK},
        {base, Geo_Sub_IPlain_IID, plain, KIV_S_OK},
        {plain, Geo_IShape_IID, nullptr, KIV_E_NOINTERFACE},
        {plain, nullptr, nullptr, KIV_E_INVALIDARG},
    };
    for (const Query &q : queries) {
        SCOPED_TRACE(q.iid ? q.iid : "(null)");
        void *answer = &out;
        EXPECT_EQ(static_cast<IUnknown *>(q.from)->vtbl->queryInterface(q.from, q.iid, &answer),
                  q.rc);
        EXPECT_EQ(answer, q.expected);
        if (answer) kivComRelease(answer);
    }

    // One count: a reference taken through one table is given back through the other.
    EXPECT_EQ(Geo_IBase_addRef(base), 3u);
    EXPECT_EQ(Geo_Sub_IPlain_release(plain), 2u);
    EXPECT_EQ(Geo_Sub_IPlain_release(plain), 1u);
    EXPECT_EQ(liveObjects, 1);
    EXPECT_EQ(Geo_IBase_release(base), 0u);
    EXPECT_EQ(liveObjects, 0);
}

TEST(MappingObject, ConvertsToEachInterfaceInCxx) {
    kiv::ref<Geo::Sub::IPlain> plain = kiv::make<Both>();
    auto base = plain.query<Geo::IBase>();
    ASSERT_TRUE(base.ok());
    EXPECT_TRUE(plain.same_object(*base));
    EXPECT_STREQ((*base)->interfaceId(), Geo::IBase::iid);
    plain.reset();
    EXPECT_EQ(liveObjects, 1);
    base->reset();
    EXPECT_EQ(liveObjects, 0);
}

TEST(MappingObject, EntryPointAndFactoryRefusals) {
    struct Case {
        const char *name;
        const char *clsid;
        const char *iid;
        kivResult rc;
    };
    const Case cases[] = {
        {"second class", Fragile::clsid, KIV_IID_IOBJECTFACTORY, KIV_S_OK},
        {"factory as IUnknown", Both::clsid, KIV_IID_IUNKNOWN, KIV_S_OK},
        {"class not served", "5a0f3a3e-0d7c-4f51-9b1e-6f1b2a3c4d03", KIV_IID_IOBJECTFACTORY,
         KIV_E_NO_FACTORY},
        {"not a factory interface", Both::clsid, Geo_IBase_IID, KIV_E_NOINTERFACE},
        {"no class id", nullptr, KIV_IID_IOBJECTFACTORY, KIV_E_INVALIDARG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        void *out = &liveObjects;
        EXPECT_EQ(dsoGetObjectFactory(c.clsid, c.iid, &out), c.rc);
        EXPECT_EQ(out != nullptr, c.rc == KIV_S_OK);
        if (out) kivComRelease(out);
    }
    EXPECT_EQ(dsoGetObjectFactory(Both::clsid, KIV_IID_IOBJECTFACTORY, nullptr), KIV_E_INVALIDARG);

    void *out = nullptr;
    ASSERT_EQ(dsoGetObjectFactory(Both::clsid, KIV_IID_IOBJECTFACTORY, &out), KIV_S_OK);
    auto *factory = static_cast<IObjectFactory *>(out);
    EXPECT_EQ(factory->vtbl->createInstance(factory, factory, Geo_IBase_IID, &out),
              KIV_E_NO_AGGREGATION);
    EXPECT_EQ(out, nullptr);
    // Asked for an interface it lacks, the new object is gone again.
    EXPECT_EQ(factory->vtbl->createInstance(factory, nullptr, Geo_IShape_IID, &out),
              KIV_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(liveObjects, 0);
    EXPECT_EQ(factory->vtbl->lockServer(factory, 1), KIV_S_OK);
    factory->vtbl->release(factory);
}

TEST(MappingObject, ConstructorExceptionsBecomeResultCodes) {
    void *out = nullptr;
    ASSERT_EQ(dsoGetObjectFactory(Fragile::clsid, KIV_IID_IOBJECTFACTORY, &out), KIV_S_OK);
    auto *factory = static_cast<IObjectFactory *>(out);
    const std::pair<Throw, kivResult> cases[] = {
        {Throw::kivError, KIV_E_ACCESSDENIED},
        {Throw::badAlloc, KIV_E_OUT_OF_MEMORY},
        {Throw::other, KIV_E_FAIL},
        {Throw::nothing, KIV_S_OK},
    };
    for (const auto &[thrown, rc] : cases) {
        nextThrow = thrown;
        EXPECT_EQ(factory->vtbl->createInstance(factory, nullptr, Geo_Sub_IPlain_IID, &out), rc);
        if (out) kivComRelease(out);
    }
    factory->vtbl->release(factory);
}

}  // namespace
