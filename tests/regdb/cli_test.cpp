// SPDX-License-Identifier: Apache-2.0
// kiv reg: the registry from the command line, against temporary stores.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Step {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // stdout on success, stderr otherwise
    std::string in = {};
};

// Runs `kiv reg ARGS...` against the stores in `dir`.
kivtest::ProcessResult reg(const kivtest::TempDir &dir, std::vector<std::string> args,
                           std::string_view in = {}) {
    args.insert(args.begin(), {KIV_TOOL, "reg"});
    return kivtest::runProcess(args,
                               {"KIV_REGISTRY_USER=" + dir.file("user.db"),
                                "KIV_REGISTRY_MACHINE=" + dir.file("machine.db")},
                               in);
}

void runSteps(const kivtest::TempDir &dir, std::span<const Step> steps) {
    for (const auto &step : steps) {
        auto r = reg(dir, step.args, step.in);
        std::string shown = step.args.empty() ? "" : step.args[0] + " " + step.args.back();
        EXPECT_EQ(r.exitCode, step.exitCode) << shown << " " << r.err;
        EXPECT_EQ(step.exitCode ? r.err : r.out, step.out) << shown;
    }
}

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
        {{"rm", "KIV"}, 1, "kiv: reg rm KIV: the key has subkeys (rm -r removes them as well)\n"},
        {{"move", "KIV"},
         2,
         "kiv: reg: unknown action 'move' (ls, tree, get, set, rm, export, import, where)\n"},
        {{"rm", "/"}, 2, "kiv: reg rm: the root key cannot be removed\n"},
        {{"ls", "--system"}, 2, "kiv: reg: unknown option '--system'\n"},
        {{"set", "K", "v", "--type", "int32", "0x100000000"},
         2,
         "kiv: reg set: not a valid int32: 0x100000000\n"},
        {{"set", "K", "v", "--type", "bytes", "0g"},
         2,
         "kiv: reg set: bytes are pairs of hexadecimal digits\n"},
        {{"set", "K", "v", "a", "b"}, 2, "kiv: reg set: --type string takes exactly one VALUE\n"},
    };
    runSteps(dir, steps);
}

TEST(RegCli, OptionsAreCheckedOnce) {
    kivtest::TempDir dir;
    const Step steps[] = {
        {{"ls", "--machine", "--user"}, 2, "kiv: reg: --machine and --user cannot be combined\n"},
        {{"ls", "--user", "--user"}, 2, "kiv: reg: --user given twice\n"},
        {{"ls", "--jsno"}, 2, "kiv: reg: unknown option '--jsno' (did you mean --json?)\n"},
        {{"lst"}, 2, "kiv: reg: unknown action 'lst' (did you mean ls?)\n"},
        {{"set", "K", "v", "--type=int32", "--type", "int64", "1"},
         2,
         "kiv: reg: --type given twice\n"},
        {{"ls", "--json=yes"}, 2, "kiv: reg: --json takes no value\n"},
        {{"set", "K", "v", "--json", "x"},
         2,
         "kiv: reg set: --json is for ls, tree and get only\n"},
        {{"ls", "-r"}, 2, "kiv: reg ls: --recursive is for rm only\n"},
        {{"rm", "-r", "K", "v"}, 2, "kiv: reg rm: --recursive removes keys, not values\n"},
        {{"where", "K"}, 2, "kiv: reg where: takes no arguments\n"},
        // After "--" everything is an operand, an option-like value name included.
        {{"set", "K", "--", "--json", "x"}, 0, ""},
        {{"set", "K", "n", "--type", "int32", "-2"}, 0, ""},
        {{"get", "K", "n"}, 0, "4294967294\n"},
        {{"get", "K", "--", "--json"}, 0, "x\n"},
    };
    runSteps(dir, steps);
}

TEST(RegCli, JsonRecursiveRemovalAndWhere) {
    kivtest::TempDir dir;
    const Step steps[] = {
        {{"set", "A/B", "s", "say \"hi\"\n"}, 0, ""},
        {{"set", "A/B", "e", "--type", "list"}, 0, ""},
        {{"set", "A/B/C", "n", "--type", "int64", "18446744073709551615"}, 0, ""},
        {{"get", "A/B", "e"}, 0, ""},
        {{"get", "--json", "A/B", "e"}, 0, "{\"name\":\"e\",\"type\":\"list\",\"data\":[]}\n"},
        {{"ls", "--json", "A/B"},
         0,
         "{\"key\":\"A\\\\B\",\"subkeys\":[\"C\"],\"values\":[{\"name\":\"e\",\"type\":\"list\","
         "\"data\":[]},{\"name\":\"s\",\"type\":\"string\",\"data\":\"say "
         "\\\"hi\\\"\\u000a\"}]}\n"},
        {{"tree", "--json", "A/B/C"},
         0,
         "{\"name\":\"A\\\\B\\\\C\",\"values\":[{\"name\":\"n\",\"type\":\"int64\",\"data\":"
         "18446744073709551615}],\"subkeys\":[]}\n"},
        {{"rm", "-r", "A"}, 0, ""},
        {{"ls"}, 0, ""},
        {{"where"},
         0,
         "machine  " + dir.file("machine.db") + "  writable\nuser     " + dir.file("user.db") +
             "  writable\n"},
    };
    runSteps(dir, steps);
}

