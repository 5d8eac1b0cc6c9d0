// SPDX-License-Identifier: Apache-2.0
// Type library storage against raw Berkeley DB 1.85 calls on the same records:
//   Flush/N           flush of N new definitions into a new library
//   RawPut/N          dbopen, put of the same records in key order, sync, close (with the page
//                     cache that a flush gives the file it writes)
//   RawPutDurable/N   the same, then an fsync of the folder: what a new file needs to survive a
//                     machine crash, as a flush does (for comparison only; RawPut is the goal's)
//   FlushNoSync/N     Flush/N with every fsync a no-op: what the syncs of file and folder cost
//   RawPutSync/N      RawPut/N, then an fsync of the file (the baseline of Flush/N)
//   FlushTen/N        flush of 10 new definitions into a library of N (time per flush)
//   OpenLookupClose/N kivTLibOpen, kivTLibGetDefinition of one id (a different one each time,
//                     decoding included), kivTLibClose
//   RawOpenGetClose/N dbopen, get of the same key, close
//   OpenLookupAll/N   kivTLibOpen and the first lookup of every id (decoding included)
//   RawGetAll/N       dbopen and get of the same keys
//   CachedLookup      repeated lookup of one cached id in a library of 100,000
// and the creating operations against building the same definitions directly:
//   BuildAndFlush/N        N definitions built with the model and entered, then one flush
//   Create/N/0             the same N definitions through the kivTLibCreate* calls, one flush
//   Create/N/1             the same with KIV_TLIB_AUTOFLUSH: a flush after every creation
//   CompareNames/1000      strcmp of every member and parameter name of two interfaces
//   CheckCompat/1000       kivTLibCheckCompatDef of the same two 1,000-member interfaces,
//                          one in each of two library files
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib/store.h"
#include "ust_fs.h"

using namespace kiv::tlib;

