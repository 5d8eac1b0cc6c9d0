// kivFixed: record layout, setters and getters, arithmetic, rounding, text, large records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kiv_fixed.h"

namespace {

// A record of a given type with its own storage of exactly KIV_FIXED_SIZE bytes.
class Value {
  public:
    Value(int digits, int scale) : storage_(KIV_FIXED_SIZE(digits)) {
        kivFixedInit(storage_.data(), static_cast<uint16_t>(digits), static_cast<int16_t>(scale));
    }
    // "text@digits,scale", read with kivFixedSetString, which must take the whole text.
    static Value parse(const std::string &literal) {
        const size_t at = literal.rfind('@'), comma = literal.find(',', at);
        Value v(std::stoi(literal.substr(at + 1)), std::stoi(literal.substr(comma + 1)));
        const std::string text = literal.substr(0, at);
        char *end = nullptr;
        kivFixedSetString(v.get(), text.c_str(), &end);
        EXPECT_EQ(end, text.c_str() + text.size()) << literal;
        return v;
    }
    static Value ofType(const std::string &type) { return parse("0@" + type); }

    kivFixed *get() { return reinterpret_cast<kivFixed *>(storage_.data()); }
    const kivFixed *get() const { return reinterpret_cast<const kivFixed *>(storage_.data()); }
    // Every fraction digit of the record by default.
    std::string text(int precision) const {
        std::string out(static_cast<size_t>(kivFixedGetString(get(), precision, nullptr, 0)), '\0');
        kivFixedGetString(get(), precision, out.data(), out.size() + 1);
        return out;
    }
    std::string text() const { return text(std::max<int>(get()->scale, 0)); }
    std::string hex() const {
        std::string out;
        char pair[3];
        for (size_t i = 4; i < storage_.size(); ++i) {
            std::snprintf(pair, sizeof pair, "%02x", storage_[i]);
            out += pair;
        }
        return out;
    }

