// SPDX-License-Identifier: Apache-2.0
// IRegistry queryValue on an open key and setValue, against the same SQLite statements run
// directly on a connection of their own (the baseline: what the store costs beyond SQLite).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "regdb/registry.h"
#include "regdb/store.h"

namespace {

using namespace kiv::regdb;

constexpr uint32_t kReadWrite = KIV_REG_ACCESS_ALL & ~KIV_REG_ACCESS_DELETE;
const char kValueText[] = "/opt/product/lib/plugins/libexample.so";

// One store with key "Bench" holding value "DSO", shared by every benchmark.
struct Fixture {
    Fixture() {
        char pattern[] = "/tmp/kivbench-XXXXXX";
        folder = mkdtemp(pattern);
        path = folder + "/user.db";
        machine = std::make_unique<Store>("");
        user = std::make_unique<Store>(path);
        object = std::make_unique<RegistryObject>(*machine, *user);
        reg = object->interface();
        int32_t root;
        reg->vtbl->openUserRoot(reg, 0, kReadWrite, &root);
        reg->vtbl->openKey(reg, root, "Bench", KIV_REG_OPTION_CREATE, kReadWrite, 0, &key);
        RegistryValue value{};
        value.kind = KIV_REG_STRING;
        value.string = const_cast<char *>(kValueText);
        reg->vtbl->setValue(reg, key, "DSO", &value);

        std::unique_ptr<Key> top, bench;
        user->openRoot(kKeyQueryValue, top);
        top->open("Bench", kKeyQueryValue, bench);
        keyId = bench->id();

        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_busy_timeout(db, 10000);
        sqlite3_exec(db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
        prepare(kQueryValueSql, &query);
        prepare(kSetValueSql, &set);
        prepare("BEGIN IMMEDIATE", &begin);
        prepare("COMMIT", &commit);
    }
    ~Fixture() {
        for (sqlite3_stmt *s : {query, set, begin, commit}) sqlite3_finalize(s);
        sqlite3_close(db);
        object.reset();
        std::filesystem::remove_all(folder);
    }
    void prepare(std::string_view sql, sqlite3_stmt **out) {
        sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           out, nullptr);
    }

    std::string folder, path;
    std::unique_ptr<Store> machine, user;
    std::unique_ptr<RegistryObject> object;
    IRegistry *reg = nullptr;
    int32_t key = -1;
    int64_t keyId = 0;
    sqlite3 *db = nullptr;
    sqlite3_stmt *query = nullptr, *set = nullptr, *begin = nullptr, *commit = nullptr;
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void BM_RegistryQueryValue(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        RegistryValue value;
        f.reg->vtbl->queryValue(f.reg, f.key, "DSO", &value);
        benchmark::DoNotOptimize(value.string);
        kivRegistryValueClear(&value);
    }
    state.SetItemsProcessed(state.iterations());
}

// The same read with the decoding reduced to copying the text out.
void BM_SqliteQueryValue(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        sqlite3_bind_int64(f.query, 1, f.keyId);
        sqlite3_bind_text(f.query, 2, "DSO", 3, SQLITE_STATIC);
        if (sqlite3_step(f.query) == SQLITE_ROW) {
            auto *data = static_cast<const char *>(sqlite3_column_blob(f.query, 1));
            std::string copy(data, static_cast<size_t>(sqlite3_column_bytes(f.query, 1)));
            benchmark::DoNotOptimize(copy.data());
        }
        sqlite3_reset(f.query);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RegistrySetValue(benchmark::State &state) {
    Fixture &f = fixture();
    RegistryValue value{};
    value.kind = KIV_REG_INT32;
    for (auto _ : state) {
        ++value.int32;
        f.reg->vtbl->setValue(f.reg, f.key, "Counter", &value);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SqliteSetValue(benchmark::State &state) {
    Fixture &f = fixture();
    uint32_t counter = 0;
    for (auto _ : state) {
        ++counter;
        sqlite3_step(f.begin);
        sqlite3_reset(f.begin);
        sqlite3_bind_int64(f.set, 1, f.keyId);
        sqlite3_bind_text(f.set, 2, "Counter", 7, SQLITE_STATIC);
        sqlite3_bind_int64(f.set, 3, kRegDword);
        sqlite3_bind_blob(f.set, 4, &counter, sizeof counter, SQLITE_STATIC);
        sqlite3_step(f.set);
        sqlite3_reset(f.set);
        sqlite3_step(f.commit);
        sqlite3_reset(f.commit);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_SqliteQueryValue);
BENCHMARK(BM_RegistryQueryValue);
BENCHMARK(BM_SqliteSetValue);
BENCHMARK(BM_RegistrySetValue);

BENCHMARK_MAIN();
