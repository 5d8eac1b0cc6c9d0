// SPDX-License-Identifier: Apache-2.0
// Generation of C and C++ headers from type library definitions (the mapping of docs/mapping.md).
#include "header_gen.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace kivtool {

namespace {

// Thrown inside the generator and turned into the one-line error of generateHeader.
struct Failure {
    std::string message;
};

[[noreturn]] void fail(std::string message) {
    throw Failure{std::move(message)};
}

template <class Record>
const Record &as(const kivTLibDef *def) {
    return *reinterpret_cast<const Record *>(def);
}

std::string hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIx64, value);
    return buffer;
}

// IDL identifiers that are keywords of C or C++ (or the `self` parameter) get a trailing '_'.
std::string ident(std::string_view name) {
    // clang-format off
    static const std::set<std::string_view> reserved = {
        "_Alignas", "_Alignof", "_Atomic", "_Bool", "_Complex", "_Generic", "_Imaginary",
        "_Noreturn", "_Static_assert", "_Thread_local", "alignas", "alignof", "and", "and_eq",
        "asm", "auto", "bitand", "bitor", "bool", "break", "case", "catch", "char", "char16_t",
        "char32_t", "char8_t", "class", "co_await", "co_return", "co_yield", "compl", "concept",
        "const", "const_cast", "consteval", "constexpr", "constinit", "continue", "decltype",
        "default", "delete", "do", "double", "dynamic_cast", "else", "enum", "explicit", "export",
        "extern", "false", "float", "for", "friend", "goto", "if", "inline", "int", "long",
        "mutable", "namespace", "new", "noexcept", "not", "not_eq", "nullptr", "operator", "or",
        "or_eq", "private", "protected", "public", "register", "reinterpret_cast", "requires",
        "restrict", "return", "self", "short", "signed", "sizeof", "static", "static_assert",
        "static_cast", "struct", "switch", "template", "this", "thread_local", "throw", "true",
        "try", "typedef", "typeid", "typename", "union", "unsigned", "using", "virtual", "void",
        "volatile", "wchar_t", "while", "xor", "xor_eq"};
    // clang-format on
    std::string out(name);
    if (reserved.count(name)) out += '_';
    return out;
}

// Names that <kiv.h> and the standard headers it includes already give a meaning: a generated
// type, macro, field or parameter with one of them would not compile or would change meaning.
bool isReservedName(std::string_view name) {
    // clang-format off
    static const std::set<std::string_view> taken = {
        "IUnknown", "IUnknownVtbl", "IObjectFactory", "IObjectFactoryVtbl", "IRegistry",
        "IRegistryVtbl", "RegistryValue", "StringList", "NamedValue", "NamedValueList",
        "RegistryKeyInfo", "NULL", "NAN", "INFINITY", "bool", "true", "false", "size_t",
        "int8_t", "int16_t", "int32_t", "int64_t", "uint8_t", "uint16_t", "uint32_t", "uint64_t",
        "INT8_C", "INT16_C", "INT32_C", "INT64_C", "UINT8_C", "UINT16_C", "UINT32_C", "UINT64_C",
        "char16_t"};
    // clang-format on
    auto upper = [&](size_t at) {
        return name.size() > at && std::isupper(static_cast<unsigned char>(name[at]));
    };
    return taken.count(name) || name.starts_with("KIV_") || (name.starts_with("kiv") && upper(3));
}

bool isIdentifier(std::string_view text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

// The C type of an interface that <kiv.h> declares, or "" for any other id.
std::string_view wellKnownInterface(std::string_view id) {
    if (id == KIV_IID_IUNKNOWN) return "IUnknown";
    if (id == KIV_IID_IOBJECTFACTORY) return "IObjectFactory";
    if (id == KIV_IID_IREGISTRY) return "IRegistry";
    return "";
}

// A C string literal; octal escapes cannot run into the following character.
std::string cString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\' || c == '?') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\%03o", c);
            out += buffer;
        }
    }
    return out + "\"";
}

// A u"" literal of the UTF-16 form of UTF-8 text.
std::string wideString(std::string_view text) {
    std::string out = "u\"";
    for (size_t i = 0; i < text.size();) {
        auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        uint32_t cp = byte(i);
        size_t extra = cp < 0x80         ? 0
                       : (cp >> 5) == 6  ? 1
                       : (cp >> 4) == 14 ? 2
                       : (cp >> 3) == 30 ? 3
                                         : 9;
        if (extra == 9 || (extra && i + extra >= text.size()))
            fail("wide string constant is not UTF-8");
        if (extra) cp &= 0x3Fu >> extra;
        for (size_t k = 1; k <= extra; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) fail("wide string constant is not UTF-8");
            cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        i += extra + 1;
        char buffer[16];
        if (cp == '"' || cp == '\\' || cp == '?') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp >= 0x20 && cp < 0x7F) {
            out += static_cast<char>(cp);
        } else if (cp < 0xA0) {
            std::snprintf(buffer, sizeof buffer, "\\%03o", cp);
            out += buffer;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            fail("wide string constant is not UTF-8");
        } else {
            std::snprintf(buffer, sizeof buffer, cp < 0x10000 ? "\\u%04" PRIx32 : "\\U%08" PRIx32,
                          cp);
            out += buffer;
        }
    }
    return out + "\"";
}

// How a mapped type is passed and declared.
enum class Cat { Void, Scalar, String, WString, Aggregate, Array, Interface };

struct CType {
    std::string typeName;  // type specifier, "char *" for strings and interfaces
    std::string dims;      // array declarator suffix, "[2][3]"
    Cat cat = Cat::Scalar;
};

std::string declare(const std::string &typeName, const std::string &name,
                    const std::string &dims = "") {
    if (!typeName.empty() && typeName.back() == '*') return typeName + name + dims;
    return typeName + " " + name + dims;
}

std::string pointerTo(const std::string &typeName) {
    return typeName.back() == '*' ? typeName + "*" : typeName + " *";
}

// One slot of a function table after the base slots.
struct Slot {
    std::string name;
    const kivTLibDef *owner;          // the interface that declares the member
    std::vector<std::string> params;  // declarations after self
    std::vector<std::string> args;    // their names
};

// Deepest nesting of types, scopes and bases that the generator follows: far beyond what IDL
// is written with, and well within the stack.
constexpr int kMaxNesting = 200;

class Generator {
  public:
    Generator(kivTLib *tlib, HeaderLang lang) : tlib_(tlib), lang_(lang) {}

    // Everything reachable from the root module.
    void everything() {
        kivTLibDef *root = nullptr;
        if (kivResult rc = kivTLibGetRoot(tlib_, &root))
            fail(std::string("root module: ") + kivStrError(rc));
        request(root);
    }

