// SPDX-License-Identifier: Apache-2.0
// Writes a program that checks where every slot of every interface of a type library lies, in
// the generated C tables and in the C++ virtual tables. The slot numbers come from the library
// alone: seven base slots, then the members from the root-most base down, an attribute taking
// a getter and (unless read-only) a setter.
//
//   mapping_slotgen LIB.tlb C_HEADER CXX_HEADER OUT.cpp
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "kiv.h"

namespace {

const kivTLibDef *lookup(kivTLib *t, const char *id) {
    kivTLibDef *def = nullptr;
    if (kivTLibGetDefinition(t, id, &def)) {
        std::fprintf(stderr, "mapping_slotgen: cannot read %s\n", id);
        std::exit(1);
    }
    return def;
}

// Slot names of one interface's own members, in order.
std::vector<std::string> ownSlots(const kivTLibInterfaceDef &iface) {
    static const std::set<std::string> keywords = {"delete", "class", "default", "new", "this"};
    std::vector<std::string> out;
    for (uint32_t i = 0; i < iface.memberCount; ++i) {
        const kivTLibMember &m = iface.members[i];
        std::string name = m.name;
        if (m.kind == KIV_MEMBER_OPERATION) {
            out.push_back(keywords.count(name) ? name + "_" : name);
            continue;
        }
        out.push_back("get_" + name);
        if (!(m.flags & KIV_MEMBER_READONLY)) out.push_back("set_" + name);
    }
    return out;
}

struct Interface {
    std::string cName, cxxName;
    // (slot, name, C++ class that declares it)
    std::vector<std::pair<int, std::string>> slots;
};

void collect(kivTLib *t, const kivTLibDef *def, std::vector<std::string> path,
             std::vector<Interface> *out) {
    if (def->kind == KIV_DEF_MODULE) {
        if (def->name && *def->name) path.push_back(def->name);
        const auto &m = *reinterpret_cast<const kivTLibModuleDef *>(def);
        for (uint32_t i = 0; i < m.contentCount; ++i)
            collect(t, lookup(t, m.contents[i]), path, out);
        return;
    }
    if (def->kind != KIV_DEF_INTERFACE || std::string(def->repoId).starts_with("IDL:kiv/")) return;
    Interface result;
    for (const std::string &p : path) {
        result.cName += p + "_";
        result.cxxName += p + "::";
    }
    result.cName += def->name;
    result.cxxName += def->name;
    // The base chain, root-most first.
    std::vector<const kivTLibInterfaceDef *> chain;
    for (const kivTLibDef *at = def;;) {
        const auto &iface = *reinterpret_cast<const kivTLibInterfaceDef *>(at);
        chain.insert(chain.begin(), &iface);
        if (!iface.baseId || std::string(iface.baseId) == KIV_IID_IUNKNOWN) break;
        at = lookup(t, iface.baseId);
    }
    int slot = 7;
    for (const kivTLibInterfaceDef *iface : chain)
        for (const std::string &name : ownSlots(*iface)) result.slots.emplace_back(slot++, name);
    out->push_back(std::move(result));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: mapping_slotgen LIB.tlb C_HEADER CXX_HEADER OUT.cpp\n");
        return 2;
    }
    kivTLib *t = nullptr;
    if (kivTLibOpen(argv[1], KIV_TLIB_READONLY, &t)) return 1;
    kivTLibDef *root = nullptr;
    if (kivTLibGetRoot(t, &root)) return 1;
    std::vector<Interface> interfaces;
    collect(t, root, {}, &interfaces);
    kivTLibClose(t);

    std::ofstream out(argv[4]);
    out << "// Written by mapping_slotgen: slot positions of " << argv[1] << ".\n"
        << "#include <cstddef>\n#include <cstdio>\n\n#include \"slot_check.h\"\n#include \""
        << argv[2] << "\"\n#include \"" << argv[3] << "\"\n\nint main() {\n"
        << "    const size_t slot = sizeof(void (*)(void));\n";
    const char *base[] = {"comQueryInterface", "comAddRef", "comRelease",
                          "queryInterface",    "addRef",    "release",
                          "interfaceId"};
    for (const Interface &i : interfaces) {
        std::vector<std::pair<int, std::string>> all;
        for (int s = 0; s < 7; ++s) all.emplace_back(s, base[s]);
        all.insert(all.end(), i.slots.begin(), i.slots.end());
        for (const auto &[number, name] : all) {
            out << "    expect(\"" << i.cName << "Vtbl." << name << "\", offsetof(" << i.cName
                << "Vtbl, " << name << "), " << number << " * slot);\n";
            out << "    expect(\"" << i.cxxName << "::" << name << "\", virtualOffset(&"
                << i.cxxName << "::" << name << "), " << number << " * slot);\n";
        }
        out << "    expect(\"sizeof " << i.cName << "Vtbl\", sizeof(" << i.cName << "Vtbl), "
            << all.size() << " * slot);\n";
    }
    out << "    std::printf(\"%d slot checks, %d failed\\n\", checks, failures);\n"
        << "    return failures != 0;\n}\n";
    return out.good() ? 0 : 1;
}
