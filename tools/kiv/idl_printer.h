// A type library as readable IDL, for `kiv tlib dump`.
//
// Definitions print in the order of their scope's contents, nested ones inside their scope.
// References print as scoped names (Demo::Point); anonymous types print where they are used
// (string<32>, sequence<long, 10>, arrays as dimensions after the declarator). A definition
// whose repository id is not the one IDL derives from its scoped name (IDL:Demo/Point:1.0) is
// followed by `#pragma ID`. Caller flags are shown as comments. The output depends only on
// the library's contents.
#pragma once

#include <string>

#include "tlib_library.h"

namespace kivtool::idl {

// The whole library: the contents of the root module, then a comment listing the anonymous
// types with their ids.
std::string printLibrary(const Library &library);

// One definition and what it contains (for the anonymous-types scope, the list of anonymous
// types; for the root module, everything in it).
std::string printDefinition(const Library &library, const kivTLibDef *def);

}  // namespace kivtool::idl
