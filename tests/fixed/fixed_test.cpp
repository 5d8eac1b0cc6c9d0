// SPDX-License-Identifier: Apache-2.0
// kivFixed: the packed layout, the documented decisions of each operation family, text round
// trips and records of 65,535 digits and extreme scales. oracle.py checks random values.
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "kiv_fixed.h"

namespace {

// A record with storage of exactly KIV_FIXED_SIZE bytes.
struct Value {
    std::vector<uint8_t> bytes;
    Value(int digits, int scale) : bytes(KIV_FIXED_SIZE(digits)) {
        kivFixedInit(bytes.data(), static_cast<uint16_t>(digits), static_cast<int16_t>(scale));
    }
    kivFixed *get() { return reinterpret_cast<kivFixed *>(bytes.data()); }
    std::string text() { return text(std::max<int>(get()->scale, 0)); }  // every fraction digit
    std::string text(int precision) {
        std::string out(static_cast<size_t>(kivFixedGetString(get(), precision, nullptr, 0)), ' ');
        kivFixedGetString(get(), precision, out.data(), out.size() + 1);
        return out;
    }
    std::string hex() const {
        std::string out;
        for (size_t i = 4; i < bytes.size(); ++i)
            out += {"0123456789abcdef"[bytes[i] >> 4], "0123456789abcdef"[bytes[i] & 15]};
        return "#" + out;
    }
};

// With "c{n}" written as n copies of c.
std::string expand(std::string s) {
    for (size_t open; (open = s.find('{')) != std::string::npos;)
        s.replace(open - 1, s.find('}', open) - open + 2, std::stoul(s.substr(open + 1)),
                  s[open - 1]);
    return s;
}

// "text@digits,scale", read by kivFixedSetString, which must take all of the text, or
// "#packedhex@digits,scale"; texts expanded.
Value parse(const std::string &compact) {
    const std::string literal = expand(compact.empty() ? "0@1,0" : compact);
    const size_t at = literal.rfind('@'), comma = literal.find(',', at);
    Value v(std::stoi(literal.substr(at + 1)), std::stoi(literal.substr(comma + 1)));
    const std::string text = literal.substr(0, at);
    for (size_t i = 1; text[0] == '#' && i < text.size(); i += 2)
        v.bytes[4 + i / 2] = static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16));
    char *end = nullptr;
    if (text[0] != '#') kivFixedSetString(v.get(), text.c_str(), &end);
    EXPECT_TRUE(text[0] == '#' || end == text.c_str() + text.size()) << literal;
    return v;
}

// An operation on the record literal a and arg (a second record, numbers or a text) into a
// result of `type` (garbage beforehand); want is the result's text or '#' and its bytes, or the
// operation's other outcome. An empty record literal is 0 of type (1,0).
struct Case {
    const char *op, *a, *arg, *type, *want;
};

std::string apply(const Case &c) {
    Value x = parse(c.a), r = parse(std::string("0@") + (*c.type ? c.type : "1,0"));
    std::memset(r.get()->packed, 0x99, r.bytes.size() - 4);
    kivFixed *a = x.get(), *out = r.get();
    const std::string op = c.op, arg = c.arg;
    const int n = std::atoi(c.arg), m = std::atoi(arg.substr(arg.find(' ') + 1).c_str());
    const char *relations[] = {"==", "!=", "<", "<=", ">=", ">", "op6"};
    for (int rel = 0; rel < 7; ++rel)
        if (op == relations[rel]) return std::to_string(kivFixedCmp(a, parse(arg).get(), rel));
    if (op == "+") kivFixedAdd(out, a, parse(arg).get());
    if (op == "-") kivFixedSub(out, a, parse(arg).get());
    if (op == "*") kivFixedMul(out, a, parse(arg).get());
    if (op == "/") kivFixedDiv(out, a, parse(arg).get());
    if (op == "neg") kivFixedNegate(out, a);
    if (op == "round2") kivFixedRound2(out, a, n, m);
    if (op == "round") kivFixedRound(out, a, n);
    if (op == "trunc") kivFixedTruncate(out, a, n);
    if (op == "set") kivFixedSet(out, n, m);
    if (op == "setd") kivFixedSetDouble(out, std::strtod(c.arg, nullptr));
    if (op == "nan") kivFixedSetNaN(out);
    if (op == "+inf") kivFixedSetPosInfinity(out);
    if (op == "-inf") kivFixedSetNegInfinity(out);
    if (op == "state") return std::to_string(kivFixedGetState(a));
    if (op == "parts")
        return std::to_string(kivFixedIntegerPart(a)) + " " +
               std::to_string(kivFixedFractionPart(a));
    if (op == "text") return x.text(n);
    if (op == "length") return std::to_string(kivFixedGetString(a, n, nullptr, 0));
    if (op == "getd") {
        char text[32];
        return std::string(text, std::to_chars(text, text + 32, kivFixedGetDouble(a)).ptr);
    }
    if (op == "read") {  // into a: the value and where reading stopped
        char *end = nullptr;
        kivFixedSetString(a, c.arg, &end);
        return x.text() + " " + std::to_string(end - c.arg);
    }
    Value &result = op == "is" ? x : r;
    return c.want[0] == '#' ? result.hex() : result.text();
}

