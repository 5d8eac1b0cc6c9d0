// SPDX-License-Identifier: Apache-2.0
// The component model's exported functions on the process's own state, through the shared
// library as a host uses them: argument checks, factories and references, registration rules,
// plug-ins that misbehave or call back while they load, and many threads creating objects of
// warm and cold classes while others change registrations and use the registry database.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kiv.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *kClass = "8a4e7bd2-1c55-4d0e-9c2f-3b1f4a6e0d11";

// What creating an object gave: the name of the plug-in build that made it (its interface is
// "IDL:kivtest/<name>:1.0"), or the failure's text. Releases the object.
std::string outcome(kivResult rc, void *object) {
    if (KIV_FAILED(rc)) return kivStrError(rc);
    std::string id = static_cast<IUnknown *>(object)->vtbl->interfaceId(object);
    kivComRelease(object);
    return id.substr(12, id.size() - 16);
}

constexpr const char *kInterface = "IDL:kivtest/a:1.0";  // of plug-in a's objects

class Api : public testing::Test {
  protected:
    // The registry database's files live in a folder of the test's own. A root is skipped for
    // the rest of the process once a look-up has found no Classes key there: give the user root
    // one before anything is looked up.
    static void SetUpTestSuite() {
        setenv("KIV_REGISTRY_USER", store.file("user.db").c_str(), 1);
        setenv("KIV_REGISTRY_MACHINE", store.file("machine.db").c_str(), 1);
        ASSERT_EQ(kivInitialize(), 0u);
        ASSERT_EQ(kivRegisterDSO(kClass, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
        ASSERT_EQ(kivRegisterDSO(kClass, KIV_REGISTER_USER_ONLY, PLUGIN_A), 0u);
    }
    static inline kivtest::TempDir store;
};

// References to the factory of a class that others hold right now.
uint32_t factoryReferences(const char *clsid = kClass) {
    void *factory = nullptr;
    EXPECT_EQ(
        kivGetObjectFactory(clsid, KIV_CLSCTX_INPROC, nullptr, KIV_IID_IOBJECTFACTORY, &factory),
        0u);
    return factory ? kivComRelease(factory) : 0;
}

// A class id made from a number.
std::string classId(int n) {
    char id[37];
    std::snprintf(id, sizeof id, "c01d0000-0000-4000-8000-%012d", n);
    return id;
}

std::string nameOf(const std::string &clsid) {
    void *object = nullptr;
    kivResult rc = kivCreateInstance(clsid.c_str(), nullptr, KIV_CLSCTX_INPROC, nullptr,
                                     KIV_IID_IUNKNOWN, &object);
    return outcome(rc, object);
}

TEST_F(Api, ArgumentsAreCheckedBeforeAnythingIsLookedUp) {
    void *out = &out;
    const kivResult results[] = {
        kivCreateInstance(kClass, nullptr, 0, nullptr, kInterface, &out),
        kivCreateInstance(nullptr, nullptr, KIV_CLSCTX_INPROC, nullptr, kInterface, &out),
        kivCreateInstance(kClass, nullptr, KIV_CLSCTX_INPROC, nullptr, KIV_IID_IUNKNOWN, nullptr),
        kivCreateInstance(kClass, nullptr, KIV_CLSCTX_INPROC, nullptr, nullptr, &out),
        kivGetObjectFactory(KIV_CLSID_REGISTRY, KIV_CLSCTX_INPROC, nullptr, nullptr, &out),
        kivGetObjectFactory(kClass, 0x2, nullptr, KIV_IID_IOBJECTFACTORY, &out),
        kivRegisterDSO(nullptr, KIV_REGISTER_PROCESS, PLUGIN_A),
        kivRegisterDSO(kClass, 0, ""),
        kivUnregisterDSO("", KIV_REGISTER_PROCESS),
    };
    for (kivResult rc : results) EXPECT_EQ(rc, KIV_E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Api, FactoriesAreAskedAndReleased) {
    const struct {
        const char *clsid;
        bool outer;
        const char *iid;
        kivResult expected;
    } cases[] = {
        {kClass, false, kInterface, 0},  // the factory's 1 becomes 0
        {kClass, false, "IDL:kivtest/IOther:1.0", KIV_E_NOINTERFACE},
        {kClass, true, kInterface, KIV_E_NO_AGGREGATION},
        {"00000000-0000-0000-0000-000000000000", false, KIV_IID_IUNKNOWN, KIV_E_NO_FACTORY},
    };
    for (const auto &c : cases) {
        void *out = &out;
        int outer = 0;
        EXPECT_EQ(kivCreateInstance(c.clsid, c.outer ? &outer : nullptr, KIV_CLSCTX_INPROC | 0x10,
                                    nullptr, c.iid, &out),
                  c.expected)
            << c.iid;
        // The object's only reference is the caller's; a failure hands out nothing.
        EXPECT_EQ(out ? kivComRelease(out) : ~0u, c.expected ? ~0u : 0u) << c.iid;
        EXPECT_EQ(factoryReferences(), 0u) << c.iid;
    }
    void *factory = nullptr;
    ASSERT_EQ(
        kivGetObjectFactory(kClass, KIV_CLSCTX_INPROC, nullptr, KIV_IID_IOBJECTFACTORY, &factory),
        0u);
    EXPECT_EQ(factoryReferences(), 1u);  // the one just handed out
    kivComRelease(factory);
}

TEST_F(Api, CreatingWhileRegistering) {
    constexpr int kRounds = 200;
    void *object = nullptr;
    ASSERT_EQ(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                KIV_IID_IREGISTRY, &object),
              0u);
    auto *reg = static_cast<IRegistry *>(object);
    int32_t root = KIV_REG_NO_KEY;
    ASSERT_EQ(reg->vtbl->openUserRoot(reg, 0x60000, KIV_REG_ACCESS_QUERY, &root), 0u);
    std::atomic<int> failures{0};
    auto expect = [&](bool ok) { failures += !ok; };
    std::vector<std::thread> threads;
    // Warm: one resolved class, asked over and over.
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds * 4; ++i) expect(nameOf(kClass) == "a");
        });
    // Cold: each round registers a new class in this process and resolves it at once.
    for (int t = 1; t <= 2; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                std::string clsid = classId(t * 1000 + i);
                expect(!kivRegisterDSO(clsid.c_str(), KIV_REGISTER_PROCESS,
                                       i % 2 ? PLUGIN_A : PLUGIN_B));
                expect(nameOf(clsid) == (i % 2 ? "a" : "b"));
            }
        });
    // Cold classes registered in the registry database and resolved from it, while another
    // thread reads a registration through the registry object.
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds / 4; ++i) {
            std::string clsid = classId(9000 + i);
            expect(!kivRegisterDSO(clsid.c_str(), KIV_REGISTER_USER_ONLY, PLUGIN_B));
            expect(nameOf(clsid) == "b");
        }
    });
    threads.emplace_back([&] {
        std::string path = std::string("KIV\\Classes\\") + kClass;
        for (int i = 0; i < kRounds / 4; ++i) {
            int32_t key = KIV_REG_NO_KEY;
            RegistryValue value{};
            expect(!reg->vtbl->openKey(reg, root, path.c_str(), 0, KIV_REG_ACCESS_QUERY, 0, &key));
            expect(!reg->vtbl->queryValue(reg, key, "DSO", &value));
            expect(value.kind == KIV_REG_STRING && value.string == std::string(PLUGIN_A));
            kivRegistryValueClear(&value);
            reg->vtbl->closeKey(reg, key);
        }
    });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    reg->vtbl->closeKey(reg, root);
    kivComRelease(reg);
}

