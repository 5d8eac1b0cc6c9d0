/* The interface of the test plug-ins' objects. */
#ifndef KIVTEST_PLUGIN_H
#define KIVTEST_PLUGIN_H

#include "kiv_com.h"

#define KIVTEST_IID_INAMED "IDL:kivtest/INamed:1.0"

typedef struct INamed INamed;
typedef struct INamedVtbl {
    KIV_IUNKNOWN_SLOTS
    const char *(*name)(INamed *self); /* which plug-in build made the object */
} INamedVtbl;
struct INamed {
    const INamedVtbl *vtbl;
};

#endif
