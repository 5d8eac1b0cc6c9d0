// SPDX-License-Identifier: Apache-2.0
// Compiling a generated IDL file of 10,000 definitions, against creating the same
// definitions directly through the C API.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <unistd.h>

#include "idl_compiler.h"
#include "kiv.h"

namespace {

constexpr int kModules = 100;
constexpr int kPerModule = 100;  // 20 each of struct, enum, const, typedef, interface

std::string path(const char *name) {
    return "/dev/shm/kiv-idl-bench-" + std::to_string(getpid()) + "-" + name;
}

std::string generated() {
    std::string text;
    for (int m = 0; m < kModules; ++m) {
        text += "module M" + std::to_string(m) + " {\n";
        for (int i = 0; i < kPerModule / 5; ++i) {
            std::string n = std::to_string(i);
            text += "  struct S" + n + " { long x; double y; };\n";
            text += "  enum E" + n + " { A" + n + ", B" + n + ", C" + n + " };\n";
            text += "  const long K" + n + " = " + n + " * 3 + 1;\n";
            text += "  typedef sequence<long> Q" + n + ";\n";
            text += "  interface I" + n + " { long f(in long a, out S" + n + " s); attribute E" +
                    n + " e; };\n";
        }
        text += "};\n";
    }
    return text;
}

void BM_CompileIdl(benchmark::State &state) {
    std::string text = generated();
    std::string out = path("compiled.tlb");
    for (auto _ : state) {
        std::remove(out.c_str());
        auto r = kivtool::idl::compileLibrary(out, {{"gen.idl", text, true}}, {},
                                              kivtool::idl::diskReader());
        if (r.errors) state.SkipWithError(r.diagnostics.c_str());
    }
    std::remove(out.c_str());
    state.counters["definitions"] = kModules * kPerModule;
}
BENCHMARK(BM_CompileIdl)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_CreateDirect(benchmark::State &state) {
    std::string out = path("direct.tlb");
    for (auto _ : state) {
        std::remove(out.c_str());
        kivTLib *t = nullptr;
        kivTLibCreate(out.c_str(), 0, &t);
        kivTLibCreateRoot(t, 0, nullptr);
        for (int m = 0; m < kModules; ++m) {
            std::string module = std::string("M") + std::to_string(m),
                        mid = "IDL:" + module + ":1.0";
            kivTLibCreateModule(t, module.c_str(), mid.c_str(), KIV_TLIB_ROOT_ID, 0, nullptr);
            for (int i = 0; i < kPerModule / 5; ++i) {
                std::string n = std::to_string(i), p = "IDL:" + module + "/";
                std::string s = p + std::string("S") + n + ":1.0",
                            e = p + std::string("E") + n + ":1.0";
                kivTLibStructMember sm[] = {{"x", {KIV_TYPE_LONG, nullptr}},
                                            {"y", {KIV_TYPE_DOUBLE, nullptr}}};
                kivTLibCreateStruct(t, (std::string("S") + n).c_str(), s.c_str(), mid.c_str(), 0, 2,
                                    sm, nullptr);
                std::string a = std::string("A") + n, b = std::string("B") + n,
                            c = std::string("C") + n;
                kivTLibEnumMember em[] = {{a.c_str(), 0}, {b.c_str(), 1}, {c.c_str(), 2}};
                kivTLibCreateEnum(t, (std::string("E") + n).c_str(), e.c_str(), mid.c_str(), 0, 3,
                                  em, nullptr);
                kivTLibTypeRef longType{KIV_TYPE_LONG, nullptr};
                kivTLibValue v{};
                v.tag = KIV_TYPE_LONG;
                v.u32 = static_cast<uint32_t>(i * 3 + 1);
                kivTLibCreateConstant(t, (std::string("K") + n).c_str(),
                                      (p + std::string("K") + n + ":1.0").c_str(), mid.c_str(), 0,
                                      &longType, &v, nullptr);
                char local[32];
                kivTLibCreateLocalRepoId(t, local, sizeof local);
                kivTLibCreateSequence(t, local, 0, 0, &longType, nullptr);
                kivTLibTypeRef seq{KIV_TYPE_SEQUENCE, local};
                kivTLibCreateAlias(t, (std::string("Q") + n).c_str(),
                                   (p + std::string("Q") + n + ":1.0").c_str(), mid.c_str(), 0,
                                   &seq, nullptr);
                kivTLibParam params[] = {{"a", {KIV_TYPE_LONG, nullptr}, KIV_PARAM_IN},
                                         {"s", {KIV_TYPE_STRUCT, s.c_str()}, KIV_PARAM_OUT}};
                kivTLibMember members[] = {
                    {KIV_MEMBER_OPERATION, "f", 0, {KIV_TYPE_LONG, nullptr}, 2, params},
                    {KIV_MEMBER_ATTRIBUTE, "e", 0, {KIV_TYPE_ENUM, e.c_str()}, 0, nullptr}};
                kivTLibCreateInterface(t, (std::string("I") + n).c_str(),
                                       (p + std::string("I") + n + ":1.0").c_str(), mid.c_str(), 0,
                                       nullptr, 2, members, nullptr);
            }
        }
        kivTLibFlush(t);
        kivTLibClose(t);
    }
    std::remove(out.c_str());
    state.counters["definitions"] = kModules * kPerModule;
}
BENCHMARK(BM_CreateDirect)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
