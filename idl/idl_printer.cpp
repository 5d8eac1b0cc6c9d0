// SPDX-License-Identifier: Apache-2.0
// Prints a type library as IDL that the compiler reads back into the same records.
#include "idl_printer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "idl_text.h"

namespace kivtool::idl {

namespace {

template <class Record>
const Record &as(const kivTLibDef *def) {
    return *reinterpret_cast<const Record *>(def);
}

bool isAnonymousKind(kivTLibDefKind kind) {
    return kind >= KIV_DEF_STRING && kind <= KIV_DEF_ARRAY;
}

// The word of a reference by id: `struct "IDL:A/B:1.0"`.
const char *rawWord(kivTLibTypeTag tag) {
    switch (tag) {
        case KIV_TYPE_STRING:
            return "string";
        case KIV_TYPE_WSTRING:
            return "wstring";
        case KIV_TYPE_SEQUENCE:
            return "sequence";
        case KIV_TYPE_ARRAY:
            return "array";
        case KIV_TYPE_STRUCT:
            return "struct";
        case KIV_TYPE_UNION:
            return "union";
        case KIV_TYPE_ENUM:
            return "enum";
        case KIV_TYPE_ALIAS:
            return "typedef";
        case KIV_TYPE_INTERFACE:
            return "interface";
        default:
            return nullptr;
    }
}

std::string basicName(kivTLibTypeTag tag) {
    static const char *const names[] = {nullptr, "void",          "boolean",   "octet",
                                        "char",  "wchar",         "short",     "unsigned short",
                                        "long",  "unsigned long", "long long", "unsigned long long",
                                        "float", "double"};
    if (tag >= KIV_TYPE_VOID && tag <= KIV_TYPE_DOUBLE) return names[tag];
    if (tag >= KIV_TYPE_DECIMAL32 && tag <= KIV_TYPE_DECIMAL128)
        return "decimal" + std::to_string(32 << (tag - KIV_TYPE_DECIMAL32));
    return "/* type tag " + std::to_string(tag) + " */";
}

std::string text(const char *s) {
    return s ? s : "";
}

std::string hex32(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08" PRIx32, value);
    return buffer;
}

std::vector<const char *> itemsOf(const kivTLibDef *def) {
    std::vector<const char *> items = contentsOf(def);
    return items;
}

// Lines at the current nesting depth; the indentation stops growing at some depth, so that a
// deeply nested library prints in space proportional to its size.
class Output {
  public:
    void line(const std::string &t) {
        out_.append(4 * std::min<size_t>(depth_, kMaxIndent), ' ').append(t).append("\n");
    }
    void open(const std::string &head) {
        line(head + " {");
        ++depth_;
    }
    void close() {
        if (depth_) --depth_;
        line("};");
    }
    std::string take() { return std::move(out_); }

  private:
    static constexpr size_t kMaxIndent = 16;
    std::string out_;
    size_t depth_ = 0;
};

// The compiler's view of names while it reads the printed text, to decide where a name
// reaches the intended definition.
struct PScope;
struct PSym {
    const kivTLibDef *def = nullptr;  // null for an enumerator
    std::string enumId;
    uint32_t value = 0;
};
struct PScope {
    PScope *parent = nullptr;
    const kivTLibDef *def = nullptr;
    std::vector<std::string> path;
    std::unordered_map<std::string, PSym> names;
    std::string baseId;
    std::string annotation;  // modules: "@id(...) " when reopened
    size_t depth = 0;
};
constexpr size_t kMaxPathDepth = 200;
struct Registered {
    PScope *where = nullptr;
    PScope *inner = nullptr;
};

struct Declarator {
    std::string type;
    std::string dimensions;
    std::string around(const std::string &name) const { return type + " " + name + dimensions; }
    std::string alone() const { return type + dimensions; }
};

enum class Position { Declarator, Plain };

constexpr int kMaxTypeDepth = 32;
constexpr int kMaxUnitDepth = 128;

class Printer {
  public:
    Printer(const Library &library, bool explicitAnonymous, bool display, bool deferring = false)
        : library_(library),
          explicit_(explicitAnonymous),
          display_(display),
          deferring_(deferring) {
        root_ = &scopes_.emplace_back();
    }

    std::vector<std::string> log;  // anonymous types in the order the compiler creates them
    bool impossible = false;       // some anonymous type cannot print where it is used

