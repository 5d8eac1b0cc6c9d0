// SPDX-License-Identifier: Apache-2.0
// libkivcall: checks of values against types, text forms, call errors, dynamic objects,
// hostile type libraries, registration and the search path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kiv_call.h"
#include "test_support.h"

namespace {

constexpr const char *kEcho = "IDL:CallTest/IEcho:1.0";
constexpr const char *kBase = "IDL:CallTest/IBase:1.0";

// A value released at scope end.
struct Value : kcallValue {
    Value() : kcallValue{} {}
    ~Value() { kcallValueClear(this); }
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
};

class Call : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static kivtest::TempDir *registry = new kivtest::TempDir;
        setenv("KIV_REGISTRY_USER", registry->file("user.db").c_str(), 1);
        setenv("KIV_REGISTRY_MACHINE", registry->file("machine.db").c_str(), 1);
        ASSERT_EQ(kivInitialize(), 0u);
        ASSERT_EQ(kcallRegisterLibrary(CALLTEST_TLB, KIV_REGISTER_PROCESS), 0u) << kcallLastError();
    }

    static const kcallType *type(const char *repoId) {
        const kcallType *t = nullptr;
        EXPECT_EQ(kcallFindType(repoId, &t), 0u) << repoId << ": " << kcallLastError();
        return t;
    }
    static const kcallMember *member(const char *name) {
        const kcallInterface *iface = nullptr;
        EXPECT_EQ(kcallFindInterface(kEcho, &iface), 0u);
        return kcallFindMember(iface, name);
    }
    static kivResult parse(const kcallType *t, const std::string &text, kcallValue *out,
                           uint32_t flags = KCALL_TEXT_IDL) {
        return kcallValueParse(t, text.data(), text.size(), flags, out);
    }
    static std::string format(const kcallType *t, const kcallValue *v, uint32_t flags) {
        char *text = nullptr;
        kivResult rc = kcallValueFormat(t, v, flags, &text);
        std::string out = KIV_SUCCEEDED(rc) ? text : "error " + std::to_string(rc);
        kivFree(text);
        return out;
    }
};

TEST_F(Call, InterfaceDescriptionHasInheritedMembersInSlotOrder) {
    const kcallInterface *iface = nullptr;
    ASSERT_EQ(kcallFindInterface(kEcho, &iface), 0u);
    EXPECT_STREQ(iface->name, "CallTest::IEcho");
    ASSERT_NE(iface->base, nullptr);
    EXPECT_STREQ(iface->base->iid, kBase);
    // add (7), label get/set (8, 9), calls getter (10), then the operations.
    EXPECT_EQ(kcallFindMember(iface, "add")->slot, 7u);
    EXPECT_EQ(kcallFindMember(iface, "label")->slot, 8u);
    EXPECT_EQ(kcallFindMember(iface, "calls")->slot, 10u);
    EXPECT_EQ(kcallFindMember(iface, "numbers")->slot, 11u);
    EXPECT_EQ(iface->slotCount, 11u + 12u);
    const kcallType *mixed = type("IDL:CallTest/Mixed:1.0");
    EXPECT_EQ(mixed->size, 88u);  // as the C compiler lays out CallTest_Mixed
    char *text = nullptr;
    ASSERT_EQ(kcallMemberFormat(kcallFindMember(iface, "concat"), &text), 0u);
    EXPECT_STREQ(text, "string concat(in string a, inout string b, out string<8> c)");
    kivFree(text);
}

