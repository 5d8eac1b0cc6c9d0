// The exported object-factory functions, on the process's own component model state.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "kiv.h"
#include "test_plugin.h"
#include "test_support.h"

namespace {

constexpr const char *kClass = "2c9d4e61-0a7b-4f38-8d15-6e2f9b0c7a34";

class Api : public testing::Test {
  protected:
    // The registry database's files live in a folder of the test's own.
    static void SetUpTestSuite() {
        store = new kivtest::TempDir;
        setenv("KIV_REGISTRY_USER", store->file("user.db").c_str(), 1);
        setenv("KIV_REGISTRY_MACHINE", store->file("machine.db").c_str(), 1);
        ASSERT_EQ(kivInitialize(), 0u);
        ASSERT_EQ(kivRegisterDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
        // A root without registrations is skipped for the rest of the process once a look-up
        // has found it so: give both roots one before anything is looked up.
        ASSERT_EQ(kivRegisterDSO(kClass, 0, PLUGIN_A), 0u);
        ASSERT_EQ(kivRegisterDSO(kClass, KIV_REGISTER_USER_ONLY, PLUGIN_A), 0u);
    }

    // References the plug-in's factory holds right now: every path must give its own back.
    static uint32_t factoryReferences() {
        void *handle = dlopen(PLUGIN_A, RTLD_NOW | RTLD_NOLOAD);
        if (!handle) return 0;
        auto count = reinterpret_cast<uint32_t (*)()>(dlsym(handle, "kivtestFactoryReferences"));
        uint32_t n = count ? count() : 0;
        dlclose(handle);
        return n;
    }

    static void TearDownTestSuite() { delete store; }
    static kivtest::TempDir *store;
};

kivtest::TempDir *Api::store = nullptr;

std::string nameOf(const char *clsid) {
    void *object = nullptr;
    kivResult rc =
        kivCreateInstance(clsid, nullptr, KIV_CLSCTX_INPROC, nullptr, KIVTEST_IID_INAMED, &object);
    if (KIV_FAILED(rc)) return kivStrError(rc);
    auto *named = static_cast<INamed *>(object);
    std::string name = named->vtbl->name(named);
    named->vtbl->release(named);
    return name;
}

TEST_F(Api, ArgumentsAreCheckedBeforeAnythingIsLookedUp) {
    void *out = &out;
    EXPECT_EQ(kivCreateInstance(kClass, nullptr, 0, nullptr, KIVTEST_IID_INAMED, &out),
              KIV_E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    out = &out;
    EXPECT_EQ(
        kivCreateInstance(nullptr, nullptr, KIV_CLSCTX_INPROC, nullptr, KIVTEST_IID_INAMED, &out),
        KIV_E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(kivGetObjectFactory(KIV_CLSID_REGISTRY, KIV_CLSCTX_INPROC, nullptr, nullptr, &out),
              KIV_E_INVALIDARG);
    EXPECT_EQ(kivGetObjectFactory(kClass, 0x2, nullptr, KIV_IID_IOBJECTFACTORY, &out),
              KIV_E_INVALIDARG);
    EXPECT_EQ(kivRegisterDSO(nullptr, KIV_REGISTER_PROCESS, PLUGIN_A), KIV_E_INVALIDARG);
    EXPECT_EQ(kivRegisterDSO(kClass, 0, ""), KIV_E_INVALIDARG);
    EXPECT_EQ(kivUnregisterDSO("", KIV_REGISTER_PROCESS), KIV_E_INVALIDARG);
    EXPECT_EQ(
        kivCreateInstance(kClass, nullptr, KIV_CLSCTX_INPROC, nullptr, KIV_IID_IUNKNOWN, nullptr),
        KIV_E_INVALIDARG);
}

TEST_F(Api, CreateInstanceAsksTheFactoryAndReleasesIt) {
    struct Case {
        const char *name;
        bool outer;
        const char *iid;
        kivResult expected;
    };
    const Case cases[] = {
        // The factory answers 1, a success code that becomes 0.
        {"the object's interface", false, KIVTEST_IID_INAMED, 0},
        {"its identity", false, KIV_IID_IUNKNOWN, 0},
        {"an interface it lacks", false, "IDL:kivtest/IOther:1.0", KIV_E_NOINTERFACE},
        {"aggregation", true, KIVTEST_IID_INAMED, KIV_E_NO_AGGREGATION},
    };
    for (const auto &c : cases) {
        void *out = nullptr;
        int outer = 0;
        EXPECT_EQ(kivCreateInstance(kClass, c.outer ? &outer : nullptr, KIV_CLSCTX_INPROC | 0x10,
                                    nullptr, c.iid, &out),
                  c.expected)
            << c.name;
        EXPECT_EQ(out != nullptr, c.expected == 0) << c.name;
        if (out) EXPECT_EQ(kivComRelease(out), 0u) << c.name;
        EXPECT_EQ(factoryReferences(), 0u) << c.name;
    }
}

TEST_F(Api, GetObjectFactoryHandsOutTheFactoryWithAReference) {
    void *factory = nullptr;
    ASSERT_EQ(
        kivGetObjectFactory(kClass, KIV_CLSCTX_INPROC, nullptr, KIV_IID_IOBJECTFACTORY, &factory),
        0u);
    EXPECT_EQ(factoryReferences(), 1u);
    auto *f = static_cast<IObjectFactory *>(factory);
    void *object = nullptr;
    EXPECT_EQ(f->vtbl->createInstance(f, nullptr, KIVTEST_IID_INAMED, &object), 1u);
    EXPECT_EQ(kivSameObject(object, object), 0u);
    EXPECT_EQ(kivSameObject(object, factory), 1u);
    kivComRelease(object);
    kivComRelease(factory);
    EXPECT_EQ(factoryReferences(), 0u);
}

TEST_F(Api, TheRegistryClassGivesTheOneRegistryObject) {
    void *first = nullptr, *second = nullptr;
    ASSERT_EQ(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                KIV_IID_IREGISTRY, &first),
              0u);
    ASSERT_EQ(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                KIV_IID_IUNKNOWN, &second),
              0u);
    EXPECT_EQ(first, second);
    kivComRelease(first);
    kivComRelease(second);
}

TEST_F(Api, UnknownClassesHaveNoFactory) {
    void *out = &out;
    EXPECT_EQ(kivCreateInstance("00000000-0000-0000-0000-000000000000", nullptr, KIV_CLSCTX_INPROC,
                                nullptr, KIV_IID_IUNKNOWN, &out),
              KIV_E_NO_FACTORY);
    EXPECT_EQ(out, nullptr);
}

// Registrations in the real registry database; each step uses a class not resolved before.
TEST_F(Api, PersistentRegistrationsServeClasses) {
    const char *machineAndUser = "2c9d4e61-0a7b-4f38-8d15-000000000001";
    const char *fallBack = "2c9d4e61-0a7b-4f38-8d15-000000000002";
    const char *userOnly = "2c9d4e61-0a7b-4f38-8d15-000000000003";

    ASSERT_EQ(kivRegisterDSO(machineAndUser, 0, PLUGIN_B), 0u);
    ASSERT_EQ(kivRegisterDSO(machineAndUser, KIV_REGISTER_USER_ONLY, PLUGIN_A), 0u);
    EXPECT_EQ(nameOf(machineAndUser), "a");  // the user root comes first

    // A read-only machine root sends the registration to the user root.
    kivtest::writeFile(store->file("machine.db.readonly"), "");
    ASSERT_EQ(kivRegisterDSO(fallBack, 0, PLUGIN_B), 0u);
    EXPECT_EQ(nameOf(fallBack), "b");
    std::filesystem::remove(store->file("machine.db.readonly"));

    // Unregistering a class only the user root has: the machine root reports it missing first.
    ASSERT_EQ(kivRegisterDSO(userOnly, KIV_REGISTER_USER_ONLY, PLUGIN_A), 0u);
    EXPECT_EQ(kivUnregisterDSO(userOnly, 0), 0u);
    EXPECT_EQ(kivUnregisterDSO(userOnly, 0), KIV_E_RT_NOT_FOUND);
    EXPECT_EQ(nameOf(userOnly), kivStrError(KIV_E_NO_FACTORY));
}

}  // namespace
