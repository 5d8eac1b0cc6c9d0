// Two handles on one file, each used by its own thread, flushing at the same time.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "test_support.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;

namespace {

TEST(TLibThreads, HandlesOfOneProcessSerialiseTheirFlushes) {
    kivtest::TempDir dir;
    std::string path = dir.file("threads.tlb");
    kivTLib *t = nullptr;
    ASSERT_EQ(kivTLibCreate(path.c_str(), 0, &t), 0u);
    ASSERT_EQ(kivTLibClose(t), 0u);

    constexpr int kPerThread = 60;
    auto writer = [&path](const std::string &prefix, kivResult *result) {
        kivTLib *h = nullptr;
        if ((*result = kivTLibOpen(path.c_str(), KIV_TLIB_AUTOFLUSH, &h)) != 0) return;
        for (int i = 0; i < kPerThread && *result == 0; ++i) {
            std::string id = prefix + std::to_string(i);
            tlibtest::addDefinition(
                h, DefinitionPtr(
                       &buildString(KIV_DEF_STRING, id.c_str(), KIV_DEF_MODIFIED, i)->header));
            *result = kivTLibFlush(h);
        }
        kivResult closed = kivTLibClose(h);
        if (*result == 0) *result = closed;
    };
    kivResult a = 1, b = 1;
    std::thread first(writer, "LOCAL:A", &a), second(writer, "LOCAL:B", &b);
    first.join();
    second.join();
    ASSERT_EQ(a, 0u);
    ASSERT_EQ(b, 0u);

    ASSERT_EQ(kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t), 0u);
    for (const char *prefix : {"LOCAL:A", "LOCAL:B"})
        for (int i = 0; i < kPerThread; ++i)
            EXPECT_EQ(kivTLibGetDefinition(t, (prefix + std::to_string(i)).c_str(), nullptr), 0u);
    kivTLibDef *scope = nullptr;
    ASSERT_EQ(kivTLibGetDefinition(t, KIV_TLIB_ANONYMOUS_SCOPE_ID, &scope), 0u);
    EXPECT_EQ(as<kivTLibModuleDef>(scope)->contentCount, 2u * kPerThread);
    kivTLibClose(t);
}

}  // namespace