    std::string whole(uint32_t nextLocalId, bool *defaultRuleHolds) {
        kivTLibDef *root = nullptr;
        if (kivTLibGetRoot(library_.handle(), &root) != 0) {
            out_.line("// no root module");
        } else {
            if (root->flags & 0xFFFF0000u)
                out_.line("#pragma root_flags " + hex32(root->flags & 0xFFFF0000u));
            visited_.insert(root);
            rootDef_ = root;
            prefix_ = commonPrefix(root);
            if (!prefix_.empty()) out_.line("#pragma prefix " + stringLiteral(prefix_, false));
        }
        const kivTLibDef *anonymousScope = library_.find(KIV_TLIB_ANONYMOUS_SCOPE_ID);
        std::vector<const char *> anonymous;
        if (anonymousScope) anonymous = itemsOf(anonymousScope);
        if (explicit_ && anonymousScope) anonymousList(anonymous);
        if (rootDef_) modules(rootDef_, root_);
        uint32_t counterAfter = 1;
        if (!explicit_) {
            bool holds = !impossible && log.size() == anonymous.size();
            for (size_t i = 0; holds && i < log.size(); ++i)
                holds = anonymous[i] && log[i] == anonymous[i] &&
                        log[i] == "LOCAL:" + std::to_string(i + 1);
            counterAfter = static_cast<uint32_t>(log.size() + 1);
            if (nextLocalId < counterAfter) holds = false;
            *defaultRuleHolds = holds;
        }
        if (nextLocalId != counterAfter)
            out_.line("#pragma next_local_id " + std::to_string(nextLocalId));
        return out_.take();
    }

    std::string one(const kivTLibDef *def) {
        if (def->kind == KIV_DEF_MODULE) {
            modules(def, root_, true);
        } else if (isAnonymousKind(def->kind)) {
            anonymousDeclaration(def);
        } else {
            std::vector<std::string> ignored;
            unit(def, root_, &ignored, 0);
        }
        return out_.take();
    }

    std::string list(const std::vector<const char *> &ids) {
        anonymousList(ids);
        return out_.take();
    }

  private:
    void anonymousList(const std::vector<const char *> &ids) {
        for (const char *id : ids) {
            if (!id) continue;
            kivResult rc = 0;
            const kivTLibDef *def = library_.find(id, &rc);
            if (!def) {
                out_.line("// " + stringLiteral(id, false) + ": " + kivStrError(rc));
                continue;
            }
            if (!isAnonymousKind(def->kind)) {
                out_.line("// " + stringLiteral(id, false) + ": a " + kindName(def->kind) +
                          " listed with the anonymous types");
                continue;
            }
            anonymousDeclaration(def);
        }
    }

    // ---- The compiler's names ----

    // Beyond the compiler's nesting limit paths are not kept (copying them would cost the
    // square of the depth); such scopes print every id and refer to definitions by id.
    PScope *newScope(PScope *parent, const kivTLibDef *def) {
        PScope &s = scopes_.emplace_back();
        s.parent = parent;
        s.def = def;
        s.depth = parent->depth + 1;
        if (s.depth <= kMaxPathDepth) {
            s.path = parent->path;
            s.path.push_back(text(def->name));
        }
        return &s;
    }

    static bool clashes(PScope *scope, const std::string &name) {
        auto it = scope->names.find(name);
        return it != scope->names.end() && it->second.def;
    }

    // Enters a definition's name as the compiler does; the first definition of a name keeps
    // it, a definition replaces an enumerator.
    void declare(PScope *scope, const kivTLibDef *def, PScope *inner) {
        std::string name = text(def->name);
        if (!clashes(scope, name)) scope->names[name] = PSym{def, "", 0};
        registered_[def->repoId] = {scope, inner};
    }

    void declareEnumerators(PScope *scope, const kivTLibEnumDef &e) {
        for (uint32_t i = 0; e.members && i < e.memberCount; ++i) {
            if (!e.members[i].name) continue;
            std::string name = e.members[i].name;
            if (!scope->names.count(name))
                scope->names[name] = PSym{nullptr, e.header.repoId, e.members[i].value};
        }
    }

    const PSym *findInside(PScope *scope, const std::string &name) {
        for (int depth = 0; scope && depth < 64; ++depth) {
            auto it = scope->names.find(name);
            if (it != scope->names.end()) return &it->second;
            if (scope->baseId.empty()) return nullptr;
            auto base = registered_.find(scope->baseId);
            scope = base == registered_.end() ? nullptr : base->second.inner;
        }
        return nullptr;
    }

    const PSym *resolve(const std::vector<std::string> &parts, bool absolute, PScope *from) {
        const PSym *found = nullptr;
        if (absolute) {
            found = findInside(root_, parts[0]);
        } else {
            for (PScope *s = from; s && !found; s = s->parent) found = findInside(s, parts[0]);
        }
        for (size_t i = 1; found && i < parts.size(); ++i) {
            if (!found->def) return nullptr;
            auto r = registered_.find(found->def->repoId);
            if (r == registered_.end() || !r->second.inner) return nullptr;
            found = findInside(r->second.inner, parts[i]);
        }
        return found;
    }

    static std::string spelled(const std::vector<std::string> &parts, bool absolute) {
        std::string out = absolute ? "::" : "";
        for (size_t i = 0; i < parts.size(); ++i) out += (i ? "::" : "") + idlName(parts[i]);
        return out;
    }

