// SPDX-License-Identifier: Apache-2.0
// The whole `kiv idl` command: outputs built in a private scratch folder, then renamed into place.
#include "idl_build.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tlib_library.h"

namespace kivtool::idl {

namespace {

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder beside the outputs with a name nobody can guess, readable by its owner only: nobody
// else can plant a file or a symbolic link where the outputs are built. Removed with whatever
// is left in it. On the same file system as the outputs, so a rename moves them into place.
class ScratchFolder {
  public:
    explicit ScratchFolder(const std::string &beside) {
        std::string pattern = beside + "/.kiv-idl-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchFolder() {
        if (path_.empty()) return;
        if (DIR *dir = opendir(path_.c_str())) {
            while (dirent *entry = readdir(dir))
                if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, ".."))
                    unlinkat(dirfd(dir), entry->d_name, 0);
            closedir(dir);
        }
        rmdir(path_.c_str());
    }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    bool made() const { return !path_.empty(); }
    std::string file(const char *name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failing close is seen.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Creates `path` (which must not exist, nor be a link) holding `bytes`; an errno on failure.
int writeNewFile(const std::string &path, std::string_view bytes) {
    FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) return errno;
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    if (fsync(fd.get()) != 0) return errno;
    return fd.close() ? 0 : errno;
}

// The bytes of a regular file; never blocks on a FIFO or a device.
int readRegularFile(const std::string &path, std::string *out) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    out->clear();
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        out->append(buffer, static_cast<size_t>(n));
    }
}

// Gives the new file `made` the mode of the file it replaces, when that is a regular file;
// group access only when the group could be kept too.
int keepMode(const std::string &made, const std::string &replaced) {
    struct stat old;
    if (lstat(replaced.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return 0;
    mode_t mode = old.st_mode & 07777;
    struct stat now;
    if (chown(made.c_str(), static_cast<uid_t>(-1), old.st_gid) != 0 &&
        (stat(made.c_str(), &now) != 0 || now.st_gid != old.st_gid))
        mode &= ~mode_t{070};
    return chmod(made.c_str(), mode) == 0 ? 0 : errno;
}

struct TLibCloser {
    void operator()(kivTLib *t) const { kivTLibClose(t); }
};
using TLibHandle = std::unique_ptr<kivTLib, TLibCloser>;

class Build {
  public:
    Build(const std::string &output, const std::optional<HeaderOutput> &header)
        : output_(output), header_(header), scratch_(directoryOf(output)) {}

    CompileResult run(const std::vector<Input> &inputs, const CompileOptions &options,
                      FileReader reader) {
        if (!scratch_.made())
            return failed(output_, "cannot create a scratch folder beside it: " + errnoText());
        std::string library = scratch_.file("library.tlb");
        TLibHandle tlib;
        uint32_t nextLocalId = 1;
        std::string shownAs = output_;
        if (!options.base.empty()) {
            shownAs = options.base;
            if (!copyBase(options.base, library, &nextLocalId)) return result_;
            kivTLib *opened = nullptr;
            if (kivResult rc = kivTLibOpen(library.c_str(), 0, &opened))
                return failed(options.base,
                              std::string("cannot open the base library: ") + kivStrError(rc));
            tlib.reset(opened);
        } else {
            kivTLib *created = nullptr;
            if (kivResult rc = kivTLibCreate(library.c_str(), 0, &created))
                return failed(output_,
                              std::string("cannot create the library: ") + kivStrError(rc));
            tlib.reset(created);
        }
        result_ = compileInto(tlib.get(), shownAs, nextLocalId, inputs, options, std::move(reader));
        if (result_.errors) return result_;
        if (kivResult rc = kivTLibFlush(tlib.get()))
            return failed(output_, std::string("cannot write the library: ") + kivStrError(rc));
        tlib.reset();
        std::string headerFile;
        if (header_) {
            headerFile = scratch_.file("header");
            if (!writeHeader(library, headerFile)) return result_;
        }
        if (!put(library, output_)) return result_;
        if (header_) put(headerFile, header_->path);
        return result_;
    }

  private:
    CompileResult &failed(const std::string &where, const std::string &message) {
        result_.errors++;
        result_.diagnostics += where + ": error: " + message + "\n";
        return result_;
    }
    static std::string errnoText(int err = errno) { return std::strerror(err); }

    bool copyBase(const std::string &base, const std::string &copy, uint32_t *nextLocalId) {
        std::string bytes;
        if (int err = readRegularFile(base, &bytes)) {
            failed(base, "cannot read the base library: " +
                             (err == EINVAL ? std::string("not a regular file") : errnoText(err)));
            return false;
        }
        if (int err = writeNewFile(copy, bytes)) {
            failed(output_, "cannot copy the base library beside it: " + errnoText(err));
            return false;
        }
        std::unique_ptr<Library> peek;
        if (kivResult rc = Library::open(copy, &peek)) {
            failed(base, "cannot open the base library: " + whyNotOpened(base, rc));
            return false;
        }
        if (kivResult rc = peek->nextLocalId(nextLocalId)) {
            failed(base, std::string("cannot read the local id counter: ") + kivStrError(rc));
            return false;
        }
        return true;
    }

    bool writeHeader(const std::string &library, const std::string &file) {
        std::unique_ptr<Library> compiled;
        if (kivResult rc = Library::open(library, &compiled)) {
            failed(output_, std::string("cannot read the compiled library: ") + kivStrError(rc));
            return false;
        }
        std::string text, why;
        if (!generateHeader(compiled->handle(), {}, header_->lang, guardFromPath(header_->path),
                            text, why)) {
            failed(header_->path, "cannot generate the header: " + why);
            return false;
        }
        if (int err = writeNewFile(file, text)) {
            failed(header_->path, "cannot write the header: " + errnoText(err));
            return false;
        }
        return true;
    }

    bool put(const std::string &made, const std::string &target) {
        if (int err = keepMode(made, target)) {
            failed(target, "cannot set the mode of the new file: " + errnoText(err));
            return false;
        }
        if (std::rename(made.c_str(), target.c_str()) != 0) {
            failed(target, "cannot replace the file: " + errnoText());
            return false;
        }
        return true;
    }

    std::string output_;
    const std::optional<HeaderOutput> &header_;
    ScratchFolder scratch_;
    CompileResult result_;
};

}  // namespace

CompileResult buildOutputs(const std::string &output, const std::optional<HeaderOutput> &header,
                           const std::vector<Input> &inputs, const CompileOptions &options,
                           FileReader reader) {
    return Build(output, header).run(inputs, options, std::move(reader));
}

CompileResult compileLibrary(const std::string &output, const std::vector<Input> &inputs,
                             const CompileOptions &options, FileReader reader) {
    return buildOutputs(output, std::nullopt, inputs, options, std::move(reader));
}

}  // namespace kivtool::idl
