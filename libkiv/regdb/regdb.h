// SPDX-License-Identifier: Apache-2.0
// The registry database as the rest of the library reaches it.
#pragma once

#include "kiv_com.h"

namespace kiv::regdb {

// Factory entry of the built-in registry class, used in place of a plug-in's
// dsoGetObjectFactory: stores null in *out; a class id other than KIV_CLSID_REGISTRY gives
// KIV_E_FAIL; otherwise creates the one factory object on first use and returns its
// queryInterface for iid.
kivResult factoryEntry(const char *clsid, const char *iid, void **out);

}  // namespace kiv::regdb
