// SPDX-License-Identifier: Apache-2.0
// Class resolution, plug-in loading, registration and plug-ins' message catalogues, against the
// real registry object over one store file per persistent location, and real plug-in files.
// Components takes the registry's factory entry as an argument: the one seam through which these
// tests give it a store per location, which the built-in registry does not have.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libintl.h>

#include <cstring>
#include <filesystem>
#include <utility>

#include "com/base.h"
#include "com/catalogue.h"
#include "com/classes.h"
#include "kiv.h"
#include "regdb/handles.h"
#include "regdb/registry.h"
#include "regdb/store.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace kiv::regdb;
using kiv::com::Components;
using kiv::com::rootSelector;
using namespace std::string_view_literals;

constexpr const char *kClass = "8a4e7bd2-1c55-4d0e-9c2f-3b1f4a6e0d11";
constexpr const char *kOtherClass = "0f6c2b9e-7d43-4a81-b5e2-91c8d7f3a402";
constexpr const char *kThirdClass = "5b0e2a1c-93d4-4f67-8e21-7a6c4b3d2f10";

// What creating an object gave: the name of the plug-in build that made it (its interface is
// "IDL:kivtest/<name>:1.0"), or the failure's text. Releases the object.
std::string outcome(kivResult rc, void *object) {
    if (KIV_FAILED(rc)) return kivStrError(rc);
    std::string id = kiv::com::baseSlots(object)->interfaceId(object);
    kiv::com::releaseInterface(object);
    return id.substr(12, id.size() - 16);
}

// Where a registration is: this process, or a persistent location in resolution order.
enum Where { process, user0, user1, machine0, machine1 };

// A component model of its own over the real registry object, with a store file per root and
// variant (the built-in registry has one per root): its root openers point the registry object
// at the store the selector names. The registry class's entry serves the latest Model alive.
class Model {
  public:
    Model() {
        object_.header.vtbl = &vtbl_;
        vtbl_.openUserRoot = openRoot<user0>;
        vtbl_.openMachineRoot = openRoot<machine0>;
    }
    ~Model() { current = previous_; }

    static uint32_t keepFactory(void *) { return 0; }
    static kivResult createRegistry(IObjectFactory *, void *, const char *iid, void **object) {
        return kiv::com::objectQueryInterface(&current->object_, iid, object);
    }
    static kivResult entry(const char *, const char *, void **out) {
        // Components calls only release and createInstance.
        static const IObjectFactoryVtbl vtbl = {nullptr, nullptr,        nullptr,
                                                nullptr, nullptr,        keepFactory,
                                                nullptr, createRegistry, nullptr};
        static IObjectFactory factory = {&vtbl};
        *out = current->unreachable ? nullptr : &factory;
        return current->unreachable ? KIV_E_FAIL : 0;
    }

    // Registers in this process, or writes a registration straight into a store: a path, or
    // with a null path a value of another kind.
    void place(Where where, const char *clsid, const char *path) {
        if (where == process) {
            ASSERT_EQ(components.registerDSO(clsid, KIV_REGISTER_PROCESS, path), 0u);
            return;
        }
        std::unique_ptr<Key> root, key;
        Disposition disposition;
        ASSERT_EQ(store(where).openRoot(kKeyCreateSubKey, root), 0u);
        ASSERT_EQ(root->create(classKey(clsid), kKeySetValue, key, disposition), 0u);
        std::string_view data = path ? std::string_view(path, std::strlen(path) + 1) : "\1\0\0\0"sv;
        auto bytes = reinterpret_cast<const uint8_t *>(data.data());
        ASSERT_EQ(key->setValue("DSO", path ? kRegSz : kRegDword, {bytes, data.size()}), 0u);
    }
    // The path a store holds for a class, "" when it has no key for it.
    std::string registered(Where where, const char *clsid) {
        std::unique_ptr<Key> root, key;
        uint8_t path[4096];
        uint32_t type = 0, size = 0;
        if (store(where).openRoot(kKeyQueryValue, root) ||
            root->open(classKey(clsid), kKeyQueryValue, key))
            return "";
        if (key->queryValue("DSO", type, path, size)) return "(no value)";
        return std::string(reinterpret_cast<char *>(path), size - 1);
    }
    // The name of the plug-in build that makes the class's objects, or the failure's text.
    std::string create(const char *clsid) {
        kivDSOGetObjectFactory entry = nullptr;
        void *factory = nullptr, *object = nullptr;
        kivResult rc = components.findFactoryEntry(clsid, &entry);
        if (KIV_SUCCEEDED(rc)) rc = entry(clsid, KIV_IID_IOBJECTFACTORY, &factory);
        auto *f = static_cast<IObjectFactory *>(factory);
        if (KIV_SUCCEEDED(rc)) rc = f->vtbl->createInstance(f, nullptr, KIV_IID_IUNKNOWN, &object);
        if (factory) kiv::com::releaseInterface(factory);
        return outcome(rc, object);
    }
    Store &store(Where where) { return stores_[where - user0]; }
    uint32_t references() const { return object_.header.references; }
    size_t openKeys() const {
        size_t n = 0;
        for (uint32_t i = 0; i < object_.handles->capacity(); ++i) n += !!object_.handles->find(i);
        return n;
    }

