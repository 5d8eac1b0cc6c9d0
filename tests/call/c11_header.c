// SPDX-License-Identifier: Apache-2.0
// kiv_call.h compiles as strict C11.
#include <kiv_call.h>

const kcallValue emptyValue = {0, 0, {0}};
