// SPDX-License-Identifier: Apache-2.0
// kiv: inspect and drive the kiv library from the command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"

namespace {

using kivtool::Command;

constexpr Command kCommands[] = {
    {"strerror", kivtool::runStrError},
    {"tlib", kivtool::runTLib},
    {"reg", kivtool::runReg},
    {"register", kivtool::runRegister},
    {"unregister", kivtool::runUnregister},
    {"which", kivtool::runWhich},
    {"create", kivtool::runCreate},
    {"uuid", kivtool::runUuid},
    {"idl", kivtool::runIdl},
    {"fixed", kivtool::runFixed},
    {"call", kivtool::runCall},
};

// The short usage for a command line that names no command: on stderr, as an error.
void printUsage() {
    std::string names;
    for (const auto &c : kCommands) names += " " + std::string(c.name);
    std::fprintf(stderr,
                 "usage: kiv COMMAND [ARGS...]\n"
                 "commands:%s\n"
                 "`kiv help` describes the tool, `kiv help COMMAND` or `kiv COMMAND --help` a "
                 "command.\n",
                 names.c_str());
}

constexpr std::string_view kSeeHelp = " (see kiv help)";

// The command names, and "help", for suggestions.
std::vector<std::string_view> commandNames() {
    std::vector<std::string_view> names{"help"};
    for (const auto &c : kCommands) names.push_back(c.name);
    return names;
}

int printHelp(std::string_view command) {
    const kivtool::HelpPage *page = kivtool::findHelp(command);
    if (!page) {
        return kivtool::usageError("no help for '" + std::string(command) + "'" +
                                   kivtool::didYouMean(command, commandNames(), kSeeHelp));
    }
    std::fwrite(page->text.data(), 1, page->text.size(), stdout);
    return kivtool::kExitOk;
}

// Whether the arguments after the command ask for its help; "--" ends the search, so that
// `kiv reg set -- KEY --help` can still name a value --help.
bool asksForHelp(int argc, char **argv) {
    for (int i = 2; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") return false;
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

int run(int argc, char **argv) {
    if (argc < 2) {
        printUsage();
        return kivtool::kExitUsage;
    }
    std::string_view first = argv[1];
    if (first == "--help" || first == "-h") return printHelp("kiv");
    if (first == "help") {
        if (argc > 3) return kivtool::usageError("help: expected at most one COMMAND");
        return printHelp(argc == 3 ? argv[2] : "kiv");
    }
    if (first == "--version") {
        std::printf("kiv %s\n", KIV_VERSION_STRING);
        return kivtool::kExitOk;
    }
    if (asksForHelp(argc, argv) && kivtool::findHelp(first)) return printHelp(first);

    for (const auto &c : kCommands) {
        if (c.name != first) continue;
        kivResult init = kivInitialize();
        if (KIV_FAILED(init)) return kivtool::failure("initialisation", init);
        return c.run(kivtool::Args(argv + 1, static_cast<size_t>(argc - 1)));
    }
    if (first.starts_with("-")) {
        const std::string_view options[] = {"--help", "--version"};
        return kivtool::usageError("unknown option '" + std::string(first) + "'" +
                                   kivtool::didYouMean(first, options, kSeeHelp));
    }
    return kivtool::usageError("unknown command '" + std::string(first) + "'" +
                               kivtool::didYouMean(first, commandNames(), kSeeHelp));
}

}  // namespace

int main(int argc, char **argv) {
    int status = run(argc, argv);
    // Output that could not be written is a failure, as with any filter: a full disk or a
    // closed pipe must not pass for success.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "kiv: writing standard output: %s\n",
                     errno ? std::strerror(errno) : "write error");
        if (status == kivtool::kExitOk) status = kivtool::kExitFailure;
    }
    return status;
}