void check(std::initializer_list<Case> cases) {
    for (const Case &c : cases)
        EXPECT_EQ(apply(c), expand(c.want))
            << c.op << " " << c.a << " \"" << c.arg << "\" into " << c.type;
}

// clang-format off
TEST(FixedRecord, PackingAndStates) {
    check({{"is", "123.45@5,2", "", "", "#12345c"}, {"is", "-12.34@4,2", "", "", "#01234d"},
           {"is", "12300@3,-2", "", "", "#123c"},   {"is", "-0@1,0", "", "", "#0d"},
           {"is", "7@2,0", "", "", "#007c"},        {"is", "0@0,0", "", "", "#0c"},
           {"nan", "", "", "5,2", "#00000e"},       {"+inf", "", "", "5,2", "#00000a"},
           {"-inf", "", "", "4,2", "#00000b"},      {"state", "-0@3,1", "", "", "13"},
           {"state", "#0f@1,0", "", "", "15"},      {"text", "#2c@1,3", "4", "", "0.0020"}});
}

TEST(FixedValues, SetDoubleAndParts) {
    check({{"set", "", "12 5", "5,2", "12.05"},    {"set", "", "12345 0", "3,0", "345"},
           {"set", "", "1 123", "5,2", "1.23"},    {"set", "", "0 -5", "5,1", "-0.5"},
           {"set", "", "-2147483648 0", "12,0", "-2147483648"},
           {"setd", "", "2.675", "5,2", "2.67"},   {"setd", "", "0.1", "5,2", "0.10"},
           {"setd", "", "-0.0", "5,2", "0.00"},    {"setd", "", "-inf", "5,2", "-0.00"},
           {"getd", "0.30@3,2", "", "", "0.30000000000000004"}, {"getd", "-0@3,1", "", "", "-0"},
           {"parts", "12.05@4,2", "", "", "12 5"}, {"parts", "-1.050@4,3", "", "", "-1 50"},
           {"parts", "3000000000@10,0", "", "", "-1294967296 0"}});
}

