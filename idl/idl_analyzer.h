// SPDX-License-Identifier: Apache-2.0
// The IDL compiler's checker and emitter passes over the syntax tree of each file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "idl_ast.h"
#include "idl_compiler.h"

namespace kivtool::idl {

class Analyzer;

// One compile into an open, writable library: every file checked in turn, then the
// definitions created. Each step throws Abort once the error limit is reached.
class Analysis {
  public:
    Analysis(kivTLib *tlib, const std::string &libraryName, uint32_t nextLocalId,
             const CompileOptions &options, Diagnostics &diags);
    ~Analysis();
    Analysis(const Analysis &) = delete;
    Analysis &operator=(const Analysis &) = delete;

    // Reads what the library and the imported libraries define already.
    void start();
    // The checker pass over one file: its `#pragma version` and `#pragma ID` first (they may
    // follow what they name), then names declared and looked up, types and values resolved,
    // declarations checked, and the creating calls planned.
    void check(const std::vector<Decl> &file);
    // The emitter pass: the planned creating calls, and the root module when none is left.
    void emit();
    // The diagnostics and the outcome; the imported libraries stay open until destruction.
    CompileResult finish();

  private:
    std::unique_ptr<Analyzer> analyzer_;
};

}  // namespace kivtool::idl