TEST(RegCli, ExportImportRoundTripsEveryKind) {
    kivtest::TempDir dir;
    const std::string document =
        "kiv-registry 1\n"
        "\n"
        "key \"A\"\n"
        "value \"\" string \"default\"\n"
        "\n"
        "key \"A\" \"B \\\"q\\\"\"\n"
        "value \"bytes\" bytes 00ff10\n"
        "value \"empty bytes\" bytes\n"
        "value \"empty list\" list\n"
        "value \"i32\" int32 4294967295\n"
        "value \"i64\" int64 18446744073709551615\n"
        "value \"list\" list \"a\" \"\" \"tab\\there\" \"\\x01\"\n"
        "value \"s\" string \"line\\nbreak\\\\\"\n";
    const Step steps[] = {
        {{"import"}, 0, "", document},
        {{"export", "A"}, 0, document},
        {{"import", "Copy"}, 0, "", document},
        {{"get", "Copy/A/B \"q\"", "s"}, 0, "line\nbreak\\\n"},
        {{"import"},
         2,
         "kiv: reg import: line 2: expected key or value\n",
         "kiv-registry 1\nkye\n"},
        {{"import"}, 2, "kiv: reg import: line 1: expected \"kiv-registry 1\"\n", "key\n"},
        {{"import"},
         1,
         "kiv: reg import X v: One or more arguments are invalid\n",
         "kiv-registry 1\nkey \"X\"\nvalue \"v\" list \"!@KIV_EMPTY_STRING#$\"\n"},
    };
    runSteps(dir, steps);
}

TEST(RegCli, TheMachineStoreFollowsTheInstallationPrefix) {
    kivtest::TempDir dir;
    const std::pair<const char *, const char *> cases[] = {
        {"/usr", "/var/lib/kiv/registry.db"},
        {"/usr/", "/var/lib/kiv/registry.db"},
        {"/usr/lib/x86_64-linux-gnu", "/var/lib/kiv/registry.db"},
        {"/opt/kiv", "/opt/kiv/var/lib/kiv/registry.db"},
        {"/opt/kiv/lib/arm-linux-gnueabihf", "/opt/kiv/var/lib/kiv/registry.db"},
        {"/opt/kiv/lib/plugins", "/opt/kiv/lib/plugins/var/lib/kiv/registry.db"},
        {"/opt/kiv/x86_64-linux-gnu", "/opt/kiv/x86_64-linux-gnu/var/lib/kiv/registry.db"},
    };
    for (const auto &[root, store] : cases) {
        auto r = kivtest::runProcess(
            {KIV_TOOL, "reg", "where"},
            {"KIV_ROOT_DIR=" + std::string(root), "KIV_REGISTRY_USER=" + dir.file("user.db")});
        EXPECT_EQ(r.exitCode, 0) << root << " " << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find("  ", 9)), "machine  " + std::string(store)) << root;
    }
}

// The process's stack limit for the programs it starts, restored when done.
class StackLimit {
  public:
    explicit StackLimit(rlim_t bytes) {
        getrlimit(RLIMIT_STACK, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = std::min(bytes, saved_.rlim_max);
        setrlimit(RLIMIT_STACK, &limit);
    }
    ~StackLimit() { setrlimit(RLIMIT_STACK, &saved_); }

  private:
    rlimit saved_{};
};

size_t count(const std::string &text, std::string_view what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Walks keep their own stack: a key thousands of levels deep is listed, exported and removed
// by a tool whose own stack is too small for one frame per level.
TEST(RegCli, DeepKeysNeedNoStackPerLevel) {
    constexpr size_t kDepth = 4000;
    kivtest::TempDir dir;
    std::string path = "D";
    for (size_t i = 1; i < kDepth; ++i) path += "/k";
    ASSERT_EQ(reg(dir, {"set", path, "v", "deep"}).exitCode, 0);

    StackLimit limit(1 << 20);
    auto tree = reg(dir, {"tree", "D"});
    EXPECT_EQ(tree.exitCode, 0) << tree.err;
    EXPECT_EQ(count(tree.out, "k\\\n"), kDepth - 1);
    EXPECT_EQ(count(tree.out, "v  string  deep\n"), 1u);

    auto json = reg(dir, {"tree", "--json", "D"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(count(json.out, "{\"name\":"), kDepth + 1);  // the keys and the value
    EXPECT_EQ(count(json.out, "]}"), kDepth);

    auto exported = reg(dir, {"export", "D"});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(count(exported.out, "\nkey "), kDepth);

    auto removed = reg(dir, {"rm", "-r", "D"});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(reg(dir, {"ls"}).out, "");
}

}  // namespace
