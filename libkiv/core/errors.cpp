// SPDX-License-Identifier: Apache-2.0
// Result code texts and error reporting.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kiv_base.h"
#include "ust.h"

namespace {

constexpr uint32_t kFacilityMask = 0x1FFF0000u;
constexpr uint32_t kLibraryFacility = 0x16240000u;
constexpr uint32_t kFirstLibraryCode = 0x96240001u;

struct LibraryCode {
    kivResult code;
    const char *text;  // null: shown as "error 0x9624xxxx"
};

constexpr LibraryCode kCodes[] = {
#define KIV_CODE_ENTRY(name, code, text) {code, text},
    KIV_ERROR_MAP(KIV_CODE_ENTRY)
#undef KIV_CODE_ENTRY
};
constexpr uint32_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

// The message of a code is found by its distance from the first code: the list must be dense
// and in order, and each KIV_E_* macro must name the value the list gives it.
constexpr bool denseAndOrdered() {
    for (uint32_t i = 0; i < kCodeCount; ++i)
        if (kCodes[i].code != kFirstLibraryCode + i) return false;
    return true;
}
static_assert(denseAndOrdered(), "KIV_ERROR_MAP must list 0x96240001 upwards without gaps");
#define KIV_CODE_MATCHES(name, code, text) \
    static_assert(name == (code), #name " differs from its KIV_ERROR_MAP entry");
KIV_ERROR_MAP(KIV_CODE_MATCHES)
#undef KIV_CODE_MATCHES

// Codes the library passes on from the runtime layer, or shares with it, are the same values.
static_assert(KIV_E_RT_NO_FILE == UST_E_NO_FILE);
static_assert(KIV_E_RT_EXISTS == UST_E_EXISTS);
static_assert(KIV_E_RT_NOT_FOUND == UST_E_NOT_FOUND);
static_assert(KIV_E_RT_KEY_DELETED == UST_E_KEY_DELETED);
static_assert(KIV_E_OUT_OF_MEMORY == UST_SYSTEM_ERROR(ENOMEM));
static_assert(KIV_E_SYSTEM(EACCES) == UST_SYSTEM_ERROR(EACCES));
static_assert(KIV_E_NOTIMPL == UST_E_NOTIMPL);
static_assert(KIV_E_NOINTERFACE == UST_E_NOINTERFACE);
static_assert(KIV_E_POINTER == UST_E_POINTER);
static_assert(KIV_E_FAIL == UST_E_FAIL);
static_assert(KIV_E_UNEXPECTED == UST_E_UNEXPECTED);
static_assert(KIV_E_ACCESSDENIED == UST_E_ACCESSDENIED);
static_assert(KIV_E_INVALIDARG == UST_E_INVALIDARG);

kivErrorHandler errorHandler = nullptr;
kivErrorHandler fatalHandler = nullptr;

// Each thread's last text for a library code lives in a heap copy held by a thread-local slot
// whose destructor frees it when the thread ends. A text asked for during thread exit, after
// that destructor ran, simply fills the slot again and the system runs the destructor once more.
ustOnce messageKeyOnce = 0;
ustTlsKey messageKey;
bool haveMessageKey = false;  // written once, under messageKeyOnce

// Without a slot (every key of the process taken) texts go to a per-thread buffer that is
// never freed: the text is still right, it just lasts until the thread's next such call.
thread_local char fallbackText[1024];

void releaseMessage(void *text) {
    kivFree(text);
}

void createMessageKey() {
    haveMessageKey = ustTlsKeyCreate(&messageKey, releaseMessage) == 0;
}

void writeCodeText(kivResult code) {
    if (code == 0)
        std::fputs("\n", stderr);
    else
        std::fprintf(stderr, ": %s\n", kivStrError(code));
}

}  // namespace

extern "C" {

KIV_API const char *kivStrError(kivResult code) noexcept {
    ustInitOnce(&messageKeyOnce, createMessageKey);
    if ((code & kFacilityMask) != kLibraryFacility) return ustStrError(code);

    char text[1024];
    uint32_t index = code - kFirstLibraryCode;
    if (code < 0x80000000u)
        std::snprintf(text, sizeof text, "unknown result code %#08x", code);
    else if (index < kCodeCount && kCodes[index].text)
        std::snprintf(text, sizeof text, "%s", kCodes[index].text);
    else
        std::snprintf(text, sizeof text, "error %#08x", code);

    if (!haveMessageKey) {
        std::snprintf(fallbackText, sizeof fallbackText, "%s", text);
        return fallbackText;
    }
    char *copy = kivStrDup(text);
    kivFree(ustTlsGet(messageKey));
    ustTlsSet(messageKey, copy);
    return copy;
}

KIV_API void kivError(kivResult code, const char *message) noexcept {
    if (kivErrorHandler handler = errorHandler) {
        handler(code, message);
        return;
    }
    std::fputs(message ? message : "", stderr);
    writeCodeText(code);
}

// Allocates nothing of its own: out of memory ends here, and the text of KIV_E_OUT_OF_MEMORY
// comes from the runtime's per-thread buffer.
KIV_API void kivFatal(kivResult code, const char *message) noexcept {
    if (kivErrorHandler handler = fatalHandler) {
        handler(code, message);
        std::abort();
    }
    std::fprintf(stderr, "Fatal: %s", message ? message : "");
    writeCodeText(code);
    std::exit(1);
}

KIV_API void kivSetErrorHandler(kivErrorHandler onError, kivErrorHandler onFatal) noexcept {
    errorHandler = onError;
    fatalHandler = onFatal;
}

}  // extern "C"