    // A name that reaches `target` from `from`, "" when none does.
    std::string nameOf(const kivTLibDef *target, PScope *from) {
        if (display_) return displayName(target);
        auto r = registered_.find(target->repoId);
        if (r == registered_.end() || r->second.where->depth >= kMaxPathDepth) return "";
        std::vector<std::string> parts = r->second.where->path;
        parts.push_back(text(target->name));
        for (bool absolute : {false, true}) {
            const PSym *s = resolve(parts, absolute, from);
            if (s && s->def == target) return spelled(parts, absolute);
        }
        return "";
    }

    // Names from the root for reading, without the compiler's checks.
    std::string displayName(const kivTLibDef *def) {
        std::deque<std::string> names;
        for (int depth = 0; def && depth < 64; ++depth) {
            names.push_front(idlName(text(def->name)));
            if (!def->scopeId || std::strcmp(def->scopeId, KIV_TLIB_ROOT_ID) == 0) break;
            def = library_.find(def->scopeId);
        }
        std::string out;
        for (auto &n : names) out += (out.empty() ? "" : "::") + n;
        return out;
    }

    bool hidden(PScope *from, const char *word) {
        return !display_ && resolve({word}, false, from) != nullptr;
    }

    // "@id(...) " when the compiler would not derive the id, or must be told because the
    // name is taken in the scope; "@flags(...) " for caller flags.
    std::string annotations(PScope *scope, const kivTLibDef *def, bool withFlags = true) {
        std::string out;
        std::vector<std::string> path = scope->path;
        path.push_back(text(def->name));
        std::string derived = "IDL:" + (prefix_.empty() ? "" : prefix_ + "/");
        for (size_t i = 0; i < path.size(); ++i) derived += (i ? "/" : "") + path[i];
        derived += ":1.0";
        if (derived != def->repoId || clashes(scope, text(def->name)) ||
            scope->depth >= kMaxPathDepth)
            out += "@id(" + stringLiteral(def->repoId, false) + ") ";
        uint32_t flags = def->flags & 0xFFFF0000u;
        if (withFlags && flags) out += "@flags(" + hex32(flags) + ") ";
        return out;
    }

    // The prefix of the first outermost definition's IDL id (IDL:acme.com/Demo:1.0 gives
    // acme.com), so that a library made with #pragma prefix prints with it, not with an
    // @id on every definition.
    std::string commonPrefix(const kivTLibDef *root) {
        for (const char *id : itemsOf(root)) {
            const kivTLibDef *def = id ? library_.find(id) : nullptr;
            if (!def || !def->name || !*def->name) continue;
            std::string_view repoId = def->repoId;
            std::string tail = "/" + std::string(def->name) + ":1.0";
            if (!repoId.starts_with("IDL:") || !repoId.ends_with(tail)) return "";
            std::string prefix(repoId.substr(4, repoId.size() - 4 - tail.size()));
            if (prefix.find_first_of("\"\n") != std::string::npos) return "";
            return prefix;
        }
        return "";
    }

    // ---- Types and values ----

    Declarator type(const kivTLibTypeRef &ref, PScope *from, Position position,
                    std::vector<std::string> *log, int depth) {
        kivTLibTypeTag tag = ref.tag;
        if ((tag >= KIV_TYPE_VOID && tag <= KIV_TYPE_DOUBLE) ||
            (tag >= KIV_TYPE_DECIMAL32 && tag <= KIV_TYPE_DECIMAL128))
            return {basicName(tag), ""};
        const char *word = rawWord(tag);
        if (!word) return {basicName(tag), ""};
        if (!ref.repoId) {
            if (tag == KIV_TYPE_STRING || tag == KIV_TYPE_WSTRING) return {word, ""};
            return {std::string(word) + " \"\"", ""};  // not valid; shows the fault
        }
        const kivTLibDef *def = library_.find(ref.repoId);
        bool matches = def && def->kind == kindOfTag(tag);
        if (matches && isAnonymousKind(def->kind)) {
            bool inlined = (!explicit_ || display_) && depth < kMaxTypeDepth &&
                           (tag != KIV_TYPE_ARRAY || position == Position::Declarator);
            if (inlined) return anonymous(def, from, log, depth);
        } else if (matches) {
            std::string name = nameOf(def, from);
            if (!name.empty()) return {name, ""};
        }
        return {std::string(word) + " " + stringLiteral(ref.repoId, false), ""};
    }

    // string<32>, sequence<long, 10>, or an array's element with its dimensions; the
    // compiler creates the element first, then this type.
    Declarator anonymous(const kivTLibDef *def, PScope *from, std::vector<std::string> *log,
                         int depth) {
        if (def->flags & 0xFFFF0000u) impossible = true;
        Declarator d = anonymousType(def, from, Position::Declarator, log, depth);
        if (log) log->push_back(def->repoId);
        return d;
    }

