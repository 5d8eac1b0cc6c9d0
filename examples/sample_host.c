/*
 * The sample host: registers the greeter plug-in for the user (or, with --process, for this
 * process only), creates a greeter through the component model and greets.
 *
 *   kiv-sample-host [--process] PLUGIN_PATH [NAME...]
 */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "greeter.h"

static int fail(const char *what, kivResult rc) {
    fprintf(stderr, "kiv-sample-host: %s: %s\n", what, kivStrError(rc));
    return 1;
}

int main(int argc, char **argv) {
    int arg = 1;
    uint32_t flags = KIV_REGISTER_USER_ONLY;
    if (arg < argc && strcmp(argv[arg], "--process") == 0) {
        flags = KIV_REGISTER_PROCESS;
        ++arg;
    }
    if (arg >= argc) {
        fprintf(stderr, "usage: kiv-sample-host [--process] PLUGIN_PATH [NAME...]\n");
        return 2;
    }
    /* Registered by absolute path, so that the registration works from any directory. */
    char plugin[PATH_MAX];
    if (!realpath(argv[arg++], plugin)) {
        perror("kiv-sample-host: plug-in");
        return 1;
    }

    kivResult rc = kivInitialize();
    if (KIV_FAILED(rc)) return fail("initialisation", rc);
    rc = kivRegisterDSO(GREETER_CLSID, flags, plugin);
    if (KIV_FAILED(rc)) return fail("registering the greeter", rc);
    printf("registered %s for %s: %s\n", GREETER_CLSID,
           flags == KIV_REGISTER_PROCESS ? "this process" : "the user", plugin);

    IGreeter *greeter = NULL;
    rc = kivCreateInstance(GREETER_CLSID, NULL, KIV_CLSCTX_INPROC, NULL, GREETER_IID,
                           (void **)&greeter);
    if (KIV_FAILED(rc)) return fail("creating a greeter", rc);

    const char *fallback[] = {"world"};
    const char *const *names = arg < argc ? (const char *const *)argv + arg : fallback;
    int count = arg < argc ? argc - arg : 1;
    for (int i = 0; i < count; ++i) {
        char *text = NULL;
        rc = greeter->vtbl->greet(greeter, names[i], &text);
        if (KIV_FAILED(rc)) {
            greeter->vtbl->release(greeter);
            return fail("greeting", rc);
        }
        printf("%s\n", text);
        kivFree(text);
    }

    /* The object's identity is the same whichever of its interfaces is asked. */
    void *identity = NULL;
    rc = greeter->vtbl->queryInterface(greeter, KIV_IID_IUNKNOWN, &identity);
    if (KIV_SUCCEEDED(rc)) {
        printf("greetings made: %u; same object through IUnknown: %s\n",
               greeter->vtbl->greetings(greeter),
               kivSameObject(greeter, identity) == 0 ? "yes" : "no");
        kivComRelease(identity);
    }
    greeter->vtbl->release(greeter);
    return 0;
}
