#include <gtest/gtest.h>

#include <cstring>

#include "tlib/codec.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using tlibtest::Bytes;
using tlibtest::bytes;
using tlibtest::hex;

namespace {

DefinitionPtr decoded(const Bytes &record) {
    kivTLibDef *def = nullptr;
    EXPECT_EQ(decode(record, &def), 0u) << hex(record);
    return DefinitionPtr(def);
}

Bytes encoded(kivTLibDef *def) {
    return encode(def);
}

// ---- Writer -------------------------------------------------------------------------------------

TEST(CodecWriter, AnonymousScopeOfANewLibrary) {
    DefinitionPtr scope(&buildAnonymousScope()->header);
    Bytes expected = bytes("02 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 01 01 02 00 00 00");
    EXPECT_EQ(expected.size(), 51u);
    EXPECT_EQ(hex(encoded(scope.get())), hex(expected));
}

TEST(CodecWriter, ConstantOfTypeUnsignedShort) {
    kivTLibValue value{KIV_TYPE_USHORT, {}};
    value.u16 = 1000;
    DefinitionPtr def(&buildConstant("MAX", "IDL:Demo/MAX:1.0", "IDL:Demo:1.0", KIV_DEF_MODIFIED,
                                     {KIV_TYPE_USHORT, nullptr}, value)
                           ->header);
    Bytes expected =
        bytes("03 03 'MAX' 10 'IDL:Demo/MAX:1.0' 0C 'IDL:Demo:1.0' 03 01 02 03 00 07 07 03 E8");
    EXPECT_EQ(expected.size(), 44u);
    EXPECT_EQ(hex(encoded(def.get())), hex(expected));
}

TEST(CodecWriter, InterfaceWithAttributeAndOperation) {
    kivTLibParam param{"name", {KIV_TYPE_STRING, nullptr}, KIV_PARAM_IN};
    kivTLibMember members[] = {
        {KIV_MEMBER_ATTRIBUTE, "size", 0, {KIV_TYPE_ULONG, nullptr}, 0, nullptr},
        {KIV_MEMBER_OPERATION, "setName", 0, {KIV_TYPE_VOID, nullptr}, 1, &param},
    };
    DefinitionPtr def(
        &buildInterface("IFoo", "IDL:Demo/IFoo:1.0", "IDL:Demo:1.0", 0, nullptr, 2, members)
             ->header);
    Bytes expected = bytes(
        "06 04 'IFoo' 11 'IDL:Demo/IFoo:1.0' 0C 'IDL:Demo:1.0' 04 'size' 07 'setName' 04 'name' "
        "02 01 02 03 00 00 00 02 01 04 00 09 02 05 00 01 01 06 0F 00 01");
    EXPECT_EQ(expected.size(), 76u);
    EXPECT_EQ(hex(encoded(def.get())), hex(expected));
}

TEST(CodecWriter, VarintForms) {
    struct Case {
        uint32_t value;
        const char *bytes;
    } cases[] = {
        {0, "00"},
        {127, "7F"},
        {128, "80 80"},
        {1023, "83 FF"},
        {1024, "C0 04 00"},
        {16383, "C0 3F FF"},
        {65536, "C1 00 00"},
        {0x1FFFFF, "DF FF FF"},
        {0x200000, "E0 20 00 00"},
        {0x0FFFFFFF, "EF FF FF FF"},
        {0x10000000, "F0 10 00 00 00"},
        {0xFFFFFFFF, "F0 FF FF FF FF"},
    };
    for (const auto &c : cases) {
        Bytes out;
        appendVarint(out, c.value);
        EXPECT_EQ(hex(out), hex(bytes(c.bytes))) << c.value;
        // A string definition's bound is a plain varint at the end of the record.
        DefinitionPtr def(&buildString(KIV_DEF_STRING, "S", 0, c.value)->header);
        EXPECT_EQ(as<kivTLibStringDef>(decoded(encoded(def.get())).get())->bound, c.value);
    }
}

TEST(CodecWriter, ModifiedFlagIsNotStoredOtherFlagsAre) {
    DefinitionPtr def(
        &buildString(KIV_DEF_STRING, "S", 0xFFFF0000u | KIV_DEF_MODIFIED | KIV_DEF_FORWARD, 1)
             ->header);
    Bytes record = encoded(def.get());
    EXPECT_EQ(hex(Bytes(record.begin() + 3, record.begin() + 12)),
              hex(bytes("08 00 01 00 F0 FF FF 00 02")));
    EXPECT_EQ(decoded(record)->flags, 0xFFFF0000u | KIV_DEF_FORWARD);
}

TEST(CodecWriter, DecodedTableKeepsPositionsWhenItGrows) {
    DefinitionPtr scope(&buildAnonymousScope()->header);
    DefinitionPtr copy = decoded(encoded(scope.get()));
    ASSERT_EQ(copy->strings->index, nullptr);
    appendContent(copy.get(), "LOCAL:7");
    EXPECT_EQ(hex(encoded(copy.get())),
              hex(bytes("03 00 2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "' 07 'LOCAL:7' 01 01 02 00 00 "
                        "01 03")));
}

// ---- Round trips --------------------------------------------------------------------------------

TEST(CodecRoundTrip, EveryKindDecodesToWhatWasEncoded) {
    for (auto &def : tlibtest::sampleDefinitions()) {
        SCOPED_TRACE(def->repoId);
        Bytes record = encoded(def.get());
        DefinitionPtr back = decoded(record);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->kind, def->kind);
        EXPECT_EQ(back->flags, def->flags & ~KIV_DEF_MODIFIED);
        EXPECT_STREQ(back->repoId, def->repoId);
        EXPECT_EQ(back->strings->count, def->strings->count);
        EXPECT_EQ(hex(encoded(back.get())), hex(record));
    }
}