TEST(FixedArithmetic, SignsOfZeroSpecialsAndNaNCopies) {
    check({{"+", "-0@2,1", "-0@2,1", "2,1", "-0.0"},    {"-", "-0@2,1", "0@2,1", "2,1", "-0.0"},
           {"+", "1.5@2,1", "-1.5@3,2", "4,2", "0.00"}, {"+", "99.9@3,1", "0.1@2,1", "3,1", "+Inf"},
           {"*", "-0.01@2,2", "0.01@2,2", "2,2", "-0.00"}, {"*", "-2@1,0", "", "1,0", "0"},
           {"*", "-Inf@1,0", "", "1,0", "-Inf"},        {"/", "", "-5@1,0", "1,0", "-0"},
           {"/", "22@2,0", "-7@1,0", "6,5", "-3.14285"}, {"/", "5@1,0", "-0@1,0", "1,0", "-Inf"},
           {"/", "+Inf@1,0", "-0@1,0", "1,0", "-Inf"},  {"/", "", "", "1,0", "NaN"},
           {"/", "1000@4,0", "0.001@3,3", "4,0", "+Inf"}, {"neg", "-0@2,1", "", "2,1", "0.0"},
           // A NaN operand is copied as far as the result reaches; a state 0 to 9 becomes 15.
           {"+", "#12345f@5,0", "1@1,0", "3,0", "#123f"}, {"neg", "#1231@3,0", "", "3,0", "#123f"},
           {"-", "1@1,0", "#12345f@5,0", "7,1", "#12345f0f"}});
    check({{"==", "-0@1,0", "0@2,1", "", "1"},     {"!=", "NaN@1,0", "NaN@1,0", "", "1"},
           {"==", "NaN@1,0", "NaN@1,0", "", "0"},  {">=", "#1231@3,0", "1@1,0", "", "0"},
           {"<", "-Inf@1,0", "-5@1,0", "", "1"},   {"op6", "1@1,0", "1@1,0", "", "0"}});
}

// Operands and result of one type take word-sized paths: 7 digits (one 64-bit product), 15 (one
// packed word whose top digit carries out of it), 19 (64-bit digit strings) and 31 (two words).
TEST(FixedArithmetic, OneTypeAtWordLimits) {
    check({{"+", "9999999.9@8,1", "0.1@8,1", "8,1", "+Inf"},
           {"+", "9{15}@15,0", "1@15,0", "15,0", "+Inf"},
           {"+", "9{14}.9@15,1", "-9{14}.9@15,1", "15,1", "0.0"},
           {"-", "1@15,0", "9{15}@15,0", "15,0", "-9{14}8"},
           {"+", "9{28}.999@31,3", "0.001@31,3", "31,3", "+Inf"},
           {"-", "-9{28}.999@31,3", "0.001@31,3", "31,3", "-Inf"},
           {"-", "0.001@31,3", "9{28}.999@31,3", "31,3", "-9{28}.998"},
           {"*", "9999.999@7,3", "9999.999@7,3", "7,3", "+Inf"},
           {"*", "999.9999@7,4", "-9.9999999@8,7", "7,4", "-Inf"},
           {"*", "99999999.9999999@15,7", "0.0000001@15,7", "15,7", "9.9999999"},
           {"*", "9{10}.9{9}@19,9", "9.9{9}@19,9", "19,9", "+Inf"},
           {"*", "-9{15}.9999@19,4", "999.9999@19,4", "19,4", "-Inf"},
           {"*", "10{15}@31,0", "10{15}@31,0", "31,0", "10{30}"},
           {"*", "123456.7890123456789@31,13", "-654321.0987654321098@31,13", "31,13",
            "-80780381836.6101506562566"},
           {"/", "9999999@7,0", "0.001@7,3", "7,0", "+Inf"},
           {"/", "-1234.567@7,3", "7@7,3", "7,3", "-176.366"},
           {"/", "9{15}@15,0", "0.5@15,1", "15,1", "+Inf"},
           {"/", "9{10}.9{9}@19,9", "3@19,9", "19,9", "3{10}.3{9}"},
           {"/", "1@19,0", "9{19}@19,0", "19,0", "0"},
           {"/", "10{30}@31,0", "3@31,0", "31,0", "3{30}"},
           {"/", "-12345678901234567.8901234567@31,10", "7@31,10", "31,10",
            "-1763668414462081.1271604938"}});
    check({{"==", "-0@15,2", "0@15,2", "", "1"},   {"==", "-0@31,2", "0@31,2", "", "1"},
           {"<", "-5@31,0", "-4@31,0", "", "1"},    {">", "-5@15,0", "-4@15,0", "", "0"},
           {">=", "-123@5,2", "-122.99@5,2", "", "0"},
           {">", "9{31}@31,0", "-9{31}@31,0", "", "1"}});
}

