// kiv register CLSID PATH [--user] [--variant] [--process] and kiv unregister CLSID [...]:
// record or remove the plug-in that serves a class.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "uuid_text.h"

namespace kivtool {

namespace {

struct Registration {
    std::vector<std::string_view> operands;
    uint32_t flags = 0;
};

// Splits the arguments after the subcommand into operands and registration flags and checks
// them; a usage error is reported, with its status in `status`, and gives nullopt.
std::optional<Registration> parseCommand(Args args, size_t operandCount,
                                         std::string_view operandSynopsis, int &status) {
    std::string command = args[0];
    Registration r;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string_view a = args[i];
        if (a == "--user")
            r.flags |= KIV_REGISTER_USER_ONLY;
        else if (a == "--variant")
            r.flags |= KIV_REGISTER_VARIANT;
        else if (a == "--process")
            r.flags |= KIV_REGISTER_PROCESS;
        else if (a.starts_with("--")) {
            status = usageError(command + ": unknown option " + std::string(a));
            return std::nullopt;
        } else
            r.operands.push_back(a);
    }
    if (r.operands.size() != operandCount) {
        status = usageError(command + ": expected " + std::string(operandSynopsis) +
                            " [--user] [--variant] [--process]");
        return std::nullopt;
    }
    if (!isClassId(r.operands[0])) {
        status = usageError(
            command + ": not a class id (lower-case UUID text): " + std::string(r.operands[0]));
        return std::nullopt;
    }
    return r;
}

// Where a registration goes, for the confirmation line.
std::string describe(uint32_t flags) {
    if (flags & KIV_REGISTER_PROCESS) return "this process only";
    std::string where =
        (flags & KIV_REGISTER_USER_ONLY) ? "user root" : "machine root, else user root";
    return where + ((flags & KIV_REGISTER_VARIANT) ? ", variant 1" : ", variant 0");
}

// Paths with a directory part are stored absolute so that they work from any directory; a bare
// file name is kept for the loader's search path.
std::string storedPath(std::string_view path) {
    if (path.find('/') == std::string_view::npos) return std::string(path);
    std::error_code ec;
    auto absolute = std::filesystem::absolute(std::filesystem::path(path), ec);
    return ec ? std::string(path) : absolute.lexically_normal().string();
}

}  // namespace

int runRegister(Args args) {
    int status = kExitOk;
    auto r = parseCommand(args, 2, "CLSID PATH", status);
    if (!r) return status;
    std::string clsid(r->operands[0]);
    std::string path = storedPath(r->operands[1]);
    kivResult rc = kivRegisterDSO(clsid.c_str(), r->flags, path.c_str());
    if (KIV_FAILED(rc)) return failure("register", rc);
    std::printf("registered %s: %s (%s)\n", clsid.c_str(), path.c_str(),
                describe(r->flags).c_str());
    return kExitOk;
}

int runUnregister(Args args) {
    int status = kExitOk;
    auto r = parseCommand(args, 1, "CLSID", status);
    if (!r) return status;
    std::string clsid(r->operands[0]);
    kivResult rc = kivUnregisterDSO(clsid.c_str(), r->flags);
    if (KIV_FAILED(rc)) return failure("unregister", rc);
    std::printf("unregistered %s (%s)\n", clsid.c_str(), describe(r->flags).c_str());
    return kExitOk;
}

}  // namespace kivtool
