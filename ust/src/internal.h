// SPDX-License-Identifier: Apache-2.0
// Shared between the runtime layer's own sources; not part of its interface.
#pragma once

#include <cstddef>
#include <string_view>

#include "ust.h"

namespace ust {

// The loader's message for the calling thread's last failed ustOpenDSO, or "". Kept in
// per-thread storage that is never released (safe during thread exit), cut to its size.
const char *lastDsoError();
void setLastDsoError(const char *message);

// Copies text into a caller buffer of `size` bytes with its NUL, or reports it too small.
ustResult copyOut(std::string_view text, char *buffer, size_t size);

// Maps an errno value from a file operation to a result code.
ustResult fromErrno(int err);

}  // namespace ust
