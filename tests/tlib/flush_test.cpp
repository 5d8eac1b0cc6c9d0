// SPDX-License-Identifier: Apache-2.0
// Flush tests: a definition entered new is written from the record encoded when it was
// entered, so every later change of it must reach the file instead of those bytes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using namespace tlibtest;

namespace {

const char *const kCounterKey = KIV_TLIB_LOCAL_COUNTER_ID;

// Every definition record of the file holds what encoding the handle's definition gives now.
void expectFileMatchesHandle(kivTLib *t, const std::string &path) {
    for (const auto &[k, value] : readRecords(path)) {
        std::string id = k.substr(0, k.size() - 1);
        if (id == kCounterKey) continue;
        kivTLibDef *def = nullptr;
        ASSERT_EQ(kivTLibGetDefinition(t, id.c_str(), &def), 0u) << id;
        EXPECT_EQ(hex(value), hex(encode(def))) << id;
    }
}

kivResult structIn(kivTLib *t, const char *id, const char *scope) {
    kivTLibStructMember member{"x", {KIV_TYPE_LONG, nullptr}};
    return kivTLibCreateStruct(t, "S", id, scope, 0, 1, &member, nullptr);
}

struct ChangeCase {
    const char *name;
    std::function<kivResult(kivTLib *)> enter;   // new definitions, flushed or not
    bool flushBetween;                           // whether `enter` reaches the file first
    std::function<kivResult(kivTLib *)> change;  // changes some of them
};

TEST(TLibFlush, DefinitionsChangedAfterEnteringAreWrittenAsChanged) {
    kivTLibMember op{KIV_MEMBER_OPERATION, "run", 0, {KIV_TYPE_VOID, nullptr}, 0, nullptr};
    const ChangeCase cases[] = {
        {"module gains contents", [](kivTLib *t) { return addModule(t, "M"); }, false,
         [](kivTLib *t) { return structIn(t, "IDL:M/S:1.0", "IDL:M:1.0"); }},
        {"flushed module gains contents", [](kivTLib *t) { return addModule(t, "M"); }, true,
         [](kivTLib *t) { return structIn(t, "IDL:M/S:1.0", "IDL:M:1.0"); }},
        {"forward interface completed",
         [](kivTLib *t) {
             return kivTLibCreateInterfaceFwd(t, "I", "IDL:I:1.0", KIV_TLIB_ROOT_ID, 0, nullptr);
         },
         false,
         [&op](kivTLib *t) {
             return kivTLibCreateInterface(t, "I", "IDL:I:1.0", KIV_TLIB_ROOT_ID, 0, nullptr, 1,
                                           &op, nullptr);
         }},
        {"interface gains a nested structure",
         [&op](kivTLib *t) {
             return kivTLibCreateInterface(t, "I", "IDL:I:1.0", KIV_TLIB_ROOT_ID, 0, nullptr, 1,
                                           &op, nullptr);
         },
         false, [](kivTLib *t) { return structIn(t, "IDL:I/S:1.0", "IDL:I:1.0"); }},
        {"anonymous scope gains a type", [](kivTLib *) { return kivResult{0}; }, false,
         [](kivTLib *t) {
             return kivTLibCreateString(t, "IDL:omg.org/string10:1.0", 0, 10, nullptr);
         }},
    };
    for (const ChangeCase &c : cases) {
        SCOPED_TRACE(c.name);
        kivtest::TempDir dir = kivtest::TempDir::inMemory();
        std::string path = dir.file("lib.tlb");
        Handle t = create(path);
        ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
        ASSERT_EQ(c.enter(t.get()), 0u);
        if (c.flushBetween) {
            ASSERT_EQ(kivTLibFlush(t.get()), 0u);
        }
        ASSERT_EQ(c.change(t.get()), 0u);
        ASSERT_EQ(kivTLibFlush(t.get()), 0u);
        expectFileMatchesHandle(t.get(), path);
        Handle check = open(path, KIV_TLIB_READONLY);
        expectFileMatchesHandle(check.get(), path);
    }
}

// A scope entered new in one handle, while another handle flushed the same scope with contents
// of its own: the flush writes the merged contents, not the record encoded on entering.
TEST(TLibFlush, ScopeEnteredNewKeepsContentsAnotherHandleWrote) {
    kivtest::TempDir dir = kivtest::TempDir::inMemory();
    std::string path = dir.file("lib.tlb");
    {
        Handle t = create(path);
        ASSERT_EQ(kivTLibCreateRoot(t.get(), 0, nullptr), 0u);
    }
    Handle first = open(path), second = open(path);
    ASSERT_EQ(addModule(first.get(), "M"), 0u);
    ASSERT_EQ(addModule(second.get(), "M"), 0u);
    ASSERT_EQ(structIn(second.get(), "IDL:M/S:1.0", "IDL:M:1.0"), 0u);
    ASSERT_EQ(kivTLibFlush(second.get()), 0u);
    ASSERT_EQ(kivTLibFlush(first.get()), 0u);

    Handle check = open(path, KIV_TLIB_READONLY);
    kivTLibDef *m = nullptr;
    ASSERT_EQ(kivTLibGetDefinition(check.get(), "IDL:M:1.0", &m), 0u);
    auto contents = contentsOf(m);
    EXPECT_EQ(std::vector<std::string>(contents.begin(), contents.end()),
              std::vector<std::string>{"IDL:M/S:1.0"});
    expectFileMatchesHandle(first.get(), path);
}

}  // namespace
