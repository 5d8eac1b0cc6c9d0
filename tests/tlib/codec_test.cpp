// SPDX-License-Identifier: Apache-2.0
// Record codec tests: worked examples, varint forms, and malformed records refused.
#include <gtest/gtest.h>

#include "test_support.h"
#include "tlib/codec.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

using namespace kiv::tlib;
using namespace tlibtest;
using namespace std::string_literals;

namespace {

#define ANON "2A '" KIV_TLIB_ANONYMOUS_SCOPE_ID "'"

DefinitionPtr decoded(const Bytes &record) {
    kivTLibDef *def = nullptr;
    EXPECT_EQ(decode(record, &def), 0u) << hex(record);
    return DefinitionPtr(def);
}

TEST(CodecWriter, WorkedExamples) {
    kivTLibValue max{KIV_TYPE_USHORT, {.u16 = 1000}};
    kivTLibParam param{"name", {KIV_TYPE_STRING, nullptr}, KIV_PARAM_IN};
    kivTLibMember members[] = {
        {KIV_MEMBER_ATTRIBUTE, "size", 0, {KIV_TYPE_ULONG, nullptr}, 0, nullptr},
        {KIV_MEMBER_OPERATION, "setName", 0, {KIV_TYPE_VOID, nullptr}, 1, &param}};
    DefinitionPtr grown = decoded(encode(DefinitionPtr(&buildAnonymousScope()->header).get()));
    appendContent(grown.get(), "LOCAL:7");  // a decoded table keeps its positions as it grows
    const struct {
        kivTLibDef *def;
        const char *expected;
    } cases[] = {
        {&buildAnonymousScope()->header, "02 00 " ANON " 01 01 02 00 00 00"},
        {&buildConstant("MAX", "IDL:Demo/MAX:1.0", "IDL:Demo:1.0", KIV_DEF_MODIFIED,
                        {KIV_TYPE_USHORT, nullptr}, max)
              ->header,
         "03 03 'MAX' 10 'IDL:Demo/MAX:1.0' 0C 'IDL:Demo:1.0' 03 01 02 03 00 07 07 03 E8"},
        {&buildInterface("IFoo", "IDL:Demo/IFoo:1.0", "IDL:Demo:1.0", 0, nullptr, 2, members)
              ->header,
         "06 04 'IFoo' 11 'IDL:Demo/IFoo:1.0' 0C 'IDL:Demo:1.0' 04 'size' 07 'setName' 04 'name' "
         "02 01 02 03 00 00 00 02 01 04 00 09 02 05 00 01 01 06 0F 00 01"},
        {grown.release(), "03 00 " ANON " 07 'LOCAL:7' 01 01 02 00 00 01 03"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hex(encode(DefinitionPtr(c.def).get())), hex(bytes(c.expected)));
}

TEST(CodecWriter, VarintForms) {
    // clang-format off
    const std::pair<uint32_t, const char *> cases[] = {
        {0, "00"}, {127, "7F"}, {128, "80 80"}, {1023, "83 FF"}, {1024, "C0 04 00"},
        {65536, "C1 00 00"}, {0x1FFFFF, "DF FF FF"}, {0x200000, "E0 20 00 00"},
        {0x0FFFFFFF, "EF FF FF FF"}, {0x10000000, "F0 10 00 00 00"}, {~0u, "F0 FF FF FF FF"}};
    // clang-format on
    for (auto [value, expected] : cases) {
        Bytes out;
        appendVarint(out, value);
        EXPECT_EQ(hex(out), hex(bytes(expected)));
        DefinitionPtr def(&buildString(KIV_DEF_STRING, "S", 0, value)->header);
        EXPECT_EQ(as<kivTLibStringDef>(decoded(encode(def.get())).get())->bound, value);
    }
}

TEST(CodecWriter, OperationWith255Parameters) {
    std::vector<kivTLibParam> params(255, kivTLibParam{"p", {KIV_TYPE_OCTET, nullptr}, 1});
    kivTLibMember op{KIV_MEMBER_OPERATION, "op", 0, {KIV_TYPE_VOID, nullptr}, 255, params.data()};
    DefinitionPtr def(&buildInterface("I", "IDL:I:1.0", "IDL:M:1.0", 0, nullptr, 1, &op)->header);
    Bytes record = encode(def.get());
    EXPECT_NE(hex(record).find("02 04 00 01 FF 05 03 01"), std::string::npos);
    EXPECT_EQ(as<kivTLibInterfaceDef>(decoded(record).get())->members[0].paramCount, 255u);
}

// A library of every kind and value tag: the constants end in the expected type and value, every
// record decodes to what encodes to the same bytes, and every truncation of it is refused.
TEST(CodecReader, EveryKindRoundTripsAndEveryTruncationIsRefused) {
    // clang-format off
    const std::map<std::string, const char *> constants = {
        {"B", "02 02 01"}, {"O", "03 03 FF"}, {"C", "04 04 27"}, {"W", "05 05 00 00 20 AC"},
        {"S", "06 06 FF FF"}, {"US", "07 07 FF FF"}, {"L", "08 08 80 00 00 00"},
        {"UL", "09 09 FF FF FF FF"}, {"LL", "0A 0A 80 00 00 00 00 00 00 00"},
        {"ULL", "0B 0B FF FF FF FF FF FF FF FF"}, {"F", "0C 0C 3D CC CC CD"},
        {"D", "0D 0D 80 00 00 00 00 00 00 00"}, {"D32", "18 18 31 80 00 64"},
        {"D64", "19 19 B1 00 00 00 00 00 00 01"}, {"E64", "19 19 32 20 00 00 00 00 00 01"},
        {"D128", "1A 1A 30 3D ED 09 BE AD 87 C0 37 8D 8E 63 FF FF FF FF"},
        {"STR", "0F 00 0F 04"}, {"WSTR", "10 04 10 05"}, {"TOP", "13 04 13 F0 FF FF FF FF"}};
    // clang-format on
    kivtest::TempDir dir;
    addEveryKind(create(dir.file("all.tlb")).get());
    auto records = readRecords(dir.file("all.tlb"));
    ASSERT_EQ(records.size(), 33u);
    for (auto &[key, record] : records) {
        DefinitionPtr def = decoded(record);
        ASSERT_TRUE(def) << key;
        EXPECT_EQ(hex(encode(def.get())), hex(record)) << key;
        if (def->kind == KIV_DEF_CONSTANT) {
            Bytes tail = bytes(constants.at(def->name));
            EXPECT_EQ(hex(Bytes(record.end() - long(tail.size()), record.end())), hex(tail)) << key;
        }
        for (size_t n = 0; n < record.size(); ++n) {
            kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
            ASSERT_EQ(decode(std::span(record.data(), n), &out), KIV_E_FORMAT) << key << n;
            EXPECT_EQ(out, nullptr);
        }
    }
}

// Forms the reader accepts although the writer would not write them: a bound of 1500 in two
// bytes followed by junk, and a wide character with high bits set.
TEST(CodecReader, AcceptsOtherFormsAndIgnoresTrailingBytes) {
    EXPECT_EQ(hex(encode(decoded(bytes("01 01 'S' 08 00 01 00 00 85 DC 99 99")).get())),
              hex(bytes("01 01 'S' 08 00 01 00 00 C0 05 DC")));
    EXPECT_EQ(
        hex(encode(
            decoded(bytes("03 01 'C' 01 'I' 01 'M' 03 01 02 03 00 05 05 00 01 00 41")).get())),
        hex(bytes("03 01 'C' 01 'I' 01 'M' 03 01 02 03 00 05 05 00 00 00 41")));
    // A stored flags word with bit 0 set: the definition read back is not pending.
    EXPECT_EQ(decoded(bytes("01 01 'S' 08 00 01 00 80 83 05"))->flags, 0x82u);
}

TEST(CodecReader, MalformedRecordsAreRefused) {
#define I "03 01 'I' 01 'R' 01 'M' 02 01 02 03 00 "  // an interface's table and header
#define A "03 01 'A' 01 'R' 01 'M' 07 01 02 03 00 "  // an alias's
#define C "03 01 'C' 01 'R' 01 'M' 03 01 02 03 00 "  // a constant's
    const char *cases[] = {
        "F1",
        "01 01 'S' 08 00 01 00 00 F1 00 00 00 05",  // lead bytes F1 to FF: no form, however
        "01 01 'S' 08 00 01 00 00 FF 00 00 00 05",  // many bytes follow
        "01 01 'S' 08 00 01 00 F8 00 00 00 00 05",
        "F0 FF FF FF FF 00",                   // a count no record can hold
        "01 C0 FF FF 'x'",                     // an entry longer than the record
        "01 01 'S' 08 00 01 00 00 F0 00",      // a bound cut short
        "01 01 'S' 00 00 01 00 00 01",         // kind 0
        "01 01 'S' 0C 00 01 00 00 01",         // kind 12
        "01 01 'S' 08 00 02 00 00 01",         // repoId past the table
        "01 01 'S' 08 00 00 00 00 01",         // no repoId
        "02 01 'M' 00 01 02 00 00 00 00",      // module without a name
        "02 01 'A' 01 'B' 07 01 02 00 00 01",  // alias without a scope
        I "00 00 01 03 01 00 03",              // member kind 3
        I "00 00 01 00 01 00 03",              // member kind 0
        I "00 00 01 02 01 00 01 01 01 03 04",  // direction 4
        I "00 00 01 02 01 00 01 01 01 03 00",  // direction 0
        I "00 00 01 02 01 00 01 05 01 03 01",  // more parameters than bytes
        I "04 00 00",                          // base past the table
        I "00 01 07",                          // content past the table
        A "00", A "0E",
        A "1B",                                                      // type tags 0, 14, 27
        A "11 00",                                                   // struct type without id
        A "17 04",                                                   // id past the table
        C "0F 00 0F 00",                                             // string value without text
        C "01 01",                                                   // void value
        C "09 0E 00 00 00 01",                                       // value tag 14
        C "11 01 11 01",                                             // struct value
        "03 01 'U' 01 'R' 01 'M' 05 01 02 03 00 00 08 01 01 09 17",  // case label tag 23
        "03 01 'E' 01 'R' 01 'M' 06 01 02 03 00 02 01 00",           // second enumerator missing
        "03 01 'S' 01 'R' 01 'M' 04 01 02 03 00 00 01 04 03",        // member name past the table
        "'1a' 00",                                                   // a counter record
        // Contents that no creating operation writes.
        "03 01 'S' 01 'R' 01 'M' 04 01 02 03 00 00 01 00 03",  // member without a name
        "03 01 'S' 01 'R' 01 'M' 04 01 02 03 00 00 01 01 01",  // void member
        "03 01 'S' 01 'R' 01 'M' 04 01 02 03 00 00 00",        // no member
        "03 01 'E' 01 'R' 01 'M' 06 01 02 03 00 01 00 00",     // enumerator without a name
        "03 01 'E' 01 'R' 01 'M' 06 01 02 03 00 00",           // no enumerator
        I "00 00 01 02 00 00 01 00",                           // operation without a name
        I "00 00 01 01 00 00 03",                              // attribute without a name
        I "00 00 01 01 01 00 01",                              // void attribute
        I "00 00 01 02 01 00 01 01 00 03 01",                  // parameter without a name
        I "00 00 01 02 01 00 01 01 01 01 01",                  // void parameter
        C "09 08 00 00 00 01",                                 // long value, unsigned long type
        C "0F 00 09 00 00 00 01",                              // unsigned long value, string type
        A "01",                                                // alias of void
        "01 01 'L' 0A 00 01 00 00 00 01",                      // sequence of void
        "03 01 'U' 01 'R' 01 'M' 05 01 02 03 00 00 08 01 00 09 00",  // case without a name
        "03 01 'U' 01 'R' 01 'M' 05 01 02 03 00 00 08 01 01 09 09 00 00 00 01",  // label tag
        "03 01 'U' 01 'R' 01 'M' 05 01 02 03 00 00 0F 00 01 01 09 00",  // string discriminator
    };
    for (const char *pattern : cases) {
        kivTLibDef *out = reinterpret_cast<kivTLibDef *>(1);
        EXPECT_EQ(decode(bytes(pattern), &out), KIV_E_FORMAT) << pattern;
        EXPECT_EQ(out, nullptr);
    }
}

// The local id counter's record: lower-case hex text and a NUL; the reader takes either case.
TEST(CounterRecord, Format) {
    EXPECT_EQ(encodeCounter(~0u), "ffffffff\0"s);
    // clang-format off
    const std::pair<std::string, int64_t> cases[] = {  // -1: refused
        {"1a\0"s, 26}, {"FF\0"s, 255}, {"ffffffff\0"s, ~0u}, {"", -1}, {"1a", -1},
        {"1g\0"s, -1}, {"\0"s, -1}, {" 1\0"s, -1}, {"-1\0"s, -1}, {"100000000\0"s, -1},
        {"1\0" "2\0"s, -1}};
    // clang-format on
    for (const auto &[text, expected] : cases) {
        uint32_t counter = 12345;
        EXPECT_EQ(
            decodeCounter({reinterpret_cast<const uint8_t *>(text.data()), text.size()}, &counter),
            expected < 0 ? KIV_E_FORMAT : 0u)
            << text;
        EXPECT_EQ(counter, expected < 0 ? 12345 : expected) << text;
    }
}

}  // namespace
