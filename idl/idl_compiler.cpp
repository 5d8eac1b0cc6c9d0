// SPDX-License-Identifier: Apache-2.0
// The IDL compiler: definitions in the order of the text. Expressions, types, constants,
// typedefs, anonymous types, attributes, operations, structure members, union cases,
// enumerators, exceptions left out and the heads of modules, interfaces, structures, unions
// and enumerations (up to the '{' of the body) are read into syntax (idl_parser) and then
// resolved (idl_resolver) and checked; the bodies are still walked here as they come, since
// after an error in a name or a value reading resumes where that error stopped it. Definitions
// are created through the public creating calls (idl_emitter), those of an interface once it
// is complete.
#include "idl_compiler.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "idl_checks.h"
#include "idl_constants.h"
#include "idl_emitter.h"
#include "idl_parser.h"
#include "idl_resolver.h"
#include "idl_repoids.h"
#include "idl_text.h"

namespace kivtool::idl {

namespace {

struct Annotations {
    std::optional<std::string> id;
    std::optional<std::string> version;
    std::optional<uint32_t> flags;
    bool forward = false;
    Location at, flagsAt;
    bool any() const { return id || version || flags || forward; }
};

struct CaseSpec {
    std::string name;
    TypePtr type;
    kivTLibValue label{};
    Location at;
};

class Compiler : private Emitter, private Resolver {
  public:
    Compiler(kivTLib *tlib, const std::string &libraryName, uint32_t nextLocalId,
             const CompileOptions &options, FileReader reader)
        : Emitter(tlib, libraryName, nextLocalId),
          sources_(std::move(reader)),
          diags_(sources_, options.errorLimit),
          pp_(sources_, diags_, options.preprocessor),
          options_(options),
          tokens_(pp_, diags_) {
        attach(diags_);
        attachNames(diags_, libraryName);
        attachLibrary(tlib);
    }

    CompileResult run(const std::vector<Input> &inputs) {
        try {
            start();
            for (const Input &input : inputs) {
                bool opened =
                    input.inMemory ? pp_.openText(input.name, input.text) : pp_.open(input.name);
                if (!opened) {
                    std::string why = pp_.failure();
                    diags_.error(input.name,
                                 "cannot read the file" + (why.empty() ? "" : ": " + why));
                    continue;
                }
                tokens_.clear();
                takeNamingPragmasFirst();
                definitions(root_, true);
            }
            if (diags_.errors() == 0) ensureRoot();
        } catch (const Abort &) {
        }
        for (kivTLib *t : imports_) kivTLibClose(t);
        imports_.clear();
        if (unshownWarnings_)
            diags_.warning(Location{}, std::to_string(unshownWarnings_) +
                                           " more warnings like these not shown");
        CompileResult result;
        result.errors = diags_.errors();
        result.changed = changed_;
        result.diagnostics = diags_.text();
        return result;
    }

  private:
    // ---- Setup: what the library and the imported libraries already define ----

    void start() {
        root_ = newScope(nullptr, nullptr, KIV_TLIB_ROOT_ID, KIV_DEF_MODULE);
        kivTLibDef *root = nullptr;
        if (kivTLibGetRoot(tlib_, &root) == 0) {
            rootPresent_ = true;
            rootFlags_ = root->flags & kCallerFlags;
            seed(tlib_, root, root_, libraryName_, 0);
        }
        for (const std::string &path : options_.imports) {
            kivTLib *t = nullptr;
            if (kivResult rc = kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t)) {
                diags_.error(path, std::string("cannot import the library: ") + kivStrError(rc));
                continue;
            }
            imports_.push_back(t);
            kivTLibDef *importRoot = nullptr;
            if (kivTLibGetRoot(t, &importRoot) == 0) seed(t, importRoot, root_, path, 0);
        }
    }

    // ---- Tokens ----

    const Token &peek(size_t ahead = 0) { return tokens_.peek(ahead); }
    Token take() { return tokens_.take(); }
    bool accept(const char *punct) { return tokens_.accept(punct); }
    bool acceptWord(const char *word) { return tokens_.acceptWord(word); }
    [[noreturn]] void fail(const Token &at, const std::string &message) {
        error(at.at, message);
        throw ParseError{};
    }
    void error(Location at, const std::string &message) override {
        diags_.error(at, message);
        if (diags_.full()) throw Abort{};
    }
    void expect(const char *punct, const std::string &context) {
        if (!accept(punct)) syntaxError(expectedHere(tokens_, punct, context));
    }

    // The names that `declared` holds after token number `after` are left out quietly.
    void leaveOut(const DeclaredNames &declared, size_t after = 0) {
        for (auto &[number, name] : declared)
            if (number > after) refused_.insert(name);
    }

    // After an error: skip to the end of the current declaration. After a refusal or an
    // unknown type, the names the rest of the definition declares are left out with it.
    void recover() {
        skipDeclaration(tokens_, std::exchange(refusing_, false) ? &refused_ : nullptr);
    }

    // ---- Definitions ----

    // The definitions of a module body (or of the whole file when `top`).
    void definitions(Scope *scope, bool top) {
        for (;;) {
            Token t = peek();
            if (t.kind == Tok::End) return;
            if (t.is("}")) {
                if (!top) return;
                error(t.at, "unexpected '}' with no open scope");
                take();
                continue;
            }
            try {
                definition(scope);
            } catch (const ParseError &) {
                recover();
            }
        }
    }

    void run(std::function<void()> action) {
        if (deferred_)
            deferred_->push_back(std::move(action));
        else
            action();
    }

    Annotations annotations() { return annotationsOf(parseAnnotations(tokens_, nesting_)); }

    Annotations annotationsOf(const AnnotationList &list) {
        Annotations a;
        a.at = list.at;
        for (const AnnotationList::Item &item : list.items) {
            if (item.word == "forward") {
                a.forward = true;
            } else if (item.word == "id") {
                a.id = item.text;
            } else if (item.word == "version") {
                a.version = item.text;
            } else {
                a.flagsAt = item.at;
                Val v = valueOf(*item.flags, current_);
                kivTLibValue out{};
                if (!convert(v, KIV_TYPE_ULONG, "", "flags (unsigned long)", &out, nullptr))
                    throw ParseError{};
                a.flags = out.u32;
            }
        }
        if (list.error) syntaxError(*list.error);
        return a;
    }

