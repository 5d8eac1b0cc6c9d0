// SPDX-License-Identifier: Apache-2.0
/* Loads a copy of libkiv from the path given, runs kivInitialize and prints the root
 * directory it found. The root directory has no exported accessor, so the caller passes the
 * file offsets of kivInitialize and of the internal kivGetRootDir (read with nm), and the
 * probe finds the latter relative to the former.
 *
 * usage: root_probe LIBRARY INIT_OFFSET ROOT_OFFSET [FOLDER]   (offsets in hex)
 * With FOLDER the probe changes to it after loading the library and before kivInitialize.
 * prints: "<result code in hex> <root directory or (null)>" */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

typedef uint32_t (*InitFn)(void);
typedef const char *(*RootFn)(void);

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5) return 2;
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 3;
    }
    InitFn init = (InitFn)dlsym(lib, "kivInitialize");
    if (!init) return 4;
    uintptr_t initOffset = strtoull(argv[2], NULL, 16), rootOffset = strtoull(argv[3], NULL, 16);
    RootFn root = (RootFn)((uintptr_t)init - initOffset + rootOffset);
    if (argc == 5 && chdir(argv[4]) != 0) return 5;
    uint32_t rc = init();
    const char *dir = root();
    printf("%#x %s\n", rc, dir ? dir : "(null)");
    return 0;
}
