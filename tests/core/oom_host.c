// SPDX-License-Identifier: Apache-2.0
/* A host that asks the library for more memory than the process may have; the test limits it
 * with a failing-malloc shim or the sanitizer's allocation limit. argv[1] names the request:
 *   list    a registry list value of one 3 MB text (the library's own C++ containers)
 *   strdup  kivStrDup of a 3 MB text (the C allocation functions)
 * Every request must end in kivFatal: "Fatal: ..." on stderr and exit status 1. Printing
 * "returned" means the library came back instead. */
#include <stdio.h>
#include <string.h>

#include "kiv.h"

static char big[3 << 20];

int main(int argc, char **argv) {
    if (argc != 2 || kivInitialize() != 0) return 2;
    memset(big, 'x', sizeof big - 1);
    if (strcmp(argv[1], "strdup") == 0) {
        kivFree(kivStrDup(big));
    } else if (strcmp(argv[1], "list") == 0) {
        void *object = NULL;
        if (kivCreateInstance(KIV_CLSID_REGISTRY, NULL, KIV_CLSCTX_INPROC, NULL, KIV_IID_IREGISTRY,
                              &object))
            return 3;
        IRegistry *reg = (IRegistry *)object;
        int32_t root = KIV_REG_NO_KEY;
        if (reg->vtbl->openUserRoot(reg, 0x60000, KIV_REG_ACCESS_SET, &root)) return 4;
        char *texts[1] = {big};
        RegistryValue value;
        memset(&value, 0, sizeof value);
        value.kind = KIV_REG_STRING_LIST;
        value.count = 1;
        value.strings = texts;
        printf("%#x\n", reg->vtbl->setValue(reg, root, "big", &value));
    } else {
        return 2;
    }
    puts("returned");
    return 0;
}