// The "DSO" value registered for a class under the user root, or the failure's text.
std::string registeredPath(const std::string &clsid) {
    void *object = nullptr;
    EXPECT_EQ(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                KIV_IID_IREGISTRY, &object),
              0u);
    auto *reg = static_cast<IRegistry *>(object);
    int32_t root = KIV_REG_NO_KEY, key = KIV_REG_NO_KEY;
    RegistryValue value{};
    std::string path = "KIV\\Classes\\" + clsid;
    kivResult rc = reg->vtbl->openUserRoot(reg, 0x60000, KIV_REG_ACCESS_QUERY, &root);
    if (!rc) rc = reg->vtbl->openKey(reg, root, path.c_str(), 0, KIV_REG_ACCESS_QUERY, 0, &key);
    if (!rc) rc = reg->vtbl->queryValue(reg, key, "DSO", &value);
    std::string result = rc ? kivStrError(rc) : value.string;
    kivRegistryValueClear(&value);
    reg->vtbl->closeKey(reg, key);
    reg->vtbl->closeKey(reg, root);
    kivComRelease(reg);
    return result;
}

TEST_F(Api, RegistrationRefusesClassIdsAndFlagsItCannotKeepFaithfully) {
    const struct {
        const char *clsid;
        uint32_t flags;
    } cases[] = {
        {"..\\..\\evil", KIV_REGISTER_USER_ONLY},  // would become nested keys
        {"..\\..\\evil", KIV_REGISTER_PROCESS},
        {"8A4E7BD2-1C55-4D0E-9C2F-3B1F4A6E0D11", KIV_REGISTER_USER_ONLY},  // upper case
        {"{8a4e7bd2-1c55-4d0e-9c2f-3b1f4a6e0d11}", KIV_REGISTER_USER_ONLY},
        {"8a4e7bd2-1c55-4d0e-9c2f-3b1f4a6e0d1", KIV_REGISTER_USER_ONLY},    // 35 characters
        {"8a4e7bd2-1c55-4d0e-9c2f-3b1f4a6e0d111", KIV_REGISTER_USER_ONLY},  // 37
        {"8a4e7bd2-1c55-4d0e-9c2f-3b1f4a6e0d1g", KIV_REGISTER_USER_ONLY},
        {"8a4e7bd2-1c55-4d0e-9c2f+3b1f4a6e0d11", KIV_REGISTER_USER_ONLY},
        {"8a4e7bd21-c55-4d0e-9c2f-3b1f4a6e0d11", KIV_REGISTER_USER_ONLY},
        {kClass, 0x8},
        {kClass, KIV_REGISTER_PROCESS | 0x80000000u},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kivRegisterDSO(c.clsid, c.flags, PLUGIN_B), KIV_E_INVALIDARG) << &c - cases;
        EXPECT_EQ(kivUnregisterDSO(c.clsid, c.flags), KIV_E_INVALIDARG) << &c - cases;
    }
    EXPECT_EQ(nameOf(kClass), "a");  // nothing changed
    EXPECT_EQ(registeredPath(kClass), PLUGIN_A);
}

