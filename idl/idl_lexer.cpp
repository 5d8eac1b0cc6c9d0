// SPDX-License-Identifier: Apache-2.0
// The IDL scanner and its preprocessor subset.
#include "idl_lexer.h"

#include <cstring>

#include "core/utf8.h"

namespace kivtool::idl {

namespace {

bool isIdentStart(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isIdentChar(int c) {
    return isIdentStart(c) || (c >= '0' && c <= '9');
}
int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

using kiv::appendUtf8;

// Decodes one UTF-8 sequence at the start of `s`; the byte itself when it is not valid UTF-8.
uint32_t decodeUtf8(std::string_view s) {
    auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    if (s.empty()) return 0;
    uint8_t c = b(0);
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (n == 1 || s.size() != n) return c;
    uint32_t cp = c & (0x3F >> (n - 1));
    for (size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) return c;
        cp = (cp << 6) | (b(i) & 0x3F);
    }
    return cp;
}

constexpr size_t kMaxIncludeDepth = 64;
// Every #include counts, guarded or not: a file that includes itself twice would otherwise
// open 2^64 files before the depth bound ends each branch.
constexpr size_t kMaxIncludes = 20000;
constexpr int kMaxMacroDepth = 32;
// Tokens one use of a macro may become: nesting alone does not bound this, as each level can
// use the next one several times.
constexpr size_t kMaxExpansion = 100000;
// And all uses together: far beyond real IDL, and a bound on the work of short hostile text.
constexpr size_t kMaxTotalExpansion = size_t{4} << 20;
// Parentheses and unary operators nested in an #if expression.
constexpr int kMaxExpressionDepth = 200;

// The path without "." segments and repeated slashes, so that one file reached as "x.idl" and
// "./x.idl" is one file (for #pragma once). ".." stays: undoing it could pass a symbolic link.
std::string tidyPath(std::string_view path) {
    std::string out = path.starts_with('/') ? "/" : "";
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view segment = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (segment.empty() || segment == ".") continue;
        if (!out.empty() && out.back() != '/') out += '/';
        out += segment;
    }
    return out.empty() ? "." : out;
}

Token integer(Location at, bool value) {
    Token t;
    t.kind = Tok::Int;
    t.at = at;
    t.text = value ? "1" : "0";
    t.value = value;
    return t;
}

// An integer expression of #if, after `defined` and macros are replaced: C's operators on
// signed 64-bit values, which wrap instead of overflowing.
class ConditionParser {
  public:
    ConditionParser(const std::vector<Token> &tokens, Diagnostics &diagnostics, Location at)
        : tokens_(tokens), diagnostics_(diagnostics), at_(at) {}

    // False after reporting an error.
    bool evaluate(int64_t &value) {
        if (tokens_.empty()) return fail(at_, "#if expects an expression");
        value = conditional(true, 0);
        if (!failed_ && pos_ < tokens_.size())
            fail(tokens_[pos_].at, "unexpected '" + tokens_[pos_].text + "' in #if");
        return !failed_;
    }

  private:
    using Value = int64_t;

    bool fail(Location at, const std::string &message) {
        if (!failed_) diagnostics_.error(at, message);
        failed_ = true;
        return false;
    }
    Value failed(Location at, const std::string &message) {
        fail(at, message);
        return 0;
    }
    bool at(const char *op) const { return pos_ < tokens_.size() && tokens_[pos_].is(op); }
    bool accept(const char *op) {
        if (!at(op)) return false;
        ++pos_;
        return true;
    }
    Location here() const { return pos_ < tokens_.size() ? tokens_[pos_].at : at_; }
    static Value wrap(uint64_t v) { return static_cast<Value>(v); }
    static uint64_t bits(Value v) { return static_cast<uint64_t>(v); }

    // `live` is false in operands that short-circuiting skips: they must parse but may not
    // fail (`#if 0 && 1 / 0` is fine).
    Value conditional(bool live, int depth) {
        Value c = binary(0, live, depth);
        if (!accept("?")) return c;
        Value a = conditional(live && c != 0, depth + 1);
        if (!accept(":")) return failed(here(), "expected ':' in #if");
        Value b = conditional(live && c == 0, depth + 1);
        return c ? a : b;
    }

