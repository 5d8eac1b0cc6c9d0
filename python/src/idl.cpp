// SPDX-License-Identifier: Apache-2.0
// IDL compilation for kiv.idl.compile: the compiler of the kiv tool, all or nothing, with its
// diagnostics handed back as text for the package to parse.
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "idl_compiler.h"
#include "idl_source.h"
#include "kivpy.h"

namespace kivpy {
namespace {

// files: paths to read; sources: (name, text) pairs compiled from memory, after the files.
// Returns (error count, whether the library changed, diagnostics text).
py::tuple compile(const std::string &output, const std::vector<std::string> &files,
                  const std::vector<std::pair<std::string, std::string>> &sources,
                  const std::vector<std::string> &includeDirs,
                  const std::vector<std::pair<std::string, std::string>> &defines,
                  const std::vector<std::string> &imports, size_t errorLimit) {
    std::vector<kivtool::idl::Input> inputs;
    for (const auto &file : files) inputs.push_back({file, {}, false});
    for (const auto &[name, text] : sources) inputs.push_back({name, text, true});
    kivtool::idl::CompileOptions options;
    options.preprocessor.includeDirs = includeDirs;
    options.preprocessor.defines = defines;
    options.imports = imports;
    options.errorLimit = errorLimit;
    kivtool::idl::CompileResult result;
    {
        py::gil_scoped_release unlocked;
        result = kivtool::idl::compileLibrary(output, inputs, options, kivtool::idl::diskReader());
    }
    return py::make_tuple(result.errors, result.changed, result.diagnostics);
}

}  // namespace

void bindIdl(py::module_ &m) {
    m.def("idl_compile", compile);
}

}  // namespace kivpy
