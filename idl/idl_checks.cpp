// SPDX-License-Identifier: Apache-2.0
// Checks of the names that one declaration brings together.
#include "idl_checks.h"

#include <unordered_map>

namespace kivtool::idl {

std::string foldCase(std::string_view name) {
    std::string out(name);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<Clash> findClashes(std::span<const Named> names) {
    std::vector<Clash> clashes;
    std::unordered_map<std::string, size_t> seen;
    seen.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        auto [it, added] = seen.emplace(foldCase(names[i].name), i);
        if (!added) clashes.push_back({i, it->second, names[i].name != names[it->second].name});
    }
    return clashes;
}

std::vector<std::string> slotNames(std::string_view member, bool attribute, bool readonly) {
    if (!attribute) return {std::string(member)};
    std::vector<std::string> slots{"get_" + std::string(member)};
    if (!readonly) slots.push_back("set_" + std::string(member));
    return slots;
}

std::span<const std::string_view> baseSlotNames() {
    static const std::string_view names[] = {"comQueryInterface", "comAddRef", "comRelease",
                                             "queryInterface",    "addRef",    "release",
                                             "interfaceId"};
    return names;
}

std::string labelKey(uint32_t tag, uint64_t low, uint64_t high, bool isDefault) {
    if (isDefault) return "default";
    return std::to_string(tag) + ":" + std::to_string(low) + ":" + std::to_string(high);
}

}  // namespace kivtool::idl
