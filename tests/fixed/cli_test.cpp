// SPDX-License-Identifier: Apache-2.0
// kiv fixed: results written exactly, operands refused unless wholly numbers.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

// Each case: space-separated arguments, the exit code, and stdout, or for a usage error (2) the
// start of stderr. cmp --exit-status answers with 0, 1, 3 or 4, leaving 2 to usage errors.
TEST(FixedCli, ComputesExactlyAndRefusesWhatIsNotANumberOrARequest) {
    const std::tuple<const char *, int, const char *> cases[] = {
        {"add 0.1 0.2 --type 5,2", 0, "0.30\n"},
        {"sub -0 0 --type 3,1", 0, "-0.0\n"},
        {"mul 1.5 2.25 --type 5,2", 0, "3.37\n"},
        {"div 1 3 --type 40,38 --precision 5", 0, "0.33333\n"},
        {"div -5 0 --type 3,0", 0, "-Inf\n"},
        {"neg 12300 --type 3,-2", 0, "-12300\n"},
        {"round -2.345 --type 4,2 --mode floor", 0, "-2.35\n"},
        {"trunc -1.79 --type 3,1", 0, "-1.7\n"},
        {"cmp 1.10 1.1", 0, "equal\n"},
        {"cmp NaN NaN", 0, "unordered\n"},
        {"cmp --exit-status 1.10 1.1", 0, "equal\n"},
        {"cmp --exit-status -1 1", 1, "less\n"},
        {"cmp --exit-status +Inf 1", 3, "greater\n"},
        {"cmp --exit-status NaN 1", 4, "unordered\n"},
        {"int 3000000000", 0, "-1294967296\n"},
        {"frac -123.045", 0, "45\n"},
        {"", 2, "kiv: fixed: expected an operation"},
        {"pow 1 2", 2, "kiv: fixed: unknown operation 'pow'\n"},
        {"add 12x 1 --type 3,0", 2, "kiv: fixed: not a number: '12x'\n"},
        {"add 1 --type 3,0", 2, "kiv: fixed: add takes two operands\n"},
        {"add 1 2", 2, "kiv: fixed: add needs --type DIGITS,SCALE\n"},
        {"add 1 2 --type 3,4", 2, "kiv: fixed: --type must be DIGITS,SCALE"},
        {"round 1 --type 3,0 --mode nearest", 2, "kiv: fixed: unknown rounding mode 'nearest'\n"},
        {"neg 1 --type 3,0 --digits 4", 2, "kiv: fixed: unknown option '--digits'\n"}};
    for (const auto &[args, exitCode, want] : cases) {
        std::vector<std::string> argv = {KIV_TOOL, "fixed"};
        std::istringstream in(args);
        for (std::string arg; in >> arg;) argv.push_back(arg);
        const auto r = kivtest::runProcess(argv);
        EXPECT_EQ(r.exitCode, exitCode) << args << ": " << r.err;
        const bool usage = exitCode == 2;
        EXPECT_EQ(usage ? r.err.substr(0, std::strlen(want)) : r.out, want) << args;
    }
}

}  // namespace
