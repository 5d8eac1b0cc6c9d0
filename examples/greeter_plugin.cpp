// SPDX-License-Identifier: Apache-2.0
// The greeter plug-in in C++: the same class as the C plug-in, implemented through the C++
// mapping of greeter.idl (greeter.hpp is generated) and kiv::object from kiv.hpp. Either
// language's host calls it.
#include <atomic>
#include <cstdio>

#include "greeter.hpp"

namespace {

class Greeter final : public kiv::object<Demo::IGreeter> {
  public:
    kivResult greet(const char *name, char **result) override {
        *result = nullptr;
        if (!name) return KIV_E_INVALIDARG;
        int length = std::snprintf(nullptr, 0, "Hello, %s!", name);
        if (length < 0) return KIV_E_FAIL;
        *result = static_cast<char *>(kivMalloc(static_cast<size_t>(length) + 1));
        std::snprintf(*result, static_cast<size_t>(length) + 1, "Hello, %s!", name);
        ++greetings_;
        return KIV_S_OK;
    }
    kivResult get_greetings(uint32_t *value) override {
        *value = greetings_;
        return KIV_S_OK;
    }

  private:
    std::atomic<uint32_t> greetings_{0};
};

// The factory: IObjectFactory is declared in C by kiv.h, so its table is filled by hand. It is
// one static object whose count guards nothing.
std::atomic<uint32_t> factoryReferences;

uint32_t factoryAddRef(void *) {
    return ++factoryReferences;
}
uint32_t factoryRelease(void *) {
    return --factoryReferences;
}
const char *factoryInterfaceId(void *) {
    return KIV_IID_IOBJECTFACTORY;
}

kivResult factoryQueryInterface(void *self, const char *iid, void **out) {
    *out = nullptr;
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) != 0 &&
        kivCompareIID(iid, KIV_IID_IOBJECTFACTORY) != 0)
        return KIV_E_NOINTERFACE;
    *out = self;
    factoryAddRef(self);
    return KIV_S_OK;
}

kivResult factoryCreateInstance(IObjectFactory *, void *outer, const char *iid, void **out) {
    *out = nullptr;
    if (outer) return KIV_E_NO_AGGREGATION;
    if (!iid) return KIV_E_INVALIDARG;
    // The answer holds the only reference, or nothing does.
    kiv::ref<Demo::IGreeter> greeter = kiv::make<Greeter>();
    return greeter->queryInterface(iid, out);
}

kivResult factoryLockServer(IObjectFactory *, int32_t) {
    return KIV_S_OK;
}

const IObjectFactoryVtbl factoryVtbl = {
    kivComQueryInterface,  kivComAddRef,          kivComRelease,
    factoryQueryInterface, factoryAddRef,         factoryRelease,
    factoryInterfaceId,    factoryCreateInstance, factoryLockServer,
};
IObjectFactory factory = {&factoryVtbl};

}  // namespace

extern "C" KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid,
                                                           void **out) {
    *out = nullptr;
    if (kivCompareCLSID(clsid, Demo::GREETER_CLASS) != 0) return KIV_E_NO_FACTORY;
    return factoryQueryInterface(&factory, iid, out);
}
