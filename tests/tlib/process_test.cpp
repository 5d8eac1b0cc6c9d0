// SPDX-License-Identifier: Apache-2.0
// Processes that write one library: killed at random moments, and two at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <random>
#include <thread>

#include "test_support.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

namespace {

// A child process that creates the string types PREFIX<i> with bound i for i below `count`,
// flushing after every `batch` and then sending the total flushed so far down a pipe.
struct Writer {
    pid_t pid;
    int fds[2];

    Writer(const std::string &path, const std::string &prefix, long count, long batch) {
        if (pipe(fds) != 0 || (pid = fork()) < 0) throw std::runtime_error("cannot start writer");
        if (pid > 0) {
            close(fds[1]);
            return;
        }
        kivTLib *t = nullptr;
        bool ok = kivTLibOpen(path.c_str(), 0, &t) == 0;
        for (long i = 1; ok && i <= count; ++i) {
            ok = kivTLibCreateString(t, (prefix + std::to_string(i)).c_str(), 0, i, nullptr) == 0;
            if (ok && (i % batch == 0 || i == count))
                ok = kivTLibFlush(t) == 0 && write(fds[1], &i, sizeof i) == sizeof i;
        }
        _exit(ok && kivTLibClose(t) == 0 ? 0 : 1);
    }
    ~Writer() { close(fds[0]); }
    // Waits for the end; returns the exit status (or the signal as a negative number) and how
    // many definitions were reported flushed.
    std::pair<int, long> wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        long flushed = 0;
        for (long n; read(fds[0], &n, sizeof n) == sizeof n;) flushed = n;
        return {WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status), flushed};
    }
};

// Every definition prefix<i> for i up to count reads back with bound i.
void expectDefinitions(kivTLib *t, const std::string &prefix, long count) {
    for (long i = 1; i <= count; ++i) {
        kivTLibDef *def = nullptr;
        ASSERT_EQ(kivTLibGetDefinition(t, (prefix + std::to_string(i)).c_str(), &def), 0u) << i;
        ASSERT_EQ(def->kind, KIV_DEF_STRING);
        ASSERT_EQ(kiv::tlib::as<kivTLibStringDef>(def)->bound, uint32_t(i));
    }
}

TEST(TLibProcesses, AKilledWriterNeverLosesWhatItFlushed) {
    kivtest::TempDir dir;
    std::string path = dir.file("crash.tlb");
    tlibtest::create(path);
    std::mt19937 random(20240611);
    std::vector<long> confirmed;  // per round: definitions reported flushed
    long window = 200000;         // microseconds; shrinks to the time of a whole run
    int kills = 0;
    for (int round = 0; kills < 50 && round < 150; ++round) {
        Writer writer(path, "IDL:C/" + std::to_string(round) + "/", 100, 5);
        auto started = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (window + 1)));
        kill(writer.pid, SIGKILL);
        auto [status, flushed] = writer.wait();
        if (status == -SIGKILL) {
            ++kills;
        } else {
            ASSERT_EQ(status, 0);
            window = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - started)
                         .count();
        }
        confirmed.push_back(flushed);
        tlibtest::Handle t = tlibtest::open(path, KIV_TLIB_READONLY);
        ASSERT_TRUE(t) << "round " << round;
        for (size_t r = 0; r < confirmed.size(); ++r)
            expectDefinitions(t.get(), "IDL:C/" + std::to_string(r) + "/", confirmed[r]);
    }
    EXPECT_GE(kills, 50);
}

TEST(TLibProcesses, TwoWritersInterleaveFlushes) {
    kivtest::TempDir dir;
    std::string path = dir.file("shared.tlb");
    tlibtest::create(path);
    Writer a(path, "IDL:A/", 300, 10), b(path, "IDL:B/", 300, 10);
    EXPECT_EQ(a.wait(), std::make_pair(0, 300L));
    EXPECT_EQ(b.wait(), std::make_pair(0, 300L));
    tlibtest::Handle t = tlibtest::open(path, KIV_TLIB_READONLY);
    expectDefinitions(t.get(), "IDL:A/", 300);
    expectDefinitions(t.get(), "IDL:B/", 300);
    kivTLibDef *scope = nullptr;
    ASSERT_EQ(kivTLibGetDefinition(t.get(), KIV_TLIB_ANONYMOUS_SCOPE_ID, &scope), 0u);
    EXPECT_EQ(reinterpret_cast<kivTLibModuleDef *>(scope)->contentCount, 600u);
}

}  // namespace
