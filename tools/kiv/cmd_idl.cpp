// SPDX-License-Identifier: Apache-2.0
// kiv idl: compile IDL files into a type library.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "idl_build.h"
#include "kiv_call.h"

namespace kivtool {

namespace {

constexpr const char *kUsage =
    "idl: expected [-o LIB.tlb] [--base RELEASED.tlb] [-I DIR]... [-D NAME[=VALUE]]... "
    "[--import LIB.tlb]... [--error-limit N] [--skip-unstorable] [--header OUT.h [--lang c|c++]] "
    "[--register [--user]] FILE.idl...";

struct IdlOptions {
    std::string output;
    std::string header;  // also write this C or C++ header of the compiled library
    std::string lang;
    bool registerLibrary = false;  // record the library for dynamic calls once it is written
    bool userOnly = false;
    idl::CompileOptions compile;
    std::vector<std::string> files;
};

constexpr OptionSpec kOptions[] = {
    {"-o", true},
    {"-I", true, 0, true},
    {"-D", true, 0, true},
    {"--import", true, 0, true},
    {"--base", true},
    {"--header", true},
    {"--lang", true},
    {"--error-limit", true},
    {"--skip-unstorable"},
    {"--register"},
    {"--user"},
};

std::string nonEmpty(const Options &options, std::string_view name, std::string &problem) {
    const std::string value(options.value(name).value_or(""));
    if (options.has(name) && value.empty())
        problem = "idl: " + std::string(name) + " needs a value";
    return value;
}

// Fills `out`; an error message when the arguments are not usable.
std::string parse(Args args, IdlOptions &out) {
    std::string problem;
    const auto options = Options::parse(args, 1, kOptions, problem);
    if (!options) return "idl: " + problem;
    for (std::string_view dir : options->values("-I")) {
        if (dir.empty()) return "idl: -I needs a value";
        out.compile.preprocessor.includeDirs.emplace_back(dir);
    }
    for (std::string_view define : options->values("-D")) {
        const std::string_view name = define.substr(0, define.find('='));
        if (name.empty()) return "idl: -D needs a name";
        out.compile.preprocessor.defines.emplace_back(
            name, name.size() == define.size() ? "1" : define.substr(name.size() + 1));
    }
    for (std::string_view library : options->values("--import")) {
        if (library.empty()) return "idl: --import needs a value";
        out.compile.imports.emplace_back(library);
    }
    out.output = nonEmpty(*options, "-o", problem);
    out.compile.base = nonEmpty(*options, "--base", problem);
    out.header = nonEmpty(*options, "--header", problem);
    if (!problem.empty()) return problem;
    if (auto limit = options->value("--error-limit")) {
        auto n = parseCode(*limit);
        if (!n) return "idl: --error-limit takes a number, not '" + std::string(*limit) + "'";
        out.compile.errorLimit = *n;
    }
    out.compile.skipUnstorable = options->has("--skip-unstorable");
    out.registerLibrary = options->has("--register");
    out.userOnly = options->has("--user");
    if (out.userOnly && !out.registerLibrary) return "idl: --user goes with --register";
    if (auto lang = options->value("--lang")) {
        if (*lang != "c" && *lang != "c++") return "idl: --lang takes c or c++";
        if (out.header.empty()) return "idl: --lang goes with --header";
        out.lang = *lang;
    }
    for (std::string_view file : options->operands()) out.files.emplace_back(file);
    if (out.files.empty()) return kUsage;
    if (out.output.empty()) {
        const std::string &first = out.files.front();
        size_t slash = first.rfind('/');
        size_t dot = first.rfind('.');
        bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
        out.output = (hasExtension ? first.substr(0, dot) : first) + ".tlb";
    }
    return "";
}

}  // namespace

int runIdl(Args args) {
    IdlOptions options;
    if (std::string problem = parse(args, options); !problem.empty()) return usageError(problem);
    std::vector<idl::Input> inputs;
    for (const std::string &file : options.files) inputs.push_back({file, "", false});
    std::optional<idl::HeaderOutput> header;
    if (!options.header.empty())
        header = idl::HeaderOutput{options.header,
                                   options.lang == "c++" ? HeaderLang::Cxx : HeaderLang::C};
    idl::CompileResult result =
        idl::buildOutputs(options.output, header, inputs, options.compile, idl::diskReader());
    std::fflush(stdout);
    std::fputs(result.diagnostics.c_str(), stderr);
    if (result.errors) {
        std::fprintf(stderr, "%zu error%s; %s%s not written\n", result.errors,
                     result.errors == 1 ? "" : "s", options.output.c_str(),
                     header ? (" and " + header->path).c_str() : "");
        return kExitFailure;
    }
    if (options.registerLibrary) {
        const uint32_t flags = options.userOnly ? KIV_REGISTER_USER_ONLY : 0;
        if (kivResult rc = kcallRegisterLibrary(options.output.c_str(), flags); KIV_FAILED(rc))
            return failure("idl: register " + options.output, rc);
        std::printf("registered %s\n", options.output.c_str());
    }
    return kExitOk;
}

}  // namespace kivtool
