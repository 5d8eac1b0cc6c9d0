// SPDX-License-Identifier: Apache-2.0
// Path text operations; nothing here touches the file system.
#include "internal.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include <cstring>
#include <string_view>

namespace {

std::string_view stripTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// Directory part with the conventions of POSIX dirname: "a" gives ".", "/a" gives "/".
std::string_view dirnameOf(std::string_view path) {
    path = stripTrailingSlashes(path);
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    std::string_view dir = stripTrailingSlashes(path.substr(0, slash));
    return dir.empty() ? std::string_view("/") : dir;
}

// Last component: "a/b/" gives "b", "/" gives "/", "" gives ".".
std::string_view basenameOf(std::string_view path) {
    if (path.empty()) return ".";
    path = stripTrailingSlashes(path);
    if (path == "/") return path;
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

namespace ust {

ustResult copyOut(std::string_view text, char *buffer, size_t size) {
    if (!buffer) return UST_E_INVALID_ARG;
    if (text.size() + 1 > size) {
        if (size > 0) buffer[0] = '\0';
        return UST_E_BUFFER_TOO_SMALL;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = '\0';
    return 0;
}

}  // namespace ust

ustResult ustGetDirname(const char *path, char *buffer, size_t size) {
    if (!path) return UST_E_INVALID_ARG;
    return ust::copyOut(dirnameOf(path), buffer, size);
}

ustResult ustGetBasename(const char *path, char *buffer, size_t size) {
    if (!path) return UST_E_INVALID_ARG;
    return ust::copyOut(basenameOf(path), buffer, size);
}

ustResult ustAppendToPath(const char *directory, const char *component, char *buffer, size_t size) {
    if (!directory || !component) return UST_E_INVALID_ARG;
    std::string_view dir(directory), comp(component);
    const bool slash = !dir.empty() && dir.back() != '/' && !comp.empty();
    const size_t length = dir.size() + slash + comp.size();
    if (!buffer) return UST_E_INVALID_ARG;
    if (length + 1 > size) {
        if (size > 0) buffer[0] = '\0';
        return UST_E_BUFFER_TOO_SMALL;
    }
    // memmove: a caller may pass a directory already held in the buffer.
    std::memmove(buffer, dir.data(), dir.size());
    std::memmove(buffer + dir.size() + slash, comp.data(), comp.size());
    if (slash) buffer[dir.size()] = '/';
    buffer[length] = '\0';
    return 0;
}

ustResult ustGetAbsolutePath(const char *path, char *buffer, size_t size) {
    if (!path || !*path || !buffer) return UST_E_INVALID_ARG;
    if (path[0] == '/') return ust::copyOut(path, buffer, size);
    char folder[PATH_MAX];
    if (!getcwd(folder, sizeof folder)) return ust::fromErrno(errno);
    std::string_view rest(path);
    while (rest.starts_with("./")) {
        rest.remove_prefix(2);
        while (rest.starts_with('/')) rest.remove_prefix(1);
    }
    if (rest.empty() || rest == ".") return ust::copyOut(folder, buffer, size);
    return ustAppendToPath(folder, rest.data(), buffer, size);  // a suffix of path: terminated
}
