// SPDX-License-Identifier: Apache-2.0
// Values as text: IDL literal syntax and JSON, read and written against a type; member
// signatures in IDL.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "native.h"
#include "core/utf8.h"

// The Intel decimal library's by-value entry points (libbidgcc000: rounding mode and flags as
// arguments); its header does not compile as C++.
extern "C" {
struct alignas(16) BidUint128 {
    uint64_t w[2];
};
uint32_t __bid32_from_string(char *s, unsigned rnd, unsigned *flags);
uint64_t __bid64_from_string(char *s, unsigned rnd, unsigned *flags);
BidUint128 __bid128_from_string(char *s, unsigned rnd, unsigned *flags);
void __bid32_to_string(char *s, uint32_t x, unsigned *flags);
void __bid64_to_string(char *s, uint64_t x, unsigned *flags);
void __bid128_to_string(char *s, BidUint128 x, unsigned *flags);
}

namespace kcall {

namespace {

constexpr int kMaxNesting = 128;
constexpr unsigned kBidNearestEven = 0;
constexpr unsigned kBidInvalid = 0x01;

// ---- UTF-8 and UTF-16 ----------------------------------------------------------------------

using kiv::appendUtf8;

// Decodes one UTF-8 sequence at text[i]; false for invalid input.
bool nextUtf8(std::string_view text, size_t &i, uint32_t &cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    cp = byte(i);
    size_t extra = cp < 0x80         ? 0
                   : (cp >> 5) == 6  ? 1
                   : (cp >> 4) == 14 ? 2
                   : (cp >> 3) == 30 ? 3
                                     : 9;
    if (extra == 9 || i + extra >= text.size() + (extra ? 0 : 1)) return false;
    if (extra) cp &= 0x3Fu >> extra;
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return false;
    i += extra + 1;
    return true;
}

bool utf8ToUtf16(std::string_view text, std::u16string &out) {
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        if (!nextUtf8(text, i, cp)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return true;
}

// ---- Reading -------------------------------------------------------------------------------

class Reader {
  public:
    Reader(std::string_view text, bool json) : text_(text), json_(json) {}
    kivResult read(const Type *type, kcallValue &out);

  private:
    kivResult value(const Type *type, kcallValue &out, int depth);
    kivResult integer(const Type *type, kcallValue &out);
    kivResult number(const Type *type, kcallValue &out);
    kivResult decimal(const Type *type, kcallValue &out);
    kivResult character(const Type *type, kcallValue &out);
    kivResult enumerator(const Type *type, kcallValue &out);
    kivResult string(const Type *type, kcallValue &out);
    kivResult structure(const Type *type, kcallValue &out, int depth);
    kivResult list(const Type *type, kcallValue &out, int depth);
    kivResult unionValue(const Type *type, kcallValue &out, int depth);
    kivResult reference(const Type *type, kcallValue &out);

    bool quoted(std::string &out);  // a quoted literal at pos_, as UTF-8
    bool escape(std::string &out, bool wide);
    std::string_view word();  // identifier characters, digits, signs, dots, `::`
    void skip();
    bool eat(char c);
    kivResult syntax(const std::string &what);

    std::string_view text_;
    bool json_;
    size_t pos_ = 0;
};

kivResult Reader::syntax(const std::string &what) {
    return fail(KCALL_E_SYNTAX, what + " at offset " + std::to_string(pos_));
}

void Reader::skip() {
    while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_]) && text_[pos_]) ++pos_;
}

bool Reader::eat(char c) {
    skip();
    if (pos_ < text_.size() && text_[pos_] == c) {
        ++pos_;
        return true;
    }
    return false;
}

std::string_view Reader::word() {
    skip();
    size_t start = pos_;
    while (pos_ < text_.size()) {
        char c = text_[pos_];
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '+' || c == '-' ||
            c == '.')
            ++pos_;
        else if (c == ':' && pos_ + 1 < text_.size() && text_[pos_ + 1] == ':')
            pos_ += 2;  // a scoped name; a lone colon ends the word (union case)
        else
            break;
    }
    return text_.substr(start, pos_ - start);
}

