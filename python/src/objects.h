// SPDX-License-Identifier: Apache-2.0
// Objects through the dynamic call library (objects.cpp).
#pragma once

#include "kivpy.h"

namespace kivpy {

void bindObjects(py::module_ &m);
// The text of any result code, the dynamic call library's own codes included.
const char *callErrorText(kivResult code);

}  // namespace kivpy