    void noAnnotations(const Annotations &a, const char *what) {
        if (a.any()) error(a.at, std::string("annotations do not apply to ") + what);
    }

    void definition(Scope *scope) {
        current_ = scope;
        Annotations a = annotations();
        Token t = peek();
        if (t.kind == Tok::Pragma) {
            noAnnotations(a, "#pragma");
            pragma(take());
            return;
        }
        if (t.is(";")) {
            take();
            return;
        }
        if (t.kind == Tok::Ident) {
            if (t.text == "module") return module(scope, a);
            if (t.text == "interface") return interface(scope, a);
            if (t.text == "struct" || t.text == "union" || t.text == "enum") {
                constructed(scope, a, false);
                return;
            }
            if (t.text == "const") return constant(scope, a);
            if (t.text == "typedef") return alias(scope, a);
            if (t.text == "anonymous" && peek(1).kind == Tok::String) return anonymous(a);
            if (t.text == "exception" && options_.skipUnstorable) return skipException();
            if (const char *why = unsupported(t.text)) {
                // Later uses of what is refused here would only repeat the refusal.
                for (size_t ahead = 1; ahead < 4; ++ahead)
                    if (peek(ahead).kind == Tok::Ident && !isKeyword(peek(ahead).text)) {
                        refused_.insert(peek(ahead).text);
                        break;
                    }
                refuse(t.at, t.text, why);
            }
        }
        std::string message =
            "expected a definition (module, interface, struct, union, enum, "
            "const, typedef), found " +
            describe(t);
        if (t.kind == Tok::Ident)
            if (auto close = closest(
                    t.text, {"module", "interface", "struct", "union", "enum", "const", "typedef"}))
                message += "; did you mean " + quoted(*close) + "?";
        fail(t, message);
    }

    // `#pragma version` and `#pragma ID` may follow the definition they name: the whole
    // input is read first, and each is taken from the scope that encloses it.
    void takeNamingPragmasFirst() {
        for (const NamingPragma &p : namingPragmas(tokens_)) repoIds_.take(p.scope, p.pragma);
    }

    void pragma(const Token &t) {
        Pragma p = readPragma(t);
        switch (p.kind) {
            case Pragma::Prefix:
                prefix_ = p.text;
                break;
            case Pragma::Naming:  // taken before the definitions were read
                break;
            case Pragma::RootFlags:
                if (rootPresent_ && p.number != rootFlags_)
                    return error(t.at, "the root module already exists with other flags");
                rootFlags_ = p.number;
                break;
            case Pragma::NextLocalId: {
                uint32_t target = p.number;
                Location at = t.at;
                run([this, target, at] { advanceCounter(target, at); });
                break;
            }
            case Pragma::Malformed:
                return error(t.at, p.message);
            case Pragma::Unknown:
                warn(t.at, p.message);
                break;
        }
    }

    // The repository id of a new definition: explicit, by pragma, or derived from its path.
    std::string makeId(Scope *scope, const std::string &simpleName, const Annotations &a) {
        return repoIds_.make(scope->path, simpleName, a.id, a.version, prefix_);
    }

    // Two types written the same way.
    static bool sameSpec(const TypeSpec &a, const TypeSpec &b) {
        if (&a == &b) return true;
        if (a.tag != b.tag || a.anonymous != b.anonymous || a.bound != b.bound) return false;
        if (!a.anonymous) return a.repoId == b.repoId;
        if (!a.element || !b.element) return !a.element && !b.element;
        return sameSpec(*a.element, *b.element);
    }

    // A module or interface of this id declared before in the same scope (reopened or
    // completed), found by id so that another definition of the same name cannot hide it.

    void checkFlags(const Annotations &a) {
        if (a.flags && (*a.flags & ~kCallerFlags)) {
            char text[64];
            std::snprintf(text, sizeof text, "0x%08" PRIx32, *a.flags);
            error(a.flagsAt, std::string("definition flags use bits 16 to 31 (0xffff0000); ") +
                                 text + " sets others");
        }
    }

    void module(Scope *scope, const Annotations &a) {
        ScopeHead h = parseScopeHead(tokens_);
        if (scope->kind != KIV_DEF_MODULE) {
            error(h.keyword, "a module can only be defined in a module, not in " +
                                 kindWord(scope->kind) + " " + quoted(scope->self->name));
            throw ParseError{};
        }
        if (a.flags) error(a.flagsAt, "a module carries no flags");
        if (a.forward) error(a.at, "@forward applies to interfaces");
        if (!h.named) syntaxError(*h.error);
        const std::string n = h.name;
        const Location at = h.at;
        std::string id = makeId(scope, n, a);
        Symbol *s = reopened(scope, id, KIV_DEF_MODULE);
        if (!s) {
            s = find(scope, n);
            if (s && s->kind == KIV_DEF_MODULE && !a.id) {
                error(at, "module " + quoted(n) + " is reopened with another id (\"" + id +
                              "\", was \"" + s->repoId + "\")");
                previous(s);
                throw ParseError{};
            }
            s = declare(scope, n, id, KIV_DEF_MODULE, at, a.id.has_value());
            if (!s) throw ParseError{};
            s->inner = newScope(scope, s, id, KIV_DEF_MODULE);
            std::string scopeId = scope->repoId;
            run([this, n, id, scopeId, at] {
                ensureRoot();
                kivTLibDef *existing = nullptr;
                if (kivTLibGetDefinition(tlib_, id.c_str(), &existing) == 0 &&
                    existing->kind == KIV_DEF_MODULE && existing->name && n == existing->name &&
                    existing->scopeId && scopeId == existing->scopeId)
                    return;  // the library has it already
                create(
                    kivTLibCreateModule(tlib_, n.c_str(), id.c_str(), scopeId.c_str(), 0, nullptr),
                    at, "module", n, id);
            });
        }
        expect("{", "after the module name");
        std::string savedPrefix = prefix_;
        nest(at);
        definitions(s->inner, false);
        --nesting_;
        prefix_ = savedPrefix;
        current_ = scope;
        expect("}", "to close module " + quoted(n));
        expect(";", "after the module's '}'");
    }