TEST(CodecRoundTrip, OperationWith255Parameters) {
    std::vector<kivTLibParam> params(255, kivTLibParam{"p", {KIV_TYPE_OCTET, nullptr}, 1});
    kivTLibMember op{KIV_MEMBER_OPERATION, "op", 0, {KIV_TYPE_VOID, nullptr}, 255, params.data()};
    DefinitionPtr def(&buildInterface("I", "IDL:I:1.0", "IDL:M:1.0", 0, nullptr, 1, &op)->header);
    Bytes record = encoded(def.get());
    EXPECT_NE(hex(record).find("02 04 00 01 FF 05 03 01"), std::string::npos);
    EXPECT_EQ(as<kivTLibInterfaceDef>(decoded(record).get())->members[0].paramCount, 255u);
}

// Every value tag: the bytes after the value's tag, and the payload read back.
TEST(CodecRoundTrip, EveryValueTag) {
    struct Case {
        uint32_t tag;
        void (*set)(kivTLibValue &);
        const char *payload;
    } cases[] = {
        {KIV_TYPE_BOOLEAN, [](kivTLibValue &v) { v.u8 = 1; }, "01"},
        {KIV_TYPE_OCTET, [](kivTLibValue &v) { v.u8 = 0xFE; }, "FE"},
        {KIV_TYPE_CHAR, [](kivTLibValue &v) { v.u8 = 'A'; }, "41"},
        {KIV_TYPE_WCHAR, [](kivTLibValue &v) { v.u16 = 0x20AC; }, "00 00 20 AC"},
        {KIV_TYPE_SHORT, [](kivTLibValue &v) { v.u16 = 0xFFFE; }, "FF FE"},
        {KIV_TYPE_USHORT, [](kivTLibValue &v) { v.u16 = 0x1234; }, "12 34"},
        {KIV_TYPE_LONG, [](kivTLibValue &v) { v.u32 = 0x80000001; }, "80 00 00 01"},
        {KIV_TYPE_ULONG, [](kivTLibValue &v) { v.u32 = 0x01020304; }, "01 02 03 04"},
        {KIV_TYPE_LONGLONG, [](kivTLibValue &v) { v.u64 = 0x0102030405060708; },
         "01 02 03 04 05 06 07 08"},
        {KIV_TYPE_ULONGLONG, [](kivTLibValue &v) { v.u64 = ~0ull; }, "FF FF FF FF FF FF FF FF"},
        {KIV_TYPE_FLOAT, [](kivTLibValue &v) { v.f32 = -1.5f; }, "BF C0 00 00"},
        {KIV_TYPE_DOUBLE, [](kivTLibValue &v) { v.f64 = 2.0; }, "40 00 00 00 00 00 00 00"},
        {KIV_TYPE_STRING, [](kivTLibValue &v) { v.str = "txt"; }, "04"},
        {KIV_TYPE_WSTRING, [](kivTLibValue &v) { v.str = "w"; }, "04"},
        {KIV_TYPE_ENUM, [](kivTLibValue &v) { v.u32 = 1500; }, "C0 05 DC"},
        {KIV_TYPE_DECIMAL32, [](kivTLibValue &v) { v.u32 = 0x32800001; }, "32 80 00 01"},
        {KIV_TYPE_DECIMAL64, [](kivTLibValue &v) { v.u64 = 0x31C0000000000001; },
         "31 C0 00 00 00 00 00 01"},
        {KIV_TYPE_DECIMAL128,
         [](kivTLibValue &v) {
             v.d128[0] = 0x1111111122222222;
             v.d128[1] = 0x3040000000000000;
         },
         "30 40 00 00 00 00 00 00 11 11 11 11 22 22 22 22"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tag);
        kivTLibValue value{};
        value.tag = c.tag;
        c.set(value);
        kivTLibTypeRef type{c.tag, c.tag == KIV_TYPE_ENUM ? "IDL:E:1.0" : nullptr};
        DefinitionPtr def(&buildConstant("C", "IDL:C:1.0", "IDL:M:1.0", 0, type, value)->header);
        Bytes record = encoded(def.get());
        std::string tail = hex(bytes(c.payload));
        ASSERT_GE(record.size(), tail.size() / 3);
        EXPECT_EQ(hex(Bytes(record.end() - static_cast<long>(tail.size() / 3), record.end())),
                  tail);
        // The reader gives back what makes the same bytes.
        EXPECT_EQ(hex(encoded(decoded(record).get())), hex(record));
    }
}

