// Process-wide state of the component model.
#include "core/runtime.h"

namespace kiv::com {

void setUpProcess() {}

}  // namespace kiv::com
