// Process-wide state of the registry database.
#include "core/runtime.h"
#include "regdb/regdb.h"

namespace kiv::regdb {

void setUpProcess() {}

// Until the registry component exists no factory is offered.
kivResult factoryEntry(const char *, const char *, void **out) {
    if (out) *out = nullptr;
    return KIV_E_FAIL;
}

}  // namespace kiv::regdb