TEST_F(Call, ValuesAreCheckedAgainstTheirTypes) {
    struct Case {
        const char *type;
        const char *text;  // IDL literal, parsed against `parseAs` (unchecked kind) or `type`
        const char *parseAs;
        kivResult expected;
    };
    const Case cases[] = {
        {"long", "2147483647", "long long", 0},
        {"long", "2147483648", "long long", KCALL_E_RANGE},
        {"octet", "255", "long", 0},
        {"octet", "-1", "long", KCALL_E_RANGE},
        {"boolean", "1", "long", 0},
        {"boolean", "2", "long", KCALL_E_RANGE},
        {"float", "1e300", "double", KCALL_E_RANGE},
        {"string", "5", "long", KCALL_E_KIND},
        {"IDL:CallTest/Color:1.0", "5", "long", 0},
        {"IDL:CallTest/Color:1.0", "4", "long", KCALL_E_RANGE},
        {"IDL:CallTest/Point:1.0", "[[1], [2]]", "IDL:CallTest/Matrix:1.0", KCALL_E_KIND},
        {"IDL:CallTest/Triple:1.0", "[1, 2]", "sequence<long>", KCALL_E_BOUND},
        {"IDL:CallTest/Triple:1.0", "[[1], [2], [3]]", "IDL:CallTest/Matrix:1.0", KCALL_E_KIND},
    };
    for (const Case &c : cases) {
        auto lookUp = [&](const char *name) -> const kcallType * {
            static const std::pair<const char *, uint32_t> basics[] = {
                {"long", KIV_TYPE_LONG},    {"long long", KIV_TYPE_LONGLONG},
                {"octet", KIV_TYPE_OCTET},  {"boolean", KIV_TYPE_BOOLEAN},
                {"float", KIV_TYPE_FLOAT},  {"double", KIV_TYPE_DOUBLE},
                {"string", KIV_TYPE_STRING}};
            for (auto &[n, kind] : basics)
                if (!std::strcmp(n, name)) return kcallBasicType(kind);
            if (!std::strcmp(name, "sequence<long>"))
                return type("IDL:CallTest/Matrix:1.0")->element;
            return type(name);
        };
        Value v;
        ASSERT_EQ(parse(lookUp(c.parseAs), c.text, &v), 0u) << c.text;
        EXPECT_EQ(kcallValueCheck(lookUp(c.type), &v), c.expected) << c.type << " " << c.text;
    }
}

TEST_F(Call, UnionsNeedTheCaseTheirDiscriminatorSelects) {
    const kcallType *shape = type("IDL:CallTest/Shape:1.0");
    const kcallType *sparse = type("IDL:CallTest/Sparse:1.0");
    Value v;
    ASSERT_EQ(parse(shape, "{ RED: 4 }", &v), 0u);
    EXPECT_EQ(kcallValueCheck(shape, &v), 0u);
    v.count = 1;  // the case value dropped
    EXPECT_EQ(kcallValueCheck(shape, &v), KCALL_E_UNION_CASE);
    v.count = 2;
    Value none;
    ASSERT_EQ(parse(sparse, "{ 3 }", &none), 0u);  // no case, no default: a discriminator alone
    EXPECT_EQ(kcallValueCheck(sparse, &none), 0u);
    Value bad;
    EXPECT_EQ(parse(sparse, "{ 3: 1.5 }", &bad), KCALL_E_UNION_CASE);
    EXPECT_EQ(parse(shape, "{ GREEN }", &bad), KCALL_E_UNION_CASE);
}

TEST_F(Call, BoundsOfStringsAndSequences) {
    const kcallMember *bounded = member("bounded");
    const kcallType *seq = bounded->params[0].type;  // sequence<string, 2>
    const kcallType *str = bounded->params[1].type;  // string<3>
    Value v;
    EXPECT_EQ(parse(seq, R"(["a", "b", "c"])", &v), KCALL_E_BOUND);
    EXPECT_EQ(parse(str, R"("abcd")", &v), KCALL_E_BOUND);
    ASSERT_EQ(kcallValueSetString(&v, "abcd", SIZE_MAX), 0u);
    EXPECT_EQ(kcallValueCheck(str, &v), KCALL_E_BOUND);
    v.count = 2;  // a NUL inside the counted text
    v.v.str[1] = 0;
    EXPECT_EQ(kcallValueCheck(kcallBasicType(KIV_TYPE_STRING), &v), KCALL_E_ENCODING);
}

