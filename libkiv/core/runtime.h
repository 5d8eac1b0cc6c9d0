// SPDX-License-Identifier: Apache-2.0
// Process-wide runtime state shared by the subsystems; not part of the public interface.
#pragma once

#include "kiv_base.h"

extern "C" {
// The installation root directory found by kivInitialize, or null. Owned by the library.
const char *kivGetRootDir(void);
}

namespace kiv {

// Process-wide set-up steps that kivInitialize runs, in this order, once the runtime layer is
// initialised. Each belongs to its subsystem.
namespace regdb {
void setUpProcess();  // the registry database's process-wide lock
}
namespace com {
void setUpProcess();  // the component model's class lock and tables
}

}  // namespace kiv