namespace {

std::string scratchFolder() {
    static std::string folder = [] {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kivbench-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        std::atexit([] { std::filesystem::remove_all(scratchFolder()); });
        return pattern;
    }();
    return folder;
}

std::string moduleId(long i) {
    return "IDL:Bench/M" + std::to_string(i / 100) + ":1.0";
}

// Definitions of the sizes real IDL gives: interfaces with attributes and operations,
// structures, enumerations, aliases and sequences, a hundred to a module.
DefinitionPtr realisticDefinition(long i) {
    std::string scope = moduleId(i);
    std::string name = "Item" + std::to_string(i);
    std::string id = "IDL:Bench/M" + std::to_string(i / 100) + "/" + name + ":1.0";
    std::string other =
        "IDL:Bench/M" + std::to_string(i / 100) + "/Item" + std::to_string(i ^ 1) + ":1.0";
    uint32_t flags = KIV_DEF_MODIFIED;
    switch (i % 5) {
        case 0: {
            kivTLibParam params[] = {{"value", {KIV_TYPE_STRUCT, other.c_str()}, KIV_PARAM_IN},
                                     {"count", {KIV_TYPE_ULONG, nullptr}, KIV_PARAM_OUT}};
            kivTLibMember members[] = {
                {KIV_MEMBER_ATTRIBUTE, "name", 0, {KIV_TYPE_STRING, nullptr}, 0, nullptr},
                {KIV_MEMBER_ATTRIBUTE, "size", 0, {KIV_TYPE_ULONG, nullptr}, 0, nullptr},
                {KIV_MEMBER_OPERATION, "update", 0, {KIV_TYPE_VOID, nullptr}, 2, params},
                {KIV_MEMBER_OPERATION, "query", 0, {KIV_TYPE_BOOLEAN, nullptr}, 1, params},
            };
            return DefinitionPtr(&buildInterface(name.c_str(), id.c_str(), scope.c_str(), flags,
                                                 "IDL:kiv/IUnknown:1.0", 4, members)
                                      ->header);
        }
        case 1: {
            kivTLibStructMember members[] = {{"x", {KIV_TYPE_DOUBLE, nullptr}},
                                             {"y", {KIV_TYPE_DOUBLE, nullptr}},
                                             {"label", {KIV_TYPE_STRING, nullptr}},
                                             {"next", {KIV_TYPE_SEQUENCE, other.c_str()}}};
            return DefinitionPtr(
                &buildStruct(name.c_str(), id.c_str(), scope.c_str(), flags, 4, members)->header);
        }
        case 2: {
            kivTLibEnumMember members[] = {{"RED", 0},  {"GREEN", 1},   {"BLUE", 2},
                                           {"CYAN", 3}, {"MAGENTA", 4}, {"YELLOW", 5}};
            return DefinitionPtr(
                &buildEnum(name.c_str(), id.c_str(), scope.c_str(), flags, 6, members)->header);
        }
        case 3:
            return DefinitionPtr(&buildAlias(name.c_str(), id.c_str(), scope.c_str(), flags,
                                             {KIV_TYPE_STRUCT, other.c_str()})
                                      ->header);
        default: {
            kivTLibValue value{KIV_TYPE_LONG, {}};
            value.u32 = static_cast<uint32_t>(i);
            return DefinitionPtr(&buildConstant(name.c_str(), id.c_str(), scope.c_str(), flags,
                                                {KIV_TYPE_LONG, nullptr}, value)
                                      ->header);
        }
    }
}

void enter(kivTLib *t, kivTLibDef *def, const char *scopeId) {
    kivTLibDef *scope = nullptr;
    if (kivTLibGetDefinition(t, scopeId, &scope) != 0) std::abort();
    enterDefinition(t, def);
    addToScope(t, scope, def);
}

// Adds definitions first..first+count-1 (and their modules) to an open library.
void addDefinitions(kivTLib *t, long first, long count) {
    if (kivTLibGetRoot(t, nullptr) != 0)
        enterDefinition(t, &buildModule("", KIV_TLIB_ROOT_ID, nullptr, KIV_DEF_MODIFIED)->header);
    for (long i = first; i < first + count; ++i) {
        std::string module = moduleId(i);
        if (kivTLibGetDefinition(t, module.c_str(), nullptr) != 0) {
            std::string name = std::string("M").append(std::to_string(i / 100));
            enter(t,
                  &buildModule(name.c_str(), module.c_str(), KIV_TLIB_ROOT_ID, KIV_DEF_MODIFIED)
                       ->header,
                  KIV_TLIB_ROOT_ID);
        }
        DefinitionPtr def = realisticDefinition(i);
        std::string scope = def->scopeId;
        enter(t, def.release(), scope.c_str());
    }
}

// A library of n definitions on disk, made once per n.
const std::string &libraryOf(long n) {
    static std::map<long, std::string> made;
    auto &path = made[n];
    if (path.empty()) {
        path = scratchFolder() + "/lib" + std::to_string(n);
        kivTLib *t = nullptr;
        if (kivTLibCreate(path.c_str(), 0, &t) != 0) std::abort();
        addDefinitions(t, 0, n);
        if (kivTLibClose(t) != 0) std::abort();
    }
    return path;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> recordsOf(const std::string &path) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    auto visit = [&out](std::string_view key, std::span<const uint8_t> value) {
        out.emplace_back(std::string(key), std::vector<uint8_t>(value.begin(), value.end()));
    };
    if (readAll(path, visit) != 0) std::abort();
    return out;
}

// Every id of a library in a fixed random order.
std::vector<std::string> shuffledIds(const std::string &path) {
    std::vector<std::string> ids;
    for (auto &[key, value] : recordsOf(path)) ids.push_back(key.substr(0, key.size() - 1));
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    return ids;
}

void Flush(benchmark::State &state) {
    std::string path = scratchFolder() + "/flush";
    for (auto _ : state) {
        state.PauseTiming();
        kivTLib *t = nullptr;
        if (kivTLibCreate(path.c_str(), 0, &t) != 0) std::abort();
        addDefinitions(t, 0, state.range(0));
        state.ResumeTiming();
        if (kivTLibFlush(t) != 0) std::abort();
        state.PauseTiming();
        kivTLibClose(t);
        state.ResumeTiming();
    }
}

void FlushNoSync(benchmark::State &state) {
    static ustFsTable noSync = *ustFsGetTable();
    noSync.fsync = [](int) { return 0; };
    ustFsSetTable(&noSync);
    Flush(state);
    ustFsSetTable(nullptr);
}

// dbopen, put of `records` in key order, sync, close; with `syncFile`, an fsync of the file
// before the close; with `durable`, then an fsync of the folder that holds the new file.
void rawPut(benchmark::State &state, bool durable, bool syncFile = false) {
    auto records = recordsOf(libraryOf(state.range(0)));
    std::string path = scratchFolder() + "/raw";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        Database db;
        if (Database::open(path, O_RDWR | O_CREAT | O_EXCL, 0666, &db, kBuildCacheBytes) != 0)
            std::abort();
        DB *d = db.get();
        for (auto &[k, v] : records) {
            DBT key{k.data(), k.size()}, value{v.data(), v.size()};
            if (d->put(d, &key, &value, 0) != 0) std::abort();
        }
        if (d->sync(d, 0) != 0 || (syncFile && fsync(d->fd(d)) != 0) || db.close() != 0)
            std::abort();
        if (durable) {
            int folder = ::open(scratchFolder().c_str(), O_RDONLY | O_DIRECTORY);
            if (folder < 0 || fsync(folder) != 0) std::abort();
            close(folder);
        }
    }
}

