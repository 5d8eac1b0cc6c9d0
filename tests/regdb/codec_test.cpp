// Encoding of every value kind, byte for byte, and decoding of well-formed and malformed bytes.
#include <gtest/gtest.h>

#include <string>

#include "regdb/codec.h"
#include "regdb/store.h"
#include "values.h"

namespace {

using namespace kiv::regdb;
using regdbtest::describe;
using regdbtest::Value;
using namespace std::string_literals;

std::string asString(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char *>(bytes.data()), bytes.size()};
}

std::span<const uint8_t> asBytes(const std::string &s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

std::string int64Block(const std::string &text) {
    std::string block = "!@KIV_INT64_VALUE#$\0"s + text;
    block.resize(40, '\0');
    return block;
}

struct EncodeCase {
    const char *name;
    Value value;
    uint32_t type;
    std::string bytes;
};

TEST(Codec, EncodesEveryKindByteForByte) {
    EncodeCase cases[] = {
        {"int32", Value::int32(0x01020304), kRegDword, "\x04\x03\x02\x01"s},
        {"int64 zero", Value::int64(0), kRegMultiSz, int64Block("0x0")},
        {"int64 max", Value::int64(UINT64_MAX), kRegMultiSz, int64Block("0xffffffffffffffff")},
        {"string", Value::string("abc"), kRegSz, "abc\0"s},
        {"empty string", Value::string(""), kRegSz, "\0"s},
        {"list with empty text", Value::list({"a", "", "b"}), kRegMultiSz,
         "a\0!@KIV_EMPTY_STRING#$\0b\0\0"s},
        {"empty list", Value::list({}), kRegMultiSz, "\0"s},
        {"bytes", Value::bytes("\0\x01\xff"s), kRegBinary, "\0\x01\xff"s},
    };
    for (auto &c : cases) {
        EncodedValue encoded;
        ASSERT_EQ(encodeValue(*c.value.get(), encoded), 0u) << c.name;
        EXPECT_TRUE(encoded.present) << c.name;
        EXPECT_EQ(encoded.type, c.type) << c.name;
        EXPECT_EQ(asString(encoded.bytes), c.bytes) << c.name;
    }
}

TEST(Codec, KindsWithoutRegistryFormWriteNothing) {
    for (uint32_t kind : {0u, 6u, 0xFFFFFFFFu}) {
        EncodedValue encoded;
        EXPECT_EQ(encodeValue(*Value::none(kind).get(), encoded), 0u);
        EXPECT_FALSE(encoded.present) << kind;
    }
}

TEST(Codec, RefusesValuesWithMissingPointers) {
    char *nullText[] = {nullptr};
    RegistryValue cases[] = {
        {KIV_REG_STRING, {.string = nullptr}, {}},
        {KIV_REG_BYTES, {.count = 3}, {.bytes = nullptr}},
        {KIV_REG_STRING_LIST, {.count = 2}, {.strings = nullptr}},
        {KIV_REG_STRING_LIST, {.count = 1}, {.strings = nullText}},
    };
    for (const auto &value : cases) {
        EncodedValue encoded;
        EXPECT_EQ(encodeValue(value, encoded), KIV_E_INVALIDARG) << value.kind;
    }
}

struct DecodeCase {
    const char *name;
    uint32_t type;
    std::string bytes;
    kivResult result;
    std::string value;  // describe() of the decoded value
};

TEST(Codec, DecodesStoredBytes) {
    const DecodeCase cases[] = {
        {"none", kRegNone, "whatever", 0, "none"},
        {"string", kRegSz, "abc\0"s, 0, "string:abc"},
        {"string with inner NUL", kRegSz, "ab\0cd\0"s, 0, "string:ab"},
        {"string without NUL", kRegSz, "abc", KIV_E_FAIL, "none"},
        {"bytes", kRegBinary, "x\0y"s, 0, "bytes:x\0y"s},
        {"dword", kRegDword, "\x2a\0\0\0"s, 0, "int32:42"},
        {"short dword", kRegDword, "\x2a\0\0"s, KIV_E_FAIL, "none"},
        {"list", kRegMultiSz, "a\0!@KIV_EMPTY_STRING#$\0b\0\0"s, 0, "list:[a||b]"},
        {"list stops at empty text", kRegMultiSz, "a\0\0b\0\0"s, 0, "list:[a]"},
        {"no texts", kRegMultiSz, "\0\0"s, 0, "list:[]"},
        {"empty list as written", kRegMultiSz, "\0"s, KIV_E_FAIL, "none"},
        {"list without final NULs", kRegMultiSz, "a\0b"s, KIV_E_FAIL, "none"},
        {"int64", kRegMultiSz, int64Block("0x1f"), 0, "int64:31"},
        {"int64 upper case, no prefix", kRegMultiSz, int64Block("1F"), 0, "int64:31"},
        {"int64 leading zeros", kRegMultiSz,
         "!@KIV_INT64_VALUE#$\0"
         "0x00000000000000000001\0\0"s,
         0, "int64:1"},
        {"int64 short block", kRegMultiSz,
         "!@KIV_INT64_VALUE#$\0"
         "7\0\0"s,
         0, "int64:7"},
        {"int64 too big", kRegMultiSz, int64Block("0x10000000000000000"), KIV_E_FAIL, "none"},
        {"int64 not hex", kRegMultiSz, int64Block("0x12g"), KIV_E_FAIL, "none"},
        {"int64 space", kRegMultiSz, int64Block(" 0x1"), KIV_E_FAIL, "none"},
        {"int64 missing text", kRegMultiSz, "!@KIV_INT64_VALUE#$\0\0"s, KIV_E_FAIL, "none"},
        {"marker prefix is a list", kRegMultiSz, "!@KIV_INT64_VALUE#$x\0\0"s, 0,
         "list:[!@KIV_INT64_VALUE#$x]"},
        {"REG_QWORD", kRegQword, "\1\0\0\0\0\0\0\0"s, KIV_E_UNEXPECTED, "none"},
        {"REG_EXPAND_SZ", kRegExpandSz, "abc\0"s, KIV_E_UNEXPECTED, "none"},
    };
    for (const auto &c : cases) {
        RegistryValue value;
        EXPECT_EQ(decodeValue(c.type, asBytes(c.bytes), value), c.result) << c.name;
        EXPECT_EQ(describe(value), c.value) << c.name;
        kivRegistryValueClear(&value);
    }
}

}  // namespace
