// SPDX-License-Identifier: Apache-2.0
// Result code texts and error reporting, through the shared library as a host uses them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "kiv_base.h"
#include "ust.h"

namespace {

struct CodeText {
    kivResult code;
    const char *text;
};

TEST(StrError, LibraryCodesHaveTheirMessages) {
    const CodeText cases[] = {
        {0x96240001, "Bad repository id format"},
        {0x96240002, "Invalid argument"},
        {0x96240003, "Not enough space in output buffer"},
        {0x96240004, "Repository id already exists"},
        {0x96240005, "Read only error"},
        {0x96240006, "Repository id of containing scope is unknown"},
        {0x96240007, "error 0x96240007"},
        {0x96240008, "Repository id of base interface is unknown"},
        {0x96240009, "Invalid base interface repository id"},
        {0x9624000A, "Unknown repository id"},
        {0x9624000B, "Invalid kind of definition"},
        {0x9624000C, "Type library format error"},
        {0x9624000D, "An operation has been attempted in an invalid state"},
        {0x9624000E, "A bad/inconsistent state has been detected"},
        {0x9624000F, "Incompatible redefinition"},
        {0x96240010, "Aggregation not supported"},
        {0x96240011, "error 0x96240011"},
        {0x96240012, "No object factory found"},
        // Outside the table, but in the facility.
        {0x96240000, "error 0x96240000"},
        {0x96240013, "error 0x96240013"},
        {0x9624FFFF, "error 0x9624ffff"},
        {0xB6240001, "error 0xb6240001"},  // bit 29 set
        {0xD6240002, "error 0xd6240002"},  // bit 30 set
        // Success and warning codes of the facility.
        {0x16240001, "unknown result code 0x16240001"},
        {0x16240000, "unknown result code 0x16240000"},
        {0x36240005, "unknown result code 0x36240005"},
    };
    for (const auto &c : cases) EXPECT_STREQ(kivStrError(c.code), c.text) << std::hex << c.code;
}

TEST(StrError, OtherCodesComeFromTheRuntimeUnchanged) {
    for (kivResult code : {0u, 0x9622000Cu, 0x9623000Du, 0x80004005u, 0x12345678u, 0x96250001u})
        EXPECT_EQ(kivStrError(code), ustStrError(code)) << std::hex << code;
    EXPECT_STREQ(kivStrError(0x9622000C), "Cannot allocate memory");
}

TEST(StrError, ForeignCodeLeavesThreadTextAlone) {
    const char *first = kivStrError(KIV_E_FORMAT);
    kivStrError(KIV_E_FAIL);
    kivStrError(0x9622000C);
    EXPECT_STREQ(first, "Type library format error");
}

TEST(StrError, EachThreadKeepsItsOwnText) {
    // Each thread's text must survive other threads' calls; leaks show under LeakSanitizer.
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            kivResult code = 0x96240001u + static_cast<kivResult>(t);
            std::string expected = kivStrError(code);
            for (int i = 0; i < 2000; ++i) {
                const char *text = kivStrError(code);
                std::this_thread::yield();
                if (expected != text) ++mismatches[t];
            }
        });
    }
    for (auto &th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

// What a host's thread-local destructor got when it asked for texts: the system runs such
// destructors after the library's and the C++ runtime's own per-thread clean-up.
std::vector<std::string> textsAtThreadExit;
void askForTextsAtThreadExit(void *) {
    textsAtThreadExit = {kivStrError(0x96240013), kivStrError(KIV_E_FORMAT),
                         ustStrError(0x962300FE), kivStrError(KIV_E_OUT_OF_MEMORY)};
}

TEST(StrError, TextsCanBeAskedForDuringThreadExit) {
    kivStrError(KIV_E_FORMAT);  // the library's slot exists first, so its clean-up runs first
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key, askForTextsAtThreadExit), 0);
    std::thread([key] {
        kivStrError(0x96240013);
        ustStrError(0x962300FD);
        pthread_setspecific(key, &key);
    }).join();
    pthread_key_delete(key);
    EXPECT_EQ(textsAtThreadExit,
              (std::vector<std::string>{"error 0x96240013", "Type library format error",
                                        "runtime error 0x962300fe", "Cannot allocate memory"}));
}