void RawPut(benchmark::State &state) {
    rawPut(state, false);
}

void RawPutDurable(benchmark::State &state) {
    rawPut(state, true);
}

void RawPutSync(benchmark::State &state) {
    rawPut(state, false, true);
}

void FlushTen(benchmark::State &state) {
    std::string path = scratchFolder() + "/ten";
    std::filesystem::copy_file(libraryOf(state.range(0)), path,
                               std::filesystem::copy_options::overwrite_existing);
    kivTLib *t = nullptr;
    if (kivTLibOpen(path.c_str(), 0, &t) != 0) std::abort();
    long next = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        addDefinitions(t, next, 10);
        next += 10;
        state.ResumeTiming();
        if (kivTLibFlush(t) != 0) std::abort();
    }
    kivTLibClose(t);
}

void OpenLookupAll(benchmark::State &state) {
    const std::string &path = libraryOf(state.range(0));
    std::vector<std::string> ids = shuffledIds(path);
    for (auto _ : state) {
        kivTLib *t = nullptr;
        if (kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t) != 0) std::abort();
        for (const auto &id : ids)
            if (kivTLibGetDefinition(t, id.c_str(), nullptr) != 0) std::abort();
        state.PauseTiming();
        kivTLibClose(t);
        state.ResumeTiming();
    }
}

void RawGetAll(benchmark::State &state) {
    const std::string &path = libraryOf(state.range(0));
    std::vector<std::string> ids = shuffledIds(path);
    for (auto _ : state) {
        Database db;
        if (Database::open(path, O_RDONLY, 0, &db) != 0) std::abort();
        DB *d = db.get();
        for (const auto &id : ids) {
            DBT key{const_cast<char *>(id.c_str()), id.size() + 1}, value{};
            if (d->get(d, &key, &value, 0) != 0) std::abort();
            benchmark::DoNotOptimize(value.data);
        }
        state.PauseTiming();
        db.close();
        state.ResumeTiming();
    }
}

void OpenLookupClose(benchmark::State &state) {
    const std::string &path = libraryOf(state.range(0));
    std::vector<std::string> ids = shuffledIds(path);
    size_t next = 0;
    for (auto _ : state) {
        const std::string &id = ids[next++ % ids.size()];
        kivTLib *t = nullptr;
        if (kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t) != 0 ||
            kivTLibGetDefinition(t, id.c_str(), nullptr) != 0)
            std::abort();
        kivTLibClose(t);
    }
}

