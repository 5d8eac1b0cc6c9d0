#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <random>

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

// The batch must hand records to the tree in the tree's own order (bytes as unsigned values, a
// key before every longer key it begins), whatever order they were added in: the store puts
// them in that order, and the 1.85 library can corrupt a file fed out of order. The sort works
// on 16-byte windows of the keys, so the keys straddle window ends, share long prefixes and
// hold zero bytes. Of equal keys the last added wins, copied or encoded.
TEST(TLibRecordBatch, SortsInTreeOrderAndKeepsTheLastOfEqualKeys) {
    std::vector<std::string> keys = {
        "",     "a",       std::string("a\0", 2), std::string("a\0\0", 3), "b", "\x7f", "\x80",
        "\xff", "\xff\xff"};
    for (size_t shared : {7, 8, 15, 16, 17, 31, 32, 33, 48}) {
        keys.push_back(std::string(shared, 'k'));
        for (char last : {'\0', 'a', 'z', '\xff'}) keys.push_back(std::string(shared, 'k') + last);
    }
    std::mt19937 random(11);
    for (int i = 0; i < 3000; ++i) {
        std::string id = "IDL:M" + std::to_string(random() % 40) + "/Item" +
                         std::to_string(random() % 2000) + ":1.0";
        keys.push_back(id.append(1, '\0'));
    }
    std::shuffle(keys.begin(), keys.end(), random);

    // Odd records are encoded from an item when written, even ones copied when added.
    static const RecordBatch::Encoder kEncoder{
        [](void *item, RecordBuffer &out) {
            auto *text = static_cast<std::string *>(item);
            out.insert(out.end(), text->begin(), text->end());
        },
        [](const void *item, int) { __builtin_prefetch(item); }, 3};
    std::vector<std::string> values(keys.size());
    std::map<std::string, std::string> expected;
    RecordBatch batch;
    for (size_t i = 0; i < keys.size(); ++i) {
        values[i] = "value " + std::to_string(i);
        if (i % 2)
            batch.addEncoded(keys[i], &kEncoder, &values[i]);
        else
            batch.add(keys[i],
                      {reinterpret_cast<const uint8_t *>(values[i].data()), values[i].size()});
        expected[keys[i]] = values[i];
    }
    batch.finish();

    std::vector<std::pair<std::string, std::string>> got;
    RecordBuffer scratch;
    for (size_t i = 0; i < batch.size(); ++i)
        got.emplace_back(std::string(batch.key(i)), text(batch.value(i, scratch)));
    std::vector<std::pair<std::string, std::string>> inOrder(expected.begin(), expected.end());
    EXPECT_EQ(got, inOrder);
}

}  // namespace
