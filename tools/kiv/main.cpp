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
    {"reg",
     "reg ls|tree|get|set|rm [--machine|--user] KEY [VALUE-NAME] [--type T] [VALUE...]\n"
     "                                  the registry database (T: string, int32, int64, bytes, "
     "list)",
     kivtool::runReg},
    {"uuid",
     "uuid [-n N]                 new random UUIDs\n"
     "  kiv uuid --name NAMESPACE NAME  version-3 UUID of NAME (NAMESPACE: dns, url, oid, x500 "
     "or a UUID)",
     kivtool::runUuid},
    {"register",
     "register CLSID PATH [--user] [--variant] [--process]\n"
     "                                  record the plug-in that serves a class",
     kivtool::runRegister},
    {"unregister",
     "unregister CLSID [--user] [--variant] [--process]\n"
     "                                  remove a class's registration",
     kivtool::runUnregister},
    {"which", "which CLSID                 which location serves a class, and why",
     kivtool::runWhich},
    {"create", "create CLSID IID            create an object and report the result",
     kivtool::runCreate},
    {"tlib",
     "tlib SUBCOMMAND ARGS...     type libraries: info FILE, dump FILE [REPOID], check OLD NEW",
     kivtool::runTLib},
    {"idl",
     "idl [-o LIB] [-I DIR] [-D NAME[=VALUE]] [--import LIB] FILE.idl...\n"
     "                                  compile IDL into a type library",
     kivtool::runIdl},
    {"fixed",
     "fixed OP A [B] --type D,S   exact decimal arithmetic, OP one of add sub mul div\n"
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