// Operands and results of different types around the limits of the word-sized paths: 15 and 16
// digits (one 64-bit word and its carry nibble), 31 and 32 (a 128-bit word), 19 and 20 (64-bit
// digit strings and quotients), 38 and 39 (128-bit digit strings), and alignments that reach
// them.
TEST(FixedArithmetic, OtherTypesAtWordLimits) {
    check({{"+", "9{15}@15,0", "1@1,0", "16,0", "10{15}"},
           {"+", "9{15}@15,0", "1@1,0", "15,0", "+Inf"},
           {"-", "-9{15}@15,0", "1@2,0", "16,0", "-10{15}"},
           {"+", "9{31}@31,0", "1@1,0", "32,0", "10{31}"},
           {"+", "9{31}@31,0", "9{31}@31,0", "33,0", "19{30}8"},
           {"+", "9{31}@31,0", "1@1,0", "40,1", "10{31}.0"},
           {"+", "9{32}@32,0", "1@1,0", "33,0", "10{32}"},
           {"+", "-9{30}.9@31,1", "-9{30}.9@31,1", "32,1", "-19{30}.8"},
           {"+", "9{11}@18,6", "1@18,6", "17,6", "+Inf"},
           {"-", "1@18,6", "1@18,6", "19,6", "0.000000"},
           {"+", "-0@18,6", "-0@18,6", "19,6", "-0.000000"},
           {"+", "9{32}@32,0", "1@1,0", "32,0", "+Inf"},
           {"+", "9{38}@38,0", "1@1,0", "39,0", "10{38}"},
           {"+", "9{38}@38,0", "1@1,0", "38,0", "+Inf"},
           {"+", "#5c@1,-37", "1@1,0", "39,0", "50{36}1"},
           {"+", "#5c@1,-38", "1@1,0", "40,0", "50{37}1"},
           {"-", "10{19}.0@21,1", "0.1@1,1", "21,1", "9{19}.9"},
           {"-", "10{30}@31,0", "1@1,0", "31,0", "9{30}"},
           {"+", "9{14}@15,0", "0.5@1,1", "16,1", "9{14}.5"},
           {"+", "9{13}@15,0", "0.5@1,1", "15,1", "9{13}.5"},
           {"+", "9{30}@31,0", "0.5@1,1", "32,1", "9{30}.5"},
           {"-", "1@1,0", "0.0{30}1@31,31", "31,30", "0.9{30}"},
           {"+", "1@1,0", "0.0{30}1@31,31", "40,31", "1.0{30}1"},
           {"+", "-0.0{14}1@15,15", "0.0{14}1@16,15", "1,0", "0"},
           {"+", "-0.0{14}1@15,15", "-0.0{14}2@16,15", "1,0", "-0"},
           {"-", "12.3@5,1", "0.04@3,2", "3,0", "12"},
           {"*", "12.34@4,2", "5.678@4,3", "8,2", "70.06"},
           {"*", "-0.01@2,2", "0.01@3,2", "3,2", "-0.00"},
           {"*", "9{8}@8,0", "9{8}@9,0", "16,0", "9{7}80{7}1"},
           {"*", "9{8}@8,0", "9{8}@9,0", "15,0", "+Inf"},
           {"*", "9{15}@15,0", "9{15}@16,0", "30,0", "9{14}80{14}1"},
           {"*", "9{16}@16,0", "9{16}@17,0", "32,0", "9{15}80{15}1"},
           {"*", "9{19}@19,0", "9{19}@20,0", "38,0", "9{18}80{18}1"},
           {"*", "9{19}@19,0", "9{19}@20,0", "37,0", "+Inf"},
           {"*", "9{20}@20,0", "9{19}@19,0", "39,0", "9{18}890{18}1"},
           {"*", "9{20}@20,0", "9{20}@21,0", "40,0", "9{19}80{19}1"},
           {"*", "1{31}@31,0", "-1@1,0", "52,10", "-1{31}.0{10}"},
           {"*", "1{21}.1{10}@31,10", "1{12}@12,0", "52,10", "123456790123{20}2.0987654321"},
           {"*", "0.9{19}@19,19", "0.9{19}@19,19", "19,19", "0.9{18}8"},
           {"/", "1@1,0", "3@1,0", "19,18", "0.3{18}"},
           {"/", "1@1,0", "3@1,0", "20,19", "0.3{19}"},
           {"/", "1@1,0", "3@1,0", "21,20", "0.3{20}"},
           {"/", "9{15}@15,0", "0.1@1,1", "16,0", "9{15}0"},
           {"/", "9{15}@15,0", "0.1@1,1", "15,0", "+Inf"},
           {"/", "9{15}@15,0", "-0.0{4}1@1,5", "19,0", "-Inf"},
           {"/", "9{15}@15,0", "-0.0{4}1@1,5", "20,0", "-9{15}0{5}"},
           {"/", "-1@1,0", "3@2,0", "2,1", "-0.3"},
           {"/", "-1@1,0", "30@2,0", "2,1", "-0.0"},
           {"/", "9{19}@19,0", "0.0{18}1@19,19", "38,0", "9{19}0{19}"},
           {"/", "9{19}@19,0", "0.0{18}1@19,19", "40,0", "9{19}0{19}"},
           {"/", "1{31}@32,0", "7@1,0", "32,1", "158730158730158730158730158730.1"},
           {"neg", "9{38}@38,0", "", "39,1", "-9{38}.0"},
           {"neg", "40{38}@39,0", "", "40,0", "-40{38}"},
           {"neg", "0.0{37}1@39,38", "", "40,39", "-0.0{37}10"}});
    check({{"==", "1@1,0", "1.0{31}@32,31", "", "1"},  {"<", "1@1,0", "1.0{30}1@32,31", "", "1"},
           {"==", "-0@32,5", "0@1,0", "", "1"},       {"<", "-1@16,0", "-0.9{15}@16,15", "", "1"},
           {">", "9{15}@15,0", "9{14}.9@16,1", "", "1"},
           {"<", "9{38}@38,0", "10{38}@39,0", "", "1"},
           {"==", "10{37}@39,0", "#1c@1,-37", "", "1"},
           {">=", "#1c@1,-31", "9{31}@32,0", "", "1"}});
}