// With every thread-local key of the process taken before the library makes its own, texts
// still come and the host's slots keep their values. Runs in a fresh process.
TEST(StrErrorDeathTest, WorksWhenNoThreadKeyIsLeft) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::vector<pthread_key_t> keys;
            pthread_key_t key;
            while (pthread_key_create(&key, nullptr) == 0) {
                keys.push_back(key);
                pthread_setspecific(key, &keys);
            }
            bool ok = std::string(kivStrError(KIV_E_FORMAT)) == "Type library format error" &&
                      std::string(kivStrError(0x96240013)) == "error 0x96240013" && !keys.empty();
            for (pthread_key_t k : keys) ok = ok && pthread_getspecific(k) == &keys;
            // Each thread's text stays its own: another thread's call does not overwrite it.
            const char *mine = kivStrError(KIV_E_FORMAT);
            std::thread([&ok] {
                ok = ok && std::string(kivStrError(0x96240013)) == "error 0x96240013";
            }).join();
            ok = ok && std::string(mine) == "Type library format error";
            _exit(ok ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

std::vector<std::pair<kivResult, std::string>> handled;
void recordError(kivResult code, const char *message) {
    handled.emplace_back(code, message);
}
void noisyFatal(kivResult code, const char *message) {
    fprintf(stderr, "handler got %#x %s\n", code, message);
}

struct ErrorOutputCase {
    kivResult code;
    const char *message;
    const char *written;
};

TEST(Reporting, DefaultErrorOutput) {
    const ErrorOutputCase cases[] = {
        {0, "x", "x\n"},
        {0x96240005, "open", "open: Read only error\n"},
        {0x96240007, "scope", "scope: error 0x96240007\n"},
        {0x80004005, "", ": Unspecified failure\n"},
    };
    kivSetErrorHandler(nullptr, nullptr);
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        kivError(c.code, c.message);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.written);
    }
}

TEST(Reporting, HandlerReceivesErrorsAndNothingIsWritten) {
    handled.clear();
    kivSetErrorHandler(recordError, nullptr);
    testing::internal::CaptureStderr();
    kivError(KIV_E_READ_ONLY, "open");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    kivSetErrorHandler(nullptr, nullptr);
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].first, KIV_E_READ_ONLY);
    EXPECT_EQ(handled[0].second, "open");

    testing::internal::CaptureStderr();
    kivError(0, "back");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "back\n");
}

TEST(ReportingDeathTest, FatalWritesAndExitsWithOne) {
    kivSetErrorHandler(nullptr, nullptr);
    EXPECT_EXIT(kivFatal(0, "stop"), testing::ExitedWithCode(1), "^Fatal: stop\n$");
    EXPECT_EXIT(kivFatal(KIV_E_FORMAT, "load"), testing::ExitedWithCode(1),
                "^Fatal: load: Type library format error\n$");
}

TEST(ReportingDeathTest, FatalHandlerThatReturnsAborts) {
    EXPECT_EXIT(
        {
            kivSetErrorHandler(nullptr, noisyFatal);
            kivFatal(KIV_E_FORMAT, "bad");
        },
        testing::KilledBySignal(SIGABRT), "handler got 0x9624000c bad");
}

TEST(ReportingDeathTest, ErrorHandlerDoesNotCatchFatal) {
    EXPECT_EXIT(
        {
            kivSetErrorHandler(recordError, nullptr);
            kivFatal(0, "only fatal");
        },
        testing::ExitedWithCode(1), "Fatal: only fatal");
}

}  // namespace
