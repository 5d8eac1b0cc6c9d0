/*
 * The sample component: a greeter. Its plug-in (libgreeter.so) serves the class
 * GREETER_CLSID; its objects implement IGreeter.
 */
#ifndef GREETER_H
#define GREETER_H

#include <kiv.h>

#define GREETER_CLSID "3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15"
#define GREETER_IID "IDL:Demo/IGreeter:1.0"

typedef struct IGreeter IGreeter;
typedef struct IGreeterVtbl {
    KIV_IUNKNOWN_SLOTS
    /* A greeting for `name` in *text, allocated with kivMalloc: the caller frees it with
     * kivFree. KIV_E_INVALIDARG for a null name. */
    kivResult (*greet)(IGreeter *self, const char *name, char **text);
    /* How many greetings this object has made. */
    uint32_t (*greetings)(IGreeter *self);
} IGreeterVtbl;
struct IGreeter {
    const IGreeterVtbl *vtbl;
};

#endif
