// SPDX-License-Identifier: Apache-2.0
/*
 * The echo plug-in of the Python tests, in C through the header that echo.idl gives: every
 * echoT returns a copy of a, moves the caller's c into b and leaves a copy of a in c, so each
 * value crosses in every direction. callApply calls a callback from several threads at once.
 */
#include <pthread.h>
#include <string.h>

#include "echo.h"

typedef struct Echo {
    const Echo_IEchoVtbl *vtbl;
    uint32_t references;
    uint32_t calls;
    int32_t value;
} Echo;

static void counted(Echo_IEcho *self) {
    __atomic_add_fetch(&((Echo *)self)->calls, 1, __ATOMIC_SEQ_CST);
}

/* ---- copies under the out rules: everything allocated with kivMalloc ---- */

static char *copyString(const char *s) {
    return kivStrDup(s ? s : "");
}

static kivWChar *copyWString(const kivWChar *s) {
    size_t n = 0;
    while (s && s[n]) ++n;
    kivWChar *copy = kivMalloc((n + 1) * sizeof *copy);
    if (n) memcpy(copy, s, n * sizeof *copy);
    copy[n] = 0;
    return copy;
}

#define COPY_SEQUENCE(Seq, element)                                            \
    static Seq copy_##Seq(const Seq *s) {                                      \
        Seq copy = {s->length, s->length, NULL};                               \
        if (s->length) {                                                       \
            copy.buffer = kivMalloc(s->length * sizeof *copy.buffer);          \
            for (uint32_t i = 0; i < s->length; ++i) copy.buffer[i] = element; \
        }                                                                      \
        return copy;                                                           \
    }
COPY_SEQUENCE(kivSeq_long, s->buffer[i])
COPY_SEQUENCE(kivSeq_octet, s->buffer[i])
COPY_SEQUENCE(kivSeq_string, copyString(s->buffer[i]))

static Echo_Record copyRecord(const Echo_Record *r) {
    Echo_Record copy = {r->where, copyString(r->name), copy_kivSeq_long(&r->values), r->color,
                        copyWString(r->label)};
    return copy;
}

static Echo_Shape copyShape(const Echo_Shape *s) {
    Echo_Shape copy = *s;
    if (s->_d != Echo_Color_RED && s->_d != Echo_Color_GREEN)
        copy._u.label = copyString(s->_u.label);
    return copy;
}

/* ---- the echoes ---- */

#define ECHO_BY_VALUE(Name, T)                                                  \
    static kivResult echo##Name(Echo_IEcho *self, T a, T *b, T *c, T *result) { \
        counted(self);                                                          \
        *b = *c;                                                                \
        *c = a;                                                                 \
        *result = a;                                                            \
        return KIV_S_OK;                                                        \
    }
ECHO_BY_VALUE(Boolean, kivBoolean)
ECHO_BY_VALUE(Octet, uint8_t)
ECHO_BY_VALUE(Char, char)
ECHO_BY_VALUE(Wchar, kivWChar)
ECHO_BY_VALUE(Short, int16_t)
ECHO_BY_VALUE(UShort, uint16_t)
ECHO_BY_VALUE(Long, int32_t)
ECHO_BY_VALUE(ULong, uint32_t)
ECHO_BY_VALUE(LongLong, int64_t)
ECHO_BY_VALUE(ULongLong, uint64_t)
ECHO_BY_VALUE(Float, float)
ECHO_BY_VALUE(Double, double)
ECHO_BY_VALUE(Decimal32, kivDecimal32)
ECHO_BY_VALUE(Decimal64, kivDecimal64)
ECHO_BY_VALUE(Decimal128, kivDecimal128)
ECHO_BY_VALUE(Color, Echo_Color)

#define ECHO_BY_COPY(Name, T, in, copy)                                          \
    static kivResult echo##Name(Echo_IEcho *self, in a, T *b, T *c, T *result) { \
        counted(self);                                                           \
        *b = *c;                                                                 \
        *c = copy(a);                                                            \
        *result = copy(a);                                                       \
        return KIV_S_OK;                                                         \
    }
