// SPDX-License-Identifier: Apache-2.0
// Shared libraries through the dynamic loader.
#include "internal.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

struct ustDSO {
    void *handle;
};

namespace ust {

namespace {
// Trivially destructible: nothing is torn down at thread exit, so a destructor of the host's
// that runs later may still ask for the text.
thread_local char dsoError[512];
}  // namespace

const char *lastDsoError() {
    return dsoError;
}
void setLastDsoError(const char *message) {
    std::snprintf(dsoError, sizeof dsoError, "%s", message ? message : "");
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
    char found[PATH_MAX];
};

int matchLoaded(struct dl_phdr_info *info, size_t, void *data) {
    auto *search = static_cast<LoadedSearch *>(data);
    if (!info->dlpi_name || !*info->dlpi_name) return 0;
    std::string_view path(info->dlpi_name);
    auto slash = path.rfind('/');
    std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (base == search->name ||
        (base.starts_with(search->name) && isVersionSuffix(base.substr(search->name.size())))) {
        if (path.size() >= sizeof search->found) return 0;
        path.copy(search->found, path.size());
        search->found[path.size()] = '\0';
        return 1;
    }
    return 0;
}

// A library the process already holds, found by its file name or a versioned form of it.
bool findLoaded(LoadedSearch &search) {
    search.found[0] = '\0';
    dl_iterate_phdr(matchLoaded, &search);
    return search.found[0] != '\0';
}

// The file mapped at `address`, from the kernel's list of this process's mappings, which names
// files by absolute path whatever name, search path or current folder they were loaded with.
bool mappedFile(const void *address, char *path, size_t size) {
    FILE *maps = std::fopen("/proc/self/maps", "re");
    if (!maps) return false;
    const auto wanted = reinterpret_cast<uintptr_t>(address);
    char line[PATH_MAX + 256];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps)) {
        unsigned long start = 0, end = 0;
        int fileAt = 0;
        if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &fileAt) != 2 ||
            fileAt == 0 || wanted < start || wanted >= end)
            continue;
        char *file = line + fileAt;
        file[std::strcspn(file, "\n")] = '\0';
        if (file[0] != '/' || std::strlen(file) >= size) break;
        std::strcpy(path, file);
        found = true;
    }
    std::fclose(maps);
    return found;
}

ustResult loadFailure(const char *path) {
    ust::setLastDsoError(dlerror());
    if (std::strchr(path, '/')) {
        struct stat st;
        if (stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) return UST_E_NO_FILE;
    }
    return UST_E_DSO_LOAD;
}

// The loader opens a file without O_NONBLOCK, so a FIFO or a device named as a plug-in would
// block it or feed it endless bytes: only regular files (or names that do not exist, which the
// loader then reports) go on to dlopen. A file swapped for a FIFO after this check can still
// block; the check is for names that are wrong, not for a race with whoever controls the path.
bool loadable(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISREG(st.st_mode)) return true;
    std::string message = std::string(path) + ": not a regular file";
    ust::setLastDsoError(message.c_str());
    return false;
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
        LoadedSearch search{name, {}};
        if (findLoaded(search)) handle = dlopen(search.found, RTLD_NOW | RTLD_NOLOAD);
    }
    if (!handle && std::strchr(name, '/') && !loadable(name)) return UST_E_DSO_LOAD;
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
    char path[PATH_MAX];
    if (mappedFile(map->l_ld, path, sizeof path)) return ust::copyOut(path, buffer, size);

    // Without /proc: the name the loader was given, resolved against the current folder.
    const char *name = map->l_name && *map->l_name ? map->l_name : nullptr;
    if (!name) {
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0) return UST_E_FAILED;
        path[n] = '\0';
        return ust::copyOut(path, buffer, size);
    }
    if (!::realpath(name, path)) return ust::fromErrno(errno);
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
