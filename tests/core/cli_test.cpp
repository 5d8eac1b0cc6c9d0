// The kiv tool's own commands: help, version, strerror and usage errors.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using kivtest::runProcess;

TEST(Cli, StrErrorPrintsEachCode) {
    auto r = runProcess({KIV_TOOL, "strerror", "0x9624000c", "2518941714", "0x80070005"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "0x9624000c  Type library format error\n"
              "0x96240012  No object factory found\n"
              "0x80070005  Access denied\n");
}

TEST(Cli, UsageErrorsExitWithTwo) {
    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const Case cases[] = {
        {{}, "usage: kiv"},
        {{"frobnicate"}, "kiv: unknown command 'frobnicate' (see kiv --help)\n"},
        {{"strerror"}, "kiv: strerror: expected at least one result code\n"},
        {{"strerror", "0xZZ"}, "kiv: strerror: not a result code: 0xZZ\n"},
        {{"strerror", "4294967296"}, "kiv: strerror: not a result code: 4294967296\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {KIV_TOOL};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = runProcess(argv);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE((r.err + r.out).find(c.message), std::string::npos) << r.err << r.out;
    }
}

TEST(Cli, HelpAndVersion) {
    auto help = runProcess({KIV_TOOL, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("kiv strerror CODE..."), std::string::npos);
    auto version = runProcess({KIV_TOOL, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("kiv 1.", 0), 0u) << version.out;
}

}  // namespace
