// kiv reg: the registry from the command line, against temporary stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Step {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // stdout on success, stderr otherwise
};

TEST(RegCli, Commands) {
    kivtest::TempDir dir;
    const Step steps[] = {
        {{"set", "KIV\\Classes\\abc", "DSO", "/opt/plug.so"}, 0, ""},
        {{"set", "KIV/Demo", "n", "--type", "int32", "--", "-1"}, 0, ""},
        {{"set", "KIV/Demo", "big", "--type=int64", "0x10000000000"}, 0, ""},
        {{"set", "KIV/Demo", "raw", "--type", "bytes", "00ff", "10"}, 0, ""},
        {{"set", "KIV/Demo", "items", "--type", "list", "a", "", "b"}, 0, ""},
        {{"set", "/KIV/Demo", "", "hello"}, 0, ""},
        {{"set", "KIV/Empty"}, 0, ""},
        {{"get", "kiv/demo", "ITEMS"}, 0, "a\n\nb\n"},
        {{"get", "KIV/Demo"}, 0, "hello\n"},
        {{"ls", "KIV/Demo"},
         0,
         "(default)  string  hello\nbig  int64  1099511627776\nitems  list  \"a\", \"\", \"b\"\n"
         "n  int32  4294967295\nraw  bytes  00ff10\n"},
        {{"tree", "KIV/Classes"}, 0, "KIV\\Classes\\\n  abc\\\n    DSO  string  /opt/plug.so\n"},
        {{"rm", "KIV/Demo", "raw"}, 0, ""},
        {{"rm", "KIV/Empty"}, 0, ""},
        {{"ls", "KIV"}, 0, "Classes\\\nDemo\\\n"},
        {{"get", "KIV/Demo", "raw"}, 1, "kiv: reg get KIV\\Demo raw: Not found\n"},
        {{"ls", "--machine", "KIV"}, 1, "kiv: reg ls KIV: Not found\n"},
        {{"rm", "KIV"}, 1, "kiv: reg rm KIV: Access denied\n"},
        {{"move", "KIV"}, 2, "kiv: reg: unknown action 'move' (ls, tree, get, set, rm)\n"},
        {{"rm", "/"}, 2, "kiv: reg rm: the root key cannot be removed\n"},
        {{"ls", "--system"}, 2, "kiv: reg: unknown option --system\n"},
        {{"set", "K", "v", "--type", "int32", "0x100000000"},
         2,
         "kiv: reg set: not a valid int32: 0x100000000\n"},
        {{"set", "K", "v", "--type", "bytes", "0g"},
         2,
         "kiv: reg set: bytes are pairs of hexadecimal digits\n"},
        {{"set", "K", "v", "a", "b"}, 2, "kiv: reg set: --type string takes exactly one VALUE\n"},
    };
    auto kiv = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {KIV_TOOL, "reg"});
        return kivtest::runProcess(args, {"KIV_REGISTRY_USER=" + dir.file("user.db"),
                                          "KIV_REGISTRY_MACHINE=" + dir.file("machine.db")});
    };
    for (const auto &step : steps) {
        auto r = kiv(step.args);
        EXPECT_EQ(r.exitCode, step.exitCode) << step.args[0] << " " << r.err;
        EXPECT_EQ(step.exitCode ? r.err : r.out, step.out) << step.args[0];
    }
}

}  // namespace