    void request(const std::string &id) { request(find(id.c_str(), nullptr)); }

    // The end of a C header: structures and unions that were only declared ahead get their
    // definitions (a sequence of them is of no use without), then the free helpers of every
    // structure, union and sequence, all declared before any is defined since they call each
    // other as the types nest.
    void finish() {
        if (cxx()) return;
        for (bool more = true; more;) {
            more = false;
            std::vector<const kivTLibDef *> incomplete;
            for (const kivTLibDef *def : declared_)
                if (def->kind != KIV_DEF_INTERFACE && state_[def] != 2) incomplete.push_back(def);
            for (const kivTLibDef *def : incomplete) {
                ensure(def, true);
                more = true;
            }
        }
        if (helpers_.empty()) return;
        std::string declarations, definitions;
        // By index: writing a helper maps types again, and a record met only now is appended.
        for (size_t i = 0; i < helpers_.size(); ++i) {
            const Helper h = helpers_[i];
            std::string owner =
                h.def ? h.def->repoId : "sequence<" + identity(h.element, h.user) + ">";
            std::string function = h.typeName + "_freeContents";
            claim(function, "the free helper of " + owner);
            std::string head = "static inline void " + function + "(" + h.typeName + " *value)";
            declarations += head + ";\n";
            std::string code = h.def ? (h.def->kind == KIV_DEF_STRUCT ? structFreeCode(h.def)
                                                                      : unionFreeCode(h.def))
                                     : sequenceFreeCode(h);
            definitions +=
                "\n" + wrap(guardOfHelper(function, owner), head + " {\n" + code + "}\n");
        }
        body +=
            "\n/* Free what a value owns (strings, buffers, references), leaving it empty. */\n" +
            declarations + definitions;
    }

    // A macro must not take the name of a field or parameter written anywhere in the header.
    void checkHiddenNames() {
        // Parameters and fields of the generated code itself; array loops count with i0, i1, ...
        for (const char *own : {"self", "out", "iid", "comIid", "value", "result", "result_",
                                "buffer", "length", "maximum", "vtbl", "_d", "_u"})
            locals_.try_emplace(own, "the generated name");
        for (const auto &[name, claim] : claimed_)
            if (claim.macro && name.size() > 1 && name[0] == 'i' &&
                name.find_first_not_of("0123456789", 1) == std::string::npos)
                fail(claim.owner + ": " + name + " would hide a generated loop counter");
        for (const auto &[name, where] : locals_) {
            auto macro = claimed_.find(name);
            if (macro != claimed_.end() && macro->second.macro)
                fail(where + " " + name + " is hidden by the macro of " + macro->second.owner);
        }
    }

    std::string body;
    bool needsMath = false;

  private:
    bool cxx() const { return lang_ == HeaderLang::Cxx; }

    // One more level of nesting for as long as it lives; too many fail.
    class Deeper {
      public:
        Deeper(int &depth, const char *where) : depth_(depth) {
            if (++depth_ > kMaxNesting) {
                --depth_;
                fail(std::string(where) + ": types nested more than " +
                     std::to_string(kMaxNesting) + " deep");
            }
        }
        ~Deeper() { --depth_; }
        Deeper(const Deeper &) = delete;
        Deeper &operator=(const Deeper &) = delete;

      private:
        int &depth_;
    };

    // A file-scope name of the header (type, macro, guard, function) taken for `owner`; the
    // same name for another owner is refused, naming both.
    void claim(const std::string &name, const std::string &owner, bool macro = false) {
        // Sequence records are the generator's own names in <kiv.h>'s name space.
        if (isReservedName(name) && !name.starts_with("kivSeq_"))
            fail(owner + ": " + name + " is a name of <kiv.h>");
        auto [at, fresh] = claimed_.try_emplace(name, Claim{owner, macro});
        if (!fresh && at->second.owner != owner)
            fail(name + " would name both " + at->second.owner + " and " + owner);
    }

    // A field, parameter or slot name, checked and kept for the final check against macros.
    std::string local(const char *name, const kivTLibDef *owner, const char *what,
                      bool standsAlone = true) {
        if (!name) fail(std::string(owner->repoId) + ": a " + what + " without a name");
        if (!isIdentifier(name))
            fail(std::string(owner->repoId) + ": " + what + " name '" + name +
                 "' is not an identifier");
        std::string out = ident(name);
        if (isReservedName(out))
            fail(std::string(owner->repoId) + ": " + what + " " + out + " is a name of <kiv.h>");
        if (standsAlone)
            locals_.try_emplace(out, std::string("the ") + what + " of " + owner->repoId);
        return out;
    }

    // Names inside one record, enumeration or parameter list must differ.
    static void distinct(std::set<std::string> &names, const std::string &name,
                         const kivTLibDef *owner, const char *what) {
        if (!names.insert(name).second)
            fail(std::string(owner->repoId) + ": two " + what + "s named " + name);
    }

    const kivTLibDef *find(const char *id, const kivTLibDef *user) {
        kivTLibDef *def = nullptr;
        if (!id) fail(std::string(user ? user->repoId : "?") + ": missing repository id");
        if (kivResult rc = kivTLibGetDefinition(tlib_, id, &def)) {
            std::string message = std::string(id) + ": " + kivStrError(rc);
            if (user) message += " (used by " + std::string(user->repoId) + ")";
            fail(message);
        }
        return def;
    }

    void request(const kivTLibDef *def) {
        if (!requested_.insert(def).second) return;
        Deeper deeper(depth_, def->repoId);
        switch (def->kind) {
            case KIV_DEF_MODULE:
                break;
            case KIV_DEF_SEQUENCE: {
                kivTLibTypeRef ref{KIV_TYPE_SEQUENCE, def->repoId};
                map(ref, def, false);
                return;
            }
            case KIV_DEF_STRING:
            case KIV_DEF_WSTRING:
            case KIV_DEF_ARRAY:
                return;
            default:
                if (!wellKnownInterface(def->repoId).empty()) return;
                ensure(def, true);
                break;
        }
        for (const char *id : contentsOf(def)) request(find(id, def));
    }