    // Precedence levels, loosest first.
    static constexpr const char *kLevels[][5] = {{"||"},
                                                 {"&&"},
                                                 {"|"},
                                                 {"^"},
                                                 {"&"},
                                                 {"==", "!="},
                                                 {"<", ">", "<=", ">="},
                                                 {"<<", ">>"},
                                                 {"+", "-"},
                                                 {"*", "/", "%"}};
    static constexpr size_t kLevelCount = sizeof kLevels / sizeof kLevels[0];

    const char *operatorAt(size_t level) const {
        for (const char *op : kLevels[level])
            if (op && at(op)) return op;
        return nullptr;
    }

    Value binary(size_t level, bool live, int depth) {
        if (level == kLevelCount) return unary(live, depth);
        Value left = binary(level + 1, live, depth);
        while (const char *op = operatorAt(level)) {
            Location opAt = here();
            ++pos_;
            std::string_view o = op;
            bool rightLive = live && !(o == "||" && left) && !(o == "&&" && !left);
            Value right = binary(level + 1, rightLive, depth);
            left = apply(o, left, right, rightLive, opAt);
        }
        return left;
    }

    Value apply(std::string_view o, Value a, Value b, bool live, Location opAt) {
        if (o == "||") return a || b;
        if (o == "&&") return a && b;
        if (o == "|") return a | b;
        if (o == "^") return a ^ b;
        if (o == "&") return a & b;
        if (o == "==") return a == b;
        if (o == "!=") return a != b;
        if (o == "<") return a < b;
        if (o == ">") return a > b;
        if (o == "<=") return a <= b;
        if (o == ">=") return a >= b;
        if (o == "+") return wrap(bits(a) + bits(b));
        if (o == "-") return wrap(bits(a) - bits(b));
        if (o == "*") return wrap(bits(a) * bits(b));
        if (o == "<<" || o == ">>") {
            if (b < 0 || b > 63) return live ? failed(opAt, "shift out of range in #if") : 0;
            return o == "<<" ? wrap(bits(a) << b) : a >> b;
        }
        if (b == 0) return live ? failed(opAt, "division by zero in #if") : 0;
        if (a == INT64_MIN && b == -1) return o == "/" ? a : 0;
        return o == "/" ? a / b : a % b;
    }

    Value unary(bool live, int depth) {
        if (depth > kMaxExpressionDepth) return failed(here(), "#if expression nested too deeply");
        if (accept("!")) return !unary(live, depth + 1);
        if (accept("~")) return ~unary(live, depth + 1);
        if (accept("-")) return wrap(0 - bits(unary(live, depth + 1)));
        if (accept("+")) return unary(live, depth + 1);
        if (accept("(")) {
            Value v = conditional(live, depth + 1);
            if (!accept(")")) fail(here(), "expected ')' in #if");
            return v;
        }
        if (pos_ == tokens_.size()) return failed(here(), "#if expression ends too early");
        const Token &t = tokens_[pos_++];
        if (t.kind == Tok::Char) return static_cast<Value>(t.value);
        if (t.kind != Tok::Int) return failed(t.at, "#if expects integers, found '" + t.text + "'");
        if (t.overflow || t.value > static_cast<U128>(UINT64_MAX))
            return failed(t.at, "integer too large in #if");
        return wrap(static_cast<uint64_t>(t.value));
    }

    const std::vector<Token> &tokens_;
    Diagnostics &diagnostics_;
    Location at_;
    size_t pos_ = 0;
    bool failed_ = false;
};

}  // namespace

std::string Token::spelling() const {
    if (kind == Tok::Ident) return text;
    if (kind == Tok::RawIdent && underscore) return "_" + text;
    return {};
}

Preprocessor::Preprocessor(SourceSet &sources, Diagnostics &diagnostics,
                           PreprocessorOptions options)
    : sources_(sources), diagnostics_(diagnostics), options_(std::move(options)) {
    for (auto &[name, value] : options_.defines) {
        uint32_t file = sources_.add("<command line>", value);
        FileState f{file};
        f.lineStart = false;
        std::vector<Token> body;
        files_.push_back(f);
        body = restOfLine(files_.back(), Syntax::Macro);
        files_.pop_back();
        macros_[name] = std::move(body);
    }
}

