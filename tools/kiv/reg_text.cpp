// SPDX-License-Identifier: Apache-2.0
// Writing and reading the registry export format and the JSON form of values.
#include "reg_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <span>

namespace kivtool::regtext {

namespace {

constexpr const char *kKindNames[] = {"none", "bytes", "int32", "int64", "string", "list"};
constexpr size_t kMaxKeyName = 255;

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits one line into bare words and quoted texts (kept as given, quotes included, for the
// caller to tell apart); false with `error` on an unterminated or malformed text.
struct Token {
    bool quoted;
    std::string text;  // a word, or the unescaped contents of a quoted text
};

bool tokenize(std::string_view line, std::vector<Token> &tokens, std::string &error) {
    tokens.clear();
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c != '"') {
            size_t end = line.find_first_of(" \t\"", i);
            if (end == std::string_view::npos) end = line.size();
            tokens.push_back({false, std::string(line.substr(i, end - i))});
            i = end;
            continue;
        }
        std::string text;
        for (++i;; ++i) {
            if (i >= line.size()) {
                error = "unterminated text";
                return false;
            }
            c = line[i];
            if (c == '"') break;
            if (c != '\\') {
                text += c;
                continue;
            }
            if (++i >= line.size()) {
                error = "unterminated text";
                return false;
            }
            switch (line[i]) {
                case '\\':
                case '"':
                    text += line[i];
                    break;
                case 'n':
                    text += '\n';
                    break;
                case 'r':
                    text += '\r';
                    break;
                case 't':
                    text += '\t';
                    break;
                case 'x': {
                    int high = i + 1 < line.size() ? nibble(line[i + 1]) : -1;
                    int low = i + 2 < line.size() ? nibble(line[i + 2]) : -1;
                    if (high < 0 || low < 0 || (high == 0 && low == 0)) {
                        error = "\\x needs two hexadecimal digits, not 00";
                        return false;
                    }
                    text += static_cast<char>(high << 4 | low);
                    i += 2;
                    break;
                }
                default:
                    error = std::string("unknown escape \\") + line[i];
                    return false;
            }
        }
        ++i;  // the closing quote
        if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            error = "text not followed by a space";
            return false;
        }
        tokens.push_back({true, std::move(text)});
    }
    return true;
}

// An unsigned number, decimal or hexadecimal with 0x, of at most `max`.
std::optional<uint64_t> parseNumber(std::string_view word, uint64_t max) {
    int base = 10;
    if (word.starts_with("0x") || word.starts_with("0X")) {
        word.remove_prefix(2);
        base = 16;
    }
    if (word.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : word) {
        int digit = nibble(c);
        if (digit < 0 || digit >= base) return std::nullopt;
        if (value > (max - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
            return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

std::optional<std::string> parseHexBytes(std::string_view word) {
    if (word.size() % 2) return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < word.size(); i += 2) {
        int high = nibble(word[i]), low = nibble(word[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high << 4 | low);
    }
    return bytes;
}

// The data of a `value` line after its kind; false with `error` when it does not fit the kind.
bool parseData(std::span<const Token> data, Value &value, std::string &error) {
    auto allQuoted = [&] {
        for (const Token &t : data)
            if (!t.quoted) return false;
        return true;
    };
    switch (value.kind) {
        case KIV_REG_STRING:
            if (data.size() != 1 || !data[0].quoted) break;
            value.items = {data[0].text};
            return true;
        case KIV_REG_INT32:
        case KIV_REG_INT64: {
            if (data.size() != 1 || data[0].quoted) break;
            auto n =
                parseNumber(data[0].text, value.kind == KIV_REG_INT32 ? UINT32_MAX : UINT64_MAX);
            if (!n) break;
            value.number = *n;
            return true;
        }
        case KIV_REG_BYTES: {
            if (data.size() > 1 || (data.size() == 1 && data[0].quoted)) break;
            auto bytes = parseHexBytes(data.empty() ? std::string_view() : data[0].text);
            if (!bytes) break;
            value.items = {*bytes};
            return true;
        }
        case KIV_REG_STRING_LIST:
            if (!allQuoted()) break;
            for (const Token &t : data) value.items.push_back(t.text);
            return true;
    }
    error = std::string("malformed data for ") + kindName(value.kind);
    return false;
}

bool parseLine(std::span<const Token> tokens, std::vector<Key> &keys, std::string &error) {
    const Token &head = tokens[0];
    if (!head.quoted && head.text == "key") {
        Key key;
        for (const Token &t : tokens.subspan(1)) {
            if (!t.quoted || t.text.empty() || t.text.size() > kMaxKeyName ||
                t.text.find('\\') != std::string::npos) {
                error = "key names are quoted, not empty, at most 255 bytes, without '\\'";
                return false;
            }
            key.path.push_back(t.text);
        }
        keys.push_back(std::move(key));
        return true;
    }
    if (!head.quoted && head.text == "value") {
        if (keys.empty()) {
            error = "value before any key";
            return false;
        }
        if (tokens.size() < 3 || !tokens[1].quoted || tokens[2].quoted) {
            error = "expected value \"NAME\" KIND DATA...";
            return false;
        }
        Value value{tokens[1].text, kindNamed(tokens[2].text), 0, {}};
        if (value.kind == KIV_REG_NONE) {
            error = "unknown kind '" + tokens[2].text + "'";
            return false;
        }
        if (!parseData(tokens.subspan(3), value, error)) return false;
        keys.back().values.push_back(std::move(value));
        return true;
    }
    error = "expected key or value";
    return false;
}

std::string number(uint64_t n) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, n);
    return text;
}

}  // namespace

const char *kindName(uint32_t kind) {
    return kind < std::size(kKindNames) ? kKindNames[kind] : "unknown";
}

uint32_t kindNamed(std::string_view name) {
    for (uint32_t kind = 1; kind < std::size(kKindNames); ++kind)
        if (name == kKindNames[kind]) return kind;
    return KIV_REG_NONE;
}

Value fromRegistry(std::string name, const RegistryValue &v) {
    Value value{std::move(name), v.kind, 0, {}};
    switch (v.kind) {
        case KIV_REG_BYTES:
            value.items = {std::string(static_cast<const char *>(v.bytes), v.count)};
            break;
        case KIV_REG_INT32:
            value.number = v.int32;
            break;
        case KIV_REG_INT64:
            value.number = v.int64;
            break;
        case KIV_REG_STRING:
            value.items = {v.string};
            break;
        case KIV_REG_STRING_LIST:
            value.items.assign(v.strings, v.strings + v.count);
            break;
    }
    return value;
}

RegistryValue toRegistry(Value &value, std::vector<char *> &pointers) {
    RegistryValue v{};
    v.kind = value.kind;
    switch (value.kind) {
        case KIV_REG_BYTES:
            v.count = static_cast<uint32_t>(value.items[0].size());
            v.bytes = value.items[0].data();
            break;
        case KIV_REG_INT32:
            v.int32 = static_cast<uint32_t>(value.number);
            break;
        case KIV_REG_INT64:
            v.int64 = value.number;
            break;
        case KIV_REG_STRING:
            v.string = value.items[0].data();
            break;
        case KIV_REG_STRING_LIST:
            pointers.clear();
            for (auto &item : value.items) pointers.push_back(item.data());
            v.count = static_cast<uint32_t>(pointers.size());
            v.strings = pointers.data();
            break;
    }
    return v;
}

std::optional<std::string> unhex(std::string_view digits) {
    return parseHexBytes(digits);
}

std::string hex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x" + hex(std::string_view(reinterpret_cast<const char *>(&c), 1));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string keyLine(const std::vector<std::string> &path) {
    std::string line = "key";
    for (const auto &name : path) line.append(" ").append(quote(name));
    return line;
}