// ---- Reader -------------------------------------------------------------------------------------

// Records the reader accepts although the writer would not produce them.
TEST(CodecReader, AcceptsEveryVarintFormAndIgnoresTrailingBytes) {
    // A string definition with bound 1500 in the two-byte form, then junk.
    auto def = decoded(bytes("01 01 'S' 08 00 01 00 00 85 DC 99 99"));
    EXPECT_EQ(as<kivTLibStringDef>(def.get())->bound, 1500u);
    // A ref equal to the table's count gives the last entry.
    def = decoded(bytes("02 01 'S' 01 'T' 07 02 01 02 00 11 02"));
    EXPECT_STREQ(def->name, "T");
    EXPECT_STREQ(def->scopeId, "T");
    EXPECT_STREQ(as<kivTLibAliasDef>(def.get())->type.repoId, "T");
    // A wide character stored with high bits keeps its low 16 bits.
    def = decoded(bytes("03 01 'C' 01 'I' 01 'M' 03 01 02 03 00 05 05 00 01 00 41"));
    EXPECT_EQ(as<kivTLibConstantDef>(def.get())->value.u16, 0x41);
    // Unbounded string type; a default union label.
    def = decoded(bytes("03 01 'U' 01 'I' 01 'M' 05 01 02 03 00 00 08 01 01 0F 00 00"));
    auto *u = as<kivTLibUnionDef>(def.get());
    EXPECT_EQ(u->cases[0].type.repoId, nullptr);
    EXPECT_EQ(u->cases[0].label.tag, KIV_VALUE_NONE);
    // Equal texts in a decoded table: interning finds the first.
    def = decoded(bytes("03 01 'A' 01 'A' 01 'M' 01 01 02 03 00 00"));
    EXPECT_EQ(intern(def->strings, "A"), def->strings->strings[0]);
    EXPECT_EQ(def->strings->count, 3u);
}

TEST(CodecReader, EveryTruncationOfAValidRecordIsRefused) {
    for (auto &def : tlibtest::sampleDefinitions()) {
        Bytes record = encoded(def.get());
        for (size_t n = 0; n < record.size(); ++n) {
            kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
            ASSERT_EQ(decode(std::span(record.data(), n), &out), KIV_E_FORMAT)
                << def->repoId << " cut at " << n;
            EXPECT_EQ(out, nullptr);
        }
    }
}