bool Reader::escape(std::string &out, bool wide) {
    if (pos_ >= text_.size()) return false;
    char c = text_[pos_++];
    auto hex = [&](int digits, uint32_t &v) {
        v = 0;
        for (int i = 0; i < digits; ++i) {
            if (pos_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[pos_])))
                return i > 0 && digits == 2;  // \x takes one or two digits
            char d = text_[pos_++];
            v = v * 16 +
                (std::isdigit(static_cast<unsigned char>(d)) ? d - '0' : (d | 0x20) - 'a' + 10);
        }
        return true;
    };
    uint32_t v = 0;
    switch (c) {
        case 'n':
            out += '\n';
            return true;
        case 't':
            out += '\t';
            return true;
        case 'r':
            out += '\r';
            return true;
        case 'b':
            out += '\b';
            return true;
        case 'f':
            out += '\f';
            return true;
        case 'v':
            if (json_) return false;
            out += '\v';
            return true;
        case 'a':
            if (json_) return false;
            out += '\a';
            return true;
        case '\\':
        case '"':
        case '/':
            out += c;
            return true;
        case '\'':
        case '?':
            if (json_) return false;
            out += c;
            return true;
        case 'x':
            if (json_ || !hex(2, v)) return false;
            if (wide)
                appendUtf8(out, v);
            else
                out += static_cast<char>(v);
            return true;
        case 'u': {
            if (!hex(4, v)) return false;
            if (v >= 0xD800 && v < 0xDC00 && pos_ + 1 < text_.size() && text_[pos_] == '\\' &&
                text_[pos_ + 1] == 'u') {
                pos_ += 2;
                uint32_t low = 0;
                if (!hex(4, low) || low < 0xDC00 || low >= 0xE000) return false;
                v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
            } else if (v >= 0xD800 && v < 0xE000) {
                return false;
            }
            appendUtf8(out, v);
            return true;
        }
        case 'U':
            if (json_ || !hex(8, v) || v > 0x10FFFF || (v >= 0xD800 && v < 0xE000)) return false;
            appendUtf8(out, v);
            return true;
        default:
            if (!json_ && c >= '0' && c <= '7') {
                v = static_cast<uint32_t>(c - '0');
                for (int i = 0;
                     i < 2 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++i)
                    v = v * 8 + static_cast<uint32_t>(text_[pos_++] - '0');
                if (v > 255) return false;
                if (wide)
                    appendUtf8(out, v);
                else
                    out += static_cast<char>(v);
                return true;
            }
            return false;
    }
}

bool Reader::quoted(std::string &out) {
    skip();
    bool wide = false;
    if (!json_ && pos_ < text_.size() && text_[pos_] == 'L') {
        wide = true;
        ++pos_;
    }
    if (pos_ >= text_.size()) return false;
    const char quote = text_[pos_];
    if (quote != '"' && (json_ || quote != '\'')) return false;
    ++pos_;
    while (pos_ < text_.size() && text_[pos_] != quote) {
        char c = text_[pos_];
        if (static_cast<unsigned char>(c) < 0x20 && json_) return false;
        if (c == '\\') {
            ++pos_;
            if (!escape(out, wide)) return false;
        } else {
            out += c;
            ++pos_;
        }
    }
    if (pos_ >= text_.size()) return false;
    ++pos_;
    return true;
}

kivResult Reader::read(const Type *type, kcallValue &out) {
    kcallValue v{};
    kivResult rc = value(type, v, 0);
    if (KIV_SUCCEEDED(rc)) {
        skip();
        if (pos_ != text_.size()) rc = syntax("text after the value");
    }
    if (KIV_FAILED(rc)) {
        kcallValueClear(&v);
        return rc;
    }
    out = v;
    return 0;
}

