// kiv fixed: results written exactly, operands refused unless wholly numbers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kivtest::runProcess;

kivtest::ProcessResult kiv(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {KIV_TOOL, "fixed"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
}

TEST(FixedCli, ComputesAndFormatsExactly) {
    struct Case {
        std::vector<std::string> args;
        const char *out;
    } const cases[] = {
        {{"add", "0.1", "0.2", "--type", "5,2"}, "0.30\n"},
        {{"sub", "-0", "0", "--type", "3,1"}, "-0.0\n"},
        {{"mul", "1.5", "2.25", "--type", "5,2"}, "3.37\n"},
        {{"div", "22", "7", "--type", "12,10"}, "3.1428571428\n"},
        {{"div", "1", "3", "--type", "40,38", "--precision", "5"}, "0.33333\n"},
        {{"div", "-5", "0", "--type", "3,0"}, "-Inf\n"},
        {{"add", "99.9", "0.1", "--type", "3,1"}, "+Inf\n"},
        {{"neg", "12300", "--type", "3,-2"}, "-12300\n"},
        {{"round", "2.345", "--type", "4,2"}, "2.34\n"},
        {{"round", "-2.345", "--type", "4,2", "--mode", "floor"}, "-2.35\n"},
        {{"round", "9.96", "--type", "4,1", "--mode", "half-up"}, "10.0\n"},
        {{"trunc", "-1.79", "--type", "3,1"}, "-1.7\n"},
        {{"cmp", "1.10", "1.1"}, "equal\n"},
        {{"cmp", "-Inf", "-5"}, "less\n"},
        {{"cmp", "NaN", "NaN"}, "unordered\n"},
        {{"int", "3000000000"}, "-1294967296\n"},
        {{"frac", "-123.045"}, "45\n"},
        {{"add", "123456789012345678901234567890.123", "0.877", "--type", "34,3"},
         "123456789012345678901234567891.000\n"},
    };
    for (const auto &c : cases) {
        const auto r = kiv(c.args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
    }
}

TEST(FixedCli, RefusesWhatIsNotANumberOrARequest) {
    struct Case {
        std::vector<std::string> args;
        const char *err;
    } const cases[] = {
        {{}, "kiv: fixed: expected an operation"},
        {{"pow", "1", "2"}, "kiv: fixed: unknown operation 'pow'\n"},
        {{"add", "12x", "1", "--type", "3,0"}, "kiv: fixed: not a number: '12x'\n"},
        {{"add", " 1", "1", "--type", "3,0"}, "kiv: fixed: not a number: ' 1'\n"},
        {{"add", "+1", "1", "--type", "3,0"}, "kiv: fixed: not a number: '+1'\n"},
        {{"neg", ".", "--type", "3,0"}, "kiv: fixed: not a number: '.'\n"},
        {{"add", "1", "--type", "3,0"}, "kiv: fixed: add takes two operands\n"},
        {{"add", "1", "2"}, "kiv: fixed: add needs --type DIGITS,SCALE\n"},
        {{"add", "1", "2", "--type", "3,4"}, "kiv: fixed: --type must be DIGITS,SCALE"},
        {{"round", "1", "--type", "3,0", "--mode", "nearest"},
         "kiv: fixed: unknown rounding mode 'nearest'\n"},
        {{"round", "1", "--type", "3,0", "--precision"}, "kiv: fixed: --precision needs a value\n"},
        {{"neg", "1", "--type", "3,0", "--digits", "4"}, "kiv: fixed: unknown option '--digits'\n"},
    };
    for (const auto &c : cases) {
        const auto r = kiv(c.args);
        EXPECT_EQ(r.exitCode, 2) << r.out;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
}

}  // namespace
