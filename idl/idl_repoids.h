// SPDX-License-Identifier: Apache-2.0
// Repository ids of new definitions: given explicitly, by `#pragma ID` or `#pragma version`
// (which may stand anywhere in the input, also after the definition), or derived from the
// prefix and the scoped name.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "idl_lexer.h"

namespace kivtool::idl {

class RepositoryIds {
  public:
    // The arguments of a pragma, without the ';' that many files put after them.
    static std::span<const Token> pragmaArgs(const Token &t);
    // The scoped name that `#pragma version` or `#pragma ID` names, written in `scopePath`,
    // and its value; false when the pragma is malformed.
    static bool pragmaTarget(const std::vector<std::string> &scopePath, const Token &t,
                             std::string *key, std::string *value);
    // Keeps what a well-formed `#pragma version` or `#pragma ID` in `scopePath` says.
    void take(const std::vector<std::string> &scopePath, const Token &t);
    // The id of `simpleName` defined in `scopePath`: `explicitId`, else a `#pragma ID`, else
    // IDL:PREFIX/PATH:VERSION with `version`, a `#pragma version` or 1.0.
    std::string make(const std::vector<std::string> &scopePath, const std::string &simpleName,
                     const std::optional<std::string> &explicitId,
                     const std::optional<std::string> &version, const std::string &prefix) const;

  private:
    std::unordered_map<std::string, std::string> versions_, ids_;
};

}  // namespace kivtool::idl