std::string valueLine(const Value &value) {
    std::string line = "value " + quote(value.name) + " " + kindName(value.kind);
    switch (value.kind) {
        case KIV_REG_BYTES:
            if (!value.items[0].empty()) line.append(" ").append(hex(value.items[0]));
            break;
        case KIV_REG_INT32:
        case KIV_REG_INT64:
            line.append(" ").append(number(value.number));
            break;
        case KIV_REG_STRING:
        case KIV_REG_STRING_LIST:
            for (const auto &item : value.items) line.append(" ").append(quote(item));
            break;
    }
    return line;
}

std::optional<std::vector<Key>> parse(std::string_view text, std::string &error) {
    std::vector<Key> keys;
    std::vector<Token> tokens;
    bool headerSeen = false;
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos || line[start] == '#') continue;
        std::string problem;
        if (line.find('\0') != std::string_view::npos) {
            problem = "NUL byte";  // no key name, value name or text can hold one
        } else if (!headerSeen) {
            if (line.substr(start) != kHeader)
                problem = "expected \"" + std::string(kHeader) + "\"";
            headerSeen = true;
        } else if (tokenize(line, tokens, problem)) {
            parseLine(tokens, keys, problem);
        }
        if (!problem.empty()) {
            error = "line " + std::to_string(lineNumber) + ": " + problem;
            return std::nullopt;
        }
    }
    if (!headerSeen) {
        error = "empty input: expected \"" + std::string(kHeader) + "\"";
        return std::nullopt;
    }
    return keys;
}

std::string format(const std::vector<Key> &keys) {
    std::string text = std::string(kHeader) + "\n";
    for (const Key &key : keys) {
        text.append("\n").append(keyLine(key.path)).append("\n");
        for (const Value &value : key.values) text += valueLine(value) + "\n";
    }
    return text;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonValue(const Value &value) {
    std::string data;
    switch (value.kind) {
        case KIV_REG_BYTES:
            data = jsonString(hex(value.items[0]));
            break;
        case KIV_REG_INT32:
        case KIV_REG_INT64:
            data = number(value.number);
            break;
        case KIV_REG_STRING:
            data = jsonString(value.items[0]);
            break;
        case KIV_REG_STRING_LIST:
            data = "[";
            for (size_t i = 0; i < value.items.size(); ++i)
                data.append(i ? "," : "").append(jsonString(value.items[i]));
            data += "]";
            break;
        default:
            data = "null";
    }
    return "{\"name\":" + jsonString(value.name) + ",\"type\":\"" + kindName(value.kind) +
           "\",\"data\":" + data + "}";
}

}  // namespace kivtool::regtext
