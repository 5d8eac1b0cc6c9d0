// SPDX-License-Identifier: Apache-2.0
// Allocation, string duplication and id comparison, through the shared library.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "kiv_base.h"

// Under AddressSanitizer a failed allocation must come back as null, as from the plain
// allocator, so that the library's own failure path runs.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

using Owned = std::unique_ptr<char, decltype(&kivFree)>;
Owned own(char *p) {
    return Owned(p, kivFree);
}

TEST(Strings, Duplication) {
    EXPECT_EQ(kivStrDup(nullptr), nullptr);
    EXPECT_EQ(kivStrDup0(nullptr), nullptr);
    EXPECT_EQ(kivStrDup0(""), nullptr);
    EXPECT_STREQ(own(kivStrDup("")).get(), "");
    EXPECT_STREQ(own(kivStrDup("abc")).get(), "abc");
    EXPECT_STREQ(own(kivStrDup0("abc")).get(), "abc");

    EXPECT_STREQ(own(kivStrNDup("kernel", 3)).get(), "ker");
    EXPECT_STREQ(own(kivStrNDup(nullptr, 0)).get(), "");
    EXPECT_EQ(kivStrNDup0("abc", 0), nullptr);
    EXPECT_EQ(kivStrNDup0(nullptr, 5), nullptr);
    EXPECT_EQ(kivStrNDup(nullptr, 5), nullptr);  // nothing to copy from
    EXPECT_STREQ(own(kivStrNDup0("abc", 2)).get(), "ab");

    // Exactly n bytes are copied, NULs included, and the source need not be terminated.
    const char bytes[4] = {'a', '\0', 'b', 'c'};
    auto copy = own(kivStrNDup(bytes, 4));
    EXPECT_EQ(std::memcmp(copy.get(), bytes, 4), 0);
    EXPECT_EQ(copy.get()[4], '\0');
}

TEST(Strings, CompareIID) {
    struct Case {
        const char *a, *b;
        int32_t expected;
    };
    const Case cases[] = {
        {"abc", "abd", -1},
        {"abd", "abc", 1},
        {"ab", "abc", -1},
        {"abc", "ab", 1},
        {"x", "x", 0},
        {"", "", 0},
        {"\xE9", "z", 1},  // bytes compare unsigned
        {"IDL:kiv/IUnknown:1.0", "IDL:kiv/IUnknown:1.0", 0},
        {"A", "a", -1},     // no case folding
        {nullptr, "", -1},  // null orders first
        {"", nullptr, 1},
        {nullptr, nullptr, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kivCompareIID(c.a, c.b), c.expected) << &c - cases;
        EXPECT_EQ(kivCompareCLSID(c.a, c.b), c.expected);
    }
}

TEST(Memory, AllocationAndRealloc) {
    auto *p = static_cast<unsigned char *>(kivCalloc(16, 4));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
    p = static_cast<unsigned char *>(kivRealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    kivFree(kivRealloc(nullptr, 8));
    kivRealloc(p, 0);  // frees; whatever it returns is not an error
    kivFree(nullptr);
}

struct FailureCase {
    const char *name;
    void (*allocate)();
    const char *message;
};

TEST(MemoryDeathTest, FailureIsFatalWithTheRequestedSize) {
    // SIZE_MAX / 2 is reported by its low 32 bits.
    const FailureCase cases[] = {
        {"malloc", [] { kivMalloc(SIZE_MAX / 2); },
         "Fatal: malloc: can't allocate 4294967295 bytes of memory: Cannot allocate memory\n$"},
        {"calloc", [] { kivCalloc(SIZE_MAX / 4, 2); },
         "Fatal: calloc: can't allocate 4294967294 bytes of memory: Cannot allocate memory\n$"},
        {"realloc", [] { kivRealloc(nullptr, SIZE_MAX / 2); },
         "Fatal: realloc: can't allocate 4294967295 bytes of memory"},
        {"strndup", [] { kivStrNDup("x", SIZE_MAX / 2); },
         "Fatal: malloc: can't allocate 0 bytes of memory"},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(c.allocate(), testing::ExitedWithCode(1), c.message) << c.name;
}

}  // namespace