    void anonymousDeclaration(const kivTLibDef *def) {
        std::string flags;
        if (def->flags & 0xFFFF0000u) flags = "@flags(" + hex32(def->flags & 0xFFFF0000u) + ") ";
        // For reading, nested arrays show as dimensions: long[2][3].
        Declarator d = anonymousType(def, root_, display_ ? Position::Declarator : Position::Plain,
                                     nullptr, -1);  // the element is at depth 0
        out_.line(flags + "anonymous " + stringLiteral(def->repoId, false) + " " + d.alone() + ";");
    }

    // The text of an anonymous type; an array's element is written at `elementPosition`.
    Declarator anonymousType(const kivTLibDef *def, PScope *from, Position elementPosition,
                             std::vector<std::string> *log, int depth) {
        Declarator d;
        switch (def->kind) {
            case KIV_DEF_STRING:
            case KIV_DEF_WSTRING:
                d.type = std::string(def->kind == KIV_DEF_STRING ? "string<" : "wstring<") +
                         std::to_string(as<kivTLibStringDef>(def).bound) + ">";
                break;
            case KIV_DEF_SEQUENCE: {
                auto &s = as<kivTLibSequenceDef>(def);
                std::string element =
                    type(s.element, from, Position::Plain, log, depth + 1).alone();
                d.type =
                    "sequence<" + element + (s.bound ? ", " + std::to_string(s.bound) : "") + ">";
                break;
            }
            default: {
                auto &a = as<kivTLibArrayDef>(def);
                Declarator element = type(a.element, from, elementPosition, log, depth + 1);
                d = {element.type, "[" + std::to_string(a.length) + "]" + element.dimensions};
                break;
            }
        }
        return d;
    }

    std::string enumerator(const char *enumId, uint32_t value, PScope *from) {
        const kivTLibDef *def = enumId ? library_.find(enumId) : nullptr;
        if (!def || def->kind != KIV_DEF_ENUM) return std::to_string(value);
        auto &e = as<kivTLibEnumDef>(def);
        if (display_) {
            for (uint32_t i = 0; e.members && i < e.memberCount; ++i)
                if (e.members[i].value == value && e.members[i].name) {
                    bool inRoot = !def->scopeId || std::strcmp(def->scopeId, KIV_TLIB_ROOT_ID) == 0;
                    std::string scope = inRoot ? "" : displayName(library_.find(def->scopeId));
                    return (scope.empty() ? "" : scope + "::") + idlName(e.members[i].name);
                }
            return std::to_string(value);
        }
        auto r = registered_.find(enumId);
        if (r == registered_.end() || r->second.where->depth >= kMaxPathDepth)
            return std::to_string(value);
        for (uint32_t i = 0; e.members && i < e.memberCount; ++i) {
            if (e.members[i].value != value || !e.members[i].name) continue;
            std::vector<std::string> parts = r->second.where->path;
            parts.push_back(e.members[i].name);
            for (bool absolute : {false, true}) {
                const PSym *s = resolve(parts, absolute, from);
                if (s && !s->def && s->enumId == enumId && s->value == value)
                    return spelled(parts, absolute);
            }
        }
        return std::to_string(value);
    }

    std::string value(const kivTLibValue &v, const char *enumId, PScope *from) {
        switch (v.tag) {
            case KIV_TYPE_BOOLEAN:
                if (v.u8 > 1) return bitsLiteral(v.u8, 8);
                return v.u8 ? "TRUE" : "FALSE";
            case KIV_TYPE_OCTET:
                return std::to_string(v.u8);
            case KIV_TYPE_CHAR:
                return charLiteral(v.u8);
            case KIV_TYPE_WCHAR:
                return wcharLiteral(v.u16);
            case KIV_TYPE_SHORT:
                return std::to_string(static_cast<int16_t>(v.u16));
            case KIV_TYPE_USHORT:
                return std::to_string(v.u16);
            case KIV_TYPE_LONG:
                return std::to_string(static_cast<int32_t>(v.u32));
            case KIV_TYPE_ULONG:
                return std::to_string(v.u32);
            case KIV_TYPE_LONGLONG:
                return std::to_string(static_cast<int64_t>(v.u64));
            case KIV_TYPE_ULONGLONG:
                return std::to_string(v.u64);
            case KIV_TYPE_FLOAT: {
                std::string t = floatLiteral(v.f32);
                if (floatBits(t) == v.u32 && !specialHidden(t, from)) return t;
                return bitsLiteral(v.u32, 32);
            }
            case KIV_TYPE_DOUBLE: {
                std::string t = floatLiteral(v.f64);
                if (doubleBits(t) == v.u64 && !specialHidden(t, from)) return t;
                return bitsLiteral(v.u64, 64);
            }
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                return stringLiteral(text(v.str), v.tag == KIV_TYPE_WSTRING);
            case KIV_TYPE_ENUM:
                return enumerator(enumId, v.u32, from);
            case KIV_TYPE_DECIMAL32:
                return decimal(decimal32Text(v.u32), v.u32, 32, from);
            case KIV_TYPE_DECIMAL64:
                return decimal(decimal64Text(v.u64), v.u64, 64, from);
            case KIV_TYPE_DECIMAL128: {
                Bits128 bits = (static_cast<Bits128>(v.d128[1]) << 64) | v.d128[0];
                return decimal(decimal128Text(v.d128[0], v.d128[1]), bits, 128, from);
            }
            default:
                return "/* value of tag " + std::to_string(v.tag) + " */";
        }
    }

