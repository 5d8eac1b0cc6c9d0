#include "idl_printer.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string_view>

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

// " /* flags 0x... */" for the caller's bits of a definition or member, "" when there are none.
std::string flagsNote(uint32_t flags) {
    if (flags == 0) return "";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, " /* flags 0x%08" PRIx32 " */", flags);
    return buffer;
}

uint32_t callerFlags(const kivTLibDef *def) {
    return def->flags & 0xFFFF0000u;
}

// Lines at the current nesting depth.
class Output {
  public:
    void line(const std::string &text) { out_.append(4 * depth_, ' ').append(text).append("\n"); }
    void open(const std::string &head) {
        line(head + " {");
        ++depth_;
    }
    void close() {
        --depth_;
        line("};");
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
    size_t depth_ = 0;
};

// Scoped names and the repository ids that IDL derives from them.
class Names {
  public:
    explicit Names(const Library &library) : library_(library) {}

    // Demo::Point for the definition of `repoId`.
    std::string scoped(const char *repoId) const {
        const kivTLibDef *def = library_.find(repoId);
        if (!def || !def->name) return unresolved(repoId);
        return join(path(def), "::");
    }

    // IDL:Demo/Point:1.0 for a named definition.
    std::string derivedId(const kivTLibDef *def) const {
        return "IDL:" + join(path(def), "/") + ":1.0";
    }

    // What a reference that names no readable definition prints as: the scoped name for an
    // IDL id, else the id itself in angle brackets.
    static std::string unresolved(const char *repoId) {
        std::string_view id = repoId;
        size_t version = id.rfind(':');
        if (id.starts_with("IDL:") && version > 4) {
            std::string name(id.substr(4, version - 4));
            for (size_t at; (at = name.find('/')) != std::string::npos;) name.replace(at, 1, "::");
            return name;
        }
        return "<" + std::string(id) + ">";
    }

  private:
    // Names from the outermost scope below the root down to `def`.
    std::deque<std::string> path(const kivTLibDef *def) const {
        std::deque<std::string> names;
        for (int depth = 0; def && depth < kMaxDepth; ++depth) {
            names.push_front(def->name ? def->name : "");
            const char *scope = def->scopeId;
            if (!scope || std::strcmp(scope, KIV_TLIB_ROOT_ID) == 0) break;
            def = library_.find(scope);
            if (!def) names.push_front(unresolved(scope));
        }
        return names;
    }

    static std::string join(const std::deque<std::string> &parts, const char *separator) {
        std::string out;
        for (const auto &p : parts) out += (out.empty() ? "" : separator) + p;
        return out;
    }

    static constexpr int kMaxDepth = 64;  // a corrupt file may chain scopes in a circle
    const Library &library_;
};

// A type as it prints around a declarator: `long x[4][2]` is {"long", "[4][2]"}.
struct Declarator {
    std::string type;
    std::string dimensions;
    std::string around(const std::string &name) const { return type + " " + name + dimensions; }
    std::string alone() const { return type + dimensions; }
};

// Type references and values.
class Types {
  public:
    Types(const Library &library, const Names &names) : library_(library), names_(names) {}

    Declarator of(const kivTLibTypeRef &ref, int depth = 0) const {
        if (depth > kMaxDepth) return {"...", ""};
        switch (ref.tag) {
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                if (!ref.repoId) return {ref.tag == KIV_TYPE_STRING ? "string" : "wstring", ""};
                [[fallthrough]];
            case KIV_TYPE_SEQUENCE:
            case KIV_TYPE_ARRAY: {
                const kivTLibDef *def = library_.find(ref.repoId);
                if (!def || !isAnonymousKind(def->kind)) return {Names::unresolved(ref.repoId), ""};
                return anonymous(def, depth);
            }
            case KIV_TYPE_STRUCT:
            case KIV_TYPE_UNION:
            case KIV_TYPE_ENUM:
            case KIV_TYPE_ALIAS:
            case KIV_TYPE_INTERFACE:
                return {names_.scoped(ref.repoId), ""};
            default:
                return {basicName(ref.tag), ""};
        }
    }

