// SPDX-License-Identifier: Apache-2.0
// A plug-in that never gets as far as its entry point: its constructor aborts, or with
// RUDE_EXIT ends the process, as a broken plug-in might while loading.
#include <stdlib.h>

#include "kiv.h"

__attribute__((constructor)) static void misbehave(void) {
#ifdef RUDE_EXIT
    exit(3);
#else
    abort();
#endif
}

KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out) {
    (void)clsid;
    (void)iid;
    *out = NULL;
    return KIV_E_NO_FACTORY;
}
