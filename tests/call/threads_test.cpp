// SPDX-License-Identifier: Apache-2.0
// Dynamic calls and dynamic objects used from eight threads at once: first lookups, prepared
// calls, reference counting and the release of handler contexts.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kiv_call.h"

namespace {

constexpr const char *kEcho = "IDL:CallTest/IEcho:1.0";
constexpr int kThreads = 8;
constexpr int kRounds = 200;

std::atomic<int> contextsReleased{0};

kivResult handler(void *, const kcallMethod *m, kcallValue *args, kcallValue *result) {
    if (std::string(m->slotName) == "add") {
        result->kind = KIV_TYPE_LONG;
        result->v.i32 = args[0].v.i32 + args[1].v.i32;
        return 0;
    }
    if (std::string(m->slotName) == "concat") {
        std::string joined = std::string(args[0].v.str) + args[1].v.str;
        kcallValueSetString(&args[2], "c", SIZE_MAX);
        return kcallValueSetString(result, joined.c_str(), SIZE_MAX);
    }
    return KIV_E_NOTIMPL;
}

void released(void *) {
    contextsReleased++;
}

TEST(CallThreads, SharedObjectsAndPreparedCalls) {
    ASSERT_EQ(kivInitialize(), 0u);
    ASSERT_EQ(kcallRegisterLibrary(CALLTEST_TLB, KIV_REGISTER_PROCESS), 0u);
    const char *iids[] = {kEcho};
    void *shared = nullptr;
    ASSERT_EQ(kcallObjectCreate(iids, 1, handler, nullptr, released, kEcho, &shared), 0u);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                // Each thread prepares for itself: the first ones race on the lookup.
                const kcallMethod *add = nullptr, *concat = nullptr;
                if (kcallPrepare(kEcho, "add", KCALL_OPERATION, &add) ||
                    kcallPrepare(kEcho, "concat", KCALL_OPERATION, &concat)) {
                    failures++;
                    return;
                }
                void *own = nullptr;
                kcallObjectCreate(iids, 1, handler, nullptr, released, nullptr, &own);
                for (void *object : {shared, own}) {
                    kcallValue args[3] = {}, sum = {};
                    args[0].kind = args[1].kind = KIV_TYPE_LONG;
                    args[0].v.i32 = t;
                    args[1].v.i32 = i;
                    if (kcallInvoke(add, object, args, 2, &sum) || sum.v.i32 != t + i) failures++;
                    kcallValueSetString(&args[0], "a", SIZE_MAX);
                    kcallValueSetString(&args[1], "b", SIZE_MAX);
                    kcallValue text = {};
                    if (kcallInvoke(concat, object, args, 3, &text)) failures++;
                    for (kcallValue &v : args) kcallValueClear(&v);
                    kcallValueClear(&text);
                }
                void *other = nullptr;
                static_cast<IUnknown *>(shared)->vtbl->queryInterface(shared, KIV_IID_IUNKNOWN,
                                                                      &other);
                kivComRelease(other);
                kivComRelease(own);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(contextsReleased, kThreads * kRounds);
    EXPECT_EQ(kivComRelease(shared), 0u);
    EXPECT_EQ(contextsReleased, kThreads * kRounds + 1);
}

}  // namespace
