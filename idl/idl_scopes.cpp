// SPDX-License-Identifier: Apache-2.0
// The names of a compile: scopes, symbols and their lookup.
#include "idl_scopes.h"

#include "idl_checks.h"
#include "idl_text.h"

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

}  // namespace kivtool::idl
