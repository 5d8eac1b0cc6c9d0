// The registry class as the component model reaches it: its factory entry, the one factory and
// the one registry object of the process, used from many threads at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "regdb/regdb.h"
#include "test_support.h"
#include "values.h"

namespace {

using regdbtest::numbered;
using namespace kiv::regdb;
using regdbtest::describe;
using regdbtest::Value;

constexpr uint32_t kReadWrite = 0x001 | 0x002 | 0x004 | 0x008 | 0x010;

// The process's stores live in a temporary folder, named before the registry object is made.
class StoreFolder : public testing::Environment {
  public:
    void SetUp() override {
        dir_ = new kivtest::TempDir;
        setenv("KIV_REGISTRY_MACHINE", dir_->file("machine.db").c_str(), 1);
        setenv("KIV_REGISTRY_USER", dir_->file("user.db").c_str(), 1);
    }
    void TearDown() override { delete dir_; }

  private:
    kivtest::TempDir *dir_ = nullptr;
};
testing::Environment *const storeFolder = testing::AddGlobalTestEnvironment(new StoreFolder);

IObjectFactory *factory() {
    void *out = nullptr;
    EXPECT_EQ(factoryEntry(KIV_CLSID_REGISTRY, KIV_IID_IOBJECTFACTORY, &out), 0u);
    return static_cast<IObjectFactory *>(out);
}

IRegistry *registry() {
    IObjectFactory *f = factory();
    void *out = nullptr;
    EXPECT_EQ(f->vtbl->createInstance(f, nullptr, KIV_IID_IREGISTRY, &out), 0u);
    f->vtbl->release(f);
    return static_cast<IRegistry *>(out);
}

// Runs first, so that the threads race for the creation of the factory and the registry.
TEST(Component, ThreadsShareOneRegistry) {
    constexpr int kThreads = 8, kValues = 40;
    std::latch start(kThreads);
    std::vector<IRegistry *> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            IRegistry *reg = seen[t] = registry();
            int32_t root, key;
            ASSERT_EQ(reg->vtbl->openUserRoot(reg, 0x60000, kReadWrite, &root), 0u);
            std::string path = numbered("Threads\\T", t);
            ASSERT_EQ(reg->vtbl->openKey(reg, root, path.c_str(), 1, kReadWrite, 0, &key), 0u);
            for (int i = 0; i < kValues; ++i) {
                std::string name = numbered("v", i);
                ASSERT_EQ(
                    reg->vtbl->setValue(reg, key, name.c_str(), Value::int64(t * 1000 + i).get()),
                    0u);
                RegistryValue value;
                ASSERT_EQ(reg->vtbl->queryValue(reg, key, name.c_str(), &value), 0u);
                EXPECT_EQ(value.int64, static_cast<uint64_t>(t * 1000 + i));
            }
            StringList names;
            ASSERT_EQ(reg->vtbl->enumValues(reg, key, &names), 0u);
            EXPECT_EQ(names.count, static_cast<uint32_t>(kValues));
            kivStringListClear(&names);
            EXPECT_EQ(reg->vtbl->closeKey(reg, key), 0u);
            EXPECT_EQ(reg->vtbl->closeKey(reg, root), 0u);
            reg->vtbl->release(reg);
        });
    }
    for (auto &thread : threads) thread.join();
    for (IRegistry *reg : seen) EXPECT_EQ(reg, seen[0]);

    IRegistry *reg = registry();
    int32_t root, threadsKey;
    ASSERT_EQ(reg->vtbl->openUserRoot(reg, 0, 0x00C, &root), 0u);
    ASSERT_EQ(reg->vtbl->openKey(reg, root, "threads", 0, 0x00C, 0, &threadsKey), 0u);
    StringList names;
    ASSERT_EQ(reg->vtbl->enumKeys(reg, threadsKey, &names), 0u);
    EXPECT_EQ(names.count, static_cast<uint32_t>(kThreads));
    kivStringListClear(&names);
    reg->vtbl->closeKey(reg, threadsKey);
    reg->vtbl->closeKey(reg, root);
    reg->vtbl->release(reg);
}

TEST(Component, FactoryEntryAndFactory) {
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(factoryEntry("071d093c-8cce-11d5-bfd3-0000e2430654", KIV_IID_IOBJECTFACTORY, &out),
              KIV_E_FAIL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factoryEntry(nullptr, KIV_IID_IOBJECTFACTORY, &out), KIV_E_FAIL);
    EXPECT_EQ(factoryEntry(KIV_CLSID_REGISTRY, KIV_IID_IREGISTRY, &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    IObjectFactory *f = factory();
    EXPECT_EQ(f, factory());
    EXPECT_EQ(f->vtbl->comRelease(f), 1u);
    EXPECT_STREQ(f->vtbl->interfaceId(f), KIV_IID_IOBJECTFACTORY);
    EXPECT_EQ(f->vtbl->queryInterface(f, KIV_IID_IUNKNOWN, &out), 0u);
    EXPECT_EQ(out, f);
    EXPECT_EQ(f->vtbl->queryInterface(f, "idl:kiv/IUnknown:1.0", &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    f->vtbl->release(f);

    int outer = 0;
    out = reinterpret_cast<void *>(1);
    EXPECT_EQ(f->vtbl->createInstance(f, &outer, KIV_IID_IREGISTRY, &out), KIV_E_NO_AGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(f->vtbl->createInstance(f, nullptr, KIV_IID_IOBJECTFACTORY, &out), KIV_E_NOINTERFACE);
    EXPECT_EQ(f->vtbl->createInstance(f, nullptr, KIV_IID_IUNKNOWN, &out), 0u);
    IRegistry *reg = registry();
    EXPECT_EQ(out, reg);
    reg->vtbl->release(reg);
    reg->vtbl->release(reg);

    EXPECT_EQ(f->vtbl->lockServer(f, 1), 0u);
    EXPECT_EQ(f->vtbl->lockServer(f, 0), 0u);
    EXPECT_DEATH(f->vtbl->lockServer(f, 0), "");
    EXPECT_EQ(f->vtbl->release(f), 0u);
    EXPECT_DEATH(f->vtbl->release(f), "");
}

}  // namespace
