// SPDX-License-Identifier: Apache-2.0
// kiv call --list without an id, and the completion of interface ids and members built on it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr const char *kGreeter = "IDL:Demo/IGreeter:1.0";

class KivCallList : public ::testing::Test {
  protected:
    void SetUp() override {
        // A library on the search path that serves the greeter's id again (the registered one
        // comes first) and one interface of its own.
        kivtest::makeDirs(dir.file("path"));
        kivtest::writeFile(dir.file("other.idl"),
                           "module Demo { interface IGreeter { void other(); }; };\n"
                           "module Shapes { module Flat { interface IArea { double area(); }; "
                           "}; };\n");
        ASSERT_EQ(kiv({"idl", "-o", dir.file("path/other.tlb"), dir.file("other.idl")}).exitCode,
                  0);
        ASSERT_EQ(kiv({"tlib", "register", "--user", GREETER_TLB}).exitCode, 0);
    }
    std::vector<std::string> env() const {
        const std::string tool = KIV_TOOL;
        return {"KIV_REGISTRY_USER=" + dir.file("user.db"),
                "KIV_REGISTRY_MACHINE=" + dir.file("machine.db"),
                "KIV_TLIB_PATH=" + dir.file("path"),
                "PATH=" + tool.substr(0, tool.rfind('/')) + ":" + std::getenv("PATH")};
    }
    kivtest::ProcessResult kiv(std::vector<std::string> args) {
        args.insert(args.begin(), KIV_TOOL);
        return kivtest::runProcess(args, env());
    }
    kivtest::TempDir dir;
};

TEST_F(KivCallList, ListsEachServedInterfaceOnce) {
    auto r = kiv({"call", "--list"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kGreeter) + " Demo::IGreeter (" + GREETER_TLB + ")\n" +
                         "IDL:Shapes/Flat/IArea:1.0 Shapes::Flat::IArea (" +
                         dir.file("path/other.tlb") + ")\n");
    EXPECT_EQ(kiv({"call", "--list", "a", "b"}).exitCode, 2);
}

// Completion of `kiv call` on lines split into words as bash splits them: at blanks and colons.
TEST_F(KivCallList, CompletionOffersInterfaceIdsAndMembers) {
    const std::string script = std::string("source ") + KIV_COMPLETION + R"(
complete_line() {
    COMP_LINE=$1
    COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"${1//:/ : }"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _kiv
    echo "${COMPREPLY[*]}"
}
complete_line "kiv call --list "
complete_line "kiv call --json CLSID IDL:Sh"
complete_line "kiv call CLSID IDL:Demo/IGreeter:1.0 gr"
complete_line "kiv call CLSID IDL:Demo/IGreeter:1.0 greet "
complete_line "kiv call --list IDL:Demo/IG"
complete_line "kiv call --list IDL:"
)";
    kivtest::writeFile(dir.file("complete.sh"), script);
    auto r = kivtest::runProcess({"/bin/bash", dir.file("complete.sh")}, env());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "IDL:Demo/IGreeter:1.0 IDL:Shapes/Flat/IArea:1.0\n"
              "Shapes/Flat/IArea:1.0\n"
              "greet greetings\n"
              "\n"
              "Demo/IGreeter:1.0\n"
              "Demo/IGreeter:1.0 Shapes/Flat/IArea:1.0\n");
}

}  // namespace