    static std::vector<const char *> contentsOf(const kivTLibDef *def) {
        uint32_t count = 0;
        const char **contents = nullptr;
        switch (def->kind) {
            case KIV_DEF_MODULE:
                count = as<kivTLibModuleDef>(def).contentCount;
                contents = as<kivTLibModuleDef>(def).contents;
                break;
            case KIV_DEF_INTERFACE:
                count = as<kivTLibInterfaceDef>(def).contentCount;
                contents = as<kivTLibInterfaceDef>(def).contents;
                break;
            case KIV_DEF_STRUCT:
                count = as<kivTLibStructDef>(def).contentCount;
                contents = as<kivTLibStructDef>(def).contents;
                break;
            case KIV_DEF_UNION:
                count = as<kivTLibUnionDef>(def).contentCount;
                contents = as<kivTLibUnionDef>(def).contents;
                break;
            default:
                break;
        }
        return count ? std::vector<const char *>(contents, contents + count)
                     : std::vector<const char *>();
    }

    // ---- names ----

    struct Name {
        std::vector<std::string> ns;  // enclosing modules
        std::string local;            // the name inside the innermost module
        std::string c;                // everything joined with '_'
    };

    const Name &nameOf(const kivTLibDef *def) {
        auto known = names_.find(def);
        if (known != names_.end()) return known->second;
        if (!def->name || !*def->name) fail(std::string(def->repoId) + ": has no name");
        Name name;
        name.local = def->name;
        std::set<const kivTLibDef *> seen{def};
        bool inModules = false;
        for (const char *scope = def->scopeId;
             scope && std::string_view(scope) != KIV_TLIB_ROOT_ID;) {
            const kivTLibDef *outer = find(scope, def);
            if (!seen.insert(outer).second || !outer->name)
                fail(std::string(def->repoId) + ": scope chain loops");
            if (outer->kind == KIV_DEF_MODULE) {
                inModules = true;
                name.ns.insert(name.ns.begin(), outer->name);
            } else if (inModules) {
                fail(std::string(def->repoId) + ": a module inside a " + outer->name);
            } else {
                name.local = std::string(outer->name) + "_" + name.local;
            }
            scope = outer->scopeId;
        }
        for (const std::string &part : name.ns) name.c += part + "_";
        name.c += name.local;
        if (!isIdentifier(name.c)) fail(std::string(def->repoId) + ": name is not an identifier");
        // C++ spells the parts apart: each must be an identifier of its own.
        for (const std::string &part : name.ns)
            if (!isIdentifier(part)) fail(std::string(def->repoId) + ": name is not an identifier");
        if (!isIdentifier(name.local))
            fail(std::string(def->repoId) + ": name is not an identifier");
        // A name with a prefix is never a keyword; one in the root module may be.
        if (name.c == name.local) name.c = ident(name.local);
        return names_.emplace(def, std::move(name)).first->second;
    }

    std::string typeName(const kivTLibDef *def) {
        const Name &name = nameOf(def);
        if (!cxx()) return name.c;
        std::string out;
        for (const std::string &part : name.ns) out += "::" + ident(part);
        return out + "::" + ident(name.local);
    }

    std::string openNamespace(const kivTLibDef *def) {
        const Name &name = nameOf(def);
        if (!cxx() || name.ns.empty()) return "";
        return "namespace " + namespacePath(name) + " {\n";
    }
    std::string closeNamespace(const kivTLibDef *def) {
        const Name &name = nameOf(def);
        if (!cxx() || name.ns.empty()) return "";
        return "}  // namespace " + namespacePath(name) + "\n";
    }
    static std::string namespacePath(const Name &name) {
        std::string joined;
        for (const std::string &part : name.ns)
            joined += (joined.empty() ? "" : "::") + ident(part);
        return joined;
    }

    std::string guard(const kivTLibDef *def, const char *what) {
        std::string macro = nameOf(def).c + (cxx() ? "_HPP_" : "_") + what;
        claim(macro, std::string("the include guard of ") + def->repoId, true);
        return macro;
    }

    // The names that a definition's declaration takes at file scope.
    void claimTypeName(const kivTLibDef *def) {
        if (!cxx()) return claim(nameOf(def).c, def->repoId, def->kind == KIV_DEF_CONSTANT);
        // The global namespace holds what <kiv.h> declares, and the outermost namespace of a
        // definition is declared there.
        const Name &name = nameOf(def);
        const std::string &global = name.ns.empty() ? name.local : name.ns.front();
        if (isReservedName(ident(global)))
            fail(std::string(def->repoId) + ": " + global + " is a name of <kiv.h>");
        claim(typeName(def), def->repoId);
        // A namespace and a type of the same name cannot both be declared.
        std::string path;
        for (const std::string &part : nameOf(def).ns) {
            path += "::" + ident(part);
            claim(path, "a namespace");
        }
    }

    static std::string wrap(const std::string &macro, const std::string &text) {
        return "#ifndef " + macro + "\n#define " + macro + "\n" + text + "#endif\n";
    }

    static std::string idlKind(kivTLibDefKind kind) {
        static const char *const names[] = {"",       "module", "interface", "const",
                                            "struct", "union",  "enum",      "typedef"};
        return kind < 8 ? names[kind] : "definition";
    }

    std::string title(const kivTLibDef *def) {
        std::string scoped;
        for (const std::string &part : nameOf(def).ns) scoped += part + "::";
        return "/* " + idlKind(def->kind) + " " + scoped + def->name + " (" + def->repoId +
               ") */\n";
    }

    // ---- definitions in dependency order ----

    // Emits the definition (full) or its forward declaration; by-value dependencies come first.
    void ensure(const kivTLibDef *def, bool full) {
        if (cxx() && state_.count(def) && state_[def] == 2) return;
        bool declarable = def->kind == KIV_DEF_STRUCT || def->kind == KIV_DEF_UNION ||
                          def->kind == KIV_DEF_INTERFACE;
        if (declarable && (!cxx() || !full || (def->flags & KIV_DEF_FORWARD))) declareForward(def);
        if (!full || (def->flags & KIV_DEF_FORWARD)) return;
        int &state = state_[def];
        if (state == 2) return;
        if (state == 1) fail(std::string(def->repoId) + ": contains itself by value");
        Deeper deeper(depth_, def->repoId);
        state = 1;
        claimTypeName(def);
        std::string text;
        switch (def->kind) {
            case KIV_DEF_STRUCT:
                text = structText(def);
                if (!cxx()) helpers_.push_back({nameOf(def).c, def, {}, def});
                break;
            case KIV_DEF_UNION:
                text = unionText(def);
                if (!cxx()) helpers_.push_back({nameOf(def).c, def, {}, def});
                break;
            case KIV_DEF_ENUM:
                text = enumText(def);
                break;
            case KIV_DEF_ALIAS:
                text = aliasText(def);
                break;
            case KIV_DEF_CONSTANT:
                text = constantText(def);
                break;
            case KIV_DEF_INTERFACE:
                text = interfaceText(def);
                break;
            default:
                fail(std::string(def->repoId) + ": a " + idlKind(def->kind) +
                     " is not a type here");
        }
        body += "\n" + wrap(guard(def, "DEFINED"), title(def) + text);
        state = 2;
    }

