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