// A registered path with a folder in it names the file relative to the registering caller's
// current folder, whatever the current folder of the process that loads it later.
TEST_F(Api, PathsWithAFolderAreFixedWhenRegistered) {
    kivtest::TempDir first, second;
    for (auto [dir, plugin] : {std::pair(&first, PLUGIN_A), std::pair(&second, PLUGIN_B)}) {
        kivtest::makeDirs(dir->file("plug"));
        fs::copy_file(plugin, dir->file("plug/libkivtestrelative.so"));
    }
    const std::string inProcess = classId(100), persistent = classId(101), bare = classId(102);
    const fs::path start = fs::current_path();
    fs::current_path(first.path());
    ASSERT_EQ(kivRegisterDSO(inProcess.c_str(), KIV_REGISTER_PROCESS, "plug/libkivtestrelative.so"),
              0u);
    ASSERT_EQ(
        kivRegisterDSO(persistent.c_str(), KIV_REGISTER_USER_ONLY, "./plug/libkivtestrelative.so"),
        0u);
    ASSERT_EQ(kivRegisterDSO(bare.c_str(), KIV_REGISTER_USER_ONLY, "libkivtestbare.so"), 0u);
    fs::current_path(second.path());
    EXPECT_EQ(nameOf(inProcess), "a");
    EXPECT_EQ(nameOf(persistent), "a");
    fs::current_path(start);
    EXPECT_EQ(registeredPath(persistent), first.file("plug/libkivtestrelative.so"));
    EXPECT_EQ(registeredPath(bare), "libkivtestbare.so");  // for the loader's search path
    EXPECT_EQ(kivUnregisterDSO(persistent.c_str(), KIV_REGISTER_USER_ONLY), 0u);
    EXPECT_EQ(kivUnregisterDSO(bare.c_str(), KIV_REGISTER_USER_ONLY), 0u);
}

