// SPDX-License-Identifier: Apache-2.0
// kiv register CLSID PATH [--user] [--variant] [--process] and kiv unregister CLSID [...]:
// record or remove the plug-in that serves a class.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "com/registry_access.h"
#include "uuid_text.h"

namespace kivtool {

namespace {

using namespace kiv::com;

struct Registration {
    std::string clsid;
    std::vector<std::string_view> operands;
    uint32_t flags = 0;
};

constexpr OptionSpec kOptions[] = {{"--user"}, {"--variant"}, {"--process"}};

// Splits the arguments after the subcommand into operands and registration flags and checks
// them; a usage error is reported, with its status in `status`, and gives nullopt.
std::optional<Registration> parseCommand(Args args, size_t operandCount,
                                         std::string_view operandSynopsis, int &status) {
    const std::string command = args[0];
    std::string error;
    const auto options = Options::parse(args, 1, kOptions, error);
    if (!options) {
        status = usageError(command + ": " + error);
        return std::nullopt;
    }
    Registration r;
    r.operands = options->operands();
    if (options->has("--user")) r.flags |= KIV_REGISTER_USER_ONLY;
    if (options->has("--variant")) r.flags |= KIV_REGISTER_VARIANT;
    if (options->has("--process")) r.flags |= KIV_REGISTER_PROCESS;
    if (r.operands.size() != operandCount) {
        status = usageError(command + ": expected " + std::string(operandSynopsis) +
                            " [--user] [--variant] [--process]");
        return std::nullopt;
    }
    auto clsid = classIdOf(r.operands[0]);
    if (!clsid) {
        status =
            usageError(command + ": not a class id (UUID text): " + std::string(r.operands[0]));
        return std::nullopt;
    }
    r.clsid = std::move(*clsid);
    return r;
}

std::string variantText(uint32_t flags) {
    return (flags & KIV_REGISTER_VARIANT) ? "variant 1" : "variant 0";
}

// The plug-in path that a root holds for a class; empty when none or unreadable.
std::string pathIn(Root root, uint32_t variant, const char *clsid) {
    void *object = nullptr;
    if (KIV_FAILED(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                     KIV_IID_IREGISTRY, &object)))
        return {};
    auto *registry = static_cast<IRegistry *>(object);
    std::string path;
    {
        RegistryKey classes(registry);
        KivText text;
        if (KIV_SUCCEEDED(openClassesKey(registry, root, variant, Purpose::lookUp, classes)) &&
            KIV_SUCCEEDED(readClassPath(registry, classes.get(), clsid, text)))
            path = text.get();
    }
    registry->vtbl->release(registry);
    return path;
}

// The root that a successful kivRegisterDSO wrote. Without --user the library writes the
// machine root and falls back to the user root when the machine root cannot be written: the
// machine root holding the path afterwards tells the two apart.
std::string writtenRoot(uint32_t flags, const char *clsid, const std::string &path) {
    if (flags & KIV_REGISTER_PROCESS) return "this process only";
    const uint32_t variant = (flags & KIV_REGISTER_VARIANT) ? 1 : 0;
    if (!(flags & KIV_REGISTER_USER_ONLY) && pathIn(Root::machine, variant, clsid) == path)
        return "machine root, " + variantText(flags);
    std::string where = "user root, " + variantText(flags);
    if (!(flags & KIV_REGISTER_USER_ONLY)) where += "; the machine root cannot be written";
    return where;
}

// Paths with a folder part, and names of files in the current folder, are stored absolute so
// that they work from any folder; another bare file name is kept for the loader's search path.
std::string storedPath(std::string_view path) {
    std::error_code ec;
    if (path.find('/') == std::string_view::npos &&
        !std::filesystem::is_regular_file(std::filesystem::path(path), ec))
        return std::string(path);
    auto absolute = std::filesystem::absolute(std::filesystem::path(path), ec);
    return ec ? std::string(path) : absolute.lexically_normal().string();
}

// What loading a plug-in in a child process showed: warnings that leave the registration to be
// made, or a failure (the plug-in crashed or ended the process) that refuses it.
struct PluginCheck {
    std::vector<std::string> warnings;
    std::string failure;
};

// The child's side: loads the plug-in and asks it for the class's factory, writing one line per
// warning and then "ok" to `out`. A plug-in that crashes or exits leaves out the "ok".
[[noreturn]] void probePlugin(int out, const std::string &path, const std::string &clsid) {
    auto say = [out](const std::string &line) {
        const std::string text = line + "\n";
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = write(out, text.data() + done, text.size() - done);
            if (n <= 0) _exit(kExitFailure);
            done += static_cast<size_t>(n);
        }
    };
    alarm(30);  // a plug-in that hangs while loading ends the check
    std::error_code ec;
    if (path.find('/') != std::string::npos && !std::filesystem::exists(path, ec)) {
        say(path + " does not exist");
    } else if (void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); !handle) {
        const char *why = dlerror();
        say(path + " cannot be loaded: " + (why ? why : "unknown reason"));
    } else if (auto entry =
                   reinterpret_cast<kivDSOGetObjectFactory>(dlsym(handle, KIV_DSO_ENTRY_POINT));
               !entry) {
        say(path + " does not export " KIV_DSO_ENTRY_POINT);
    } else {
        void *factory = nullptr;
        const kivResult rc = entry(clsid.c_str(), KIV_IID_IOBJECTFACTORY, &factory);
        if (KIV_FAILED(rc))
            say(path + " gives no object factory for the class: " + kivStrError(rc));
        else if (factory)
            kivComRelease(factory);
    }
    say("ok");
    _exit(kExitOk);
}

