// SPDX-License-Identifier: Apache-2.0
// The file-system call table of the stores, with counting and fault injection for tests.
#include "ust_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

int systemOpen(const char *path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int systemLockWrite(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int rc;
    while ((rc = fcntl(fd, F_OFD_SETLKW, &lock)) != 0 && errno == EINTR) {
    }
    return rc;
}

const ustFsTable kSystem{systemOpen, ::close, ::pread, ::pwrite, ::fsync,  ::ftruncate,
                         ::fchmod,   ::fstat, ::stat,  ::rename, ::unlink, systemLockWrite};

std::atomic<const ustFsTable *> current{&kSystem};
std::atomic<uint64_t> counts[UST_FS_CALL_KINDS + 1];

// The armed fault: `remaining` matching calls until it fires.
std::atomic<uint64_t> remaining{0};
std::atomic<int> faultErrno{0};
std::atomic<uint32_t> faultKinds{0};

// Counts a call of `kind`; true when an armed fault fails it (errno is set then).
bool failsNow(ustFsCall kind) {
    counts[kind].fetch_add(1, std::memory_order_relaxed);
    counts[UST_FS_CALL_KINDS].fetch_add(1, std::memory_order_relaxed);
    uint32_t kinds = faultKinds.load(std::memory_order_relaxed);
    if (kinds != 0 && !(kinds & (1u << kind))) return false;
    uint64_t left = remaining.load();
    while (left != 0)
        if (remaining.compare_exchange_weak(left, left - 1)) {
            if (left != 1) return false;
            errno = faultErrno.load();
            return true;
        }
    return false;
}

const ustFsTable &table() {
    return *current.load(std::memory_order_acquire);
}

}  // namespace

int ustFsOpen(const char *path, int flags, mode_t mode) {
    return failsNow(UST_FS_OPEN) ? -1 : table().open(path, flags, mode);
}

int ustFsClose(int fd) {
    if (failsNow(UST_FS_CLOSE)) {
        int err = errno;
        table().close(fd);
        errno = err;
        return -1;
    }
    return table().close(fd);
}

ssize_t ustFsRead(int fd, void *buffer, size_t size, off_t offset) {
    return failsNow(UST_FS_READ) ? -1 : table().pread(fd, buffer, size, offset);
}

ssize_t ustFsWrite(int fd, const void *buffer, size_t size, off_t offset) {
    return failsNow(UST_FS_WRITE) ? -1 : table().pwrite(fd, buffer, size, offset);
}

int ustFsSync(int fd) {
    return failsNow(UST_FS_SYNC) ? -1 : table().fsync(fd);
}

int ustFsTruncate(int fd, off_t size) {
    return failsNow(UST_FS_TRUNCATE) ? -1 : table().ftruncate(fd, size);
}

int ustFsChmod(int fd, mode_t mode) {
    return failsNow(UST_FS_CHMOD) ? -1 : table().fchmod(fd, mode);
}

int ustFsFstat(int fd, struct stat *info) {
    return failsNow(UST_FS_STAT) ? -1 : table().fstat(fd, info);
}

int ustFsStat(const char *path, struct stat *info) {
    return failsNow(UST_FS_STAT) ? -1 : table().stat(path, info);
}

int ustFsRename(const char *from, const char *to) {
    return failsNow(UST_FS_RENAME) ? -1 : table().rename(from, to);
}

int ustFsUnlink(const char *path) {
    return failsNow(UST_FS_UNLINK) ? -1 : table().unlink(path);
}

int ustFsLockWrite(int fd) {
    return failsNow(UST_FS_LOCK) ? -1 : table().lockWrite(fd);
}

const ustFsTable *ustFsGetTable(void) {
    return &table();
}

void ustFsSetTable(const ustFsTable *replacement) {
    current.store(replacement ? replacement : &kSystem, std::memory_order_release);
}

void ustFsInjectFault(uint64_t nth, int err, uint32_t kinds) {
    remaining.store(0);
    faultErrno.store(err);
    faultKinds.store(kinds);
    remaining.store(nth);
}

uint64_t ustFsCallCount(ustFsCall kind) {
    if (kind < 0 || kind > UST_FS_CALL_KINDS) return 0;
    return counts[kind].load(std::memory_order_relaxed);
}
