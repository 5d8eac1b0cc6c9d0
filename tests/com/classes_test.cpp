// Class resolution, plug-in loading and registration, against an in-memory registry and real
// plug-in files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "com/base.h"
#include "com/classes.h"
#include "fake_registry.h"
#include "test_plugin.h"
#include "test_support.h"

namespace {

using kiv::com::Components;
using kiv::com::Root;
using kivtest::FakeRegistry;

constexpr const char *kClass = "8a4e7bd2-1c55-4d0e-9c2f-3b1f4a6e0d11";
constexpr const char *kOtherClass = "0f6c2b9e-7d43-4a81-b5e2-91c8d7f3a402";

struct Outcome {
    kivResult result;
    std::string name;  // which plug-in build made the object
};

Outcome create(Components &components, const char *clsid) {
    kivDSOGetObjectFactory entry = nullptr;
    kivResult result = components.findFactoryEntry(clsid, &entry);
    if (KIV_FAILED(result)) return {result, ""};
    void *factory = nullptr;
    result = entry(clsid, KIV_IID_IOBJECTFACTORY, &factory);
    if (KIV_FAILED(result)) return {result, ""};
    auto *f = static_cast<IObjectFactory *>(factory);
    void *object = nullptr;
    result = f->vtbl->createInstance(f, nullptr, KIVTEST_IID_INAMED, &object);
    kiv::com::releaseInterface(factory);
    if (KIV_FAILED(result)) return {result, ""};
    auto *named = static_cast<INamed *>(object);
    std::string name = named->vtbl->name(named);
    kiv::com::releaseInterface(named);
    return {0, name};
}

// Every test gets fresh process state, a fresh store and a fresh load log.
class Classes : public testing::Test {
  protected:
    Classes() { setenv("KIVTEST_LOAD_LOG", tmp.file("loads").c_str(), 1); }
    ~Classes() override { unsetenv("KIVTEST_LOAD_LOG"); }

    std::string loads() const {
        return std::filesystem::exists(tmp.file("loads")) ? kivtest::readFile(tmp.file("loads"))
                                                          : "";
    }

    kivtest::TempDir tmp;
    FakeRegistry store;
    std::optional<Components> components{std::in_place, FakeRegistry::entry};
};

struct Placement {
    enum Where { process, user0, user1, machine0, machine1 } where;
    const char *path;
};

struct ResolutionCase {
    const char *name;
    std::vector<Placement> placements;
    kivResult result;
    const char *served;  // name of the plug-in that serves the class
};

void place(FakeRegistry &store, Components &components, const Placement &p) {
    if (p.where == Placement::process) {
        ASSERT_EQ(components.registerDSO(kClass, KIV_REGISTER_PROCESS, p.path), 0u);
        return;
    }
    int index = p.where - Placement::user0;
    store.setPath(index < 2 ? Root::user : Root::machine, index % 2, kClass, p.path);
}

TEST_F(Classes, ResolutionTakesTheFirstLocationThatHasTheClass) {
    using P = Placement;
    const ResolutionCase cases[] = {
        {"machine variant 1 alone", {{P::machine1, PLUGIN_A}}, 0, "a"},
        {"machine variant 0 first", {{P::machine1, PLUGIN_A}, {P::machine0, PLUGIN_B}}, 0, "b"},
        {"user before machine", {{P::machine0, PLUGIN_B}, {P::user1, PLUGIN_A}}, 0, "a"},
        {"user variant 0 first", {{P::user1, PLUGIN_A}, {P::user0, PLUGIN_B}}, 0, "b"},
        {"process before all", {{P::user0, PLUGIN_B}, {P::process, PLUGIN_A}}, 0, "a"},
        {"nowhere", {}, KIV_E_NO_FACTORY, ""},
        {"a missing plug-in file ends the search",
         {{P::user0, "/nonexistent/libplugin.so"}, {P::machine0, PLUGIN_A}},
         KIV_E_RT_NO_FILE,
         ""},
        {"a plug-in without entry point ends the search",
         {{P::user1, PLUGIN_NOENTRY}, {P::machine0, PLUGIN_A}},
         UST_E_NO_SYMBOL,
         ""},
    };
    for (const auto &c : cases) {
        FakeRegistry fresh;
        Components state(FakeRegistry::entry);
        for (const auto &p : c.placements) place(fresh, state, p);
        Outcome got = create(state, kClass);
        EXPECT_EQ(got.result, c.result) << c.name;
        EXPECT_EQ(got.name, c.served) << c.name;
    }
}

TEST_F(Classes, AValueThatIsNotAPathIsUnexpected) {
    store.setInt32(Root::user, 1, kClass, 7);
    store.setPath(Root::machine, 0, kClass, PLUGIN_A);
    EXPECT_EQ(create(*components, kClass).result, KIV_E_UNEXPECTED);
}

TEST_F(Classes, ClassesKeysAreOpenedOncePerLocation) {
    store.setPath(Root::machine, 1, kClass, PLUGIN_A);
    store.setPath(Root::machine, 1, kOtherClass, PLUGIN_B);
    EXPECT_EQ(create(*components, kClass).name, "a");
    EXPECT_EQ(create(*components, kOtherClass).name, "b");
    EXPECT_EQ(create(*components, "no-such-class").result, KIV_E_NO_FACTORY);
    EXPECT_EQ(store.rootOpens(), 4);
    // Only machine variant 1 has a Classes key; it stays open, the other three are not retried.
    EXPECT_EQ(store.openKeys(), 1u);
    EXPECT_EQ(store.references(), 1u);
}

TEST_F(Classes, ALocationThatCannotBeOpenedIsRememberedForTheProcess) {
    store.failRoot(Root::user, 0, KIV_E_RT_NOT_FOUND);  // skipped from then on
    store.failRoot(Root::user, 1, KIV_E_ACCESSDENIED);  // returned from then on
    store.setPath(Root::machine, 0, kClass, PLUGIN_A);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(create(*components, kClass).result, KIV_E_ACCESSDENIED);
    EXPECT_EQ(store.rootOpens(), 2);

    // An in-process registration comes first and is not affected.
    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_B), 0u);
    EXPECT_EQ(create(*components, kClass).name, "b");
}