kivResult Reader::value(const Type *type, kcallValue &out, int depth) {
    if (depth > kMaxNesting) return syntax("values nested too deeply");
    switch (type->kind) {
        case KIV_TYPE_BOOLEAN: {
            std::string_view w = word();
            if (w == "TRUE" || w == "true" || w == "1")
                out.v.boolean = 1;
            else if (w == "FALSE" || w == "false" || w == "0")
                out.v.boolean = 0;
            else
                return syntax("expected TRUE or FALSE");
            out.kind = KIV_TYPE_BOOLEAN;
            return 0;
        }
        case KIV_TYPE_OCTET:
        case KIV_TYPE_SHORT:
        case KIV_TYPE_USHORT:
        case KIV_TYPE_LONG:
        case KIV_TYPE_ULONG:
        case KIV_TYPE_LONGLONG:
        case KIV_TYPE_ULONGLONG:
            return integer(type, out);
        case KIV_TYPE_CHAR:
        case KIV_TYPE_WCHAR:
            return character(type, out);
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_DOUBLE:
            return number(type, out);
        case KIV_TYPE_DECIMAL32:
        case KIV_TYPE_DECIMAL64:
        case KIV_TYPE_DECIMAL128:
            return decimal(type, out);
        case KIV_TYPE_ENUM:
            return enumerator(type, out);
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING:
            return string(type, out);
        case KIV_TYPE_STRUCT:
            return structure(type, out, depth);
        case KIV_TYPE_SEQUENCE:
        case KIV_TYPE_ARRAY:
            return list(type, out, depth);
        case KIV_TYPE_UNION:
            return unionValue(type, out, depth);
        case KIV_TYPE_INTERFACE:
            return reference(type, out);
        default:
            return fail(KCALL_E_KIND, "a type without values");
    }
}

