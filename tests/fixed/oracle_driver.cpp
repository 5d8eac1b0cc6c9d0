// Runs kivFixed cases read from stdin (written by oracle.py together with the results an
// independent decimal model expects) and reports every difference.
//
// Line formats (records are DIGITS:SCALE:PACKEDHEX, result types DIGITS:SCALE):
//   add|sub|mul|div TYPE A B EXPECTED      neg TYPE A EXPECTED
//   round2 TYPE A SCALE MODE EXPECTED      round|trunc TYPE A SCALE EXPECTED
//   cmp A B OP EXPECTED                    ipart|fpart A EXPECTED
//   set TYPE INT FRACTION EXPECTED         setd TYPE DOUBLEBITS EXPECTED   getd A DOUBLEBITS
//   sets RECORD TEXTHEX EXPECTED ENDOFFSET gets A PRECISION SIZE TEXTHEX LENGTH
// Arithmetic and rounding run on both algorithm paths, and again with the result record being
// an operand whenever the types allow.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fixed/fixed.h"

namespace {

using kiv::fixed::Path;

struct Record {
    std::unique_ptr<uint8_t[]> bytes;
    kivFixed *get() const { return reinterpret_cast<kivFixed *>(bytes.get()); }
    size_t packedSize() const { return get()->digits / 2u + 1u; }
};

Record makeRecord(int digits, int scale) {
    Record r{std::make_unique<uint8_t[]>(KIV_FIXED_SIZE(digits))};
    r.get()->digits = static_cast<uint16_t>(digits);
    r.get()->scale = static_cast<int16_t>(scale);
    std::memset(r.get()->packed, 0x77, r.packedSize());  // garbage the result must overwrite
    return r;
}

std::string fromHex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string toHex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::pair<int, int> parseType(const std::string &token) {
    const size_t colon = token.find(':');
    return {std::stoi(token.substr(0, colon)), std::stoi(token.substr(colon + 1))};
}

Record parseRecord(const std::string &token) {
    const size_t second = token.find(':', token.find(':') + 1);
    auto [digits, scale] = parseType(token.substr(0, second));
    Record r = makeRecord(digits, scale);
    const std::string bytes = fromHex(token.substr(second + 1));
    if (bytes.size() != r.packedSize())
        throw std::runtime_error("packed length does not match " + token);
    std::memcpy(r.get()->packed, bytes.data(), bytes.size());
    return r;
}

Record copyOf(const Record &r) {
    Record c = makeRecord(r.get()->digits, r.get()->scale);
    std::memcpy(c.get()->packed, r.get()->packed, r.packedSize());
    return c;
}

// A record in readable form, decoded here independently of the library: (digits,scale) value
// [packed bytes].
std::string describe(const kivFixed *v) {
    const size_t n = v->digits / 2u + 1u;
    const uint8_t *p = v->packed;
    const std::string hex = toHex(p, n);
    std::ostringstream out;
    out << '(' << v->digits << ',' << v->scale << ") ";
    const int state = p[n - 1] & 15;
    if (state == 12 || state == 13) {
        std::string digits = hex.substr(v->digits % 2 ? 0 : 1, v->digits);
        if (v->scale < 0) digits += std::string(static_cast<size_t>(-v->scale), '0');
        if (v->scale > 0) {
            if (digits.size() < size_t(v->scale) + 1)
                digits.insert(0, size_t(v->scale) + 1 - digits.size(), '0');
            digits.insert(digits.size() - size_t(v->scale), ".");
        }
        out << (state == 13 ? "-" : "") << (digits.empty() ? "0" : digits);
    } else {
        out << (state == 10 ? "+Inf" : state == 11 ? "-Inf" : "NaN(" + std::to_string(state) + ")");
    }
    out << " [" << hex << ']';
    return out.str();
}

class Checker {
  public:
    void check(bool ok, const std::string &line, const std::string &variant,
               const std::string &detail) {
        ++counts_[opName(line)];
        if (ok) return;
        if (++mismatches_ <= 25) {
            std::cout << "MISMATCH [" << variant << "] " << line << "\n" << detail << std::endl;
        }
    }
    void checkRecord(const kivFixed *got, const std::string &expectedHex, const std::string &line,
                     const std::string &variant, const std::string &operands) {
        const std::string gotHex = toHex(got->packed, got->digits / 2u + 1u);
        if (gotHex == expectedHex) return check(true, line, variant, "");
        Record want = makeRecord(got->digits, got->scale);
        const std::string bytes = fromHex(expectedHex);
        std::memcpy(want.get()->packed, bytes.data(), std::min(bytes.size(), want.packedSize()));
        check(false, line, variant,
              operands + "  expected: " + describe(want.get()) + "\n  got:      " + describe(got));
    }
    int report() const {
        size_t total = 0;
        for (const auto &[op, n] : counts_) {
            std::cout << op << ": " << n << " checks\n";
            total += n;
        }
        std::cout << "total: " << total << " checks, " << mismatches_ << " mismatches" << std::endl;
        return mismatches_ == 0 && total > 0 ? 0 : 1;
    }

