// SPDX-License-Identifier: Apache-2.0
// Checks of declarations against each other: names given twice in one declaration, the slots
// of an interface's table with what it inherits, and structures that hold themselves.
#pragma once

#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "idl_checks.h"
#include "idl_emitter.h"
#include "idl_scopes.h"
#include "kiv.h"

namespace kivtool::idl {

class Checker : public Scopes {
  protected:
    // Interfaces and by-value members not of this compile are read from `tlib`.
    void attachLibrary(kivTLib *tlib) { library_ = tlib; }

    // A member of an interface's table: its own name, and the slots it takes.
    struct TableMember {
        std::string name;
        bool attribute = false;
        bool readonly = false;
        Location at;
        std::string owner;  // the interface that declares it
    };

    // Reports names of one declaration given twice or differing only in case.
    void reportClashes(std::span<const Named> names, const char *what, const std::string &owner);
    void checkParameters(const MemberSpec &m);
    // The members that `baseId` and its bases give a derived table, root-most first.
    std::vector<TableMember> inheritedMembers(const std::string &baseId);
    void noteMember(const TableMember &m);
    // An interface's members: no name twice in its table (inherited members included, case
    // aside), and no two members that take the same slot name, nor one named like a base slot.
    void checkTable(const std::string &n, const std::string &id, const std::string &baseId,
                    const std::vector<MemberSpec> &members);
    // The structure or union that a member of this type holds by value, if any.
    static const std::string *heldByValue(const TypeSpec &type);
    void holdsByValue(const std::string &owner, const TypeSpec &type, Location at,
                      const std::string &member);
    // A structure or union cannot hold itself by value, directly or through members of
    // members: only through a sequence (a pointer).
    void checkNotContained(const std::string &id, const std::string &n);

  private:
    struct Held {
        std::string id;
        Location at;
        std::string member;
    };
    std::unordered_map<std::string, std::vector<Held>> held_;  // by-value members of this compile
    std::unordered_map<std::string, std::vector<TableMember>> tables_;  // own interface members
    kivTLib *library_ = nullptr;
};

}  // namespace kivtool::idl
