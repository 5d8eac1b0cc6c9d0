// SPDX-License-Identifier: Apache-2.0
// Runs kivFixed cases read from stdin, written by oracle.py together with the outcome an exact
// decimal model expects, and reports every difference. A case is one line OP ARG... = EXPECTED;
// an ARG is a record DIGITS:SCALE:PACKEDHEX, the result's type DIGITS:SCALE, a text x<HEX> or a
// number. An operation with a result type writes a fresh record of that type, whose packed bytes
// lead the outcome. Each case runs by the public function and both algorithm paths, these again
// with the result record being an operand whenever the types allow.
#include <bit>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixed/fixed.h"

namespace {

using namespace kiv::fixed;
using Bytes = std::vector<uint8_t>;  // a record of exactly KIV_FIXED_SIZE bytes

kivFixed *rec(const Bytes &b) {
    return reinterpret_cast<kivFixed *>(const_cast<uint8_t *>(b.data()));
}

Bytes record(int digits, int scale, const std::string &packed) {
    const kivFixed head{static_cast<uint16_t>(digits), static_cast<int16_t>(scale), {}};
    Bytes b(reinterpret_cast<const uint8_t *>(&head), reinterpret_cast<const uint8_t *>(&head) + 4);
    return b.insert(b.end(), packed.begin(), packed.end()), b;
}

std::string hex(const char *p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += {"0123456789abcdef"[(p[i] >> 4) & 15], "0123456789abcdef"[p[i] & 15]};
    return out;
}

std::string unhex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out += static_cast<char>(std::stoi(h.substr(i, 2), 0, 16));
    return out;
}

std::string packedHex(const Bytes &b) {
    return hex(reinterpret_cast<const char *>(b.data()) + 4, b.size() - 4);
}

// A record decoded independently of the library: (digits,scale) value [packed bytes], the value
// as the digit string and its exponent.
std::string describe(const Bytes &b) {
    const std::string h = packedHex(b);
    const int digits = rec(b)->digits, state = std::stoi(h.substr(h.size() - 1), 0, 16);
    const std::string value = state == 12 || state == 13 ? h.substr(1 - digits % 2, digits) + "e" +
                                                               std::to_string(-rec(b)->scale)
                              : state == 10 || state == 11 ? "Inf"
                                                           : "NaN(" + std::to_string(state) + ")";
    std::string out = "(";  // appended piece by piece: GCC 12 misreads "(" + std::string&&
    out += std::to_string(digits) + "," + std::to_string(rec(b)->scale) + ") ";
    out += state == 11 || state == 13 ? "-" : "";
    return out + value + " [" + h + "]";
}

struct Case {
    std::string op, text, more;  // more: the expected outcomes other than the record
    int digits = -1, scale = 0;  // the result's type; digits -1 when there is none
    std::vector<Bytes> records;
    std::vector<int64_t> numbers;
    Bytes want;  // the expected result record
};

Case parse(const std::string &line) {
    std::istringstream in(line);
    Case c;
    in >> c.op;
    for (std::string t; in >> t && t != "=";) {
        const size_t colon = t.find(':'), second = t.find(':', colon + 1);
        if (t[0] == 'x') {
            c.text = unhex(t.substr(1));
        } else if (colon == std::string::npos) {
            c.numbers.push_back(std::stoll(t));
        } else if (second == std::string::npos) {
            c.digits = std::stoi(t), c.scale = std::stoi(t.substr(colon + 1));
        } else {
            c.records.push_back(
                record(std::stoi(t), std::stoi(t.substr(colon + 1)), unhex(t.substr(second + 1))));
            if (c.records.back().size() != KIV_FIXED_SIZE(std::stoi(t)))
                throw std::runtime_error("bad record " + t);
        }
    }
    std::string packed;
    if (c.digits >= 0) in >> packed, c.want = record(c.digits, c.scale, unhex(packed));
    std::getline(in >> std::ws, c.more);
    c.numbers.resize(2);
    return c;
}