// Reads an integer token into a value of the type's exact kind (range checked).
kivResult Reader::integer(const Type *type, kcallValue &out) {
    std::string_view w = word();
    bool negative = false;
    size_t i = 0;
    if (i < w.size() && (w[i] == '-' || w[i] == '+')) negative = w[i++] == '-';
    unsigned base = 10;
    if (!json_ && w.size() > i + 1 && w[i] == '0' && (w[i + 1] == 'x' || w[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= w.size()) return syntax("expected an integer");
    __int128 n = 0;
    for (; i < w.size(); ++i) {
        char c = w[i];
        unsigned d = std::isdigit(static_cast<unsigned char>(c)) ? unsigned(c - '0')
                     : std::isxdigit(static_cast<unsigned char>(c)) && base == 16
                         ? unsigned((c | 0x20) - 'a' + 10)
                         : 99;
        if (d >= base) return syntax("expected an integer");
        n = n * base + d;
        if (n > (__int128{1} << 70))
            return fail(KCALL_E_RANGE, std::string(w) + " is out of range for " + type->name);
    }
    if (negative) n = -n;
    kcallValue wide{};
    wide.kind = KIV_TYPE_LONGLONG;
    if (n > INT64_MAX) {
        wide.kind = KIV_TYPE_ULONGLONG;
        wide.v.u64 = static_cast<uint64_t>(n);
    } else if (n < INT64_MIN) {
        return fail(KCALL_E_RANGE, std::string(w) + " is out of range for " + type->name);
    } else {
        wide.v.i64 = static_cast<int64_t>(n);
    }
    uint64_t native[2] = {};
    kivResult rc = toNative(type, wide, native, Mode::borrow, nullptr);
    if (KIV_FAILED(rc)) return rc;
    return fromNative(type, native, out);
}

kivResult Reader::number(const Type *type, kcallValue &out) {
    std::string w(word());
    if (json_ && w.empty()) {
        std::string s;
        if (!quoted(s)) return syntax("expected a number");
        w = s == "NaN" ? "nan" : s == "Infinity" ? "inf" : s == "-Infinity" ? "-inf" : "?";
    }
    if (w.empty()) return syntax("expected a number");
    char *end = nullptr;
    errno = 0;
    double d = std::strtod(w.c_str(), &end);
    if (*end) return syntax("expected a number");
    out.kind = type->kind;
    if (type->kind == KIV_TYPE_DOUBLE) {
        out.v.f64 = d;
        return 0;
    }
    float f = std::strtof(w.c_str(), &end);
    if (std::isinf(f) && !std::isinf(d))
        return fail(KCALL_E_RANGE, w + " is out of range for float");
    out.v.f32 = f;
    return 0;
}

kivResult Reader::decimal(const Type *type, kcallValue &out) {
    std::string w;
    skip();
    if (json_ && pos_ < text_.size() && text_[pos_] == '"') {
        if (!quoted(w)) return syntax("expected a decimal string");
    } else {
        w = std::string(word());
        if (!w.empty() && (w.back() == 'd' || w.back() == 'D')) w.pop_back();
    }
    if (w.empty() || w.size() > 120) return syntax("expected a decimal number");
    for (char c : w)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("+-.", c))
            return syntax("expected a decimal number");
    unsigned flags = 0;
    out.kind = type->kind;
    if (type->kind == KIV_TYPE_DECIMAL32)
        out.v.d32.bits = __bid32_from_string(w.data(), kBidNearestEven, &flags);
    else if (type->kind == KIV_TYPE_DECIMAL64)
        out.v.d64.bits = __bid64_from_string(w.data(), kBidNearestEven, &flags);
    else {
        BidUint128 d = __bid128_from_string(w.data(), kBidNearestEven, &flags);
        out.v.d128.words[0] = d.w[0];
        out.v.d128.words[1] = d.w[1];
    }
    if (flags & kBidInvalid) {
        out = kcallValue{};
        return syntax("not a decimal number: " + w);
    }
    return 0;
}

kivResult Reader::character(const Type *type, kcallValue &out) {
    skip();
    if (pos_ < text_.size() &&
        (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '-'))
        return integer(type, out);
    std::string s;
    if (!quoted(s)) return syntax("expected a character");
    out.kind = type->kind;
    if (type->kind == KIV_TYPE_CHAR) {
        if (s.size() != 1) return syntax("expected one character");
        out.v.ch = s[0];
        return 0;
    }
    std::u16string units;
    if (!utf8ToUtf16(s, units) || units.size() != 1) return syntax("expected one UTF-16 character");
    out.v.wch = units[0];
    return 0;
}

kivResult Reader::enumerator(const Type *type, kcallValue &out) {
    skip();
    std::string s;
    if (json_ && pos_ < text_.size() && text_[pos_] == '"') {
        if (!quoted(s)) return syntax("expected an enumerator");
    } else {
        s = std::string(word());
    }
    if (!s.empty() && (std::isdigit(static_cast<unsigned char>(s[0])))) {
        pos_ -= s.size();
        return integer(type, out);
    }
    size_t colon = s.rfind("::");
    std::string name = colon == std::string::npos ? s : s.substr(colon + 2);
    for (uint32_t i = 0; i < type->fieldCount; ++i) {
        if (name == type->fields[i].name) {
            out.kind = KIV_TYPE_ENUM;
            out.v.u32 = static_cast<uint32_t>(type->fields[i].label);
            return 0;
        }
    }
    return syntax("not an enumerator of " + std::string(type->name) + ": " + s);
}

kivResult Reader::string(const Type *type, kcallValue &out) {
    std::string s;
    skip();
    if (!quoted(s)) return syntax("expected a string");
    kivResult rc = 0;
    if (type->kind == KIV_TYPE_STRING) {
        if (std::memchr(s.data(), 0, s.size())) return syntax("a string holding a NUL");
        rc = kcallValueSetString(&out, s.data(), s.size());
    } else {
        std::u16string units;
        if (!utf8ToUtf16(s, units))
            return fail(KCALL_E_ENCODING, "a wide string that is not UTF-8");
        for (char16_t u : units)
            if (!u) return syntax("a string holding a NUL");
        rc = kcallValueSetWString(&out, reinterpret_cast<const kivWChar *>(units.data()),
                                  units.size());
    }
    if (KIV_FAILED(rc)) return rc;
    if (type->bound && out.count > type->bound) {
        kcallValueClear(&out);
        return fail(KCALL_E_BOUND, "a string over the bound of " + std::string(type->name));
    }
    return 0;
}

kivResult Reader::structure(const Type *type, kcallValue &out, int depth) {
    if (!eat('{')) return syntax("expected {");
    kcallValueSetItems(&out, KIV_TYPE_STRUCT, type->fieldCount);
    std::vector<bool> seen(type->fieldCount, false);
    bool named = json_;
    for (uint32_t n = 0; !eat('}'); ++n) {
        if (n && !eat(',')) return syntax("expected , or }");
        uint32_t at = n;
        size_t before = pos_;
        std::string name;
        skip();
        if (json_) {
            if (!quoted(name) || !eat(':')) return syntax("expected \"member\":");
        } else {
            std::string_view w = word();
            if (!w.empty() && eat('=') && (n == 0 || named)) {
                named = true;
                name = std::string(w);
            } else if (named) {
                return syntax("expected member = value");
            } else {
                pos_ = before;
            }
        }
        if (named) {
            at = type->fieldCount;
            for (uint32_t i = 0; i < type->fieldCount; ++i)
                if (name == type->fields[i].name) at = i;
            if (at == type->fieldCount) return syntax("no member " + name + " in " + type->name);
        }
        if (at >= type->fieldCount)
            return syntax("too many members for " + std::string(type->name));
        if (seen[at])
            return syntax("member " + std::string(type->fields[at].name) + " given twice");
        seen[at] = true;
        kivResult rc = value(asType(type->fields[at].type), out.v.items[at], depth + 1);
        if (KIV_FAILED(rc)) return rc;
    }
    for (uint32_t i = 0; i < type->fieldCount; ++i)
        if (!seen[i]) return syntax("member " + std::string(type->fields[i].name) + " is missing");
    return 0;
}

kivResult Reader::list(const Type *type, kcallValue &out, int depth) {
    const bool brace = !json_ && eat('{');
    if (!brace && !eat('[')) return syntax("expected [");
    std::vector<kcallValue> items;
    kivResult rc = 0;
    for (uint32_t n = 0; !eat(brace ? '}' : ']'); ++n) {
        if (n && !eat(',')) {
            rc = syntax("expected , or ]");
            break;
        }
        if (items.size() >= (size_t{1} << 24)) {
            rc = fail(KCALL_E_BOUND, "too many elements");
            break;
        }
        kcallValue item{};
        rc = value(asType(type->element), item, depth + 1);
        if (KIV_FAILED(rc)) {
            kcallValueClear(&item);
            break;
        }
        items.push_back(item);
        if (pos_ >= text_.size()) {
            rc = syntax("expected ]");
            break;
        }
    }
    if (KIV_SUCCEEDED(rc) && type->kind == KIV_TYPE_ARRAY && items.size() != type->bound)
        rc = fail(KCALL_E_BOUND, std::to_string(items.size()) + " elements for " + type->name);
    if (KIV_SUCCEEDED(rc) && type->kind == KIV_TYPE_SEQUENCE && type->bound &&
        items.size() > type->bound)
        rc = fail(KCALL_E_BOUND, std::to_string(items.size()) + " elements for " + type->name);
    if (KIV_FAILED(rc)) {
        for (kcallValue &v : items) kcallValueClear(&v);
        return rc;
    }
    kcallValueSetItems(&out, type->kind, static_cast<uint32_t>(items.size()));
    for (size_t i = 0; i < items.size(); ++i) out.v.items[i] = items[i];
    return 0;
}

kivResult Reader::unionValue(const Type *type, kcallValue &out, int depth) {
    if (!eat('{')) return syntax("expected {");
    kcallValueSetItems(&out, KIV_TYPE_UNION, 2);
    out.count = 1;
    const Type *disc = asType(type->discriminator);
    std::string caseName;
    if (json_) {
        std::string key;
        if (!quoted(key) || key != "_d" || !eat(':')) return syntax("expected \"_d\":");
    }
    kivResult rc = value(disc, out.v.items[0], depth + 1);
    if (KIV_FAILED(rc)) return rc;
    __int128 d = 0;
    integerOf(out.v.items[0], d);
    const int at = unionCase(type, static_cast<int64_t>(d));
    if (eat('}')) {
        if (at >= 0)
            return fail(KCALL_E_UNION_CASE,
                        "a value is missing for case " + std::string(type->fields[at].name));
        return 0;
    }
    if (json_) {
        if (!eat(',') || !quoted(caseName) || !eat(':')) return syntax("expected , \"case\":");
    } else if (!eat(':')) {
        return syntax("expected : or }");
    }
    if (at < 0)
        return fail(KCALL_E_UNION_CASE,
                    "no case of " + std::string(type->name) + " for the discriminator");
    if (json_ && caseName != type->fields[at].name)
        return fail(KCALL_E_UNION_CASE, "the discriminator selects " +
                                            std::string(type->fields[at].name) + ", not " +
                                            caseName);
    out.count = 2;
    if (KIV_FAILED(rc = value(asType(type->fields[at].type), out.v.items[1], depth + 1))) return rc;
    return eat('}') ? 0 : syntax("expected }");
}

kivResult Reader::reference(const Type *, kcallValue &out) {
    std::string_view w = word();
    if (w != "null" && w != "NULL") return syntax("only null references can be written as text");
    out.kind = KIV_TYPE_INTERFACE;
    return 0;
}

// ---- Writing -------------------------------------------------------------------------------

class Writer {
  public:
    explicit Writer(bool json) : json_(json) {}
    kivResult write(const Type *type, const kcallValue &v, int depth);
    std::string out;

  private:
    void quote(std::string_view utf8, bool wide, char q = '"');
    void integer(__int128 n);
    bool json_;
};

void Writer::integer(__int128 n) {
    char buffer[48];
    if (n < 0)
        std::snprintf(buffer, sizeof buffer, "%" PRId64, static_cast<int64_t>(n));
    else
        std::snprintf(buffer, sizeof buffer, "%" PRIu64, static_cast<uint64_t>(n));
    out += buffer;
}

void Writer::quote(std::string_view utf8, bool wide, char q) {
    if (wide && !json_) out += 'L';
    out += q;
    for (unsigned char c : utf8) {
        char buffer[8];
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c == static_cast<unsigned char>(q)) {
                    out += '\\';
                    out += static_cast<char>(c);
                } else if (c < 0x20 || c == 0x7F) {
                    std::snprintf(buffer, sizeof buffer, json_ ? "\\u%04x" : "\\x%02x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += q;
}

std::string utf16ToUtf8(const kivWChar *units, size_t n, bool &lossless) {
    std::string s;
    lossless = true;
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < n && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            u = 0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00u);
        } else if (u >= 0xD800 && u < 0xE000) {
            lossless = false;
            u = 0xFFFD;
        }
        appendUtf8(s, u);
    }
    return s;
}