    bool specialHidden(const std::string &t, PScope *from) {
        std::string_view word = t;
        if (word.starts_with("-")) word.remove_prefix(1);
        if (word != "NaN" && word != "Infinity" && word != "sNaN") return false;
        return hidden(from, std::string(word).c_str());
    }

    std::string decimal(std::string t, Bits128 bits, int width, PScope *from) {
        // Long integers would not fit the scanner's 64-bit numbers: an exponent makes them
        // floating literals with the same digits.
        if (t.find_first_not_of("-0123456789") == std::string::npos && t.size() > 18) t += "E+0";
        if (decimalBits(t, width) == bits && !specialHidden(t, from)) return t;
        return bitsLiteral(bits, width);
    }

    // ---- Definitions ----

    // The contents of a unit (interface, structure, union) from `first` on.
    void nested(const kivTLibDef *scopeDef, PScope *inner, size_t first, size_t last,
                std::vector<std::string> *log, int depth) {
        std::vector<const char *> items = itemsOf(scopeDef);
        for (size_t i = first; i < last && i < items.size(); ++i) {
            if (!items[i]) continue;
            kivResult rc = 0;
            const kivTLibDef *def = library_.find(items[i], &rc);
            if (!def) {
                out_.line("// " + stringLiteral(items[i], false) + ": " + kivStrError(rc));
                continue;
            }
            bool allowed = def->kind == KIV_DEF_STRUCT || def->kind == KIV_DEF_UNION ||
                           def->kind == KIV_DEF_ENUM ||
                           (scopeDef->kind == KIV_DEF_INTERFACE &&
                            (def->kind == KIV_DEF_CONSTANT || def->kind == KIV_DEF_ALIAS));
            if (!allowed || !visited_.insert(def).second) {
                out_.line("// " + stringLiteral(items[i], false) + ": a " + kindName(def->kind) +
                          " that cannot be listed here");
                continue;
            }
            unit(def, inner, log, depth + 1);
        }
    }

