// SPDX-License-Identifier: Apache-2.0
// The order in which a flush hands records to the B-tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tlib/store.h"

using namespace kiv::tlib;

namespace {

std::string text(std::span<const uint8_t> b) {
    return std::string(b.begin(), b.end());
}

// The batch must hand records to the tree in the tree's own order (bytes as unsigned values, a
// key before every longer key it begins), whatever order they were added in: the store puts
// them in that order, and the 1.85 library can corrupt a file fed out of order. Keys share long
// prefixes and hold zero and high bytes. Of equal keys the last added wins, copied or encoded.
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
    RecordBatch::Encode encode = [](void *item, RecordBuffer &out) {
        auto *text = static_cast<std::string *>(item);
        out.insert(out.end(), text->begin(), text->end());
    };
    std::vector<std::string> values(keys.size());
    std::map<std::string, std::string> expected;
    RecordBatch batch;
    for (size_t i = 0; i < keys.size(); ++i) {
        values[i] = "value " + std::to_string(i);
        if (i % 2)
            batch.addEncoded(keys[i], encode, &values[i]);
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