  private:
    std::vector<uint8_t> storage_;  // allocated storage is aligned for any record
};

TEST(FixedRecord, PacksDigitsAndState) {
    struct Case {
        const char *literal, *hex;
    } const cases[] = {
        {"123.45@5,2", "12345c"}, {"-12.34@4,2", "01234d"}, {"12300@3,-2", "123c"},
        {"0@0,0", "0c"},          {"-0@1,0", "0d"},         {"7@2,0", "007c"},
        {"NaN@4,2", "00000e"},    {"+Inf@5,2", "00000a"},   {"-Inf@1,0", "0b"},
    };
    for (const auto &c : cases) EXPECT_EQ(Value::parse(c.literal).hex(), c.hex) << c.literal;
}

TEST(FixedRecord, SpecialValuesAndState) {
    Value v(5, 2);
    const struct {
        void (*set)(kivFixed *);
        int state;
        const char *hex;
    } cases[] = {{kivFixedSetNaN, KIV_FIXED_NAN, "00000e"},
                 {kivFixedSetPosInfinity, KIV_FIXED_POS_INF, "00000a"},
                 {kivFixedSetNegInfinity, KIV_FIXED_NEG_INF, "00000b"}};
    for (const auto &c : cases) {
        std::memset(v.get()->packed, 0x99, 3);
        c.set(v.get());
        EXPECT_EQ(kivFixedGetState(v.get()), c.state);
        EXPECT_EQ(v.hex(), c.hex);
    }
    EXPECT_EQ(kivFixedGetState(Value::parse("-0@3,1").get()), KIV_FIXED_NEGATIVE);
}

TEST(FixedRecord, DeclareMacroMakesZeroOfTheType) {
    KIV_FIXED_DECLARE(price, 9, 2);
    EXPECT_EQ(price->digits, 9);
    EXPECT_EQ(price->scale, 2);
    EXPECT_EQ(kivFixedGetState(price), KIV_FIXED_POSITIVE);
    kivFixedSet(price, 12, 5);
    char text[32];
    kivFixedGetString(price, -1, text, sizeof text);
    EXPECT_STREQ(text, "12.05");
}

TEST(FixedSet, FromIntegerAndFractionUnits) {
    struct Case {
        int digits, scale;
        int32_t whole, units;
        const char *want;
    } const cases[] = {
        {5, 2, 12, 5, "12.05"},  {5, 2, -3, 25, "-3.25"}, {5, 1, 0, 5, "0.5"},
        {3, 0, 12345, 0, "345"}, {5, 2, 1, 123, "1.23"},  {3, -2, 12345, 0, "12300"},
        {4, 0, 7, 99, "7"},      {2, 2, 5, 7, "0.07"},    {12, 0, INT32_MIN, 0, "-2147483648"},
        {5, 1, 0, -5, "-0.5"},   {5, 1, 2, -5, "2.5"},    {3, 0, -1000, 0, "-0"},
    };
    for (const auto &c : cases) {
        Value v(c.digits, c.scale);
        kivFixedSet(v.get(), c.whole, c.units);
        EXPECT_EQ(v.text(), c.want) << c.whole << ", " << c.units;
    }
    Value v(12, 0);
    kivFixedSet(v.get(), INT32_MIN, 0);
    EXPECT_EQ(kivFixedGetState(v.get()), KIV_FIXED_NEGATIVE);
}

TEST(FixedDouble, SetTruncatesTheDoublesDigits) {
    struct Case {
        double x;
        const char *want;
        int state;
    } const cases[] = {
        {2.675, "2.67", KIV_FIXED_POSITIVE},        {0.1, "0.10", KIV_FIXED_POSITIVE},
        {123456.789, "456.78", KIV_FIXED_POSITIVE}, {0.001, "0.00", KIV_FIXED_POSITIVE},
        {-0.001, "-0.00", KIV_FIXED_NEGATIVE},      {-0.0, "0.00", KIV_FIXED_POSITIVE},
        {NAN, "0.00", KIV_FIXED_POSITIVE},          {INFINITY, "0.00", KIV_FIXED_POSITIVE},
        {-INFINITY, "-0.00", KIV_FIXED_NEGATIVE},   {-42.5, "-42.50", KIV_FIXED_NEGATIVE},
    };
    for (const auto &c : cases) {
        Value v(5, 2);
        kivFixedSetDouble(v.get(), c.x);
        EXPECT_EQ(v.text(), c.want) << c.x;
        EXPECT_EQ(kivFixedGetState(v.get()), c.state) << c.x;
    }
}

TEST(FixedDouble, GetFollowsTheDoubleSteps) {
    struct Case {
        const char *literal;
        double want;
    } const cases[] = {
        {"0.30@3,2", 0.30000000000000004},
        {"12300@3,-2", 12300.0},
        {"-1.5@2,1", -1.5},
        {"+Inf@3,0", 0.0},
        {"NaN@3,0", 0.0},
        {"123.45@5,2", 123.45},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kivFixedGetDouble(Value::parse(c.literal).get()), c.want) << c.literal;
    EXPECT_TRUE(std::signbit(kivFixedGetDouble(Value::parse("-0@3,1").get())));
}

// --- arithmetic ------------------------------------------------------------------------------

enum class Op { Add, Sub, Mul, Div };

struct ArithCase {
    Op op;
    const char *a, *b, *type, *want;
};

std::string apply(const ArithCase &c) {
    Value a = Value::parse(c.a), b = Value::parse(c.b), r = Value::ofType(c.type);
    switch (c.op) {
        case Op::Add:
            kivFixedAdd(r.get(), a.get(), b.get());
            break;
        case Op::Sub:
            kivFixedSub(r.get(), a.get(), b.get());
            break;
        case Op::Mul:
            kivFixedMul(r.get(), a.get(), b.get());
            break;
        case Op::Div:
            kivFixedDiv(r.get(), a.get(), b.get());
            break;
    }
    return r.text();
}

TEST(FixedArithmetic, AdditionAndSubtraction) {
    const ArithCase cases[] = {
        {Op::Add, "1.5@2,1", "-1.5@3,2", "4,2", "0.00"},
        {Op::Sub, "-1.5@2,1", "-1.5@2,1", "4,2", "0.00"},
        {Op::Add, "-0@2,1", "-0@2,1", "2,1", "-0.0"},
        {Op::Sub, "-0@2,1", "0@2,1", "2,1", "-0.0"},
        {Op::Sub, "0@2,1", "-0@2,1", "2,1", "0.0"},
        {Op::Add, "99.9@3,1", "0.1@2,1", "3,1", "+Inf"},
        {Op::Add, "99.9@3,1", "0.1@2,1", "4,1", "100.0"},
        {Op::Add, "1.23@3,2", "4.5@2,1", "3,1", "5.7"},
        {Op::Add, "-1.23@3,2", "-4.5@2,1", "3,1", "-5.7"},
        {Op::Add, "-0.005@4,3", "0.001@4,3", "3,2", "-0.00"},
        {Op::Add, "-99.9@3,1", "-0.1@2,1", "3,1", "-Inf"},
        {Op::Sub, "3@1,0", "+Inf@1,0", "1,0", "-Inf"},
        {Op::Add, "+Inf@1,0", "-Inf@1,0", "1,0", "NaN"},
        {Op::Sub, "+Inf@1,0", "+Inf@1,0", "1,0", "NaN"},
        {Op::Sub, "-Inf@1,0", "+Inf@1,0", "1,0", "-Inf"},
        {Op::Add, "12300@3,-2", "45@2,0", "6,1", "12345.0"},
        {Op::Add, "12300@3,-2", "45@2,0", "3,-2", "12300"},
        {Op::Sub, "0.001@3,3", "1000@1,-3", "8,3", "-999.999"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(apply(c), c.want) << c.a << (c.op == Op::Add ? " + " : " - ") << c.b;
}

TEST(FixedArithmetic, Multiplication) {
    const ArithCase cases[] = {
        {Op::Mul, "1.5@2,1", "2.25@3,2", "5,3", "3.375"},
        {Op::Mul, "1.5@2,1", "2.25@3,2", "5,2", "3.37"},
        {Op::Mul, "0.5@1,1", "0.5@1,1", "1,1", "0.2"},
        {Op::Mul, "99@2,0", "99@2,0", "4,0", "9801"},
        {Op::Mul, "99@2,0", "99@2,0", "3,0", "+Inf"},
        {Op::Mul, "1.234@4,3", "120@2,-1", "8,3", "148.080"},
        {Op::Mul, "-2@1,0", "0@1,0", "1,0", "0"},
        {Op::Mul, "+Inf@1,0", "0@1,0", "1,0", "+Inf"},
        {Op::Mul, "-Inf@1,0", "0@1,0", "1,0", "-Inf"},
        {Op::Mul, "-Inf@1,0", "-3@1,0", "1,0", "+Inf"},
        {Op::Mul, "-0.01@2,2", "0.01@2,2", "2,2", "-0.00"},
        // Products of 38-digit operands exceed 128 bits before the result's truncation.
        {Op::Mul, "9999999999999999999.9999999999999999999@38,19",
         "9999999999999999999.9999999999999999999@38,19", "38,0",
         "99999999999999999999999999999999999998"},
        {Op::Mul, "1234567890123456789.123456789@28,9", "-98765432109876543.21@19,2", "40,1",
         "-121932631137021795235939643223609205.9"},
        {Op::Mul, "1234567890123456789.123456789@28,9", "-98765432109876543.21@19,2", "35,1",
         "-Inf"},
    };
    for (const auto &c : cases) EXPECT_EQ(apply(c), c.want) << c.a << " * " << c.b;
}

TEST(FixedArithmetic, Division) {
    const ArithCase cases[] = {
        {Op::Div, "1@1,0", "3@1,0", "5,4", "0.3333"},
        {Op::Div, "10@2,0", "4@1,0", "3,1", "2.5"},
        {Op::Div, "100@3,0", "0.5@1,1", "5,2", "200.00"},
        {Op::Div, "22@2,0", "7@1,0", "6,5", "3.14285"},
        {Op::Div, "-22@2,0", "7@1,0", "6,5", "-3.14285"},
        {Op::Div, "0.001@3,3", "0.3@1,1", "6,5", "0.00333"},
        {Op::Div, "123.456@6,3", "0.012@3,3", "8,2", "10288.00"},
        {Op::Div, "12300@3,-2", "7@1,0", "5,0", "1757"},
        {Op::Div, "123@3,0", "7@1,0", "5,-1", "10"},
        {Op::Div, "-1@1,0", "3@1,0", "1,0", "-0"},
        {Op::Div, "0@1,0", "0@1,0", "1,0", "NaN"},
        {Op::Div, "5@1,0", "0@1,0", "1,0", "+Inf"},
        {Op::Div, "-5@1,0", "0@1,0", "1,0", "-Inf"},
        {Op::Div, "5@1,0", "-0@1,0", "1,0", "-Inf"},
        {Op::Div, "+Inf@1,0", "0@1,0", "1,0", "+Inf"},
        {Op::Div, "+Inf@1,0", "-Inf@1,0", "1,0", "NaN"},
        {Op::Div, "7@1,0", "+Inf@1,0", "1,0", "0"},
        {Op::Div, "-7@1,0", "+Inf@1,0", "1,0", "-0"},
        {Op::Div, "0@1,0", "-5@1,0", "1,0", "-0"},
        {Op::Div, "1000@4,0", "0.001@3,3", "4,0", "+Inf"},
        {Op::Div, "-1000@4,0", "0.001@3,3", "7,0", "-1000000"},
        {Op::Div, "-1000@4,0", "0.001@3,3", "6,0", "-Inf"},
    };
    for (const auto &c : cases) EXPECT_EQ(apply(c), c.want) << c.a << " / " << c.b;
}

TEST(FixedArithmetic, NaNOperandIsCopied) {
    // A NaN of state 15 with meaningless nibbles: the result copies as many bytes as fit.
    Value nan(5, 0), one = Value::parse("1@1,0");
    const uint8_t bytes[] = {0x12, 0x34, 0x5f};
    std::memcpy(nan.get()->packed, bytes, 3);
    const struct {
        const char *type, *hex;
    } cases[] = {{"3,0", "123f"}, {"5,0", "12345f"}, {"7,1", "12345f0f"}};
    for (void (*op)(kivFixed *, const kivFixed *, const kivFixed *) :
         {kivFixedAdd, kivFixedSub, kivFixedMul, kivFixedDiv}) {
        for (const auto &c : cases) {
            Value r = Value::ofType(c.type);
            op(r.get(), nan.get(), one.get());
            EXPECT_EQ(r.hex(), c.hex);
            op(r.get(), one.get(), nan.get());
            EXPECT_EQ(r.hex(), c.hex);
        }
    }
    Value r(3, 0);
    kivFixedNegate(r.get(), nan.get());
    EXPECT_EQ(r.hex(), "123f");
    kivFixedRound(r.get(), nan.get(), 0);
    EXPECT_EQ(r.hex(), "123f");
}

TEST(FixedArithmetic, Negation) {
    const struct {
        const char *a, *type, *want;
    } cases[] = {
        {"0@2,1", "2,1", "0.0"},       {"-0@2,1", "2,1", "0.0"},    {"+Inf@1,0", "1,0", "-Inf"},
        {"-Inf@1,0", "1,0", "+Inf"},   {"1.5@2,1", "3,2", "-1.50"}, {"0.001@3,3", "3,2", "-0.00"},
        {"-0.001@3,3", "3,2", "0.00"}, {"123@3,0", "2,0", "-Inf"},
    };
    for (const auto &c : cases) {
        Value a = Value::parse(c.a), r = Value::ofType(c.type);
        kivFixedNegate(r.get(), a.get());
        EXPECT_EQ(r.text(), c.want) << c.a;
    }
}

TEST(FixedArithmetic, Comparison) {
    const struct {
        const char *a, *b;
        int op, want;
    } cases[] = {
        {"-0@1,0", "0@2,1", KIV_FIXED_EQ, 1},
        {"NaN@1,0", "NaN@1,0", KIV_FIXED_NE, 1},
        {"NaN@1,0", "NaN@1,0", KIV_FIXED_EQ, 0},
        {"NaN@1,0", "1@1,0", KIV_FIXED_LT, 0},
        {"NaN@1,0", "1@1,0", KIV_FIXED_GE, 0},
        {"-Inf@1,0", "-5@1,0", KIV_FIXED_LT, 1},
        {"+Inf@1,0", "+Inf@3,0", KIV_FIXED_EQ, 1},
        {"1@1,0", "1@1,0", 6, 0},
        {"1.10@3,2", "1.1@2,1", KIV_FIXED_EQ, 1},
        {"-2@1,0", "-10@2,0", KIV_FIXED_GT, 1},
        {"-0@1,0", "+Inf@1,0", KIV_FIXED_LT, 1},
        {"12300@3,-2", "12299.99@7,2", KIV_FIXED_GT, 1},
        {"5@1,0", "-Inf@1,0", KIV_FIXED_LE, 0},
        {"0.5@1,1", "0.50@2,2", KIV_FIXED_LE, 1},
        // One type: packed words compared with their signs, at 15 and 31 digits.
        {"-0@15,2", "0@15,2", KIV_FIXED_EQ, 1},
        {"-0@31,2", "0@31,2", KIV_FIXED_EQ, 1},
        {"-5@31,0", "-4@31,0", KIV_FIXED_LT, 1},
        {"-5@15,0", "-4@15,0", KIV_FIXED_GT, 0},
        {"-123@5,2", "-122.99@5,2", KIV_FIXED_GE, 0},
        {"9999999999999999999999999999999@31,0", "-9999999999999999999999999999999@31,0",
         KIV_FIXED_GT, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kivFixedCmp(Value::parse(c.a).get(), Value::parse(c.b).get(), c.op), c.want)
            << c.a << " op " << c.op << " " << c.b;
}

// Operands and result of one type take word-sized paths: 7 digits (one 64-bit product), 15
// (one packed word, whose top digit carries out of it), 19 (64-bit digit strings) and 31 (two
// words). Carries out of a full word and products and quotients at the limits; comparisons of
// one type are in the table above.
TEST(FixedArithmetic, OneTypeAtWordLimits) {
    const ArithCase cases[] = {
        {Op::Add, "9999999.9@8,1", "0.1@8,1", "8,1", "+Inf"},
        {Op::Add, "999999999999999@15,0", "1@15,0", "15,0", "+Inf"},
        {Op::Add, "99999999999999.9@15,1", "-99999999999999.9@15,1", "15,1", "0.0"},
        {Op::Sub, "1@15,0", "999999999999999@15,0", "15,0", "-999999999999998"},
        {Op::Add, "9999999999999999999999999999.999@31,3", "0.001@31,3", "31,3", "+Inf"},
        {Op::Sub, "-9999999999999999999999999999.999@31,3", "0.001@31,3", "31,3", "-Inf"},
        {Op::Sub, "0.001@31,3", "9999999999999999999999999999.999@31,3", "31,3",
         "-9999999999999999999999999999.998"},
        {Op::Mul, "9999.999@7,3", "9999.999@7,3", "7,3", "+Inf"},
        {Op::Mul, "999.9999@7,4", "-9.9999999@8,7", "7,4", "-Inf"},
        {Op::Mul, "99999999.9999999@15,7", "0.0000001@15,7", "15,7", "9.9999999"},
        {Op::Mul, "9999999999.999999999@19,9", "9.999999999@19,9", "19,9", "+Inf"},
        {Op::Mul, "-999999999999999.9999@19,4", "999.9999@19,4", "19,4", "-Inf"},
        {Op::Mul, "1000000000000000@31,0", "1000000000000000@31,0", "31,0",
         "1000000000000000000000000000000"},
        {Op::Mul, "123456.7890123456789@31,13", "-654321.0987654321098@31,13", "31,13",
         "-80780381836.6101506562566"},
        {Op::Div, "9999999@7,0", "0.001@7,3", "7,0", "+Inf"},
        {Op::Div, "-1234.567@7,3", "7@7,3", "7,3", "-176.366"},
        {Op::Div, "999999999999999@15,0", "0.5@15,1", "15,1", "+Inf"},
        {Op::Div, "9999999999.999999999@19,9", "3@19,9", "19,9", "3333333333.333333333"},
        {Op::Div, "1@19,0", "9999999999999999999@19,0", "19,0", "0"},
        {Op::Div, "1000000000000000000000000000000@31,0", "3@31,0", "31,0",
         "333333333333333333333333333333"},
        {Op::Div, "-12345678901234567.8901234567@31,10", "7@31,10", "31,10",
         "-1763668414462081.1271604938"},
    };
    for (const auto &c : cases) EXPECT_EQ(apply(c), c.want) << c.a << " op " << c.b;
}

// --- rounding --------------------------------------------------------------------------------

TEST(FixedRounding, ModesAtAHalf) {
    const char *positive[] = {"2.34", "2.34", "2.35", "2.35", "2.35", "2.35", "2.34", "2.34"};
    const char *negative[] = {"-2.35", "-2.34", "-2.34", "-2.35",
                              "-2.34", "-2.35", "-2.34", "-2.34"};
    for (int mode = 1; mode <= 8; ++mode) {
        Value r(4, 2);
        kivFixedRound2(r.get(), Value::parse("2.345@4,3").get(), 2, mode);
        EXPECT_EQ(r.text(), positive[mode - 1]) << "mode " << mode;
        kivFixedRound2(r.get(), Value::parse("-2.345@4,3").get(), 2, mode);
        EXPECT_EQ(r.text(), negative[mode - 1]) << "mode " << mode;
    }
}

TEST(FixedRounding, Cases) {
    const struct {
        const char *a;
        int scale, mode;
        const char *type, *want;
    } cases[] = {
        {"2.355@4,3", 2, 7, "4,2", "2.36"},  {"2.3451@5,4", 2, 8, "4,2", "2.35"},
        {"2.3400@5,4", 2, 4, "4,2", "2.34"}, {"0.5@1,1", 0, 7, "2,1", "0.0"},
        {"1.5@2,1", 0, 7, "2,1", "2.0"},     {"0.96@2,2", 1, 7, "3,2", "1.00"},
        {"0.96@2,2", 1, 7, "2,2", "+Inf"},   {"9.96@3,2", 1, 6, "4,2", "10.00"},
        {"9.96@3,2", 1, 6, "3,2", "+Inf"},   {"-0.4@2,1", 0, 7, "2,1", "-0.0"},
        {"-0.4@2,1", 0, 1, "2,1", "-1.0"},   {"1.29@3,2", 1, 0, "2,1", "1.2"},
        {"123@3,0", -1, 2, "3,0", "120"},    {"123@3,0", -1, 7, "3,0", "120"},
        {"123@3,0", -1, 4, "3,0", "130"},    {"123@3,0", 5, 4, "3,0", "123"},
        {"999@3,0", -4, 7, "5,0", "0"},      {"999@3,0", -4, 4, "5,0", "10000"},
        {"-999@3,0", -3, 3, "4,0", "-0"},    {"2.5@2,1", 0, 9, "2,1", "2.5"},
        {"2.5@2,1", 0, -1, "2,1", "2.5"},    {"NaN@2,1", 0, 7, "2,1", "NaN"},
        {"-Inf@2,1", 0, 4, "2,1", "-Inf"},   {"12300@3,-2", -3, 6, "3,-2", "12000"},
    };
    for (const auto &c : cases) {
        Value r = Value::ofType(c.type);
        kivFixedRound2(r.get(), Value::parse(c.a).get(), c.scale, c.mode);
        EXPECT_EQ(r.text(), c.want) << c.a << " to " << c.scale << " by mode " << c.mode;
    }
    Value r(2, 1);
    kivFixedRound(r.get(), Value::parse("2.5@2,1").get(), 0);
    EXPECT_EQ(r.text(), "2.0");
}

TEST(FixedRounding, Truncation) {
    const struct {
        const char *a;
        int scale;
        const char *type, *want;
    } cases[] = {
        {"0.75@2,2", 0, "2,2", "0.00"},  {"-1.79@3,2", 1, "3,2", "-1.70"},
        {"123@3,0", -5, "3,0", "0"},     {"-0.5@1,1", 0, "1,0", "-0"},
        {"1.239@4,3", 5, "3,2", "1.23"}, {"+Inf@2,0", 0, "2,0", "+Inf"},
    };
    for (const auto &c : cases) {
        Value r = Value::ofType(c.type);
        kivFixedTruncate(r.get(), Value::parse(c.a).get(), c.scale);
        EXPECT_EQ(r.text(), c.want) << c.a << " to " << c.scale;
    }
}

TEST(FixedParts, IntegerAndFraction) {
    const struct {
        const char *a;
        int32_t whole, fraction;
    } cases[] = {
        {"-123.45@5,2", -123, 45},
        {"-0.5@1,1", 0, 5},
        {"12300@3,-2", 12300, 0},
        {"+Inf@3,0", 0, 0},
        {"1.050@4,3", 1, 50},
        {"NaN@2,1", 0, 0},
        {"3000000000@10,0", -1294967296, 0},
        {"12.05@4,2", 12, 5},
    };
    for (const auto &c : cases) {
        Value v = Value::parse(c.a);
        EXPECT_EQ(kivFixedIntegerPart(v.get()), c.whole) << c.a;
        EXPECT_EQ(kivFixedFractionPart(v.get()), c.fraction) << c.a;
    }
}

// --- text ------------------------------------------------------------------------------------

TEST(FixedText, Reading) {
    const struct {
        const char *text, *want;
        ptrdiff_t end;  // -1: unchanged, end at the text
    } cases[] = {
        {"  12.345xyz", "12.34", 8}, {"-0.5", "-0.50", 4},  {".5", "0.50", 2},
        {"-.5", "-0.50", 3},         {"7.", "7.00", 2},     {"12345.6", "345.60", 7},
        {"-0", "-0.00", 2},          {"+5", nullptr, -1},   {"abc", nullptr, -1},
        {"", nullptr, -1},           {"-", nullptr, -1},    {".", nullptr, -1},
        {"NaN", "NaN", 3},           {"+Inf ", "+Inf", 4},  {"-Inf,", "-Inf", 4},
        {"NaN\x80", "NaN", 3},       {"NaNa", nullptr, -1}, {"+Inf_", nullptr, -1},
        {"+Infinity", nullptr, -1},  {"nan", nullptr, -1},  {"inf", nullptr, -1},
        {"Inf", nullptr, -1},        {"\t\n 1", "1.00", 4},
    };
    for (const auto &c : cases) {
        Value v = Value::parse("9.99@5,2");
        char *end = nullptr;
        kivFixedSetString(v.get(), c.text, &end);
        EXPECT_EQ(v.text(2), c.want ? c.want : "9.99") << '"' << c.text << '"';
        EXPECT_EQ(end - c.text, c.end < 0 ? 0 : c.end) << '"' << c.text << '"';
    }
    kivFixedSetString(Value(3, 0).get(), "5", nullptr);  // end is optional
}

TEST(FixedText, ReadingIntoATypeWithoutIntegerDigits) {
    const struct {
        const char *text, *want;
        ptrdiff_t end;
    } cases[] = {{"0", "0.00", 1},    {"-0", "-0.00", 2}, {"0.", "0.00", 2}, {"00.25", "0.25", 5},
                 {"5.25", "0.25", 4}, {"5", "0.99", 0},   {"5.", "0.99", 0}};
    for (const auto &c : cases) {
        Value v = Value::parse("0.99@2,2");
        char *end = nullptr;
        kivFixedSetString(v.get(), c.text, &end);
        EXPECT_EQ(v.text(2), c.want) << c.text;
        EXPECT_EQ(end - c.text, c.end) << c.text;
    }
}

TEST(FixedText, Writing) {
    const struct {
        const char *a;
        int precision;
        const char *want;
    } cases[] = {
        {"123.45@5,2", 2, "123.45"},   {"123.45@5,2", 1, "123.4"},
        {"123.45@5,2", 4, "123.4500"}, {"123.45@5,2", 0, "123"},
        {"123.45@5,2", -1, "123.45"},  {"0.5@1,1", 0, "0"},
        {"1.5@2,1", 0, "2"},           {"2.5@2,1", 0, "2"},
        {"-1.50@3,2", 0, "-2"},        {"9.96@3,2", 1, "10.0"},
        {"2.000@4,3", -1, "2.0"},      {"0.050@3,3", -1, "0.05"},
        {"0.005@3,3", -1, "0.005"},    {"0@1,0", -1, "0"},
        {"12300@3,-2", -1, "12300"},   {"12300@3,-2", 2, "12300.00"},
        {"-0.04@2,2", 1, "-0.0"},      {"-0@3,3", -1, "-0.0"},
        {"-0@1,0", -1, "-0"},          {"0.96@2,2", 1, "1.0"},
        {"99.95@4,2", 1, "100.0"},     {"-Inf@3,1", 2, "-Inf"},
        {"0.0451@4,4", 2, "0.05"},     {"1234567890123456789.5@20,1", 0, "1234567890123456790"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Value::parse(c.a).text(c.precision), c.want) << c.a << " " << c.precision;
}

TEST(FixedText, WritingLikeSnprintf) {
    Value v = Value::parse("123.45@5,2"), nan = Value::parse("NaN@1,0");
    const struct {
        const kivFixed *v;
        size_t size;
        const char *stored;
        int64_t length;
    } cases[] = {{v.get(), 4, "123", 6},
                 {v.get(), 6, "123.4", 6},
                 {v.get(), 7, "123.45", 6},
                 {nan.get(), 2, "N", 3},
                 {nan.get(), 1, "", 3}};
    for (const auto &c : cases) {
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(kivFixedGetString(c.v, 2, buffer, c.size), c.length);
        EXPECT_STREQ(buffer, c.stored);
        EXPECT_EQ(buffer[c.size], '#');
    }
    char untouched = '#';
    EXPECT_EQ(kivFixedGetString(v.get(), 2, &untouched, 0), 6);
    EXPECT_EQ(kivFixedGetString(v.get(), 2, nullptr, 0), 6);
    EXPECT_EQ(untouched, '#');
    // Padding far beyond any buffer is counted, not written.
    EXPECT_EQ(kivFixedGetString(v.get(), INT32_MAX, nullptr, 0), 4 + int64_t{INT32_MAX});
}

TEST(FixedText, RoundTripsEveryDigitCountAndScale) {
    const std::string pattern = "98765432109876543210987654321098765432109";
    for (int digits = 1; digits <= 41; ++digits) {
        for (int scale = -3; scale <= digits; ++scale) {
            std::string text = pattern.substr(0, static_cast<size_t>(digits));
            if (scale > 0)
                text.insert(static_cast<size_t>(digits - scale), digits == scale ? "0." : ".");
            if (scale < 0) text.append(static_cast<size_t>(-scale), '0');
            text.insert(0, "-");
            Value v(digits, scale);
            char *end = nullptr;
            kivFixedSetString(v.get(), text.c_str(), &end);
            EXPECT_EQ(v.text(), text) << digits << "," << scale;
        }
    }
}

// --- large records ---------------------------------------------------------------------------

std::string repeat(char c, size_t n) {
    return std::string(n, c);
}

TEST(FixedLarge, SixtyFiveThousandDigits) {
    constexpr int kDigits = 65535;
    const std::string nines = repeat('9', kDigits);
    Value a = Value::parse(nines + "@65535,0"), one = Value::parse("1@1,0");
    Value sum(kDigits, 0), wide(kDigits, -1);
    kivFixedAdd(sum.get(), a.get(), one.get());
    EXPECT_EQ(sum.text(), "+Inf");
    kivFixedAdd(wide.get(), a.get(), one.get());
    EXPECT_EQ(wide.text(), "1" + repeat('0', kDigits));

    // (10^n - 1)^2 = 10^2n - 2 x 10^n + 1, truncated to a multiple of 10^14465.
    Value b = Value::parse(repeat('9', 40000) + "@40000,0"), square(kDigits, -14465);
    kivFixedMul(square.get(), b.get(), b.get());
    EXPECT_EQ(square.text(), repeat('9', 39999) + "8" + repeat('0', 40000));

    // x / x = 1 and (x * 3) / 3 = x at full size.
    Value quotient(3, 1);
    kivFixedDiv(quotient.get(), a.get(), a.get());
    EXPECT_EQ(quotient.text(), "1.0");
    Value third(kDigits, 0), three = Value::parse("3@1,0");
    kivFixedDiv(third.get(), a.get(), three.get());
    EXPECT_EQ(third.text(), repeat('3', kDigits));
    Value back(kDigits, 0);
    kivFixedMul(back.get(), third.get(), three.get());
    EXPECT_EQ(back.text(), nines);
}

TEST(FixedLarge, DivisionByALongDivisor) {
    // 10^2n / (10^n - 1) = 10^n + 1 remainder 1, for divisors in both scratch sizes.
    for (size_t n : {1000, 30000}) {
        Value a = Value::parse("1" + repeat('0', 2 * n) + "@" + std::to_string(2 * n + 1) + ",0");
        Value b = Value::parse(repeat('9', n) + "@" + std::to_string(n) + ",0");
        Value q(static_cast<int>(n) + 5, 0);
        kivFixedDiv(q.get(), a.get(), b.get());
        EXPECT_EQ(q.text(), "1" + repeat('0', n - 1) + "1");
        Value fraction(static_cast<int>(n) + 100, static_cast<int>(n) + 99);
        kivFixedDiv(fraction.get(), b.get(), a.get());
        EXPECT_EQ(fraction.text(), "0." + repeat('0', n) + repeat('9', 99));
    }
}

TEST(FixedLarge, ExtremeScales) {
    Value tiny = Value::parse("0." + repeat('0', 32766) + "1@1,32767");
    Value huge = Value::parse("5" + repeat('0', 32768) + "@1,-32768");
    Value r(3, 0);
    kivFixedMul(r.get(), tiny.get(), huge.get());
    EXPECT_EQ(r.text(), "50");
    kivFixedAdd(r.get(), tiny.get(), huge.get());
    EXPECT_EQ(r.text(), "+Inf");
    kivFixedRound2(r.get(), Value::parse("5@1,0").get(), INT32_MIN, KIV_FIXED_ROUND_UP);
    EXPECT_EQ(r.text(), "+Inf");
    kivFixedRound2(r.get(), Value::parse("5@1,0").get(), INT32_MIN, KIV_FIXED_ROUND_HALF_UP);
    EXPECT_EQ(r.text(), "0");
    EXPECT_EQ(kivFixedCmp(tiny.get(), huge.get(), KIV_FIXED_LT), 1);
}

}  // namespace
