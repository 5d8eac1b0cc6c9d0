// SPDX-License-Identifier: Apache-2.0
// Prepared calls (invoke.cpp) and the dynamic objects' tables (object.cpp).
#pragma once

#include "model.h"

namespace kcall {

// The cached method of a member; an attribute given KCALL_OPERATION is its getter.
kivResult prepareMethod(const Interface &iface, const kcallMember &member, uint32_t access,
                        const Method *&out);
// By IDL member name, or by slot name ("get_x", "set_x") with KCALL_OPERATION.
kivResult prepareByName(const Interface &iface, const char *name, uint32_t access,
                        const Method *&out);
kivResult invoke(const Method &m, void *object, kcallValue *args, uint32_t argCount,
                 kcallValue *result);

}  // namespace kcall
