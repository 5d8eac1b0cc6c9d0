// SPDX-License-Identifier: Apache-2.0
// kiv tlib header: the C or C++ header of a type library's definitions.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "header_gen.h"
#include "tlib_library.h"

namespace kivtool {

namespace {

// A new file beside `target` under a name nobody can guess, created exclusively and never
// through a link planted there; its descriptor, or -1 with errno set.
int createScratch(const std::string &target, std::string *scratch) {
    size_t slash = target.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint64_t random = 0;
        if (getrandom(&random, sizeof random, 0) != sizeof random) return -1;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016" PRIx64, random);
        *scratch = (slash == std::string::npos ? "" : dir) + "." + base + suffix;
        int fd =
            ::open(scratch->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

// Replaces `target` whole with `text`: a reader sees the old file or the new one, never half of
// one, and an existing file keeps its permissions. 0, or the errno of the failure.
int replaceFile(const std::string &target, std::string_view text) {
    std::string scratch;
    int fd = createScratch(target, &scratch);
    if (fd < 0) return errno;
    struct stat old;
    bool ok = (::stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode) ||
               ::fchmod(fd, old.st_mode & 07777) == 0) &&
              writeAll(fd, text);
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(scratch.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(scratch.c_str());
    return error;
}

// kiv tlib header LIB.tlb [REPOID...] [--lang c|c++] [-o OUT.h]
int runTLibHeader(Args args) {
    static constexpr OptionSpec kOptions[] = {{"--lang", true}, {"-o", true, 0, false, "--output"}};
    std::string error;
    const auto options = Options::parse(args, 2, kOptions, error);
    if (!options) return usageError("tlib header: " + error);
    const auto &operands = options->operands();
    if (operands.empty())
        return usageError("tlib header: expected LIB.tlb [REPOID...] [--lang c|c++] [-o OUT.h]");
    const std::string_view lang = options->value("--lang").value_or("c");
    if (lang != "c" && lang != "c++") return usageError("tlib header: --lang takes c or c++");
    const std::string path(operands[0]);
    const std::vector<std::string> ids(operands.begin() + 1, operands.end());
    const auto output = options->value("-o");
    const std::string outputPath(output.value_or(""));
    return emitHeader(path.c_str(), ids, lang == "c" ? HeaderLang::C : HeaderLang::Cxx,
                      output ? outputPath.c_str() : nullptr, "tlib header");
}

int emitHeader(const char *path, std::span<const std::string> ids, HeaderLang lang,
               const char *output, std::string_view command) {
    const std::string who(command);
    std::unique_ptr<Library> library;
    if (kivResult rc = Library::open(path, &library)) return failure(who + ": " + path, rc);
    std::string guardSource =
        output ? output : std::string(path) + (lang == HeaderLang::C ? ".h" : ".hpp");
    std::string text, error;
    if (!generateHeader(library->handle(), ids, lang, guardFromPath(guardSource), text, error)) {
        std::fprintf(stderr, "kiv: %s: %s\n", who.c_str(), error.c_str());
        return kExitFailure;
    }
    if (!output) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return kExitOk;
    }
    if (int error = replaceFile(output, text)) {
        std::fprintf(stderr, "kiv: %s: %s: %s\n", who.c_str(), output, std::strerror(error));
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace kivtool