    // string<32>, wstring, sequence<long, 10>, or an array's element with its dimensions.
    Declarator anonymous(const kivTLibDef *def, int depth = 0) const {
        switch (def->kind) {
            case KIV_DEF_STRING:
            case KIV_DEF_WSTRING: {
                uint32_t bound = as<kivTLibStringDef>(def).bound;
                std::string name = def->kind == KIV_DEF_STRING ? "string" : "wstring";
                return {bound ? name + "<" + std::to_string(bound) + ">" : name, ""};
            }
            case KIV_DEF_SEQUENCE: {
                auto &s = as<kivTLibSequenceDef>(def);
                std::string element = of(s.element, depth + 1).alone();
                if (s.bound) element += ", " + std::to_string(s.bound);
                return {"sequence<" + element + ">", ""};
            }
            default: {
                auto &a = as<kivTLibArrayDef>(def);
                Declarator element = of(a.element, depth + 1);
                return {element.type, "[" + std::to_string(a.length) + "]" + element.dimensions};
            }
        }
    }

    std::string value(const kivTLibValue &v, const kivTLibTypeRef &type) const {
        switch (v.tag) {
            case KIV_TYPE_BOOLEAN:
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
            case KIV_TYPE_FLOAT:
                return floatLiteral(v.f32);
            case KIV_TYPE_DOUBLE:
                return floatLiteral(v.f64);
            case KIV_TYPE_STRING:
            case KIV_TYPE_WSTRING:
                return stringLiteral(v.str ? v.str : "", v.tag == KIV_TYPE_WSTRING);
            case KIV_TYPE_ENUM:
                return enumerator(type.repoId, v.u32);
            case KIV_TYPE_DECIMAL32:
                return decimal32Text(v.u32);
            case KIV_TYPE_DECIMAL64:
                return decimal64Text(v.u64);
            case KIV_TYPE_DECIMAL128:
                return decimal128Text(v.d128[0], v.d128[1]);
            default:
                return "/* value of tag " + std::to_string(v.tag) + " */";
        }
    }

  private:
    static std::string basicName(uint32_t tag) {
        static const char *const names[] = {nullptr,         "void",           "boolean",
                                            "octet",         "char",           "wchar",
                                            "short",         "unsigned short", "long",
                                            "unsigned long", "long long",      "unsigned long long",
                                            "float",         "double"};
        if (tag >= KIV_TYPE_VOID && tag <= KIV_TYPE_DOUBLE) return names[tag];
        if (tag >= KIV_TYPE_DECIMAL32 && tag <= KIV_TYPE_DECIMAL128)
            return "decimal" + std::to_string(32 << (tag - KIV_TYPE_DECIMAL32));
        return "/* type tag " + std::to_string(tag) + " */";
    }

    // An enumerator lives in the scope that holds its enumeration: Demo::RED.
    std::string enumerator(const char *enumId, uint32_t value) const {
        const kivTLibDef *def = enumId ? library_.find(enumId) : nullptr;
        if (!def || def->kind != KIV_DEF_ENUM) return std::to_string(value);
        auto &e = as<kivTLibEnumDef>(def);
        for (uint32_t i = 0; i < e.memberCount; ++i) {
            if (e.members[i].value != value || !e.members[i].name) continue;
            bool inRoot = !def->scopeId || std::strcmp(def->scopeId, KIV_TLIB_ROOT_ID) == 0;
            return inRoot ? e.members[i].name
                          : names_.scoped(def->scopeId) + "::" + e.members[i].name;
        }
        return std::to_string(value);
    }

    static constexpr int kMaxDepth = 16;  // sequences that contain themselves
    const Library &library_;
    const Names &names_;
};

class Context;

// Prints one kind of definition.
class DefinitionPrinter {
  public:
    virtual ~DefinitionPrinter() = default;
    virtual void print(Context &c, const kivTLibDef *def) const = 0;
};

const DefinitionPrinter &printerFor(kivTLibDefKind kind);

class Context {
  public:
    explicit Context(const Library &library)
        : library(library), names(library), types(library, names) {}

