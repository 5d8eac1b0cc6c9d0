// SPDX-License-Identifier: Apache-2.0
// Who keeps a library version's descriptions, prepared calls and closures alive: the catalog
// until the file changes, holds until released, dynamic objects until their last release. Built
// on the library's objects to count live versions; under ASan the leak checker sees the rest.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kiv_call.h"
#include "model.h"
#include "test_support.h"

namespace {

constexpr const char *kIid = "IDL:Life/I:1.0";

// Writes interface Life::I with `members` operations `long fN(in long p)` under a new inode, so
// that the change is seen whatever the clock's grain.
void writeVersion(const std::string &path, uint32_t members) {
    const std::string scratch = path + ".new";
    kivTLib *tlib = nullptr;
    ASSERT_EQ(kivTLibCreate(scratch.c_str(), 0, &tlib), 0u);
    kivTLibCreateRoot(tlib, 0, nullptr);
    kivTLibCreateModule(tlib, "Life", "IDL:Life:1.0", KIV_TLIB_ROOT_ID, 0, nullptr);
    kivTLibParam param{"p", {KIV_TYPE_LONG, nullptr}, KIV_PARAM_IN};
    std::vector<std::string> names;
    for (uint32_t i = 0; i < members; ++i) names.push_back("f" + std::to_string(i));
    std::vector<kivTLibMember> list;
    for (const std::string &name : names)
        list.push_back(
            {KIV_MEMBER_OPERATION, name.c_str(), 0, {KIV_TYPE_LONG, nullptr}, 1, &param});
    ASSERT_EQ(kivTLibCreateInterface(tlib, "I", kIid, "IDL:Life:1.0", 0, nullptr, members,
                                     list.data(), nullptr),
              0u);
    ASSERT_EQ(kivTLibClose(tlib), 0u);
    ASSERT_EQ(std::rename(scratch.c_str(), path.c_str()), 0);
}

kivResult twice(void *, const kcallMethod *, kcallValue *args, kcallValue *result) {
    result->kind = KIV_TYPE_LONG;
    result->v.i32 = 2 * args[0].v.i32;
    return 0;
}

// Calls f0 through the object's table, as generated code would.
int32_t callFirst(void *object) {
    using Slot = kivResult (*)(void *, int32_t, int32_t *);
    auto slot = reinterpret_cast<Slot>((*static_cast<void ***>(object))[7]);
    int32_t out = 0;
    EXPECT_EQ(slot(object, 21, &out), 0u);
    return out;
}

void *makeObject() {
    const char *iids[] = {kIid};
    void *object = nullptr;
    EXPECT_EQ(kcallObjectCreate(iids, 1, twice, nullptr, nullptr, nullptr, &object), 0u)
        << kcallLastError();
    return object;
}

class Lifetime : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static kivtest::TempDir *registry = new kivtest::TempDir;  // no registered libraries
        setenv("KIV_REGISTRY_USER", registry->file("user.db").c_str(), 1);
        setenv("KIV_REGISTRY_MACHINE", registry->file("machine.db").c_str(), 1);
        unsetenv("KIV_TLIB_PATH");
        ASSERT_EQ(kivInitialize(), 0u);
    }
    void SetUp() override {
        writeVersion(path, 1);
        ASSERT_EQ(kcallRegisterLibrary(path.c_str(), KIV_REGISTER_PROCESS), 0u);
    }
    void TearDown() override { kcallUnregisterLibrary(path.c_str(), KIV_REGISTER_PROCESS); }

    // Reads the changed library through a lookup. The interface is held while it is read:
    // another thread's lookup may drop an unheld version at any time.
    void change(uint32_t members) {
        writeVersion(path, members);
        const kcallInterface *iface = nullptr;
        ASSERT_EQ(kcallHoldInterface(kIid, &iface), 0u) << kcallLastError();
        EXPECT_EQ(iface->memberCount, members);
        EXPECT_EQ(kcallReleaseInterface(iface), 0u);
    }

    kivtest::TempDir dir;
    std::string path = dir.file("life.tlb");
};

TEST_F(Lifetime, AnObjectKeepsItsVersionUntilItsLastRelease) {
    void *object = makeObject();
    void *second = nullptr;
    ASSERT_EQ(static_cast<IUnknown *>(object)->vtbl->queryInterface(object, kIid, &second), 0u);
    const size_t live = kcall::liveModelCount();
    change(2);
    EXPECT_EQ(kcall::liveModelCount(), live + 1);  // the new version beside the object's
    EXPECT_EQ(callFirst(object), 42);              // its closures still run
    kivComRelease(object);
    EXPECT_EQ(kcall::liveModelCount(), live + 1);
    EXPECT_EQ(callFirst(second), 42);
    kivComRelease(second);
    EXPECT_EQ(kcall::liveModelCount(), live);  // the last release freed the old version
}

