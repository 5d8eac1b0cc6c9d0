// SPDX-License-Identifier: Apache-2.0
// kiv fixed OP A [B] --type DIGITS,SCALE [--mode NAME] [--precision P]: exact decimal
// arithmetic on kivFixed values. Operands are read into types just wide enough for their text;
// the result takes the type given with --type and is written with kivFixedGetString.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"

namespace kivtool {
namespace {

// A record with its own storage.
class Value {
  public:
    Value(uint16_t digits, int16_t scale) : storage_(KIV_FIXED_SIZE(digits)) {
        kivFixedInit(storage_.data(), digits, scale);
    }
    kivFixed *get() { return reinterpret_cast<kivFixed *>(storage_.data()); }
    const kivFixed *get() const { return reinterpret_cast<const kivFixed *>(storage_.data()); }

  private:
    std::vector<uint8_t> storage_;
};

struct Type {
    uint16_t digits;
    int16_t scale;
};

// The narrowest type that holds a number written as [-]digits[.digits] exactly, or one digit
// for the special words; nullopt when the text is anything else.
std::optional<Type> typeOf(std::string_view text) {
    if (text == "NaN" || text == "+Inf" || text == "-Inf") return Type{1, 0};
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
    auto allDigits = [](std::string_view s) {
        return s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (whole.empty() && fraction.empty()) return std::nullopt;
    if (!allDigits(whole) || !allDigits(fraction)) return std::nullopt;
    const size_t digits = std::max<size_t>(whole.size() + fraction.size(), 1);
    if (digits > 65535 || fraction.size() > 32767) return std::nullopt;
    return Type{static_cast<uint16_t>(digits), static_cast<int16_t>(fraction.size())};
}

std::optional<Value> readOperand(const char *text) {
    const auto type = typeOf(text);
    if (!type) return std::nullopt;
    Value v(type->digits, type->scale);
    char *end = nullptr;
    kivFixedSetString(v.get(), text, &end);
    if (end != text + std::strlen(text)) return std::nullopt;
    return v;
}

// DIGITS,SCALE with 0 <= DIGITS <= 65535 and -32768 <= SCALE <= DIGITS.
std::optional<Type> parseType(std::string_view text) {
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    int digits = 0, scale = 0;
    const auto [e1, r1] = std::from_chars(text.data(), text.data() + comma, digits);
    const auto [e2, r2] =
        std::from_chars(text.data() + comma + 1, text.data() + text.size(), scale);
    if (r1 != std::errc() || e1 != text.data() + comma || r2 != std::errc() ||
        e2 != text.data() + text.size())
        return std::nullopt;
    if (digits < 0 || digits > 65535 || scale < -32768 || scale > digits) return std::nullopt;
    return Type{static_cast<uint16_t>(digits), static_cast<int16_t>(scale)};
}

constexpr std::string_view kModes[] = {"none",         "floor",   "down",      "ceiling",  "up",
                                       "half-ceiling", "half-up", "half-even", "half-down"};

std::optional<int> parseMode(std::string_view name) {
    for (int i = 0; i < 9; ++i)
        if (kModes[i] == name) return i;
    return std::nullopt;
}

std::optional<int32_t> parseInt(std::string_view text) {
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string format(const kivFixed *v, int32_t precision) {
    std::string out(static_cast<size_t>(kivFixedGetString(v, precision, nullptr, 0)), '\0');
    kivFixedGetString(v, precision, out.data(), out.size() + 1);
    return out;
}

struct Operation {
    std::string_view name;
    int operands;
    bool needsType;  // produces a value of the --type
};

constexpr Operation kOperations[] = {
    {"add", 2, true},  {"sub", 2, true},   {"mul", 2, true},   {"div", 2, true},
    {"neg", 1, true},  {"cmp", 2, false},  {"round", 1, true}, {"trunc", 1, true},
    {"int", 1, false}, {"frac", 1, false},
};

struct Request {
    const Operation *op = nullptr;
    std::vector<const char *> operands;
    std::optional<Type> type;
    int mode = KIV_FIXED_ROUND_HALF_EVEN;
    std::optional<int32_t> precision;
    bool exitStatus = false;
};

constexpr OptionSpec kOptions[] = {
    {"--type", true},
    {"--mode", true},
    {"--precision", true},
    {"--exit-status", false},
};

// Fills the request from the arguments; an error message when they do not make one.
std::string parseRequest(Args args, Request &req) {
    std::string error;
    const auto options = Options::parse(args, 1, kOptions, error);
    if (!options) return error;
    const auto &words = options->operands();
    if (words.empty())
        return "expected an operation (add sub mul div neg cmp round trunc int frac)";
    for (const auto &op : kOperations)
        if (op.name == words[0]) req.op = &op;
    if (!req.op) return "unknown operation '" + std::string(words[0]) + "'";
    for (size_t i = 1; i < words.size(); ++i) req.operands.push_back(words[i].data());
    if (auto value = options->value("--type")) {
        req.type = parseType(*value);
        if (!req.type)
            return "--type must be DIGITS,SCALE (0 to 65535 digits, scale up to the digits)";
    }
    if (auto value = options->value("--mode")) {
        const auto mode = parseMode(*value);
        if (!mode) return "unknown rounding mode '" + std::string(*value) + "'";
        req.mode = *mode;
    }
    if (auto value = options->value("--precision")) {
        req.precision = parseInt(*value);
        if (!req.precision) return "--precision must be an integer";
    }
    req.exitStatus = options->has("--exit-status");
    if (req.exitStatus && req.op->name != "cmp") return "--exit-status applies to cmp only";
    if (static_cast<int>(req.operands.size()) != req.op->operands)
        return std::string(req.op->name) + " takes " +
               (req.op->operands == 1 ? "one operand" : "two operands");
    if (req.op->needsType && !req.type)
        return std::string(req.op->name) + " needs --type DIGITS,SCALE";
    return "";
}

// The relation of a to b, and the exit status that --exit-status gives it: 0 equal, 1 less,
// 3 greater, 4 unordered. 2 is left to wrong usage, as everywhere in the tool.
struct Relation {
    const char *name;
    int status;
};

Relation relation(const kivFixed *a, const kivFixed *b) {
    if (kivFixedCmp(a, b, KIV_FIXED_LT)) return {"less", 1};
    if (kivFixedCmp(a, b, KIV_FIXED_GT)) return {"greater", 3};
    if (kivFixedCmp(a, b, KIV_FIXED_EQ)) return {"equal", 0};
    return {"unordered", 4};
}

}  // namespace

int runFixed(Args args) {
    Request req;
    if (const std::string error = parseRequest(args, req); !error.empty())
        return usageError("fixed: " + error);
    std::vector<Value> operands;
    for (const char *text : req.operands) {
        auto v = readOperand(text);
        if (!v) return usageError(std::string("fixed: not a number: '") + text + "'");
        operands.push_back(std::move(*v));
    }
    const kivFixed *a = operands[0].get();
    const kivFixed *b = operands.size() > 1 ? operands[1].get() : nullptr;
    const std::string_view name = req.op->name;
    if (name == "cmp") {
        const Relation r = relation(a, b);
        std::printf("%s\n", r.name);
        return req.exitStatus ? r.status : kExitOk;
    }
    if (name == "int") return std::printf("%d\n", kivFixedIntegerPart(a)), kExitOk;
    if (name == "frac") return std::printf("%d\n", kivFixedFractionPart(a)), kExitOk;

    Value result(req.type->digits, req.type->scale);
    kivFixed *r = result.get();
    if (name == "add") kivFixedAdd(r, a, b);
    if (name == "sub") kivFixedSub(r, a, b);
    if (name == "mul") kivFixedMul(r, a, b);
    if (name == "div") kivFixedDiv(r, a, b);
    if (name == "neg") kivFixedNegate(r, a);
    if (name == "round") kivFixedRound2(r, a, req.type->scale, req.mode);
    if (name == "trunc") kivFixedTruncate(r, a, req.type->scale);
    const int32_t precision = req.precision.value_or(std::max<int32_t>(req.type->scale, 0));
    std::printf("%s\n", format(r, precision).c_str());
    return kExitOk;
}

}  // namespace kivtool
