// SPDX-License-Identifier: Apache-2.0
// The IDL compiler: IDL text into a type library through the library's public creating calls.
#pragma once

#include <string>
#include <vector>

#include "idl_lexer.h"
#include "kiv.h"

namespace kivtool::idl {

struct CompileOptions {
    PreprocessorOptions preprocessor;
    std::vector<std::string> imports;  // libraries whose definitions may be referenced
    // A released library to grow: the output starts as its copy, and what the sources define
    // again must match it. Empty: the output holds exactly what the sources define.
    std::string base;
    // Leave out exception definitions, `raises` clauses and `oneway` (which change no table
    // layout) with a warning each, instead of refusing them.
    bool skipUnstorable = false;
    size_t errorLimit = 20;  // 0: no limit
};

// An input: a file to read, or (for tests and the fuzzer) a name with its text.
struct Input {
    std::string name;
    std::string text;
    bool inMemory = false;
};

struct CompileResult {
    size_t errors = 0;
    bool changed = false;     // some definition was created or completed
    std::string diagnostics;  // "FILE:LINE:COL: error: ..." with excerpts
};

// Compiles `inputs` (as one unit) into the open, writable `tlib`, which is shown in messages
// as `libraryName` and whose local id counter stands at `nextLocalId`. Creates the root module
// when the library has none. Does not flush: on errors the caller drops the handle's changes.
CompileResult compileInto(kivTLib *tlib, const std::string &libraryName, uint32_t nextLocalId,
                          const std::vector<Input> &inputs, const CompileOptions &options,
                          FileReader reader);

// Compiles into a new library at `output` (see buildOutputs in idl_build.h), all or nothing:
// on any error the file is left as it was.
CompileResult compileLibrary(const std::string &output, const std::vector<Input> &inputs,
                             const CompileOptions &options, FileReader reader);

}  // namespace kivtool::idl
