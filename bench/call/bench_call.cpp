// SPDX-License-Identifier: Apache-2.0
// Dynamic calls against direct calls through the function table, measured in one run:
//  - long add(in long a, in long b), prepared and called with values, against the direct call;
//  - the direct call of add into a dynamically implemented object, against a compiled object;
//  - take(in Item item, in string note): a structure and a string, dynamic against direct.
// The summary prints the differences and ratios against the goals.
#include <benchmark/benchmark.h>
#include <ffi.h>

#include <cstdio>
#include <map>
#include <string>

#include "kiv_call.h"

extern "C" {
#include "bench.h"
Bench_IMath *benchObject(void);
}

namespace {

const kcallMethod *prepared(const char *name) {
    const kcallMethod *m = nullptr;
    if (kcallPrepare(Bench_IMath_IID, name, KCALL_OPERATION, &m)) {
        std::fprintf(stderr, "bench_call: %s\n", kcallLastError());
        std::exit(1);
    }
    return m;
}

kivResult handler(void *, const kcallMethod *m, kcallValue *args, kcallValue *result) {
    result->kind = KIV_TYPE_LONG;
    if (m->argCount == 2 && args[0].kind == KIV_TYPE_LONG) {
        result->v.i32 = args[0].v.i32 + args[1].v.i32;
        return 0;
    }
    result->v.i32 = args[0].v.items[0].v.i32 + static_cast<int32_t>(args[1].count);
    return 0;
}

void BM_DirectAdd(benchmark::State &state) {
    Bench_IMath *object = benchObject();
    int32_t sum = 0;
    for (auto _ : state) {
        Bench_IMath_add(object, 40, 2, &sum);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_DirectAdd);

void BM_DynamicAdd(benchmark::State &state) {
    Bench_IMath *object = benchObject();
    const kcallMethod *add = prepared("add");
    kcallValue args[2] = {};
    args[0].kind = args[1].kind = KIV_TYPE_LONG;
    args[0].v.i32 = 40;
    args[1].v.i32 = 2;
    kcallValue sum{};
    for (auto _ : state) {
        kcallInvoke(add, object, args, 2, &sum);
        benchmark::DoNotOptimize(sum.v.i32);
    }
}
BENCHMARK(BM_DynamicAdd);

// The floor under every dynamic call: libffi's own call of add, with arguments ready.
void BM_FfiAdd(benchmark::State &state) {
    ffi_type *types[] = {&ffi_type_pointer, &ffi_type_sint32, &ffi_type_sint32, &ffi_type_pointer};
    ffi_cif cif;
    ffi_prep_cif(&cif, FFI_DEFAULT_ABI, 4, &ffi_type_uint32, types);
    Bench_IMath *object = benchObject();
    int32_t a = 40, b = 2, sum = 0;
    int32_t *out = &sum;
    void *values[] = {&object, &a, &b, &out};
    for (auto _ : state) {
        ffi_arg rc;
        ffi_call(&cif, reinterpret_cast<void (*)()>(object->vtbl->add), &rc, values);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_FfiAdd);

void BM_DirectIntoDynamicObject(benchmark::State &state) {
    const char *iids[] = {Bench_IMath_IID};
    void *object = nullptr;
    kcallObjectCreate(iids, 1, handler, nullptr, nullptr, nullptr, &object);
    auto *math = static_cast<Bench_IMath *>(object);
    int32_t sum = 0;
    for (auto _ : state) {
        Bench_IMath_add(math, 40, 2, &sum);
        benchmark::DoNotOptimize(sum);
    }
    kivComRelease(object);
}
BENCHMARK(BM_DirectIntoDynamicObject);

void BM_DirectTake(benchmark::State &state) {
    Bench_IMath *object = benchObject();
    char name[] = "widget";
    Bench_Item item = {7, 2.5, name};
    int32_t out = 0;
    for (auto _ : state) {
        Bench_IMath_take(object, &item, "note", &out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_DirectTake);

void BM_DynamicTake(benchmark::State &state) {
    Bench_IMath *object = benchObject();
    const kcallMethod *take = prepared("take");
    kcallValue args[2] = {};
    kcallValueSetItems(&args[0], KIV_TYPE_STRUCT, 3);
    args[0].v.items[0].kind = KIV_TYPE_LONG;
    args[0].v.items[0].v.i32 = 7;
    args[0].v.items[1].kind = KIV_TYPE_DOUBLE;
    args[0].v.items[1].v.f64 = 2.5;
    kcallValueSetString(&args[0].v.items[2], "widget", SIZE_MAX);
    kcallValueSetString(&args[1], "note", SIZE_MAX);
    kcallValue out{};
    for (auto _ : state) {
        kcallInvoke(take, object, args, 2, &out);
        benchmark::DoNotOptimize(out.v.i32);
    }
    kcallValueClear(&args[0]);
    kcallValueClear(&args[1]);
}
BENCHMARK(BM_DynamicTake);

class Collector : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration && !ns.count(r.run_name.str()))
                ns[r.run_name.str()] = r.GetAdjustedCPUTime();
            else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                ns[r.run_name.str()] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void printSummary(const std::map<std::string, double> &ns) {
    auto at = [&](const char *name) {
        auto it = ns.find(name);
        return it == ns.end() ? 0.0 : it->second;
    };
    const double directAdd = at("BM_DirectAdd"), dynamicAdd = at("BM_DynamicAdd"),
                 intoObject = at("BM_DirectIntoDynamicObject"), directTake = at("BM_DirectTake"),
                 dynamicTake = at("BM_DynamicTake");
    if (directAdd <= 0 || directTake <= 0) return;
    struct Line {
        const char *what;
        double value;
        const char *unit;
        double goal;
    };
    const Line lines[] = {
        {"dynamic add - direct add", dynamicAdd - directAdd, "ns", 50},
        {"add into a dynamic object - direct add", intoObject - directAdd, "ns", 80},
        {"dynamic take / direct take", dynamicTake / directTake, "x", 3},
    };
    std::printf(
        "\nCPU ns per call (medians): direct add %.1f, libffi's own call of add %.1f, dynamic "
        "add %.1f, into a dynamic object %.1f, direct take %.1f, dynamic take %.1f\n",
        directAdd, at("BM_FfiAdd"), dynamicAdd, intoObject, directTake, dynamicTake);
    bool all = true;
    for (const Line &l : lines) {
        const bool met = l.value <= l.goal;
        all = all && met;
        std::printf("%-42s %8.2f %-2s goal <= %.0f %s: %s\n", l.what, l.value, l.unit, l.goal,
                    l.unit, met ? "met" : "MISSED");
    }
    std::printf("%s\n", all ? "every goal met" : "some goals missed");
}

}  // namespace

int main(int argc, char **argv) {
    if (kivInitialize() || kcallRegisterLibrary(BENCH_TLB, KIV_REGISTER_PROCESS)) return 1;
    std::vector<char *> args = {argv[0]};
    char repetitions[] = "--benchmark_repetitions=5",
         interleave[] = "--benchmark_enable_random_interleaving=true",
         aggregates[] = "--benchmark_report_aggregates_only=true",
         minTime[] = "--benchmark_min_time=0.1";
    for (char *flag : {repetitions, interleave, aggregates, minTime}) args.push_back(flag);
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    printSummary(collector.ns);
    return 0;
}
