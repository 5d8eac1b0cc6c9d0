// SPDX-License-Identifier: Apache-2.0
// Libraries whose records read back but whose contents no compiler writes: the header
// generator, the printer and the check must end, refuse or report them, never crash or recurse
// without end.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "header_gen.h"
#include "idl_printer.h"
#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"
#include "tlib_library.h"

namespace {

constexpr const char *kM = "IDL:M:1.0";

kivTLibTypeRef type(kivTLibTypeTag tag, const char *id = nullptr) {
    return {tag, id};
}

using Fill = std::function<void(kivTLib *)>;
using Edit = std::function<void(kivTLibDef *)>;

// A library made through the creating operations (module M, then `fill`), whose record
// `editId` is then decoded, changed by `edit` and written back as it is.
std::string makeLibrary(const kivtest::TempDir &dir, const Fill &fill, const char *editId = nullptr,
                        const Edit &edit = {}) {
    std::string path = dir.file("hostile.tlb");
    kivTLib *t = nullptr;
    EXPECT_EQ(kivTLibCreate(path.c_str(), 0, &t), 0u);
    EXPECT_EQ(kivTLibCreateRoot(t, 0, nullptr), 0u);
    EXPECT_EQ(kivTLibCreateModule(t, "M", kM, KIV_TLIB_ROOT_ID, 0, nullptr), 0u);
    fill(t);
    EXPECT_EQ(kivTLibFlush(t), 0u);
    kivTLibClose(t);
    if (!editId) return path;
    tlibtest::Records records = tlibtest::readRecords(path);
    tlibtest::Bytes &record = records.at(tlibtest::key(editId));
    kivTLibDef *raw = nullptr;
    EXPECT_EQ(kiv::tlib::decode(record, &raw), 0u);
    kiv::tlib::DefinitionPtr def(raw);
    edit(def.get());
    record = kiv::tlib::encode(def.get());
    tlibtest::putRecords(path, {{tlibtest::key(editId), record}});
    return path;
}

template <class Record>
Record &as(kivTLibDef *def) {
    return *reinterpret_cast<Record *>(def);
}

void structS(kivTLib *t, kivTLibTypeRef member) {
    kivTLibStructMember m[] = {{"m", member}};
    EXPECT_EQ(kivTLibCreateStruct(t, "S", "IDL:M/S:1.0", kM, 0, 1, m, nullptr), 0u);
}

void interfaceI(kivTLib *t) {
    kivTLibParam p = {"p", type(KIV_TYPE_LONG), KIV_PARAM_IN};
    kivTLibMember m[] = {{KIV_MEMBER_OPERATION, "op", 0, type(KIV_TYPE_VOID), 1, &p},
                         {KIV_MEMBER_ATTRIBUTE, "at", 0, type(KIV_TYPE_LONG), 0, nullptr}};
    EXPECT_EQ(kivTLibCreateInterface(t, "I", "IDL:M/I:1.0", kM, 0, nullptr, 2, m, nullptr), 0u);
}

struct Case {
    const char *what;
    Fill fill;
    const char *editId;
    Edit edit;
    const char *headerError;  // in the generator's message, both languages
    const char *problem;      // in what the check reports
};

TEST(HostileLibrary, ToolsRefuseOrReportAndNeverCrash) {
    const Case cases[] = {
        {"a sequence of itself",
         [](kivTLib *t) {
             kivTLibTypeRef self = type(KIV_TYPE_SEQUENCE, "LOCAL:1");
             EXPECT_EQ(kivTLibCreateSequence(t, "LOCAL:1", 0, 0, &self, nullptr), 0u);
             structS(t, self);
         },
         nullptr,
         {},
         "LOCAL:1: a type that contains itself",
         "record LOCAL:1: a type that contains itself"},
        {"an array of itself",
         [](kivTLib *t) {
             kivTLibTypeRef self = type(KIV_TYPE_ARRAY, "LOCAL:1");
             EXPECT_EQ(kivTLibCreateArray(t, "LOCAL:1", 0, 2, &self, nullptr), 0u);
             structS(t, self);
         },
         nullptr,
         {},
         "LOCAL:1: a type that contains itself",
         "record LOCAL:1: contains itself by value"},
        {"a structure inside itself through an alias",
         [](kivTLib *t) {
             structS(t, type(KIV_TYPE_ALIAS, "IDL:M/T:1.0"));
             kivTLibTypeRef s = type(KIV_TYPE_STRUCT, "IDL:M/S:1.0");
             EXPECT_EQ(kivTLibCreateAlias(t, "T", "IDL:M/T:1.0", kM, 0, &s, nullptr), 0u);
         },
         nullptr,
         {},
         "contains itself by value",
         "contains itself by value"},
        {"a sequence inside a sequence of itself through an alias",
         [](kivTLib *t) {
             kivTLibTypeRef alias = type(KIV_TYPE_ALIAS, "IDL:M/T:1.0");
             EXPECT_EQ(kivTLibCreateSequence(t, "LOCAL:1", 0, 0, &alias, nullptr), 0u);
             kivTLibTypeRef seq = type(KIV_TYPE_SEQUENCE, "LOCAL:1");
             EXPECT_EQ(kivTLibCreateAlias(t, "T", "IDL:M/T:1.0", kM, 0, &seq, nullptr), 0u);
         },
         nullptr,
         {},
         "IDL:M/T:1.0: contains itself",
         "a type that contains itself"},
        {"interfaces whose bases loop",
         [](kivTLib *t) {
             EXPECT_EQ(kivTLibCreateInterfaceFwd(t, "A", "IDL:M/A:1.0", kM, 0, nullptr), 0u);
             EXPECT_EQ(kivTLibCreateInterface(t, "B", "IDL:M/B:1.0", kM, 0, "IDL:M/A:1.0", 0,
                                              nullptr, nullptr),
                       0u);
             EXPECT_EQ(kivTLibCreateInterface(t, "A", "IDL:M/A:1.0", kM, 0, "IDL:M/B:1.0", 0,
                                              nullptr, nullptr),
                       0u);
         },
         nullptr,
         {},
         "base chain loops",
         "its base interfaces loop"},
        {"a member of a missing type",
         [](kivTLib *t) { structS(t, type(KIV_TYPE_UNION, "IDL:M/Gone:1.0")); },
         nullptr,
         {},
         "IDL:M/Gone:1.0: Unknown repository id",
         "record IDL:M/S:1.0: refers to IDL:M/Gone:1.0, which cannot be read"},
        {"a structure member without a name", [](kivTLib *t) { structS(t, type(KIV_TYPE_LONG)); },
         "IDL:M/S:1.0",
         [](kivTLibDef *d) {
             const_cast<kivTLibStructMember *>(as<kivTLibStructDef>(d).members)[0].name = nullptr;
         },
         "IDL:M/S:1.0: Type library format error", "record IDL:M/S:1.0: Type library format"},
        {"a union case without a name",
         [](kivTLib *t) {
             kivTLibUnionCase c[] = {{"c", type(KIV_TYPE_LONG), {KIV_VALUE_NONE, {}}}};
             kivTLibTypeRef d = type(KIV_TYPE_LONG);
             EXPECT_EQ(kivTLibCreateUnion(t, "U", "IDL:M/U:1.0", kM, 0, &d, 1, c, nullptr), 0u);
         },
         "IDL:M/U:1.0",
         [](kivTLibDef *d) {
             const_cast<kivTLibUnionCase *>(as<kivTLibUnionDef>(d).cases)[0].name = nullptr;
         },
         "IDL:M/U:1.0: Type library format error", "record IDL:M/U:1.0: Type library format"},
        {"an enumerator without a name",
         [](kivTLib *t) {
             kivTLibEnumMember e[] = {{"A", 0}};
             EXPECT_EQ(kivTLibCreateEnum(t, "E", "IDL:M/E:1.0", kM, 0, 1, e, nullptr), 0u);
         },
         "IDL:M/E:1.0",
         [](kivTLibDef *d) {
             const_cast<kivTLibEnumMember *>(as<kivTLibEnumDef>(d).members)[0].name = nullptr;
         },
         "IDL:M/E:1.0: Type library format error", "record IDL:M/E:1.0: Type library format"},
        {"an operation without a name", interfaceI, "IDL:M/I:1.0",
         [](kivTLibDef *d) {
             const_cast<kivTLibMember *>(as<kivTLibInterfaceDef>(d).members)[0].name = nullptr;
         },
         "IDL:M/I:1.0: Type library format error", "record IDL:M/I:1.0: Type library format"},
        {"a parameter without a name", interfaceI, "IDL:M/I:1.0",
         [](kivTLibDef *d) {
             auto &op = as<kivTLibInterfaceDef>(d).members[0];
             const_cast<kivTLibParam *>(op.params)[0].name = nullptr;
         },
         "IDL:M/I:1.0: Type library format error", "record IDL:M/I:1.0: Type library format"},
        {"an attribute without a name", interfaceI, "IDL:M/I:1.0",
         [](kivTLibDef *d) {
             const_cast<kivTLibMember *>(as<kivTLibInterfaceDef>(d).members)[1].name = nullptr;
         },
         "IDL:M/I:1.0: Type library format error", "record IDL:M/I:1.0: Type library format"},
        {"a bounded string constant holding a number",
         [](kivTLib *t) {
             EXPECT_EQ(kivTLibCreateString(t, "LOCAL:1", 0, 5, nullptr), 0u);
             kivTLibTypeRef s = type(KIV_TYPE_STRING, "LOCAL:1");
             kivTLibValue v{KIV_TYPE_STRING, {.str = "abc"}};
             EXPECT_EQ(kivTLibCreateConstant(t, "K", "IDL:M/K:1.0", kM, 0, &s, &v, nullptr), 0u);
         },
         "IDL:M/K:1.0",
         [](kivTLibDef *d) {
             as<kivTLibConstantDef>(d).value = {KIV_TYPE_ULONG, {.u32 = 0x41414141}};
         },
         "IDL:M/K:1.0: Type library format error", "record IDL:M/K:1.0: Type library format"},
    };
    for (const Case &c : cases) {
        kivtest::TempDir dir;
        std::string path = makeLibrary(dir, c.fill, c.editId, c.edit);
        std::unique_ptr<kivtool::Library> library;
        ASSERT_EQ(kivtool::Library::open(path, &library), 0u) << c.what;
        for (auto lang : {kivtool::HeaderLang::C, kivtool::HeaderLang::Cxx}) {
            std::string header, error;
            EXPECT_FALSE(kivtool::generateHeader(library->handle(), {}, lang, "H", header, error))
                << c.what;
            EXPECT_NE(error.find(c.headerError), std::string::npos) << c.what << ": " << error;
        }
        EXPECT_FALSE(kivtool::idl::printLibrary(*library).empty()) << c.what;
        std::vector<std::string> problems = kivtool::checkFile(path);
        std::string all;
        for (const std::string &p : problems) all += p + "\n";
        EXPECT_NE(all.find(c.problem), std::string::npos) << c.what << ":\n" << all;
    }
}

// Types nested deeper than any IDL is written: refused with a message, in bounded stack.
TEST(HostileLibrary, DeepNestingIsRefusedNotOverflowed) {
    kivtest::TempDir dir;
    std::string path = makeLibrary(dir, [](kivTLib *t) {
        const int depth = 1000;
        for (int i = 1; i <= depth; ++i) {
            std::string id = "LOCAL:" + std::to_string(i), inner = "LOCAL:" + std::to_string(i + 1);
            kivTLibTypeRef element =
                i == depth ? type(KIV_TYPE_LONG) : type(KIV_TYPE_SEQUENCE, inner.c_str());
            ASSERT_EQ(kivTLibCreateSequence(t, id.c_str(), 0, 0, &element, nullptr), 0u);
        }
        structS(t, type(KIV_TYPE_SEQUENCE, "LOCAL:1"));
    });
    std::unique_ptr<kivtool::Library> library;
    ASSERT_EQ(kivtool::Library::open(path, &library), 0u);
    std::string header, error;
    EXPECT_FALSE(
        kivtool::generateHeader(library->handle(), {}, kivtool::HeaderLang::C, "H", header, error));
    EXPECT_NE(error.find("nested more than"), std::string::npos) << error;
    EXPECT_FALSE(kivtool::idl::printLibrary(*library).empty());
    EXPECT_EQ(kivtool::checkFile(path), std::vector<std::string>{});
}

TEST(HostileLibrary, CheckCommandReportsProblems) {
    kivtest::TempDir dir;
    std::string path = makeLibrary(dir, [](kivTLib *t) {
        kivTLibTypeRef self = type(KIV_TYPE_SEQUENCE, "LOCAL:1");
        EXPECT_EQ(kivTLibCreateSequence(t, "LOCAL:1", 0, 0, &self, nullptr), 0u);
    });
    kivtest::ProcessResult r = kivtest::runProcess({KIV_TOOL, "tlib", "check", path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "record LOCAL:1: a type that contains itself\n" + path + ": 1 problem\n");
    for (const char *command : {"dump", "header"}) {
        r = kivtest::runProcess({KIV_TOOL, "tlib", command, path});
        EXPECT_EQ(r.signal, 0) << command;
    }
}

}  // namespace