    void nest(Location at) {
        if (++nesting_ > kMaxNesting) {
            error(at, "nested more than " + std::to_string(kMaxNesting) + " levels deep");
            throw Abort{};
        }
    }

    void interface(Scope *scope, const Annotations &a) {
        ScopeHead h = parseScopeHead(tokens_);
        if (scope->kind != KIV_DEF_MODULE) {
            error(h.keyword, "an interface can only be defined in a module, not in " +
                                 kindWord(scope->kind) + " " + quoted(scope->self->name));
            throw ParseError{};
        }
        checkFlags(a);
        if (!h.named) syntaxError(*h.error);
        const std::string n = h.name;
        const Location at = h.at;
        std::string id = makeId(scope, n, a);
        uint32_t flags = a.flags.value_or(0);
        Symbol *s = reopened(scope, id, KIV_DEF_INTERFACE);
        bool known = s != nullptr;
        std::string scopeId = scope->repoId;
        if (h.forward) {
            take();  // ';'
            if (!known) {
                s = declare(scope, n, id, KIV_DEF_INTERFACE, at, a.id.has_value());
                if (!s) return;
                s->inner = newScope(scope, s, id, KIV_DEF_INTERFACE);
            }
            run([this, n, id, scopeId, flags, at] {
                ensureRoot();
                bool had = kivTLibGetDefinition(tlib_, id.c_str(), nullptr) == 0;
                bool before = changed_;
                create(kivTLibCreateInterfaceFwd(tlib_, n.c_str(), id.c_str(), scopeId.c_str(),
                                                 flags, nullptr),
                       at, "interface", n, id);
                if (had) changed_ = before;  // a declaration of what exists changes nothing
            });
            return;
        }
        std::string baseId;
        const Location baseAt = h.baseAt;
        if (h.based) {
            if (h.byId) {
                baseId = h.baseId;
            } else {
                if (!h.baseNamed) syntaxError(*h.error);
                const ScopedName &base = h.base;
                if (h.multiple) {
                    refused_.insert(n);
                    syntaxError(*h.error);
                }
                Symbol *b = resolve(base, scope, "interface", false);
                if (!b && refused_.count(base.parts.back())) {
                    refused_.insert(n);
                    refusing_ = true;
                    throw ParseError{};
                }
                if (!b) resolve(base, scope, "interface");
                if (b) {
                    if (b->kind != KIV_DEF_INTERFACE)
                        error(base.at, quoted(base.text()) + " is a " + kindWord(b->kind) +
                                           ", not an interface");
                    else
                        baseId = b->repoId;
                }
            }
            if (a.forward) error(baseAt, "a @forward interface has no base");
        }
        if (h.error) syntaxError(*h.error);
        if (known) {
            if (!a.forward && complete_.count(id)) {
                error(at, "interface " + quoted(n) + " is already defined");
                previous(s);
                throw ParseError{};
            }
        } else {
            s = declare(scope, n, id, KIV_DEF_INTERFACE, at, a.id.has_value());
            if (!s) throw ParseError{};
            s->inner = newScope(scope, s, id, KIV_DEF_INTERFACE);
        }
        if (!a.forward) {
            complete_.insert(id);
            s->at = at;
        }
        if (!baseId.empty()) s->inner->baseId = baseId;
        take();  // '{'
        nest(at);
        auto nested = std::make_shared<std::vector<std::function<void()>>>();
        auto members = std::make_shared<std::vector<MemberSpec>>();
        auto *savedDeferred = deferred_;
        deferred_ = nested.get();
        std::string savedPrefix = prefix_;
        while (!peek().is("}") && peek().kind != Tok::End) {
            try {
                exportDeclaration(s->inner, *members);
            } catch (const ParseError &) {
                recover();
            }
        }
        deferred_ = savedDeferred;
        prefix_ = savedPrefix;
        --nesting_;
        current_ = scope;
        expect("}", "to close interface " + quoted(n));
        expect(";", "after the interface's '}'");
        if (a.forward && !members->empty())
            error(members->front().at, "a @forward interface has no members");
        if (!a.forward) checkTable(n, id, baseId, *members);
        bool forward = a.forward;
        run([this, n, id, scopeId, flags, baseId, members, nested, forward, at] {
            ensureRoot();
            std::optional<bool> changedBefore;
            if (forward) {
                if (kivTLibGetDefinition(tlib_, id.c_str(), nullptr) == 0) changedBefore = changed_;
                create(kivTLibCreateInterfaceFwd(tlib_, n.c_str(), id.c_str(), scopeId.c_str(),
                                                 flags, nullptr),
                       at, "interface", n, id);
                if (changedBefore) changed_ = *changedBefore;
            } else {
                createInterface(n, id, scopeId, flags, baseId, *members, at);
            }
            for (auto &action : *nested) action();
        });
    }