    void unit(const kivTLibDef *def, PScope *scope, std::vector<std::string> *log, int depth) {
        if (depth > kMaxUnitDepth) {
            out_.line("// " + stringLiteral(def->repoId, false) + ": nested too deeply to print");
            return;
        }
        std::string name = idlName(text(def->name));
        switch (def->kind) {
            case KIV_DEF_CONSTANT: {
                auto &k = as<kivTLibConstantDef>(def);
                std::string head = annotations(scope, def);
                Declarator t = type(k.type, scope, Position::Plain, log, 0);
                if (k.type.tag == KIV_TYPE_STRING && k.value.tag == KIV_TYPE_STRING &&
                    k.type.repoId && k.value.str) {
                    const kivTLibDef *s = library_.find(k.type.repoId);
                    if (s && s->kind == KIV_DEF_STRING && as<kivTLibStringDef>(s).bound &&
                        std::strlen(k.value.str) > as<kivTLibStringDef>(s).bound)
                        impossible = true;  // the compiler checks the bound of a written type
                }
                std::string v = value(k.value, k.type.repoId, scope);
                declare(scope, def, nullptr);
                out_.line(head + "const " + t.around(name) + " = " + v + ";");
                return;
            }
            case KIV_DEF_ALIAS: {
                std::string head = annotations(scope, def);
                Declarator t =
                    type(as<kivTLibAliasDef>(def).type, scope, Position::Declarator, log, 0);
                declare(scope, def, nullptr);
                out_.line(head + "typedef " + t.around(name) + ";");
                return;
            }
            case KIV_DEF_ENUM: {
                auto &e = as<kivTLibEnumDef>(def);
                std::string head = annotations(scope, def);
                declare(scope, def, nullptr);
                out_.open(head + "enum " + name);
                uint64_t next = 0;
                for (uint32_t i = 0; e.members && i < e.memberCount; ++i) {
                    std::string line = idlName(text(e.members[i].name));
                    if (e.members[i].value != next)
                        line += " = " + std::to_string(e.members[i].value);
                    next = uint64_t{e.members[i].value} + 1;
                    out_.line(line + (i + 1 < e.memberCount ? "," : ""));
                }
                out_.close();
                declareEnumerators(scope, e);
                return;
            }
            case KIV_DEF_STRUCT: {
                auto &s = as<kivTLibStructDef>(def);
                std::string head = annotations(scope, def);
                PScope *inner = newScope(scope, def);
                declare(scope, def, inner);
                out_.open(head + "struct " + name);
                std::vector<std::string> nestedLog;
                nested(def, inner, 0, s.contentCount, &nestedLog, depth);
                for (uint32_t m = 0; s.members && m < s.memberCount; ++m) {
                    Declarator t = type(s.members[m].type, inner, Position::Declarator, log, 0);
                    out_.line(t.around(idlName(text(s.members[m].name))) + ";");
                }
                out_.close();
                log->insert(log->end(), nestedLog.begin(), nestedLog.end());
                return;
            }
            case KIV_DEF_UNION: {
                auto &u = as<kivTLibUnionDef>(def);
                std::string head = annotations(scope, def);
                PScope *inner = newScope(scope, def);
                declare(scope, def, inner);
                Declarator d = type(u.discriminator, scope, Position::Plain, log, 0);
                out_.open(head + "union " + name + " switch (" + d.alone() + ")");
                std::vector<std::string> nestedLog;
                nested(def, inner, 0, u.contentCount, &nestedLog, depth);
                for (uint32_t i = 0; u.cases && i < u.caseCount; ++i) {
                    const kivTLibUnionCase &c = u.cases[i];
                    std::string label =
                        c.label.tag == KIV_VALUE_NONE
                            ? "default"
                            : "case " + value(c.label, u.discriminator.repoId, inner);
                    Declarator t = type(c.type, inner, Position::Declarator, log, 0);
                    out_.line(label + ": " + t.around(idlName(text(c.name))) + ";");
                }
                out_.close();
                log->insert(log->end(), nestedLog.begin(), nestedLog.end());
                return;
            }
            case KIV_DEF_INTERFACE:
                interface(def, scope, log, depth);
                return;
            default:
                out_.line("// " + stringLiteral(def->repoId, false) + ": a " + kindName(def->kind) +
                          " that cannot be listed here");
                return;
        }
    }

    // How many nested definitions an interface received before it was completed: the one
    // order of creation that gives its string table as stored.
    static size_t splitPoint(const kivTLibInterfaceDef &i, const std::vector<const char *> &items) {
        const kivTLibStringTable *table = i.header.strings;
        if (!table || items.empty()) return 0;
        for (size_t k = 0; k <= items.size() && k < 256; ++k) {
            std::vector<std::string> strings;
            std::unordered_set<std::string> seen;
            auto add = [&](const char *s) {
                if (s && seen.insert(s).second) strings.push_back(s);
            };
            add(i.header.name);
            add(i.header.repoId);
            add(i.header.scopeId);
            for (size_t j = 0; j < k; ++j) add(items[j]);
            add(i.baseId);
            for (uint32_t m = 0; i.members && m < i.memberCount; ++m) {
                add(i.members[m].name);
                add(i.members[m].type.repoId);
                if (i.members[m].kind != KIV_MEMBER_OPERATION || !i.members[m].params) continue;
                for (uint32_t p = 0; p < i.members[m].paramCount; ++p) {
                    add(i.members[m].params[p].name);
                    add(i.members[m].params[p].type.repoId);
                }
            }
            for (size_t j = k; j < items.size(); ++j) add(items[j]);
            bool same = strings.size() == table->count;
            for (size_t j = 0; same && j < strings.size(); ++j)
                same = table->strings[j] && strings[j] == table->strings[j];
            if (same) return k;
        }
        return 0;
    }

    // An interface at its place in its module: whole when it can be, else its forward
    // declaration now and the rest once its base has been printed.
    void interface(const kivTLibDef *def, PScope *scope, std::vector<std::string> *log, int depth) {
        auto &i = as<kivTLibInterfaceDef>(def);
        std::vector<const char *> items = itemsOf(def);
        bool forward = def->flags & KIV_DEF_FORWARD;
        size_t split = forward ? items.size() : splitPoint(i, items);
        bool baseReady = !i.baseId || display_ || registered_.count(i.baseId);
        bool defer = deferring_ && !forward && refersAhead(i);
        if (!forward && split == 0 && baseReady && !defer) {
            complete(def, scope, 0, log, depth, true);
            return;
        }
        std::string head = annotations(scope, def, forward);
        PScope *inner = newScope(scope, def);
        declare(scope, def, inner);
        if (items.empty() || split == 0) {
            out_.line(head + "interface " + idlName(text(def->name)) + ";");
        } else {
            out_.open(head + "@forward interface " + idlName(text(def->name)));
            nested(def, inner, 0, split, log, depth);
            out_.close();
        }
        if (forward) return;
        Pending p{def, scope, split};
        if (defer)
            moduleEnd_[scope].push_back(p);
        else if (baseReady)
            completion(p, log, depth);
        else
            waiting_[i.baseId].push_back(p);
    }

