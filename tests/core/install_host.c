/* A host program built against an installed kiv, through pkg-config or find_package. */
#include <stdio.h>
#include <string.h>

#include <kiv.h>

int main(void) {
    kivResult rc = kivInitialize();
    if (rc != 0) {
        fprintf(stderr, "kivInitialize: %s\n", kivStrError(rc));
        return 1;
    }
    char *copy = kivStrDup("installed");
    int ok = strcmp(copy, "installed") == 0 &&
             strcmp(kivStrError(KIV_E_FORMAT), "Type library format error") == 0;
    kivFree(copy);
    puts(ok ? "host ok" : "host failed");
    return ok ? 0 : 1;
}
