// SPDX-License-Identifier: Apache-2.0
// kiv tlib header: the C or C++ header of a type library's definitions.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "header_gen.h"
#include "tlib_library.h"

namespace kivtool {

// kiv tlib header LIB.tlb [REPOID...] [--lang c|c++] [-o OUT.h]
int runTLibHeader(Args args) {
    const char *path = nullptr, *output = nullptr;
    HeaderLang lang = HeaderLang::C;
    std::vector<std::string> ids;
    for (size_t i = 2; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if ((arg == "--lang" || arg == "-o") && i + 1 == args.size())
            return usageError("tlib header: " + std::string(arg) + " needs a value");
        if (arg == "--lang") {
            std::string_view value = args[++i];
            if (value != "c" && value != "c++")
                return usageError("tlib header: --lang takes c or c++");
            lang = value == "c" ? HeaderLang::C : HeaderLang::Cxx;
        } else if (arg == "-o") {
            output = args[++i];
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return usageError("tlib header: unknown option " + std::string(arg));
        } else if (!path) {
            path = args[i];
        } else {
            ids.emplace_back(arg);
        }
    }
    if (!path)
        return usageError("tlib header: expected LIB.tlb [REPOID...] [--lang c|c++] [-o OUT.h]");
    return emitHeader(path, ids, lang, output, "tlib header");
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
    // Written next to the target and renamed over it, so a build never sees half a header.
    std::string temporary = std::string(output) + ".tmp";
    FILE *file = std::fopen(temporary.c_str(), "wb");
    bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file && std::fclose(file) != 0) written = false;
    if (!written || std::rename(temporary.c_str(), output) != 0) {
        std::fprintf(stderr, "kiv: %s: %s: %s\n", who.c_str(), output, std::strerror(errno));
        std::remove(temporary.c_str());
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace kivtool
