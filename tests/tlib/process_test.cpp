// Processes that write one library: killed at random moments, and two at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tlib/model.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;

// A running tlib_writer whose standard output collects in a pipe.
class Writer {
  public:
    Writer(const std::string &path, const std::string &prefix, long count, long batch) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> args = {
            TLIB_WRITER, path, prefix, "0", std::to_string(count), std::to_string(batch)};
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, TLIB_WRITER, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) throw std::runtime_error("spawn");
        out_ = out[0];
    }
    ~Writer() {
        if (pid_ > 0) kill(SIGKILL), wait();
        close(out_);
    }

    void kill(int signal) { ::kill(pid_, signal); }

    // Waits for the end; returns the wait status.
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    // The highest count of definitions the writer reported as flushed (the pipe holds it all
    // once the writer has ended).
    long flushed() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(out_, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        long last = 0;
        for (size_t at = text.find("flushed "); at != std::string::npos;
             at = text.find("flushed ", at + 1))
            last = std::max(last, std::atol(text.c_str() + at + 8));
        return last;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

kivTLib *openLibrary(const std::string &path) {
    kivTLib *t = nullptr;
    EXPECT_EQ(kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t), 0u);
    return t;
}

// Every definition prefix<i> for i below count reads back with bound i.
void expectDefinitions(kivTLib *t, const std::string &prefix, long count) {
    for (long i = 0; i < count; ++i) {
        std::string id = prefix + std::to_string(i);
        kivTLibDef *def = nullptr;
        ASSERT_EQ(kivTLibGetDefinition(t, id.c_str(), &def), 0u) << id;
        ASSERT_EQ(def->kind, KIV_DEF_STRING);
        ASSERT_EQ(kiv::tlib::as<kivTLibStringDef>(def)->bound, static_cast<uint32_t>(i));
    }
}

void createLibrary(const std::string &path) {
    kivTLib *t = nullptr;
    ASSERT_EQ(kivTLibCreate(path.c_str(), 0, &t), 0u);
    ASSERT_EQ(kivTLibClose(t), 0u);
}

TEST(TLibProcesses, AKilledWriterNeverLosesWhatItFlushed) {
    kivtest::TempDir dir;
    std::string path = dir.file("crash.tlb");
    createLibrary(path);
    std::mt19937 random(20240611);
    std::vector<long> confirmed;  // per round: definitions reported flushed
    auto window = 200ms;          // shrinks to the time a writer needs for its whole run
    int kills = 0;
    for (int round = 0; kills < 50 && round < 150; ++round) {
        std::string prefix = "IDL:C/" + std::to_string(round) + "/";
        Writer writer(path, prefix, 100, 5);
        auto started = std::chrono::steady_clock::now();
        auto windowMicros = static_cast<unsigned>(std::max<long>(window.count(), 1) * 1000);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % windowMicros));
        writer.kill(SIGKILL);
        int status = writer.wait();
        if (WIFSIGNALED(status)) {
            ++kills;
        } else {
            ASSERT_EQ(WEXITSTATUS(status), 0);
            window = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started);
        }
        confirmed.push_back(writer.flushed());

        kivTLib *t = openLibrary(path);
        ASSERT_TRUE(t) << "round " << round;
        for (size_t r = 0; r < confirmed.size(); ++r)
            expectDefinitions(t, "IDL:C/" + std::to_string(r) + "/", confirmed[r]);
        ASSERT_EQ(kivTLibClose(t), 0u);
    }
    EXPECT_GE(kills, 50);
}

TEST(TLibProcesses, TwoWritersInterleaveFlushes) {
    kivtest::TempDir dir;
    std::string path = dir.file("shared.tlb");
    createLibrary(path);
    constexpr long kCount = 300;
    {
        Writer a(path, "IDL:A/", kCount, 10), b(path, "IDL:B/", kCount, 10);
        int statusA = a.wait(), statusB = b.wait();
        ASSERT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0);
        ASSERT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0);
        EXPECT_EQ(a.flushed(), kCount);
        EXPECT_EQ(b.flushed(), kCount);
    }
    kivTLib *t = openLibrary(path);
    ASSERT_TRUE(t);
    expectDefinitions(t, "IDL:A/", kCount);
    expectDefinitions(t, "IDL:B/", kCount);
    kivTLibDef *scope = nullptr;
    ASSERT_EQ(kivTLibGetDefinition(t, KIV_TLIB_ANONYMOUS_SCOPE_ID, &scope), 0u);
    EXPECT_EQ(kiv::tlib::as<kivTLibModuleDef>(scope)->contentCount, 2 * kCount);
    kivTLibClose(t);

    kivtest::ProcessResult dump = kivtest::runProcess({KIV_DB_DUMP185, "-p", path});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
    auto lines = std::count(dump.out.begin(), dump.out.end(), '\n');
    EXPECT_EQ(lines, 2 * (2 * kCount + 1) + 5);  // 4 header lines and DATA=END around the records
}

}  // namespace
