// kiv reg: the registry from the command line, against temporary stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

class RegCli : public testing::Test {
  protected:
    kivtest::ProcessResult kiv(std::vector<std::string> args) {
        args.insert(args.begin(), {KIV_TOOL, "reg"});
        return kivtest::runProcess(args, {"KIV_REGISTRY_USER=" + dir.file("user.db"),
                                          "KIV_REGISTRY_MACHINE=" + dir.file("machine.db")});
    }
    void ok(std::vector<std::string> args, const std::string &out = "") {
        auto r = kiv(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out, out) << args[0];
    }

    kivtest::TempDir dir;
};

TEST_F(RegCli, SetGetListAndRemove) {
    ok({"set", "KIV\\Classes\\abc", "DSO", "/opt/plug.so"});
    ok({"set", "KIV/Demo", "n", "--type", "int32", "--", "-1"});
    ok({"set", "KIV/Demo", "big", "--type=int64", "0x10000000000"});
    ok({"set", "KIV/Demo", "raw", "--type", "bytes", "00ff", "10"});
    ok({"set", "KIV/Demo", "items", "--type", "list", "a", "", "b"});
    ok({"set", "/KIV/Demo", "", "hello"});
    ok({"set", "KIV/Empty"});

    ok({"get", "kiv/demo", "ITEMS"}, "a\n\nb\n");
    ok({"get", "KIV/Demo", "n"}, "4294967295\n");
    ok({"get", "KIV/Demo"}, "hello\n");
    ok({"ls", "KIV"}, "Classes\\\nDemo\\\nEmpty\\\n");
    ok({"ls", "KIV/Demo"},
       "(default)  string  hello\n"
       "big  int64  1099511627776\n"
       "items  list  \"a\", \"\", \"b\"\n"
       "n  int32  4294967295\n"
       "raw  bytes  00ff10\n");
    ok({"tree", "KIV/Classes"}, "KIV\\Classes\\\n  abc\\\n    DSO  string  /opt/plug.so\n");

    ok({"rm", "KIV/Demo", "raw"});
    ok({"rm", "KIV/Empty"});
    ok({"ls", "KIV"}, "Classes\\\nDemo\\\n");
    ok({"ls", "--machine"});
}

TEST_F(RegCli, FailuresAndUsageErrors) {
    ok({"set", "KIV/Demo", "v", "x"});
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char *message;
    };
    const Case cases[] = {
        {{"get", "KIV/Demo", "nope"}, 1, "kiv: reg get KIV\\Demo nope: Not found\n"},
        {{"ls", "--machine", "KIV"}, 1, "kiv: reg ls KIV: Not found\n"},
        {{"rm", "KIV"}, 1, "kiv: reg rm KIV: Access denied\n"},
        {{"rm", "KIV/Demo", "nope"}, 1, "kiv: reg rm KIV\\Demo nope: Not found\n"},
        {{}, 2, "kiv: reg: expected ls, tree, get, set or rm\n"},
        {{"move", "KIV"}, 2, "kiv: reg: unknown action 'move' (ls, tree, get, set, rm)\n"},
        {{"get"}, 2, "kiv: reg get: expected KEY [VALUE-NAME]\n"},
        {{"rm", "/"}, 2, "kiv: reg rm: the root key cannot be removed\n"},
        {{"ls", "--system"}, 2, "kiv: reg: unknown option --system\n"},
        {{"set", "K", "v", "--type", "int32", "0x100000000"},
         2,
         "kiv: reg set: not a valid int32: 0x100000000\n"},
        {{"set", "K", "v", "--type", "bytes", "0g"},
         2,
         "kiv: reg set: bytes are pairs of hexadecimal digits\n"},
        {{"set", "K", "v", "a", "b"}, 2, "kiv: reg set: --type string takes exactly one VALUE\n"},
        {{"set", "K", "v", "--type", "float", "1"},
         2,
         "kiv: reg: unknown --type 'float' (string, int32, int64, bytes or list)\n"},
    };
    for (const auto &c : cases) {
        auto r = kiv(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.err, c.message);
    }
}

TEST_F(RegCli, ReadOnlyMachineStore) {
    ok({"set", "--machine", "KIV", "v", "machine"});
    kivtest::writeFile(dir.file("machine.db.readonly"), "");
    auto r = kiv({"set", "--machine", "KIV", "v", "changed"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "kiv: reg set KIV: Access denied\n");
    ok({"get", "--machine", "KIV", "v"}, "machine\n");
}

}  // namespace