bool Preprocessor::push(uint32_t file, Location includedAt) {
    if (files_.size() >= kMaxIncludeDepth) return false;
    FileState f{file};
    f.conditionals = conditionals_.size();
    f.includedAt = includedAt.known() ? includedAt : Location{file, 1, 1};
    f.includerPrefix = prefix_;
    // Among a struct's members or an enum's enumerators a pragma cannot stand, and the file
    // can hold no definition that a prefix would change.
    f.resetPrefix = !prefix_.empty() && inScope();
    files_.push_back(std::move(f));
    return true;
}

bool Preprocessor::open(const std::string &path) {
    uint32_t file = sources_.load(path);
    return file != 0 && push(file, {});
}

bool Preprocessor::openText(const std::string &name, std::string text) {
    return push(sources_.add(name, std::move(text)), {});
}

int Preprocessor::peekChar(const FileState &f, size_t ahead) const {
    const std::string &t = sources_.file(f.file).text;
    return f.pos + ahead < t.size() ? static_cast<uint8_t>(t[f.pos + ahead]) : -1;
}

int Preprocessor::getChar(FileState &f) {
    int c = peekChar(f);
    if (c < 0) return c;
    ++f.pos;
    if (c == '\n') {
        ++f.line;
        f.column = 1;
        f.lineStart = true;
    } else {
        ++f.column;
        if (c != ' ' && c != '\t' && c != '\r') f.lineStart = false;
    }
    return c;
}

void Preprocessor::skipSpace(FileState &f, bool newlines) {
    for (;;) {
        int c = peekChar(f);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            getChar(f);
        } else if (c == '\n' && newlines) {
            getChar(f);
        } else if (c == '\\' &&
                   (peekChar(f, 1) == '\n' || (peekChar(f, 1) == '\r' && peekChar(f, 2) == '\n'))) {
            while (getChar(f) != '\n') {  // a continued line
            }
        } else if (c == '/' && peekChar(f, 1) == '/') {
            while (peekChar(f) >= 0 && peekChar(f) != '\n') getChar(f);
        } else if (c == '/' && peekChar(f, 1) == '*') {
            Location at{f.file, f.line, f.column};
            bool start = f.lineStart;
            getChar(f);
            getChar(f);
            while (peekChar(f) >= 0 && !(peekChar(f) == '*' && peekChar(f, 1) == '/')) getChar(f);
            if (peekChar(f) < 0) {
                diagnostics_.error(at, "unterminated comment");
                return;
            }
            getChar(f);
            getChar(f);
            f.lineStart = f.lineStart || start;
        } else {
            return;
        }
    }
}

// Skips to the end of the line (continued lines included) without reading tokens, so that
// text switched off or after #endif cannot cause errors. Comments still count, so that one
// opened there ends where it ends, but not inside quotes ("/*" is no comment).
void Preprocessor::skipLine(FileState &f) {
    for (;;) {
        skipSpace(f, false);
        int c = peekChar(f);
        if (c < 0 || c == '\n') return;
        getChar(f);
        if (c != '"' && c != '\'') continue;
        for (int d = peekChar(f); d >= 0 && d != '\n'; d = peekChar(f)) {
            getChar(f);
            if (d == c) break;
            if (d == '\\' && peekChar(f) >= 0 && peekChar(f) != '\n') getChar(f);
        }
    }
}

std::vector<Token> Preprocessor::restOfLine(FileState &f, Syntax syntax) {
    std::vector<Token> out;
    for (;;) {
        skipSpace(f, false);
        int c = peekChar(f);
        if (c < 0 || c == '\n') return out;
        out.push_back(scanRaw(f, syntax));
    }
}