    void declareForward(const kivTLibDef *def) {
        if (!declared_.insert(def).second) return;
        claimTypeName(def);
        std::string text;
        if (cxx()) {
            text = openNamespace(def) + "struct " + ident(nameOf(def).local) + ";\n" +
                   closeNamespace(def);
        } else {
            text = "typedef struct " + nameOf(def).c + " " + nameOf(def).c + ";\n";
        }
        body += "\n" + wrap(guard(def, "DECLARED"), text);
    }

    // The definition that a reference names, checked against the tag.
    const kivTLibDef *referenced(const kivTLibTypeRef &ref, kivTLibDefKind kind,
                                 const kivTLibDef *user) {
        const kivTLibDef *def = find(ref.repoId, user);
        if (def->kind != kind)
            fail(std::string(user->repoId) + ": " + ref.repoId + " is a " + idlKind(def->kind) +
                 ", not what its type tag says");
        return def;
    }

    // An anonymous type whose mapping is under way; meeting it again inside itself means a
    // type without end (a sequence of itself), which no declaration can express.
    class Inside {
      public:
        Inside(std::set<const kivTLibDef *> &open, const kivTLibDef *def) : open_(open), def_(def) {
            if (!open_.insert(def_).second)
                fail(std::string(def_->repoId) + ": a type that contains itself");
        }
        ~Inside() { open_.erase(def_); }
        Inside(const Inside &) = delete;
        Inside &operator=(const Inside &) = delete;

      private:
        std::set<const kivTLibDef *> &open_;
        const kivTLibDef *def_;
    };

    // The mapped type of a reference; byValue asks for complete structures and unions.
    CType map(const kivTLibTypeRef &ref, const kivTLibDef *user, bool byValue) {
        Deeper deeper(depth_, user->repoId);
        static const char *const basic[] = {
            nullptr,    "void",    "kivBoolean", "uint8_t", "char",     "kivWChar", "int16_t",
            "uint16_t", "int32_t", "uint32_t",   "int64_t", "uint64_t", "float",    "double"};
        switch (ref.tag) {
            case KIV_TYPE_VOID:
                return {"void", "", Cat::Void};
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                if (ref.repoId)
                    referenced(ref, ref.tag == KIV_TYPE_STRING ? KIV_DEF_STRING : KIV_DEF_WSTRING,
                               user);
                if (ref.tag == KIV_TYPE_STRING) return {"char *", "", Cat::String};
                return {"kivWChar *", "", Cat::WString};
            case KIV_TYPE_DECIMAL32:
                return {"kivDecimal32", "", Cat::Scalar};
            case KIV_TYPE_DECIMAL64:
                return {"kivDecimal64", "", Cat::Scalar};
            case KIV_TYPE_DECIMAL128:
                return {"kivDecimal128", "", Cat::Scalar};
            case KIV_TYPE_STRUCT:
            case KIV_TYPE_UNION: {
                auto def = referenced(
                    ref, ref.tag == KIV_TYPE_STRUCT ? KIV_DEF_STRUCT : KIV_DEF_UNION, user);
                ensure(def, byValue);
                return {typeName(def), "", Cat::Aggregate};
            }
            case KIV_TYPE_ENUM: {
                auto def = referenced(ref, KIV_DEF_ENUM, user);
                ensure(def, true);
                return {typeName(def), "", Cat::Scalar};
            }
            case KIV_TYPE_ALIAS: {
                auto def = referenced(ref, KIV_DEF_ALIAS, user);
                ensure(def, true);
                CType target = map(as<kivTLibAliasDef>(def).type, def, true);
                return {typeName(def), "", target.cat};
            }
            case KIV_TYPE_INTERFACE: {
                std::string_view known = wellKnownInterface(ref.repoId ? ref.repoId : "");
                if (!known.empty())
                    return {(cxx() ? "::" : "") + std::string(known) + " *", "", Cat::Interface};
                auto def = referenced(ref, KIV_DEF_INTERFACE, user);
                ensure(def, false);
                return {typeName(def) + " *", "", Cat::Interface};
            }
            case KIV_TYPE_ARRAY: {
                const auto &array = as<kivTLibArrayDef>(referenced(ref, KIV_DEF_ARRAY, user));
                Inside inside(mapping_, &array.header);
                if (array.length == 0) fail(std::string(ref.repoId) + ": array of length 0");
                CType element = map(array.element, user, true);
                if (element.cat == Cat::Void) fail(std::string(ref.repoId) + ": array of void");
                return {element.typeName, "[" + std::to_string(array.length) + "]" + element.dims,
                        Cat::Array};
            }
            case KIV_TYPE_SEQUENCE: {
                const auto &seq = as<kivTLibSequenceDef>(referenced(ref, KIV_DEF_SEQUENCE, user));
                Inside inside(mapping_, &seq.header);
                CType element = map(seq.element, user, false);
                if (element.cat == Cat::Void) fail(std::string(ref.repoId) + ": sequence of void");
                std::string buffer = element.dims.empty()
                                         ? pointerTo(element.typeName) + "buffer"
                                         : element.typeName + " (*buffer)" + element.dims;
                if (cxx())
                    return {"::kiv::sequence<" + element.typeName + element.dims + ">", "",
                            Cat::Aggregate};
                std::string name = "kivSeq_" + mangle(seq.element, user);
                claim(name, "sequence<" + identity(seq.element, user) + ">");
                claim(name + "_DEFINED",
                      "the include guard of sequence<" + identity(seq.element, user) + ">", true);
                if (sequences_.insert(name).second) {
                    body += "\n" + wrap(name + "_DEFINED", "typedef struct " + name +
                                                               " {\n    uint32_t length;\n"
                                                               "    uint32_t maximum;\n    " +
                                                               buffer + ";\n} " + name + ";\n");
                    helpers_.push_back({name, nullptr, seq.element, user});
                }
                return {name, "", Cat::Aggregate};
            }
            default:
                if (ref.tag < 14) return {basic[ref.tag], "", Cat::Scalar};
                fail(std::string(user->repoId) + ": invalid type tag " + std::to_string(ref.tag));
        }
    }

