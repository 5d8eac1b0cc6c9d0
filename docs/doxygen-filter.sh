#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Doxygen input filter. The public headers are written for readers of the headers, in plain
# comments; this turns those into documentation comments (a file's opening comment into its
# \file text, a comment after a member into that member's) and keeps every line where it is,
# so that warnings point at the real line. Section rules ("/* ---- UUIDs ---- */") and the
# comments after #endif stay plain, and so do examples between ``` lines; "#include" in a
# comment is text, not a link.
exec sed -E \
    -e '1{/SPDX-License-Identifier/s/.*//}' \
    -e '0,/^\/\*$/s//\/** \\file/' \
    -e '/^\s*\*\s*```/,/^\s*\*\s*```/b' \
    -e '/^\s*(\/\*|\/\/) -{2,}/b' \
    -e '/^#\s*(endif|else)/b' \
    -e 's#^(\s*)/\*( |$)#\1/**\2#' \
    -e 's#^(\s*)// #\1/// #' \
    -e 's#(\S)\s+/\* #\1 /**< #' \
    -e 's#(\S)\s+// #\1 ///< #' \
    -e '/^\s*#/!s/([ (])#([a-z])/\1\\#\2/g' \
    "$1"
