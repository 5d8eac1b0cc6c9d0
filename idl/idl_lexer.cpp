// SPDX-License-Identifier: Apache-2.0
// The IDL scanner and its preprocessor subset.
#include "idl_lexer.h"

#include <cstring>

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

void appendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

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
constexpr int kMaxMacroDepth = 32;

}  // namespace

Preprocessor::Preprocessor(SourceSet &sources, Diagnostics &diagnostics,
                           PreprocessorOptions options)
    : sources_(sources), diagnostics_(diagnostics), options_(std::move(options)) {
    for (auto &[name, value] : options_.defines) {
        uint32_t file = sources_.add("<command line>", value);
        FileState f{file};
        f.lineStart = false;
        std::vector<Token> body;
        files_.push_back(f);
        body = restOfLine(files_.back());
        files_.pop_back();
        macros_[name] = std::move(body);
    }
}

bool Preprocessor::push(uint32_t file) {
    if (files_.size() >= kMaxIncludeDepth) return false;
    FileState f{file};
    f.conditionals = conditionals_.size();
    files_.push_back(f);
    return true;
}

bool Preprocessor::open(const std::string &path) {
    uint32_t file = sources_.load(path);
    return file != 0 && push(file);
}

bool Preprocessor::openText(const std::string &name, std::string text) {
    return push(sources_.add(name, std::move(text)));
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
        } else if (c == '\\' && peekChar(f, 1) == '\n') {  // a continued line
            getChar(f);
            getChar(f);
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

void Preprocessor::skipLine(FileState &f) {
    while (peekChar(f) >= 0 && peekChar(f) != '\n') getChar(f);
}

std::vector<Token> Preprocessor::restOfLine(FileState &f) {
    std::vector<Token> out;
    for (;;) {
        skipSpace(f, false);
        int c = peekChar(f);
        if (c < 0 || c == '\n') return out;
        out.push_back(scanRaw(f));
    }
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

Token Preprocessor::scanRaw(FileState &f) {
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
            if (suffix == "d" || suffix == "D")
                diagnostics_.error(t.at,
                                   "fixed-point literals are not supported: the type "
                                   "library has no fixed type (use a decimal type)");
            else
                diagnostics_.error(t.at, "invalid suffix '" + suffix + "' on a number");
        }
        return t;
    }
    t.kind = Tok::Punct;
    getChar(f);
    t.text = static_cast<char>(c);
    int d = peekChar(f);
    if ((c == ':' && d == ':') || (c == '<' && d == '<') || (c == '>' && d == '>')) {
        getChar(f);
        t.text += static_cast<char>(d);
    }
    if (!std::strchr("{}();,:=<>[]+-*/%~|^&@#", c) || c == 0) {
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
    for (const std::string &path : candidates) {
        uint32_t file = sources_.load(path);
        if (!file) continue;
        if (once_.count(file)) return;
        if (!push(file)) diagnostics_.error(at, "#include nested too deeply");
        return;
    }
    diagnostics_.error(at, "cannot find include file '" + name + "'" +
                               (options_.includeDirs.empty() ? " (no -I directories given)" : ""));
}

void Preprocessor::directive(FileState &f, Location at) {
    getChar(f);  // '#'
    skipSpace(f, false);
    std::string name;
    while (isIdentChar(peekChar(f))) name += static_cast<char>(getChar(f));
    bool isActive = active();
    if (name == "if") {
        // #if 0, #if 1, #if defined(NAME), #if !defined(NAME): enough to switch text off.
        skipSpace(f, false);
        size_t begin = f.pos;
        skipLine(f);
        std::string text = sources_.file(f.file).text.substr(begin, f.pos - begin);
        std::string compact;
        for (char c : text)
            if (c != ' ' && c != '\t' && c != '\r' && c != '(' && c != ')') compact += c;
        bool condition = false;
        bool negate = compact.starts_with("!");
        if (negate) compact.erase(0, 1);
        if (!negate && (compact == "0" || compact == "1")) {
            condition = compact == "1";
        } else if (compact.starts_with("defined") && compact.size() > 7) {
            condition = (macros_.count(compact.substr(7)) != 0) != negate;
        } else if (isActive) {
            diagnostics_.error(at,
                               "#if supports only 0, 1 and defined(NAME); use #ifdef or "
                               "#ifndef");
        }
        conditionals_.push_back({isActive && condition, isActive, false, at});
        return;
    }
    if (name == "ifdef" || name == "ifndef") {
        std::vector<Token> args = restOfLine(f);
        bool condition = false;
        if (!isActive) {
        } else if (args.size() != 1 ||
                   (args[0].kind != Tok::Ident && args[0].kind != Tok::RawIdent)) {
            diagnostics_.error(at, "#" + name + " expects one name");
        } else {
            condition = macros_.count(args[0].text) != 0;
            if (name == "ifndef") condition = !condition;
        }
        conditionals_.push_back({isActive && condition, isActive, false, at});
        return;
    }
    if (name == "else" || name == "endif") {
        restOfLine(f);
        if (conditionals_.size() <= f.conditionals) {
            diagnostics_.error(at, "#" + name + " without #ifdef");
            return;
        }
        Conditional &c = conditionals_.back();
        if (name == "endif") {
            conditionals_.pop_back();
        } else if (c.sawElse) {
            diagnostics_.error(at, "a second #else for the same #ifdef");
        } else {
            c.sawElse = true;
            c.active = c.parentActive && !c.active;
        }
        return;
    }
    if (!isActive) {
        skipLine(f);
        return;
    }
    if (name == "define") {
        skipSpace(f, false);
        Location nameAt{f.file, f.line, f.column};
        std::string macro;
        while (isIdentChar(peekChar(f))) macro += static_cast<char>(getChar(f));
        if (macro.empty()) {
            diagnostics_.error(nameAt, "#define expects a name");
            skipLine(f);
            return;
        }
        if (peekChar(f) == '(') {
            diagnostics_.error(nameAt, "macros with parameters are not supported");
            skipLine(f);
            return;
        }
        macros_[macro] = restOfLine(f);
    } else if (name == "undef") {
        std::vector<Token> args = restOfLine(f);
        if (args.size() == 1)
            macros_.erase(args[0].text);
        else
            diagnostics_.error(at, "#undef expects one name");
    } else if (name == "include") {
        skipSpace(f, false);
        size_t begin = f.pos;
        skipLine(f);
        std::string text = sources_.file(f.file).text.substr(begin, f.pos - begin);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
            text.pop_back();
        if (peekChar(f) == '\n') getChar(f);
        include(f, text, at);
    } else if (name == "pragma") {
        std::vector<Token> args = restOfLine(f);
        if (args.size() == 1 && args[0].isWord("once")) {
            once_.insert(f.file);
            return;
        }
        Token t;
        t.kind = Tok::Pragma;
        t.at = at;
        if (!args.empty()) {
            t.text = args[0].text;
            t.args.assign(args.begin() + 1, args.end());
        }
        pending_.push_back({std::move(t), kMaxMacroDepth});
    } else if (name == "error") {
        skipSpace(f, false);
        size_t begin = f.pos;
        skipLine(f);
        diagnostics_.error(at, "#error " + sources_.file(f.file).text.substr(begin, f.pos - begin));
    } else if (name.empty() && (peekChar(f) == '\n' || peekChar(f) < 0)) {
        // A lone '#' is a null directive.
    } else {
        diagnostics_.error(at, "unknown preprocessor directive '#" + name + "'");
        skipLine(f);
    }
}

Token Preprocessor::scan() {
    while (!files_.empty()) {
        FileState &f = files_.back();
        skipSpace(f, true);
        if (peekChar(f) < 0) {
            while (conditionals_.size() > f.conditionals) {
                diagnostics_.error(conditionals_.back().at, "#ifdef without #endif");
                conditionals_.pop_back();
            }
            Location end{f.file, f.line, f.column};
            files_.pop_back();
            if (files_.empty()) {
                Token t;
                t.at = end;
                return t;
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
        return scanRaw(f);
    }
    if (!pending_.empty()) {
        Token t = std::move(pending_.front().token);
        pending_.pop_front();
        return t;
    }
    return Token{};
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
        if (t.kind != Tok::Ident) return t;
        auto macro = macros_.find(t.text);
        if (macro == macros_.end()) return t;
        if (depth >= kMaxMacroDepth) {
            diagnostics_.error(t.at, "macro '" + t.text + "' expands without end");
            return t;
        }
        // The replacement is reported at the place of use.
        for (auto it = macro->second.rbegin(); it != macro->second.rend(); ++it) {
            Token copy = *it;
            copy.at = t.at;
            pending_.push_front({std::move(copy), depth + 1});
        }
    }
}

}  // namespace kivtool::idl
