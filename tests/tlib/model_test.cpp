#include <gtest/gtest.h>

#include <string>

#include "tlib/codec.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;

namespace {

struct TableDeleter {
    void operator()(kivTLibStringTable *t) const { releaseStringTable(t); }
};
using Table = std::unique_ptr<kivTLibStringTable, TableDeleter>;

TEST(StringTable, InterningGivesOneCopyPerTextInOrder) {
    Table t(newStringTable());
    EXPECT_EQ(position(t.get(), "a"), 0u);  // no index yet
    const char *empty = intern(t.get(), "");
    const char *a = intern(t.get(), "a");
    std::string again = "a";
    EXPECT_EQ(intern(t.get(), again.c_str()), a);
    EXPECT_NE(a, again.c_str());
    EXPECT_EQ(t->count, 2u);
    EXPECT_EQ(position(t.get(), empty), 1u);
    EXPECT_EQ(position(t.get(), "a"), 2u);
    EXPECT_EQ(position(t.get(), nullptr), 0u);
    EXPECT_EQ(position(t.get(), "b"), 0u);
    // Growth keeps every entry in place (ASan checks the slots).
    std::vector<const char *> entries{empty, a};
    for (int i = 0; i < 100; ++i) entries.push_back(intern(t.get(), std::to_string(i).c_str()));
    for (uint32_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(t->strings[i], entries[i]);
        EXPECT_EQ(position(t.get(), entries[i]), i + 1);
    }
}

// A decoded table has exactly `count` slots; its first intern must grow it (ASan checks).
TEST(StringTable, DecodedTablesOfEverySizeGrowOnFirstIntern) {
    for (uint8_t count = 1; count <= 17; ++count) {
        std::vector<uint8_t> record{count};  // `count` one-letter entries, then a module
        for (uint8_t i = 0; i < count; ++i) record.insert(record.end(), {1, uint8_t('a' + i)});
        record.insert(record.end(), {1, 1, 1, 0, 0, 0});
        kivTLibDef *def = nullptr;
        ASSERT_EQ(decode(record, &def), 0u);
        DefinitionPtr guard(def);
        for (int i = 0; i < 40; ++i) intern(def->strings, std::to_string(i).c_str());
        EXPECT_EQ(position(def->strings, "a"), 1u);
        EXPECT_EQ(position(def->strings, "39"), count + 40u);
    }
}

TEST(Definitions, BuildersInternInFieldOrder) {
    kivTLibParam param{"p", {KIV_TYPE_ENUM, "IDL:E:1.0"}, KIV_PARAM_OUT};
    kivTLibMember members[] = {
        {KIV_MEMBER_ATTRIBUTE, "attr", 0, {KIV_TYPE_STRUCT, "IDL:S:1.0"}, 9, &param},
        {KIV_MEMBER_OPERATION, "op", 0, {KIV_TYPE_STRUCT, "IDL:S:1.0"}, 1, &param},
    };
    DefinitionPtr def(
        &buildInterface("I", "IDL:I:1.0", "IDL:M:1.0", 0, "IDL:B:1.0", 2, members)->header);
    const char *expected[] = {"I",         "IDL:I:1.0", "IDL:M:1.0", "IDL:B:1.0", "attr",
                              "IDL:S:1.0", "op",        "p",         "IDL:E:1.0"};
    ASSERT_EQ(def->strings->count, std::size(expected));
    for (uint32_t i = 0; i < std::size(expected); ++i)
        EXPECT_STREQ(def->strings->strings[i], expected[i]);
    auto *i = as<kivTLibInterfaceDef>(def.get());
    // Every string points into the definition's own table.
    EXPECT_EQ(i->members[1].params[0].type.repoId, def->strings->strings[8]);
    EXPECT_EQ(i->members[0].paramCount, 0u);  // attributes keep no parameters
    EXPECT_EQ(i->members[0].params, nullptr);

    // Replacing members frees the old ones (ASan) and keeps the table.
    setInterfaceMembers(i, 1, members + 1);
    EXPECT_EQ(i->memberCount, 1u);
    EXPECT_EQ(def->strings->count, std::size(expected));
}

TEST(Validity, TypeReferences) {
    struct Case {
        uint32_t tag;
        const char *id;
        bool withVoid, withoutVoid;
    } cases[] = {
        {0, nullptr, false, false},
        {KIV_TYPE_VOID, nullptr, true, false},
        {KIV_TYPE_BOOLEAN, nullptr, true, true},
        {KIV_TYPE_BOOLEAN, "IDL:X:1.0", false, false},
        {KIV_TYPE_DOUBLE, nullptr, true, true},
        {14, nullptr, false, false},
        {14, "IDL:X:1.0", false, false},
        {KIV_TYPE_STRING, nullptr, true, true},
        {KIV_TYPE_WSTRING, "LOCAL:1", true, true},
        {KIV_TYPE_STRUCT, nullptr, false, false},
        {KIV_TYPE_STRUCT, "IDL:S:1.0", true, true},
        {KIV_TYPE_INTERFACE, "IDL:I:1.0", true, true},
        {KIV_TYPE_ARRAY, nullptr, false, false},
        {KIV_TYPE_DECIMAL128, nullptr, true, true},
        {KIV_TYPE_DECIMAL32, "x", false, false},
        {27, nullptr, false, false},
    };
    for (const auto &c : cases) {
        kivTLibTypeRef ref{c.tag, c.id};
        EXPECT_EQ(checkTypeRef(&ref, true), c.withVoid ? 0u : KIV_E_INVALID_ARG) << c.tag;
        EXPECT_EQ(checkTypeRef(&ref, false), c.withoutVoid ? 0u : KIV_E_INVALID_ARG) << c.tag;
    }
    EXPECT_EQ(checkTypeRef(nullptr, true), KIV_E_INVALID_ARG);
}

TEST(Validity, ValuesAndDiscriminators) {
    for (uint32_t tag = 0; tag <= 30; ++tag) {
        kivTLibValue value{};
        value.tag = tag;
        bool valid = (tag >= 2 && tag <= 13) || tag == 19 || (tag >= 24 && tag <= 26);
        EXPECT_EQ(checkValue(&value), valid ? 0u : KIV_E_INVALID_ARG) << tag;
        value.str = "s";
        bool validWithString = valid || tag == 15 || tag == 16;
        EXPECT_EQ(checkValue(&value), validWithString ? 0u : KIV_E_INVALID_ARG) << tag;
        bool discriminator = tag == 2 || tag == 4 || (tag >= 6 && tag <= 11) || tag == 19;
        EXPECT_EQ(isDiscriminatorTag(tag), discriminator) << tag;
    }
    EXPECT_EQ(checkValue(nullptr), KIV_E_INVALID_ARG);
}

}  // namespace
