// Several processes on one store: concurrent writers, a writer killed mid-write, and a process
// that may read the store but not change it.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "regdb/store.h"
#include "test_support.h"
#include "values.h"

extern char **environ;

namespace {

using regdbtest::numbered;
using namespace kiv::regdb;
using namespace std::string_literals;

pid_t spawnClient(std::vector<std::string> args) {
    args.insert(args.begin(), REGISTRY_CLIENT);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, REGISTRY_CLIENT, nullptr, nullptr, argv.data(), environ), 0);
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string valueOf(const Key &key, std::string_view name) {
    std::vector<uint8_t> buffer(1 << 17);
    uint32_t type = 0, size = 0;
    WinError e = key.queryValue(name, type, buffer, size);
    if (e) return numbered("error ", e);
    return {reinterpret_cast<char *>(buffer.data()), size};
}

std::string integrityCheck(const std::string &path) {
    sqlite3 *db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
        if (stmt && sqlite3_step(stmt) == SQLITE_ROW)
            result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

class ProcessTest : public testing::Test {
  protected:
    void SetUp() override { setenv("KIV_REGISTRY_USER", path.c_str(), 1); }
    void TearDown() override { unsetenv("KIV_REGISTRY_USER"); }

    kivtest::TempDir dir;
    std::string path = dir.file("user.db");
};

TEST_F(ProcessTest, ConcurrentWritersLoseNothing) {
    constexpr int kWriters = 4, kValues = 150;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.push_back(spawnClient({"write", std::to_string(w), std::to_string(kValues)}));
    for (pid_t pid : writers) EXPECT_EQ(waitFor(pid), 0);

    Store store(path);
    std::unique_ptr<Key> root, shared;
    ASSERT_EQ(store.openRoot(kKeyQueryValue, root), 0u);
    ASSERT_EQ(root->open("Shared", kKeyQueryValue, shared), 0u);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kValues; ++i) {
            std::string name = numbered("w", w) + numbered("-", i);
            EXPECT_EQ(valueOf(*shared, name), name + '\0');
        }
    }
}

TEST_F(ProcessTest, KilledWriterLeavesTheOldOrTheNewValue) {
    std::mt19937 random(12345);
    Store store(path);
    for (int round = 0; round < 4; ++round) {
        pid_t pid = spawnClient({"churn"});
        // Kill it at some point after its first write.
        std::unique_ptr<Key> root, key;
        for (int wait = 0; wait < 500 && !key; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (store.openRoot(kKeyQueryValue, root) == 0) root->open("Churn", kKeyQueryValue, key);
        }
        ASSERT_TRUE(key) << "the writer never wrote";
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 150));
        kill(pid, SIGKILL);
        EXPECT_EQ(waitFor(pid), 128 + SIGKILL);

        EXPECT_EQ(integrityCheck(path), "ok");
        std::string blob = valueOf(*key, "blob");
        ASSERT_EQ(blob.size(), 65536u) << blob.substr(0, 40);
        uint64_t version;
        std::memcpy(&version, blob.data(), sizeof version);
        EXPECT_GT(version, 0u);
        EXPECT_EQ(blob.find_first_not_of(static_cast<char>(version & 0xFF), sizeof version),
                  std::string::npos)
            << "version " << version;
    }
}

TEST_F(ProcessTest, ProcessThatMayNotWriteStillReads) {
    {
        Store store(path);
        std::unique_ptr<Key> root, key;
        Disposition disposition;
        ASSERT_EQ(store.openRoot(kKeyCreateSubKey, root), 0u);
        ASSERT_EQ(root->create("Shared", kKeySetValue, key, disposition), 0u);
        ASSERT_EQ(
            key->setValue("greeting", kRegSz, {reinterpret_cast<const uint8_t *>("hello"), 6}), 0u);
    }
    std::vector<std::string> args = {"check-readonly"};
    if (geteuid() == 0) {
        // Root may write anything: the reader drops to an unprivileged user.
        args.push_back("65534");
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    } else {
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    }
    args.insert(args.begin(), REGISTRY_CLIENT);
    auto result = kivtest::runProcess(args);
    chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out,
              "write-root 0x80070005\n"
              "read-root 0x00000000\n"
              "create 0x80070005\n"
              "open 0x00000000\n"
              "value 0x00000000 hello\n");
}

}  // namespace