// The rest of the line as written, without surrounding blanks or a trailing comment.
std::string Preprocessor::textOfLine(FileState &f) {
    skipSpace(f, false);
    size_t begin = f.pos, end = f.pos;
    for (;;) {
        int c = peekChar(f);
        if (c < 0 || c == '\n') break;
        getChar(f);
        end = f.pos;
        skipSpace(f, false);
    }
    std::string text = sources_.file(f.file).text.substr(begin, end - begin);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// One escape after the backslash; appends its bytes (UTF-8 for \u) to `out`.
bool Preprocessor::escape(FileState &f, std::string &out, bool wide, Location at) {
    int c = getChar(f);
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
        case 'v':
            out += '\v';
            return true;
        case 'b':
            out += '\b';
            return true;
        case 'f':
            out += '\f';
            return true;
        case 'a':
            out += '\a';
            return true;
        case '\\':
        case '\'':
        case '"':
        case '?':
        case '`':
            out += static_cast<char>(c);
            return true;
        case 'x': {
            int value = 0, digits = 0;
            while (digits < 2 && hexValue(peekChar(f)) >= 0) {
                value = value * 16 + hexValue(getChar(f));
                ++digits;
            }
            if (!digits) break;
            out += static_cast<char>(value);
            return true;
        }
        case 'u': {
            uint32_t value = 0;
            int digits = 0;
            while (digits < 4 && hexValue(peekChar(f)) >= 0) {
                value = value * 16 + static_cast<uint32_t>(hexValue(getChar(f)));
                ++digits;
            }
            if (!digits) break;
            (void)wide;
            appendUtf8(out, value);
            return true;
        }
        default:
            if (c >= '0' && c <= '7') {
                int value = c - '0';
                for (int i = 0; i < 2 && peekChar(f) >= '0' && peekChar(f) <= '7'; ++i)
                    value = value * 8 + getChar(f) - '0';
                if (value > 0xFF) break;
                out += static_cast<char>(value);
                return true;
            }
            break;
    }
    diagnostics_.error(at, "invalid escape sequence");
    return false;
}

