// Process-wide state of the registry database.
#include "core/runtime.h"

namespace kiv::regdb {

void setUpProcess() {}

}  // namespace kiv::regdb