    // The part of a sequence record's name that stands for its element.
    std::string mangle(const kivTLibTypeRef &ref, const kivTLibDef *user) {
        Deeper deeper(depth_, user->repoId);
        static const char *const basic[] = {
            "",       "void",          "boolean",   "octet",
            "char",   "wchar",         "short",     "unsigned_short",
            "long",   "unsigned_long", "long_long", "unsigned_long_long",
            "float",  "double",        "",          "string",
            "wstring"};
        if (ref.tag <= KIV_TYPE_WSTRING && ref.tag != 14) return basic[ref.tag];
        switch (ref.tag) {
            case KIV_TYPE_DECIMAL32:
                return "decimal32";
            case KIV_TYPE_DECIMAL64:
                return "decimal64";
            case KIV_TYPE_DECIMAL128:
                return "decimal128";
            case KIV_TYPE_SEQUENCE:
                return "seq_" +
                       mangle(as<kivTLibSequenceDef>(find(ref.repoId, user)).element, user);
            case KIV_TYPE_ARRAY: {
                const auto &array = as<kivTLibArrayDef>(find(ref.repoId, user));
                return "array_" + std::to_string(array.length) + "_" + mangle(array.element, user);
            }
            case KIV_TYPE_INTERFACE: {
                std::string_view known = wellKnownInterface(ref.repoId);
                if (!known.empty()) return std::string(known);
                return nameOf(find(ref.repoId, user)).c;
            }
            default:
                return nameOf(find(ref.repoId, user)).c;
        }
    }

    // What a type is, whatever anonymous records spell it: sequence records are shared by
    // every sequence of the same element type.
    std::string identity(const kivTLibTypeRef &ref, const kivTLibDef *user) {
        Deeper deeper(depth_, user->repoId);
        switch (ref.tag) {
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                return ref.tag == KIV_TYPE_STRING ? "string" : "wstring";
            case KIV_TYPE_SEQUENCE:
                return "sequence<" +
                       identity(as<kivTLibSequenceDef>(find(ref.repoId, user)).element, user) + ">";
            case KIV_TYPE_ARRAY: {
                const auto &array = as<kivTLibArrayDef>(find(ref.repoId, user));
                return identity(array.element, user) + "[" + std::to_string(array.length) + "]";
            }
            default:
                return ref.repoId ? ref.repoId : "tag " + std::to_string(ref.tag);
        }
    }

    // ---- free helpers ----

    struct Helper {
        std::string typeName;
        const kivTLibDef *def;   // a structure or union, or null for a sequence record
        kivTLibTypeRef element;  // a sequence's element
        const kivTLibDef *user;  // where the sequence was met
    };

    std::string guardOfHelper(const std::string &function, const std::string &owner) {
        std::string macro = function + "_DEFINED";
        claim(macro, "the include guard of the free helper of " + owner, true);
        return macro;
    }

    static std::string indented(const std::string &code) {
        std::string out;
        for (size_t at = 0; at < code.size();) {
            size_t end = code.find('\n', at);
            out += "    " + code.substr(at, end - at + 1);
            at = end + 1;
        }
        return out;
    }

    // Statements that free what `lvalue` of type `ref` owns and leave it empty; "" when the
    // type owns nothing. Array loops use the counters i<level>, i<level + 1>, ...
    std::string freeCode(const kivTLibTypeRef &ref, const std::string &lvalue,
                         const kivTLibDef *user, int level) {
        Deeper deeper(depth_, user->repoId);
        switch (ref.tag) {
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                return "kivFree(" + lvalue + ");\n" + lvalue + " = NULL;\n";
            case KIV_TYPE_INTERFACE:
                return "kivComRelease(" + lvalue + ");\n" + lvalue + " = NULL;\n";
            case KIV_TYPE_STRUCT:
            case KIV_TYPE_UNION:
            case KIV_TYPE_SEQUENCE:
                return map(ref, user, true).typeName + "_freeContents(&" + lvalue + ");\n";
            case KIV_TYPE_ALIAS: {
                const kivTLibDef *alias = referenced(ref, KIV_DEF_ALIAS, user);
                return freeCode(as<kivTLibAliasDef>(alias).type, lvalue, alias, level);
            }
            case KIV_TYPE_ARRAY: {
                const auto &array = as<kivTLibArrayDef>(referenced(ref, KIV_DEF_ARRAY, user));
                std::string i = "i" + std::to_string(level);
                std::string code = freeCode(array.element, lvalue + "[" + i + "]", user, level + 1);
                if (code.empty()) return "";
                return "for (uint32_t " + i + " = 0; " + i + " < " + std::to_string(array.length) +
                       "u; ++" + i + ") {\n" + indented(code) + "}\n";
            }
            default:
                return "";
        }
    }

    std::string structFreeCode(const kivTLibDef *def) {
        const auto &s = as<kivTLibStructDef>(def);
        std::string code;
        for (uint32_t i = 0; i < s.memberCount; ++i)
            code += freeCode(s.members[i].type, "value->" + ident(s.members[i].name), def, 0);
        return indented(code.empty() ? "(void)value;\n" : code);
    }

    // Only the valid member: the first case whose label equals _d, else the first default.
    std::string unionFreeCode(const kivTLibDef *def) {
        const auto &u = as<kivTLibUnionDef>(def);
        std::string chain, fallback;
        bool owns = false, hasDefault = false;
        for (uint32_t i = 0; i < u.caseCount; ++i) {
            const kivTLibUnionCase &c = u.cases[i];
            std::string code = freeCode(c.type, "value->_u." + ident(c.name), def, 0);
            owns = owns || !code.empty();
            if (c.label.tag == KIV_VALUE_NONE) {
                if (!hasDefault) fallback = code;
                hasDefault = true;
                continue;
            }
            chain += std::string(chain.empty() ? "if (" : " else if (") +
                     "value->_d == " + valueText(c.label, u.discriminator, def) + ") {\n" +
                     indented(code) + "}";
        }
        if (!owns) return indented("(void)value;\n");
        if (chain.empty()) return indented(fallback);
        if (hasDefault) chain += " else {\n" + indented(fallback) + "}";
        return indented(chain + "\n");
    }

    // The elements in index order, then the buffer.
    std::string sequenceFreeCode(const Helper &h) {
        std::string element = freeCode(h.element, "value->buffer[i0]", h.user, 1);
        std::string code;
        if (!element.empty())
            code =
                "for (uint32_t i0 = 0; i0 < value->length; ++i0) {\n" + indented(element) + "}\n";
        code +=
            "kivFree(value->buffer);\nvalue->buffer = NULL;\nvalue->length = 0;\n"
            "value->maximum = 0;\n";
        return indented(code);
    }

    // ---- values ----