Token Preprocessor::scanRaw(FileState &f, Syntax syntax) {
    bool expression = syntax != Syntax::Idl;
    Token t;
    t.at = {f.file, f.line, f.column};
    int c = peekChar(f);
    bool wide = c == 'L' && (peekChar(f, 1) == '\'' || peekChar(f, 1) == '"');
    if (wide) {
        getChar(f);
        c = peekChar(f);
        t.wide = true;
    }
    if (c == '"' || c == '\'' || c == '`') {
        int quote = getChar(f);
        t.kind = quote == '"' ? Tok::String : quote == '\'' ? Tok::Char : Tok::RawIdent;
        for (;;) {
            int d = peekChar(f);
            if (d < 0 || d == '\n') {
                diagnostics_.error(t.at, quote == '"'    ? "unterminated string literal"
                                         : quote == '\'' ? "unterminated character literal"
                                                         : "unterminated quoted name");
                break;
            }
            getChar(f);
            if (d == quote) break;
            if (d == '\\') {
                Location at{f.file, f.line, f.column - 1};
                if (t.kind == Tok::Char && t.wide && peekChar(f) == 'u') {
                    std::string bytes;
                    escape(f, bytes, true, at);
                    t.value = decodeUtf8(bytes);
                    t.text += bytes;
                    continue;
                }
                escape(f, t.text, t.wide, at);
            } else {
                t.text += static_cast<char>(d);
            }
        }
        if (t.kind == Tok::Char) {
            if (t.text.empty()) {
                diagnostics_.error(t.at, "empty character literal");
            } else if (t.wide) {
                uint32_t cp = decodeUtf8(t.text);
                if (cp > 0xFFFF || (t.text.size() > 1 && cp == static_cast<uint8_t>(t.text[0])))
                    diagnostics_.error(t.at, "a wide character literal holds one 16-bit code");
                t.value = cp;
            } else if (t.text.size() != 1) {
                diagnostics_.error(t.at, "a character literal holds one byte");
            } else {
                t.value = static_cast<uint8_t>(t.text[0]);
            }
        }
        return t;
    }
    if (isIdentStart(c)) {
        while (isIdentChar(peekChar(f))) t.text += static_cast<char>(getChar(f));
        t.kind = Tok::Ident;
        if (t.text[0] == '_') {  // the escape of names that are keywords
            t.text.erase(0, 1);
            t.kind = Tok::RawIdent;
            t.underscore = true;
        }
        return t;
    }
    bool number =
        (c >= '0' && c <= '9') || (c == '.' && peekChar(f, 1) >= '0' && peekChar(f, 1) <= '9');
    if (number) {
        if (c == '0' && (peekChar(f, 1) == 'x' || peekChar(f, 1) == 'X')) {
            t.text += static_cast<char>(getChar(f));
            t.text += static_cast<char>(getChar(f));
            while (hexValue(peekChar(f)) >= 0) t.text += static_cast<char>(getChar(f));
            t.kind = Tok::Int;
            if (t.text.size() == 2) diagnostics_.error(t.at, "hexadecimal literal without digits");
            for (size_t i = 2; i < t.text.size(); ++i) {
                if (t.value >> 124) t.overflow = true;
                t.value = t.value * 16 + static_cast<unsigned>(hexValue(t.text[i]));
            }
        } else {
            bool isFloat = false;
            while (peekChar(f) >= '0' && peekChar(f) <= '9')
                t.text += static_cast<char>(getChar(f));
            if (peekChar(f) == '.') {
                isFloat = true;
                t.text += static_cast<char>(getChar(f));
                while (peekChar(f) >= '0' && peekChar(f) <= '9')
                    t.text += static_cast<char>(getChar(f));
            }
            int e = peekChar(f);
            int e1 = peekChar(f, 1);
            if ((e == 'e' || e == 'E') &&
                ((e1 >= '0' && e1 <= '9') ||
                 ((e1 == '+' || e1 == '-') && peekChar(f, 2) >= '0' && peekChar(f, 2) <= '9'))) {
                isFloat = true;
                t.text += static_cast<char>(getChar(f));
                t.text += static_cast<char>(getChar(f));
                while (peekChar(f) >= '0' && peekChar(f) <= '9')
                    t.text += static_cast<char>(getChar(f));
            }
            t.kind = isFloat ? Tok::Float : Tok::Int;
            if (!isFloat) {
                bool octal = t.text.size() > 1 && t.text[0] == '0';
                for (char d : t.text) {
                    if (octal && d > '7')
                        diagnostics_.error(t.at, "invalid digit in octal literal");
                    U128 before = t.value;
                    t.value = t.value * (octal ? 8 : 10) + static_cast<unsigned>(d - '0');
                    if (t.value / (octal ? 8 : 10) != before) t.overflow = true;
                }
            }
        }
        if (isIdentChar(peekChar(f))) {
            std::string suffix;
            while (isIdentChar(peekChar(f))) suffix += static_cast<char>(getChar(f));
            bool integerSuffix = t.kind == Tok::Int && suffix.size() <= 3 &&
                                 suffix.find_first_not_of("uUlL") == std::string::npos;
            if (syntax == Syntax::Condition && integerSuffix) {
                // 1UL in #if: the same value, and #if computes in one width anyway.
            } else if (suffix == "d" || suffix == "D") {
                diagnostics_.error(t.at,
                                   "fixed-point literals are not supported: the type "
                                   "library has no fixed type (use a decimal type)");
            } else {
                diagnostics_.error(t.at, "invalid suffix '" + suffix + "' on a number");
            }
        }
        return t;
    }
    t.kind = Tok::Punct;
    getChar(f);
    t.text = static_cast<char>(c);
    int d = peekChar(f);
    bool pair = (c == ':' && d == ':') || (c == '<' && d == '<') || (c == '>' && d == '>');
    // #if has C's operators, which IDL text does not.
    if (expression)
        pair = pair || (d == '=' && std::strchr("!=<>", c)) || (c == '&' && d == '&') ||
               (c == '|' && d == '|');
    if (pair) {
        getChar(f);
        t.text += static_cast<char>(d);
    }
    const char *allowed = expression ? "{}();,:=<>[]+-*/%~|^&@#!?" : "{}();,:=<>[]+-*/%~|^&@#";
    if (!std::strchr(allowed, c) || c == 0) {
        char shown[16];
        if (c >= 0x20 && c < 0x7F)
            std::snprintf(shown, sizeof shown, "'%c'", c);
        else
            std::snprintf(shown, sizeof shown, "byte 0x%02x", c);
        diagnostics_.error(t.at, std::string("stray ") + shown + " in the input");
        t.text = "?";
    }
    return t;
}