TEST_F(Call, TextFormsReadBackAsTheyAreWritten) {
    struct Case {
        const char *type;
        const char *idl;   // as written by kcallValueFormat
        const char *json;  // likewise
    };
    const Case cases[] = {
        {"IDL:CallTest/Point:1.0", "{ x = -1, y = 2147483647 }", R"({"x": -1, "y": 2147483647})"},
        {"IDL:CallTest/Shape:1.0", R"({ GREEN: "a\"b\\c\n" })",
         R"({"_d": "GREEN", "label": "a\"b\\c\n"})"},
        {"IDL:CallTest/Sparse:1.0", "{ 2: [\"x\", \"\xC3\xA9\"] }",
         "{\"_d\": 2, \"two\": [\"x\", \"\xC3\xA9\"]}"},
        {"IDL:CallTest/Sparse:1.0", "{ 7 }", R"({"_d": 7})"},
        {"IDL:CallTest/Matrix:1.0", "[[1, 2], [], [3]]", "[[1, 2], [], [3]]"},
        {"IDL:CallTest/Mixed:1.0",
         "{ o = 255, d = 0.5, name = \"n\", at = { x = 1, y = 2 }, path = [], grid = [[1, 2, 3], "
         "[4, 5, 6]], wide = L\"\xE2\x82\xAC\xF0\x9F\x98\x80\", price = 12345E-2d, color = BLUE }",
         "{\"o\": 255, \"d\": 0.5, \"name\": \"n\", \"at\": {\"x\": 1, \"y\": 2}, \"path\": [], "
         "\"grid\": [[1, 2, 3], [4, 5, 6]], \"wide\": \"\xE2\x82\xAC\xF0\x9F\x98\x80\", "
         "\"price\": \"12345E-2\", \"color\": \"BLUE\"}"},
    };
    for (const Case &c : cases) {
        const kcallType *t = type(c.type);
        Value fromIdl, fromJson;
        ASSERT_EQ(parse(t, c.idl, &fromIdl), 0u) << c.idl << ": " << kcallLastError();
        ASSERT_EQ(parse(t, c.json, &fromJson, KCALL_TEXT_JSON), 0u)
            << c.json << ": " << kcallLastError();
        EXPECT_EQ(kcallValueCompare(&fromIdl, &fromJson), 0);
        EXPECT_EQ(format(t, &fromIdl, KCALL_TEXT_IDL), c.idl);
        EXPECT_EQ(format(t, &fromJson, KCALL_TEXT_JSON), c.json);
    }
}

TEST_F(Call, BadTextIsRefusedWithoutLeaks) {
    const kcallType *mixed = type("IDL:CallTest/Mixed:1.0");
    const char *bad[] = {
        "",
        "{",
        "{ o = 1 }",
        "{ o = 256, d = 0, name = \"\", at = {1, 2}, path = [], grid = [[1,2,3],[4,5,6]], "
        "wide = L\"\", price = 1d, color = RED }",
        "{ o = 1, o = 1 }",
        "[1, 2]",
        "{ x = 1, y = 2 } trailing",
        "{ o = 1, d = 0, name = \"\\q\", at = {1, 2}, path = [], grid = [[1,2,3],[4,5,6]], "
        "wide = L\"\", price = 1d, color = RED }",
    };
    for (const char *text : bad) {
        Value v;
        EXPECT_TRUE(KIV_FAILED(parse(mixed, text, &v))) << text;
        EXPECT_EQ(v.kind, 0u);
    }
}

// ---- calls through dynamic objects ----------------------------------------------------------

struct Echo {
    std::atomic<int> released{0};
    kivResult answer = 0;
    bool overlong = false;  // answer concat's string<8> with 9 characters
};

kivResult echoHandler(void *context, const kcallMethod *m, kcallValue *args, kcallValue *result) {
    auto *echo = static_cast<Echo *>(context);
    if (echo->answer) return echo->answer;
    const std::string name = m->slotName;
    if (name == "add") {
        result->kind = KIV_TYPE_LONG;
        result->v.i32 = args[0].v.i32 + args[1].v.i32;
        return 0;
    } else if (name == "get_label") {
        return kcallValueSetString(result, "label", SIZE_MAX);
    } else if (name == "concat") {
        std::string joined = std::string(args[0].v.str) + args[1].v.str;
        kcallValueClear(&args[1]);
        kcallValueSetString(&args[1], "replaced", SIZE_MAX);
        kcallValueSetString(&args[2], echo->overlong ? "123456789" : "c", SIZE_MAX);
        return kcallValueSetString(result, joined.c_str(), SIZE_MAX);
    } else if (name == "self") {
        kcallValueCopy(&args[1], &args[0]);
        return kcallValueCopy(result, &args[0]);
    } else if (name == "set_label") {
        return 0;
    } else if (name == "twice") {
        result->kind = KIV_TYPE_LONG;
        result->v.i32 = 2 * args[0].v.i32;
        return 0;
    }
    return KIV_E_NOTIMPL;
}

