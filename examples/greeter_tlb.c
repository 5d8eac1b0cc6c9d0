/* Stands in for `kiv idl` where the tree has no IDL compiler: takes its command line
 * (-o LIB.tlb [-I DIR]... FILE.idl...) and writes the library that greeter.idl describes,
 * through the creating functions, whatever the files say. */
#include <stdio.h>
#include <string.h>

#include "kiv.h"

static int check(const char *what, kivResult rc) {
    if (rc == 0) return 0;
    fprintf(stderr, "greeter_tlb: %s: %s\n", what, kivStrError(rc));
    return 1;
}

int main(int argc, char **argv) {
    const char *output = NULL;
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], "-o") == 0) output = argv[i + 1];
    if (!output) {
        fprintf(stderr, "usage: greeter_tlb -o LIB.tlb [-I DIR]... FILE.idl...\n");
        return 2;
    }
    kivTLib *t = NULL;
    if (check(output, kivTLibCreate(output, 0, &t))) return 1;
    const kivTLibTypeRef string = {KIV_TYPE_STRING, NULL}, ulong = {KIV_TYPE_ULONG, NULL};
    kivTLibValue clsid = {KIV_TYPE_STRING, {.str = "3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15"}};
    const kivTLibParam name[] = {{"name", string, KIV_PARAM_IN}};
    const kivTLibMember members[] = {
        {KIV_MEMBER_OPERATION, "greet", 0, string, 1, name},
        {KIV_MEMBER_ATTRIBUTE, "greetings", KIV_MEMBER_READONLY, ulong, 0, NULL}};
    int failed =
        check("root", kivTLibCreateRoot(t, 0, NULL)) ||
        check("Demo", kivTLibCreateModule(t, "Demo", "IDL:Demo:1.0", KIV_TLIB_ROOT_ID, 0, NULL)) ||
        check("GREETER_CLASS",
              kivTLibCreateConstant(t, "GREETER_CLASS", "IDL:Demo/GREETER_CLASS:1.0",
                                    "IDL:Demo:1.0", 0, &string, &clsid, NULL)) ||
        check("IGreeter", kivTLibCreateInterface(t, "IGreeter", "IDL:Demo/IGreeter:1.0",
                                                 "IDL:Demo:1.0", 0, NULL, 2, members, NULL));
    return check("close", kivTLibClose(t)) || failed;
}