    void exportDeclaration(Scope *scope, std::vector<MemberSpec> &members) {
        current_ = scope;
        Annotations a = annotations();
        Token t = peek();
        if (t.kind == Tok::Pragma) return pragma(take());
        bool rawType = peek(1).kind == Tok::String;  // `struct "ID"` is a type, not a definition
        if (!rawType) {
            if (t.isWord("struct") || t.isWord("union") || t.isWord("enum")) {
                constructed(scope, a, false);
                return;
            }
            if (t.isWord("typedef")) return alias(scope, a);
        }
        if (t.isWord("const")) return constant(scope, a);
        if (t.isWord("exception") && options_.skipUnstorable) return skipException();
        if ((t.isWord("interface") && !rawType) || t.isWord("module"))
            fail(t, "a " + t.text + " cannot be defined inside an interface");
        if (t.is(";")) {
            take();
            return;
        }
        if (a.id || a.version || a.forward)
            error(a.at, "only @flags applies to attributes and operations");
        uint32_t flags = a.flags.value_or(0);
        bool readonly = acceptWord("readonly");
        if (readonly && !peek().isWord("attribute"))
            fail(peek(), "expected 'attribute' after 'readonly'");
        if (acceptWord("attribute")) {
            auto declared = typedDeclarators(scope, "an attribute name");
            forEachDeclarator(declared, scope, [&](const Declarator &x, TypePtr full) {
                members.push_back({KIV_MEMBER_ATTRIBUTE,
                                   x.name,
                                   flags | (readonly ? KIV_MEMBER_READONLY : 0u),
                                   full,
                                   {},
                                   x.at});
            });
            while (peek().isWord("getraises") || peek().isWord("setraises")) skipRaises();
            expect(";", "after the attribute");
            return;
        }
        // An operation.
        if (peek().isWord("oneway") && options_.skipUnstorable) {
            Token oneway = take();
            warn(oneway.at, "'oneway' left out: " + std::string(unsupported("oneway")) +
                                "; the operation is an ordinary one");
        }
        OperationDecl d = parseOperation(tokens_, nesting_);
        MemberSpec m{
            KIV_MEMBER_OPERATION, d.name, flags, resolved(*d.result, d, scope, true), {}, d.at};
        if (!d.named) syntaxError(*d.error);
        for (const ParamDecl &p : d.params) {
            Annotations pa = annotationsOf(p.annotations);
            if (pa.any()) error(pa.at, "parameters take no annotations");
            if (!p.direction) syntaxError(*d.error);
            TypePtr type = resolved(*p.type, d, scope, false, p.typeEnd);
            const Declarator &x = p.declarator;
            if (!x.named) syntaxError(*d.error);
            type = arrayOf(type, x.lengths, scope);
            if (!x.done) syntaxError(*d.error);
            if (m.params.size() == 255) error(x.at, "an operation takes at most 255 parameters");
            m.params.push_back({x.name, type, p.direction, x.at});
        }
        if (d.error) syntaxError(*d.error);
        checkParameters(m);
        if (peek().isWord("raises")) skipRaises();
        if (peek().isWord("context")) refuse(peek().at, peek().text, unsupported(peek().text));
        expect(";", "after the operation");
        members.push_back(std::move(m));
    }

    // A type of an operation; when it is unknown or refused, the names the rest of the
    // operation declares are left out with it.
    TypePtr resolved(const TypeExpr &type, const OperationDecl &d, Scope *scope, bool allowVoid,
                     size_t end = 0) {
        try {
            return resolveType(type, scope, allowVoid);
        } catch (const ParseError &) {
            if (refusing_) leaveOut(d.declared, end ? end : d.resultEnd);
            throw;
        }
    }

    // A `raises`, `getraises` or `setraises` clause: refused, or left out with a warning.
    void skipRaises() {
        Token word = peek();
        if (!options_.skipUnstorable) refuse(word.at, word.text, unsupported(word.text));
        take();
        expect("(", "after " + quoted(word.text));
        if (auto problem = skipBalanced(tokens_, "(", ")")) syntaxError(*problem);
        warn(word.at, quoted(word.text) + " clause left out: " + unsupported(word.text));
    }

    // exception NAME { ... };  left out with a warning.
    void skipException() {
        SkippedException d = parseSkippedException(tokens_);
        if (d.error) syntaxError(*d.error);
        warn(d.at, "exception " + quoted(d.name) + " left out: " + unsupported("exception"));
    }

    // A warning, up to the error limit in number; the rest are counted and summarised.
    void warn(Location at, const std::string &message) {
        if (options_.errorLimit && warnings_ >= options_.errorLimit) {
            ++unshownWarnings_;
            return;
        }
        ++warnings_;
        diags_.warning(at, message);
    }

    // `struct`, `union` or `enum` that defines a type here (not `struct "ID"`, a reference).
    bool isConstructed(const Token &t) {
        return (t.isWord("struct") || t.isWord("union") || t.isWord("enum")) &&
               peek(1).kind != Tok::String;
    }

    Symbol *constructed(Scope *scope, const Annotations &a, bool asType,
                        const std::string &givenName = "") {
        const Token &t = peek();
        if (t.isWord("struct")) return structure(scope, a, asType, givenName);
        if (t.isWord("union")) return unionDefinition(scope, a, asType, givenName);
        return enumeration(scope, a, asType, givenName);
    }

    static TypePtr typeOf(const Symbol &s, Location at) {
        auto type = basicType(s.kind == KIV_DEF_STRUCT  ? KIV_TYPE_STRUCT
                              : s.kind == KIV_DEF_UNION ? KIV_TYPE_UNION
                                                        : KIV_TYPE_ENUM,
                              at);
        type->repoId = s.repoId;
        return type;
    }

    // The name of a structure, union or enumeration, once the problems of what precedes it
    // are reported.
    std::string nameOf(const TypeHead &head, const Annotations &a, const std::string &givenName) {
        checkFlags(a);
        if (a.forward) error(a.at, "@forward applies to interfaces");
        if (givenName.empty() && !head.named) syntaxError(*head.error);
        if (head.forward) syntaxError(*head.error);
        return head.named ? head.name : givenName;
    }

    // The head of a structure or union definition, up to its body: the keyword, the name
    // (`givenName` for one written without), its repository id, and the scope of its members.
    struct Aggregate {
        Symbol *symbol;
        std::string name;
        std::string id;
        Location at;
        TypeHead head;
    };
    Aggregate openAggregate(Scope *scope, const Annotations &a, uint32_t kind,
                            const std::string &givenName) {
        TypeHead head = parseTypeHead(tokens_, nesting_, !givenName.empty());
        std::string n = nameOf(head, a, givenName);
        std::string id = makeId(scope, n, a);
        Symbol *s = declare(scope, n, id, kind, head.at, a.id.has_value());
        if (!s) throw ParseError{};
        s->inner = newScope(scope, s, id, kind);
        Location at = head.at;
        return {s, n, id, at, std::move(head)};
    }

