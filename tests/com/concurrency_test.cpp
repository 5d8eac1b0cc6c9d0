// Many threads creating objects of warm and cold classes while others change registrations and
// use the registry database. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
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

TEST(Concurrency, CreatingWhileRegistering) {
    ASSERT_EQ(kivInitialize(), 0u);
    const std::string warm = classId(0xfff, 0);
    ASSERT_EQ(kivRegisterDSO(warm.c_str(), KIV_REGISTER_PROCESS, PLUGIN_A), 0u);

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
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