std::string describeEnd(int status) {
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        if (sig == SIGALRM) return "did not finish loading within 30 seconds";
        return "crashed while loading (signal " + std::to_string(sig) + ": " + strsignal(sig) + ")";
    }
    return "ended the process while loading (exit status " + std::to_string(WEXITSTATUS(status)) +
           ")";
}

// Loads the plug-in in a child process, so that one that crashes or exits in its constructors
// cannot take the tool down. A file that is missing or does not load only warns: the
// registration is made all the same, since the file may be installed later, but a typing
// mistake should not go unnoticed.
PluginCheck checkPlugin(const std::string &path, const std::string &clsid) {
    PluginCheck check;
    int fds[2];
    if (pipe(fds) != 0) {
        check.warnings.push_back("cannot check " + path + ": " + std::strerror(errno));
        return check;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        probePlugin(fds[1], path, clsid);
    }
    close(fds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            report.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    }
    close(fds[0]);
    if (child < 0) {
        check.warnings.push_back("cannot check " + path + ": " + std::strerror(errno));
        return check;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    bool finished = false;
    for (size_t start = 0, end; start < report.size(); start = end + 1) {
        end = report.find('\n', start);
        if (end == std::string::npos) break;
        std::string line = report.substr(start, end - start);
        if (line == "ok")
            finished = true;
        else
            check.warnings.push_back(std::move(line));
    }
    if (!finished) check.failure = path + " " + describeEnd(status);
    return check;
}

// Which root lost the class's registration, from the paths each held before and after.
std::string removedFrom(uint32_t flags, const std::string &clsid, const std::string (&before)[2]) {
    if (flags & KIV_REGISTER_PROCESS) return "from this process";
    const uint32_t variant = (flags & KIV_REGISTER_VARIANT) ? 1 : 0;
    const Root roots[] = {Root::machine, Root::user};
    const char *names[] = {"machine root", "user root"};
    for (int i = 0; i < 2; ++i) {
        if (before[i].empty() || !pathIn(roots[i], variant, clsid.c_str()).empty()) continue;
        return std::string("from the ") + names[i] + ", " + variantText(flags) + "; it named " +
               before[i];
    }
    return "no root holds it now, " + variantText(flags);
}

}  // namespace

int runRegister(Args args) {
    int status = kExitOk;
    auto r = parseCommand(args, 2, "CLSID PATH", status);
    if (!r) return status;
    const std::string &clsid = r->clsid;
    std::string path = storedPath(r->operands[1]);
    const PluginCheck check = checkPlugin(path, clsid);
    for (const std::string &w : check.warnings) warning(w);
    if (!check.failure.empty()) {
        std::fprintf(stderr, "kiv: register: %s; nothing registered\n", check.failure.c_str());
        return kExitFailure;
    }
    kivResult rc = kivRegisterDSO(clsid.c_str(), r->flags, path.c_str());
    if (KIV_FAILED(rc)) return failure("register", rc);
    std::printf("registered %s: %s (%s)\n", clsid.c_str(), path.c_str(),
                writtenRoot(r->flags, clsid.c_str(), path).c_str());
    return kExitOk;
}

int runUnregister(Args args) {
    int status = kExitOk;
    auto r = parseCommand(args, 1, "CLSID", status);
    if (!r) return status;
    const std::string &clsid = r->clsid;
    const uint32_t variant = (r->flags & KIV_REGISTER_VARIANT) ? 1 : 0;
    const std::string before[2] = {pathIn(Root::machine, variant, clsid.c_str()),
                                   pathIn(Root::user, variant, clsid.c_str())};
    kivResult rc = kivUnregisterDSO(clsid.c_str(), r->flags);
    if (rc == KIV_E_RT_NOT_FOUND) {
        std::fprintf(stderr, "kiv: unregister: no root registers class %s (%s)\n", clsid.c_str(),
                     variantText(r->flags).c_str());
        return kExitFailure;
    }
    if (KIV_FAILED(rc)) return failure("unregister", rc);
    std::printf("unregistered %s (%s)\n", clsid.c_str(),
                removedFrom(r->flags, clsid, before).c_str());
    return kExitOk;
}

}  // namespace kivtool