void Preprocessor::include(FileState &f, const std::string &text, Location at) {
    std::string name;
    bool quoted = text.size() > 2 && text.front() == '"' && text.back() == '"';
    bool angled = text.size() > 2 && text.front() == '<' && text.back() == '>';
    if (quoted || angled) name = text.substr(1, text.size() - 2);
    if (name.empty()) {
        diagnostics_.error(at, "#include expects \"FILE\" or <FILE>");
        return;
    }
    std::vector<std::string> candidates;
    if (quoted) {
        const std::string &current = sources_.file(f.file).name;
        size_t slash = current.rfind('/');
        candidates.push_back(slash == std::string::npos ? name
                                                        : current.substr(0, slash + 1) + name);
    }
    for (const std::string &dir : options_.includeDirs) candidates.push_back(dir + "/" + name);
    if (name.starts_with("/")) candidates = {name};
    for (std::string &path : candidates) {
        path = tidyPath(path);
        uint32_t file = sources_.load(path);
        if (!file && !sources_.missing()) {
            diagnostics_.error(at,
                               "cannot read include file '" + path + "': " + sources_.failure());
            return;
        }
        if (!file) continue;
        if (once_.count(file)) return;
        if (++includes_ > kMaxIncludes) {
            diagnostics_.error(at, "more than " + std::to_string(kMaxIncludes) +
                                       " #include directives in one compile");
            // Nothing sensible can follow: the input ends here.
            files_.clear();
            conditionals_.clear();
            return;
        }
        if (!push(file, at)) diagnostics_.error(at, "#include nested too deeply");
        return;
    }
    diagnostics_.error(at, "cannot find include file '" + name + "'" +
                               (options_.includeDirs.empty() ? " (no -I directories given)" : ""));
}

// The value of an #if or #elif line: `defined NAME` and `defined(NAME)`, macros replaced,
// names left over are 0, as in C.
bool Preprocessor::condition(FileState &f, Location at) {
    std::vector<Token> line = restOfLine(f, Syntax::Condition);
    std::vector<Token> tokens;
    size_t budget = kMaxExpansion;
    bool ok = true;
    auto expand = [&](auto &self, const std::vector<Token> &in, int depth) -> void {
        for (size_t i = 0; i < in.size() && ok; ++i) {
            const Token &t = in[i];
            if (t.isWord("defined")) {
                bool parens = i + 1 < in.size() && in[i + 1].is("(");
                size_t n = i + (parens ? 2 : 1);
                bool named = n < in.size() && !in[n].spelling().empty();
                if (!named || (parens && !(n + 1 < in.size() && in[n + 1].is(")")))) {
                    diagnostics_.error(t.at, "'defined' expects a name, or one in parentheses");
                    ok = false;
                    return;
                }
                tokens.push_back(integer(t.at, macros_.count(in[n].spelling()) != 0));
                i = n + (parens ? 1 : 0);
            } else if (const std::vector<Token> *body = macro(t)) {
                if (depth >= kMaxMacroDepth || body->size() > budget) {
                    diagnostics_.error(t.at, "macro '" + t.spelling() +
                                                 "' in #if expands "
                                                 "without end");
                    ok = false;
                    return;
                }
                budget -= body->size();
                self(self, *body, depth + 1);
            } else if (!t.spelling().empty()) {
                tokens.push_back(integer(t.at, false));
            } else {
                tokens.push_back(t);
            }
        }
    };
    expand(expand, line, 0);
    int64_t value = 0;
    if (ok && !ConditionParser(tokens, diagnostics_, at).evaluate(value)) ok = false;
    return ok && value != 0;
}

void Preprocessor::conditional(FileState &f, const std::string &name, Location at) {
    bool isActive = active();
    if (name == "if" || name == "ifdef" || name == "ifndef") {
        bool value = false;
        if (!isActive) {
            skipLine(f);
        } else if (name == "if") {
            value = condition(f, at);
        } else {
            std::vector<Token> args = restOfLine(f);
            if (args.size() != 1 || args[0].spelling().empty())
                diagnostics_.error(at, "#" + name + " expects one name");
            else
                value = (macros_.count(args[0].spelling()) != 0) == (name == "ifdef");
        }
        conditionals_.push_back({value, value || !isActive, false, at, name});
        return;
    }
    if (conditionals_.size() <= files_.back().conditionals) {
        diagnostics_.error(at, "#" + name + " without #if");
        skipLine(f);
        return;
    }
    Conditional &c = conditionals_.back();
    if (name == "endif") {
        skipLine(f);
        conditionals_.pop_back();
        return;
    }
    if (c.sawElse) {
        diagnostics_.error(at, "#" + name + " after #else");
        skipLine(f);
        c.active = false;
        return;
    }
    if (name == "else") {
        skipLine(f);
        c.sawElse = true;
        c.active = !c.taken;
    } else if (c.taken) {  // #elif
        skipLine(f);
        c.active = false;
    } else {
        c.active = condition(f, at);
    }
    c.taken = c.taken || c.active;
}