    // Defines the type; with `asType`, the text goes on with declarators instead of ';'
    // (a member or typedef of this type), and `givenName` names a type written without one.
    Symbol *structure(Scope *scope, const Annotations &a, bool asType = false,
                      const std::string &givenName = "") {
        Aggregate head = openAggregate(scope, a, KIV_DEF_STRUCT, givenName);
        Symbol *s = head.symbol;
        const std::string n = head.name, id = head.id;
        const Location at = head.at;
        expect("{", "after the structure name");
        nest(at);
        auto nested = std::make_shared<std::vector<std::function<void()>>>();
        auto members = std::make_shared<std::vector<std::pair<Named, TypePtr>>>();
        bool damaged = false;  // a member was refused: no follow-on errors

        auto *savedDeferred = deferred_;
        deferred_ = nested.get();
        while (!peek().is("}") && peek().kind != Tok::End) {
            try {
                current_ = s->inner;
                Annotations ma = annotations();
                Token t = peek();
                std::pair<TypePtr, Declarators> declared;
                if (isConstructed(t)) {
                    // A nested definition, or one with member declarators after it.
                    Symbol *defined = constructed(s->inner, ma, true);
                    if (accept(";")) continue;
                    if (!defined) throw ParseError{};
                    declared = {typeOf(*defined, t.at),
                                parseDeclarators(tokens_, nesting_, "a member name", false)};
                } else {
                    if (ma.any()) error(ma.at, "structure members take no annotations");
                    declared = typedDeclarators(s->inner, "a member name");
                }
                forEachDeclarator(declared, s->inner, [&](const Declarator &x, TypePtr full) {
                    holdsByValue(id, *full, x.at, x.name);
                    members->emplace_back(Named{x.name, x.at}, full);
                });
                expect(";", "after the structure member");
            } catch (const ParseError &) {
                damaged = true;
                recover();
            }
        }
        deferred_ = savedDeferred;
        --nesting_;
        current_ = scope;
        checkNotContained(id, n);
        expect("}", "to close structure " + quoted(n));
        if (!asType) expect(";", "after the structure's '}'");
        if (damaged) return s;
        if (members->empty()) error(at, "structure " + quoted(n) + " needs at least one member");
        std::vector<Named> memberNames;
        for (auto &member : *members) memberNames.push_back(member.first);
        reportClashes(memberNames, "member", "structure " + quoted(n));
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        run([this, n, id, scopeId, flags, members, nested, at] {
            ensureRootFor(scopeId);
            if (!existing(id, KIV_DEF_STRUCT, n, scopeId, flags, at, [&](const kivTLibDef *d) {
                    auto &r = *reinterpret_cast<const kivTLibStructDef *>(d);
                    if (r.memberCount != members->size() || !r.members) return false;
                    for (size_t i = 0; i < members->size(); ++i)
                        if (!sameName(r.members[i].name, (*members)[i].first.name) ||
                            !sameType(*(*members)[i].second, r.members[i].type, 0))
                            return false;
                    return true;
                })) {
                std::vector<kivTLibStructMember> list;
                for (auto &[mn, type] : *members) list.push_back({mn.name.c_str(), ref(*type)});
                create(
                    kivTLibCreateStruct(tlib_, n.c_str(), id.c_str(), scopeId.c_str(), flags,
                                        static_cast<uint32_t>(list.size()), list.data(), nullptr),
                    at, "struct", n, id);
            }
            for (auto &action : *nested) action();
        });
        return s;
    }

    // Defines the type; with `asType`, the text goes on with declarators instead of ';'
    // (a member or typedef of this type), and `givenName` names a type written without one.
    Symbol *unionDefinition(Scope *scope, const Annotations &a, bool asType = false,
                            const std::string &givenName = "") {
        Aggregate head = openAggregate(scope, a, KIV_DEF_UNION, givenName);
        Symbol *s = head.symbol;
        const std::string n = head.name, id = head.id;
        const Location at = head.at;
        const TypeHead &h = head.head;
        if (!h.switched || !h.discriminator) syntaxError(*h.error);
        TypePtr discriminator = throughAliases(resolveType(*h.discriminator, scope, false));
        static const uint32_t allowed = 0x80FD4;
        if (discriminator->tag >= 20 || !(allowed >> discriminator->tag & 1))
            error(discriminator->at,
                  "a union discriminator is boolean, char, an integer type or "
                  "an enumeration");
        if (h.error) syntaxError(*h.error);
        expect("{", "to open the union body");
        nest(at);
        auto nested = std::make_shared<std::vector<std::function<void()>>>();
        auto cases = std::make_shared<std::vector<CaseSpec>>();
        bool damaged = false;  // a case was refused: no follow-on errors
        std::vector<Named> caseNames, labelKeys;
        std::vector<TypePtr> caseTypes;

        auto *savedDeferred = deferred_;
        deferred_ = nested.get();
        while (!peek().is("}") && peek().kind != Tok::End) {
            try {
                current_ = s->inner;
                Annotations ma = annotations();
                Token t = peek();
                if (isConstructed(t)) {
                    constructed(s->inner, ma, false);
                    continue;
                }
                if (ma.any()) error(ma.at, "union cases take no annotations");
                UnionCase c = parseUnionCase(tokens_, nesting_);
                std::vector<std::pair<kivTLibValue, Location>> labels;
                for (const CaseLabel &l : c.labels) {
                    kivTLibValue label{};
                    if (!l.value) {
                        labelKeys.push_back({labelKey(0, 0, 0, true), l.at});
                    } else if (convert(valueOf(*l.value, s->inner), discriminator->tag,
                                       discriminator->repoId, "the discriminator", &label,
                                       nullptr)) {
                        labelKeys.push_back(
                            {labelKey(label.tag, label.u64, label.d128[1], false), l.at});
                    }
                    labels.emplace_back(label, l.at);
                    if (!l.done) syntaxError(*c.error);
                }
                if (!c.type) syntaxError(*c.error);
                TypePtr type;
                try {
                    type = resolveType(*c.type, s->inner, false);
                } catch (const ParseError &) {
                    if (refusing_) leaveOut(c.declared, c.typeEnd);
                    throw;  // the skip goes on from where reading stopped
                }
                const Declarator &x = c.declarator;
                if (!x.named) syntaxError(*c.error);
                type = arrayOf(type, x.lengths, s->inner);
                if (!x.done) syntaxError(*c.error);
                const std::string &cn = x.name;
                const Location cat = x.at;
                holdsByValue(id, *type, cat, cn);
                expect(";", "after the union case");
                // A case with several labels prints as one declaration per label.
                bool repeatsPrevious = !caseNames.empty() && caseNames.back().name == cn &&
                                       sameSpec(*caseTypes.back(), *type);
                if (!repeatsPrevious) {
                    caseNames.push_back({cn, cat});
                    caseTypes.push_back(type);
                }
                for (auto &[label, lat] : labels) cases->push_back({cn, type, label, lat});
            } catch (const ParseError &) {
                damaged = true;
                recover();
            }
        }
        deferred_ = savedDeferred;
        --nesting_;
        current_ = scope;
        checkNotContained(id, n);
        expect("}", "to close union " + quoted(n));
        if (!asType) expect(";", "after the union's '}'");
        if (damaged) return s;
        if (cases->empty()) error(at, "union " + quoted(n) + " needs at least one case");
        reportClashes(caseNames, "member", "union " + quoted(n));
        for (const Clash &c : findClashes(labelKeys)) {
            error(labelKeys[c.later].at, "duplicate case label in union " + quoted(n));
            diags_.note(labelKeys[c.first].at, "the same label is used here");
        }
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        run([this, n, id, scopeId, flags, discriminator, cases, nested, at] {
            ensureRootFor(scopeId);
            if (!existing(id, KIV_DEF_UNION, n, scopeId, flags, at, [&](const kivTLibDef *d) {
                    auto &r = *reinterpret_cast<const kivTLibUnionDef *>(d);
                    if (r.caseCount != cases->size() || !r.cases ||
                        !sameType(*discriminator, r.discriminator, 0))
                        return false;
                    for (size_t i = 0; i < cases->size(); ++i) {
                        auto &c = (*cases)[i];
                        if (!sameName(r.cases[i].name, c.name) ||
                            !sameType(*c.type, r.cases[i].type, 0) ||
                            !sameValue(c.label, "", r.cases[i].label))
                            return false;
                    }
                    return true;
                })) {
                kivTLibTypeRef d = ref(*discriminator);
                std::vector<kivTLibUnionCase> list;
                for (auto &c : *cases) list.push_back({c.name.c_str(), ref(*c.type), c.label});
                create(kivTLibCreateUnion(tlib_, n.c_str(), id.c_str(), scopeId.c_str(), flags, &d,
                                          static_cast<uint32_t>(list.size()), list.data(), nullptr),
                       at, "union", n, id);
            }
            for (auto &action : *nested) action();
        });
        return s;
    }

