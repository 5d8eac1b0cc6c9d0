// SPDX-License-Identifier: Apache-2.0
// kiv create CLSID IID: create an object of a class through its plug-in and report the result.
#include <cstdio>
#include <string>

#include "cli.h"
#include "uuid_text.h"

namespace kivtool {

namespace {

// Why no factory came for the class: not registered anywhere, a plug-in that did not load, or
// one that loaded but does not serve the class.
int factoryFailure(const std::string &clsid, kivResult rc) {
    const auto path = registeredPath(clsid.c_str());
    if (!path) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "kiv: create: class %s is not registered (kiv which %s shows where it is "
                     "looked for)\n",
                     clsid.c_str(), clsid.c_str());
        return kExitFailure;
    }
    if (rc == KIV_E_NO_FACTORY)
        return failure("create: " + *path + " does not serve class " + clsid, rc);
    return failure("create: loading " + *path, rc);
}

}  // namespace

int runCreate(Args args) {
    std::string error;
    const auto options = Options::parse(args, 1, {}, error);
    if (!options) return usageError("create: " + error);
    if (options->operands().size() != 2) return usageError("create: expected CLSID IID");
    const std::string iid(options->operands()[1]);
    const auto clsid = classIdOf(options->operands()[0]);
    if (!clsid)
        return usageError("create: not a class id (UUID text): " +
                          std::string(options->operands()[0]));

    // The factory first, so that a class that cannot be reached is told from an object that
    // lacks the interface.
    void *factory = nullptr;
    kivResult rc = kivGetObjectFactory(clsid->c_str(), KIV_CLSCTX_INPROC, nullptr,
                                       KIV_IID_IOBJECTFACTORY, &factory);
    if (KIV_FAILED(rc)) return factoryFailure(*clsid, rc);
    kivComRelease(factory);

    void *object = nullptr;
    rc = kivCreateInstance(clsid->c_str(), nullptr, KIV_CLSCTX_INPROC, nullptr, iid.c_str(),
                           &object);
    if (rc == KIV_E_NOINTERFACE)
        return failure("create: the object of class " + *clsid + " has no interface " + iid, rc);
    if (KIV_FAILED(rc)) return failure("create: class " + *clsid + ", interface " + iid, rc);
    // The interface asked for is the one granted; a derived interface's table may answer it.
    const char *table = static_cast<IUnknown *>(object)->vtbl->interfaceId(object);
    std::string through;
    if (table && kivCompareIID(table, iid.c_str()) != 0)
        through = std::string(" (through its ") + table + " table)";
    std::printf("0x%08x  %s: object of class %s, interface %s%s\n", rc, kivStrError(rc),
                clsid->c_str(), iid.c_str(), through.c_str());
    kivComRelease(object);
    return kExitOk;
}

}  // namespace kivtool
