// SPDX-License-Identifier: Apache-2.0
/*
 * The sample host in C: registers a greeter plug-in (either language's) for the user (or, with
 * --process, for this process only), creates a greeter through the component model and greets
 * through the call helpers of the generated greeter.h.
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
    rc = kivRegisterDSO(Demo_GREETER_CLASS, flags, plugin);
    if (KIV_FAILED(rc)) return fail("registering the greeter", rc);
    printf("registered %s for %s: %s\n", Demo_GREETER_CLASS,
           flags == KIV_REGISTER_PROCESS ? "this process" : "the user", plugin);

    Demo_IGreeter *greeter = NULL;
    rc = kivCreateInstance(Demo_GREETER_CLASS, NULL, KIV_CLSCTX_INPROC, NULL, Demo_IGreeter_IID,
                           (void **)&greeter);
    if (KIV_FAILED(rc)) return fail("creating a greeter", rc);

    const char *fallback[] = {"world"};
    const char *const *names = arg < argc ? (const char *const *)argv + arg : fallback;
    int count = arg < argc ? argc - arg : 1;
    for (int i = 0; i < count; ++i) {
        char *text = NULL;
        rc = Demo_IGreeter_greet(greeter, names[i], &text);
        if (KIV_FAILED(rc)) {
            Demo_IGreeter_release(greeter);
            return fail("greeting", rc);
        }
        printf("%s\n", text);
        kivFree(text);
    }

    /* The object's identity is the same whichever of its interfaces is asked. */
    void *identity = NULL;
    uint32_t greetings = 0;
    rc = Demo_IGreeter_queryInterface(greeter, KIV_IID_IUNKNOWN, &identity);
    if (KIV_SUCCEEDED(rc)) rc = Demo_IGreeter_get_greetings(greeter, &greetings);
    if (KIV_SUCCEEDED(rc))
        printf("greetings made: %u; same object through IUnknown: %s\n", greetings,
               kivSameObject(greeter, identity) == 0 ? "yes" : "no");
    if (identity) kivComRelease(identity);
    Demo_IGreeter_release(greeter);
    if (KIV_FAILED(rc)) return fail("asking the greeter", rc);
    return 0;
}