    // Defines the type; with `asType`, the text goes on with declarators instead of ';'
    // (a member or typedef of this type), and `givenName` names a type written without one.
    Symbol *enumeration(Scope *scope, const Annotations &a, bool asType = false,
                        const std::string &givenName = "") {
        TypeHead head = parseTypeHead(tokens_, nesting_, !givenName.empty());
        std::string n = nameOf(head, a, givenName);
        const Location at = head.at;
        std::string id = makeId(scope, n, a);
        Symbol *s = declare(scope, n, id, KIV_DEF_ENUM, at, a.id.has_value());
        if (!s) throw ParseError{};
        expect("{", "after the enumeration name");
        auto members = std::make_shared<std::vector<std::pair<std::string, uint32_t>>>();
        uint64_t next = 0;
        Enumerators enumerators = parseEnumerators(tokens_, nesting_);
        for (const Enumerator &e : enumerators.list) {
            if (!e.named) syntaxError(*enumerators.error);
            const std::string &mn = e.name;
            const Location mat = e.at;
            uint64_t value = next;
            if (e.value) {
                Val v = valueOf(*e.value, scope);
                kivTLibValue out{};
                if (convert(v, KIV_TYPE_ULONG, "", "an enumerator value (unsigned long)", &out,
                            nullptr))
                    value = out.u32;
            } else if (next > 0xFFFFFFFFu) {
                error(mat, "enumerator " + quoted(mn) + " would have the value 4294967296");
            }
            members->emplace_back(mn, static_cast<uint32_t>(value));
            next = value + 1;
            declareEnumerator(scope, mn, id, static_cast<uint32_t>(value), mat);
        }
        expect("}", "to close enumeration " + quoted(n));
        if (!asType) expect(";", "after the enumeration's '}'");
        if (members->empty())
            error(at, "enumeration " + quoted(n) + " needs at least one enumerator");
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        run([this, n, id, scopeId, flags, members, at] {
            ensureRootFor(scopeId);
            if (existing(id, KIV_DEF_ENUM, n, scopeId, flags, at, [&](const kivTLibDef *d) {
                    auto &r = *reinterpret_cast<const kivTLibEnumDef *>(d);
                    if (r.memberCount != members->size() || !r.members) return false;
                    for (size_t i = 0; i < members->size(); ++i)
                        if (!sameName(r.members[i].name, (*members)[i].first) ||
                            r.members[i].value != (*members)[i].second)
                            return false;
                    return true;
                }))
                return;
            std::vector<kivTLibEnumMember> list;
            for (auto &[mn, value] : *members) list.push_back({mn.c_str(), value});
            create(kivTLibCreateEnum(tlib_, n.c_str(), id.c_str(), scopeId.c_str(), flags,
                                     static_cast<uint32_t>(list.size()), list.data(), nullptr),
                   at, "enum", n, id);
        });
        return s;
    }

    void constant(Scope *scope, const Annotations &a) {
        ConstDecl d = parseConstant(tokens_, nesting_);
        try {
            defineConstant(scope, a, d);
        } catch (const ParseError &) {
            if (!d.complete) throw;  // skip the rest from where reading stopped
            refusing_ = false;       // read to its end: nothing is left to skip
        }
    }

