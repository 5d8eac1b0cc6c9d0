// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the test suites: temporary folders, files and child processes.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kivtest {

// A fresh folder under $TMPDIR, removed with everything in it when the test ends, failed or not.
class TempDir {
  public:
    TempDir();
    // In memory-backed storage when the machine has it, for tests whose files are synced often.
    static TempDir inMemory();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

    TempDir(TempDir &&other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }

  private:
    explicit TempDir(const std::string &base);
    std::string path_;
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, std::string_view content);
void makeDirs(const std::string &path);

struct ProcessResult {
    int exitCode = -1;  // when the process exited
    int signal = 0;     // when it was killed by a signal
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with the given arguments; `env` entries NAME=VALUE are set in a copy of
// the current environment, and an entry that is just NAME removes that variable.
ProcessResult runProcess(const std::vector<std::string> &argv,
                         const std::vector<std::string> &env = {}, std::string_view stdinText = {});

// Runs a shell command line; convenient for tools such as nm or cc.
ProcessResult runShell(const std::string &command);

}  // namespace kivtest
