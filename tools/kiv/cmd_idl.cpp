// SPDX-License-Identifier: Apache-2.0
// kiv idl: compile IDL files into a type library.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "idl_build.h"

namespace kivtool {

namespace {

constexpr const char *kUsage =
    "idl: expected [-o LIB.tlb] [--base RELEASED.tlb] [-I DIR]... [-D NAME[=VALUE]]... "
    "[--import LIB.tlb]... [--error-limit N] [--skip-unstorable] [--header OUT.h [--lang c|c++]] "
    "FILE.idl...";

struct IdlOptions {
    std::string output;
    std::string header;  // also write this C or C++ header of the compiled library
    std::string lang;
    idl::CompileOptions compile;
    std::vector<std::string> files;
};

// Options that take a value, written "-o X", "-oX" (short ones) or "--opt X", "--opt=X".
struct ValueOption {
    const char *name;
    bool (*apply)(IdlOptions &, const std::string &);
};

const ValueOption kValueOptions[] = {
    {"-o",
     [](IdlOptions &o, const std::string &v) {
         o.output = v;
         return !v.empty();
     }},
    {"-I",
     [](IdlOptions &o, const std::string &v) {
         o.compile.preprocessor.includeDirs.push_back(v);
         return !v.empty();
     }},
    {"-D",
     [](IdlOptions &o, const std::string &v) {
         size_t eq = v.find('=');
         std::string name = v.substr(0, eq);
         o.compile.preprocessor.defines.emplace_back(
             name, eq == std::string::npos ? "1" : v.substr(eq + 1));
         return !name.empty();
     }},
    {"--import",
     [](IdlOptions &o, const std::string &v) {
         o.compile.imports.push_back(v);
         return !v.empty();
     }},
    {"--base",
     [](IdlOptions &o, const std::string &v) {
         o.compile.base = v;
         return !v.empty();
     }},
    {"--header",
     [](IdlOptions &o, const std::string &v) {
         o.header = v;
         return !v.empty();
     }},
    {"--lang",
     [](IdlOptions &o, const std::string &v) {
         o.lang = v;
         return v == "c" || v == "c++";
     }},
    {"--error-limit",
     [](IdlOptions &o, const std::string &v) {
         auto n = parseCode(v);
         if (!n) return false;
         o.compile.errorLimit = *n;
         return true;
     }},
};

// Fills `out`; an error message when the arguments are not usable.
std::string parse(Args args, IdlOptions &out) {
    for (size_t i = 1; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--") {
            for (++i; i < args.size(); ++i) out.files.emplace_back(args[i]);
            break;
        }
        if (arg == "--skip-unstorable") {
            out.compile.skipUnstorable = true;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            out.files.push_back(arg);
            continue;
        }
        const ValueOption *option = nullptr;
        std::string value;
        bool hasValue = false;
        for (const ValueOption &o : kValueOptions) {
            std::string name = o.name;
            bool shortOption = name.size() == 2;
            if (arg == name) {
                option = &o;
            } else if (shortOption && arg.starts_with(name)) {
                option = &o;
                value = arg.substr(2);
                hasValue = true;
            } else if (!shortOption && arg.starts_with(name + "=")) {
                option = &o;
                value = arg.substr(name.size() + 1);
                hasValue = true;
            }
            if (option) break;
        }
        if (!option) return "idl: unknown option " + arg;
        if (!hasValue) {
            if (i + 1 >= args.size()) return "idl: " + arg + " needs a value";
            value = args[++i];
        }
        if (!option->apply(out, value)) return "idl: bad value for " + std::string(option->name);
    }
    if (out.files.empty()) return kUsage;
    if (!out.lang.empty() && out.header.empty()) return "idl: --lang goes with --header";
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
    return kExitOk;
}

}  // namespace kivtool
