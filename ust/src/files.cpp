// SPDX-License-Identifier: Apache-2.0
// File information, removal and message catalogues.
#include "internal.h"

#include <fcntl.h>
#include <libintl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace ust {

ustResult fromErrno(int err) {
    switch (err) {
        case ENOENT:
            return UST_E_NO_FILE;
        case ENOTDIR:
            return UST_E_NOT_DIRECTORY;
        case EACCES:
        case EPERM:
            return UST_E_ACCESS;
        case ENOMEM:
            return UST_SYSTEM_ERROR(ENOMEM);
        default:
            return UST_SYSTEM_ERROR(err);
    }
}

}  // namespace ust

ustResult ustGetFileInfo(const char *path, ustFileInfo *info) {
    if (!path || !info || info->version != UST_FILE_INFO_VERSION) return UST_E_INVALID_ARG;
    struct stat st;
    if (stat(path, &st) != 0) {
        // A missing component anywhere in the path means the file is not there.
        return errno == ENOTDIR ? UST_E_NO_FILE : ust::fromErrno(errno);
    }
    if (S_ISDIR(st.st_mode))
        info->kind = UST_FILE_DIRECTORY;
    else if (S_ISREG(st.st_mode))
        info->kind = UST_FILE_REGULAR;
    else
        info->kind = UST_FILE_OTHER;
    info->size = static_cast<uint64_t>(st.st_size);
    info->modifiedSeconds = static_cast<int64_t>(st.st_mtime);
    return 0;
}

ustResult ustRemoveFile(const char *path) {
    if (!path) return UST_E_INVALID_ARG;
    if (unlink(path) == 0) return 0;
    return errno == ENOENT ? UST_E_NO_FILE : UST_SYSTEM_ERROR(errno);
}

ustResult ustCheckAccess(const char *path, uint32_t mode) {
    if (!path || (mode & ~(UST_ACCESS_READ | UST_ACCESS_WRITE | UST_ACCESS_EXECUTE)))
        return UST_E_INVALID_ARG;
    // The effective ids decide, as they do when the file is then opened.
    if (faccessat(AT_FDCWD, path, static_cast<int>(mode), AT_EACCESS) == 0) return 0;
    return ust::fromErrno(errno);
}

ustResult ustGetUserHome(char *buffer, size_t size) {
    if (!buffer) return UST_E_INVALID_ARG;
    char entries[4096];
    passwd entry, *found = nullptr;
    int rc = getpwuid_r(geteuid(), &entry, entries, sizeof entries, &found);
    if (rc != 0) return ust::fromErrno(rc);
    if (!found || !found->pw_dir || !*found->pw_dir) {
        if (size > 0) buffer[0] = '\0';
        return UST_E_NOT_FOUND;
    }
    return ust::copyOut(found->pw_dir, buffer, size);
}

ustResult ustBindTextDomain(const char *domain, const char *directory) {
    if (!domain || !*domain || !directory) return UST_E_INVALID_ARG;
    if (!bindtextdomain(domain, directory)) return UST_SYSTEM_ERROR(errno);
    return 0;
}