// Runs a case by a variant (Path::Fast, Path::General or, for kPublic, the public function)
// into r; returns the outcomes other than r. round and trunc get the mode they stand for.
constexpr int kPublic = 2;
std::string run(const Case &c, kivFixed *r, const kivFixed *const *a, int variant) {
    const bool pub = variant == kPublic;
    const Path p = variant == 0 ? Path::Fast : Path::General;
    const auto n0 = static_cast<int32_t>(c.numbers[0]), n1 = static_cast<int32_t>(c.numbers[1]);
    const std::string &op = c.op;
    if (op == "add") pub ? kivFixedAdd(r, a[0], a[1]) : addFixed(r, a[0], a[1], false, p);
    if (op == "sub") pub ? kivFixedSub(r, a[0], a[1]) : addFixed(r, a[0], a[1], true, p);
    if (op == "mul") pub ? kivFixedMul(r, a[0], a[1]) : mulFixed(r, a[0], a[1], p);
    if (op == "div") pub ? kivFixedDiv(r, a[0], a[1]) : divFixed(r, a[0], a[1], p);
    if (op == "neg") pub ? kivFixedNegate(r, a[0]) : negateFixed(r, a[0], p);
    if (op == "round2") pub ? kivFixedRound2(r, a[0], n0, n1) : roundFixed(r, a[0], n0, n1, p);
    if (op == "round") pub ? kivFixedRound(r, a[0], n0) : roundFixed(r, a[0], n0, n1, p);
    if (op == "trunc") pub ? kivFixedTruncate(r, a[0], n0) : roundFixed(r, a[0], n0, n1, p);
    if (op == "set") kivFixedSet(r, n0, n1);
    if (op == "setd") kivFixedSetDouble(r, std::bit_cast<double>(c.numbers[0]));
    if (op == "cmp")
        return std::to_string(pub ? kivFixedCmp(a[0], a[1], n0) : cmpFixed(a[0], a[1], n0, p));
    if (op == "parts")
        return std::to_string(kivFixedIntegerPart(a[0])) + " " +
               std::to_string(kivFixedFractionPart(a[0]));
    const double x = op == "getd" ? kivFixedGetDouble(a[0]) : 0;
    if (op == "getd") return std::isnan(x) ? "nan" : std::to_string(std::bit_cast<int64_t>(x));
    if (op == "sets") {  // into r holding the record a[0]
        std::memmove(r->packed, a[0]->packed, r->digits / 2u + 1u);
        char *end = nullptr;
        pub ? kivFixedSetString(r, c.text.c_str(), &end)
            : setStringFixed(r, c.text.c_str(), &end, p);
        return std::to_string(end - c.text.c_str());
    }
    if (op != "gets") return {};
    // The text up to its NUL, and nothing after that touched.
    std::string buf(static_cast<size_t>(n1) + 16, 'Z');
    const int64_t n = pub ? kivFixedGetString(a[0], n0, buf.data(), static_cast<size_t>(n1))
                          : getStringFixed(a[0], n0, buf.data(), static_cast<size_t>(n1), p);
    const size_t end = n1 ? std::min(buf.find('\0'), buf.size() - 1) : 0;
    const bool intact = buf.find_first_not_of('Z', n1 ? end + 1 : 0) == std::string::npos;
    std::string out = "x";
    out += hex(buf.data(), end) + " " + std::to_string(n);
    return out + (intact ? "" : " overwritten");
}

std::map<std::string, size_t> counts;
size_t mismatches = 0;

void compare(const std::string &line, const Case &c, int variant, int alias, const Bytes &r,
             const std::string &more) {
    ++counts[c.op];
    if ((c.digits < 0 || r == c.want) && more == c.more) return;
    if (++mismatches > 25) return;
    const char *variants[] = {"fast", "general", "public"};
    std::cout << "MISMATCH [" << variants[variant]
              << (alias < 0 ? "" : ", result is operand " + std::to_string(alias)) << "] " << line
              << "\n";
    for (const Bytes &b : c.records) std::cout << "  operand  " << describe(b) << "\n";
    if (c.digits >= 0)
        std::cout << "  expected " << describe(c.want) << "\n  got      " << describe(r) << "\n";
    if (c.digits < 0 || more != c.more)
        std::cout << "  expected " << c.more << "\n  got      " << more << "\n";
    std::cout.flush();
}

void check(const std::string &line) {
    const Case c = parse(line);
    std::vector<const kivFixed *> a;
    for (const Bytes &b : c.records) a.push_back(rec(b));
    const std::string garbage(c.digits < 0 ? 0 : c.digits / 2 + 1, '\x77');  // to be overwritten
    const bool paths = c.op != "set" && c.op != "setd" && c.op != "getd" && c.op != "parts";
    for (int v = paths ? 0 : kPublic; v <= kPublic; ++v) {
        const Bytes r = record(c.digits, c.scale, garbage);
        compare(line, c, v, -1, r, run(c, c.digits < 0 ? nullptr : rec(r), a.data(), v));
        for (size_t i = 0; i < c.records.size() && c.digits >= 0 && v != kPublic; ++i) {
            if (std::memcmp(c.records[i].data(), r.data(), 4) != 0) continue;
            const Bytes alias = c.records[i];
            std::vector<const kivFixed *> b = a;
            b[i] = rec(alias);
            compare(line, c, v, static_cast<int>(i), alias, run(c, rec(alias), b.data(), v));
        }
    }
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    for (std::string line; std::getline(std::cin, line);) check(line);
    size_t total = 0;
    for (const auto &[op, n] : counts) std::cout << op << ": " << n << " checks\n", total += n;
    std::cout << "total: " << total << " checks, " << mismatches << " mismatches" << std::endl;
    return mismatches == 0 && total > 0 ? 0 : 1;
}