void RawOpenGetClose(benchmark::State &state) {
    const std::string &path = libraryOf(state.range(0));
    std::vector<std::string> ids = shuffledIds(path);
    size_t next = 0;
    for (auto _ : state) {
        const std::string &id = ids[next++ % ids.size()];
        Database db;
        // The library's default page cache, as a program that calls dbopen gets.
        if (Database::open(path, O_RDONLY, 0, &db, 0) != 0) std::abort();
        DB *d = db.get();
        DBT key{const_cast<char *>(id.c_str()), id.size() + 1}, value{};
        if (d->get(d, &key, &value, 0) != 0) std::abort();
        benchmark::DoNotOptimize(value.data);
        db.close();
    }
}

void CachedLookup(benchmark::State &state) {
    kivTLib *t = nullptr;
    if (kivTLibOpen(libraryOf(100000).c_str(), KIV_TLIB_READONLY, &t) != 0) std::abort();
    std::string id = "IDL:Bench/M512/Item51234:1.0";
    kivTLibDef *def = nullptr;
    if (kivTLibGetDefinition(t, id.c_str(), &def) != 0) std::abort();
    for (auto _ : state) {
        kivTLibGetDefinition(t, id.c_str(), &def);
        benchmark::DoNotOptimize(def);
    }
    kivTLibClose(t);
}

void BuildAndFlush(benchmark::State &state) {
    std::string path = scratchFolder() + "/build";
    for (auto _ : state) {
        kivTLib *t = nullptr;
        if (kivTLibCreate(path.c_str(), 0, &t) != 0) std::abort();
        addDefinitions(t, 0, state.range(0));
        if (kivTLibFlush(t) != 0) std::abort();
        state.PauseTiming();
        kivTLibClose(t);
        state.ResumeTiming();
    }
}

// Creates through the public interface a definition like `def` (a kind that
// realisticDefinition makes).
kivResult createLike(kivTLib *t, const kivTLibDef *def) {
    const char *n = def->name, *id = def->repoId, *scope = def->scopeId;
    switch (def->kind) {
        case KIV_DEF_INTERFACE: {
            auto *i = as<kivTLibInterfaceDef>(def);
            return kivTLibCreateInterface(t, n, id, scope, 0, i->baseId, i->memberCount, i->members,
                                          nullptr);
        }
        case KIV_DEF_STRUCT: {
            auto *s = as<kivTLibStructDef>(def);
            return kivTLibCreateStruct(t, n, id, scope, 0, s->memberCount, s->members, nullptr);
        }
        case KIV_DEF_ENUM: {
            auto *e = as<kivTLibEnumDef>(def);
            return kivTLibCreateEnum(t, n, id, scope, 0, e->memberCount, e->members, nullptr);
        }
        case KIV_DEF_ALIAS:
            return kivTLibCreateAlias(t, n, id, scope, 0, &as<kivTLibAliasDef>(def)->type, nullptr);
        default: {
            auto *c = as<kivTLibConstantDef>(def);
            return kivTLibCreateConstant(t, n, id, scope, 0, &c->type, &c->value, nullptr);
        }
    }
}

void Create(benchmark::State &state) {
    long n = state.range(0);
    uint32_t flags = state.range(1) ? KIV_TLIB_AUTOFLUSH : 0;
    std::vector<DefinitionPtr> defs;
    for (long i = 0; i < n; ++i) defs.push_back(realisticDefinition(i));
    std::string path = scratchFolder() + "/create";
    for (auto _ : state) {
        kivTLib *t = nullptr;
        // The base that the interfaces name must exist.
        if (kivTLibCreate(path.c_str(), flags, &t) != 0 || kivTLibCreateRoot(t, 0, nullptr) != 0 ||
            kivTLibCreateModule(t, "kiv", "IDL:kiv:1.0", KIV_TLIB_ROOT_ID, 0, nullptr) != 0 ||
            kivTLibCreateInterface(t, "IUnknown", "IDL:kiv/IUnknown:1.0", "IDL:kiv:1.0", 0, nullptr,
                                   0, nullptr, nullptr) != 0)
            std::abort();
        for (long i = 0; i < n; ++i) {
            if (i % 100 == 0) {
                std::string module = moduleId(i),
                            name = std::string("M").append(std::to_string(i / 100));
                if (kivTLibCreateModule(t, name.c_str(), module.c_str(), KIV_TLIB_ROOT_ID, 0,
                                        nullptr) != 0)
                    std::abort();
            }
            if (createLike(t, defs[i].get()) != 0) std::abort();
        }
        if (kivTLibFlush(t) != 0) std::abort();
        state.PauseTiming();
        kivTLibClose(t);
        state.ResumeTiming();
    }
}

