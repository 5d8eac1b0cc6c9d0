// SPDX-License-Identifier: Apache-2.0
// IDL text into the compiler: no crash, leak or hang; what compiles prints as IDL that
// compiles again.
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "idl_compiler.h"
#include "idl_printer.h"

namespace {

std::string scratch(const char *name) {
    return "/dev/shm/kiv-idl-fuzz-" + std::to_string(getpid()) + "-" + name;
}

// Includes resolve to a small fixed file, so that the include paths are exercised too.
std::optional<std::string> reader(const std::string &path) {
    if (path.find("inc.idl") != std::string::npos)
        return std::string("#pragma once\nstruct Inc { long x; };\n");
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kivtool::idl;
    if (size > 20000) return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string first = scratch("a.tlb"), second = scratch("b.tlb");
    std::remove(first.c_str());
    CompileOptions options;
    options.preprocessor.includeDirs = {"inc"};
    options.skipUnstorable = size % 2 == 0;  // both ways of meeting exceptions and oneway
    CompileResult r = compileLibrary(first, {{"fuzz.idl", text, true}}, options, reader);
    if (r.errors == 0) {
        std::unique_ptr<kivtool::Library> library;
        if (kivtool::Library::open(first, &library) == 0) {
            std::string dumped = printLibrary(*library);
            std::remove(second.c_str());
            CompileResult again = compileLibrary(second, {{"dump.idl", dumped, true}}, {}, reader);
            if (again.errors) {
                std::fprintf(stderr, "the dump does not compile:\n%s\n%s",
                             again.diagnostics.c_str(), dumped.c_str());
                __builtin_trap();
            }
        }
    }
    std::remove(first.c_str());
    std::remove(second.c_str());
    return 0;
}