TEST(CodecReader, MalformedRecordsAreRefused) {
    const char *cases[] = {
        // bad varints and counts
        "F1", "01 F5", "FF FF FF FF FF",
        "F0 FF FF FF FF 00",               // a count no record can hold
        "01 C0 FF FF 'x'",                 // an entry longer than the record
        "01 01 'S' 08 00 01 00 00 F0 00",  // a bound cut short
        // header
        "01 01 'S' 00 00 01 00 00 01",         // kind 0
        "01 01 'S' 0C 00 01 00 00 01",         // kind 12
        "01 01 'S' 08 00 02 00 00 01",         // repoId past the table
        "01 01 'S' 08 00 00 00 00 01",         // no repoId
        "02 01 'M' 00 01 02 00 00 00 00",      // module without a name
        "02 01 'A' 01 'B' 07 01 02 00 00 01",  // alias without a scope
        "02 01 'A' 01 'B' 07 00 02 01 00 01",  // alias without a name
        // bodies
        "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 00 00 01 03 01 00 03",              // member kind 3
        "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 00 00 01 00 01 00 03",              // member kind 0
        "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 00 00 01 02 01 00 01 01 01 03 04",  // direction 4
        "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 00 00 01 02 01 00 01 01 01 03 00",  // direction 0
        "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 00 00 01 02 01 00 01 05 01 03 01",  // more params
                                                                                    // than bytes
        "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 04 00 00",           // base past the table
        "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 00 01 07",           // content ref past the table
        "03 01 'A' 01 'R' 01 'M' 07 01 02 03 00 00",                 // type tag 0
        "03 01 'A' 01 'R' 01 'M' 07 01 02 03 00 0E",                 // type tag 14
        "03 01 'A' 01 'R' 01 'M' 07 01 02 03 00 1B",                 // type tag 27
        "03 01 'A' 01 'R' 01 'M' 07 01 02 03 00 11 00",              // struct type without id
        "03 01 'A' 01 'R' 01 'M' 07 01 02 03 00 17 04",              // id past the table
        "03 01 'C' 01 'R' 01 'M' 03 01 02 03 00 0F 00 0F 00",        // string value without text
        "03 01 'C' 01 'R' 01 'M' 03 01 02 03 00 01 01",              // void value
        "03 01 'C' 01 'R' 01 'M' 03 01 02 03 00 09 0E 00 00 00 01",  // value tag 14
        "03 01 'C' 01 'R' 01 'M' 03 01 02 03 00 11 01 11 01",        // struct value
        "03 01 'U' 01 'R' 01 'M' 05 01 02 03 00 00 08 01 01 09 17",  // case label tag 23
        "03 01 'E' 01 'R' 01 'M' 06 01 02 03 00 02 01 00",           // second enumerator missing
        "03 01 'S' 01 'R' 01 'M' 04 01 02 03 00 00 01 04 03",        // member name past the table
    };
    for (const char *pattern : cases) {
        Bytes record = bytes(pattern);
        kivTLibDef *out = nullptr;
        kivResult rc = decode(record, &out);
        DefinitionPtr guard(out);
        EXPECT_EQ(rc, KIV_E_FORMAT) << pattern;
        EXPECT_EQ(out, nullptr);
    }
}

TEST(CodecReader, CounterRecordIsNeverADefinition) {
    kivTLibDef *out = nullptr;
    std::string counter = encodeCounter(26);
    EXPECT_EQ(decode(Bytes(counter.begin(), counter.end()), &out), KIV_E_FORMAT);
}

// ---- Counter record -----------------------------------------------------------------------------

TEST(CounterRecord, Format) {
    EXPECT_EQ(encodeCounter(26), std::string("1a\0", 3));
    EXPECT_EQ(encodeCounter(0), std::string("0\0", 2));
    EXPECT_EQ(encodeCounter(0xFFFFFFFF), std::string("ffffffff\0", 9));
    struct Case {
        std::string value;
        kivResult rc;
        uint32_t counter;
    } cases[] = {
        {std::string("1a\0", 3), 0, 26},
        {std::string("FF\0", 3), 0, 255},
        {std::string("0\0", 2), 0, 0},
        {std::string("ffffffff\0", 9), 0, 0xFFFFFFFF},
        {std::string("", 0), KIV_E_FORMAT, 0},
        {std::string("1a", 2), KIV_E_FORMAT, 0},
        {std::string("zz\0", 3), KIV_E_FORMAT, 0},
        {std::string("1g\0", 3), KIV_E_FORMAT, 0},
        {std::string("\0", 1), KIV_E_FORMAT, 0},
        {std::string(" 1\0", 3), KIV_E_FORMAT, 0},
        {std::string("-1\0", 3), KIV_E_FORMAT, 0},
        {std::string("100000000\0", 10), KIV_E_FORMAT, 0},
        {std::string("1\0"
                     "2\0",
                     4),
         KIV_E_FORMAT, 0},
    };
    for (const auto &c : cases) {
        uint32_t counter = 12345;
        auto span = std::span(reinterpret_cast<const uint8_t *>(c.value.data()), c.value.size());
        EXPECT_EQ(decodeCounter(span, &counter), c.rc) << c.value;
        if (c.rc == 0) EXPECT_EQ(counter, c.counter);
    }
}

}  // namespace