    int rootOpens = 0;
    bool unreachable = false;  // the registry class's entry fails

  private:
    static std::string classKey(const char *clsid) { return std::string("KIV\\Classes\\") + clsid; }
    template <Where root>
    static kivResult openRoot(IRegistry *self, uint32_t selector, uint32_t access, int32_t *key) {
        ++current->rootOpens;
        if (selector != rootSelector(0) && selector != rootSelector(1)) return KIV_E_INVALIDARG;
        current->object_.machine = &current->store(Where(root + (selector == rootSelector(1))));
        return current->real_->openMachineRoot(self, selector, access, key);
    }

    static inline Model *current = nullptr;
    Model *previous_ = std::exchange(current, this);
    kivtest::TempDir dir_;
    Store stores_[4] = {Store(dir_.file("u0")), Store(dir_.file("u1")), Store(dir_.file("m0")),
                        Store(dir_.file("m1"))};
    RegistryObject object_{stores_[2], stores_[0]};
    const IRegistryVtbl *real_ = object_.interface()->vtbl;
    IRegistryVtbl vtbl_ = *real_;

  public:
    Components components{entry};
};

class Classes : public testing::Test, public Model {};

TEST_F(Classes, ResolutionTakesTheFirstLocationThatHasTheClass) {
    struct Case {
        std::vector<std::pair<Where, const char *>> placements;
        std::string served;  // the plug-in's name, or the failure's text
    };
    const Case cases[] = {
        {{{machine1, PLUGIN_A}}, "a"},
        {{{machine1, PLUGIN_A}, {machine0, PLUGIN_B}}, "b"},
        {{{machine0, PLUGIN_B}, {user1, PLUGIN_A}}, "a"},
        {{{user1, PLUGIN_A}, {user0, PLUGIN_B}}, "b"},
        {{{user0, PLUGIN_B}, {process, PLUGIN_A}}, "a"},
        {{}, kivStrError(KIV_E_NO_FACTORY)},
        // A location that has the class ends the search even when it cannot serve it.
        {{{user0, "/nonexistent/libplugin.so"}, {machine0, PLUGIN_A}},
         kivStrError(KIV_E_RT_NO_FILE)},
        {{{user1, PLUGIN_NOENTRY}, {machine0, PLUGIN_A}}, kivStrError(UST_E_NO_SYMBOL)},
        {{{user1, nullptr}, {machine0, PLUGIN_A}}, kivStrError(KIV_E_UNEXPECTED)},
    };
    for (const auto &c : cases) {
        Model fresh;
        for (const auto &[where, path] : c.placements) fresh.place(where, kClass, path);
        EXPECT_EQ(fresh.create(kClass), c.served) << &c - cases;
    }
}

