// SPDX-License-Identifier: Apache-2.0
// The whole `kiv idl` command: a type library (and optionally its header) from IDL sources,
// written all or nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "header_gen.h"
#include "idl_compiler.h"

namespace kivtool::idl {

struct HeaderOutput {
    std::string path;
    HeaderLang lang = HeaderLang::C;
};

// Compiles `inputs` into a library at `output` that holds exactly what they define, or, with
// `options.base`, what the base library holds plus what they define (checked against the
// base). With `header`, also writes the library's header. All or nothing: every output is
// built in a private scratch folder beside `output` and renamed into place only when all of
// them succeeded; a file that is replaced keeps its mode.
CompileResult buildOutputs(const std::string &output, const std::optional<HeaderOutput> &header,
                           const std::vector<Input> &inputs, const CompileOptions &options,
                           FileReader reader);

}  // namespace kivtool::idl