// Outcomes and intermediates of 39 to 76 digits from operands of up to 38: products of two
// 32-digit words, of 128-bit digit strings, dividends and aligned sums past 128 bits, each at
// its limit and one digit short of the result holding it.
TEST(FixedArithmetic, WideOutcomes) {
    check({{"*", "9{32}@32,0", "9{32}@32,0", "64,0", "9{31}80{31}1"},
           {"*", "9{32}@32,0", "9{32}@32,0", "63,0", "+Inf"},
           {"*", "-9{32}@32,0", "9{22}.9{10}@32,10", "70,12", "-9{31}80{22}.0{9}100"},
           {"*", "-0@32,0", "9{32}@32,0", "64,0", "0"},
           {"*", "9{21}.9{10}@31,10", "9{21}.9{10}@31,10", "52,10", "9{30}80{11}.0{10}"},
           {"*", "9{38}@38,0", "9{38}@38,0", "76,0", "9{37}80{37}1"},
           {"*", "9{38}@38,0", "9{38}@38,0", "75,0", "+Inf"},
           {"*", "-0.9{38}@38,38", "0.9{38}@38,38", "40,38", "-0.9{37}8"},
           {"*", "9{38}@38,0", "1{33}@33,0", "80,9", "1{32}09{5}8{32}9.0{9}"},
           {"/", "1@1,0", "3@1,0", "60,59", "0.3{59}"},
           {"/", "9{38}@38,0", "3{20}@20,0", "40,20", "30{18}.029{17}7"},
           {"/", "9{38}@38,0", "3{20}@20,0", "38,20", "+Inf"},
           {"/", "-123456789012345678901234567890123456.78@38,2", "98765432109876543210.987@23,3",
            "56,36", "-1249999988609375.000142391093749550070208449660637863"},
           {"/", "1{21}.1{10}@31,10", "0.9876543210@31,10", "31,10",
            "112499999998593750000.0175781249"},
           {"/", "1{21}.1{10}@31,10", "0.0876543210@31,10", "31,10", "+Inf"},
           {"+", "9{38}@38,0", "0.0{37}1@38,38", "77,38", "9{38}.0{37}1"},
           {"-", "1@1,0", "0.0{37}1@38,38", "39,38", "0.9{38}"},
           {"-", "-9{38}@38,0", "0.0{37}1@38,38", "75,38", "-Inf"},
           {"-", "9{38}@38,0", "9{38}.0{37}@75,37", "80,40", "0.0{40}"}});
}

