// SPDX-License-Identifier: Apache-2.0
// The kiv tool's own behaviour: help, usage, option parsing, result codes and checked output.
#include <gtest/gtest.h>

#include <sstream>

#include "kiv.h"
#include "test_support.h"

namespace {

using kivtest::runProcess;

std::vector<std::string> kiv(std::initializer_list<std::string> args) {
    std::vector<std::string> argv = {KIV_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

TEST(Cli, StrErrorPrintsEachCode) {
    auto r = runProcess(kiv({"strerror", "0x9624000c", "2518941714", "--", "0x80070005"}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "0x9624000c  Type library format error\n"
              "0x96240012  No object factory found\n"
              "0x80070005  Access denied\n");
}

// The commands that bare `kiv` lists, each with a help text that starts like its manual page,
// the same whichever way it is asked for.
TEST(Cli, EveryCommandAnswersHelp) {
    auto usage = runProcess(kiv({}));
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_EQ(usage.out, "");
    const auto at = usage.err.find("commands:");
    ASSERT_NE(at, std::string::npos) << usage.err;
    std::istringstream names(usage.err.substr(at + 9, usage.err.find('\n', at) - at - 9));
    int count = 0;
    for (std::string name; names >> name; ++count) {
        auto help = runProcess(kiv({"help", name}));
        EXPECT_EQ(help.exitCode, 0) << name;
        EXPECT_EQ(help.out.rfind("kiv-" + name + " - ", 0), 0u) << help.out;
        for (const char *asked : {"--help", "-h"}) {
            auto direct = runProcess(kiv({name, "sub", asked}));
            EXPECT_EQ(direct.exitCode, 0) << name << " " << asked;
            EXPECT_EQ(direct.out, help.out) << name << " " << asked;
        }
    }
    EXPECT_GE(count, 9);
    auto top = runProcess(kiv({"--help"}));
    EXPECT_EQ(top.exitCode, 0);
    EXPECT_NE(top.out.find("kiv strerror CODE..."), std::string::npos);
    EXPECT_EQ(top.out, runProcess(kiv({"help"})).out);
    auto version = runProcess(kiv({"--version"}));
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "kiv " KIV_VERSION_STRING "\n");
}

// Each case: arguments, exit status, and a text found in stdout on success, else in stderr.
TEST(Cli, OptionsAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char *text;
    };
    const Case cases[] = {
        {{"frobnicate"}, 2, "kiv: unknown command 'frobnicate' (see kiv help)\n"},
        {{"help", "frobnicate"}, 2, "kiv: no help for 'frobnicate'"},
        // Mistyped commands, subcommands and options get the closest name suggested.
        {{"regster"}, 2, "kiv: unknown command 'regster' (did you mean register?)\n"},
        {{"help", "uuuid"}, 2, "kiv: no help for 'uuuid' (did you mean uuid?)\n"},
        {{"--versoin"}, 2, "kiv: unknown option '--versoin' (did you mean --version?)\n"},
        {{"tlib", "dumb", "x.tlb"}, 2, "kiv: tlib: unknown subcommand 'dumb' (did you mean dump?)"},
        {{"tlib", "header", "x.tlb", "--ouput", "x.h"},
         2,
         "kiv: tlib header: unknown option '--ouput' (did you mean --output?)\n"},
        {{"fixed", "add", "1", "2", "--tpye=3,0"}, 2, "'--tpye' (did you mean --type?)"},
        {{"tlib", "info", "--json", "x.tlb"}, 2, "kiv: tlib info: unknown option '--json'\n"},
        {{"tlib", "header", "x.tlb", "--lang=c#"}, 2, "kiv: tlib header: --lang takes c or c++"},
        // A short option's value may be attached to it.
        {{"uuid", "-n3", "-n", "2"}, 2, "kiv: uuid: -n given twice\n"},
        {{"strerror"}, 2, "kiv: strerror: expected at least one result code\n"},
        {{"strerror", "0xZZ"}, 2, "kiv: strerror: not a result code: 0xZZ\n"},
        {{"strerror", "4294967296"}, 2, "kiv: strerror: not a result code: 4294967296\n"},
        {{"strerror", "--code"}, 2, "kiv: strerror: unknown option '--code'\n"},
        // Values after '=' or as the next argument; a missing value; a flag given a value.
        {{"fixed", "add", "1", "2", "--type=3,0"}, 0, "3\n"},
        {{"fixed", "--type", "3,0", "add", "1", "2"}, 0, "3\n"},
        {{"fixed", "add", "1", "2", "--type"}, 2, "kiv: fixed: --type needs a value\n"},
        {{"uuid", "--name=dns", "x"}, 2, "kiv: uuid: --name takes no value\n"},
        // Negative operands are operands; after "--" so is everything.
        {{"fixed", "neg", "-5", "--type", "3,0"}, 0, "5\n"},
        {{"fixed", "neg", "--type", "3,0", "--", "--type"}, 2, "not a number: '--type'"},
        // Repeated and conflicting options.
        {{"uuid", "-n", "2", "-n", "3"}, 2, "kiv: uuid: -n given twice\n"},
        {{"uuid", "-n", "2", "--count=3"}, 2, "kiv: uuid: -n and --count cannot be combined\n"},
        {{"fixed", "cmp", "1", "2", "--mode", "up", "--mode", "up"}, 2, "--mode given twice"},
        {{"register", "--user", "--user"}, 2, "kiv: register: --user given twice\n"},
        {{"fixed", "add", "1", "2", "--type", "3,0", "--exit-status"},
         2,
         "--exit-status applies to cmp only"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {KIV_TOOL};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = runProcess(argv);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << c.args.back() << ": " << r.err;
        EXPECT_NE((c.exitCode ? r.err : r.out).find(c.text), std::string::npos) << r.out << r.err;
    }
}

// Every spelling of tlib header's options gives the same header.
TEST(Cli, TLibHeaderTakesOptionsAnyWay) {
    kivtest::TempDir tmp;
    kivtest::writeFile(tmp.file("g.idl"), "module M { interface I { void f(); }; };\n");
    auto compiled = runProcess(kiv({"idl", "-o", tmp.file("g.tlb"), tmp.file("g.idl")}));
    ASSERT_EQ(compiled.exitCode, 0) << compiled.err;
    const std::string lib = tmp.file("g.tlb"), out = tmp.file("g.hpp");
    const std::vector<std::vector<std::string>> spellings = {
        {"tlib", "header", lib, "--lang", "c++", "-o", out},
        {"tlib", "header", "--lang=c++", lib, "-o" + out},
        {"tlib", "header", lib, "--output=" + out, "--lang=c++"},
        {"tlib", "header", "--output", out, "--lang", "c++", "--", lib},
    };
    std::string first;
    for (const auto &args : spellings) {
        std::vector<std::string> argv = {KIV_TOOL};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = runProcess(argv);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string header = kivtest::readFile(out);
        EXPECT_NE(header.find("struct I : ::kiv::IUnknown"), std::string::npos) << header;
        if (first.empty()) first = header;
        EXPECT_EQ(header, first);
    }
}

// The completion script offers option values: word lists, folders, after "--opt" or "--opt=".
TEST(Cli, CompletionOffersOptionValues) {
    kivtest::TempDir tmp;
    kivtest::makeDirs(tmp.file("inc"));
    kivtest::writeFile(tmp.file("inc.txt"), "");
    const std::string script = std::string("source ") + KIV_COMPLETION + R"(
complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _kiv
    echo "${COMPREPLY[*]}"
}
cd )" + tmp.path() + R"(
complete_words kiv tlib header x.tlb --lang ""
complete_words kiv idl --lang = c+
complete_words kiv fixed round 1 --mode half-e
complete_words kiv reg set K V --type int
complete_words kiv idl -I in
complete_words kiv tlib header x.tlb --
complete_words kiv regi
)";
    kivtest::writeFile(tmp.file("complete.sh"), script);
    auto r = kivtest::runShell("bash " + tmp.file("complete.sh"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "c c++\nc++\nhalf-even\nint32 int64\ninc\n"
              "--lang --output --user --variant --process --help\nregister\n");
}

TEST(Cli, FailedWritesToStandardOutputFail) {
    for (const char *command : {"strerror 0", "--help", "fixed cmp 1 2", "uuid -n 1000"}) {
        auto r = kivtest::runShell(std::string(KIV_TOOL) + " " + command + " > /dev/full");
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_NE(r.err.find("kiv: writing standard output: No space left on device"),
                  std::string::npos)
            << command << ": " << r.err;
    }
}

// kiv register on private stores: where it wrote, which path it stored, what it warned about;
// kiv create then names the file it could not load.
TEST(Cli, RegisterReportsItsRootPathAndWarnings) {
    kivtest::TempDir tmp;
    const std::string clsid = "0c1d2e3f-4a5b-4c6d-8e7f-8091a2b3c4d5";
    const std::string env = "KIV_REGISTRY_USER=" + tmp.file("user.db") +
                            " KIV_REGISTRY_MACHINE=" + tmp.file("machine.db");
    kivtest::writeFile(tmp.file("local.so"), "not a shared library");
    struct Step {
        std::string args;
        int exitCode;
        std::string out, err;  // found in stdout and stderr ("" checks nothing)
    };
    const Step steps[] = {
        {"register " + clsid + " /nowhere/x.so", 0, "/nowhere/x.so (machine root, variant 0)",
         "warning: /nowhere/x.so does not exist"},
        {"create " + clsid + " IDL:Demo/IGreeter:1.0", 1, "",
         "kiv: create: loading /nowhere/x.so: "},
        {"register --variant " + clsid + " " + KIV_UST_LIBRARY, 0, "machine root, variant 1",
         "does not export dsoGetObjectFactory"},
        {"register --user " + clsid + " ./sub/../local.so", 0,
         tmp.file("local.so") + " (user root, variant 0)", "cannot be loaded"},
        {"register --user " + clsid + " local.so", 0, tmp.file("local.so") + " (user root", ""},
        {"register --user " + clsid + " libnowhere.so", 0, ": libnowhere.so (user root",
         "warning: libnowhere.so cannot be loaded"},
        {"register " + clsid + " /nowhere/y.so", 0,
         "(user root, variant 0; the machine root cannot be written)", ""},
    };
    kivtest::makeDirs(tmp.file("sub"));
    for (const auto &step : steps) {
        if (&step == &steps[std::size(steps) - 1])
            kivtest::writeFile(tmp.file("machine.db.readonly"), "");
        auto r = kivtest::runShell("cd " + tmp.path() + " && env " + env + " " + KIV_TOOL + " " +
                                   step.args);
        EXPECT_EQ(r.exitCode, step.exitCode) << step.args << ": " << r.err;
        EXPECT_NE(r.out.find(step.out), std::string::npos) << step.args << ": " << r.out;
        EXPECT_NE(r.err.find(step.err), std::string::npos) << step.args << ": " << r.err;
    }
}

}  // namespace
