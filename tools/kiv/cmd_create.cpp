// SPDX-License-Identifier: Apache-2.0
// kiv create CLSID IID: create an object of a class through its plug-in and report the result.
#include <cstdio>
#include <string>

#include "cli.h"
#include "uuid_text.h"

namespace kivtool {

int runCreate(Args args) {
    std::string error;
    const auto options = Options::parse(args, 1, {}, error);
    if (!options) return usageError("create: " + error);
    if (options->operands().size() != 2) return usageError("create: expected CLSID IID");
    const std::string clsid(options->operands()[0]), iid(options->operands()[1]);
    if (!isClassId(clsid))
        return usageError("create: not a class id (lower-case UUID text): " + clsid);

    // The factory first: when the plug-in cannot be loaded, the message names its file.
    void *factory = nullptr;
    kivResult rc = kivGetObjectFactory(clsid.c_str(), KIV_CLSCTX_INPROC, nullptr,
                                       KIV_IID_IOBJECTFACTORY, &factory);
    if (KIV_FAILED(rc)) {
        const auto path = registeredPath(clsid.c_str());
        return failure(path ? "create: loading " + *path : std::string("create"), rc);
    }
    static_cast<IUnknown *>(factory)->vtbl->release(factory);

    void *object = nullptr;
    rc =
        kivCreateInstance(clsid.c_str(), nullptr, KIV_CLSCTX_INPROC, nullptr, iid.c_str(), &object);
    if (KIV_FAILED(rc)) return failure("create", rc);
    auto *unknown = static_cast<IUnknown *>(object);
    std::printf("0x%08x  %s: object of class %s, interface %s\n", rc, kivStrError(rc),
                clsid.c_str(), unknown->vtbl->interfaceId(object));
    unknown->vtbl->release(object);
    return kExitOk;
}

}  // namespace kivtool
