// SPDX-License-Identifier: Apache-2.0
// Result code texts and the per-thread explanation of the last failure.
#include <string>

#include "model.h"

namespace kcall {

namespace {
thread_local std::string lastError;
}

kivResult fail(kivResult code, std::string detail) {
    lastError = std::move(detail);
    return code;
}

void clearLastError() {
    if (!lastError.empty()) lastError.clear();
}

}  // namespace kcall

KIV_API const char *kcallStrError(kivResult code) noexcept {
    switch (code) {
        case KCALL_E_KIND:
            return "Value of the wrong kind for its type";
        case KCALL_E_RANGE:
            return "Number out of range for its type";
        case KCALL_E_BOUND:
            return "String or sequence over its bound, or array of the wrong length";
        case KCALL_E_UNION_CASE:
            return "No union case for the discriminator";
        case KCALL_E_ARITY:
            return "Wrong number of arguments";
        case KCALL_E_NO_MEMBER:
            return "No such member in the interface";
        case KCALL_E_LAYOUT:
            return "Type cannot be laid out in memory";
        case KCALL_E_SYNTAX:
            return "Text is not a value of the type";
        case KCALL_E_ENCODING:
            return "Invalid UTF-8 or UTF-16 text";
        default:
            return kivStrError(code);
    }
}

KIV_API const char *kcallLastError(void) noexcept {
    return kcall::lastError.c_str();
}
