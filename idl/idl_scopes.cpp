// SPDX-License-Identifier: Apache-2.0
// The names of a compile: scopes, symbols and their lookup.
#include "idl_scopes.h"

#include "idl_checks.h"
#include "idl_text.h"
#include "tlib_library.h"

namespace kivtool::idl {

std::string joined(const std::vector<std::string> &parts, const char *separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
    return out;
}

Scope *Scopes::newScope(Scope *parent, Symbol *self, const std::string &id, kivTLibDefKind kind) {
    Scope &s = scopes_.emplace_back();
    s.parent = parent;
    s.self = self;
    s.repoId = id;
    s.kind = kind;
    if (parent) {
        s.path = parent->path;
        s.path.push_back(self->name);
    }
    return &s;
}

Symbol *Scopes::newSymbol(const std::string &name, const std::string &id, kivTLibDefKind kind,
                          Location at, const std::string &library) {
    Symbol &s = symbols_.emplace_back();
    s.name = name;
    s.repoId = id;
    s.kind = kind;
    s.at = at;
    s.library = library;
    return &s;
}

Symbol *Scopes::find(Scope *scope, const std::string &name) {
    auto it = scope->names.find(name);
    return it == scope->names.end() ? nullptr : it->second;
}

void Scopes::bind(Scope *scope, Symbol *s) {
    scope->names[s->name] = s;
    scope->folded.emplace(foldCase(s->name), s);
}

Symbol *Scopes::caseTwin(Scope *scope, const std::string &name) {
    auto it = scope->folded.find(foldCase(name));
    return it == scope->folded.end() || it->second->name == name ? nullptr : it->second;
}

Symbol *Scopes::findInside(Scope *scope, const std::string &name) {
    for (int depth = 0; scope && depth < 64; ++depth) {
        if (Symbol *s = find(scope, name)) return s;
        if (scope->baseId.empty()) return nullptr;
        auto base = byId_.find(scope->baseId);
        scope = base == byId_.end() ? nullptr : base->second->inner;
    }
    return nullptr;
}

Symbol *Scopes::findVisible(Scope *scope, const std::string &n) {
    for (Scope *s = scope; s; s = s->parent)
        if (Symbol *found = findInside(s, n)) return found;
    return nullptr;
}

Symbol *Scopes::resolve(const ScopedName &name, Scope *from, const char *what, bool report) {
    Scope *scope = from;
    Symbol *found = nullptr;
    if (name.absolute) {
        found = findInside(root_, name.parts[0]);
        scope = root_;
    } else {
        for (Scope *s = from; s && !found; s = s->parent) {
            found = findInside(s, name.parts[0]);
            if (found) scope = s;
        }
    }
    size_t i = 0;
    while (found && i + 1 < name.parts.size()) {
        if (!found->inner) {
            if (!report) return nullptr;
            names_->error(name.at,
                          quoted(joined({name.parts.begin(), name.parts.begin() + i + 1}, "::")) +
                              " is a " + kindWord(found->kind) + ", not a scope");
            return nullptr;
        }
        scope = found->inner;
        found = findInside(scope, name.parts[++i]);
    }
    if (found || !report) return found;
    // Suggest from the names visible where the lookup stopped.
    std::vector<std::string> candidates;
    if (i == 0 && !name.absolute) {
        for (Scope *s = from; s; s = s->parent)
            for (auto &[n, sym] : s->names) candidates.push_back(n);
    } else {
        for (auto &[n, sym] : scope->names) candidates.push_back(n);
    }
    std::string message = "unknown " + std::string(what) + " " + quoted(name.text());
    if (auto close = closest(name.parts[i], candidates)) {
        std::vector<std::string> fixed(name.parts.begin(), name.parts.begin() + i);
        fixed.push_back(*close);
        message +=
            "; did you mean " + quoted((name.absolute ? "::" : "") + joined(fixed, "::")) + "?";
    }
    names_->error(name.at, message);
    return nullptr;
}

void Scopes::previous(const Symbol *s) {
    if (s->at.known())
        names_->note(s->at, "previous definition of " + quoted(s->name) + " is here");
    else
        names_->note(s->library, quoted(s->name) + " (" + s->repoId + ") is defined there");
}

Symbol *Scopes::declare(Scope *scope, const std::string &simpleName, const std::string &id,
                        kivTLibDefKind kind, Location at, bool explicitId) {
    Symbol *clash = find(scope, simpleName);
    if (clash && clash->library == ownLibrary_ && clash->repoId == id && clash->kind == kind) {
        // Given again for a library that has it: compared when it would be created.
        clash->library.clear();
        clash->at = at;
        return clash;
    }
    if (clash && !explicitId) {
        error(at, "redefinition of " + quoted(simpleName) + " (" + kindWord(clash->kind) + ")");
        previous(clash);
        return nullptr;
    }
    if (Symbol *twin = caseTwin(scope, simpleName); twin && !explicitId) {
        error(at, quoted(simpleName) + " differs only in case from " + kindWord(twin->kind) + " " +
                      quoted(twin->name) + " in the same scope");
        previous(twin);
        return nullptr;
    }
    auto taken = byId_.find(id);
    if (taken != byId_.end() && taken->second->library.empty()) {
        error(at, "repository id \"" + id + "\" is already used by " +
                      kindWord(taken->second->kind) + " " + quoted(taken->second->name));
        previous(taken->second);
        return nullptr;
    }
    Symbol *s = newSymbol(simpleName, id, kind, at, "");
    s->explicitId = explicitId;
    if (!clash) bind(scope, s);
    byId_[id] = s;
    return s;
}

void Scopes::declareEnumerator(Scope *scope, const std::string &n, const std::string &enumId,
                               uint32_t value, Location at) {
    Symbol *clash = find(scope, n);
    if (clash && clash->kind == kEnumerator && clash->enumId == enumId && !clash->library.empty()) {
        clash->library.clear();
        clash->at = at;
        return;
    }
    Symbol *twin = clash ? clash : caseTwin(scope, n);
    if (twin) {
        error(at, (clash ? "redefinition of " + quoted(n)
                         : quoted(n) + " differs only in case from " + quoted(twin->name)) +
                      " (" + kindWord(twin->kind) + ") in the same scope");
        previous(twin);
        return;
    }
    Symbol *e = newSymbol(n, "", kEnumerator, at, "");
    e->enumId = enumId;
    e->enumValue = value;
    bind(scope, e);
}

Symbol *Scopes::reopened(Scope *scope, const std::string &id, kivTLibDefKind kind) {
    auto it = byId_.find(id);
    if (it == byId_.end()) return nullptr;
    Symbol *s = it->second;
    return s->kind == kind && s->inner && s->inner->parent == scope ? s : nullptr;
}

void Scopes::seed(kivTLib *t, const kivTLibDef *scopeDef, Scope *scope, const std::string &from,
                  size_t depth) {
    if (depth > kMaxNesting) return;
    for (const char *id : contentsOf(scopeDef)) {
        if (!id) continue;
        kivTLibDef *def = nullptr;
        if (kivTLibGetDefinition(t, id, &def) != 0 || !def->name) continue;
        if (def->kind < KIV_DEF_MODULE || def->kind > KIV_DEF_ALIAS) continue;
        Symbol *existing = find(scope, def->name);
        Symbol *s = existing;
        if (!existing || (existing->repoId != def->repoId)) {
            s = newSymbol(def->name, def->repoId, def->kind, Location{}, from);
            if (!existing) bind(scope, s);
            if (!byId_.count(def->repoId)) byId_[def->repoId] = s;
        }
        if (def->kind == KIV_DEF_CONSTANT) {
            auto &k = *reinterpret_cast<const kivTLibConstantDef *>(def);
            s->constTag = k.type.tag;
            s->constTypeId = k.type.repoId ? k.type.repoId : "";
            s->constValue = k.value;
            if ((k.value.tag == KIV_TYPE_STRING || k.value.tag == KIV_TYPE_WSTRING) && k.value.str)
                s->constText = k.value.str;
        }
        if (def->kind == KIV_DEF_ENUM) {
            auto &e = *reinterpret_cast<const kivTLibEnumDef *>(def);
            for (uint32_t i = 0; e.members && i < e.memberCount; ++i) {
                if (!e.members[i].name || find(scope, e.members[i].name)) continue;
                Symbol *m = newSymbol(e.members[i].name, "", kEnumerator, Location{}, from);
                m->enumId = def->repoId;
                m->enumValue = e.members[i].value;
                bind(scope, m);
            }
        }
        bool isScope = def->kind == KIV_DEF_MODULE || def->kind == KIV_DEF_INTERFACE ||
                       def->kind == KIV_DEF_STRUCT || def->kind == KIV_DEF_UNION;
        if (!isScope) continue;
        if (!s->inner) s->inner = newScope(scope, s, def->repoId, def->kind);
        if (def->kind == KIV_DEF_INTERFACE) {
            auto &i = *reinterpret_cast<const kivTLibInterfaceDef *>(def);
            if (i.baseId) s->inner->baseId = i.baseId;
        }
        seed(t, def, s->inner, from, depth + 1);
    }
}

}  // namespace kivtool::idl
