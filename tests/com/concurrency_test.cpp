// Many threads creating objects of warm and cold classes while others change registrations and
// use the registry database. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kiv.h"
#include "test_plugin.h"
#include "test_support.h"

namespace {

constexpr int kRounds = 200;

std::string classId(int thread, int round) {
    char id[37];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%06x%06x", thread, round);
    return id;
}

std::string nameOf(const char *clsid, kivResult *rc) {
    void *object = nullptr;
    *rc =
        kivCreateInstance(clsid, nullptr, KIV_CLSCTX_INPROC, nullptr, KIVTEST_IID_INAMED, &object);
    if (KIV_FAILED(*rc)) return "";
    auto *named = static_cast<INamed *>(object);
    std::string name = named->vtbl->name(named);
    named->vtbl->release(named);
    return name;
}

// Reads the class's registration through the registry object, as any host may at any time.
bool readRegistration(IRegistry *reg, const std::string &clsid) {
    int32_t root = KIV_REG_NO_KEY, key = KIV_REG_NO_KEY;
    if (reg->vtbl->openUserRoot(reg, 0x60000, KIV_REG_ACCESS_QUERY, &root) != 0) return false;
    std::string path = "KIV\\Classes\\" + clsid;
    kivResult rc = reg->vtbl->openKey(reg, root, path.c_str(), 0, KIV_REG_ACCESS_QUERY, 0, &key);
    RegistryValue value{};
    if (rc == 0) rc = reg->vtbl->queryValue(reg, key, "DSO", &value);
    kivRegistryValueClear(&value);
    if (key != KIV_REG_NO_KEY) reg->vtbl->closeKey(reg, key);
    reg->vtbl->closeKey(reg, root);
    return rc == 0;
}

TEST(Concurrency, CreatingWhileRegistering) {
    kivtest::TempDir store;
    setenv("KIV_REGISTRY_USER", store.file("user.db").c_str(), 1);
    setenv("KIV_REGISTRY_MACHINE", store.file("machine.db").c_str(), 1);
    ASSERT_EQ(kivInitialize(), 0u);
    void *object = nullptr;
    ASSERT_EQ(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                KIV_IID_IREGISTRY, &object),
              0u);
    auto *reg = static_cast<IRegistry *>(object);
    const std::string warm = classId(0xfff, 0);
    ASSERT_EQ(kivRegisterDSO(warm.c_str(), KIV_REGISTER_PROCESS, PLUGIN_A), 0u);
    ASSERT_EQ(kivRegisterDSO(warm.c_str(), KIV_REGISTER_USER_ONLY, PLUGIN_A), 0u);

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    // Warm: one resolved class, asked over and over.
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds * 4; ++i) {
                kivResult rc;
                if (nameOf(warm.c_str(), &rc) != "a") ++failures;
            }
        });
    // Cold: each round registers a new class and resolves it at once.
    for (int t = 1; t <= 2; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                std::string clsid = classId(t, i);
                const char *plugin = i % 2 ? PLUGIN_A : PLUGIN_B;
                kivResult rc = kivRegisterDSO(clsid.c_str(), KIV_REGISTER_PROCESS, plugin);
                if (rc != 0 || nameOf(clsid.c_str(), &rc) != (i % 2 ? "a" : "b")) ++failures;
            }
        });
    // Registrations that come and go without ever being resolved, and the registry class.
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::string clsid = classId(0x100, i);
            if (kivRegisterDSO(clsid.c_str(), KIV_REGISTER_PROCESS, PLUGIN_B) != 0) ++failures;
            if (kivUnregisterDSO(clsid.c_str(), KIV_REGISTER_PROCESS) != 0) ++failures;
            void *factory = nullptr;
            if (KIV_SUCCEEDED(kivGetObjectFactory(KIV_CLSID_REGISTRY, KIV_CLSCTX_INPROC, nullptr,
                                                  KIV_IID_IOBJECTFACTORY, &factory)))
                kivComRelease(factory);
        }
    });
    // Cold classes resolved through the registry database, registered persistently just before,
    // while another thread reads the registrations.
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds / 4; ++i) {
            std::string clsid = classId(0x200, i);
            kivResult rc = kivRegisterDSO(clsid.c_str(), KIV_REGISTER_USER_ONLY, PLUGIN_B);
            if (rc != 0 || nameOf(clsid.c_str(), &rc) != "b") ++failures;
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds / 4; ++i)
            if (!readRegistration(reg, warm)) ++failures;
    });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    reg->vtbl->release(reg);
}

}  // namespace