    // A definition, then its id when IDL would derive another one.
    void definition(const kivTLibDef *def) {
        if (!active_.insert(def).second) {  // a scope that lists itself, directly or not
            out.line("// " + std::string(def->repoId) + " (listed inside itself)");
            return;
        }
        printerFor(def->kind).print(*this, def);
        if (def->name && !isAnonymousKind(def->kind) && names.derivedId(def) != def->repoId)
            out.line("#pragma ID " + names.scoped(def->repoId) + " \"" + def->repoId + "\"");
        active_.erase(def);
    }

    // The definitions listed in a scope; ids that name nothing readable as comments.
    void contents(const kivTLibDef *scope) {
        for (const char *id : contentsOf(scope)) {
            if (!id) continue;
            kivResult rc = 0;
            const kivTLibDef *def = library.find(id, &rc);
            if (def)
                definition(def);
            else
                out.line("// " + std::string(id) + ": " + kivStrError(rc));
        }
    }

    std::string declare(const kivTLibTypeRef &type, const char *name) const {
        return types.of(type).around(name ? name : "");
    }

    const Library &library;
    Names names;
    Types types;
    Output out;

  private:
    std::set<const kivTLibDef *> active_;
};

class ModulePrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        c.out.open("module " + std::string(def->name) + flagsNote(callerFlags(def)));
        c.contents(def);
        c.out.close();
    }
};

class InterfacePrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        auto &i = as<kivTLibInterfaceDef>(def);
        std::string head = "interface " + std::string(def->name);
        if (def->flags & KIV_DEF_FORWARD) {
            // Definitions may already live inside a declared interface; they print inside.
            if (contentsOf(def).empty()) {
                c.out.line(head + ";" + flagsNote(callerFlags(def)));
                return;
            }
            c.out.open(head + " /* forward */" + flagsNote(callerFlags(def)));
            c.contents(def);
            c.out.close();
            return;
        }
        if (i.baseId) head += " : " + c.names.scoped(i.baseId);
        c.out.open(head + flagsNote(callerFlags(def)));
        c.contents(def);
        for (uint32_t m = 0; m < i.memberCount; ++m) member(c, i.members[m]);
        c.out.close();
    }

  private:
    static void member(Context &c, const kivTLibMember &m) {
        if (m.kind == KIV_MEMBER_ATTRIBUTE) {
            c.out.line("attribute " + c.declare(m.type, m.name) + ";" + flagsNote(m.flags));
            return;
        }
        std::string params;
        for (uint32_t p = 0; p < m.paramCount; ++p) {
            static const char *const directions[] = {"?", "in", "out", "inout"};
            const kivTLibParam &param = m.params[p];
            params += (p ? ", " : "") + std::string(directions[param.direction & 3]) + " " +
                      c.declare(param.type, param.name);
        }
        c.out.line(c.declare(m.type, m.name) + "(" + params + ");" + flagsNote(m.flags));
    }
};

class ConstantPrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        auto &k = as<kivTLibConstantDef>(def);
        c.out.line("const " + c.declare(k.type, def->name) + " = " +
                   c.types.value(k.value, k.type) + ";" + flagsNote(callerFlags(def)));
    }
};

class StructPrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        auto &s = as<kivTLibStructDef>(def);
        c.out.open("struct " + std::string(def->name) + flagsNote(callerFlags(def)));
        c.contents(def);
        for (uint32_t m = 0; m < s.memberCount; ++m)
            c.out.line(c.declare(s.members[m].type, s.members[m].name) + ";");
        c.out.close();
    }
};

class UnionPrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        auto &u = as<kivTLibUnionDef>(def);
        c.out.open("union " + std::string(def->name) + " switch (" +
                   c.types.of(u.discriminator).alone() + ")" + flagsNote(callerFlags(def)));
        c.contents(def);
        for (uint32_t i = 0; i < u.caseCount; ++i) {
            const kivTLibUnionCase &k = u.cases[i];
            std::string label = k.label.tag == KIV_VALUE_NONE
                                    ? "default"
                                    : "case " + c.types.value(k.label, u.discriminator);
            c.out.line(label + ": " + c.declare(k.type, k.name) + ";");
        }
        c.out.close();
    }
};