TEST_F(Classes, ARegistryThatCannotBeReachedFailsPersistentLookUps) {
    Components unreachable([](const char *, const char *, void **out) -> kivResult {
        *out = nullptr;
        return KIV_E_FAIL;
    });
    EXPECT_EQ(create(unreachable, kClass).result, KIV_E_FAIL);
    EXPECT_EQ(unreachable.registerDSO(kClass, 0, PLUGIN_A), KIV_E_FAIL);
    ASSERT_EQ(unreachable.registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    EXPECT_EQ(create(unreachable, kClass).name, "a");
}

TEST_F(Classes, ResolvedClassesStayResolved) {
    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    EXPECT_EQ(create(*components, kClass).name, "a");
    // Later registrations and unregistrations do not change a resolved class.
    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_B), 0u);
    EXPECT_EQ(create(*components, kClass).name, "a");
    ASSERT_EQ(components->unregisterDSO(kClass, KIV_REGISTER_PROCESS), 0u);
    EXPECT_EQ(create(*components, kClass).name, "a");
}

TEST_F(Classes, InProcessRegistrationsReplaceAndVanish) {
    EXPECT_EQ(components->unregisterDSO(kClass, KIV_REGISTER_PROCESS), 0u);  // never registered
    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_B), 0u);
    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    ASSERT_EQ(components->registerDSO(kOtherClass, KIV_REGISTER_PROCESS, PLUGIN_B), 0u);
    ASSERT_EQ(components->unregisterDSO(kOtherClass, KIV_REGISTER_PROCESS), 0u);
    EXPECT_EQ(create(*components, kClass).name, "a");
    EXPECT_EQ(create(*components, kOtherClass).result, KIV_E_NO_FACTORY);
    EXPECT_EQ(store.path(Root::user, 0, kClass), std::nullopt);  // the store is untouched
}

TEST_F(Classes, APluginServingTwoClassesIsLoadedOnce) {
    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    store.setPath(Root::machine, 0, kOtherClass, PLUGIN_A);
    kivDSOGetObjectFactory first = nullptr, second = nullptr;
    ASSERT_EQ(components->findFactoryEntry(kClass, &first), 0u);
    ASSERT_EQ(components->findFactoryEntry(kOtherClass, &second), 0u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(components->loadedPluginCount(), 1u);
    EXPECT_EQ(loads(), "a\n");
}

TEST_F(Classes, AFailedLoadKeepsNothingAndIsRetried) {
    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_NOENTRY), 0u);
    EXPECT_EQ(create(*components, kClass).result, UST_E_NO_SYMBOL);
    EXPECT_EQ(create(*components, kClass).result, UST_E_NO_SYMBOL);
    EXPECT_EQ(loads(), "noentry\nnoentry\n");  // closed after each failure, loaded again
    EXPECT_EQ(components->loadedPluginCount(), 0u);

    ASSERT_EQ(components->registerDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    EXPECT_EQ(create(*components, kClass).name, "a");
}

