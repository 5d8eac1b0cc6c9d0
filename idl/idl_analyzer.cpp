// SPDX-License-Identifier: Apache-2.0
// The checker pass of the IDL compiler: the syntax tree of each file (idl_definitions) walked
// in the order of the text. Names are declared and looked up in their scopes, types and values
// resolved (idl_resolver), declarations checked against each other (idl_checker), and each
// definition's creating call planned; the emitter pass then makes those calls (idl_emitter),
// the definitions of an interface or a structure after the one that contains them.
#include "idl_analyzer.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
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

}  // namespace

class Analyzer : private Emitter, private Resolver {
  public:
    Analyzer(kivTLib *tlib, const std::string &libraryName, uint32_t nextLocalId,
             const CompileOptions &options, Diagnostics &diags)
        : Emitter(tlib, libraryName, nextLocalId), diags_(diags), options_(options) {
        attach(diags_);
        attachNames(diags_, libraryName);
        attachLibrary(tlib);
    }

    ~Analyzer() override {
        for (kivTLib *t : imports_) kivTLibClose(t);
    }

    void check(const std::vector<Decl> &file) {
        std::vector<std::string> path;
        takeNamingPragmas(file, path);
        for (const Decl &d : file) attempt(d, [&] { definition(root_, d); });
    }

    void emit() {
        for (auto &action : plan_) action();
        plan_.clear();
        if (diags_.errors() == 0) ensureRoot();
    }

    CompileResult finish() {
        if (unshownWarnings_)
            diags_.warning(Location{}, std::to_string(unshownWarnings_) +
                                           " more warnings like these not shown");
        CompileResult result;
        result.errors = diags_.errors();
        result.changed = changed_;
        result.diagnostics = diags_.text();
        return result;
    }

    // ---- Setup: what the library and the imported libraries already define ----

    // What the library and the imported libraries define already.
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

  private:
    // `#pragma version` and `#pragma ID` may follow the definition they name: those of a
    // whole file are taken first, each with the names of the scopes it stands in (`path`).
    void takeNamingPragmas(const std::vector<Decl> &body, std::vector<std::string> &path) {
        for (const Decl &d : body) {
            if (d.kind == Decl::Pragma && (d.pragma.text == "version" || d.pragma.text == "ID")) {
                repoIds_.take(path, d.pragma);
            } else if ((d.kind == Decl::Module || d.kind == Decl::Interface) &&
                       d.scope->head.named) {
                path.push_back(d.scope->head.name);
                takeNamingPragmas(d.scope->body, path);
                path.pop_back();
            }
        }
    }

    void error(Location at, const std::string &message) override {
        diags_.error(at, message);
        if (diags_.full()) throw Abort{};
    }

    // The names that `declared` holds after token number `after` are left out quietly.
    void leaveOut(const DeclaredNames &declared, size_t after = 0) {
        for (auto &[number, name] : declared)
            if (number > after) refused_.insert(name);
    }

    // Checks one declaration; false when it failed. After a refusal or an unknown type, the
    // names that the skip over the rest of it took are left out with it.
    template <class Check>
    bool attempt(const Decl &d, Check &&check) {
        try {
            check();
            return true;
        } catch (const ParseError &) {
            if (std::exchange(refusing_, false))
                refused_.insert(d.skipped.begin(), d.skipped.end());
            return false;
        }
    }

    // A declaration that could not be read.
    [[noreturn]] void broken(const Decl &d) {
        if (d.error) syntaxError(*d.error);
        throw ParseError{};
    }

    // ---- Definitions ----

    void definitions(Scope *scope, const std::vector<Decl> &body) {
        for (const Decl &d : body) attempt(d, [&] { definition(scope, d); });
    }

    // A creating call for the emitter pass.
    void run(std::function<void()> action) { deferred_->push_back(std::move(action)); }

    using Plan = std::vector<std::function<void()>>;

