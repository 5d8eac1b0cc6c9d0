// SPDX-License-Identifier: Apache-2.0
// kiv call, kiv which IID and kiv tlib register on the greeter example.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr const char *kGreeterClass = "3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15";
constexpr const char *kGreeter = "IDL:Demo/IGreeter:1.0";

class KivCall : public ::testing::Test {
  protected:
    kivtest::ProcessResult kiv(std::vector<std::string> args) {
        args.insert(args.begin(), KIV_TOOL);
        return kivtest::runProcess(
            args, {"KIV_REGISTRY_USER=" + dir.file("user.db"),
                   "KIV_REGISTRY_MACHINE=" + dir.file("machine.db"), "KIV_TLIB_PATH"});
    }
    void SetUp() override {
        ASSERT_EQ(kiv({"register", "--user", kGreeterClass, GREETER_PLUGIN}).exitCode, 0);
    }
    kivtest::TempDir dir;
};

TEST_F(KivCall, CallsListsAndLocatesThroughARegisteredLibrary) {
    EXPECT_EQ(kiv({"call", "--list", kGreeter}).exitCode, 1);  // nothing registered yet
    ASSERT_EQ(kiv({"tlib", "register", "--user", GREETER_TLB}).exitCode, 0);

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;  // expected start of the standard output
    };
    const Case cases[] = {
        {{"call", kGreeterClass, kGreeter, "greet", "\"kiv\""}, 0, "\"Hello, kiv!\"\n"},
        {{"call", "--json", kGreeterClass, kGreeter, "greet", "\"j\""},
         0,
         "{\"result\": \"Hello, j!\"}\n"},
        {{"call", kGreeterClass, kGreeter, "greetings"}, 0, "0\n"},
        {{"call", kGreeterClass, kGreeter, "greet"}, 2, ""},
        {{"call", kGreeterClass, kGreeter, "greet", "42"}, 1, ""},
        {{"call", kGreeterClass, kGreeter, "shout", "\"x\""}, 1, ""},
        {{"call", "--list", kGreeter}, 0, "interface Demo::IGreeter (IDL:Demo/IGreeter:1.0, "},
        {{"which", kGreeter}, 0, "interface IDL:Demo/IGreeter:1.0\nserved by user root: "},
    };
    for (const Case &c : cases) {
        auto r = kiv(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[3] << ": " << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.out;
    }
    EXPECT_NE(kiv({"call", "--list", kGreeter}).out.find("    string greet(in string name);\n"),
              std::string::npos);
    ASSERT_EQ(kiv({"tlib", "unregister", "--user", GREETER_TLB}).exitCode, 0);
    EXPECT_EQ(kiv({"which", kGreeter}).exitCode, 1);
}

// kiv idl --register records the library it has just written, and only once it is written.
TEST_F(KivCall, IdlRegistersTheLibraryItWrites) {
    const std::string idl = dir.file("shapes.idl"), tlb = dir.file("shapes.tlb");
    kivtest::writeFile(idl, "module Shapes { interface IArea { double area(); }; };\n");
    auto r = kiv({"idl", "-o", tlb, "--register", "--user", idl});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "registered " + tlb + "\n");
    const std::string served = "interface IDL:Shapes/IArea:1.0\nserved by user root: " + tlb;
    EXPECT_EQ(kiv({"which", "IDL:Shapes/IArea:1.0"}).out.substr(0, served.size()), served);

    kivtest::writeFile(idl, "module Broken { interface IArea { double area() }; };\n");
    const std::string broken = dir.file("broken.tlb");
    EXPECT_EQ(kiv({"idl", "-o", broken, "--register", "--user", idl}).exitCode, 1);
    EXPECT_EQ(kiv({"tlib", "unregister", "--user", broken}).exitCode, 1);  // never registered
    EXPECT_EQ(kiv({"idl", "--user", idl}).exitCode, 2);
}

}  // namespace