TEST(FixedRounding, ModesAndResultTypes) {
    check({{"round2", "999@3,0", "-4 7", "5,0", "0"}, {"round2", "999@3,0", "-4 4", "5,0", "10000"},
           {"round2", "2.5@2,1", "0 9", "2,1", "2.5"},  {"round2", "2.5@2,1", "0 -1", "2,1", "2.5"},
           {"round", "-0.4@2,1", "0", "2,1", "-0.0"}, {"round2", "0.96@2,2", "1 7", "2,2", "+Inf"},
           {"round", "2.5@2,1", "0", "2,1", "2.0"},     {"trunc", "-0.5@1,1", "0", "1,0", "-0"},
           {"trunc", "1.239@4,3", "5", "3,2", "1.23"},  {"round", "#1231@3,0", "0", "1,0", "#1f"}});
    // Rounding at the last digit of word-sized values into other types: the carry reaches a new
    // digit, the result's scale cuts or pads.
    check({{"round", "9{14}.9@15,1", "0", "16,1", "10{14}.0"},
           {"round", "9{14}.9@15,1", "0", "15,1", "+Inf"},
           {"round", "9{30}.5@31,1", "0", "32,0", "10{30}"},
           {"round", "9{29}.45@31,2", "1", "31,0", "9{29}"},
           {"round2", "-0.5@1,1", "0 4", "3,2", "-1.00"},
           {"round2", "-0.4@1,1", "0 3", "2,2", "-0.00"},
           {"round2", "9{37}.5@38,1", "0 6", "39,0", "10{37}"},
           {"round2", "9{38}@38,0", "-1 6", "39,0", "10{38}"},
           {"trunc", "-9{15}.9@16,1", "0", "20,3", "-9{15}.000"}});
    const char *up[] = {"2.34", "2.34", "2.35", "2.35", "2.35", "2.35", "2.34", "2.34"};
    const char *down[] = {"-2.35", "-2.34", "-2.34", "-2.35", "-2.34", "-2.35", "-2.34", "-2.34"};
    for (int mode = 1; mode <= 8; ++mode) {
        const std::string arg = "2 " + std::to_string(mode);
        check({{"round2", "2.345@4,3", arg.c_str(), "4,2", up[mode - 1]},
               {"round2", "-2.345@4,3", arg.c_str(), "4,2", down[mode - 1]}});
    }
}

TEST(FixedText, ReadingAndWriting) {
    check({{"read", "1@5,2", " 12.3x", "", "12.30 5"}, {"read", "1@5,2", "-.5", "", "-0.50 3"},
           {"read", "1@5,2", "+5", "", "1.00 0"},        {"read", "1@5,2", "NaN\x80", "", "NaN 3"},
           {"read", "1@5,2", "-Inf,", "", "-Inf 4"},     {"read", "1@5,2", "NaNa", "", "1.00 0"},
           {"read", "0.99@2,2", "-0", "", "-0.00 2"},    {"read", "0.99@2,2", "5", "", "0.99 0"},
           {"text", "123.45@5,2", "4", "", "123.4500"},  {"text", "2.5@2,1", "0", "", "2"},
           {"text", "99.95@4,2", "1", "", "100.0"},      {"text", "2.000@4,3", "-1", "", "2.0"},
           {"text", "-0@3,3", "-1", "", "-0.0"},
           {"length", "123.45@5,2", "2147483647", "", "2147483651"}});  // counted, not written
    kivFixedSetString(Value(3, 0).get(), "5", nullptr);  // end is optional
    // Values at the word limits, written in full and rounded at their last digits.
    check({{"text", "9{15}@15,0", "-1", "", "9{15}"},  {"text", "9{14}.9@15,1", "0", "", "10{14}"},
           {"text", "-9{31}@31,0", "-1", "", "-9{31}"}, {"text", "9{30}.5@31,1", "0", "", "10{30}"},
           {"text", "1.0{30}1@32,31", "-1", "", "1.0{30}1"},
           {"text", "-9{37}.5@38,1", "0", "", "-10{37}"},
           {"text", "9{39}@39,0", "2", "", "9{39}.00"},
           {"read", "1@38,0", "987654321098765432109876543210987654321", "", "87654321098765432109876543210987654321 39"},
           {"read", "1@40,2", "-98765432109876543210987654321098765432.109", "", "-98765432109876543210987654321098765432.10 43"}});
}