void Preprocessor::pragma(FileState &f, std::vector<Token> args, Location at) {
    if (args.size() == 1 && args[0].isWord("once")) {
        once_.insert(f.file);
        return;
    }
    // The compiler takes a prefix pragma with a string (and perhaps a ';') as the new prefix.
    bool setsPrefix = args.size() >= 2 && args[0].isWord("prefix") && args[1].kind == Tok::String &&
                      (args.size() == 2 || (args.size() == 3 && args[2].is(";")));
    std::string prefix = setsPrefix ? args[1].text : prefix_;
    Token t;
    t.kind = Tok::Pragma;
    t.at = at;
    if (!args.empty()) {
        t.text = args[0].text;
        t.args.assign(std::make_move_iterator(args.begin() + 1),
                      std::make_move_iterator(args.end()));
    }
    queue(std::move(t));
    prefix_ = std::move(prefix);
}

void Preprocessor::directive(FileState &f, Location at) {
    getChar(f);  // '#'
    skipSpace(f, false);
    std::string name;
    while (isIdentChar(peekChar(f))) name += static_cast<char>(getChar(f));
    if (name == "if" || name == "ifdef" || name == "ifndef" || name == "elif" || name == "else" ||
        name == "endif") {
        conditional(f, name, at);
        return;
    }
    if (!active()) {
        skipLine(f);
        return;
    }
    if (name == "define") {
        skipSpace(f, false);
        Location nameAt{f.file, f.line, f.column};
        std::string macro;
        while (isIdentChar(peekChar(f))) macro += static_cast<char>(getChar(f));
        if (macro.empty() || (macro[0] >= '0' && macro[0] <= '9')) {
            diagnostics_.error(nameAt, "#define expects a name");
            skipLine(f);
            return;
        }
        if (peekChar(f) == '(') {
            diagnostics_.error(nameAt, "macros with parameters are not supported");
            skipLine(f);
            return;
        }
        macros_[macro] = restOfLine(f, Syntax::Macro);  // the body may be used in #if
    } else if (name == "undef") {
        std::vector<Token> args = restOfLine(f);
        if (args.size() == 1 && !args[0].spelling().empty())
            macros_.erase(args[0].spelling());
        else
            diagnostics_.error(at, "#undef expects one name");
    } else if (name == "include") {
        std::string text = textOfLine(f);
        if (peekChar(f) == '\n') getChar(f);
        beforeFirstToken(f);
        include(f, text, at);
    } else if (name == "pragma") {
        pragma(f, restOfLine(f), at);
    } else if (name == "error") {
        diagnostics_.error(at, "#error " + textOfLine(f));
    } else if (name == "warning") {
        diagnostics_.warning(at, "#warning " + textOfLine(f));
    } else if (name == "line" || name == "ident" || name == "sccs" ||
               (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)) {
        // Line markers of generated files and version strings: positions stay those of the
        // file as read, which is what the excerpts in diagnostics show.
        skipLine(f);
    } else if (name.empty() && (peekChar(f) == '\n' || peekChar(f) < 0)) {
        // A lone '#' is a null directive.
    } else {
        diagnostics_.error(at, "unknown preprocessor directive '#" + name + "'");
        skipLine(f);
    }
}

Token Preprocessor::prefixPragma(const std::string &prefix, Location at) const {
    Token value;
    value.kind = Tok::String;
    value.at = at;
    value.text = prefix;
    value.synthetic = true;
    Token t;
    t.kind = Tok::Pragma;
    t.at = at;
    t.text = "prefix";
    t.synthetic = true;
    t.args.push_back(std::move(value));
    return t;
}

void Preprocessor::queue(Token t) {
    if (!files_.empty()) beforeFirstToken(files_.back());
    pending_.push_back({std::move(t), kMaxMacroDepth});
}

// An included file starts without the includer's prefix; the reset waits for the file's
// first token, so that a file that yields none (a repeated guarded include) changes nothing.
void Preprocessor::beforeFirstToken(FileState &f) {
    if (!f.resetPrefix) return;
    f.resetPrefix = false;
    prefix_.clear();
    pending_.push_back({prefixPragma("", f.includedAt), kMaxMacroDepth});
}