TEST_F(Classes, TheRegistryClassIsServedByTheBuiltInEntry) {
    kivDSOGetObjectFactory entry = nullptr;
    ASSERT_EQ(components->findFactoryEntry(KIV_CLSID_REGISTRY, &entry), 0u);
    EXPECT_EQ(entry, &FakeRegistry::entry);
    EXPECT_EQ(store.rootOpens(), 0);
    // An in-process registration cannot take the registry class over.
    ASSERT_EQ(components->registerDSO(KIV_CLSID_REGISTRY, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    ASSERT_EQ(components->findFactoryEntry(KIV_CLSID_REGISTRY, &entry), 0u);
    EXPECT_EQ(entry, &FakeRegistry::entry);
}

struct RegistrationCase {
    const char *name;
    uint32_t flags;
    bool machineReadOnly;
    Root root;
    uint32_t variant;
};

TEST_F(Classes, PersistentRegistrationPrefersTheMachineRoot) {
    const RegistrationCase cases[] = {
        {"machine", 0, false, Root::machine, 0},
        {"machine, variant 1", KIV_REGISTER_VARIANT, false, Root::machine, 1},
        {"user only", KIV_REGISTER_USER_ONLY, false, Root::user, 0},
        {"user only, variant 1", KIV_REGISTER_USER_ONLY | KIV_REGISTER_VARIANT, false, Root::user,
         1},
        {"machine read-only", 0, true, Root::user, 0},
        {"machine read-only, variant 1", KIV_REGISTER_VARIANT, true, Root::user, 1},
    };
    for (const auto &c : cases) {
        FakeRegistry fresh;
        if (c.machineReadOnly) fresh.setReadOnly(Root::machine);
        Components state(FakeRegistry::entry);
        EXPECT_EQ(state.registerDSO(kClass, c.flags, PLUGIN_A), 0u) << c.name;
        for (Root root : {Root::user, Root::machine})
            for (uint32_t variant : {0u, 1u}) {
                bool expected = root == c.root && variant == c.variant;
                EXPECT_EQ(fresh.path(root, variant, kClass),
                          expected ? std::optional<std::string>(PLUGIN_A) : std::nullopt)
                    << c.name;
            }
        EXPECT_EQ(fresh.openKeys(), 0u) << c.name;
    }
}

TEST_F(Classes, RegisteringWhereNothingIsWritableFails) {
    store.setReadOnly(Root::machine);
    store.setReadOnly(Root::user);
    EXPECT_EQ(components->registerDSO(kClass, 0, PLUGIN_A), KIV_E_ACCESSDENIED);
    EXPECT_FALSE(store.hasClassKey(Root::user, 0, kClass));
}

TEST_F(Classes, UnregisteringFallsBackToTheUserRoot) {
    store.setPath(Root::user, 0, kClass, PLUGIN_A);
    store.setPath(Root::machine, 1, kOtherClass, PLUGIN_A);
    store.setPath(Root::user, 1, kOtherClass, PLUGIN_B);

    EXPECT_EQ(components->unregisterDSO(kClass, 0), 0u);
    EXPECT_FALSE(store.hasClassKey(Root::user, 0, kClass));
    EXPECT_EQ(components->unregisterDSO(kClass, 0), KIV_E_RT_NOT_FOUND);  // nowhere now

    // Found under the machine root: the user's registration stays.
    EXPECT_EQ(components->unregisterDSO(kOtherClass, KIV_REGISTER_VARIANT), 0u);
    EXPECT_FALSE(store.hasClassKey(Root::machine, 1, kOtherClass));
    EXPECT_TRUE(store.hasClassKey(Root::user, 1, kOtherClass));
    EXPECT_EQ(components->unregisterDSO(kOtherClass, KIV_REGISTER_VARIANT | KIV_REGISTER_USER_ONLY),
              0u);
    EXPECT_FALSE(store.hasClassKey(Root::user, 1, kOtherClass));
    EXPECT_EQ(store.openKeys(), 0u);
}

TEST_F(Classes, UnregisteringAResolvedClassKeepsItUsable) {
    store.setPath(Root::user, 0, kClass, PLUGIN_A);
    EXPECT_EQ(create(*components, kClass).name, "a");
    ASSERT_EQ(components->unregisterDSO(kClass, 0), 0u);
    EXPECT_EQ(create(*components, kClass).name, "a");
}

}  // namespace
