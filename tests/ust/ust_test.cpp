// SPDX-License-Identifier: Apache-2.0
// The runtime layer on its own: paths, files, shared libraries, once, mutexes, thread slots.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ust.h"

namespace {

struct PathCase {
    const char *path;
    const char *dirname;
    const char *basename;
};

TEST(UstPaths, DirnameAndBasename) {
    const PathCase cases[] = {
        {"/prefix/lib/libkiv.so.1", "/prefix/lib", "libkiv.so.1"},
        {"/prefix/lib", "/prefix", "lib"},
        {"/prefix/lib/", "/prefix", "lib"},
        {"/lib", "/", "lib"},
        {"/", "/", "/"},
        {"name", ".", "name"},
        {"a//b", "a", "b"},
        {"", ".", "."},
    };
    for (const auto &c : cases) {
        char buffer[64];
        ASSERT_EQ(ustGetDirname(c.path, buffer, sizeof buffer), 0u) << c.path;
        EXPECT_STREQ(buffer, c.dirname) << c.path;
        ASSERT_EQ(ustGetBasename(c.path, buffer, sizeof buffer), 0u) << c.path;
        EXPECT_STREQ(buffer, c.basename) << c.path;
    }
}

TEST(UstPaths, CallerBuffersAreSizeChecked) {
    char buffer[8] = "junk";
    EXPECT_EQ(ustGetDirname("/abcdefgh/x", buffer, 9), UST_E_BUFFER_TOO_SMALL);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(ustGetBasename("/x/abcdefgh", buffer, sizeof buffer), UST_E_BUFFER_TOO_SMALL);
    char exact[10];
    EXPECT_EQ(ustGetDirname("/abcdefgh/x", exact, sizeof exact), 0u);
    EXPECT_STREQ(exact, "/abcdefgh");

    char joined[32];
    EXPECT_EQ(ustAppendToPath("app/bin", "locale", joined, sizeof joined), 0u);
    EXPECT_STREQ(joined, "app/bin/locale");
    EXPECT_EQ(ustAppendToPath("/", "lib", joined, sizeof joined), 0u);
    EXPECT_STREQ(joined, "/lib");
    EXPECT_EQ(ustAppendToPath("", "lib", joined, sizeof joined), 0u);
    EXPECT_STREQ(joined, "lib");
    EXPECT_EQ(ustAppendToPath("dir", "x", joined, 5), UST_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(ustAppendToPath("dir", "x", joined, 6), 0u);
}

TEST(UstErrors, TextsForEveryKindOfCode) {
    struct Case {
        ustResult code;
        const char *text;
    };
    const Case cases[] = {
        {0, "Success"},
        {0x96220011, "File exists"},
        {0x9623000D, "Not found"},
        {0x9623FFFF, "runtime error 0x9623ffff"},
        {0x8000FFFF, "Unexpected failure"},
        {0x80070057, "One or more arguments are invalid"},
        {0x800700EA, "More data is available"},
        {0x80070FFF, "Windows error 4095"},
        {0x96250001, "error 0x96250001"},
        {0x12345678, "success code 0x12345678"},
    };
    for (const auto &c : cases) EXPECT_STREQ(ustStrError(c.code), c.text) << std::hex << c.code;
}

TEST(UstErrors, Win32Mapping) {
    struct Case {
        uint32_t error;
        ustResult code;
    };
    const Case cases[] = {
        {0, 0},
        {2, UST_E_NOT_FOUND},
        {5, 0x80070005},
        {87, 0x80070057},
        {183, UST_E_EXISTS},
        {234, UST_E_BUFFER_TOO_SMALL},
        {259, UST_E_NO_MORE_ITEMS},
        {1018, UST_E_KEY_DELETED},
        {112, 0x9622001C},
        {9999, 0x8007270F},
    };
    for (const auto &c : cases) EXPECT_EQ(_ust_map_win32_error(c.error), c.code) << c.error;
}

TEST(UstThreads, OnceRunsExactlyOnceAcrossThreads) {
    static std::atomic<int> runs;
    static ustOnce once = 0;
    runs = 0;
    std::vector<std::thread> threads;
    std::atomic<int> sawDone{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            ustInitOnce(&once, [] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ++runs;
            });
            // Whoever returns must see the initialiser's effect.
            if (runs == 1) ++sawDone;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(sawDone, 8);
}

TEST(UstThreads, TlsDestructorsCountersAndMutex) {
    static std::atomic<int> destroyed;
    destroyed = 0;
    ustTlsKey key;
    ASSERT_EQ(ustTlsKeyCreate(&key, [](void *v) { destroyed += *static_cast<int *>(v); }), 0u);
    int mine = 100;
    ustTlsSet(key, &mine);
    ustMutex mutex;
    ASSERT_EQ(ustMutexInit(&mutex), 0u);
    volatile uint32_t count = 0;
    uint64_t guarded = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            static int theirs = 7;
            EXPECT_EQ(ustTlsGet(key), nullptr);
            ustTlsSet(key, &theirs);
            for (int i = 0; i < 10000; ++i) {
                ustAtomicIncrement(&count);
                ustMutexLock(&mutex);
                ++guarded;
                ustMutexUnlock(&mutex);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(destroyed, 28);  // each ending thread's value, never the main thread's
    EXPECT_EQ(ustTlsGet(key), &mine);
    EXPECT_EQ(count, 40000u);
    EXPECT_EQ(guarded, 40000u);
    EXPECT_EQ(ustAtomicDecrement(&count), 39999u);
    ustTlsSet(key, nullptr);
    ustMutexDestroy(&mutex);
}

TEST(UstDso, OpenByNameFindsTheLoadedVersionedFile) {
    // This test links libust.so.1; asking for libust.so must find that very file.
    ustDSO *dso = nullptr;
    ASSERT_EQ(ustOpenDSO("libust.so", 0, &dso), 0u);
    char path[1024];
    ASSERT_EQ(ustGetDSOPath(dso, path, sizeof path), 0u);
    EXPECT_EQ(path[0], '/');  // the mapped file, absolute
    EXPECT_EQ(std::string(path), std::string(KIV_UST_LIBRARY).substr(0, std::string(path).size()));
    EXPECT_EQ(ustGetDSOPath(dso, path, 4), UST_E_BUFFER_TOO_SMALL);

    void *address = nullptr;
    ASSERT_EQ(ustGetSymbolAddress(dso, "ustStrError", &address), 0u);
    EXPECT_EQ(address, reinterpret_cast<void *>(&ustStrError));
    EXPECT_EQ(ustGetSymbolAddress(dso, "noSuchSymbol", &address), UST_E_NO_SYMBOL);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(ustCloseDSO(dso), 0u);
}

TEST(UstPaths, AbsolutePathsAreTakenAgainstTheCurrentFolder) {
    char folder[4096];
    ASSERT_NE(getcwd(folder, sizeof folder), nullptr);
    const std::string here = folder;
    const struct {
        const char *path;
        std::string absolute;
    } cases[] = {
        {"plug/libx.so", here + "/plug/libx.so"},
        {"./plug/libx.so", here + "/plug/libx.so"},
        {".", here},
        {"/opt/x.so", "/opt/x.so"},
        {"../x", here + "/../x"},  // nothing is resolved on disk
    };
    for (const auto &c : cases) {
        char buffer[4200];
        ASSERT_EQ(ustGetAbsolutePath(c.path, buffer, sizeof buffer), 0u) << c.path;
        EXPECT_EQ(buffer, c.absolute) << c.path;
    }
    char small[4];
    EXPECT_EQ(ustGetAbsolutePath("x/y", small, sizeof small), UST_E_BUFFER_TOO_SMALL);
}

TEST(UstDso, LoadFailuresAreExplained) {
    kivtest::TempDir tmp;
    ustDSO *dso = reinterpret_cast<ustDSO *>(1);
    EXPECT_EQ(ustOpenDSO(tmp.file("missing.so").c_str(), 0, &dso), UST_E_NO_FILE);
    EXPECT_EQ(dso, nullptr);

    kivtest::writeFile(tmp.file("garbage.so"), "not a shared library");
    EXPECT_EQ(ustOpenDSO(tmp.file("garbage.so").c_str(), 0, &dso), UST_E_DSO_LOAD);
    std::string text = ustStrError(UST_E_DSO_LOAD);
    EXPECT_NE(text.find("Shared library cannot be loaded: "), std::string::npos);
    EXPECT_NE(text.find("garbage.so"), std::string::npos) << text;

    // Neither a FIFO nor a folder reaches the loader, which would block on the FIFO.
    alarm(20);
    ASSERT_EQ(mkfifo(tmp.file("fifo.so").c_str(), 0600), 0);
    for (const char *name : {"fifo.so", ""}) {
        EXPECT_EQ(ustOpenDSO(tmp.file(name).c_str(), 0, &dso), UST_E_DSO_LOAD) << name;
        EXPECT_NE(std::string(ustStrError(UST_E_DSO_LOAD)).find("not a regular file"),
                  std::string::npos);
    }
    alarm(0);
}

TEST(UstFiles, InfoAndRemove) {
    kivtest::TempDir tmp;
    kivtest::writeFile(tmp.file("f"), "12345");
    ustFileInfo info{UST_FILE_INFO_VERSION, 99, 0, 0};
    ASSERT_EQ(ustGetFileInfo(tmp.path().c_str(), &info), 0u);
    EXPECT_EQ(info.kind, static_cast<uint32_t>(UST_FILE_DIRECTORY));
    ASSERT_EQ(ustGetFileInfo(tmp.file("f").c_str(), &info), 0u);
    EXPECT_EQ(info.kind, static_cast<uint32_t>(UST_FILE_REGULAR));
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(ustGetFileInfo(tmp.file("f/below").c_str(), &info), UST_E_NO_FILE);
    info.version = 2;
    EXPECT_EQ(ustGetFileInfo(tmp.path().c_str(), &info), UST_E_INVALID_ARG);

    EXPECT_EQ(ustRemoveFile(tmp.file("f").c_str()), 0u);
    EXPECT_EQ(ustRemoveFile(tmp.file("f").c_str()), UST_E_NO_FILE);
}

// BID encodings: decimal64 value = coefficient * 10^(exponent - 398), exponent in bits 53..62.
constexpr uint64_t dec64(uint64_t coefficient, int exponent) {
    return (static_cast<uint64_t>(exponent + 398) << 53) | coefficient;
}
constexpr uint32_t dec32(uint32_t coefficient, int exponent) {
    return (static_cast<uint32_t>(exponent + 101) << 23) | coefficient;
}
struct Dec128 {
    uint64_t low, high;
};
constexpr Dec128 dec128(uint64_t coefficient, int exponent) {
    return {coefficient, static_cast<uint64_t>(exponent + 6176) << 49};
}

TEST(UstDecimal, QuietComparisons) {
    const uint64_t nan64 = 0x7C00000000000000ull;
    EXPECT_FALSE(ustDec64QuietNotEqual(dec64(10, -1), dec64(100, -2)));  // 1.0 == 1.00
    EXPECT_TRUE(ustDec64QuietNotEqual(dec64(10, -1), dec64(11, -1)));
    EXPECT_TRUE(ustDec64QuietNotEqual(nan64, nan64));
    EXPECT_FALSE(ustDec64QuietNotEqual(dec64(0, 0), dec64(0, 5) | (1ull << 63)));  // 0 == -0E5

    EXPECT_FALSE(ustDec64QuietNotEqual(ustDec32ToDec64(dec32(10, -1)), dec64(1, 0)));
    EXPECT_TRUE(ustDec64QuietNotEqual(ustDec32ToDec64(dec32(25, -1)), dec64(1, 0)));

    Dec128 a = dec128(10, -1), b = dec128(100, -2), c = dec128(7, 0);
    Dec128 nan128 = {0, 0x7C00000000000000ull};
    EXPECT_FALSE(ustDec128QuietNotEqual(&a, &b));
    EXPECT_TRUE(ustDec128QuietNotEqual(&a, &c));
    EXPECT_TRUE(ustDec128QuietNotEqual(&nan128, &nan128));
}

}  // namespace
