// SPDX-License-Identifier: Apache-2.0
// kiv which CLSID: which location serves a class, and why the locations before it did not;
// kiv which IID: which type library serves an interface.
//
// The walk reads the registry database with the same routines as the library's own class
// resolution (com/registry_access.cpp is built into the tool as well), then asks the library
// for the class's factory so that loading the plug-in is checked by the real thing.
#include <cstdio>
#include <string>

#include "cli.h"
#include "kiv_call.h"
#include "com/registry_access.h"
#include "uuid_text.h"

namespace kivtool {

namespace {

using namespace kiv::com;

void row(const char *location, const std::string &finding) {
    std::printf("  %-24s %s\n", location, finding.c_str());
}

// Why a step found nothing, or the failure that ends the resolution.
std::string explain(kivResult rc, const char *notFound) {
    if (rc == KIV_E_RT_NOT_FOUND) return notFound;
    return std::string(kivStrError(rc)) + " - the resolution stops here";
}

struct Finding {
    kivResult result;  // 0: the class's plug-in path was found
    std::string text;
};

Finding lookAt(IRegistry *registry, const PersistentLocation &where, const char *clsid) {
    RegistryKey classes(registry);
    kivResult rc = openClassesKey(registry, where.root, where.variant, Purpose::lookUp, classes);
    if (KIV_FAILED(rc)) return {rc, explain(rc, "no KIV/Classes key")};
    KivText path;
    rc = readClassPath(registry, classes.get(), clsid, path);
    if (KIV_FAILED(rc)) return {rc, explain(rc, "not registered")};
    return {0, path.get()};
}

// The location that serves the class and its plug-in path; empty when none does.
std::pair<const char *, std::string> walk(IRegistry *registry, const char *clsid) {
    row("this process", "no in-process registration (a new process has none)");
    const char *served = nullptr;
    std::string path;
    bool stopped = false;
    for (const auto &where : kPersistentLocations) {
        if (stopped) {
            row(where.name, "not consulted");
            continue;
        }
        Finding f = lookAt(registry, where, clsid);
        row(where.name, f.text);
        if (f.result == KIV_E_RT_NOT_FOUND) continue;
        stopped = true;
        if (f.result == 0) {
            served = where.name;
            path = f.text;
        }
    }
    return {served, path};
}

// The type library that serves an interface id, in the order the dynamic call library uses.
int whichInterface(const std::string &iid) {
    static const char *const sources[] = {"", "this process", "user root", "machine root",
                                          "KIV_TLIB_PATH"};
    std::printf("interface %s\n", iid.c_str());
    char *path = nullptr;
    uint32_t source = 0;
    kivResult rc = kcallLocateInterface(iid.c_str(), &path, &source);
    if (KIV_FAILED(rc))
        return failure(
            "which: no registered type library or KIV_TLIB_PATH "
            "folder defines it",
            rc);
    std::string library = path;
    kivFree(path);
    const kcallInterface *iface = nullptr;
    rc = kcallFindInterface(iid.c_str(), &iface);
    if (KIV_FAILED(rc)) return failure("which: reading " + library + ": " + kcallLastError(), rc);
    std::printf("served by %s: %s (%s, %u members)\n", sources[source < 5 ? source : 0],
                library.c_str(), iface->name, iface->memberCount);
    return kExitOk;
}

}  // namespace

std::optional<std::string> registeredPath(const char *clsid) {
    void *object = nullptr;
    if (KIV_FAILED(kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                     KIV_IID_IREGISTRY, &object)))
        return std::nullopt;
    auto *registry = static_cast<IRegistry *>(object);
    std::optional<std::string> path;
    for (const auto &where : kPersistentLocations) {
        Finding f = lookAt(registry, where, clsid);
        if (f.result == KIV_E_RT_NOT_FOUND) continue;
        if (f.result == 0) path = f.text;
        break;
    }
    registry->vtbl->release(registry);
    return path;
}

int runWhich(Args args) {
    std::string error;
    const auto options = Options::parse(args, 1, {}, error);
    if (!options) return usageError("which: " + error);
    if (options->operands().size() != 1) return usageError("which: expected CLSID");
    const std::string operand(options->operands()[0]);
    const auto normalised = classIdOf(operand);
    if (!normalised && operand.find(':') != std::string::npos) return whichInterface(operand);
    if (!normalised) return usageError("which: not a class id (UUID text): " + operand);
    const std::string &clsid = *normalised;

    std::printf("class %s\n", clsid.c_str());
    if (clsid == KIV_CLSID_REGISTRY) {
        std::printf("served by the library itself: the built-in registry database\n");
        return kExitOk;
    }
    void *object = nullptr;
    kivResult rc = kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                     KIV_IID_IREGISTRY, &object);
    if (KIV_FAILED(rc)) return failure("which: opening the registry database", rc);
    auto *registry = static_cast<IRegistry *>(object);
    auto [served, path] = walk(registry, clsid.c_str());
    registry->vtbl->release(registry);

    void *factory = nullptr;
    rc = kivGetObjectFactory(clsid.c_str(), KIV_CLSCTX_INPROC, nullptr, KIV_IID_IOBJECTFACTORY,
                             &factory);
    if (KIV_FAILED(rc) && !served) {
        std::fflush(stdout);
        std::fprintf(stderr, "kiv: which: class %s is not registered\n", clsid.c_str());
        return kExitFailure;
    }
    if (rc == KIV_E_NO_FACTORY)
        return failure("which: " + path + " does not serve class " + clsid, rc);
    if (KIV_FAILED(rc)) return failure("which: loading " + path, rc);
    static_cast<IObjectFactory *>(factory)->vtbl->release(factory);
    std::printf("served by %s: %s (plug-in loaded, object factory obtained)\n",
                served ? served : "an unknown location", path.c_str());
    return kExitOk;
}

}  // namespace kivtool
