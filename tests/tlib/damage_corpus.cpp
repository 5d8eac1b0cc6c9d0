// SPDX-License-Identifier: Apache-2.0
// Writes a corpus of damaged library files and runs a host's calls and the kiv tool over each
// in a child process, counting crashes, hangs, sanitizer reports and broken promises.
//
//   tlib_damage_corpus DIR COUNT [--no-tool] [--from=N] [--to=N]
//
// --from and --to run the calls on part of the corpus only (files N to N-1), for running
// parts side by side; every run writes the same files.
// The tool's subcommands run in the children as `kiv tlib info|check|dump FILE` would. DIR
// receives base.tlb (a sound library of 442 definitions), the damaged files and, for each
// run that went wrong, its stderr; the corpus is made from a fixed seed, so a run repeats.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "damage.h"
#include "test_support.h"
#include "ust_fs.h"

namespace {

constexpr unsigned kTimeoutSeconds = 60;

enum Outcome { Fine, Crash, Hang, Sanitizer, Broken };

// Runs `body` (returns an exit status) in a child with its stderr in `errPath`.
template <class Body>
Outcome inChild(const std::string &errPath, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        int out = ::open("/dev/null", O_WRONLY);
        dup2(out, 1);
        alarm(kTimeoutSeconds);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(errPath);
    std::stringstream text;
    text << in.rdbuf();
    bool reported = text.str().find("Sanitizer") != std::string::npos ||
                    text.str().find("runtime error") != std::string::npos;
    if (reported) return Sanitizer;
    if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGALRM ? Hang : Crash;
    if (WEXITSTATUS(status) == 3) return Broken;
    if (WEXITSTATUS(status) > 2) return Crash;
    std::remove(errPath.c_str());
    return Fine;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR COUNT [--no-tool] [--from=N] [--to=N]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    int count = std::atoi(argv[2]);
    bool tool = true;
    int from = 0, to = count;
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--no-tool") tool = false;
        if (arg.rfind("--from=", 0) == 0) from = std::atoi(arg.c_str() + 7);
        if (arg.rfind("--to=", 0) == 0) to = std::atoi(arg.c_str() + 5);
    }
    // Durability is not under test, and syncs would dominate the time of a run.
    static ustFsTable noSync = *ustFsGetTable();
    noSync.fsync = [](int) { return 0; };
    ustFsSetTable(&noSync);
    kivtest::makeDirs(dir);
    std::vector<std::string> ids = tlibtest::buildLibrary(dir + "/base.tlb", 442);
    std::string good = kivtest::readFile(dir + "/base.tlb");

    std::mt19937 random(4000);
    const char *names[] = {"fine", "crash", "hang", "sanitizer", "broken"};
    std::map<std::string, std::map<std::string, int>> tally;  // step -> outcome -> files
    std::map<std::string, int> kinds;
    for (int i = 0; i < count; ++i) {
        auto kind = tlibtest::Damage(i % tlibtest::kDamageKinds);
        char name[64];
        std::snprintf(name, sizeof name, "/%04d-%s", i, tlibtest::damageName(kind));
        std::string path = dir + name + ".tlb", bytes = tlibtest::damaged(good, kind, random);
        if (i < from || i >= to) continue;
        kivtest::writeFile(path, bytes);
        ++kinds[tlibtest::damageName(kind)];

        auto note = [&](const std::string &step, Outcome outcome) {
            ++tally[step][names[outcome]];
            if (outcome != Fine)
                std::printf("%s: %s %s\n", path.c_str(), step.c_str(), names[outcome]);
        };
        note("host", inChild(dir + name + ".host.err", [&] {
                 std::string broken = tlibtest::exercise(path, dir + name + ".copy", ids);
                 std::remove((dir + name + ".copy").c_str());
                 if (broken.empty()) return 0;
                 std::fprintf(stderr, "%s\n", broken.c_str());
                 return 3;
             }));
        if (!tool) continue;
        for (const char *step : {"info", "check", "dump"}) {
            note(step, inChild(dir + name + "." + step + ".err", [&] {
                     char *args[] = {const_cast<char *>("tlib"), const_cast<char *>(step),
                                     path.data()};
                     int status = kivtool::runTLib(args);
                     std::fflush(stdout);
                     return status;
                 }));
        }
    }
    std::printf("%d damaged files:", std::min(to, count) - from);
    for (auto &[kind, n] : kinds) std::printf(" %s %d", kind.c_str(), n);
    std::printf("\n");
    int bad = 0;
    for (auto &[step, outcomes] : tally) {
        std::printf("%-6s", step.c_str());
        for (const char *outcome : names) {
            std::printf(" %s %d", outcome, outcomes[outcome]);
            if (std::string(outcome) != "fine") bad += outcomes[outcome];
        }
        std::printf("\n");
    }
    return bad ? 1 : 0;
}