    std::string enumerator(const kivTLibDef *enumDef, uint32_t value) {
        const auto &e = as<kivTLibEnumDef>(enumDef);
        for (uint32_t i = 0; i < e.memberCount; ++i) {
            if (e.members[i].value != value) continue;
            if (cxx()) return typeName(enumDef) + "::" + ident(e.members[i].name);
            return typeName(enumDef) + "_" + e.members[i].name;
        }
        if (cxx()) return "static_cast<" + typeName(enumDef) + ">(" + std::to_string(value) + "u)";
        return "((" + typeName(enumDef) + ")UINT32_C(" + std::to_string(value) + "))";
    }

    template <class Float>
    std::string floating(Float value, const char *type, const char *suffix) {
        if (std::isnan(value) || std::isinf(value)) {
            needsMath = true;
            const char *text = std::isnan(value) ? "NAN" : value < 0 ? "-INFINITY" : "INFINITY";
            return std::string("((") + type + ")(" + text + "))";
        }
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        std::string text(buffer, result.ptr);
        if (text.find_first_of(".e") == std::string::npos) text += ".0";
        return "(" + text + suffix + ")";
    }

    std::string valueText(const kivTLibValue &v, const kivTLibTypeRef &type,
                          const kivTLibDef *user) {
        auto cast = [](const char *t, const std::string &x) {
            return std::string("((") + t + ")" + x + ")";
        };
        switch (v.tag) {
            case KIV_TYPE_BOOLEAN:
                return cast("kivBoolean", v.u8 ? "1" : "0");
            case KIV_TYPE_OCTET:
                return cast("uint8_t", std::to_string(v.u8));
            case KIV_TYPE_CHAR:
                return cast("char", hex(v.u8));
            case KIV_TYPE_WCHAR:
                return cast("kivWChar", hex(v.u16));
            case KIV_TYPE_SHORT:
                return cast("int16_t", std::to_string(static_cast<int16_t>(v.u16)));
            case KIV_TYPE_USHORT:
                return cast("uint16_t", std::to_string(v.u16));
            case KIV_TYPE_LONG: {
                auto n = static_cast<int32_t>(v.u32);
                if (n == INT32_MIN) return "(-INT32_C(2147483647) - 1)";
                return "INT32_C(" + std::to_string(n) + ")";
            }
            case KIV_TYPE_ULONG:
                return "UINT32_C(" + std::to_string(v.u32) + ")";
            case KIV_TYPE_LONGLONG: {
                auto n = static_cast<int64_t>(v.u64);
                if (n == INT64_MIN) return "(-INT64_C(9223372036854775807) - 1)";
                return "INT64_C(" + std::to_string(n) + ")";
            }
            case KIV_TYPE_ULONGLONG:
                return "UINT64_C(" + std::to_string(v.u64) + ")";
            case KIV_TYPE_FLOAT:
                return floating(v.f32, "float", "f");
            case KIV_TYPE_DOUBLE:
                return floating(v.f64, "double", "");
            case KIV_TYPE_STRING:
                return cString(v.str ? v.str : "");
            case KIV_TYPE_WSTRING:
                return wideString(v.str ? v.str : "");
            case KIV_TYPE_ENUM:
                return enumerator(referenced(type, KIV_DEF_ENUM, user), v.u32);
            case KIV_TYPE_DECIMAL32:
                return "{UINT32_C(" + hex(v.u32) + ")}";
            case KIV_TYPE_DECIMAL64:
                return "{UINT64_C(" + hex(v.u64) + ")}";
            case KIV_TYPE_DECIMAL128:
                return "{{UINT64_C(" + hex(v.d128[0]) + "), UINT64_C(" + hex(v.d128[1]) + ")}}";
            default:
                fail(std::string(user->repoId) + ": invalid value tag " + std::to_string(v.tag));
        }
    }

    // ---- kinds ----

    std::string structText(const kivTLibDef *def) {
        const auto &s = as<kivTLibStructDef>(def);
        if (s.memberCount == 0) fail(std::string(def->repoId) + ": a structure without members");
        std::string fields;
        std::set<std::string> names;
        for (uint32_t i = 0; i < s.memberCount; ++i) {
            std::string name = local(s.members[i].name, def, "member");
            distinct(names, name, def, "member");
            CType t = map(s.members[i].type, def, true);
            if (t.cat == Cat::Void) fail(std::string(def->repoId) + ": void member");
            fields += "    " + declare(t.typeName, name, t.dims) + ";\n";
        }
        return record(def, fields);
    }

    std::string record(const kivTLibDef *def, const std::string &fields) {
        if (cxx())
            return openNamespace(def) + "struct " + ident(nameOf(def).local) + " {\n" + fields +
                   "};\n" + closeNamespace(def);
        return "struct " + nameOf(def).c + " {\n" + fields + "};\n";
    }

    std::string unionText(const kivTLibDef *def) {
        const auto &u = as<kivTLibUnionDef>(def);
        CType d = map(u.discriminator, def, true);
        if (d.cat != Cat::Scalar || !d.dims.empty())
            fail(std::string(def->repoId) + ": discriminator is not a number or enumeration");
        // Cases that share a name are one member with several labels.
        std::vector<std::string> order;
        std::map<std::string, std::pair<std::string, std::string>> members;  // decl, labels
        if (u.caseCount == 0) fail(std::string(def->repoId) + ": a union without cases");
        for (uint32_t i = 0; i < u.caseCount; ++i) {
            const kivTLibUnionCase &c = u.cases[i];
            std::string name = local(c.name, def, "case");
            CType t = map(c.type, def, true);
            if (t.cat == Cat::Void) fail(std::string(def->repoId) + ": void case");
            if (c.label.tag != KIV_VALUE_NONE && c.label.tag != u.discriminator.tag)
                fail(std::string(def->repoId) + ": case " + name + " has a label of another type");
            std::string decl = declare(t.typeName, name, t.dims);
            std::string label = c.label.tag == KIV_VALUE_NONE
                                    ? "default"
                                    : "case " + valueText(c.label, u.discriminator, def);
            auto [at, fresh] = members.try_emplace(c.name, decl, label);
            if (fresh) {
                order.push_back(c.name);
            } else if (at->second.first != decl) {
                fail(std::string(def->repoId) + ": case " + c.name + " has two types");
            } else {
                at->second.second += ", " + label;
            }
        }
        std::string fields = "    " + declare(d.typeName, "_d") + ";\n    union {\n";
        for (const std::string &name : order)
            fields += "        /* " + members[name].second + " */\n        " + members[name].first +
                      ";\n";
        return record(def, fields + "    } _u;\n");
    }