// A plug-in whose entry point or factory reports success without handing out an interface:
// the caller gets E_FAIL and null, and the factory's references all come back.
TEST_F(Api, SuccessWithoutAnInterfaceIsAFailure) {
    const std::string nullFactory = classId(200), nullObject = classId(201);
    ASSERT_EQ(kivRegisterDSO(nullFactory.c_str(), KIV_REGISTER_PROCESS, PLUGIN_NULL_FACTORY), 0u);
    ASSERT_EQ(kivRegisterDSO(nullObject.c_str(), KIV_REGISTER_PROCESS, PLUGIN_NULL_OBJECT), 0u);
    for (const std::string &clsid : {nullFactory, nullObject}) {
        void *out = &out;
        EXPECT_EQ(kivCreateInstance(clsid.c_str(), nullptr, KIV_CLSCTX_INPROC, nullptr,
                                    KIV_IID_IUNKNOWN, &out),
                  KIV_E_FAIL);
        EXPECT_EQ(out, nullptr);
    }
    void *out = &out;
    EXPECT_EQ(kivGetObjectFactory(nullFactory.c_str(), KIV_CLSCTX_INPROC, nullptr,
                                  KIV_IID_IOBJECTFACTORY, &out),
              KIV_E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factoryReferences(nullObject.c_str()), 0u);
}

// The plug-in's constructor registers a class and creates objects, one of them of its own
// class, while the loader runs it: nothing may wait for a lock the loading thread holds.
TEST_F(Api, APluginMayCallBackIntoTheLibraryWhileItLoads) {
    ASSERT_EQ(kivRegisterDSO(CALLBACK_CLASS, KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    ASSERT_EQ(kivRegisterDSO(REENTRANT_SELF, KIV_REGISTER_PROCESS, PLUGIN_REENTRANT), 0u);
    EXPECT_EQ(nameOf(REENTRANT_SELF), "reentrant");
    void *plugin = dlopen(PLUGIN_REENTRANT, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(plugin, nullptr);
    auto *results = static_cast<kivResult *>(dlsym(plugin, "kivtestReentrantResults"));
    ASSERT_NE(results, nullptr);
    EXPECT_EQ(results[0], 0u);  // registered
    EXPECT_EQ(results[1], 0u);  // another plug-in's object
    EXPECT_EQ(results[2], 0u);  // its own object
    dlclose(plugin);
    EXPECT_EQ(nameOf(REENTRANT_REGISTERS), "b");
}

TEST(NullArguments, AreAnsweredNotFollowed) {
    EXPECT_EQ(kivComAddRef(nullptr), 0u);
    EXPECT_EQ(kivComRelease(nullptr), 0u);
    kivUUID u{};
    EXPECT_EQ(kivUUIDCompare(nullptr, nullptr), 0);
    EXPECT_EQ(kivUUIDCompare(nullptr, &u), -1);
    EXPECT_EQ(kivUUIDCompare(&u, nullptr), 1);
    EXPECT_EQ(kivUUIDCreate(nullptr), KIV_E_INVALIDARG);
    EXPECT_EQ(kivUUIDCreateFromName(nullptr, "x", 1, &u), KIV_E_INVALIDARG);
    EXPECT_EQ(kivUUIDCreateFromName(&u, "x", 1, nullptr), KIV_E_INVALIDARG);
}

}  // namespace
