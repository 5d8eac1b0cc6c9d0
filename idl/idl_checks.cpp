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

const char *unsupported(std::string_view word) {
    static const std::pair<const char *, const char *> words[] = {
        {"exception", "exceptions are not part of the type library"},
        {"raises",
         "'raises' clauses are not part of the type library (operations have no exceptions)"},
        {"getraises", "'getraises' clauses are not part of the type library"},
        {"setraises", "'setraises' clauses are not part of the type library"},
        {"any", "the type library has no 'any' type"},
        {"valuetype", "value types are not part of the type library"},
        {"oneway", "oneway operations are not part of the type library"},
        {"fixed",
         "the type library has no fixed-point type (use decimal32, decimal64 or decimal128)"},
        {"native", "native types are not part of the type library"},
        {"Object", "the type library has no 'Object' type (name an interface instead)"},
        {"ValueBase", "value types are not part of the type library"},
        {"abstract", "abstract interfaces are not part of the type library"},
        {"local", "local interfaces are not part of the type library"},
        {"custom", "value types are not part of the type library"},
        {"truncatable", "value types are not part of the type library"},
        {"supports", "value types are not part of the type library"},
        {"context", "operation contexts are not part of the type library"},
        {"component", "components are not part of the type library"},
        {"home", "homes are not part of the type library"},
        {"eventtype", "event types are not part of the type library"},
        {"primarykey", "homes are not part of the type library"},
        {"finder", "homes are not part of the type library"},
        {"manages", "homes are not part of the type library"},
        {"provides", "components are not part of the type library"},
        {"uses", "components are not part of the type library"},
        {"emits", "components are not part of the type library"},
        {"publishes", "components are not part of the type library"},
        {"consumes", "components are not part of the type library"},
        {"factory", "factories are not part of the type library"},
        {"import", "'import' is not supported; use --import LIB.tlb or #include"},
        {"typeid", "'typeid' is not supported; use @id(\"...\") or #pragma ID"},
        {"typeprefix", "'typeprefix' is not supported; use #pragma prefix"},
        {"private", "value types are not part of the type library"},
        {"public", "value types are not part of the type library"},
    };
    for (auto &[w, why] : words)
        if (word == w) return why;
    return nullptr;
}

}  // namespace kivtool::idl