    struct Pending {
        const kivTLibDef *def;
        PScope *scope;
        size_t split;
    };

    // Whether an interface's members name a definition not printed yet: such an interface
    // was likely declared first and defined at the end of its module, the way IDL is written.
    bool refersAhead(const kivTLibInterfaceDef &i) {
        auto ahead = [&](const kivTLibTypeRef &r) {
            if (r.tag < KIV_TYPE_STRUCT || r.tag > KIV_TYPE_INTERFACE ||
                r.tag == KIV_TYPE_SEQUENCE || r.tag == KIV_TYPE_ARRAY || !r.repoId)
                return false;
            const kivTLibDef *d = library_.find(r.repoId);
            // The interface itself and what it holds are printed with it.
            if (!d || d == &i.header ||
                (d->scopeId && std::strcmp(d->scopeId, i.header.repoId) == 0))
                return false;
            return !registered_.count(r.repoId);
        };
        for (uint32_t m = 0; i.members && m < i.memberCount; ++m) {
            if (ahead(i.members[m].type)) return true;
            for (uint32_t p = 0; i.members[m].params && p < i.members[m].paramCount; ++p)
                if (ahead(i.members[m].params[p].type)) return true;
        }
        return false;
    }

    void completion(const Pending &p, std::vector<std::string> *log, int depth) {
        complete(p.def, p.scope, p.split, log, depth, false);
    }

    void complete(const kivTLibDef *def, PScope *scope, size_t split, std::vector<std::string> *log,
                  int depth, bool first) {
        auto &i = as<kivTLibInterfaceDef>(def);
        std::string head = annotations(scope, def);
        std::string base;
        if (i.baseId) {
            const kivTLibDef *b = library_.find(i.baseId);
            if (b && b->kind == KIV_DEF_INTERFACE) base = nameOf(b, scope);
            if (base.empty()) base = "interface " + stringLiteral(i.baseId, false);
            base = " : " + base;
        }
        PScope *inner;
        if (first) {
            inner = newScope(scope, def);
            declare(scope, def, inner);
        } else {
            inner = registered_[def->repoId].inner;
        }
        if (i.baseId) inner->baseId = i.baseId;
        out_.open(head + "interface " + idlName(text(def->name)) + base);
        std::vector<std::string> nestedLog;
        nested(def, inner, split, i.contentCount, &nestedLog, depth);
        for (uint32_t m = 0; i.members && m < i.memberCount; ++m) member(i.members[m], inner, log);
        out_.close();
        log->insert(log->end(), nestedLog.begin(), nestedLog.end());
    }

    void member(const kivTLibMember &m, PScope *inner, std::vector<std::string> *log) {
        std::string name = idlName(text(m.name));
        if (m.kind == KIV_MEMBER_ATTRIBUTE) {
            uint32_t flags = m.flags & ~KIV_MEMBER_READONLY;
            std::string head = flags ? "@flags(" + hex32(flags) + ") " : "";
            if (m.flags & KIV_MEMBER_READONLY) head += "readonly ";
            Declarator t = type(m.type, inner, Position::Declarator, log, 0);
            out_.line(head + "attribute " + t.around(name) + ";");
            return;
        }
        std::string head = m.flags ? "@flags(" + hex32(m.flags) + ") " : "";
        Declarator result = type(m.type, inner, Position::Plain, log, 0);
        std::string params;
        for (uint32_t p = 0; m.params && p < m.paramCount; ++p) {
            static const char *const directions[] = {"/* direction 0 */", "in", "out", "inout"};
            const kivTLibParam &param = m.params[p];
            Declarator t = type(param.type, inner, Position::Declarator, log, 0);
            params += (p ? ", " : "") + std::string(directions[param.direction & 3]) + " " +
                      t.around(idlName(text(param.name)));
        }
        out_.line(head + result.alone() + " " + name + "(" + params + ");");
    }

    // ---- Modules, iteratively ----

    // Makes `target` the innermost open module, closing and reopening blocks as needed.
    void enter(PScope *target) {
        PScope *current = open_.empty() ? root_ : open_.back();
        if (current == target) return;
        if (target->parent == current) {
            openBlock(target);
            return;
        }
        std::vector<PScope *> chain;
        for (PScope *s = target; s && s != root_; s = s->parent) chain.push_back(s);
        std::reverse(chain.begin(), chain.end());
        size_t common = 0;
        while (common < chain.size() && common < open_.size() && chain[common] == open_[common])
            ++common;
        while (open_.size() > common) {
            out_.close();
            open_.pop_back();
        }
        for (size_t i = common; i < chain.size(); ++i) openBlock(chain[i]);
    }

