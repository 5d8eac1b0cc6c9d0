// SPDX-License-Identifier: Apache-2.0
// Finding type libraries and resolving repository ids into descriptions. Libraries come from
// this process's registrations, the registry database and KIV_TLIB_PATH; each file is opened
// read-only once and read again when it changes on disk. The catalog owns the current version
// of each library's descriptions; reading a library again drops its cached answers and the
// catalog's share of the old version.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include "catalog.h"
#include "resolver.h"

namespace kcall {

namespace {

struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    off_t size = 0;
    bool operator==(const Stamp &) const = default;
};

std::optional<Stamp> stampOf(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return Stamp{st.st_dev, st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
}

struct TLibCloser {
    void operator()(kivTLib *tlib) const { kivTLibClose(tlib); }
};

std::atomic<size_t> liveModels{0};

// One library file as last opened.
struct Library {
    Stamp stamp;
    std::unique_ptr<kivTLib, TLibCloser> tlib;
    std::shared_ptr<Model> model;
};

struct Cached {
    const Interface *iface;
    std::string path;
    Stamp stamp;
};

class Catalog {
  public:
    kivResult findInterface(const char *iid, const Interface **out, ModelPin *pin);
    kivResult hold(const char *iid, const Interface **out);
    bool release(const kcallInterface *iface);
    kivResult findType(const char *repoId, const Type **out);
    kivResult locate(const char *iid, std::string &path, uint32_t &source);
    std::vector<ServedInterface> servedInterfaces();
    void addProcessLibrary(const std::string &path);
    bool removeProcessLibrary(const std::string &path);

  private:
    struct Candidate {
        std::string path;
        uint32_t source;
    };
    // Calls visit(candidate) in search order until it returns true.
    template <typename Visit>
    bool visitCandidates(Visit visit);
    Library *open(const std::string &path, kivResult &rc);
    // The first library in search order that defines `id` as a definition of `kind` (an
    // interface must be complete, not only declared).
    Library *libraryDefining(const char *id, uint32_t kind, std::string *path, uint32_t *source,
                             kivResult &rc);
    bool cachedStillValid(const Cached &c);
    // Forgets a library that changed or went away, with the answers read from it.
    void dropLibrary(std::map<std::string, Library>::iterator library);
    // Cached answers may come from folders no longer searched: drop them when the path changes.
    void forgetWhenSearchPathChanged();

    std::mutex mutex_;
    std::vector<std::string> processLibraries_;  // newest last
    std::map<std::string, Library> libraries_;
    std::map<std::string, Cached> interfaces_;
    std::map<std::string, std::pair<const Type *, Cached>> types_;
    std::string searchPath_;
    // kcallHoldInterface: the version each held interface belongs to, and how often it is held.
    std::map<const kcallInterface *, std::pair<ModelPin, uint64_t>> holds_;
};

// Destroyed when the library is unloaded or the process exits: what only the catalog still
// holds is freed then; dynamic objects still alive keep their own versions.
Catalog &catalog() {
    static Catalog instance;
    return instance;
}

constexpr int kMaxModuleDepth = 64;

// The interfaces defined (not only declared) in a module and the modules inside it, with
// their scoped names. Depth-bounded: a hostile library may nest or loop its modules.
void interfacesIn(kivTLib *tlib, const kivTLibDef *module, const std::string &prefix, int depth,
                  const std::string &path, std::vector<ServedInterface> &out) {
    if (depth > kMaxModuleDepth || module->kind != KIV_DEF_MODULE) return;
    const auto *m = reinterpret_cast<const kivTLibModuleDef *>(module);
    for (uint32_t i = 0; i < m->contentCount; ++i) {
        kivTLibDef *def = nullptr;
        if (!m->contents[i] || KIV_FAILED(kivTLibGetDefinition(tlib, m->contents[i], &def)) ||
            !def || !def->name)
            continue;
        const std::string name = prefix + def->name;
        if (def->kind == KIV_DEF_MODULE)
            interfacesIn(tlib, def, name + "::", depth + 1, path, out);
        else if (def->kind == KIV_DEF_INTERFACE && !(def->flags & KIV_DEF_FORWARD))
            out.push_back({def->repoId, name, path});
    }
}

std::vector<std::string> tlibFilesIn(const std::string &folder) {
    std::vector<std::string> files;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) return files;
    while (dirent *entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".tlb")
            files.push_back(folder + "/" + std::string(name));
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

template <typename Visit>
bool Catalog::visitCandidates(Visit visit) {
    for (auto it = processLibraries_.rbegin(); it != processLibraries_.rend(); ++it)
        if (visit(Candidate{*it, KCALL_SOURCE_PROCESS})) return true;
    // The registry database is read only when this process's own libraries did not serve.
    for (const RegisteredLibrary &r : registeredLibraries())
        if (visit(Candidate{r.path, r.machine ? KCALL_SOURCE_MACHINE : KCALL_SOURCE_USER}))
            return true;
    const char *searchPath = std::getenv("KIV_TLIB_PATH");
    std::string_view rest = searchPath ? searchPath : "";
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string folder(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
        if (folder.empty()) continue;
        for (std::string &file : tlibFilesIn(folder))
            if (visit(Candidate{std::move(file), KCALL_SOURCE_PATH})) return true;
    }
    return false;
}

Library *Catalog::open(const std::string &path, kivResult &rc) {
    std::optional<Stamp> stamp = stampOf(path);
    auto found = libraries_.find(path);
    if (found != libraries_.end() && stamp && found->second.stamp == *stamp) return &found->second;
    if (found != libraries_.end()) dropLibrary(found);
    if (!stamp) {
        rc = KIV_E_RT_NO_FILE;
        return nullptr;
    }
    kivTLib *handle = nullptr;
    rc = kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &handle);
    if (KIV_FAILED(rc)) return nullptr;
    Library &library = libraries_[path];
    library.stamp = *stamp;
    library.tlib.reset(handle);
    library.model = std::make_shared<Model>();
    library.model->path = path;
    return &library;
}

void Catalog::dropLibrary(std::map<std::string, Library>::iterator library) {
    const std::string &path = library->first;
    std::erase_if(interfaces_, [&](const auto &entry) { return entry.second.path == path; });
    std::erase_if(types_, [&](const auto &entry) { return entry.second.second.path == path; });
    libraries_.erase(library);
}

Library *Catalog::libraryDefining(const char *id, uint32_t kind, std::string *path,
                                  uint32_t *source, kivResult &rc) {
    rc = KIV_E_UNKNOWN_REPOID;
    Library *found = nullptr;
    bool otherKind = false;
    visitCandidates([&](const Candidate &c) {
        kivResult opened = 0;
        Library *library = open(c.path, opened);
        if (!library) return false;  // an unreadable library serves nothing; the next may
        kivTLibDef *def = nullptr;
        if (KIV_FAILED(kivTLibGetDefinition(library->tlib.get(), id, &def)) || !def) return false;
        if (kind && def->kind != kind) {
            otherKind = true;
            return false;
        }
        if (def->kind == KIV_DEF_INTERFACE && (def->flags & KIV_DEF_FORWARD)) return false;
        if (path) *path = c.path;
        if (source) *source = c.source;
        found = library;
        return true;
    });
    if (found)
        rc = 0;
    else if (otherKind)
        rc = KIV_E_BAD_KIND;
    return found;
}

bool Catalog::cachedStillValid(const Cached &c) {
    std::optional<Stamp> now = stampOf(c.path);
    return now && *now == c.stamp;
}

void Catalog::forgetWhenSearchPathChanged() {
    const char *now = std::getenv("KIV_TLIB_PATH");
    std::string path = now ? now : "";
    if (path == searchPath_) return;
    searchPath_ = path;
    interfaces_.clear();
    types_.clear();
}

kivResult Catalog::findInterface(const char *iid, const Interface **out, ModelPin *pin) {
    std::lock_guard lock(mutex_);
    forgetWhenSearchPathChanged();
    if (const Interface *builtin = builtinInterface(iid)) {
        *out = builtin;
        return 0;
    }
    auto cached = interfaces_.find(iid);
    if (cached != interfaces_.end() && cachedStillValid(cached->second)) {
        *out = cached->second.iface;
        if (pin) *pin = pinOf(*cached->second.iface);
        return 0;
    }
    kivResult rc = 0;
    std::string path;
    Library *library = libraryDefining(iid, KIV_DEF_INTERFACE, &path, nullptr, rc);
    if (!library) return fail(rc, std::string("no type library defines interface ") + iid);
    Resolver resolver(*library->model, library->tlib.get());
    Interface *iface = nullptr;
    rc = resolver.resolveInterface(iid, iface);
    if (KIV_FAILED(rc)) return rc;
    interfaces_[iid] = {iface, path, library->stamp};
    *out = iface;
    if (pin) *pin = library->model;
    return 0;
}

kivResult Catalog::hold(const char *iid, const Interface **out) {
    ModelPin pin;
    kivResult rc = findInterface(iid, out, &pin);
    if (KIV_FAILED(rc)) return rc;
    std::lock_guard lock(mutex_);
    auto &held = holds_[*out];
    held.first = std::move(pin);
    ++held.second;
    return 0;
}

bool Catalog::release(const kcallInterface *iface) {
    ModelPin last;  // freed after the lock is left
    std::lock_guard lock(mutex_);
    auto held = holds_.find(iface);
    if (held == holds_.end()) return false;
    if (--held->second.second == 0) {
        last = std::move(held->second.first);
        holds_.erase(held);
    }
    return true;
}

kivResult Catalog::findType(const char *repoId, const Type **out) {
    std::lock_guard lock(mutex_);
    forgetWhenSearchPathChanged();
    auto cached = types_.find(repoId);
    if (cached != types_.end() && cachedStillValid(cached->second.second)) {
        *out = cached->second.first;
        return 0;
    }
    kivResult rc = 0;
    std::string path;
    Library *library = libraryDefining(repoId, 0, &path, nullptr, rc);
    if (!library) return fail(rc, std::string("no type library defines ") + repoId);
    Resolver resolver(*library->model, library->tlib.get());
    Type *type = nullptr;
    rc = resolver.resolveNamed(repoId, type);
    if (KIV_FAILED(rc)) return rc;
    types_[repoId] = {type, {nullptr, path, library->stamp}};
    *out = type;
    return 0;
}

kivResult Catalog::locate(const char *iid, std::string &path, uint32_t &source) {
    std::lock_guard lock(mutex_);
    kivResult rc = 0;
    if (!libraryDefining(iid, KIV_DEF_INTERFACE, &path, &source, rc))
        return fail(rc, std::string("no type library defines interface ") + iid);
    return 0;
}

std::vector<ServedInterface> Catalog::servedInterfaces() {
    std::lock_guard lock(mutex_);
    std::vector<ServedInterface> all;
    visitCandidates([&](const Candidate &c) {
        kivResult rc = 0;
        Library *library = open(c.path, rc);
        kivTLibDef *root = nullptr;
        if (library && KIV_SUCCEEDED(kivTLibGetRoot(library->tlib.get(), &root)) && root)
            interfacesIn(library->tlib.get(), root, "", 0, c.path, all);
        return false;
    });
    // An id is served by the first library in search order that defines it.
    std::vector<ServedInterface> served;
    std::set<std::string_view> seen;
    for (ServedInterface &i : all)
        if (seen.insert(i.iid).second) served.push_back(std::move(i));
    return served;
}

void Catalog::addProcessLibrary(const std::string &path) {
    std::lock_guard lock(mutex_);
    std::erase(processLibraries_, path);
    processLibraries_.push_back(path);
    interfaces_.clear();
    types_.clear();
}

bool Catalog::removeProcessLibrary(const std::string &path) {
    std::lock_guard lock(mutex_);
    if (std::erase(processLibraries_, path) == 0) return false;
    interfaces_.clear();
    types_.clear();
    // Read again if it is also found another way; its version goes once nothing uses it.
    if (auto library = libraries_.find(path); library != libraries_.end()) dropLibrary(library);
    return true;
}

Model::Model() {
    liveModels.fetch_add(1, std::memory_order_relaxed);
}

Model::~Model() {
    liveModels.fetch_sub(1, std::memory_order_relaxed);
}

size_t liveModelCount() {
    return liveModels.load(std::memory_order_relaxed);
}

ModelPin pinOf(const Interface &iface) {
    return iface.model ? iface.model->weak_from_this().lock() : nullptr;
}

kivResult findInterface(const char *iid, const Interface **out, ModelPin *pin) {
    return catalog().findInterface(iid, out, pin);
}

kivResult holdInterface(const char *iid, const Interface **out) {
    return catalog().hold(iid, out);
}

bool releaseHold(const kcallInterface *iface) {
    return catalog().release(iface);
}

kivResult findType(const char *repoId, const Type **out) {
    return catalog().findType(repoId, out);
}

kivResult locateInterface(const char *iid, std::string &path, uint32_t &source) {
    return catalog().locate(iid, path, source);
}

void addProcessLibrary(const std::string &path) {
    catalog().addProcessLibrary(path);
}

std::vector<ServedInterface> servedInterfaces() {
    return catalog().servedInterfaces();
}
bool removeProcessLibrary(const std::string &path) {
    return catalog().removeProcessLibrary(path);
}

}  // namespace kcall