// Two libraries holding the same interface of `members` operations with two parameters each.
struct TwoInterfaces {
    kivTLib *tlib[2] = {};
    kivTLibDef *def[2] = {};
    explicit TwoInterfaces(uint32_t members) {
        std::vector<std::string> names;
        for (uint32_t i = 0; i < members; ++i) names.push_back("operation" + std::to_string(i));
        kivTLibParam params[] = {{"value", {KIV_TYPE_STRUCT, "IDL:Bench/S:1.0"}, KIV_PARAM_IN},
                                 {"size", {KIV_TYPE_STRING, nullptr}, KIV_PARAM_OUT}};
        std::vector<kivTLibMember> list;
        for (const auto &name : names)
            list.push_back(
                {KIV_MEMBER_OPERATION, name.c_str(), 0, {KIV_TYPE_LONG, nullptr}, 2, params});
        for (int k = 0; k < 2; ++k) {
            std::string path = scratchFolder() + "/iface" + std::to_string(k);
            if (kivTLibCreate(path.c_str(), 0, &tlib[k]) != 0 ||
                kivTLibCreateRoot(tlib[k], 0, nullptr) != 0 ||
                kivTLibCreateInterface(tlib[k], "IBig", "IDL:Bench/IBig:1.0", KIV_TLIB_ROOT_ID, 0,
                                       nullptr, members, list.data(), &def[k]) != 0)
                std::abort();
        }
    }
    ~TwoInterfaces() {
        kivTLibClose(tlib[0]);
        kivTLibClose(tlib[1]);
    }
};

void CompareNames(benchmark::State &state) {
    TwoInterfaces two(static_cast<uint32_t>(state.range(0)));
    auto *a = as<kivTLibInterfaceDef>(two.def[0]), *b = as<kivTLibInterfaceDef>(two.def[1]);
    for (auto _ : state) {
        int differences = 0;
        for (uint32_t i = 0; i < a->memberCount; ++i) {
            differences += std::strcmp(a->members[i].name, b->members[i].name) != 0;
            for (uint32_t p = 0; p < a->members[i].paramCount; ++p)
                differences +=
                    std::strcmp(a->members[i].params[p].name, b->members[i].params[p].name) != 0;
        }
        benchmark::DoNotOptimize(differences);
    }
}

void CheckCompat(benchmark::State &state) {
    TwoInterfaces two(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state)
        if (kivTLibCheckCompatDef(two.tlib[0], two.def[0], two.tlib[1], two.def[1]) != 0)
            std::abort();
}

void sizes(benchmark::internal::Benchmark *b) {
    b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

void lookupSizes(benchmark::internal::Benchmark *b) {
    b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(Flush)->Apply(sizes);
BENCHMARK(FlushNoSync)->Apply(sizes);
BENCHMARK(RawPut)->Apply(sizes);
BENCHMARK(RawPutSync)->Apply(sizes);
BENCHMARK(RawPutDurable)->Apply(sizes);
BENCHMARK(OpenLookupClose)->Apply(lookupSizes);
BENCHMARK(RawOpenGetClose)->Apply(lookupSizes);
BENCHMARK(FlushTen)->Apply(sizes);
BENCHMARK(OpenLookupAll)->Apply(sizes);
BENCHMARK(RawGetAll)->Apply(sizes);
BENCHMARK(CachedLookup);
BENCHMARK(BuildAndFlush)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Create)->Args({10000, 0})->Unit(benchmark::kMillisecond)->UseRealTime();
// Every flush rewrites the whole file, so this grows with the square of the size: one run.
BENCHMARK(Create)->Args({10000, 1})->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CompareNames)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(CheckCompat)->Arg(1000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