// A missing text reads nothing; a missing buffer only measures.
TEST(FixedText, NullTextAndBuffer) {
    Value v = parse("1.5@3,1");
    char sentinel = 0, *end = &sentinel;
    kivFixedSetString(v.get(), nullptr, &end);
    EXPECT_EQ(end, nullptr);
    kivFixedSetString(v.get(), nullptr, nullptr);
    EXPECT_EQ(v.text(), "1.5");
    EXPECT_EQ(kivFixedGetString(v.get(), 2, nullptr, 10), 4);
}

TEST(FixedLarge, SixtyFiveThousandDigitsAndExtremeScales) {
    check({{"+", "9{65535}@65535,0", "1@1,0", "65535,0", "+Inf"},
           {"+", "9{65535}@65535,0", "1@1,0", "65535,-1", "10{65535}"},
           {"/", "9{65535}@65535,0", "9{65535}@65535,0", "3,1", "1.0"},
           {"/", "9{65535}@65535,0", "3@1,0", "65535,0", "3{65535}"},
           {"*", "3{65535}@65535,0", "3@1,0", "65535,0", "9{65535}"},
           // (10^n - 1)^2 = 10^2n - 2 x 10^n + 1, truncated to a multiple of 10^14465.
           {"*", "9{40000}@40000,0", "9{40000}@40000,0", "65535,-14465", "9{39999}80{40000}"},
           // 10^2n / (10^n - 1) = 10^n + 1 remainder 1, for divisors in both scratch sizes.
           {"/", "10{2000}@2001,0", "9{1000}@1000,0", "1005,0", "10{999}1"},
           {"/", "9{1000}@1000,0", "10{2000}@2001,0", "1100,1099", "0.0{1000}9{99}"},
           {"/", "10{60000}@60001,0", "9{30000}@30000,0", "30005,0", "10{29999}1"},
           {"/", "9{30000}@30000,0", "10{60000}@60001,0", "30100,30099", "0.0{30000}9{99}"},
           {"*", "0.0{32766}1@1,32767", "50{32768}@1,-32768", "3,0", "50"},
           {"+", "0.0{32766}1@1,32767", "50{32768}@1,-32768", "3,0", "+Inf"},
           {"<", "0.0{32766}1@1,32767", "50{32768}@1,-32768", "", "1"},
           {"round2", "5@1,0", "-2147483648 4", "3,0", "+Inf"},
           {"round2", "5@1,0", "-2147483648 6", "3,0", "0"}});
}
// clang-format on

TEST(FixedText, RoundTripsEveryDigitCountAndScale) {
    const std::string pattern = "98765432109876543210987654321098765432109";
    for (int digits = 1; digits <= 41; ++digits) {
        for (int scale = -3; scale <= digits; ++scale) {
            const size_t whole = static_cast<size_t>(digits - std::max(scale, 0));
            std::string text = "-";
            text.append(pattern, 0, whole);
            if (scale > 0) {
                text.append(whole == 0 ? "0." : ".");
                text.append(pattern, whole, static_cast<size_t>(scale));
            }
            if (scale < 0) text.append(static_cast<size_t>(-scale), '0');
            EXPECT_EQ(
                parse(text + "@" + std::to_string(digits) + "," + std::to_string(scale)).text(),
                text);
        }
    }
}

}  // namespace
