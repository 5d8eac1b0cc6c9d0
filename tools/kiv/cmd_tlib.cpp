// SPDX-License-Identifier: Apache-2.0
// kiv tlib info|dump|check: inspect type libraries and gate changes to them.
#include <array>
#include <cstdio>
#include <string>

#include "cli.h"
#include "kiv_call.h"
#include "header_gen.h"
#include "idl_printer.h"
#include "tlib_library.h"

namespace kivtool {

namespace {

// Opens a library or reports why not ("kiv: tlib dump: FILE: Type library format error").
std::unique_ptr<Library> openLibrary(const std::string &command, const char *path, int *status) {
    std::unique_ptr<Library> library;
    if (kivResult rc = Library::open(path, &library)) {
        std::fprintf(stderr, "kiv: %s: %s: %s\n", command.c_str(), path,
                     whyNotOpened(path, rc).c_str());
        *status = kExitFailure;
    }
    return library;
}

bool isWellKnownScope(const kivTLibDef *def) {
    return std::string_view(def->repoId) == KIV_TLIB_ROOT_ID ||
           std::string_view(def->repoId) == KIV_TLIB_ANONYMOUS_SCOPE_ID;
}

using Operands = std::vector<std::string>;

// kiv tlib info FILE
int info(const Operands &args) {
    if (args.size() != 1) return usageError("tlib info: expected FILE");
    int status = kExitOk;
    auto library = openLibrary("tlib info", args[0].c_str(), &status);
    if (!library) return status;
    Library::Reachable reachable;
    if (kivResult rc = library->walk(&reachable)) return failure("tlib info: " + args[0], rc);
    uint32_t nextLocalId = 0;
    if (kivResult rc = library->nextLocalId(&nextLocalId))
        return failure("tlib info: " + args[0] + ": local id counter", rc);

    std::array<size_t, KIV_DEF_ARRAY + 1> counts{};
    size_t total = 0;
    for (const kivTLibDef *def : reachable.definitions) {
        if (isWellKnownScope(def) || def->kind > KIV_DEF_ARRAY) continue;
        ++counts[def->kind];
        ++total;
    }
    bool hasRoot = kivTLibGetRoot(library->handle(), nullptr) == 0;
    std::printf("%-18s%s\n", "root module", hasRoot ? "present" : "absent");
    std::printf("%-18s%zu\n", "definitions", total);
    for (kivTLibDefKind kind = KIV_DEF_MODULE; kind <= KIV_DEF_ARRAY; ++kind)
        std::printf("  %-16s%zu\n", kindName(kind).c_str(), counts[kind]);
    if (!reachable.dangling.empty())
        std::printf("%-18s%zu\n", "dangling ids", reachable.dangling.size());
    if (reachable.nullEntries) std::printf("%-18s%zu\n", "null entries", reachable.nullEntries);
    std::printf("%-18s%u\n", "local id counter", nextLocalId);
    return kExitOk;
}

// kiv tlib dump FILE [REPOID]
int dump(const Operands &args) {
    if (args.size() != 1 && args.size() != 2)
        return usageError("tlib dump: expected FILE [REPOID]");
    int status = kExitOk;
    auto library = openLibrary("tlib dump", args[0].c_str(), &status);
    if (!library) return status;
    std::string text;
    if (args.size() == 1) {
        text = idl::printLibrary(*library);
    } else {
        kivResult rc = 0;
        const kivTLibDef *def = library->find(args[1].c_str(), &rc);
        if (!def) return failure("tlib dump: " + args[1], rc);
        text = idl::printDefinition(*library, def);
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
}

// Why a definition of the old library is not matched by the new one, "" when it is.
std::string mismatch(const Library &before, const kivTLibDef *old, const Library &after) {
    kivResult rc = 0;
    const kivTLibDef *now = after.find(old->repoId, &rc);
    if (rc == KIV_E_UNKNOWN_REPOID) return "missing";
    if (!now) return std::string("cannot read: ") + kivStrError(rc);
    rc = kivTLibCheckCompatDef(before.handle(), old, after.handle(), now);
    if (rc == 0) return "";
    if (rc != KIV_E_INCOMPATIBLE) return std::string("cannot compare: ") + kivStrError(rc);
    if (old->kind != now->kind)
        return "incompatible: was " + kindName(old->kind) + ", now " + kindName(now->kind);
    return "incompatible";
}

// kiv tlib check FILE: what is wrong with a file, page by page and record by record.
int checkOne(const char *path) {
    size_t records = 0;
    std::vector<std::string> problems = checkFile(path, &records);
    for (const std::string &problem : problems) std::printf("%s\n", problem.c_str());
    if (!problems.empty()) {
        std::printf("%s: %zu problem%s\n", path, problems.size(), problems.size() == 1 ? "" : "s");
        return kExitFailure;
    }
    std::printf("%s: %zu records, no problems found\n", path, records);
    return kExitOk;
}

// kiv tlib check OLD NEW: every definition of OLD must have a compatible one in NEW.
int check(const Operands &args) {
    if (args.size() == 1) return checkOne(args[0].c_str());
    if (args.size() != 2) return usageError("tlib check: expected FILE, or OLD NEW");
    int status = kExitOk;
    auto before = openLibrary("tlib check", args[0].c_str(), &status);
    if (!before) return status;
    auto after = openLibrary("tlib check", args[1].c_str(), &status);
    if (!after) return status;
    Library::Reachable reachable;
    if (kivResult rc = before->walk(&reachable)) return failure("tlib check: " + args[0], rc);

    size_t problems = 0;
    for (const kivTLibDef *def : reachable.definitions) {
        std::string why = mismatch(*before, def, *after);
        if (why.empty()) continue;
        std::printf("%s: %s\n", def->repoId, why.c_str());
        ++problems;
    }
    if (problems) {
        std::printf("%zu of %zu definitions incompatible or missing\n", problems,
                    reachable.definitions.size());
        return kExitFailure;
    }
    std::printf("%zu definitions compatible\n", reachable.definitions.size());
    return kExitOk;
}

// kiv tlib register|unregister [--user] [--variant] [--process] FILE: the registry value
// through which the dynamic call library finds FILE's interfaces.
int registration(Args args, bool add) {
    static constexpr OptionSpec kOptions[] = {{"--user"}, {"--variant"}, {"--process"}};
    const std::string command = std::string("tlib ") + args[1];
    std::string error;
    const auto options = Options::parse(args, 2, kOptions, error);
    if (!options) return usageError(command + ": " + error);
    if (options->operands().size() != 1)
        return usageError(command + ": expected FILE [--user] [--variant] [--process]");
    uint32_t flags = 0;
    if (options->has("--user")) flags |= KIV_REGISTER_USER_ONLY;
    if (options->has("--variant")) flags |= KIV_REGISTER_VARIANT;
    if (options->has("--process")) flags |= KIV_REGISTER_PROCESS;
    const std::string path(options->operands()[0]);
    kivResult rc = add ? kcallRegisterLibrary(path.c_str(), flags)
                       : kcallUnregisterLibrary(path.c_str(), flags);
    if (KIV_FAILED(rc)) return failure(command + " " + path, rc);
    std::printf("%s %s\n", add ? "registered" : "unregistered", path.c_str());
    return kExitOk;
}

}  // namespace

int runTLib(Args args) {
    constexpr const char *kUsage =
        "tlib: expected info FILE, dump FILE [REPOID], check [OLD] NEW, header FILE "
        "[REPOID...], register FILE or unregister FILE";
    if (args.size() < 2) return usageError(kUsage);
    const std::string_view sub = args[1];
    if (sub == "header") return runTLibHeader(args);
    if (sub == "register" || sub == "unregister") return registration(args, sub == "register");
    const struct {
        std::string_view name;
        int (*run)(const Operands &);
    } subcommands[] = {{"info", info}, {"dump", dump}, {"check", check}};
    for (const auto &s : subcommands) {
        if (s.name != sub) continue;
        std::string error;
        const auto options = Options::parse(args, 2, {}, error);
        if (!options) return usageError("tlib " + std::string(sub) + ": " + error);
        return s.run(Operands(options->operands().begin(), options->operands().end()));
    }
    const std::string_view names[] = {"info", "dump", "check", "header", "register", "unregister"};
    const std::string hint = didYouMean(sub, names);
    if (!hint.empty())
        return usageError("tlib: unknown subcommand '" + std::string(sub) + "'" + hint);
    return usageError(kUsage);
}

}  // namespace kivtool
