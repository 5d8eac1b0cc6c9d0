// SPDX-License-Identifier: Apache-2.0
// The runner plug-in of the Python tests, in C++ through the header that echo.idl gives: it
// calls a callback object (implemented by the test in Python) from several threads at once.
#include <atomic>
#include <thread>
#include <vector>

#include "echo.hpp"

namespace {

class Runner final : public kiv::object<Echo::IRunner> {
  public:
    kivResult callApply(Echo::ICallback *cb, int32_t threads, int32_t calls,
                        int64_t *result) override {
        if (!cb || threads < 1 || threads > 64 || calls < 0) return KIV_E_INVALIDARG;
        std::atomic<int64_t> sum{0};
        std::atomic<kivResult> failure{KIV_S_OK};
        std::vector<std::thread> workers;
        for (int32_t t = 0; t < threads; ++t) {
            workers.emplace_back([&] {
                for (int32_t x = 0; x < calls && failure == KIV_S_OK; ++x) {
                    int32_t y = 0;
                    kivResult rc = cb->apply(x, &y);
                    if (KIV_FAILED(rc)) failure = rc;
                    sum += y;
                }
            });
        }
        for (auto &worker : workers) worker.join();
        if (KIV_FAILED(failure)) return failure;
        *result = sum;
        return KIV_S_OK;
    }
};

// The factory: one static object whose count guards nothing.
uint32_t factoryAddRef(void *) {
    return 2;
}
uint32_t factoryRelease(void *) {
    return 1;
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
    return KIV_S_OK;
}

kivResult factoryCreateInstance(IObjectFactory *, void *outer, const char *iid, void **out) {
    *out = nullptr;
    if (outer) return KIV_E_NO_AGGREGATION;
    if (!iid) return KIV_E_INVALIDARG;
    kiv::ref<Echo::IRunner> runner = kiv::make<Runner>();
    return runner->queryInterface(iid, out);
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
    if (kivCompareCLSID(clsid, Echo::RUNNER_CLASS) != 0) return KIV_E_NO_FACTORY;
    return factoryQueryInterface(&factory, iid, out);
}