kivResult Writer::write(const Type *type, const kcallValue &v, int depth) {
    if (depth > kMaxNesting) return fail(KCALL_E_SYNTAX, "values nested too deeply");
    char buffer[160];
    switch (type->kind) {
        case KIV_TYPE_BOOLEAN:
            out += v.v.boolean ? (json_ ? "true" : "TRUE") : (json_ ? "false" : "FALSE");
            return 0;
        case KIV_TYPE_CHAR:
            quote(std::string_view(&v.v.ch, 1), false, json_ ? '"' : '\'');
            return 0;
        case KIV_TYPE_WCHAR: {
            bool lossless = true;
            std::string s = utf16ToUtf8(&v.v.wch, 1, lossless);
            if (!lossless) {
                std::snprintf(buffer, sizeof buffer, "%u", v.v.wch);
                out += buffer;
            } else {
                quote(s, true, json_ ? '"' : '\'');
            }
            return 0;
        }
        case KIV_TYPE_OCTET:
        case KIV_TYPE_SHORT:
        case KIV_TYPE_USHORT:
        case KIV_TYPE_LONG:
        case KIV_TYPE_ULONG:
        case KIV_TYPE_LONGLONG:
        case KIV_TYPE_ULONGLONG: {
            __int128 n = 0;
            integerOf(v, n);
            integer(n);
            return 0;
        }
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_DOUBLE: {
            const double d = type->kind == KIV_TYPE_FLOAT ? v.v.f32 : v.v.f64;
            if (std::isnan(d))
                out += json_ ? "\"NaN\"" : "nan";
            else if (std::isinf(d))
                out +=
                    d < 0 ? (json_ ? "\"-Infinity\"" : "-inf") : (json_ ? "\"Infinity\"" : "inf");
            else {
                std::snprintf(buffer, sizeof buffer,
                              type->kind == KIV_TYPE_FLOAT ? "%.9g" : "%.17g", d);
                out += buffer;
            }
            return 0;
        }
        case KIV_TYPE_DECIMAL32:
        case KIV_TYPE_DECIMAL64:
        case KIV_TYPE_DECIMAL128: {
            unsigned flags = 0;
            if (type->kind == KIV_TYPE_DECIMAL32)
                __bid32_to_string(buffer, v.v.d32.bits, &flags);
            else if (type->kind == KIV_TYPE_DECIMAL64)
                __bid64_to_string(buffer, v.v.d64.bits, &flags);
            else
                __bid128_to_string(buffer, BidUint128{{v.v.d128.words[0], v.v.d128.words[1]}},
                                   &flags);
            if (json_) out += '"';
            out += buffer[0] == '+' ? buffer + 1 : buffer;
            out += json_ ? "\"" : "d";
            return 0;
        }
        case KIV_TYPE_ENUM:
            for (uint32_t i = 0; i < type->fieldCount; ++i) {
                if (type->fields[i].label == v.v.u32) {
                    if (json_) out += '"';
                    out += type->fields[i].name;
                    if (json_) out += '"';
                    return 0;
                }
            }
            integer(v.v.u32);
            return 0;
        case KIV_TYPE_STRING:
            quote(std::string_view(v.v.str ? v.v.str : "", v.count), false);
            return 0;
        case KIV_TYPE_WSTRING: {
            bool lossless = true;
            quote(utf16ToUtf8(v.v.wstr, v.count, lossless), true);
            return 0;
        }
        case KIV_TYPE_STRUCT:
            out += "{";
            for (uint32_t i = 0; i < type->fieldCount; ++i) {
                out += i ? ", " : json_ ? "" : " ";
                if (json_) {
                    quote(type->fields[i].name, false);
                    out += ": ";
                } else {
                    out += type->fields[i].name;
                    out += " = ";
                }
                kivResult rc = write(asType(type->fields[i].type), v.v.items[i], depth + 1);
                if (KIV_FAILED(rc)) return rc;
            }
            out += json_ ? "}" : " }";
            return 0;
        case KIV_TYPE_SEQUENCE:
        case KIV_TYPE_ARRAY:
            out += "[";
            for (uint32_t i = 0; i < v.count; ++i) {
                if (i) out += ", ";
                kivResult rc = write(asType(type->element), v.v.items[i], depth + 1);
                if (KIV_FAILED(rc)) return rc;
            }
            out += "]";
            return 0;
        case KIV_TYPE_UNION: {
            out += json_ ? "{\"_d\": " : "{ ";
            kivResult rc = write(asType(type->discriminator), v.v.items[0], depth + 1);
            if (KIV_FAILED(rc)) return rc;
            if (v.count == 2) {
                __int128 d = 0;
                integerOf(v.v.items[0], d);
                const int at = unionCase(type, static_cast<int64_t>(d));
                if (at < 0) return fail(KCALL_E_UNION_CASE, "no case for the discriminator");
                if (json_) {
                    out += ", ";
                    quote(type->fields[at].name, false);
                }
                out += ": ";
                if (KIV_FAILED(rc = write(asType(type->fields[at].type), v.v.items[1], depth + 1)))
                    return rc;
            }
            out += json_ ? "}" : " }";
            return 0;
        }
        case KIV_TYPE_INTERFACE:
            if (!v.v.ref.object) {
                out += "null";
            } else if (json_) {
                std::snprintf(buffer, sizeof buffer, "\"%p\"}", v.v.ref.object);
                out += "{\"iid\": ";
                quote(v.v.ref.iid ? v.v.ref.iid : "", false);
                out += ", \"object\": ";
                out += buffer;
            } else {
                std::snprintf(buffer, sizeof buffer, "@%p>", v.v.ref.object);
                out += "<";
                out += v.v.ref.iid ? v.v.ref.iid : "";
                out += buffer;
            }
            return 0;
        default:
            return fail(KCALL_E_KIND, "a type without values");
    }
}

}  // namespace

}  // namespace kcall

