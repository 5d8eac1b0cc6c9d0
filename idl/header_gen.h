// SPDX-License-Identifier: Apache-2.0
// C and C++ headers generated from the definitions of a type library.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "kiv.h"

namespace kivtool {

enum class HeaderLang { C, Cxx };

// Writes a self-contained header for the named definitions (every definition reachable from the
// root when repoIds is empty) to out, guarded by the macro guardName; on failure returns false
// with a one-line message in error. Reads the library through the public interface only.
bool generateHeader(kivTLib *tlib, std::span<const std::string> repoIds, HeaderLang lang,
                    std::string_view guardName, std::string &out, std::string &error);

// An include-guard macro made from a file name: "out/demo-types.h" gives DEMO_TYPES_H.
std::string guardFromPath(std::string_view path);

// Writes the header of the library at `path` to the file `output` (replaced whole, never seen
// half written), or to stdout when `output` is null; messages name `command`. An exit status.
int emitHeader(const char *path, std::span<const std::string> repoIds, HeaderLang lang,
               const char *output, std::string_view command);

// Replaces the file `target` whole with `text`, through a scratch file of an unpredictable name
// beside it (created exclusively, never through a link) renamed over it; an existing file keeps
// its permissions. 0, or the errno of the failure.
int replaceFile(const std::string &target, std::string_view text);

// kiv tlib header LIB.tlb [REPOID...] [--lang c|c++] [-o OUT.h]; args[0] is "tlib".
int runTLibHeader(std::span<char *const> args);

}  // namespace kivtool
