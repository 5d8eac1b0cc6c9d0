// SPDX-License-Identifier: Apache-2.0
// The registry class as the component model reaches it: its factory entry, the one factory and
// the one registry object of the process, used from many threads at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <latch>
#include <thread>
#include <vector>

#include "kiv.h"
#include "test_support.h"

namespace {

class Initialised : public testing::Environment {
    void SetUp() override { ASSERT_FALSE(KIV_FAILED(kivInitialize())); }
};
[[maybe_unused]] testing::Environment *const kInitialised =
    testing::AddGlobalTestEnvironment(new Initialised);

IRegistry *registry() {
    void *factory = nullptr, *out = nullptr;
    EXPECT_EQ(kivGetObjectFactory(KIV_CLSID_REGISTRY, KIV_CLSCTX_INPROC, nullptr,
                                  KIV_IID_IOBJECTFACTORY, &factory),
              0u);
    auto *f = static_cast<IObjectFactory *>(factory);
    EXPECT_EQ(f->vtbl->createInstance(f, nullptr, KIV_IID_IREGISTRY, &out), 0u);
    f->vtbl->release(f);
    return static_cast<IRegistry *>(out);
}

// Runs first, so that the threads race for the creation of the factory and the registry, whose
// stores are named before that.
TEST(Component, ThreadsShareOneRegistry) {
    kivtest::TempDir dir;
    setenv("KIV_REGISTRY_MACHINE", dir.file("machine.db").c_str(), 1);
    setenv("KIV_REGISTRY_USER", dir.file("user.db").c_str(), 1);
    constexpr int kThreads = 8, kValues = 40;
    std::latch start(kThreads);
    std::vector<IRegistry *> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            IRegistry *reg = seen[t] = registry();
            int32_t root, key;
            ASSERT_EQ(reg->vtbl->openUserRoot(reg, 0, 0x1F, &root), 0u);
            std::string path = "Threads\\T" + std::to_string(t);
            ASSERT_EQ(reg->vtbl->openKey(reg, root, path.c_str(), 1, 0x1F, 0, &key), 0u);
            for (int i = 0; i < kValues; ++i) {
                std::string name = "v" + std::to_string(i);
                RegistryValue value = {.kind = KIV_REG_INT64, .int64 = uint64_t(i), .bytes = {}};
                ASSERT_EQ(reg->vtbl->setValue(reg, key, name.c_str(), &value), 0u);
                value.int64 = 0;
                ASSERT_EQ(reg->vtbl->queryValue(reg, key, name.c_str(), &value), 0u);
                EXPECT_EQ(value.int64, static_cast<uint64_t>(i));
            }
            reg->vtbl->closeKey(reg, key);
            reg->vtbl->closeKey(reg, root);
            reg->vtbl->release(reg);
        });
    for (auto &thread : threads) thread.join();
    for (IRegistry *reg : seen) EXPECT_EQ(reg, seen[0]);
}

TEST(Component, Factory) {
    void *out = nullptr;
    ASSERT_EQ(kivGetObjectFactory(KIV_CLSID_REGISTRY, KIV_CLSCTX_INPROC, nullptr,
                                  KIV_IID_IOBJECTFACTORY, &out),
              0u);
    auto *f = static_cast<IObjectFactory *>(out);
    int outer = 0;
    EXPECT_EQ(f->vtbl->createInstance(f, &outer, KIV_IID_IREGISTRY, &out), KIV_E_NO_AGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(f->vtbl->lockServer(f, 1), 0u);
    EXPECT_EQ(f->vtbl->lockServer(f, 0), 0u);
    EXPECT_DEATH(f->vtbl->lockServer(f, 0), "");  // more unlocks than locks
    f->vtbl->release(f);
}

}  // namespace
