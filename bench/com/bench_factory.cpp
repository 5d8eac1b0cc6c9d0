// SPDX-License-Identifier: Apache-2.0
// kivCreateInstance of a warm class against calling the plug-in's factory directly, in the
// same run, on one and on two threads.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdlib>

#include "com/classes.h"
#include "kiv.h"

namespace {

constexpr const char *kClass = "6d1f0b3a-5e27-4c9d-a841-2f7e3c6b9d05";
constexpr const char *kIid = "IDL:kivtest/bench:1.0";  // the interface of the plug-in's objects

kivDSOGetObjectFactory directEntry() {
    static kivDSOGetObjectFactory entry = [] {
        void *handle = dlopen(BENCH_PLUGIN, RTLD_NOW);
        if (!handle) std::abort();
        return reinterpret_cast<kivDSOGetObjectFactory>(dlsym(handle, KIV_DSO_ENTRY_POINT));
    }();
    return entry;
}

void setUp() {
    static bool done = [] {
        if (kivInitialize() != 0) std::abort();
        if (kivRegisterDSO(kClass, KIV_REGISTER_PROCESS, BENCH_PLUGIN) != 0) std::abort();
        void *object = nullptr;  // resolve once: the class is warm from here on
        if (KIV_FAILED(
                kivCreateInstance(kClass, nullptr, KIV_CLSCTX_INPROC, nullptr, kIid, &object)))
            std::abort();
        kivComRelease(object);
        return true;
    }();
    (void)done;
}

// What a host would do without the component model: the plug-in's entry, its factory, the
// object, then release both.
void BM_DirectFactory(benchmark::State &state) {
    setUp();
    kivDSOGetObjectFactory entry = directEntry();
    for (auto _ : state) {
        void *factory = nullptr, *object = nullptr;
        entry(kClass, KIV_IID_IOBJECTFACTORY, &factory);
        auto *f = static_cast<IObjectFactory *>(factory);
        f->vtbl->createInstance(f, nullptr, kIid, &object);
        f->vtbl->release(f);
        benchmark::DoNotOptimize(object);
        static_cast<IUnknown *>(object)->vtbl->release(object);
    }
}
BENCHMARK(BM_DirectFactory)->Threads(1)->Threads(2);

void BM_CreateInstance(benchmark::State &state) {
    setUp();
    for (auto _ : state) {
        void *object = nullptr;
        kivCreateInstance(kClass, nullptr, KIV_CLSCTX_INPROC, nullptr, kIid, &object);
        benchmark::DoNotOptimize(object);
        static_cast<IUnknown *>(object)->vtbl->release(object);
    }
}
BENCHMARK(BM_CreateInstance)->Threads(1)->Threads(2);

// The library's own share: finding the factory entry of a warm class.
void BM_FindFactoryEntry(benchmark::State &state) {
    setUp();
    kiv::com::Components &components = *kiv::com::processComponents();
    for (auto _ : state) {
        kivDSOGetObjectFactory entry = nullptr;
        components.findFactoryEntry(kClass, &entry);
        benchmark::DoNotOptimize(entry);
    }
}
BENCHMARK(BM_FindFactoryEntry)->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
