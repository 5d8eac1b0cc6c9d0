// Processes that write one library: killed at random moments, and two at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <random>
#include <sstream>
#include <thread>

#include "test_support.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

namespace {

// A child process that creates the string types PREFIX<i> with bound i for i below `count`,
// flushing after every `batch` and then writing the total flushed so far to a pipe.
struct Writer {
    Writer(const std::string &path, const std::string &prefix, long count, long batch) {
        int fds[2];
        if (pipe(fds) != 0 || (pid = fork()) < 0) throw std::runtime_error("cannot start writer");
        if (pid == 0) {
            kivTLib *t = nullptr;
            bool ok = kivTLibOpen(path.c_str(), 0, &t) == 0;
            for (long i = 0; ok && i < count; ++i) {
                ok = kivTLibCreateString(t, (prefix + std::to_string(i)).c_str(), 0, i, nullptr) ==
                     0;
                if (ok && ((i + 1) % batch == 0 || i + 1 == count)) {
                    std::string total = std::to_string(i + 1) + "\n";
                    ok = kivTLibFlush(t) == 0 && write(fds[1], total.data(), total.size()) > 0;
                }
            }
            _exit(ok && kivTLibClose(t) == 0 ? 0 : 1);
        }
        close(fds[1]);
        out = fds[0];
    }
    ~Writer() {
        if (pid > 0) kill(pid, SIGKILL), wait();
        close(out);
    }
    int wait() {
        int status = 0;
        waitpid(std::exchange(pid, -1), &status, 0);
        return status;
    }
    long flushed() {  // once the writer has ended
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
        std::istringstream lines(text);
        long last = 0;
        for (long n; lines >> n;) last = n;
        return last;
    }

    pid_t pid = -1;
    int out = -1;
};

// Every definition prefix<i> for i below count reads back with bound i.
void expectDefinitions(kivTLib *t, const std::string &prefix, long count) {
    for (long i = 0; i < count; ++i) {
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
        int status = writer.wait();
        if (WIFSIGNALED(status)) {
            ++kills;
        } else {
            ASSERT_EQ(WEXITSTATUS(status), 0);
            window = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - started)
                         .count();
        }
        confirmed.push_back(writer.flushed());
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
    constexpr long kCount = 300;
    Writer a(path, "IDL:A/", kCount, 10), b(path, "IDL:B/", kCount, 10);
    for (Writer *w : {&a, &b}) {
        EXPECT_EQ(w->wait(), 0);
        EXPECT_EQ(w->flushed(), kCount);
    }
    tlibtest::Handle t = tlibtest::open(path, KIV_TLIB_READONLY);
    expectDefinitions(t.get(), "IDL:A/", kCount);
    expectDefinitions(t.get(), "IDL:B/", kCount);
    EXPECT_EQ(t->anonymousScope->contentCount, 2 * kCount);
}

}  // namespace