    std::string enumText(const kivTLibDef *def) {
        const auto &e = as<kivTLibEnumDef>(def);
        if (e.memberCount == 0) fail(std::string(def->repoId) + ": an enumeration without members");
        std::set<std::string> names;
        for (uint32_t i = 0; i < e.memberCount; ++i) {
            distinct(names, local(e.members[i].name, def, "enumerator", cxx()), def, "enumerator");
            if (!cxx())
                claim(nameOf(def).c + "_" + e.members[i].name,
                      std::string("the enumerator ") + e.members[i].name + " of " + def->repoId,
                      true);
        }
        std::string text;
        if (cxx()) {
            text =
                openNamespace(def) + "enum class " + ident(nameOf(def).local) + " : uint32_t {\n";
            for (uint32_t i = 0; i < e.memberCount; ++i)
                text += "    " + ident(e.members[i].name) + " = " +
                        std::to_string(e.members[i].value) + "u,\n";
            return text + "};\n" + closeNamespace(def);
        }
        text = "typedef uint32_t " + nameOf(def).c + ";\n";
        for (uint32_t i = 0; i < e.memberCount; ++i)
            text += "#define " + nameOf(def).c + "_" + e.members[i].name + " UINT32_C(" +
                    std::to_string(e.members[i].value) + ")\n";
        return text;
    }

    std::string aliasText(const kivTLibDef *def) {
        CType t = map(as<kivTLibAliasDef>(def).type, def, true);
        if (t.cat == Cat::Void) fail(std::string(def->repoId) + ": alias of void");
        if (cxx())
            return openNamespace(def) + "using " + ident(nameOf(def).local) + " = " + t.typeName +
                   t.dims + ";\n" + closeNamespace(def);
        return "typedef " + declare(t.typeName, nameOf(def).c, t.dims) + ";\n";
    }

    std::string constantText(const kivTLibDef *def) {
        const auto &k = as<kivTLibConstantDef>(def);
        if (k.value.tag != k.type.tag)
            fail(std::string(def->repoId) + ": value tag differs from type");
        std::string value = valueText(k.value, k.type, def);
        if (!cxx()) return "#define " + nameOf(def).c + " " + value + "\n";
        std::string type;
        if (k.type.tag == KIV_TYPE_STRING)
            type = "const char *";
        else if (k.type.tag == KIV_TYPE_WSTRING)
            type = "const char16_t *";
        else
            type = map(k.type, def, true).typeName + " ";
        return openNamespace(def) + "inline constexpr " + type + ident(nameOf(def).local) + " = " +
               value + ";\n" + closeNamespace(def);
    }

    std::string inParam(const CType &t, const std::string &name) {
        switch (t.cat) {
            case Cat::String:
                return "const char *" + name;
            case Cat::WString:
                return "const kivWChar *" + name;
            case Cat::Aggregate:
                return "const " + t.typeName + " *" + name;
            case Cat::Array:
                return "const " + declare(t.typeName, name, t.dims);
            default:
                return declare(t.typeName, name, t.dims);
        }
    }

    std::string outParam(const CType &t, const std::string &name) {
        if (t.cat == Cat::Array) return declare(t.typeName, name, t.dims);
        return pointerTo(t.typeName) + name;
    }

    // The interfaces from the root-most base down to `def`, without IUnknown.
    std::vector<const kivTLibDef *> chain(const kivTLibDef *def) {
        std::vector<const kivTLibDef *> out;
        for (const kivTLibDef *at = def;;) {
            if (std::find(out.begin(), out.end(), at) != out.end())
                fail(std::string(def->repoId) + ": base chain loops");
            out.insert(out.begin(), at);
            const char *base = as<kivTLibInterfaceDef>(at).baseId;
            if (!base || std::string_view(base) == KIV_IID_IUNKNOWN) break;
            if (!wellKnownInterface(base).empty())
                fail(std::string(def->repoId) + ": cannot derive from " + base);
            at = find(base, at);
            if (at->kind != KIV_DEF_INTERFACE || (at->flags & KIV_DEF_FORWARD))
                fail(std::string(def->repoId) + ": base " + base + " is not a defined interface");
        }
        return out;
    }

    std::vector<Slot> slots(const kivTLibDef *def) {
        std::vector<Slot> out;
        std::set<std::string> used = {"comQueryInterface",
                                      "comAddRef",
                                      "comRelease",
                                      "queryInterface",
                                      "addRef",
                                      "release",
                                      "interfaceId",
                                      "vtbl",
                                      "iid",
                                      "base"};
        for (const kivTLibDef *owner : chain(def)) {
            const auto &iface = as<kivTLibInterfaceDef>(owner);
            for (uint32_t i = 0; i < iface.memberCount; ++i) {
                const kivTLibMember &m = iface.members[i];
                const size_t first = out.size();
                const bool attribute = m.kind == KIV_MEMBER_ATTRIBUTE;
                // Accessor names carry a prefix, so an attribute's name is never escaped.
                std::string memberName =
                    local(m.name, owner, attribute ? "attribute" : "operation", !attribute);
                CType t = map(m.type, owner, true);
                if (attribute) {
                    if (t.cat == Cat::Void) fail(std::string(owner->repoId) + ": void attribute");
                    out.push_back(
                        {"get_" + std::string(m.name), owner, {outParam(t, "value")}, {"value"}});
                    if (!(m.flags & KIV_MEMBER_READONLY))
                        out.push_back({"set_" + std::string(m.name),
                                       owner,
                                       {inParam(t, "value")},
                                       {"value"}});
                } else if (m.kind == KIV_MEMBER_OPERATION) {
                    Slot slot{memberName, owner, {}, {}};
                    std::string result = "result";
                    std::set<std::string> names;
                    for (uint32_t p = 0; p < m.paramCount; ++p) {
                        const kivTLibParam &param = m.params[p];
                        std::string name = local(param.name, owner, "parameter");
                        distinct(names, name, owner, "parameter");
                        if (name == "result") result = "result_";
                        CType pt = map(param.type, owner, true);
                        if (pt.cat == Cat::Void)
                            fail(std::string(owner->repoId) + ": void parameter");
                        if (param.direction == KIV_PARAM_IN)
                            slot.params.push_back(inParam(pt, name));
                        else if (param.direction == KIV_PARAM_OUT ||
                                 param.direction == KIV_PARAM_INOUT)
                            slot.params.push_back(outParam(pt, name));
                        else
                            fail(std::string(owner->repoId) + ": " + m.name + ": bad direction");
                        slot.args.push_back(name);
                    }
                    if (t.cat != Cat::Void) {
                        distinct(names, result, owner, "parameter");
                        slot.params.push_back(outParam(t, result));
                        slot.args.push_back(result);
                    }
                    out.push_back(std::move(slot));
                } else {
                    fail(std::string(owner->repoId) + ": member " + m.name + " of unknown kind");
                }
                for (size_t k = first; k < out.size(); ++k) {
                    if (!used.insert(out[k].name).second)
                        fail(std::string(def->repoId) + ": two slots named " + out[k].name);
                    // A C++ member function named like its class would be a constructor.
                    if (cxx() && out[k].name == ident(nameOf(owner).local))
                        fail(std::string(owner->repoId) + ": a slot named like its interface");
                }
            }
        }
        return out;
    }