#define COPY_POINT(p) (*(p))
ECHO_BY_COPY(String, char *, const char *, copyString)
ECHO_BY_COPY(WString, kivWChar *, const kivWChar *, copyWString)
ECHO_BY_COPY(Point, Echo_Point, const Echo_Point *, COPY_POINT)
ECHO_BY_COPY(Record, Echo_Record, const Echo_Record *, copyRecord)
ECHO_BY_COPY(Shape, Echo_Shape, const Echo_Shape *, copyShape)
ECHO_BY_COPY(Longs, Echo_Longs, const Echo_Longs *, copy_kivSeq_long)
ECHO_BY_COPY(Strings, Echo_Strings, const Echo_Strings *, copy_kivSeq_string)
ECHO_BY_COPY(Bytes, kivSeq_octet, const kivSeq_octet *, copy_kivSeq_octet)

static Echo_ICallback *copyCallback(Echo_ICallback *cb) {
    if (cb) Echo_ICallback_addRef(cb);
    return cb;
}
ECHO_BY_COPY(Callback, Echo_ICallback *, Echo_ICallback *, copyCallback)

static kivResult echoShortString(Echo_IEcho *self, const char *a, char **result) {
    counted(self);
    *result = copyString(a);
    return KIV_S_OK;
}

static kivResult echoFour(Echo_IEcho *self, const kivSeq_long *a, kivSeq_long *result) {
    counted(self);
    *result = copy_kivSeq_long(a);
    return KIV_S_OK;
}

static kivResult echoTriple(Echo_IEcho *self, const Echo_Triple a, Echo_Triple b, Echo_Triple c) {
    counted(self);
    memcpy(b, c, sizeof(Echo_Triple));
    memcpy(c, a, sizeof(Echo_Triple));
    return KIV_S_OK;
}

static kivResult add(Echo_IEcho *self, int32_t a, int32_t b, int32_t *result) {
    (void)self;
    *result = (int32_t)((uint32_t)a + (uint32_t)b);
    return KIV_S_OK;
}

static kivResult sumPoint(Echo_IEcho *self, const Echo_Point *p, int32_t *result) {
    (void)self;
    *result = (int32_t)((uint32_t)p->x + (uint32_t)p->y);
    return KIV_S_OK;
}

static kivResult fail(Echo_IEcho *self, uint32_t code) {
    counted(self);
    return code;
}

static kivResult getValue(Echo_IEcho *self, int32_t *value) {
    *value = __atomic_load_n(&((Echo *)self)->value, __ATOMIC_SEQ_CST);
    return KIV_S_OK;
}

static kivResult setValue(Echo_IEcho *self, int32_t value) {
    __atomic_store_n(&((Echo *)self)->value, value, __ATOMIC_SEQ_CST);
    return KIV_S_OK;
}

static kivResult getCalls(Echo_IEcho *self, uint32_t *value) {
    *value = __atomic_load_n(&((Echo *)self)->calls, __ATOMIC_SEQ_CST);
    return KIV_S_OK;
}

/* ---- callbacks from threads ---- */

typedef struct Applier {
    Echo_ICallback *cb;
    int32_t calls;
    int64_t sum;
    kivResult rc;
} Applier;

static void *applyAll(void *arg) {
    Applier *a = arg;
    for (int32_t x = 0; x < a->calls && KIV_SUCCEEDED(a->rc); ++x) {
        int32_t y = 0;
        a->rc = Echo_ICallback_apply(a->cb, x, &y);
        a->sum += y;
    }
    return NULL;
}

static kivResult callApply(Echo_IEcho *self, Echo_ICallback *cb, int32_t threads, int32_t calls,
                           int64_t *result) {
    enum { MAX_THREADS = 64 };
    counted(self);
    if (!cb || threads < 1 || threads > MAX_THREADS || calls < 0) return KIV_E_INVALIDARG;
    pthread_t ids[MAX_THREADS];
    Applier work[MAX_THREADS];
    int32_t started = 0;
    for (; started < threads; ++started) {
        work[started] = (Applier){cb, calls, 0, KIV_S_OK};
        if (pthread_create(&ids[started], NULL, applyAll, &work[started]) != 0) break;
    }
    kivResult rc = started == threads ? KIV_S_OK : KIV_E_FAIL;
    int64_t sum = 0;
    for (int32_t i = 0; i < started; ++i) {
        pthread_join(ids[i], NULL);
        sum += work[i].sum;
        if (KIV_FAILED(work[i].rc)) rc = work[i].rc;
    }
    if (KIV_SUCCEEDED(rc)) *result = sum;
    return rc;
}

