// SPDX-License-Identifier: Apache-2.0
// A type library as IDL, for `kiv tlib dump`, that `kiv idl` reads back into the same library.
//
// The text reproduces every stored record: definitions come in the order of their scopes'
// contents (modules are reopened where an interface must wait for its base), repository ids
// that the default rule would not give are written with @id, caller flags with @flags, and
// references print as scoped names only where the compiler resolves them to the same
// definition (else as `struct "ID"` and the like). Anonymous types print where they are used
// when the compiler, numbering them in order of creation, would give them the same local ids;
// otherwise they are listed first as `anonymous "ID" TYPE;` and referenced by id. The walk is
// iterative and the indentation capped, so any library, damaged ones included, prints in
// bounded stack and space.
#pragma once

#include <string>

#include "tlib_library.h"

namespace kivtool::idl {

// The whole library.
std::string printLibrary(const Library &library);

// One definition and what it contains, for reading (for the anonymous-types scope, the list
// of anonymous types; for the root module, the whole library).
std::string printDefinition(const Library &library, const kivTLibDef *def);

}  // namespace kivtool::idl
