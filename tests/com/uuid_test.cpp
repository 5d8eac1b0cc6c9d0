// UUIDs: version-3 names checked against Python's uuid module, the field order, random ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "kiv_com.h"
#include "test_support.h"

namespace {

std::string text(const kivUUID &u) {
    char buffer[37];
    std::snprintf(buffer, sizeof buffer, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  u.time_low, u.time_mid, u.time_hi_and_version, u.clock_seq_hi_and_reserved,
                  u.clock_seq_low, u.node[0], u.node[1], u.node[2], u.node[3], u.node[4],
                  u.node[5]);
    return buffer;
}

const kivUUID kNamespaceDns = {0x6ba7b810, 0x9dad, 0x11d1,
                               0x80,       0xb4,   {0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8}};
const kivUUID kNamespaceUrl = {0x6ba7b811, 0x9dad, 0x11d1,
                               0x80,       0xb4,   {0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8}};

std::string hex(const std::string &bytes) {
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

// Python's uuid.uuid3 of each (namespace, name) pair, one per line.
std::string pythonUuid3(const std::vector<std::pair<kivUUID, std::string>> &cases) {
    std::string script = "import uuid\n";
    for (const auto &[ns, name] : cases)
        script += "print(uuid.uuid3(uuid.UUID('" + text(ns) + "'), bytes.fromhex('" + hex(name) +
                  "').decode('latin-1')))\n";
    kivtest::TempDir tmp;
    kivtest::writeFile(tmp.file("v3.py"), script);
    auto r = kivtest::runProcess({PYTHON3, tmp.file("v3.py")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

TEST(Uuid, Version3MatchesAnIndependentImplementation) {
    const std::vector<std::pair<kivUUID, std::string>> cases = {
        {kNamespaceDns, "www.widgets.com"},
        {kNamespaceDns, "python.org"},
        {kNamespaceDns, ""},
        {kNamespaceUrl, "http://example.com/a?b=c"},
        {kNamespaceUrl, std::string("with\0zero\0bytes", 15)},
        {kNamespaceDns, std::string(1000, 'x')},
        {{0xffffffff, 0xffff, 0xffff, 0xff, 0xff, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}, "max"},
    };
    std::string expected = pythonUuid3(cases);
    std::string actual;
    for (const auto &[ns, name] : cases) {
        kivUUID u;
        ASSERT_EQ(kivUUIDCreateFromName(&ns, name.data(), name.size(), &u), 0u);
        EXPECT_EQ(u.time_hi_and_version >> 12, 3);
        EXPECT_EQ(u.clock_seq_hi_and_reserved >> 6, 2);
        actual += text(u) + "\n";
    }
    EXPECT_EQ(actual, expected);
    // The published example, with its namespace given field by field.
    EXPECT_EQ(expected.substr(0, 37), "3d813cbb-47fb-32ba-91df-831e1593ac29\n");
}

TEST(Uuid, Version3RefusesLengthsBeyond32BitsAndLeavesTheOutputAlone) {
    if (sizeof(size_t) <= 4) GTEST_SKIP() << "size_t cannot hold 2^32";
    kivUUID u = {1, 2, 3, 4, 5, {6, 7, 8, 9, 10, 11}};
    const kivUUID before = u;
    const char name = 'x';
    EXPECT_EQ(kivUUIDCreateFromName(&kNamespaceDns, &name, size_t{1} << 32, &u), KIV_E_INVALIDARG);
    EXPECT_EQ(kivUUIDCompare(&u, &before), 0);
    EXPECT_EQ(kivUUIDCreateFromName(&kNamespaceDns, nullptr, 1, &u), KIV_E_INVALIDARG);
    EXPECT_EQ(kivUUIDCompare(&u, &before), 0);
}

TEST(Uuid, CompareOrdersFieldsAsNumbers) {
    struct Case {
        kivUUID a, b;
        int32_t expected;
    };
    const kivUUID base = {0x100, 0x200, 0x3000, 0x80, 0x01, {1, 2, 3, 4, 5, 6}};
    auto with = [&](auto change) {
        kivUUID u = base;
        change(u);
        return u;
    };
    const Case cases[] = {
        {base, base, 0},
        // 0x100 is stored 00 01 00 00: smaller first byte, larger number.
        {base, with([](kivUUID &u) { u.time_low = 0xff; }), 1},
        {with([](kivUUID &u) { u.time_mid = 0x1ff; }), base, -1},
        {with([](kivUUID &u) { u.time_hi_and_version = 0x30ff; }), base, 1},
        {with([](kivUUID &u) { u.clock_seq_hi_and_reserved = 0x7f; }), base, -1},
        {with([](kivUUID &u) { u.clock_seq_low = 0xff; }), base, 1},
        {with([](kivUUID &u) { u.node[5] = 7; }), base, 1},
        {with([](kivUUID &u) { u.node[0] = 0; }), base, -1},
        // An earlier field decides even when a later one differs the other way.
        {with([](kivUUID &u) {
             u.time_mid = 0x201;
             u.node[0] = 0;
         }),
         base, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kivUUIDCompare(&c.a, &c.b), c.expected) << text(c.a) << " vs " << text(c.b);
        EXPECT_EQ(kivUUIDCompare(&c.b, &c.a), -c.expected);
    }
}

TEST(Uuid, CreateGivesDistinctVersion4Uuids) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        kivUUID u;
        ASSERT_EQ(kivUUIDCreate(&u), 0u);
        EXPECT_EQ(u.time_hi_and_version >> 12, 4);
        EXPECT_EQ(u.clock_seq_hi_and_reserved >> 6, 2);
        seen.insert(text(u));
    }
    EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