    void defineConstant(Scope *scope, const Annotations &a, const ConstDecl &d) {
        if (scope->kind != KIV_DEF_MODULE && scope->kind != KIV_DEF_INTERFACE) {
            error(d.keyword, "a constant can only be defined in a module or an interface");
            throw ParseError{};
        }
        checkFlags(a);
        if (a.forward) error(a.at, "@forward applies to interfaces");
        TypePtr type;
        try {
            type = resolveType(*d.type, scope, false);
        } catch (const ParseError &) {
            if (refusing_) leaveOut(d.declared);
            throw;
        }
        if (!d.value) syntaxError(*d.error);
        Val v = valueOf(*d.value, scope);
        if (d.error) syntaxError(*d.error);
        const std::string &n = d.name;
        const Location at = d.nameAt;
        auto holder = std::make_shared<std::string>();
        kivTLibValue value{};
        type = throughAliases(type);
        if (type->tag == KIV_TYPE_STRUCT || type->tag == KIV_TYPE_UNION ||
            type->tag == KIV_TYPE_SEQUENCE || type->tag == KIV_TYPE_ARRAY ||
            type->tag == KIV_TYPE_INTERFACE) {
            error(type->at, "a constant has a basic, string, decimal or enumeration type");
            return;
        }
        std::string typeName = "the constant's type";
        if (!convert(v, type->tag, type->repoId, typeName, &value, holder.get())) return;
        if (type->tag == KIV_TYPE_STRING && type->anonymous && type->bound &&
            holder->size() > type->bound)
            error(v.at, "the string has " + std::to_string(holder->size()) +
                            " bytes; its type allows " + std::to_string(type->bound));
        std::string id = makeId(scope, n, a);
        Symbol *s = declare(scope, n, id, KIV_DEF_CONSTANT, at, a.id.has_value());
        if (!s) return;
        s->constTag = type->tag;
        s->constTypeId = type->repoId;
        s->constValue = value;
        s->constText = *holder;
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        run([this, n, id, scopeId, flags, type, value, holder, at] {
            kivTLibValue v = value;
            if (v.tag == KIV_TYPE_STRING || v.tag == KIV_TYPE_WSTRING) v.str = holder->c_str();
            ensureRootFor(scopeId);
            if (existing(id, KIV_DEF_CONSTANT, n, scopeId, flags, at, [&](const kivTLibDef *d) {
                    auto &r = *reinterpret_cast<const kivTLibConstantDef *>(d);
                    return sameType(*type, r.type, 0) && sameValue(v, *holder, r.value);
                }))
                return;
            kivTLibTypeRef t = ref(*type);
            create(kivTLibCreateConstant(tlib_, n.c_str(), id.c_str(), scopeId.c_str(), flags, &t,
                                         &v, nullptr),
                   at, "constant", n, id);
        });
    }

    void alias(Scope *scope, const Annotations &a) {
        Token kw = take();
        if (scope->kind != KIV_DEF_MODULE && scope->kind != KIV_DEF_INTERFACE)
            fail(kw, "a typedef can only be defined in a module or an interface");
        checkFlags(a);
        if (a.forward) error(a.at, "@forward applies to interfaces");
        if (a.id && peek(2).is(","))
            error(a.at, "@id names one definition; give the typedef one declarator");
        TypePtr base;
        Declarators declarators;
        // `typedef struct S {...} T;` defines S too. A type without a name of its own, or
        // with the typedef's name (`typedef struct {...} T;`), is named T and needs no alias.
        std::string definedAs;
        if (const Token &t = peek(); isConstructed(t)) {
            Location typeAt = t.at;
            bool unnamed = peek(1).is("{") || peek(1).isWord("switch");
            std::string declarator = declaratorAfterBody();
            if (unnamed || (peek(1).kind == Tok::Ident && peek(1).text == declarator))
                definedAs = declarator;
            Symbol *defined = constructed(scope, definedAs.empty() ? Annotations{} : a, true,
                                          unnamed ? definedAs : "");
            if (!defined) throw ParseError{};
            base = typeOf(*defined, typeAt);
            declarators = parseDeclarators(tokens_, nesting_, "a typedef name", true);
        } else {
            TypeExprPtr type = parseType(tokens_, nesting_);
            if (endsInError(*type)) resolveType(*type, scope, false);  // reports and throws
            declarators = parseDeclarators(tokens_, nesting_, "a typedef name", true);
            try {
                base = resolveType(*type, scope, false);
            } catch (const ParseError &) {
                if (refusing_) leaveOut(declarators.declared);
                if (!declarators.complete) throw;  // skip the rest from where reading stopped
                refusing_ = false;
                return;
            }
        }
        try {
            defineAliases(scope, a, base, definedAs, declarators);
        } catch (const ParseError &) {
            if (!declarators.complete) throw;
            refusing_ = false;
        }
    }

    // A type and the declarators after it, both read before the type is resolved: an unknown
    // or refused type leaves the names they declare out quietly.
    std::pair<TypePtr, Declarators> typedDeclarators(Scope *scope, const char *what) {
        TypeExprPtr type = parseType(tokens_, nesting_);
        if (endsInError(*type)) resolveType(*type, scope, false);  // reports and throws
        Declarators d = parseDeclarators(tokens_, nesting_, what, false);
        try {
            return {resolveType(*type, scope, false), std::move(d)};
        } catch (const ParseError &) {
            if (refusing_) leaveOut(d.declared);
            throw;  // the skip goes on from the end of the declarators
        }
    }

    // Gives each declarator read in full its type (`type` or arrays of it), in order, then
    // reports where reading stopped, if it did.
    void forEachDeclarator(const std::pair<TypePtr, Declarators> &declared, Scope *scope,
                           const std::function<void(const Declarator &, TypePtr)> &take) {
        const auto &[type, declarators] = declared;
        for (const Declarator &x : declarators.list) {
            if (!x.named) break;
            TypePtr full = arrayOf(type, x.lengths, scope);
            if (!x.done) break;
            take(x, full);
        }
        if (declarators.error) syntaxError(*declarators.error);
    }