void releaseEcho(void *context) {
    static_cast<Echo *>(context)->released++;
}

TEST_F(Call, DynamicObjectsAnswerQueriesAndReleaseTheirContextOnce) {
    Echo echo;
    void *object = nullptr;
    const char *iids[] = {kEcho};
    ASSERT_EQ(kcallObjectCreate(iids, 1, echoHandler, &echo, releaseEcho, kBase, &object), 0u);
    auto *unknown = static_cast<IUnknown *>(object);
    EXPECT_STREQ(unknown->vtbl->interfaceId(object), kEcho);
    EXPECT_EQ(kcallObjectContext(object), &echo);
    void *other = nullptr;
    EXPECT_EQ(unknown->vtbl->queryInterface(object, KIV_IID_IUNKNOWN, &other), 0u);
    EXPECT_EQ(kivSameObject(object, other), 0u);
    kivComRelease(other);
    EXPECT_EQ(unknown->vtbl->queryInterface(object, "IDL:CallTest/Nothing:1.0", &other),
              KIV_E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(kcallObjectCreate(iids, 1, echoHandler, &echo, releaseEcho, "IDL:No:1.0", &other),
              KIV_E_NOINTERFACE);
    EXPECT_EQ(echo.released, 0);
    EXPECT_EQ(kivComRelease(object), 0u);
    EXPECT_EQ(echo.released, 1);
}

TEST_F(Call, OneObjectServesSeveralInterfaces) {
    Echo echo;
    const char *iids[] = {kEcho, "IDL:CallTest/IOther:1.0"};
    void *echoPart = nullptr, *otherPart = nullptr;
    ASSERT_EQ(kcallObjectCreate(iids, 2, echoHandler, &echo, releaseEcho, kEcho, &echoPart), 0u);
    auto *unknown = static_cast<IUnknown *>(echoPart);
    ASSERT_EQ(unknown->vtbl->queryInterface(echoPart, iids[1], &otherPart), 0u);
    EXPECT_NE(otherPart, echoPart);
    EXPECT_EQ(kivSameObject(echoPart, otherPart), 0u);
    EXPECT_STREQ(static_cast<IUnknown *>(otherPart)->vtbl->interfaceId(otherPart), iids[1]);
    Value sum;
    const kcallMethod *twice = nullptr;
    ASSERT_EQ(kcallPrepare(iids[1], "twice", KCALL_OPERATION, &twice), 0u);
    Value x;
    x.kind = KIV_TYPE_LONG;
    x.v.i32 = 21;
    ASSERT_EQ(kcallInvoke(twice, otherPart, &x, 1, &sum), 0u);
    EXPECT_EQ(sum.v.i32, 42);
    kivComRelease(otherPart);
    EXPECT_EQ(echo.released, 0);
    kivComRelease(echoPart);
    EXPECT_EQ(echo.released, 1);
}

TEST_F(Call, CallErrorsReturnCodesAndLeaveArgumentsAlone) {
    Echo echo;
    void *object = nullptr;
    const char *iids[] = {kEcho};
    ASSERT_EQ(kcallObjectCreate(iids, 1, echoHandler, &echo, releaseEcho, kEcho, &object), 0u);
    const kcallMethod *concat = nullptr;
    ASSERT_EQ(kcallPrepare(kEcho, "concat", KCALL_OPERATION, &concat), 0u);
    Value args[3], result;
    kcallValueSetString(&args[0], "a", SIZE_MAX);
    kcallValueSetString(&args[1], "b", SIZE_MAX);

    EXPECT_EQ(kcallInvoke(concat, object, args, 2, &result), KCALL_E_ARITY);
    EXPECT_EQ(kcallInvoke(concat, nullptr, args, 3, &result), KIV_E_POINTER);
    echo.answer = KIV_E_FAIL;
    EXPECT_EQ(kcallInvoke(concat, object, args, 3, &result), KIV_E_FAIL);
    echo.answer = 0;
    echo.overlong = true;  // the handler's out value does not fit string<8>
    EXPECT_EQ(kcallInvoke(concat, object, args, 3, &result), KCALL_E_BOUND);
    EXPECT_STREQ(args[1].v.str, "b");
    EXPECT_EQ(result.kind, 0u);
    echo.overlong = false;
    ASSERT_EQ(kcallInvoke(concat, object, args, 3, &result), 0u) << kcallLastError();
    EXPECT_STREQ(result.v.str, "ab");
    EXPECT_STREQ(args[1].v.str, "replaced");
    EXPECT_STREQ(args[2].v.str, "c");

    Value wrong[3];
    wrong[0].kind = KIV_TYPE_LONG;  // a number for a string
    kcallValueSetString(&wrong[1], "b", SIZE_MAX);
    EXPECT_EQ(kcallInvoke(concat, object, wrong, 3, &result), KCALL_E_KIND);
    EXPECT_NE(std::string(kcallLastError()).find("argument 1 (a)"), std::string::npos);

    const kcallMethod *m = nullptr;
    EXPECT_EQ(kcallPrepare(kEcho, "missing", KCALL_OPERATION, &m), KCALL_E_NO_MEMBER);
    EXPECT_EQ(kcallPrepare(kEcho, "calls", KCALL_SET, &m), KCALL_E_NO_MEMBER);
    EXPECT_EQ(kcallPrepare("IDL:CallTest/Missing:1.0", "x", KCALL_OPERATION, &m),
              KIV_E_UNKNOWN_REPOID);
    kivComRelease(object);
}

TEST_F(Call, NativeCallersGetCodesForNullsAndValuesThatDoNotFit) {
    Echo echo;
    void *object = nullptr;
    const char *iids[] = {kEcho};
    ASSERT_EQ(kcallObjectCreate(iids, 1, echoHandler, &echo, nullptr, kEcho, &object), 0u);
    using Concat = kivResult (*)(void *, const char *, char **, char **, char **);
    auto concat =
        reinterpret_cast<Concat>((*static_cast<void ***>(object))[member("concat")->slot]);
    char *b = kivStrDup("b"), *c = nullptr, *result = nullptr;
    EXPECT_EQ(concat(object, "a", &b, nullptr, &result), KIV_E_POINTER);
    EXPECT_EQ(concat(object, "a", nullptr, &c, &result), KIV_E_POINTER);
    echo.overlong = true;
    EXPECT_EQ(concat(object, "a", &b, &c, &result), KCALL_E_BOUND);
    EXPECT_STREQ(b, "b");  // inout untouched, outs empty
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(result, nullptr);
    echo.overlong = false;
    ASSERT_EQ(concat(object, "a", &b, &c, &result), 0u);
    EXPECT_STREQ(b, "replaced");
    EXPECT_STREQ(result, "ab");
    for (char *text : {b, c, result}) kivFree(text);
    EXPECT_EQ(kivComRelease(object), 0u);

    void *none = nullptr;
    EXPECT_EQ(kcallObjectCreate(iids, 1, nullptr, nullptr, nullptr, kEcho, &none),
              KIV_E_INVALIDARG);
    EXPECT_EQ(kcallObjectCreate(iids, 0, echoHandler, nullptr, nullptr, kEcho, &none),
              KIV_E_INVALIDARG);
    const char *unknown[] = {"IDL:CallTest/Unknown:1.0"};
    EXPECT_EQ(kcallObjectCreate(unknown, 1, echoHandler, nullptr, nullptr, nullptr, &none),
              KIV_E_UNKNOWN_REPOID);
    EXPECT_EQ(none, nullptr);
}

TEST_F(Call, AttributesAndInheritedMembersByName) {
    Echo echo;
    void *object = nullptr;
    const char *iids[] = {kEcho};
    ASSERT_EQ(kcallObjectCreate(iids, 1, echoHandler, &echo, nullptr, kEcho, &object), 0u);
    Value label;
    ASSERT_EQ(kcallGetAttribute(object, kEcho, "label", &label), 0u);
    EXPECT_STREQ(label.v.str, "label");
    EXPECT_EQ(kcallSetAttribute(object, kEcho, "label", &label), 0u);
    Value number;
    number.kind = KIV_TYPE_LONG;
    EXPECT_EQ(kcallSetAttribute(object, kEcho, "label", &number), KCALL_E_KIND);
    EXPECT_EQ(kcallGetAttribute(object, kEcho, "add", &number), KCALL_E_NO_MEMBER);

    // The inherited add, through the base and the derived description.
    for (const char *iid : {kBase, kEcho}) {
        const kcallMethod *add = nullptr;
        ASSERT_EQ(kcallPrepare(iid, "add", KCALL_OPERATION, &add), 0u);
        Value args[2], sum;
        args[0].kind = args[1].kind = KIV_TYPE_LONG;
        args[0].v.i32 = 40;
        args[1].v.i32 = 2;
        ASSERT_EQ(kcallInvoke(add, object, args, 2, &sum), 0u);
        EXPECT_EQ(sum.v.i32, 42);
    }
    // An interface reference in and out keeps the count balanced.
    const kcallMethod *self = nullptr;
    ASSERT_EQ(kcallPrepare(kEcho, "self", KCALL_OPERATION, &self), 0u);
    Value args[2], result;
    kcallValueSetRef(&args[0], object, kEcho);  // QI to IBase on the way in
    ASSERT_EQ(kcallInvoke(self, object, args, 2, &result), 0u) << kcallLastError();
    EXPECT_EQ(kivSameObject(result.v.ref.object, object), 0u);
    EXPECT_STREQ(result.v.ref.iid, kBase);
    kcallValueClear(&result);
    kcallValueClear(&args[0]);
    kcallValueClear(&args[1]);
    EXPECT_EQ(kivComRelease(object), 0u);
}

// ---- hostile libraries, registration, search path -------------------------------------------

// A library with one interface `IDL:H/I:1.0` whose one operation takes a parameter of `bad`.
void writeLibrary(const std::string &path, void (*define)(kivTLib *, kivTLibTypeRef &bad),
                  uint32_t members = 1) {
    kivTLib *tlib = nullptr;
    ASSERT_EQ(kivTLibCreate(path.c_str(), 0, &tlib), 0u);
    kivTLibCreateRoot(tlib, 0, nullptr);
    kivTLibCreateModule(tlib, "H", "IDL:H:1.0", KIV_TLIB_ROOT_ID, 0, nullptr);
    kivTLibTypeRef bad{KIV_TYPE_LONG, nullptr};
    define(tlib, bad);
    kivTLibParam param{"p", bad, KIV_PARAM_IN};
    std::vector<kivTLibMember> list;
    for (uint32_t i = 0; i < members; ++i)
        list.push_back(
            {KIV_MEMBER_OPERATION, i ? "g" : "f", 0, {KIV_TYPE_VOID, nullptr}, 1, &param});
    ASSERT_EQ(kivTLibCreateInterface(tlib, "I", "IDL:H/I:1.0", "IDL:H:1.0", 0, nullptr, members,
                                     list.data(), nullptr),
              0u);
    ASSERT_EQ(kivTLibClose(tlib), 0u);
}

TEST_F(Call, TypesThatCannotBeLaidOutAreRefused) {
    using Define = void (*)(kivTLib *, kivTLibTypeRef &);
    const Define hostile[] = {
        [](kivTLib *t, kivTLibTypeRef &bad) {  // a structure that holds itself
            kivTLibStructMember m{"self", {KIV_TYPE_STRUCT, "IDL:H/S:1.0"}};
            kivTLibCreateStruct(t, "S", "IDL:H/S:1.0", "IDL:H:1.0", 0, 1, &m, nullptr);
            bad = {KIV_TYPE_STRUCT, "IDL:H/S:1.0"};
        },
        [](kivTLib *t, kivTLibTypeRef &bad) {  // 2^32-1 elements of 8 bytes
            kivTLibTypeRef e{KIV_TYPE_DOUBLE, nullptr};
            kivTLibCreateArray(t, "LOCAL:1", 0, UINT32_MAX, &e, nullptr);
            bad = {KIV_TYPE_ARRAY, "LOCAL:1"};
        },
        [](kivTLib *t, kivTLibTypeRef &bad) {  // a structure named by a union tag
            kivTLibStructMember m{"x", {KIV_TYPE_LONG, nullptr}};
            kivTLibCreateStruct(t, "S", "IDL:H/S:1.0", "IDL:H:1.0", 0, 1, &m, nullptr);
            bad = {KIV_TYPE_UNION, "IDL:H/S:1.0"};
        },
        [](kivTLib *, kivTLibTypeRef &bad) {
            bad = {KIV_TYPE_STRUCT, "IDL:H/Missing:1.0"};
        },
    };
    kivtest::TempDir dir;
    int n = 0;
    for (Define define : hostile) {
        std::string path = dir.file("hostile" + std::to_string(n++) + ".tlb");
        writeLibrary(path, define);
        ASSERT_EQ(kcallRegisterLibrary(path.c_str(), KIV_REGISTER_PROCESS), 0u);
        const kcallInterface *iface = nullptr;
        EXPECT_TRUE(KIV_FAILED(kcallFindInterface("IDL:H/I:1.0", &iface))) << path;
        EXPECT_EQ(iface, nullptr);
        EXPECT_EQ(kcallUnregisterLibrary(path.c_str(), KIV_REGISTER_PROCESS), 0u);
    }
}

void plainLong(kivTLib *, kivTLibTypeRef &) {}

TEST_F(Call, SearchPathLibrariesAreReadAgainWhenTheyChange) {
    kivtest::TempDir dir;
    const std::string path = dir.file("h.tlb");
    writeLibrary(path, plainLong, 1);
    setenv("KIV_TLIB_PATH", ("/nonexistent:" + dir.path()).c_str(), 1);
    const kcallInterface *first = nullptr;
    ASSERT_EQ(kcallHoldInterface("IDL:H/I:1.0", &first), 0u) << kcallLastError();
    EXPECT_EQ(first->memberCount, 1u);
    char *where = nullptr;
    uint32_t source = 0;
    ASSERT_EQ(kcallLocateInterface("IDL:H/I:1.0", &where, &source), 0u);
    EXPECT_EQ(source, KCALL_SOURCE_PATH);
    kivFree(where);

    sleep(0);  // the file's size changes, so the change is seen whatever the clock's grain
    writeLibrary(path, plainLong, 2);
    const kcallInterface *second = nullptr;
    ASSERT_EQ(kcallFindInterface("IDL:H/I:1.0", &second), 0u);
    EXPECT_EQ(second->memberCount, 2u);
    EXPECT_EQ(first->memberCount, 1u);  // the held old version stays valid
    EXPECT_EQ(kcallReleaseInterface(first), 0u);
    EXPECT_EQ(kcallReleaseInterface(first), KIV_E_INVALIDARG);
    unsetenv("KIV_TLIB_PATH");
    EXPECT_EQ(kcallFindInterface("IDL:H/I:1.0", &second), KIV_E_UNKNOWN_REPOID);
}

TEST_F(Call, RegisteredLibrariesServeTheirInterfaces) {
    kivtest::TempDir dir;
    const std::string path = dir.file("reg.tlb");
    writeLibrary(path, plainLong);
    EXPECT_EQ(kcallRegisterLibrary(dir.file("missing.tlb").c_str(), KIV_REGISTER_USER_ONLY),
              KIV_E_RT_NO_FILE);
    ASSERT_EQ(kcallRegisterLibrary(path.c_str(), KIV_REGISTER_USER_ONLY), 0u) << kcallLastError();
    char *where = nullptr;
    uint32_t source = 0;
    ASSERT_EQ(kcallLocateInterface("IDL:H/I:1.0", &where, &source), 0u) << kcallLastError();
    EXPECT_EQ(source, KCALL_SOURCE_USER);
    EXPECT_EQ(std::string(where), path);
    kivFree(where);
    ASSERT_EQ(kcallUnregisterLibrary(path.c_str(), KIV_REGISTER_USER_ONLY), 0u);
    EXPECT_EQ(kcallLocateInterface("IDL:H/I:1.0", &where, &source), KIV_E_UNKNOWN_REPOID);
}

}  // namespace