TEST_F(Classes, ClassesKeysAreOpenedOncePerLocation) {
    place(machine1, kClass, PLUGIN_A);
    place(machine1, kOtherClass, PLUGIN_B);
    EXPECT_EQ(create(kClass), "a");
    EXPECT_EQ(create(kOtherClass), "b");
    EXPECT_EQ(create(kThirdClass), kivStrError(KIV_E_NO_FACTORY));
    EXPECT_EQ(rootOpens, 4);
    // Only machine variant 1 has a Classes key; it stays open, the other three are not retried.
    EXPECT_EQ(openKeys(), 1u);
    EXPECT_EQ(references(), 1u);
    place(user0, kThirdClass, PLUGIN_B);
    place(machine1, kThirdClass, PLUGIN_A);
    EXPECT_EQ(create(kThirdClass), "a");
}

TEST_F(Classes, ALocationThatCannotBeOpenedIsRememberedForTheProcess) {
    kivtest::writeFile(store(user1).path(), std::string(4096, 'x'));
    place(machine0, kClass, PLUGIN_A);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(create(kClass), kivStrError(UST_E_CORRUPT));
    EXPECT_EQ(rootOpens, 2);
    place(process, kClass, PLUGIN_B);  // comes first
    EXPECT_EQ(create(kClass), "b");
}