    static std::string joinParams(const std::string &first, const std::vector<std::string> &rest) {
        std::string out = first;
        for (const std::string &p : rest) out += (out.empty() ? "" : ", ") + p;
        return out;
    }

    std::string interfaceText(const kivTLibDef *def) {
        // The bases come first: C call helpers name the interface that declares each slot,
        // and a C++ class needs its base complete.
        std::vector<const kivTLibDef *> ancestors = chain(def);
        ancestors.pop_back();
        if (!ancestors.empty()) ensure(ancestors.back(), true);
        const std::string iid = cString(def->repoId);
        const std::string macro = nameOf(def).c + "_IID";
        claim(macro, std::string("the interface id of ") + def->repoId, true);
        std::string text = "#ifndef " + macro + "\n#define " + macro + " " + iid + "\n#endif\n";
        std::vector<Slot> table = slots(def);
        if (cxx()) {
            std::string base = ancestors.empty() ? "::kiv::IUnknown" : typeName(ancestors.back());
            std::string local = ident(nameOf(def).local);
            text += openNamespace(def) + "struct " + local + " : " + base +
                    " {\n    using base = " + base +
                    ";\n    static constexpr const char *iid = " + iid + ";\n";
            for (const Slot &s : table)
                if (s.owner == def)
                    text += "    virtual kivResult " + s.name + "(" + joinParams("", s.params) +
                            ") = 0;\n";
            return text + "\n  protected:\n    ~" + local + "() = default;\n};\n" +
                   closeNamespace(def);
        }
        const std::string &name = nameOf(def).c;
        claim(name + "Vtbl", std::string("the function table of ") + def->repoId);
        for (const char *base : {"comQueryInterface", "comAddRef", "comRelease", "queryInterface",
                                 "addRef", "release", "interfaceId"})
            claim(name + "_" + base, std::string("a call helper of ") + def->repoId);
        for (const Slot &s : table)
            claim(name + "_" + s.name, std::string("a call helper of ") + def->repoId);
        text += "typedef struct " + name + "Vtbl " + name + "Vtbl;\nstruct " + name +
                "Vtbl {\n    KIV_IUNKNOWN_SLOTS\n";
        const kivTLibDef *owner = nullptr;
        for (const Slot &s : table) {
            if (s.owner != owner) {
                owner = s.owner;
                std::string scoped;
                for (const std::string &part : nameOf(owner).ns) scoped += part + "::";
                text += "    /* " + scoped + owner->name + " */\n";
            }
            text += "    kivResult (*" + s.name + ")(" +
                    joinParams(nameOf(s.owner).c + " *self", s.params) + ");\n";
        }
        text += "};\nstruct " + name + " {\n    const " + name + "Vtbl *vtbl;\n};\n";
        // Call helpers: the base slots, then one per member slot.
        struct Base {
            const char *result, *name, *params, *args;
        };
        static const Base bases[] = {
            {"kivResult", "comQueryInterface", ", const void *comIid, void **out", ", comIid, out"},
            {"uint32_t", "comAddRef", "", ""},
            {"uint32_t", "comRelease", "", ""},
            {"kivResult", "queryInterface", ", const char *iid, void **out", ", iid, out"},
            {"uint32_t", "addRef", "", ""},
            {"uint32_t", "release", "", ""},
            {"const char *", "interfaceId", "", ""}};
        for (const Base &b : bases)
            text += "static inline " + declare(b.result, name + "_" + b.name) + "(" + name +
                    " *self" + b.params + ") {\n    return self->vtbl->" + b.name + "(self" +
                    b.args + ");\n}\n";
        for (const Slot &s : table) {
            std::string self =
                s.owner == def ? "self" : "(" + nameOf(s.owner).c + " *)(void *)self";
            text += "static inline kivResult " + name + "_" + s.name + "(" +
                    joinParams(name + " *self", s.params) + ") {\n    return self->vtbl->" +
                    s.name + "(" + joinParams(self, s.args) + ");\n}\n";
        }
        return text;
    }

    kivTLib *tlib_;
    HeaderLang lang_;
    struct Claim {
        std::string owner;
        bool macro;
    };
    std::map<std::string, Claim> claimed_;
    std::map<std::string, std::string> locals_;  // field and parameter names, where first used
    std::set<const kivTLibDef *> mapping_;       // anonymous types being mapped
    int depth_ = 0;
    std::map<const kivTLibDef *, Name> names_;
    std::map<const kivTLibDef *, int> state_;  // 1 being written, 2 written
    std::set<const kivTLibDef *> declared_, requested_;
    std::set<std::string> sequences_;
    std::vector<Helper> helpers_;
};

}  // namespace

bool generateHeader(kivTLib *tlib, std::span<const std::string> repoIds, HeaderLang lang,
                    std::string_view guardName, std::string &out, std::string &error) {
    if (!tlib || !isIdentifier(guardName)) {
        error = "invalid include guard name '" + std::string(guardName) + "'";
        return false;
    }
    Generator generator(tlib, lang);
    try {
        if (repoIds.empty()) generator.everything();
        for (const std::string &id : repoIds) generator.request(id);
        generator.finish();
        generator.checkHiddenNames();
    } catch (const Failure &failure) {
        error = failure.message;
        return false;
    }
    std::string guard(guardName);
    out = "/* Generated from a type library by `kiv tlib header`: do not edit. */\n#ifndef " +
          guard + "\n#define " + guard + "\n\n";
    out += lang == HeaderLang::C ? "#include <kiv.h>\n" : "#include <kiv.hpp>\n";
    if (generator.needsMath) out += "#include <math.h>\n";
    out += generator.body + "\n#endif /* " + guard + " */\n";
    return true;
}

std::string guardFromPath(std::string_view path) {
    size_t slash = path.find_last_of('/');
    if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
    std::string guard;
    for (char c : path)
        guard += std::isalnum(static_cast<unsigned char>(c))
                     ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                     : '_';
    if (guard.empty() || std::isdigit(static_cast<unsigned char>(guard[0]))) guard = "KIV_" + guard;
    return guard;
}

}  // namespace kivtool