class EnumPrinter : public DefinitionPrinter {
  public:
    // One enumerator a line; a value other than the enumerator's position is noted.
    void print(Context &c, const kivTLibDef *def) const override {
        auto &e = as<kivTLibEnumDef>(def);
        c.out.open("enum " + std::string(def->name) + flagsNote(callerFlags(def)));
        for (uint32_t i = 0; i < e.memberCount; ++i) {
            std::string line = e.members[i].name ? e.members[i].name : "";
            if (e.members[i].value != i)
                line += " /* = " + std::to_string(e.members[i].value) + " */";
            c.out.line(line + (i + 1 < e.memberCount ? "," : ""));
        }
        c.out.close();
    }
};

class AliasPrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        c.out.line("typedef " + c.declare(as<kivTLibAliasDef>(def).type, def->name) + ";" +
                   flagsNote(callerFlags(def)));
    }
};

// Anonymous types print where they are used; on their own, as a comment with their id.
class AnonymousPrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        c.out.line("// " + std::string(def->repoId) + "  " + c.types.anonymous(def).alone() +
                   flagsNote(callerFlags(def)));
    }
};

class UnknownKindPrinter : public DefinitionPrinter {
  public:
    void print(Context &c, const kivTLibDef *def) const override {
        c.out.line("// " + std::string(def->repoId) + ": " + kindName(def->kind));
    }
};

const DefinitionPrinter &printerFor(kivTLibDefKind kind) {
    static const ModulePrinter module;
    static const InterfacePrinter interface;
    static const ConstantPrinter constant;
    static const StructPrinter structure;
    static const UnionPrinter unionPrinter;
    static const EnumPrinter enumeration;
    static const AliasPrinter alias;
    static const AnonymousPrinter anonymous;
    static const UnknownKindPrinter unknown;
    static const std::map<kivTLibDefKind, const DefinitionPrinter *> printers{
        {KIV_DEF_MODULE, &module},      {KIV_DEF_INTERFACE, &interface},
        {KIV_DEF_CONSTANT, &constant},  {KIV_DEF_STRUCT, &structure},
        {KIV_DEF_UNION, &unionPrinter}, {KIV_DEF_ENUM, &enumeration},
        {KIV_DEF_ALIAS, &alias},        {KIV_DEF_STRING, &anonymous},
        {KIV_DEF_WSTRING, &anonymous},  {KIV_DEF_SEQUENCE, &anonymous},
        {KIV_DEF_ARRAY, &anonymous},
    };
    auto found = printers.find(kind);
    return found == printers.end() ? unknown : *found->second;
}

bool isWellKnownScope(const kivTLibDef *def) {
    return std::strcmp(def->repoId, KIV_TLIB_ROOT_ID) == 0 ||
           std::strcmp(def->repoId, KIV_TLIB_ANONYMOUS_SCOPE_ID) == 0;
}

void anonymousTypes(Context &c, const kivTLibDef *scope) {
    if (contentsOf(scope).empty()) return;
    c.out.line("// anonymous types");
    c.contents(scope);
}

}  // namespace

std::string printLibrary(const Library &library) {
    Context c(library);
    kivTLibDef *root = nullptr;
    if (kivTLibGetRoot(library.handle(), &root) == 0)
        c.contents(root);
    else
        c.out.line("// no root module");
    anonymousTypes(c, library.find(KIV_TLIB_ANONYMOUS_SCOPE_ID));
    return c.out.take();
}

std::string printDefinition(const Library &library, const kivTLibDef *def) {
    Context c(library);
    if (std::strcmp(def->repoId, KIV_TLIB_ANONYMOUS_SCOPE_ID) == 0)
        anonymousTypes(c, def);
    else if (isWellKnownScope(def))
        c.contents(def);
    else
        c.definition(def);
    return c.out.take();
}

}  // namespace kivtool::idl
