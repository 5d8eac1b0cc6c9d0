// SPDX-License-Identifier: Apache-2.0
// The family keeps no state: calls on different records run on many threads at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kiv_fixed.h"

TEST(FixedThreads, IndependentRecordsOnManyThreads) {
    std::vector<std::thread> threads;
    std::vector<std::string> results(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &results] {
            KIV_FIXED_DECLARE(sum, 40, 10);
            KIV_FIXED_DECLARE(step, 12, 10);
            KIV_FIXED_DECLARE(big, 400, 100);
            kivFixedSetString(step, ("0." + std::to_string(t + 1)).c_str(), nullptr);
            for (int i = 0; i < 2000; ++i) {
                kivFixedAdd(sum, sum, step);
                kivFixedMul(big, sum, step);  // limb scratch storage of the call
                kivFixedDiv(big, big, step);
            }
            char text[64];
            kivFixedGetString(sum, 1, text, sizeof text);
            results[t] = text;
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(results[t], std::to_string(200 * (t + 1)) + ".0");
}