Token Preprocessor::scan() {
    while (!files_.empty()) {
        FileState &f = files_.back();
        skipSpace(f, true);
        if (peekChar(f) < 0) {
            while (conditionals_.size() > f.conditionals) {
                diagnostics_.error(conditionals_.back().at,
                                   "#" + conditionals_.back().directive + " without #endif");
                conditionals_.pop_back();
            }
            Location end{f.file, f.line, f.column};
            FileState done = std::move(files_.back());
            files_.pop_back();
            if (files_.empty()) {
                Token t;
                t.at = end;
                return t;
            }
            if (prefix_ != done.includerPrefix) {  // the includer's prefix comes back
                prefix_ = done.includerPrefix;
                return prefixPragma(prefix_, done.includedAt);
            }
            continue;
        }
        if (peekChar(f) == '#' && f.lineStart) {
            Location at{f.file, f.line, f.column};
            directive(f, at);
            if (!pending_.empty()) break;
            continue;
        }
        if (!active()) {
            skipLine(f);
            continue;
        }
        if (f.resetPrefix) {
            Token t = scanRaw(f);
            beforeFirstToken(f);
            pending_.push_back({std::move(t), 0});
            break;
        }
        return scanRaw(f);
    }
    if (!pending_.empty()) {
        Token t = std::move(pending_.front().token);
        pending_.pop_front();
        return t;
    }
    return Token{};
}

const std::vector<Token> *Preprocessor::macro(const Token &t) const {
    if (macros_.empty()) return nullptr;
    auto it = macros_.end();
    if (t.kind == Tok::Ident)
        it = macros_.find(t.text);
    else if (t.kind == Tok::RawIdent && t.underscore)
        it = macros_.find("_" + t.text);
    return it == macros_.end() ? nullptr : &it->second;
}

// Follows the compiler's prefix through module and interface bodies, which restore it at '}'.
void Preprocessor::trackScopes(const Token &t) {
    if (t.kind == Tok::Ident &&
        (t.text == "module" || t.text == "interface" || t.text == "struct" || t.text == "union" ||
         t.text == "enum" || t.text == "exception" || t.text == "valuetype")) {
        opener_ = t.text;
    } else if (t.is("{")) {
        braces_.push_back(
            {prefix_, opener_ == "module" || opener_ == "interface" || opener_ == "valuetype"});
        opener_.clear();
    } else if (t.is("}") && !braces_.empty()) {
        prefix_ = std::move(braces_.back().prefix);
        braces_.pop_back();
        opener_.clear();
    } else if (t.is(";")) {
        opener_.clear();
    }
}

Token Preprocessor::next() {
    for (;;) {
        Token t;
        int depth = 0;
        if (!pending_.empty()) {
            t = std::move(pending_.front().token);
            depth = pending_.front().depth;
            pending_.pop_front();
        } else {
            t = scan();
        }
        const std::vector<Token> *body = depth < kMaxMacroDepth ? macro(t) : nullptr;
        if (!body) {
            trackScopes(t);
            return t;
        }
        if (depth == 0) {  // a use in the source: messages name this macro
            expanded_ = 0;
            expanding_ = t.spelling();
        }
        if (totalExpanded_ + body->size() > kMaxTotalExpansion) {
            if (!expansionsExhausted_)
                diagnostics_.error(t.at, "macros expand to more than " +
                                             std::to_string(kMaxTotalExpansion) + " tokens");
            expansionsExhausted_ = true;
            body = nullptr;
        } else if (depth + 1 >= kMaxMacroDepth) {
            diagnostics_.error(t.at, "macro '" + expanding_ + "' expands without end");
            body = nullptr;
        } else if (expanded_ + body->size() > kMaxExpansion) {
            diagnostics_.error(t.at, "macro '" + expanding_ + "' expands to more than " +
                                         std::to_string(kMaxExpansion) + " tokens");
            body = nullptr;
        }
        if (!body) {
            // Drop what is left of this expansion: it sits at the front of the queue.
            while (!pending_.empty() && pending_.front().depth > 0 &&
                   pending_.front().depth < kMaxMacroDepth)
                pending_.pop_front();
            continue;
        }
        expanded_ += body->size();
        totalExpanded_ += body->size();
        // The replacement is reported at the place of use.
        for (auto it = body->rbegin(); it != body->rend(); ++it) {
            Token copy = *it;
            copy.at = t.at;
            pending_.push_front({std::move(copy), depth + 1});
        }
    }
}

}  // namespace kivtool::idl