TEST_F(Lifetime, AHoldKeepsItsVersionUntilReleased) {
    const kcallInterface *held = nullptr, *again = nullptr;
    ASSERT_EQ(kcallHoldInterface(kIid, &held), 0u);
    ASSERT_EQ(kcallHoldInterface(kIid, &again), 0u);
    EXPECT_EQ(held, again);
    const kcallMethod *method = nullptr;
    ASSERT_EQ(kcallPrepareMember(held, &held->members[0], KCALL_OPERATION, &method), 0u);
    const size_t live = kcall::liveModelCount();
    change(3);
    EXPECT_EQ(kcall::liveModelCount(), live + 1);
    EXPECT_STREQ(method->slotName, "f0");  // prepared calls belong to the held version
    EXPECT_EQ(kcallReleaseInterface(held), 0u);
    EXPECT_EQ(kcall::liveModelCount(), live + 1);
    EXPECT_EQ(kcallReleaseInterface(again), 0u);
    EXPECT_EQ(kcall::liveModelCount(), live);
    EXPECT_EQ(kcallReleaseInterface(again), KIV_E_INVALIDARG);
    EXPECT_EQ(kcallReleaseInterface(nullptr), KIV_E_INVALIDARG);
}

TEST_F(Lifetime, TheCatalogLetsGoOfVersionsNoLongerCurrent) {
    const kcallInterface *iface = nullptr;
    ASSERT_EQ(kcallFindInterface(kIid, &iface), 0u);
    const size_t live = kcall::liveModelCount();
    change(2);  // read again: the old version goes
    EXPECT_EQ(kcall::liveModelCount(), live);
    ASSERT_EQ(kcallUnregisterLibrary(path.c_str(), KIV_REGISTER_PROCESS), 0u);
    EXPECT_EQ(kcall::liveModelCount(), live - 1);
    ASSERT_EQ(kcallRegisterLibrary(path.c_str(), KIV_REGISTER_PROCESS), 0u);
    ASSERT_EQ(kcallFindInterface(kIid, &iface), 0u);
    EXPECT_EQ(kcall::liveModelCount(), live);
    ASSERT_EQ(unlink(path.c_str()), 0);  // gone: forgotten at the next lookup
    EXPECT_NE(kcallFindInterface(kIid, &iface), 0u);
    EXPECT_EQ(kcall::liveModelCount(), live - 1);
}

// Many objects over many versions: nothing accumulates, and the leak checker at exit finds
// nothing the catalog or an object forgot.
TEST_F(Lifetime, ObjectsOverChangingVersionsLeaveNothingBehind) {
    const kcallInterface *iface = nullptr;
    ASSERT_EQ(kcallFindInterface(kIid, &iface), 0u);
    const size_t live = kcall::liveModelCount();  // the catalog's current version included
    std::vector<void *> objects;
    for (uint32_t round = 0; round < 20; ++round) {
        for (int i = 0; i < 25; ++i) objects.push_back(makeObject());
        const kcallMethod *method = nullptr;
        ASSERT_EQ(kcallPrepare(kIid, "f0", KCALL_OPERATION, &method), 0u);
        change(1 + round % 3);
        EXPECT_EQ(callFirst(objects.front()), 42);
        // Release the older half: versions go as their last objects do.
        for (size_t i = 0; i < objects.size() / 2; ++i) kivComRelease(objects[i]);
        objects.erase(objects.begin(), objects.begin() + objects.size() / 2);
    }
    for (void *object : objects) kivComRelease(object);
    EXPECT_EQ(kcall::liveModelCount(), live);
}

// Objects made, called and released, and interfaces held, on four threads while the library
// keeps changing: every version a thread uses stays alive for as long as it does.
TEST_F(Lifetime, VersionsChangeUnderThreadsThatUseThem) {
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (!done.load()) {
                void *object = makeObject();
                const kcallInterface *held = nullptr;
                ASSERT_EQ(kcallHoldInterface(kIid, &held), 0u);
                const kcallMethod *method = nullptr;
                ASSERT_EQ(kcallPrepareMember(held, &held->members[0], KCALL_OPERATION, &method),
                          0u);
                kcallValue arg{}, result{};
                arg.kind = KIV_TYPE_LONG;
                arg.v.i32 = 5;
                EXPECT_EQ(kcallInvoke(method, object, &arg, 1, &result), 0u);
                EXPECT_EQ(result.v.i32, 10);
                EXPECT_EQ(callFirst(object), 42);
                EXPECT_EQ(kcallReleaseInterface(held), 0u);
                kivComRelease(object);
            }
        });
    for (uint32_t round = 0; round < 30; ++round) change(1 + round % 3);
    done = true;
    for (std::thread &t : threads) t.join();
}

}  // namespace
