// SPDX-License-Identifier: Apache-2.0
// The tool's read-only view of a type library: opening, the walk over its definitions, and the
// check of a whole file.
#include "tlib_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <span>

#include "tlib/btree.h"

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

kivTLibDefKind kindOfTag(kivTLibTypeTag tag) {
    switch (tag) {
        case KIV_TYPE_STRING:
            return KIV_DEF_STRING;
        case KIV_TYPE_WSTRING:
            return KIV_DEF_WSTRING;
        case KIV_TYPE_STRUCT:
            return KIV_DEF_STRUCT;
        case KIV_TYPE_UNION:
            return KIV_DEF_UNION;
        case KIV_TYPE_ENUM:
            return KIV_DEF_ENUM;
        case KIV_TYPE_SEQUENCE:
            return KIV_DEF_SEQUENCE;
        case KIV_TYPE_ARRAY:
            return KIV_DEF_ARRAY;
        case KIV_TYPE_ALIAS:
            return KIV_DEF_ALIAS;
        case KIV_TYPE_INTERFACE:
            return KIV_DEF_INTERFACE;
        default:
            return 0;
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
        for (auto id = inside.rbegin(); id != inside.rend(); ++id) {  // first on top
            if (*id)
                pending.push_back(*id);
            else
                ++out->nullEntries;
        }
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

namespace {

// The whole file at `path`, when it is a regular file (never blocking on a FIFO or device).
kivResult readWhole(const std::string &path, std::vector<uint8_t> *out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return KIV_E_SYSTEM(errno);
    struct stat st;
    kivResult rc = 0;
    if (fstat(fd, &st) != 0)
        rc = KIV_E_SYSTEM(errno);
    else if (!S_ISREG(st.st_mode))
        rc = KIV_E_FORMAT;
    char buffer[1 << 16];
    for (ssize_t n; rc == 0 && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) rc = KIV_E_SYSTEM(errno);
        if (n > 0) out->insert(out->end(), buffer, buffer + n);
        if (out->size() > kiv::tlib::btree::kMaxFileBytes) rc = KIV_E_FORMAT;
    }
    ::close(fd);
    return rc;
}

std::string kindOfFile(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "";
    if (S_ISDIR(st.st_mode)) return "a folder";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    return "";
}

template <class Record>
const Record &as(const kivTLibDef *def) {
    return *reinterpret_cast<const Record *>(def);
}

// The types that a definition holds by value (a sequence's element is held through a
// pointer), and those it only mentions (interface members, a constant's type).
struct TypeUses {
    std::vector<kivTLibTypeRef> held, mentioned;
};
TypeUses typeUses(const kivTLibDef *def) {
    TypeUses uses;
    switch (def->kind) {
        case KIV_DEF_STRUCT:
            for (const auto &m : std::span(as<kivTLibStructDef>(def).members,
                                           as<kivTLibStructDef>(def).memberCount))
                uses.held.push_back(m.type);
            break;
        case KIV_DEF_UNION: {
            const auto &u = as<kivTLibUnionDef>(def);
            uses.held.push_back(u.discriminator);
            for (const auto &c : std::span(u.cases, u.caseCount)) uses.held.push_back(c.type);
            break;
        }
        case KIV_DEF_ALIAS:
            uses.held.push_back(as<kivTLibAliasDef>(def).type);
            break;
        case KIV_DEF_ARRAY:
            uses.held.push_back(as<kivTLibArrayDef>(def).element);
            break;
        case KIV_DEF_SEQUENCE:
            uses.mentioned.push_back(as<kivTLibSequenceDef>(def).element);
            break;
        case KIV_DEF_CONSTANT:
            uses.mentioned.push_back(as<kivTLibConstantDef>(def).type);
            break;
        case KIV_DEF_INTERFACE:
            for (const auto &m : std::span(as<kivTLibInterfaceDef>(def).members,
                                           as<kivTLibInterfaceDef>(def).memberCount)) {
                uses.mentioned.push_back(m.type);
                for (const auto &p : std::span(m.params, m.paramCount))
                    uses.mentioned.push_back(p.type);
            }
            break;
        default:
            break;
    }
    return uses;
}

// The definitions on a cycle of `next`, each reported where a walk first closes a cycle
// through it. Iterative, so that long chains cost no stack.
template <class Next>
std::vector<const kivTLibDef *> onCycles(const std::vector<const kivTLibDef *> &all, Next next) {
    enum Colour { White, Grey, Black };
    std::map<const kivTLibDef *, Colour> colour;
    std::vector<const kivTLibDef *> found;
    struct Frame {
        const kivTLibDef *def;
        std::vector<const kivTLibDef *> successors;
        size_t at;
    };
    for (const kivTLibDef *start : all) {
        if (colour[start] != White) continue;
        std::vector<Frame> stack{{start, next(start), 0}};
        colour[start] = Grey;
        while (!stack.empty()) {
            Frame &top = stack.back();
            if (top.at == top.successors.size()) {
                colour[top.def] = Black;
                stack.pop_back();
                continue;
            }
            const kivTLibDef *to = top.successors[top.at++];
            Colour &c = colour[to];
            if (c == Grey) {
                found.push_back(to);
            } else if (c == White) {
                c = Grey;
                stack.push_back({to, next(to), 0});
            }
        }
    }
    return found;
}

// References that name nothing or a definition of another kind, types that hold themselves
// by value or have no end (a sequence of itself), and base interfaces that loop: contents
// that each record may carry but that no tool can map.
std::vector<std::string> typeProblems(const Library &library,
                                      const std::vector<const kivTLibDef *> &all) {
    std::vector<std::string> problems;
    auto target = [&](const kivTLibTypeRef &ref, const kivTLibDef *user) -> const kivTLibDef * {
        kivTLibDefKind kind = kindOfTag(ref.tag);
        if (!kind || !ref.repoId) return nullptr;
        kivResult rc = 0;
        const kivTLibDef *def = library.find(ref.repoId, &rc);
        std::string where = "record " + std::string(user->repoId) + ": ";
        // An interface may live in another library: only a pointer to it is held.
        if (!def && rc == KIV_E_UNKNOWN_REPOID && ref.tag == KIV_TYPE_INTERFACE) return nullptr;
        if (!def)
            problems.push_back(where + "refers to " + ref.repoId + ", which cannot be read");
        else if (def->kind != kind)
            problems.push_back(where + ref.repoId + " is a " + kindName(def->kind) + ", not a " +
                               kindName(kind) + " as its type tag says");
        return def && def->kind == kind ? def : nullptr;
    };
    std::map<const kivTLibDef *, std::vector<const kivTLibDef *>> held;
    for (const kivTLibDef *def : all) {
        TypeUses uses = typeUses(def);
        for (const auto &ref : uses.held)
            if (const kivTLibDef *to = target(ref, def)) held[def].push_back(to);
        for (const auto &ref : uses.mentioned)
            if (const kivTLibDef *to = target(ref, def); to && def->kind == KIV_DEF_SEQUENCE)
                held[def].push_back(to);
    }
    std::set<const kivTLibDef *> reported;  // a cycle of arrays and aliases is found twice
    auto report = [&](const std::vector<const kivTLibDef *> &defs, const char *what) {
        for (const kivTLibDef *def : defs)
            if (reported.insert(def).second)
                problems.push_back("record " + std::string(def->repoId) + ": " + what);
    };
    // By value: every edge but a sequence's.
    report(onCycles(all,
                    [&](const kivTLibDef *def) {
                        return def->kind == KIV_DEF_SEQUENCE ? std::vector<const kivTLibDef *>{}
                                                             : held[def];
                    }),
           "contains itself by value");
    // Without a named structure or union on the way, a cycle through a sequence has no end.
    auto unnamed = [](const kivTLibDef *def) {
        return def->kind == KIV_DEF_SEQUENCE || def->kind == KIV_DEF_ARRAY ||
               def->kind == KIV_DEF_ALIAS;
    };
    report(onCycles(all,
                    [&](const kivTLibDef *def) {
                        std::vector<const kivTLibDef *> out;
                        if (!unnamed(def)) return out;
                        for (const kivTLibDef *to : held[def])
                            if (unnamed(to)) out.push_back(to);
                        return out;
                    }),
           "a type that contains itself");
    report(onCycles(all,
                    [&](const kivTLibDef *def) {
                        std::vector<const kivTLibDef *> out;
                        const char *base = def->kind == KIV_DEF_INTERFACE
                                               ? as<kivTLibInterfaceDef>(def).baseId
                                               : nullptr;
                        const kivTLibDef *to = base ? library.find(base) : nullptr;
                        if (to && to->kind == KIV_DEF_INTERFACE) out.push_back(to);
                        return out;
                    }),
           "its base interfaces loop");
    return problems;
}

}  // namespace

std::vector<std::string> checkFile(const std::string &path, size_t *records) {
    std::vector<std::string> problems;
    if (std::string kind = kindOfFile(path); !kind.empty()) return {"file: " + kind};
    std::vector<uint8_t> bytes;
    if (kivResult rc = readWhole(path, &bytes)) return {std::string("file: ") + kivStrError(rc)};
    kiv::tlib::btree::Image image;
    std::vector<kiv::tlib::btree::Problem> found;
    if (!kiv::tlib::btree::Image::load(std::move(bytes), &image, &found, 100)) {
        for (const auto &problem : found) problems.push_back(describe(problem));
        return problems;
    }
    // What a readable file still reports: a free list that cannot be followed.
    for (const auto &problem : found) problems.push_back(describe(problem));
    if (records) *records = image.size();
    std::unique_ptr<Library> library;
    if (kivResult rc = Library::open(path, &library)) {
        problems.push_back("file: " + whyNotOpened(path, rc));
        return problems;
    }
    std::vector<const kivTLibDef *> decoded;
    for (size_t i = 0; i < image.size(); ++i) {
        std::string_view key = image.key(i);
        std::string id(key.substr(0, key.find('\0')));
        if (key.empty() || key.back() != '\0' || id.size() + 1 != key.size()) {
            problems.push_back("record " + id + ": key is not a text and its NUL");
        } else if (id == KIV_TLIB_LOCAL_COUNTER_ID) {
            uint32_t next = 0;
            if (kivResult rc = library->nextLocalId(&next))
                problems.push_back("record " + id + " (local id counter): " + kivStrError(rc));
        } else if (kivResult rc = 0; const kivTLibDef *def = library->find(id.c_str(), &rc)) {
            decoded.push_back(def);
        } else {
            problems.push_back("record " + id + ": " + kivStrError(rc));
        }
    }
    for (std::string &problem : typeProblems(*library, decoded)) problems.push_back(problem);
    return problems;
}

std::string whyNotOpened(const std::string &path, kivResult code) {
    if (code != KIV_E_FORMAT) return kivStrError(code);
    if (std::string kind = kindOfFile(path); !kind.empty()) return "not a type library: " + kind;
    std::vector<uint8_t> bytes;
    if (readWhole(path, &bytes) != 0) return kivStrError(code);
    kiv::tlib::btree::Image image;
    std::vector<kiv::tlib::btree::Problem> found;
    if (bytes.empty()) return "not a type library: the file is empty";
    if (!kiv::tlib::btree::Image::load(std::move(bytes), &image, &found))
        return "not a type library, or a damaged one: " + describe(found.front());
    std::string scope = std::string(KIV_TLIB_ANONYMOUS_SCOPE_ID) + '\0';
    if (image.find(scope) == kiv::tlib::btree::Image::npos)
        return "not a type library: no anonymous-types scope record";
    return "a damaged type library: its anonymous-types scope record cannot be read";
}

}  // namespace kivtool
