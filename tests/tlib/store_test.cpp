#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "test_support.h"
#include "tlib/store.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using tlibtest::Bytes;

namespace {

std::string text(std::span<const uint8_t> b) {
    return std::string(b.begin(), b.end());
}

Bytes bytesOf(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

// Writes `records` (key -> value, added in this order) through a store on `path`.
kivResult write(Store &store, const std::vector<std::pair<std::string, std::string>> &records) {
    return store.write([&](const Store::Snapshot &, RecordBatch &out) {
        for (auto &[k, v] : records)
            out.add(k, {reinterpret_cast<const uint8_t *>(v.data()), v.size()});
        return kivResult{0};
    });
}

TEST(TLibStore, WritesMergeWithTheFileInKeyOrder) {
    kivtest::TempDir dir;
    std::string path = dir.file("s.tlb");
    tlibtest::putRawRecords(path, {{"b", bytesOf("old b")}, {"d", bytesOf("old d")}});
    chmod(path.c_str(), 0640);
    Store store;
    ASSERT_EQ(store.open(path.c_str(), false), 0u);
    ASSERT_EQ(
        write(store,
              {{"e", "new e"}, {"a", "new a"}, {"d", "first d"}, {"c", "new c"}, {"d", "new d"}}),
        0u);
    std::vector<std::pair<std::string, std::string>> got;
    for (auto &[k, v] : tlibtest::readAllRecords(path)) got.emplace_back(k, text(v));
    EXPECT_EQ(got,
              (std::vector<std::pair<std::string, std::string>>{
                  {"a", "new a"}, {"b", "old b"}, {"c", "new c"}, {"d", "new d"}, {"e", "new e"}}));
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replacement keeps the file's permissions

    // The store reads the file that replaced the one it opened.
    std::span<const uint8_t> value;
    kivResult code = 0;
    ASSERT_EQ(store.get("c", &value, &code), Lookup::Found);
    EXPECT_EQ(text(value), "new c");
    EXPECT_EQ(store.get("z", &value, &code), Lookup::Absent);
}

}  // namespace
