// SPDX-License-Identifier: Apache-2.0
// Test helpers: temporary folders, files and child processes.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace kivtest {

TempDir::TempDir()
    : TempDir([] {
          const char *base = std::getenv("TMPDIR");
          return std::string(base && *base ? base : "/tmp");
      }()) {}

TempDir::TempDir(const std::string &base) {
    std::string pattern = base + "/kivtest-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed in " + base);
    path_ = buffer.data();
}

TempDir TempDir::inMemory() {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0)
        return TempDir(std::string("/dev/shm"));
    return TempDir();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void makeDirs(const std::string &path) {
    std::filesystem::create_directories(path);
}

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto &entry : extra) {
        auto eq = entry.find('=');
        std::string name = entry.substr(0, eq) + "=";
        std::erase_if(env, [&](const std::string &e) { return e.starts_with(name); });
        if (eq != std::string::npos) env.push_back(entry);
    }
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> p;
    for (auto &s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         std::string_view stdinText) {
    // A child that exits without reading its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(in, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> args = argv, environment = mergedEnvironment(env);
    auto argp = pointers(args), envp = pointers(environment);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    close(in[0]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        close(in[1]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }

    // Feed stdin and drain both outputs together so that no pipe fills up.
    ProcessResult result;
    size_t written = 0;
    if (stdinText.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    int open = 2;
    while (open > 0 || fds[2].fd >= 0) {
        if (poll(fds, 3, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            }
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = (fds[2].revents & POLLOUT) ? write(fds[2].fd, stdinText.data() + written,
                                                           stdinText.size() - written)
                                                   : -1;
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == stdinText.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }

    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

ProcessResult runShell(const std::string &command) {
    return runProcess({"/bin/sh", "-c", command});
}

}  // namespace kivtest
