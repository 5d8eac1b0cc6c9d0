// SPDX-License-Identifier: Apache-2.0
// Process-wide state of the component model.
#include <new>

#include "com/classes.h"
#include "core/runtime.h"
#include "regdb/regdb.h"

namespace kiv::com {

namespace {
Components *processWide = nullptr;
}

Components *processComponents() {
    return processWide;
}

void setUpProcess() {
    // Made once and never destroyed: loaded plug-ins and the objects they handed out may be
    // in use until the process ends.
    if (processWide) return;
    processWide = new (std::nothrow) Components(kiv::regdb::factoryEntry);
    if (!processWide) kivFatal(KIV_E_OUT_OF_MEMORY, "component model");
}

}  // namespace kiv::com