TEST_F(Classes, PluginsAreLoadedOnceAndFailedLoadsKeepNothing) {
    place(process, kClass, PLUGIN_NOENTRY);
    EXPECT_EQ(create(kClass), kivStrError(UST_E_NO_SYMBOL));
    EXPECT_EQ(create(kClass), kivStrError(UST_E_NO_SYMBOL));
    EXPECT_EQ(components.loadedPluginCount(), 0u);
    EXPECT_EQ(dlopen(PLUGIN_NOENTRY, RTLD_NOW | RTLD_NOLOAD), nullptr);  // closed again

    place(process, kClass, PLUGIN_A);
    place(machine0, kOtherClass, PLUGIN_A);
    kivDSOGetObjectFactory first = nullptr, second = nullptr;
    ASSERT_EQ(components.findFactoryEntry(kClass, &first), 0u);
    ASSERT_EQ(components.findFactoryEntry(kOtherClass, &second), 0u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(components.loadedPluginCount(), 1u);
}

TEST_F(Classes, TheRegistryClassIsBuiltInAndMayBeUnreachable) {
    place(process, KIV_CLSID_REGISTRY, PLUGIN_A);  // cannot take the class over
    kivDSOGetObjectFactory found = nullptr;
    ASSERT_EQ(components.findFactoryEntry(KIV_CLSID_REGISTRY, &found), 0u);
    EXPECT_EQ(found, &Model::entry);
    EXPECT_EQ(rootOpens, 0);
    // When it cannot be reached, persistent registrations fail and in-process ones still serve.
    unreachable = true;
    EXPECT_EQ(create(kClass), kivStrError(KIV_E_FAIL));
    EXPECT_EQ(components.registerDSO(kClass, 0, PLUGIN_A), KIV_E_FAIL);
    place(process, kClass, PLUGIN_A);
    EXPECT_EQ(create(kClass), "a");
}

TEST_F(Classes, InProcessRegistrationsAndResolvedClasses) {
    place(user0, kThirdClass, PLUGIN_A);
    place(process, kClass, PLUGIN_B);
    place(process, kClass, PLUGIN_A);  // replaces
    place(process, kOtherClass, PLUGIN_B);
    ASSERT_EQ(components.unregisterDSO(kOtherClass, KIV_REGISTER_PROCESS), 0u);
    EXPECT_EQ(components.unregisterDSO(kOtherClass, KIV_REGISTER_PROCESS), 0u);
    EXPECT_EQ(create(kClass), "a");
    EXPECT_EQ(create(kOtherClass), kivStrError(KIV_E_NO_FACTORY));
    for (Where w : {user1, machine0, machine1}) EXPECT_FALSE(fs::exists(store(w).path()));

    // Later changes to registrations do not change a resolved class.
    ASSERT_EQ(components.unregisterDSO(kClass, KIV_REGISTER_PROCESS), 0u);
    EXPECT_EQ(create(kClass), "a");
    EXPECT_EQ(create(kThirdClass), "a");
    ASSERT_EQ(components.unregisterDSO(kThirdClass, 0), 0u);
    EXPECT_EQ(create(kThirdClass), "a");
}

// Registering, then unregistering, where the user has the class under variant 1 and machine
// variant 0 a Classes key. The state shows what user 0, user 1, machine 0 and machine 1 hold.
TEST_F(Classes, PersistentRegistrationPrefersTheMachineRoot) {
    struct Case {
        uint32_t flags;
        std::vector<Where> readOnly;
        kivResult registered;
        const char *state;
        uint32_t unregisterFlags;
        kivResult unregistered;
        const char *finalState;
    };
    const uint32_t variant = KIV_REGISTER_VARIANT, userOnly = KIV_REGISTER_USER_ONLY;
    const Case cases[] = {
        {0, {}, 0, "-BA-", 0, 0, "-B--"},
        {variant, {}, 0, "-B-A", variant, 0, "-B--"},
        {variant, {}, 0, "-B-A", variant | userOnly, 0, "---A"},
        {userOnly, {}, 0, "AB--", 0, 0, "-B--"},
        {userOnly | variant, {}, 0, "-A--", userOnly | variant, 0, "----"},
        {0, {machine0}, 0, "AB--", 0, 0, "-B--"},
        {variant, {machine1}, 0, "-A--", variant, 0, "----"},
        {0, {machine0, user0}, KIV_E_ACCESSDENIED, "-B--", 0, KIV_E_RT_NOT_FOUND, "-B--"},
    };
    for (const auto &c : cases) {
        Model fresh;
        fresh.place(user1, kClass, PLUGIN_B);
        fresh.place(machine0, kOtherClass, PLUGIN_B);
        for (Where w : c.readOnly) kivtest::writeFile(fresh.store(w).readOnlyMarker(), "");
        auto state = [&] {
            std::string s;
            for (Where w : {user0, user1, machine0, machine1}) {
                std::string path = fresh.registered(w, kClass);
                s += path.empty() ? '-' : path == PLUGIN_A ? 'A' : 'B';
            }
            return s;
        };
        EXPECT_EQ(fresh.components.registerDSO(kClass, c.flags, PLUGIN_A), c.registered);
        EXPECT_EQ(state(), c.state) << &c - cases;
        EXPECT_EQ(fresh.components.unregisterDSO(kClass, c.unregisterFlags), c.unregistered);
        EXPECT_EQ(state(), c.finalState) << &c - cases;
        EXPECT_EQ(fresh.openKeys(), 0u);
    }
}

TEST_F(Classes, CataloguesAreLookedForInTheCandidateDirectoriesInTurn) {
    kivtest::TempDir tmp;
    for (const char *d : {"app/bin/locale", "app/lib/locale", "root/lib/locale"})
        kivtest::makeDirs(tmp.file(d));
    const std::string plugin = tmp.file("app/bin/libkivtestcatalogue.so"), root = tmp.file("root");
    auto found = [&](const char *rootDir) {
        return kiv::com::catalogueDirectory(plugin.c_str(), rootDir);
    };
    EXPECT_EQ(found(root.c_str()), tmp.file("app/bin/locale"));
    fs::remove(tmp.file("app/bin/locale"));
    kivtest::writeFile(tmp.file("app/bin/locale"), "");  // not a directory
    EXPECT_EQ(found(""), tmp.file("app/lib/locale"));

    // Loading a plug-in binds its text domain to its directory.
    fs::copy_file(PLUGIN_A, plugin);
    place(process, kClass, plugin.c_str());
    EXPECT_EQ(create(kClass), "a");
    const char *bound = bindtextdomain("kivtestcatalogue", nullptr);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(fs::path(bound), fs::path(tmp.file("app/lib/locale")));

    fs::remove(tmp.file("app/lib/locale"));
    EXPECT_EQ(found(root.c_str()), tmp.file("root/lib/locale"));
    EXPECT_EQ(found(nullptr), "");
    fs::remove(tmp.file("root/lib/locale"));
    EXPECT_EQ(found(root.c_str()), "");
}

}  // namespace