  private:
    static std::string opName(const std::string &line) { return line.substr(0, line.find(' ')); }
    std::map<std::string, size_t> counts_;
    size_t mismatches_ = 0;
};

using Binary = std::function<void(kivFixed *, const kivFixed *, const kivFixed *, Path)>;
using Unary = std::function<void(kivFixed *, const kivFixed *, Path)>;

const std::map<std::string, Binary> kBinary = {
    {"add", [](kivFixed *r, const kivFixed *a, const kivFixed *b,
               Path p) { kiv::fixed::addFixed(r, a, b, false, p); }},
    {"sub", [](kivFixed *r, const kivFixed *a, const kivFixed *b,
               Path p) { kiv::fixed::addFixed(r, a, b, true, p); }},
    {"mul", [](kivFixed *r, const kivFixed *a, const kivFixed *b,
               Path p) { kiv::fixed::mulFixed(r, a, b, p); }},
    {"div", [](kivFixed *r, const kivFixed *a, const kivFixed *b,
               Path p) { kiv::fixed::divFixed(r, a, b, p); }},
};

const char *pathName(Path p) {
    return p == Path::Fast ? "fast" : "general";
}

void runBinary(Checker &c, const std::string &line, std::istringstream &in, const Binary &op,
               const std::string &name) {
    std::string type, ta, tb, expected;
    in >> type >> ta >> tb >> expected;
    auto [digits, scale] = parseType(type);
    const Record a = parseRecord(ta), b = parseRecord(tb);
    const std::string operands =
        "  a = " + describe(a.get()) + "\n  b = " + describe(b.get()) + "\n";
    for (Path p : {Path::Fast, Path::General}) {
        Record r = makeRecord(digits, scale);
        op(r.get(), a.get(), b.get(), p);
        c.checkRecord(r.get(), expected, line, pathName(p), operands);
        if (a.get()->digits == digits && a.get()->scale == scale) {
            Record alias = copyOf(a);
            op(alias.get(), alias.get(), b.get(), p);
            c.checkRecord(alias.get(), expected, line, std::string(pathName(p)) + ", result is a",
                          operands);
        }
        if (b.get()->digits == digits && b.get()->scale == scale) {
            Record alias = copyOf(b);
            op(alias.get(), a.get(), alias.get(), p);
            c.checkRecord(alias.get(), expected, line, std::string(pathName(p)) + ", result is b",
                          operands);
        }
    }
    // The public entry point as well.
    Record r = makeRecord(digits, scale);
    if (name == "add") kivFixedAdd(r.get(), a.get(), b.get());
    if (name == "sub") kivFixedSub(r.get(), a.get(), b.get());
    if (name == "mul") kivFixedMul(r.get(), a.get(), b.get());
    if (name == "div") kivFixedDiv(r.get(), a.get(), b.get());
    c.checkRecord(r.get(), expected, line, "public", operands);
}

void runUnary(Checker &c, const std::string &line, const std::string &type, const Record &a,
              const std::string &expected, const Unary &op) {
    auto [digits, scale] = parseType(type);
    const std::string operands = "  a = " + describe(a.get()) + "\n";
    for (Path p : {Path::Fast, Path::General}) {
        Record r = makeRecord(digits, scale);
        op(r.get(), a.get(), p);
        c.checkRecord(r.get(), expected, line, pathName(p), operands);
        if (a.get()->digits == digits && a.get()->scale == scale) {
            Record alias = copyOf(a);
            op(alias.get(), alias.get(), p);
            c.checkRecord(alias.get(), expected, line, std::string(pathName(p)) + ", result is a",
                          operands);
        }
    }
}

uint64_t bitsOf(double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    return u;
}

void runLine(Checker &c, const std::string &line) {
    std::istringstream in(line);
    std::string op;
    in >> op;
    if (auto it = kBinary.find(op); it != kBinary.end())
        return runBinary(c, line, in, it->second, op);

    if (op == "neg") {
        std::string type, ta, expected;
        in >> type >> ta >> expected;
        return runUnary(
            c, line, type, parseRecord(ta), expected,
            [](kivFixed *r, const kivFixed *a, Path p) { kiv::fixed::negateFixed(r, a, p); });
    }
    if (op == "round2" || op == "round" || op == "trunc") {
        std::string type, ta, expected;
        int64_t scale;
        int mode = op == "round" ? KIV_FIXED_ROUND_HALF_EVEN : KIV_FIXED_ROUND_DOWN;
        in >> type >> ta >> scale;
        if (op == "round2") in >> mode;
        in >> expected;
        const Record a = parseRecord(ta);
        runUnary(c, line, type, a, expected, [&](kivFixed *r, const kivFixed *v, Path p) {
            kiv::fixed::roundFixed(r, v, scale, mode, p);
        });
        auto [digits, rscale] = parseType(type);
        Record r = makeRecord(digits, rscale);
        if (op == "round2") kivFixedRound2(r.get(), a.get(), static_cast<int32_t>(scale), mode);
        if (op == "round") kivFixedRound(r.get(), a.get(), static_cast<int32_t>(scale));
        if (op == "trunc") kivFixedTruncate(r.get(), a.get(), static_cast<int32_t>(scale));
        return c.checkRecord(r.get(), expected, line, "public",
                             "  a = " + describe(a.get()) + "\n");
    }
    if (op == "cmp") {
        std::string ta, tb;
        int rel, expected;
        in >> ta >> tb >> rel >> expected;
        const Record a = parseRecord(ta), b = parseRecord(tb);
        for (Path p : {Path::Fast, Path::General}) {
            const int got = kiv::fixed::cmpFixed(a.get(), b.get(), rel, p);
            c.check(got == expected, line, pathName(p),
                    "  a = " + describe(a.get()) + "\n  b = " + describe(b.get()) +
                        "\n  expected " + std::to_string(expected) + ", got " +
                        std::to_string(got));
        }
        return;
    }
    if (op == "ipart" || op == "fpart") {
        std::string ta;
        int64_t expected;
        in >> ta >> expected;
        const Record a = parseRecord(ta);
        const int32_t got =
            op == "ipart" ? kivFixedIntegerPart(a.get()) : kivFixedFractionPart(a.get());
        return c.check(got == expected, line, "public",
                       "  a = " + describe(a.get()) + "\n  expected " + std::to_string(expected) +
                           ", got " + std::to_string(got));
    }
    if (op == "set" || op == "setd") {
        std::string type, expected;
        in >> type;
        auto [digits, scale] = parseType(type);
        Record r = makeRecord(digits, scale);
        std::string input;
        if (op == "set") {
            int64_t whole, units;
            in >> whole >> units >> expected;
            kivFixedSet(r.get(), static_cast<int32_t>(whole), static_cast<int32_t>(units));
            input = std::to_string(whole) + ", " + std::to_string(units);
        } else {
            std::string bits;
            in >> bits >> expected;
            const uint64_t u = std::stoull(bits, nullptr, 16);
            double x;
            std::memcpy(&x, &u, 8);
            kivFixedSetDouble(r.get(), x);
            char text[64];
            std::snprintf(text, sizeof text, "%.17g", x);
            input = text;
        }
        return c.checkRecord(r.get(), expected, line, "public", "  input " + input + "\n");
    }
    if (op == "getd") {
        std::string ta, bits;
        in >> ta >> bits;
        const Record a = parseRecord(ta);
        const double got = kivFixedGetDouble(a.get());
        const uint64_t want = std::stoull(bits, nullptr, 16);
        double wantValue;
        std::memcpy(&wantValue, &want, 8);
        const bool same = bitsOf(got) == want || (std::isnan(got) && std::isnan(wantValue));
        char detail[160];
        std::snprintf(detail, sizeof detail, "  expected %.17g (%016llx), got %.17g (%016llx)",
                      wantValue, static_cast<unsigned long long>(want), got,
                      static_cast<unsigned long long>(bitsOf(got)));
        return c.check(same, line, "public", "  a = " + describe(a.get()) + "\n" + detail);
    }
    if (op == "sets") {
        std::string tr, textHex, expected;
        ptrdiff_t expectedEnd;
        in >> tr >> textHex >> expected >> expectedEnd;
        const std::string text = fromHex(textHex);
        for (Path p : {Path::Fast, Path::General}) {
            Record r = parseRecord(tr);
            char *end = nullptr;
            kiv::fixed::setStringFixed(r.get(), text.c_str(), &end, p);
            c.checkRecord(r.get(), expected, line, pathName(p), "  text \"" + text + "\"\n");
            c.check(end - text.c_str() == expectedEnd, line, pathName(p),
                    "  text \"" + text + "\": expected end " + std::to_string(expectedEnd) +
                        ", got " + std::to_string(end - text.c_str()));
        }
        return;
    }
    if (op == "gets") {
        std::string ta, textHex;
        int32_t precision;
        size_t size;
        int64_t length;
        in >> ta >> precision >> size >> textHex >> length;
        const Record a = parseRecord(ta);
        const std::string want = textHex == "-" ? "" : fromHex(textHex);
        for (Path p : {Path::Fast, Path::General}) {
            std::vector<char> buffer(size + 16, '\x5a');
            const int64_t got =
                kiv::fixed::getStringFixed(a.get(), precision, buffer.data(), size, p);
            // The stored prefix, its terminator, and nothing after it.
            std::string stored;
            bool intact = true;
            if (size > 0) {
                const size_t n =
                    std::min<size_t>(static_cast<size_t>(std::max<int64_t>(got, 0)), size - 1);
                stored.assign(buffer.data(), n);
                intact = buffer[n] == '\0';
                for (size_t i = n + 1; i < buffer.size(); ++i)
                    intact = intact && buffer[i] == '\x5a';
            } else {
                for (char ch : buffer) intact = intact && ch == '\x5a';
            }
            c.check(got == length && stored == want && intact, line, pathName(p),
                    "  a = " + describe(a.get()) + "\n  expected \"" + want + "\" (" +
                        std::to_string(length) + "), got \"" + stored + "\" (" +
                        std::to_string(got) + ")" +
                        (intact ? "" : ", buffer written outside the text"));
        }
        return;
    }
    throw std::runtime_error("unknown case: " + line);
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    Checker checker;
    std::string line;
    size_t lines = 0;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        ++lines;
        try {
            runLine(checker, line);
        } catch (const std::exception &e) {
            std::cout << "BAD CASE " << line << ": " << e.what() << std::endl;
            return 2;
        }
    }
    std::cout << "cases: " << lines << "\n";
    return checker.report();
}