    // The typedefs that `declarators` define as `base` (or its arrays); a declarator named
    // `definedAs` first names the type defined in the typedef itself.
    void defineAliases(Scope *scope, const Annotations &a, const TypePtr &base,
                       const std::string &definedAs, const Declarators &declarators) {
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        bool first = true;
        for (const Declarator &x : declarators.list) {
            if (!x.named) break;
            TypePtr type = arrayOf(base, x.lengths, scope);
            if (!x.done) break;
            const std::string &n = x.name;
            const Location at = x.at;
            if (first && !definedAs.empty() && n == definedAs) {
                first = false;
                if (type != base) error(at, "a type defined in a typedef takes no array length");
                continue;
            }
            first = false;
            std::string id = makeId(scope, n, a);
            Symbol *declared = declare(scope, n, id, KIV_DEF_ALIAS, at, a.id.has_value());
            if (!declared) continue;
            declared->aliasType = type;
            run([this, n, id, scopeId, flags, type, at] {
                ensureRootFor(scopeId);
                if (existing(id, KIV_DEF_ALIAS, n, scopeId, flags, at, [&](const kivTLibDef *d) {
                        return sameType(*type, reinterpret_cast<const kivTLibAliasDef *>(d)->type,
                                        0);
                    }))
                    return;
                kivTLibTypeRef t = ref(*type);
                create(kivTLibCreateAlias(tlib_, n.c_str(), id.c_str(), scopeId.c_str(), flags, &t,
                                          nullptr),
                       at, "typedef", n, id);
            });
        }
        if (declarators.error) syntaxError(*declarators.error);
    }

    // `type` with array lengths: `x[2][3]` is an array of 2 arrays of 3.
    TypePtr arrayOf(TypePtr type, const ArrayLengths &lengths, Scope *scope) {
        std::vector<std::pair<uint32_t, Location>> values;
        for (auto &[length, at] : lengths) {
            uint32_t value = unsignedOf(*length, scope, "the array length");
            if (value == 0) error(at, "an array has at least one element");
            values.emplace_back(value, at);
        }
        for (auto it = values.rbegin(); it != values.rend(); ++it)
            type = anonymousType(KIV_DEF_ARRAY, it->first, type, it->second);
        return type;
    }

    // The first name after the body that starts at the next '{' (the type's declarator in
    // `typedef struct {...} NAME;`); empty when there is none.
    std::string declaratorAfterBody() {
        size_t depth = 0;
        for (size_t ahead = 1;; ++ahead) {
            const Token &t = peek(ahead);
            if (t.kind == Tok::End) return "";
            if (t.is("{")) {
                ++depth;
            } else if (t.is("}") && depth > 0 && --depth == 0) {
                const Token &after = peek(ahead + 1);
                return after.kind == Tok::Ident || after.kind == Tok::RawIdent ? after.text : "";
            }
        }
    }

    // anonymous "ID" TYPE [DIMS];  an anonymous type with a given id.
    void anonymous(const Annotations &a) {
        AnonymousDecl d = parseAnonymous(tokens_, nesting_);
        checkFlags(a);
        if (a.id || a.version || a.forward) error(a.at, "only @flags applies to an anonymous type");
        TypePtr type;
        try {
            try {
                type = resolveType(*d.type, current_, false);
            } catch (const ParseError &) {
                if (refusing_) leaveOut(d.declared);
                throw;
            }
            type = arrayOf(type, d.lengths, current_);
            if (d.error) syntaxError(*d.error);
        } catch (const ParseError &) {
            if (!d.complete) throw;  // skip the rest from where reading stopped
            refusing_ = false;       // read to its end: nothing is left to skip
            return;
        }
        if (!type->anonymous || !type->repoId.empty()) {
            error(d.at, "an anonymous type is string<N>, wstring<N>, a sequence or an array");
            throw ParseError{};
        }
        const std::string &id = d.id;
        auto taken = byId_.find(id);
        if (anonymousHere_.count(id) || (taken != byId_.end() && taken->second->library.empty())) {
            error(d.at, "repository id \"" + id + "\" is already used");
            return;
        }
        anonymousHere_.insert(id);
        uint32_t flags = a.flags.value_or(0);
        Location at = d.at;
        run([this, type, id, flags, at] { createAnonymous(*type, id, flags, at); });
    }

    // ---- Types ----

    // The type that a typedef names, through any number of typedefs: what the library stores
    // for a constant or a discriminator, which cannot refer to a typedef.
    TypePtr throughAliases(TypePtr type) {
        for (size_t hops = 0; type->tag == KIV_TYPE_ALIAS && hops < kMaxNesting; ++hops) {
            auto s = byId_.find(type->repoId);
            if (s != byId_.end() && s->second->aliasType) {
                type = s->second->aliasType;
                continue;
            }
            const kivTLibDef *d = findDefinition(type->repoId);
            if (!d || d->kind != KIV_DEF_ALIAS) break;
            auto &alias = *reinterpret_cast<const kivTLibAliasDef *>(d);
            Location at = type->at;
            type = basicType(alias.type.tag, at);
            if (alias.type.repoId) type->repoId = alias.type.repoId;
        }
        return type;
    }

    // A definition of the library being built or of an imported one.
    const kivTLibDef *findDefinition(const std::string &id) {
        kivTLibDef *d = nullptr;
        if (kivTLibGetDefinition(tlib_, id.c_str(), &d) == 0) return d;
        for (kivTLib *t : imports_)
            if (kivTLibGetDefinition(t, id.c_str(), &d) == 0) return d;
        return nullptr;
    }

    SourceSet sources_;
    Diagnostics diags_;
    Preprocessor pp_;
    const CompileOptions &options_;
    TokenStream tokens_;
    std::vector<kivTLib *> imports_;
    Scope *current_ = nullptr;
    std::unordered_set<std::string> complete_;  // interfaces given with a body in this compile
    std::unordered_set<std::string> anonymousHere_;
    RepositoryIds repoIds_;
    std::string prefix_;
    std::vector<std::function<void()>> *deferred_ = nullptr;
    size_t nesting_ = 0;
    size_t warnings_ = 0;
    size_t unshownWarnings_ = 0;
};

}  // namespace

CompileResult compileInto(kivTLib *tlib, const std::string &libraryName, uint32_t nextLocalId,
                          const std::vector<Input> &inputs, const CompileOptions &options,
                          FileReader reader) {
    Compiler compiler(tlib, libraryName, nextLocalId, options, std::move(reader));
    return compiler.run(inputs);
}

}  // namespace kivtool::idl
