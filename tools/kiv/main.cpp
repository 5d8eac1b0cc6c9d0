// kiv: inspect and drive the kiv library from the command line.
#include <cstdio>
#include <string>
#include <string_view>

#include "cli.h"

namespace {

using kivtool::Command;

constexpr Command kCommands[] = {
    {"strerror", "strerror CODE...            text of result codes (hex or decimal)",
     kivtool::runStrError},
    {"fixed", "fixed OP A [B] --type D,S   exact decimal arithmetic, OP one of add sub mul div\n"
              "                                  neg cmp round trunc int frac; [--mode NAME]\n"
              "                                  [--precision P]",
     kivtool::runFixed},
};

void printHelp() {
    std::printf("usage: kiv COMMAND [ARGS...]\n       kiv --help | --version\n\ncommands:\n");
    for (const auto &c : kCommands)
        std::printf("  kiv %.*s\n", static_cast<int>(c.synopsis.size()), c.synopsis.data());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        printHelp();
        return kivtool::kExitUsage;
    }
    std::string_view first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        printHelp();
        return kivtool::kExitOk;
    }
    if (first == "--version") {
        std::printf("kiv %s\n", KIV_VERSION);
        return kivtool::kExitOk;
    }
    kivResult init = kivInitialize();
    if (KIV_FAILED(init)) return kivtool::failure("initialisation", init);

    for (const auto &c : kCommands)
        if (c.name == first) return c.run(kivtool::Args(argv + 1, static_cast<size_t>(argc - 1)));
    return kivtool::usageError(std::string("unknown command '") + argv[1] + "' (see kiv --help)");
}
