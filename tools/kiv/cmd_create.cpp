// kiv create CLSID IID: create an object of a class through its plug-in and report the result.
#include <cstdio>
#include <string>

#include "cli.h"
#include "uuid_text.h"

namespace kivtool {

int runCreate(Args args) {
    if (args.size() != 3) return usageError("create: expected CLSID IID");
    std::string clsid = args[1], iid = args[2];
    if (!isClassId(clsid))
        return usageError("create: not a class id (lower-case UUID text): " + clsid);
    void *object = nullptr;
    kivResult rc =
        kivCreateInstance(clsid.c_str(), nullptr, KIV_CLSCTX_INPROC, nullptr, iid.c_str(), &object);
    if (KIV_FAILED(rc)) return failure("create", rc);
    auto *unknown = static_cast<IUnknown *>(object);
    std::printf("0x%08x  %s: object of class %s, interface %s\n", rc, kivStrError(rc),
                clsid.c_str(), unknown->vtbl->interfaceId(object));
    unknown->vtbl->release(object);
    return kExitOk;
}

}  // namespace kivtool