using namespace kcall;

KIV_API kivResult kcallValueParse(const kcallType *type, const char *text, size_t length,
                                  uint32_t flags, kcallValue *out) noexcept {
    if (!type || !out || (!text && length) || flags > KCALL_TEXT_JSON)
        return fail(KIV_E_INVALIDARG, "a null argument or unknown flags");
    if (asType(type)->layout != LayoutState::done)
        return fail(KCALL_E_LAYOUT, "a type without a layout");
    Reader reader(std::string_view(text ? text : "", length), flags == KCALL_TEXT_JSON);
    return reader.read(asType(type), *out);
}

KIV_API kivResult kcallValueFormat(const kcallType *type, const kcallValue *value, uint32_t flags,
                                   char **text) noexcept {
    if (!text) return fail(KIV_E_INVALIDARG, "a null out pointer");
    *text = nullptr;
    if (!type || !value || flags > KCALL_TEXT_JSON)
        return fail(KIV_E_INVALIDARG, "a null argument or unknown flags");
    kcallValue exact{};
    kivResult rc = kcallValueCopy(&exact, value);
    if (KIV_SUCCEEDED(rc)) rc = kcallValueConvert(type, &exact);
    if (KIV_SUCCEEDED(rc)) {
        Writer writer(flags == KCALL_TEXT_JSON);
        rc = writer.write(asType(type), exact, 0);
        if (KIV_SUCCEEDED(rc)) *text = kivStrNDup(writer.out.data(), writer.out.size());
    }
    kcallValueClear(&exact);
    return rc;
}

KIV_API kivResult kcallMemberFormat(const kcallMember *member, char **text) noexcept {
    if (!member || !text) return fail(KIV_E_INVALIDARG, "a null argument");
    std::string s;
    if (member->kind == KIV_MEMBER_ATTRIBUTE) {
        s = (member->flags & KIV_MEMBER_READONLY) ? "readonly attribute " : "attribute ";
        s += std::string(member->type->name) + " " + member->name;
    } else {
        s = std::string(member->type->name) + " " + member->name + "(";
        static const char *const directions[] = {"", "in", "out", "inout"};
        for (uint32_t i = 0; i < member->paramCount; ++i) {
            const kcallParam &p = member->params[i];
            if (i) s += ", ";
            s += std::string(directions[p.direction & 3]) + " " + p.type->name + " " + p.name;
        }
        s += ")";
    }
    *text = kivStrNDup(s.data(), s.size());
    return 0;
}
