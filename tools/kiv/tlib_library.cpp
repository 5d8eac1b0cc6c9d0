#include "tlib_library.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace kivtool {

namespace {

template <class Record>
std::vector<const char *> listOf(const kivTLibDef *def) {
    auto *r = reinterpret_cast<const Record *>(def);
    return {r->contents, r->contents + r->contentCount};
}

}  // namespace

std::vector<const char *> contentsOf(const kivTLibDef *def) {
    switch (def->kind) {
        case KIV_DEF_MODULE:
            return listOf<kivTLibModuleDef>(def);
        case KIV_DEF_INTERFACE:
            return listOf<kivTLibInterfaceDef>(def);
        case KIV_DEF_STRUCT:
            return listOf<kivTLibStructDef>(def);
        case KIV_DEF_UNION:
            return listOf<kivTLibUnionDef>(def);
        default:
            return {};
    }
}

std::string kindName(kivTLibDefKind kind) {
    static const char *const names[] = {nullptr,  "module",  "interface", "constant",
                                        "struct", "union",   "enum",      "alias",
                                        "string", "wstring", "sequence",  "array"};
    if (kind >= 1 && kind <= KIV_DEF_ARRAY) return names[kind];
    return "kind " + std::to_string(kind);
}

kivResult Library::open(const std::string &path, std::unique_ptr<Library> *out) {
    kivTLib *tlib = nullptr;
    if (kivResult rc = kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &tlib)) return rc;
    out->reset(new Library(tlib));
    return 0;
}

const kivTLibDef *Library::find(const char *repoId, kivResult *rc) const {
    kivTLibDef *def = nullptr;
    kivResult code = kivTLibGetDefinition(tlib_, repoId, &def);
    if (rc) *rc = code;
    return def;
}

kivResult Library::walk(Reachable *out) const {
    std::set<std::string> seen;
    std::vector<const char *> pending{KIV_TLIB_ANONYMOUS_SCOPE_ID};
    if (kivTLibGetRoot(tlib_, nullptr) == 0) pending.push_back(KIV_TLIB_ROOT_ID);
    while (!pending.empty()) {
        const char *id = pending.back();
        pending.pop_back();
        if (!seen.insert(id).second) continue;
        kivResult rc = 0;
        const kivTLibDef *def = find(id, &rc);
        if (rc == KIV_E_UNKNOWN_REPOID) {
            out->dangling.push_back(id);
            continue;
        }
        if (rc) return rc;
        out->definitions.push_back(def);
        std::vector<const char *> inside = contentsOf(def);
        pending.insert(pending.end(), inside.rbegin(), inside.rend());  // first on top
    }
    return 0;
}

kivResult Library::nextLocalId(uint32_t *out) const {
    char id[32];
    if (kivResult rc = kivTLibCreateLocalRepoId(tlib_, id, sizeof id)) return rc;
    // The text is "LOCAL:" and the number as a signed 32-bit value.
    *out = static_cast<uint32_t>(std::strtol(id + 6, nullptr, 10));
    return 0;
}

}  // namespace kivtool