    // Until closed, creating calls go to a plan of their own, to run after the definition
    // that contains them.
    class NestedPlan {
      public:
        explicit NestedPlan(Analyzer &a)
            : analyzer_(a), plan_(std::make_shared<Plan>()), saved_(a.deferred_) {
            a.deferred_ = plan_.get();
        }
        ~NestedPlan() { close(); }
        NestedPlan(const NestedPlan &) = delete;
        NestedPlan &operator=(const NestedPlan &) = delete;
        std::shared_ptr<Plan> close() {
            if (saved_) analyzer_.deferred_ = std::exchange(saved_, nullptr);
            return plan_;
        }

      private:
        Analyzer &analyzer_;
        std::shared_ptr<Plan> plan_;
        Plan *saved_;  // null once closed
    };

    // The end of a structure's or union's body: the enclosing scope again, the check that
    // the type does not hold itself, and where reading stopped after the body.
    void closeBody(Scope *scope, const std::string &id, const std::string &n,
                   const ConstructedDecl &c) {
        current_ = scope;
        checkNotContained(id, n);
        if (c.close) syntaxError(*c.close);
        if (c.end) syntaxError(*c.end);
    }

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

    void definition(Scope *scope, const Decl &d) {
        current_ = scope;
        if (d.kind == Decl::Stray) return error(d.at, "unexpected '}' with no open scope");
        Annotations a = annotationsOf(d.annotations);
        switch (d.kind) {
            case Decl::Pragma:
                noAnnotations(a, "#pragma");
                return pragma(d.pragma);
            case Decl::Empty:
                return;
            case Decl::Module:
                return module(scope, a, *d.scope);
            case Decl::Interface:
                return interface(scope, a, *d.scope);
            case Decl::Constructed:
                constructed(scope, a, *d.constructed);
                return;
            case Decl::Constant:
                return defineConstant(scope, a, *d.constant);
            case Decl::Typedef:
                return alias(scope, a, d);
            case Decl::Anonymous:
                return anonymous(a, *d.anonymous);
            case Decl::Exception:
                return skipException(*d.exception);
            case Decl::Refused:
                // Later uses of what is refused here would only repeat the refusal.
                if (!d.refusedName.empty()) refused_.insert(d.refusedName);
                refuse(d.at, d.refusedWord, unsupported(d.refusedWord));
            default:
                broken(d);
        }
    }

