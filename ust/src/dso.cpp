// Shared libraries through the dynamic loader.
#include "internal.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>

struct ustDSO {
    void *handle;
};

namespace ust {

namespace {
thread_local std::string dsoError;
}

const std::string &lastDsoError() {
    return dsoError;
}
void setLastDsoError(const char *message) {
    dsoError = message ? message : "";
}

}  // namespace ust

namespace {

bool isVersionSuffix(std::string_view rest) {
    // ".1", ".1.0.0": dots each followed by at least one digit.
    if (rest.empty()) return false;
    bool wantDigit = false;
    for (char c : rest) {
        if (c == '.') {
            if (wantDigit) return false;
            wantDigit = true;
        } else if (c >= '0' && c <= '9') {
            wantDigit = false;
        } else {
            return false;
        }
    }
    return rest.front() == '.' && !wantDigit;
}

struct LoadedSearch {
    std::string_view name;
    std::string found;
};

int matchLoaded(struct dl_phdr_info *info, size_t, void *data) {
    auto *search = static_cast<LoadedSearch *>(data);
    if (!info->dlpi_name || !*info->dlpi_name) return 0;
    std::string_view path(info->dlpi_name);
    auto slash = path.rfind('/');
    std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (base == search->name ||
        (base.starts_with(search->name) && isVersionSuffix(base.substr(search->name.size())))) {
        search->found = path;
        return 1;
    }
    return 0;
}

// A library the process already holds, found by its file name or a versioned form of it.
std::string findLoaded(std::string_view name) {
    LoadedSearch search{name, {}};
    dl_iterate_phdr(matchLoaded, &search);
    return search.found;
}

ustResult loadFailure(const char *path) {
    ust::setLastDsoError(dlerror());
    if (std::strchr(path, '/')) {
        struct stat st;
        if (stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return UST_E_NO_FILE;
    }
    return UST_E_DSO_LOAD;
}

}  // namespace

const char *ustGetDSOPrefix(void) {
    return "lib";
}
const char *ustGetDSOSuffix(void) {
    return ".so";
}

ustResult ustOpenDSO(const char *name, uint32_t, ustDSO **out) {
    if (!out) return UST_E_INVALID_ARG;
    *out = nullptr;
    if (!name || !*name) return UST_E_INVALID_ARG;

    void *handle = nullptr;
    if (!std::strchr(name, '/')) {
        std::string loaded = findLoaded(name);
        if (!loaded.empty()) handle = dlopen(loaded.c_str(), RTLD_NOW | RTLD_NOLOAD);
    }
    if (!handle) handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return loadFailure(name);

    auto *dso = new (std::nothrow) ustDSO{handle};
    if (!dso) {
        dlclose(handle);
        return UST_E_NO_MEMORY;
    }
    *out = dso;
    return 0;
}

ustResult ustGetDSOPath(ustDSO *dso, char *buffer, size_t size) {
    if (!dso || !buffer) return UST_E_INVALID_ARG;
    struct link_map *map = nullptr;
    if (dlinfo(dso->handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return UST_E_FAILED;

    std::string path = map->l_name ? map->l_name : "";
    if (path.empty()) {
        // The main program: the loader records no name for it.
        char exe[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return UST_E_FAILED;
        path.assign(exe, static_cast<size_t>(n));
    } else if (path.front() != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return ust::fromErrno(errno);
        path = std::string(cwd) + "/" + path;
    }
    return ust::copyOut(path, buffer, size);
}

ustResult ustGetSymbolAddress(ustDSO *dso, const char *symbol, void **address) {
    if (!address) return UST_E_INVALID_ARG;
    *address = nullptr;
    if (!dso || !symbol) return UST_E_INVALID_ARG;
    dlerror();
    void *found = dlsym(dso->handle, symbol);
    if (!found) {
        ust::setLastDsoError(dlerror());
        return UST_E_NO_SYMBOL;
    }
    *address = found;
    return 0;
}

ustResult ustCloseDSO(ustDSO *dso) {
    if (!dso) return UST_E_INVALID_ARG;
    int rc = dlclose(dso->handle);
    delete dso;
    return rc == 0 ? 0 : UST_E_FAILED;
}