    void openBlock(PScope *module) {
        out_.open(module->annotation + "module " + idlName(text(module->def->name)));
        open_.push_back(module);
    }

    void modules(const kivTLibDef *start, PScope *startScope, bool single = false) {
        struct Frame {
            const kivTLibDef *def;
            PScope *scope;
            std::vector<const char *> items;
            size_t next;
        };
        std::vector<Frame> frames;
        if (single) {
            PScope *inner = newScope(startScope, start);
            inner->annotation = annotations(startScope, start, false);
            declare(startScope, start, inner);
            enter(inner);
            frames.push_back({start, inner, itemsOf(start), 0});
        } else {
            frames.push_back({start, startScope, itemsOf(start), 0});
        }
        while (!frames.empty()) {
            Frame &f = frames.back();
            if (f.next >= f.items.size()) {
                auto late = moduleEnd_.find(f.scope);
                frames.pop_back();
                if (late != moduleEnd_.end()) {
                    std::vector<Pending> list = std::move(late->second);
                    moduleEnd_.erase(late);
                    for (const Pending &p : list) {
                        auto &i = as<kivTLibInterfaceDef>(p.def);
                        if (i.baseId && !registered_.count(i.baseId)) {
                            waiting_[i.baseId].push_back(p);
                            continue;
                        }
                        enter(p.scope);
                        completion(p, &log, 0);
                    }
                }
                continue;
            }
            const char *id = f.items[f.next++];
            if (!id) continue;
            PScope *scope = f.scope;
            kivResult rc = 0;
            const kivTLibDef *def = library_.find(id, &rc);
            enter(scope);
            if (!def) {
                out_.line("// " + stringLiteral(id, false) + ": " + kivStrError(rc));
                continue;
            }
            if (!visited_.insert(def).second || isAnonymousKind(def->kind) ||
                def->kind < KIV_DEF_MODULE || def->kind > KIV_DEF_ARRAY) {
                out_.line("// " + stringLiteral(id, false) + ": a " + kindName(def->kind) +
                          " that cannot be listed here");
                continue;
            }
            if (def->kind == KIV_DEF_MODULE) {
                PScope *inner = newScope(scope, def);
                inner->annotation = annotations(scope, def, false);
                declare(scope, def, inner);
                openBlock(inner);
                frames.push_back({def, inner, itemsOf(def), 0});
                continue;
            }
            unit(def, scope, &log, 0);
            if (def->kind == KIV_DEF_INTERFACE) released(def->repoId);
        }
        for (auto &[base, list] : waiting_)
            for (const Pending &p : list) {
                enter(p.scope);
                completion(p, &log, 0);
            }
        waiting_.clear();
        enter(root_);
    }

    // An interface was printed: the completions that waited for it as their base follow.
    void released(const std::string &id) {
        std::vector<std::string> ready{id};
        while (!ready.empty()) {
            std::string next = ready.back();
            ready.pop_back();
            auto it = waiting_.find(next);
            if (it == waiting_.end()) continue;
            std::vector<Pending> list = std::move(it->second);
            waiting_.erase(it);
            for (const Pending &p : list) {
                enter(p.scope);
                completion(p, &log, 0);
            }
        }
    }

    const Library &library_;
    bool explicit_;
    bool display_;
    Output out_;
    std::deque<PScope> scopes_;
    PScope *root_;
    const kivTLibDef *rootDef_ = nullptr;
    std::string prefix_;
    std::unordered_map<std::string, Registered> registered_;
    std::unordered_set<const kivTLibDef *> visited_;
    std::vector<PScope *> open_;
    std::unordered_map<std::string, std::vector<Pending>> waiting_;
    std::unordered_map<PScope *, std::vector<Pending>> moduleEnd_;
    bool deferring_;
};

}  // namespace

std::string printLibrary(const Library &library) {
    uint32_t nextLocalId = 1;
    library.nextLocalId(&nextLocalId);
    // Anonymous types print where they are used when the compiler would number them as the
    // library has them: first as the definitions come, then with interfaces that use later
    // names completed at the end of their module; else they are listed by id.
    for (bool deferring : {false, true}) {
        bool holds = false;
        std::string text = Printer(library, false, false, deferring).whole(nextLocalId, &holds);
        if (holds) return text;
    }
    bool ignored;
    return Printer(library, true, false).whole(nextLocalId, &ignored);
}

std::string printDefinition(const Library &library, const kivTLibDef *def) {
    if (std::strcmp(def->repoId, KIV_TLIB_ROOT_ID) == 0) return printLibrary(library);
    Printer printer(library, false, true);
    if (std::strcmp(def->repoId, KIV_TLIB_ANONYMOUS_SCOPE_ID) == 0)
        return printer.list(contentsOf(def));
    return printer.one(def);
}

}  // namespace kivtool::idl
