// SPDX-License-Identifier: Apache-2.0
// The IDL compiler in passes: the preprocessor and lexer give each file's tokens, the parser
// reads them into a syntax tree (idl_definitions), the checker walks the tree of every file
// in turn, and the emitter creates the definitions through the public creating calls
// (idl_analyzer).
#include "idl_compiler.h"

#include "idl_analyzer.h"
#include "idl_parser.h"

namespace kivtool::idl {

CompileResult compileInto(kivTLib *tlib, const std::string &libraryName, uint32_t nextLocalId,
                          const std::vector<Input> &inputs, const CompileOptions &options,
                          FileReader reader) {
    SourceSet sources(std::move(reader));
    Diagnostics diags(sources, options.errorLimit);
    Preprocessor pp(sources, diags, options.preprocessor);
    TokenStream tokens(pp, diags);
    Analysis analysis(tlib, libraryName, nextLocalId, options, diags);
    try {
        analysis.start();
        for (const Input &input : inputs) {
            bool opened =
                input.inMemory ? pp.openText(input.name, input.text) : pp.open(input.name);
            if (!opened) {
                std::string why = pp.failure();
                diags.error(input.name, "cannot read the file" + (why.empty() ? "" : ": " + why));
                continue;
            }
            tokens.clear();
            analysis.check(parseDefinitions(tokens, options.skipUnstorable));
        }
        analysis.emit();
    } catch (const Abort &) {
    }
    return analysis.finish();
}

}  // namespace kivtool::idl
