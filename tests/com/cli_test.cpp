// SPDX-License-Identifier: Apache-2.0
// The kiv tool's component-model commands, one step after another on a registry database of the
// test's own: uuid, register, unregister, which, create.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "kiv_com.h"
#include "test_support.h"

namespace {

struct Step {
    std::vector<std::string> args;  // a first argument that is a path names another program
    int exitCode;
    std::vector<std::string> expected;  // found in stdout on success, in stderr otherwise
};

TEST(ComCli, Commands) {
    kivtest::TempDir tmp;
    auto kiv = [&](std::vector<std::string> args) {
        if (args[0][0] != '/') args.insert(args.begin(), KIV_TOOL);
        return kivtest::runProcess(args, {"KIV_REGISTRY_USER=" + tmp.file("user"),
                                          "KIV_REGISTRY_MACHINE=" + tmp.file("machine")});
    };
    const std::string clsid = "3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15", a = PLUGIN_A;
    const std::string upper = "3E5C9A70-4B1D-4C8E-9F2A-6D7B8C9E0A15", greeter = GREETER_PLUGIN;
    const std::string dns = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8", missing = "/nowhere/lib.so";
    const std::string widgets = "3d813cbb-47fb-32ba-91df-831e1593ac29\n";
    const std::string other = "0c1d2e3f-4a5b-4c6d-8e7f-8091a2b3c4d5";
    const std::string otherUpper = "0C1D2E3F-4A5B-4C6D-8E7F-8091A2B3C4D5";
    const Step steps[] = {
        {{"uuid", "--name", "dns", "www.widgets.com"}, 0, {widgets}},
        {{"uuid", "--name", dns, "www.widgets.com"}, 0, {widgets}},
        {{"uuid", "-n", "0"}, 2, {"uuid: -n expects a count from 1 to 1000000: 0"}},
        {{"uuid", "extra"}, 2, {"uuid: expected [-n N] or --name NAMESPACE NAME"}},
        {{"uuid", "--name", "fqdn", "x"}, 2, {"uuid: not a namespace"}},
        {{"register", clsid}, 2, {"register: expected CLSID PATH"}},
        {{"register", "3e5c9a70-4b1d", "x.so"}, 2, {"register: not a class id (UUID text)"}},
        {{"register", clsid, "x.so", "--machine"}, 2, {"register: unknown option '--machine'"}},
        {{"create", clsid}, 2, {"create: expected CLSID IID"}},
        {{"which", KIV_CLSID_REGISTRY}, 0, {"served by the library itself"}},
        // Nothing registered yet: both commands say so.
        {{"create", upper, "IDL:Demo/IGreeter:1.0"},
         1,
         {"kiv: create: class " + clsid + " is not registered (kiv which " + clsid}},
        {{"which", clsid}, 1, {"kiv: which: class " + clsid + " is not registered\n"}},
        // A plug-in that aborts or exits while loading is checked in a child: nothing registered.
        {{"register", clsid, ABORTING_PLUGIN},
         1,
         {"crashed while loading (signal 6: Aborted); nothing registered"}},
        {{"register", clsid, EXITING_PLUGIN},
         1,
         {"ended the process while loading (exit status 3); nothing registered"}},
        {{"which", clsid}, 1, {"is not registered"}},
        // A plug-in that does not serve the class is registered with a warning, and named.
        {{"register", "--user", otherUpper, greeter}, 0, {"registered " + other + ": " + greeter}},
        {{"create", other, "IDL:Demo/IGreeter:1.0"},
         1,
         {"kiv: create: " + greeter + " does not serve class " + other + ": No object factory"}},
        {{"unregister", otherUpper, "--user"},
         0,
         {"unregistered " + other + " (from the user root, variant 0; it named " + greeter}},
        // The sample host registers the greeter for the user; the machine root names another.
        {{SAMPLE_HOST, greeter, "Ada"}, 0, {"Hello, Ada!"}},
        {{"register", clsid, a}, 0, {"registered " + clsid}},
        {{"which", clsid}, 0, {"user root, variant 0     " + greeter, "served by user root"}},
        {{"which", clsid}, 0, {"machine root, variant 0  not consulted"}},
        {{"create", clsid, "IDL:Demo/IGreeter:1.0"}, 0, {"interface IDL:Demo/IGreeter:1.0"}},
        {{"create", clsid, "IDL:Demo/IMissing:1.0"},
         1,
         {"kiv: create: the object of class " + clsid +
          " has no interface IDL:Demo/IMissing:1.0: No such interface"}},
        // The interface granted is the one asked for, whichever table answers it.
        {{"create", clsid, "IDL:kiv/IUnknown:1.0"},
         0,
         {"interface IDL:kiv/IUnknown:1.0 (through its IDL:Demo/IGreeter:1.0 table)\n"}},
        {{"unregister", clsid, "--user"},
         0,
         {"(from the user root, variant 0; it named " + greeter}},
        {{"which", clsid}, 0, {"user root, variant 0     not registered"}},
        {{"which", clsid}, 0, {"served by machine root, variant 0: " + a}},
        {{"unregister", clsid}, 0, {"(from the machine root, variant 0; it named " + a}},
        {{"unregister", clsid}, 1, {"kiv: unregister: no root registers class " + clsid}},
        {{"which", clsid}, 1, {"kiv: which: class " + clsid + " is not registered\n"}},
        {{"register", clsid, missing, "--user"}, 0, {}},
        {{"which", clsid}, 1, {"loading " + missing + ":"}},
    };
    for (const auto &step : steps) {
        auto r = kiv(step.args);
        EXPECT_EQ(r.exitCode, step.exitCode) << step.args[0] << " " << step.args.back() << r.err;
        for (const auto &text : step.expected)
            EXPECT_NE((step.exitCode ? r.err : r.out).find(text), std::string::npos)
                << r.out << r.err;
    }
    // Random UUIDs: version 4, variant 1, all different.
    std::istringstream lines(kiv({"uuid", "-n", "100"}).out);
    std::set<std::string> seen;
    const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (std::string line; std::getline(lines, line); seen.insert(line))
        EXPECT_TRUE(std::regex_match(line, v4)) << line;
    EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
