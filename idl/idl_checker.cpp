// SPDX-License-Identifier: Apache-2.0
// Checks of declarations against each other.
#include "idl_checker.h"

#include <unordered_set>

namespace kivtool::idl {

void Checker::reportClashes(std::span<const Named> names, const char *what,
                            const std::string &owner) {
    for (const Clash &c : findClashes(names)) {
        const Named &later = names[c.later], &first = names[c.first];
        if (c.caseOnly)
            error(later.at, std::string(what) + " " + quoted(later.name) +
                                " differs only in case from " + quoted(first.name) + " in " +
                                owner);
        else
            error(later.at,
                  "duplicate " + std::string(what) + " " + quoted(later.name) + " in " + owner);
        if (first.at.known()) names_->note(first.at, quoted(first.name) + " is declared here");
    }
}

void Checker::checkParameters(const MemberSpec &m) {
    std::vector<Named> names;
    for (auto &p : m.params) names.push_back({p.name, p.at});
    reportClashes(names, "parameter", "operation " + quoted(m.name));
}

std::vector<Checker::TableMember> Checker::inheritedMembers(const std::string &baseId) {
    std::vector<std::string> chain;
    std::unordered_set<std::string> seen;
    for (std::string id = baseId; !id.empty() && chain.size() < kMaxNesting;) {
        if (!seen.insert(id).second) break;
        chain.push_back(id);
        auto sym = byId_.find(id);
        if (sym != byId_.end() && sym->second->inner && sym->second->library.empty()) {
            id = sym->second->inner->baseId;
            continue;
        }
        kivTLibDef *d = nullptr;
        if (kivTLibGetDefinition(library_, id.c_str(), &d) != 0 || d->kind != KIV_DEF_INTERFACE)
            break;
        auto &i = *reinterpret_cast<const kivTLibInterfaceDef *>(d);
        id = i.baseId ? i.baseId : "";
    }
    std::vector<TableMember> out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (auto own = tables_.find(*it); own != tables_.end()) {
            out.insert(out.end(), own->second.begin(), own->second.end());
            continue;
        }
        kivTLibDef *d = nullptr;
        if (kivTLibGetDefinition(library_, it->c_str(), &d) != 0 || d->kind != KIV_DEF_INTERFACE)
            continue;
        auto &i = *reinterpret_cast<const kivTLibInterfaceDef *>(d);
        for (uint32_t m = 0; i.members && m < i.memberCount; ++m)
            out.push_back({i.members[m].name ? i.members[m].name : "",
                           i.members[m].kind == KIV_MEMBER_ATTRIBUTE,
                           (i.members[m].flags & KIV_MEMBER_READONLY) != 0, Location{},
                           d->name ? d->name : *it});
    }
    return out;
}

void Checker::noteMember(const TableMember &m) {
    if (m.at.known())
        names_->note(m.at, quoted(m.name) + " is declared here");
    else
        names_->note(ownLibrary_,
                     quoted(m.name) + " is a member of interface " + quoted(m.owner) + " there");
}

void Checker::checkTable(const std::string &n, const std::string &id, const std::string &baseId,
                         const std::vector<MemberSpec> &members) {
    std::vector<TableMember> table = inheritedMembers(baseId);
    size_t own = table.size();
    for (const MemberSpec &m : members)
        table.push_back({m.name, m.kind == KIV_MEMBER_ATTRIBUTE,
                         (m.flags & KIV_MEMBER_READONLY) != 0, m.at, n});
    std::vector<Named> names;
    for (const TableMember &m : table) names.push_back({m.name, m.at});
    std::unordered_set<size_t> reported;
    for (const Clash &c : findClashes(names)) {
        const TableMember &later = table[c.later], &first = table[c.first];
        std::string where = c.first < own ? " (inherited from " + quoted(first.owner) + ")" : "";
        error(later.at, (c.caseOnly ? "member " + quoted(later.name) +
                                          " differs only in case from " + quoted(first.name)
                                    : "duplicate member " + quoted(later.name)) +
                            where + " in interface " + quoted(n));
        noteMember(first);
        reported.insert(c.later);
    }
    // Slots: the base slots, then each member's.
    std::vector<Named> slots;
    std::vector<size_t> slotOwner;  // index into table; npos for a base slot
    for (std::string_view base : baseSlotNames()) {
        slots.push_back({std::string(base), Location{}});
        slotOwner.push_back(std::string::npos);
    }
    for (size_t i = 0; i < table.size(); ++i)
        for (std::string &slot : slotNames(table[i].name, table[i].attribute, table[i].readonly)) {
            slots.push_back({std::move(slot), table[i].at});
            slotOwner.push_back(i);
        }
    for (const Clash &c : findClashes(slots)) {
        size_t later = slotOwner[c.later], first = slotOwner[c.first];
        if (later == std::string::npos || later < own || reported.count(later) || later == first)
            continue;
        const TableMember &m = table[later];
        if (first == std::string::npos) {
            error(m.at, "member " + quoted(m.name) + " of interface " + quoted(n) +
                            " is named like the base slot " + quoted(slots[c.first].name) +
                            " of every interface");
            continue;
        }
        error(m.at, "member " + quoted(m.name) + " of interface " + quoted(n) +
                        " takes the slot name " + quoted(slots[c.later].name) + ", which " +
                        quoted(table[first].name) + " takes too");
        noteMember(table[first]);
        reported.insert(later);
    }
    tables_[id].assign(table.begin() + static_cast<std::ptrdiff_t>(own), table.end());
}

const std::string *Checker::heldByValue(const TypeSpec &type) {
    const TypeSpec *t = &type;
    while (t->tag == KIV_TYPE_ARRAY && t->anonymous && t->element) t = t->element.get();
    return t->tag == KIV_TYPE_STRUCT || t->tag == KIV_TYPE_UNION ? &t->repoId : nullptr;
}

void Checker::holdsByValue(const std::string &owner, const TypeSpec &type, Location at,
                           const std::string &member) {
    if (const std::string *held = heldByValue(type)) held_[owner].push_back({*held, at, member});
}

void Checker::checkNotContained(const std::string &id, const std::string &n) {
    auto own = held_.find(id);
    if (own == held_.end()) return;
    for (const Held &start : own->second) {
        std::vector<const std::string *> pending{&start.id};
        std::unordered_set<std::string> seen;
        bool cycle = false;
        while (!pending.empty() && !cycle) {
            const std::string &next = *pending.back();
            pending.pop_back();
            if (next == id) cycle = true;
            if (cycle || !seen.insert(next).second) continue;
            if (auto more = held_.find(next); more != held_.end())
                for (const Held &h : more->second) pending.push_back(&h.id);
        }
        if (cycle) {
            error(start.at, "member " + quoted(start.member) + " makes " + quoted(n) +
                                " contain itself by value (use a sequence)");
            return;
        }
    }
}

}  // namespace kivtool::idl
