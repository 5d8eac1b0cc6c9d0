// SPDX-License-Identifier: Apache-2.0
// Repository ids of new definitions.
#include "idl_repoids.h"

#include "idl_scopes.h"

namespace kivtool::idl {

std::span<const Token> RepositoryIds::pragmaArgs(const Token &t) {
    std::span<const Token> args = t.args;
    if (!args.empty() && args.back().is(";")) args = args.first(args.size() - 1);
    return args;
}

bool RepositoryIds::pragmaTarget(const std::vector<std::string> &scopePath, const Token &t,
                                 std::string *key, std::string *value) {
    std::span<const Token> args = pragmaArgs(t);
    std::vector<std::string> path = scopePath;
    size_t i = 0;
    if (i < args.size() && args[i].is("::")) {
        path.clear();
        ++i;
    }
    // A name that spells out the enclosing scopes is taken from the outermost one.
    if (i < args.size() && !path.empty() && args[i].text == path[0]) path.clear();
    while (i < args.size() && (args[i].kind == Tok::Ident || args[i].kind == Tok::RawIdent)) {
        path.push_back(args[i++].text);
        if (i < args.size() && args[i].is("::"))
            ++i;
        else
            break;
    }
    *key = joined(path, "::");
    if (i + 1 != args.size()) return false;
    *value = args[i].text;
    if (t.text == "ID") return args[i].kind == Tok::String;
    return args[i].kind == Tok::Float &&
           args[i].text.find_first_not_of("0123456789.") == std::string::npos;
}

void RepositoryIds::take(const std::vector<std::string> &scopePath, const Token &t) {
    std::string key, value;
    if (pragmaTarget(scopePath, t, &key, &value)) (t.text == "ID" ? ids_ : versions_)[key] = value;
}

std::string RepositoryIds::make(const std::vector<std::string> &scopePath,
                                const std::string &simpleName,
                                const std::optional<std::string> &explicitId,
                                const std::optional<std::string> &version,
                                const std::string &prefix) const {
    if (explicitId) return *explicitId;
    std::vector<std::string> path = scopePath;
    path.push_back(simpleName);
    std::string key = joined(path, "::");
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    std::string chosen = version ? *version : "1.0";
    if (!version)
        if (auto it = versions_.find(key); it != versions_.end()) chosen = it->second;
    return "IDL:" + (prefix.empty() ? "" : prefix + "/") + joined(path, "/") + ":" + chosen;
}

}  // namespace kivtool::idl
