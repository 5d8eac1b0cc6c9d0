// The kiv tool's component-model commands: uuid, register, unregister, which, create.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "test_support.h"

namespace {

using kivtest::runProcess;

// Runs the tool with the registry database in a folder of the test's own.
class Cli : public testing::Test {
  protected:
    kivtest::ProcessResult kiv(std::vector<std::string> args) {
        args.insert(args.begin(), KIV_TOOL);
        return runProcess(args, {"KIV_REGISTRY_USER=" + tmp.file("user"),
                                 "KIV_REGISTRY_MACHINE=" + tmp.file("machine")});
    }
    kivtest::TempDir tmp;
};

TEST_F(Cli, UuidPrintsDistinctRandomUuids) {
    auto r = kiv({"uuid", "-n", "5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::set<std::string> seen;
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, v4)) << line;
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), 5u);
}

TEST_F(Cli, UuidByName) {
    struct Case {
        const char *ns, *name, *expected;
    };
    const Case cases[] = {
        {"dns", "www.widgets.com", "3d813cbb-47fb-32ba-91df-831e1593ac29\n"},
        {"6BA7B810-9DAD-11D1-80B4-00C04FD430C8", "www.widgets.com",
         "3d813cbb-47fb-32ba-91df-831e1593ac29\n"},
        {"url", "", "14cdb9b4-de01-3faa-aff5-65bc2f771745\n"},
    };
    for (const auto &c : cases) {
        auto r = kiv({"uuid", "--name", c.ns, c.name});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.expected) << c.ns << " " << c.name;
    }
}

TEST_F(Cli, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const char *clsid = "3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15";
    const Case cases[] = {
        {{"uuid", "-n", "0"}, "uuid: -n expects a count from 1 to 1000000: 0"},
        {{"uuid", "-n", "ten"}, "uuid: -n expects a count"},
        {{"uuid", "extra"}, "uuid: expected [-n N] or --name NAMESPACE NAME"},
        {{"uuid", "--name", "dns"}, "uuid: --name expects NAMESPACE NAME"},
        {{"uuid", "--name", "fqdn", "x"}, "uuid: not a namespace"},
        {{"register", clsid}, "register: expected CLSID PATH"},
        {{"register", "3E5C9A70-4B1D-4C8E-9F2A-6D7B8C9E0A15", "x.so"},
         "register: not a class id (lower-case UUID text)"},
        {{"register", clsid, "x.so", "--machine"}, "register: unknown option --machine"},
        {{"unregister"}, "unregister: expected CLSID"},
        {{"which", "{3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15}"}, "which: not a class id"},
        {{"create", clsid}, "create: expected CLSID IID"},
    };
    for (const auto &c : cases) {
        auto r = kiv(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST_F(Cli, WhichKnowsTheBuiltInRegistry) {
    auto r = kiv({"which", "071d093c-8cce-11d5-bfd3-0000e2430653"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("served by the library itself"), std::string::npos) << r.out;
}

TEST_F(Cli, RegisterWhichCreateUnregister) {
    const std::string clsid = "3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15";
    const char *greeter = "IDL:Demo/IGreeter:1.0";

    auto host = runProcess(
        {SAMPLE_HOST, GREETER_PLUGIN, "Ada"},
        {"KIV_REGISTRY_USER=" + tmp.file("user"), "KIV_REGISTRY_MACHINE=" + tmp.file("machine")});
    ASSERT_EQ(host.exitCode, 0) << host.err;
    EXPECT_NE(host.out.find("Hello, Ada!"), std::string::npos) << host.out;

    // The machine root also names a plug-in, but the user root comes first.
    ASSERT_EQ(kiv({"register", clsid, PLUGIN_A}).exitCode, 0);
    auto which = kiv({"which", clsid});
    EXPECT_EQ(which.exitCode, 0) << which.err;
    EXPECT_NE(which.out.find(std::string("user root, variant 0     ") + GREETER_PLUGIN),
              std::string::npos)
        << which.out;
    EXPECT_NE(which.out.find("machine root, variant 0  not consulted"), std::string::npos);
    EXPECT_NE(which.out.find("served by user root, variant 0"), std::string::npos);

    auto created = kiv({"create", clsid, greeter});
    EXPECT_EQ(created.exitCode, 0) << created.err;
    EXPECT_NE(created.out.find(std::string("interface ") + greeter), std::string::npos);
    auto missing = kiv({"create", clsid, "IDL:Demo/IMissing:1.0"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "kiv: create: No such interface supported\n");

    // Without the user's registration the machine root serves the class.
    ASSERT_EQ(kiv({"unregister", clsid, "--user"}).exitCode, 0);
    which = kiv({"which", clsid});
    EXPECT_NE(which.out.find("user root, variant 0     not registered"), std::string::npos)
        << which.out;
    EXPECT_NE(which.out.find(std::string("served by machine root, variant 0: ") + PLUGIN_A),
              std::string::npos)
        << which.out;

    ASSERT_EQ(kiv({"unregister", clsid}).exitCode, 0);
    which = kiv({"which", clsid});
    EXPECT_EQ(which.exitCode, 1);
    EXPECT_EQ(which.err, "kiv: which: No object factory found\n");
    ASSERT_EQ(kiv({"register", clsid, "/nonexistent/libplugin.so", "--user"}).exitCode, 0);
    which = kiv({"which", clsid});
    EXPECT_EQ(which.exitCode, 1);
    EXPECT_NE(which.err.find("loading /nonexistent/libplugin.so:"), std::string::npos) << which.err;
}

}  // namespace
