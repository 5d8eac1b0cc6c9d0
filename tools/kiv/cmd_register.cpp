// SPDX-License-Identifier: Apache-2.0
// kiv register CLSID PATH [--user] [--variant] [--process] and kiv unregister CLSID [...]:
// record or remove the plug-in that serves a class.
#include <dlfcn.h>

#include <cstdio>
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
    if (!isClassId(r.operands[0])) {
        status = usageError(
            command + ": not a class id (lower-case UUID text): " + std::string(r.operands[0]));
        return std::nullopt;
    }
    return r;
}

std::string variantText(uint32_t flags) {
    return (flags & KIV_REGISTER_VARIANT) ? "variant 1" : "variant 0";
}

// Where kivUnregisterDSO looks, for the confirmation line.
std::string describe(uint32_t flags) {
    if (flags & KIV_REGISTER_PROCESS) return "this process only";
    std::string where =
        (flags & KIV_REGISTER_USER_ONLY) ? "user root" : "machine root, else user root";
    return where + ", " + variantText(flags);
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

// Warns when the plug-in will not load: the registration is made all the same, since the file
// may be installed later, but a typing mistake should not go unnoticed.
void checkPlugin(const std::string &path) {
    std::error_code ec;
    if (path.find('/') != std::string::npos && !std::filesystem::exists(path, ec)) {
        warning(path + " does not exist");
        return;
    }
    void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        warning(path + " cannot be loaded: " + (why ? why : "unknown reason"));
        return;
    }
    if (!dlsym(handle, "dsoGetObjectFactory"))
        warning(path + " does not export dsoGetObjectFactory");
    dlclose(handle);
}

}  // namespace

int runRegister(Args args) {
    int status = kExitOk;
    auto r = parseCommand(args, 2, "CLSID PATH", status);
    if (!r) return status;
    std::string clsid(r->operands[0]);
    std::string path = storedPath(r->operands[1]);
    checkPlugin(path);
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
    std::string clsid(r->operands[0]);
    kivResult rc = kivUnregisterDSO(clsid.c_str(), r->flags);
    if (KIV_FAILED(rc)) return failure("unregister", rc);
    std::printf("unregistered %s (%s)\n", clsid.c_str(), describe(r->flags).c_str());
    return kExitOk;
}

}  // namespace kivtool