    void pragma(const Token &t) {
        Pragma p = readPragma(t);
        switch (p.kind) {
            case Pragma::Prefix:
                prefix_ = p.text;
                break;
            case Pragma::Naming:  // taken before the file was checked
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

    void checkFlags(const Annotations &a) {
        if (a.flags && (*a.flags & ~kCallerFlags)) {
            char text[64];
            std::snprintf(text, sizeof text, "0x%08" PRIx32, *a.flags);
            error(a.flagsAt, std::string("definition flags use bits 16 to 31 (0xffff0000); ") +
                                 text + " sets others");
        }
    }

    void module(Scope *scope, const Annotations &a, const ScopeDecl &m) {
        const ScopeHead &h = m.head;
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
            run([this, head = DefinitionHead{n, id, scopeId, 0, at}] { createModule(head); });
        }
        if (m.open) syntaxError(*m.open);
        std::string savedPrefix = prefix_;
        definitions(s->inner, m.body);
        prefix_ = savedPrefix;
        current_ = scope;
        if (m.close) syntaxError(*m.close);
        if (m.end) syntaxError(*m.end);
    }

    void interface(Scope *scope, const Annotations &a, const ScopeDecl &body) {
        const ScopeHead &h = body.head;
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
            if (!known) {
                s = declare(scope, n, id, KIV_DEF_INTERFACE, at, a.id.has_value());
                if (!s) return;
                s->inner = newScope(scope, s, id, KIV_DEF_INTERFACE);
            }
            run([this, head = DefinitionHead{n, id, scopeId, flags, at}] {
                createInterfaceFwd(head);
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
        if (body.open) syntaxError(*body.open);
        auto members = std::make_shared<std::vector<MemberSpec>>();
        NestedPlan plan(*this);
        std::string savedPrefix = prefix_;
        for (const Decl &d : body.body)
            attempt(d, [&] { exportDeclaration(s->inner, d, *members); });
        std::shared_ptr<Plan> nested = plan.close();
        prefix_ = savedPrefix;
        current_ = scope;
        if (body.close) syntaxError(*body.close);
        if (body.end) syntaxError(*body.end);
        if (a.forward && !members->empty())
            error(members->front().at, "a @forward interface has no members");
        if (!a.forward) checkTable(n, id, baseId, *members);
        bool forward = a.forward;
        run([this, head = DefinitionHead{n, id, scopeId, flags, at}, baseId, members, nested,
             forward] {
            if (forward)
                createInterfaceFwd(head);
            else
                createInterface(head.name, head.id, head.scopeId, head.flags, baseId, *members,
                                head.at);
            for (auto &action : *nested) action();
        });
    }

    void exportDeclaration(Scope *scope, const Decl &d, std::vector<MemberSpec> &members) {
        current_ = scope;
        Annotations a = annotationsOf(d.annotations);
        switch (d.kind) {
            case Decl::Pragma:
                return pragma(d.pragma);
            case Decl::Empty:
                return;
            case Decl::Constructed:
                constructed(scope, a, *d.constructed);
                return;
            case Decl::Typedef:
                return alias(scope, a, d);
            case Decl::Constant:
                return defineConstant(scope, a, *d.constant);
            case Decl::Exception:
                return skipException(*d.exception);
            case Decl::Attribute:
            case Decl::Operation:
                break;
            default:
                broken(d);
        }
        if (a.id || a.version || a.forward)
            error(a.at, "only @flags applies to attributes and operations");
        uint32_t flags = a.flags.value_or(0);
        if (d.kind == Decl::Attribute) return attribute(scope, d, flags, members);
        operation(scope, d, flags, members);
    }

    void attribute(Scope *scope, const Decl &d, uint32_t flags, std::vector<MemberSpec> &members) {
        if (!d.type) syntaxError(*d.error);  // 'readonly' without 'attribute'
        TypePtr type = typed(*d.type, d.declarators.declared, scope);
        forEachDeclarator(type, d.declarators, scope, [&](const Declarator &x, TypePtr full) {
            members.push_back({KIV_MEMBER_ATTRIBUTE,
                               x.name,
                               flags | (d.readonly ? KIV_MEMBER_READONLY : 0u),
                               full,
                               {},
                               x.at});
        });
        raisesClauses(d);
        if (d.error) syntaxError(*d.error);
    }

    void operation(Scope *scope, const Decl &od, uint32_t flags, std::vector<MemberSpec> &members) {
        if (od.oneway)
            warn(*od.oneway, "'oneway' left out: " + std::string(unsupported("oneway")) +
                                 "; the operation is an ordinary one");
        const OperationDecl &d = *od.operation;
        MemberSpec m{KIV_MEMBER_OPERATION,
                     d.name,
                     flags,
                     typed(*d.result, d.declared, scope, d.resultEnd, true),
                     {},
                     d.at};
        if (!d.named) syntaxError(*d.error);
        for (const ParamDecl &p : d.params) {
            Annotations pa = annotationsOf(p.annotations);
            if (pa.any()) error(pa.at, "parameters take no annotations");
            if (!p.direction) syntaxError(*d.error);
            TypePtr type = typed(*p.type, d.declared, scope, p.typeEnd);
            const Declarator &x = p.declarator;
            if (!x.named) syntaxError(*d.error);
            type = arrayOf(type, x.lengths, scope);
            if (!x.done) syntaxError(*d.error);
            if (m.params.size() == 255) error(x.at, "an operation takes at most 255 parameters");
            m.params.push_back({x.name, type, p.direction, x.at});
        }
        if (d.error) syntaxError(*d.error);
        if (!d.complete) throw ParseError{};
        checkParameters(m);
        raisesClauses(od);
        if (od.context) refuse(*od.context, "context", unsupported("context"));
        if (od.error) syntaxError(*od.error);
        members.push_back(std::move(m));
    }

    // `raises`, `getraises` and `setraises` clauses: refused, or left out with a warning.
    void raisesClauses(const Decl &d) {
        for (const RaisesClause &c : d.raises) {
            const Token &word = c.word;
            if (!options_.skipUnstorable) refuse(word.at, word.text, unsupported(word.text));
            if (c.error) syntaxError(*c.error);
            warn(word.at, quoted(word.text) + " clause left out: " + unsupported(word.text));
        }
    }

    // exception NAME { ... };  left out with a warning.
    void skipException(const SkippedException &d) {
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

    // Defines a structure, union or enumeration; its symbol.
    Symbol *constructed(Scope *scope, const Annotations &a, const ConstructedDecl &c) {
        switch (c.which) {
            case ConstructedDecl::Struct:
                return structure(scope, a, c);
            case ConstructedDecl::Union:
                return unionDefinition(scope, a, c);
            case ConstructedDecl::Enum:
                break;
        }
        return enumeration(scope, a, c);
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

    // The head of a structure or union definition: its name (the typedef's for one written
    // without), its repository id, and the scope of its members.
    struct Aggregate {
        Symbol *symbol;
        std::string name;
        std::string id;
        Location at;
    };
    Aggregate openAggregate(Scope *scope, const Annotations &a, uint32_t kind,
                            const ConstructedDecl &c) {
        std::string n = nameOf(c.head, a, c.givenName);
        std::string id = makeId(scope, n, a);
        Symbol *s = declare(scope, n, id, kind, c.head.at, a.id.has_value());
        if (!s) throw ParseError{};
        s->inner = newScope(scope, s, id, kind);
        return {s, n, id, c.head.at};
    }

    Symbol *structure(Scope *scope, const Annotations &a, const ConstructedDecl &c) {
        Aggregate head = openAggregate(scope, a, KIV_DEF_STRUCT, c);
        Symbol *s = head.symbol;
        const std::string n = head.name, id = head.id;
        const Location at = head.at;
        if (c.open) syntaxError(*c.open);
        auto members = std::make_shared<std::vector<MemberOfStruct>>();
        bool damaged = false;  // a member was refused: no follow-on errors
        NestedPlan plan(*this);
        for (const Decl &d : c.body)
            damaged |= !attempt(d, [&] {
                current_ = s->inner;
                Annotations ma = annotationsOf(d.annotations);
                if (d.kind != Decl::Member) broken(d);
                TypePtr type;
                if (d.constructed) {
                    // A nested definition, or one with member declarators after it.
                    Symbol *defined = constructed(s->inner, ma, *d.constructed);
                    if (d.definesOnly) return;
                    if (!defined) throw ParseError{};
                    type = typeOf(*defined, d.constructed->keyword);
                } else {
                    if (ma.any()) error(ma.at, "structure members take no annotations");
                    type = typed(*d.type, d.declarators.declared, s->inner);
                }
                forEachDeclarator(type, d.declarators, s->inner,
                                  [&](const Declarator &x, TypePtr full) {
                                      holdsByValue(id, *full, x.at, x.name);
                                      members->push_back({x.name, x.at, full});
                                  });
                if (d.error) syntaxError(*d.error);
            });
        std::shared_ptr<Plan> nested = plan.close();
        closeBody(scope, id, n, c);
        if (damaged) return s;
        if (members->empty()) error(at, "structure " + quoted(n) + " needs at least one member");
        std::vector<Named> memberNames;
        for (const MemberOfStruct &m : *members) memberNames.push_back({m.name, m.at});
        reportClashes(memberNames, "member", "structure " + quoted(n));
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        run([this, head = DefinitionHead{n, id, scopeId, flags, at}, members, nested] {
            createStruct(head, *members);
            for (auto &action : *nested) action();
        });
        return s;
    }

    Symbol *unionDefinition(Scope *scope, const Annotations &a, const ConstructedDecl &u) {
        Aggregate head = openAggregate(scope, a, KIV_DEF_UNION, u);
        Symbol *s = head.symbol;
        const std::string n = head.name, id = head.id;
        const Location at = head.at;
        const TypeHead &h = u.head;
        if (!h.switched || !h.discriminator) syntaxError(*h.error);
        TypePtr discriminator = throughAliases(resolveType(*h.discriminator, scope, false));
        static const uint32_t allowed = 0x80FD4;
        if (discriminator->tag >= 20 || !(allowed >> discriminator->tag & 1))
            error(discriminator->at,
                  "a union discriminator is boolean, char, an integer type or "
                  "an enumeration");
        if (h.error) syntaxError(*h.error);
        if (u.open) syntaxError(*u.open);
        auto cases = std::make_shared<std::vector<CaseSpec>>();
        bool damaged = false;  // a case was refused: no follow-on errors
        std::vector<Named> caseNames, labelKeys;
        std::vector<TypePtr> caseTypes;
        NestedPlan plan(*this);
        for (const Decl &d : u.body)
            damaged |= !attempt(d, [&] {
                current_ = s->inner;
                Annotations ma = annotationsOf(d.annotations);
                if (d.kind == Decl::Constructed) {
                    constructed(s->inner, ma, *d.constructed);
                    return;
                }
                if (d.kind != Decl::Case) broken(d);
                if (ma.any()) error(ma.at, "union cases take no annotations");
                const UnionCase &c = *d.unionCase;
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
                TypePtr type = typed(*c.type, c.declared, s->inner, c.typeEnd);
                const Declarator &x = c.declarator;
                if (!x.named) syntaxError(*c.error);
                type = arrayOf(type, x.lengths, s->inner);
                if (!x.done) syntaxError(*c.error);
                const std::string &cn = x.name;
                const Location cat = x.at;
                holdsByValue(id, *type, cat, cn);
                if (d.error) syntaxError(*d.error);
                // A case with several labels prints as one declaration per label.
                bool repeatsPrevious = !caseNames.empty() && caseNames.back().name == cn &&
                                       sameSpec(*caseTypes.back(), *type);
                if (!repeatsPrevious) {
                    caseNames.push_back({cn, cat});
                    caseTypes.push_back(type);
                }
                for (auto &[label, lat] : labels) cases->push_back({cn, type, label, lat});
            });
        std::shared_ptr<Plan> nested = plan.close();
        closeBody(scope, id, n, u);
        if (damaged) return s;
        if (cases->empty()) error(at, "union " + quoted(n) + " needs at least one case");
        reportClashes(caseNames, "member", "union " + quoted(n));
        for (const Clash &c : findClashes(labelKeys)) {
            error(labelKeys[c.later].at, "duplicate case label in union " + quoted(n));
            diags_.note(labelKeys[c.first].at, "the same label is used here");
        }
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        run([this, head = DefinitionHead{n, id, scopeId, flags, at}, discriminator, cases, nested] {
            createUnion(head, *discriminator, *cases);
            for (auto &action : *nested) action();
        });
        return s;
    }

    Symbol *enumeration(Scope *scope, const Annotations &a, const ConstructedDecl &c) {
        std::string n = nameOf(c.head, a, c.givenName);
        const Location at = c.head.at;
        std::string id = makeId(scope, n, a);
        Symbol *s = declare(scope, n, id, KIV_DEF_ENUM, at, a.id.has_value());
        if (!s) throw ParseError{};
        if (c.open) syntaxError(*c.open);
        auto members = std::make_shared<std::vector<std::pair<std::string, uint32_t>>>();
        uint64_t next = 0;
        const Enumerators &enumerators = c.enumerators;
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
        if (c.close) syntaxError(*c.close);
        if (c.end) syntaxError(*c.end);
        if (members->empty())
            error(at, "enumeration " + quoted(n) + " needs at least one enumerator");
        std::string scopeId = scope->repoId;
        uint32_t flags = a.flags.value_or(0);
        run([this, head = DefinitionHead{n, id, scopeId, flags, at}, members] {
            createEnum(head, *members);
        });
        return s;
    }

    // Constants and typedefs stand in modules and interfaces only: the parser reads them
    // nowhere else.
    void defineConstant(Scope *scope, const Annotations &a, const ConstDecl &d) {
        checkFlags(a);
        if (a.forward) error(a.at, "@forward applies to interfaces");
        TypePtr type = typed(*d.type, d.declared, scope);
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
        run([this, head = DefinitionHead{n, id, scopeId, flags, at}, type, value, holder] {
            createConstant(head, *type, value, *holder);
        });
    }

    void alias(Scope *scope, const Annotations &a, const Decl &d) {
        checkFlags(a);
        if (a.forward) error(a.at, "@forward applies to interfaces");
        if (a.id && d.declarators.list.size() > 1)
            error(a.at, "@id names one definition; give the typedef one declarator");
        TypePtr base;
        if (d.constructed) {
            // `typedef struct S {...} T;` defines S too; the annotations name the type only
            // when the typedef names it (`typedef struct {...} T;`).
            Symbol *defined =
                constructed(scope, d.definedAs.empty() ? Annotations{} : a, *d.constructed);
            if (!defined) throw ParseError{};
            base = typeOf(*defined, d.constructed->keyword);
        } else {
            base = typed(*d.type, d.declarators.declared, scope);
        }
        defineAliases(scope, a, base, d.definedAs, d.declarators);
    }

    // The type of a declaration (`void` only for an operation's result): when it is unknown
    // or refused, the names that the declaration declares after token number `after` are
    // left out quietly.
    TypePtr typed(const TypeExpr &type, const DeclaredNames &declared, Scope *scope,
                  size_t after = 0, bool allowVoid = false) {
        try {
            return resolveType(type, scope, allowVoid);
        } catch (const ParseError &) {
            if (refusing_) leaveOut(declared, after);
            throw;
        }
    }

    // Gives each declarator read in full its type (`type` or arrays of it), in order, then
    // reports where reading stopped, if it did.
    void forEachDeclarator(const TypePtr &type, const Declarators &declarators, Scope *scope,
                           const std::function<void(const Declarator &, TypePtr)> &take) {
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
            run([this, head = DefinitionHead{n, id, scopeId, flags, at}, type] {
                createAlias(head, *type);
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

    // anonymous "ID" TYPE [DIMS];  an anonymous type with a given id.
    void anonymous(const Annotations &a, const AnonymousDecl &d) {
        checkFlags(a);
        if (a.id || a.version || a.forward) error(a.at, "only @flags applies to an anonymous type");
        TypePtr type = arrayOf(typed(*d.type, d.declared, current_), d.lengths, current_);
        if (d.error) syntaxError(*d.error);
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

    Diagnostics &diags_;
    const CompileOptions &options_;
    std::vector<kivTLib *> imports_;
    Scope *current_ = nullptr;
    std::unordered_set<std::string> complete_;  // interfaces given with a body in this compile
    std::unordered_set<std::string> anonymousHere_;
    RepositoryIds repoIds_;
    std::string prefix_;
    // The creating calls in the order of the text, for the emitter pass; those of what an
    // interface or a structure contains go after its own.
    Plan plan_;
    Plan *deferred_ = &plan_;
    size_t warnings_ = 0;
    size_t unshownWarnings_ = 0;
};

Analysis::Analysis(kivTLib *tlib, const std::string &libraryName, uint32_t nextLocalId,
                   const CompileOptions &options, Diagnostics &diags)
    : analyzer_(std::make_unique<Analyzer>(tlib, libraryName, nextLocalId, options, diags)) {}
Analysis::~Analysis() = default;
void Analysis::start() {
    analyzer_->start();
}
void Analysis::check(const std::vector<Decl> &file) {
    analyzer_->check(file);
}
void Analysis::emit() {
    analyzer_->emit();
}
CompileResult Analysis::finish() {
    return analyzer_->finish();
}

}  // namespace kivtool::idl