static kivResult callDescribe(Echo_IEcho *self, Echo_ICallback *cb, const char *text,
                              char **result) {
    counted(self);
    if (!cb) return KIV_E_INVALIDARG;
    int32_t length = 0;
    kivResult rc = Echo_ICallback_describe(cb, text, &length, result);
    if (KIV_SUCCEEDED(rc) && (size_t)length != strlen(*result)) {
        kivFree(*result);
        *result = NULL;
        return KIV_E_UNEXPECTED;
    }
    return rc;
}

/* ---- the object and its factory ---- */

static uint32_t echoAddRef(void *self) {
    return __atomic_add_fetch(&((Echo *)self)->references, 1, __ATOMIC_SEQ_CST);
}

static uint32_t echoRelease(void *self) {
    uint32_t count = __atomic_sub_fetch(&((Echo *)self)->references, 1, __ATOMIC_SEQ_CST);
    if (count == 0) kivFree(self);
    return count;
}

static const char *echoInterfaceId(void *self) {
    (void)self;
    return Echo_IEcho_IID;
}

static kivResult echoQueryInterface(void *self, const char *iid, void **out) {
    *out = NULL;
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) != 0 && kivCompareIID(iid, Echo_IEcho_IID) != 0)
        return KIV_E_NOINTERFACE;
    *out = self;
    echoAddRef(self);
    return KIV_S_OK;
}

static const Echo_IEchoVtbl echoVtbl = {
    kivComQueryInterface,
    kivComAddRef,
    kivComRelease,
    echoQueryInterface,
    echoAddRef,
    echoRelease,
    echoInterfaceId,
    add,
    sumPoint,
    echoBoolean,
    echoOctet,
    echoChar,
    echoWchar,
    echoShort,
    echoUShort,
    echoLong,
    echoULong,
    echoLongLong,
    echoULongLong,
    echoFloat,
    echoDouble,
    echoDecimal32,
    echoDecimal64,
    echoDecimal128,
    echoColor,
    echoString,
    echoShortString,
    echoWString,
    echoPoint,
    echoRecord,
    echoShape,
    echoLongs,
    echoFour,
    echoStrings,
    echoBytes,
    echoTriple,
    echoCallback,
    fail,
    getValue,
    setValue,
    getCalls,
    callApply,
    callDescribe,
};

static uint32_t factoryAddRef(void *self) {
    (void)self;
    return 2;
}

static uint32_t factoryRelease(void *self) {
    (void)self;
    return 1;
}

static const char *factoryInterfaceId(void *self) {
    (void)self;
    return KIV_IID_IOBJECTFACTORY;
}

static kivResult factoryQueryInterface(void *self, const char *iid, void **out) {
    *out = NULL;
    if (kivCompareIID(iid, KIV_IID_IUNKNOWN) != 0 &&
        kivCompareIID(iid, KIV_IID_IOBJECTFACTORY) != 0)
        return KIV_E_NOINTERFACE;
    *out = self;
    return KIV_S_OK;
}

static kivResult factoryCreateInstance(IObjectFactory *self, void *outer, const char *iid,
                                       void **out) {
    (void)self;
    *out = NULL;
    if (outer) return KIV_E_NO_AGGREGATION;
    if (!iid) return KIV_E_INVALIDARG;
    Echo *echo = kivCalloc(1, sizeof *echo);
    echo->vtbl = &echoVtbl;
    echo->references = 1;
    kivResult rc = echoQueryInterface(echo, iid, out);
    echoRelease(echo);
    return rc;
}

static kivResult factoryLockServer(IObjectFactory *self, int32_t lock) {
    (void)self;
    (void)lock;
    return KIV_S_OK;
}

static const IObjectFactoryVtbl factoryVtbl = {
    kivComQueryInterface,  kivComAddRef,          kivComRelease,
    factoryQueryInterface, factoryAddRef,         factoryRelease,
    factoryInterfaceId,    factoryCreateInstance, factoryLockServer,
};

static IObjectFactory factory = {&factoryVtbl};

KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out);

kivResult dsoGetObjectFactory(const char *clsid, const char *iid, void **out) {
    *out = NULL;
    if (kivCompareCLSID(clsid, Echo_ECHO_CLASS) != 0) return KIV_E_NO_FACTORY;
    return factoryQueryInterface(&factory, iid, out);
}
