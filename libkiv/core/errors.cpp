// Result code texts and error reporting.
#include <cstdio>
#include <cstdlib>

#include "kiv_base.h"
#include "ust.h"

namespace {

constexpr uint32_t kFacilityMask = 0x1FFF0000u;
constexpr uint32_t kLibraryFacility = 0x16240000u;
constexpr uint32_t kFirstLibraryCode = 0x96240001u;

// Messages of 0x96240001 upwards; null where a code has no text of its own.
constexpr const char *kMessages[] = {
    "Bad repository id format",
    "Invalid argument",
    "Not enough space in output buffer",
    "Repository id already exists",
    "Read only error",
    "Repository id of containing scope is unknown",
    nullptr,
    "Repository id of base interface is unknown",
    "Invalid base interface repository id",
    "Unknown repository id",
    "Invalid kind of definition",
    "Type library format error",
    "An operation has been attempted in an invalid state",
    "A bad/inconsistent state has been detected",
    "Incompatible redefinition",
    "Aggregation not supported",
    nullptr,
    "No object factory found",
};
constexpr uint32_t kMessageCount = sizeof kMessages / sizeof kMessages[0];

kivErrorHandler errorHandler = nullptr;
kivErrorHandler fatalHandler = nullptr;

ustOnce messageKeyOnce = 0;
ustTlsKey messageKey;

void releaseMessage(void *text) {
    kivFree(text);
}

void createMessageKey() {
    ustTlsKeyCreate(&messageKey, releaseMessage);
}

void writeCodeText(kivResult code) {
    if (code == 0)
        std::fputs("\n", stderr);
    else
        std::fprintf(stderr, ": %s\n", kivStrError(code));
}

}  // namespace

extern "C" {

KIV_API const char *kivStrError(kivResult code) {
    ustInitOnce(&messageKeyOnce, createMessageKey);
    if ((code & kFacilityMask) != kLibraryFacility) return ustStrError(code);

    char text[1024];
    uint32_t index = code - kFirstLibraryCode;
    if (code < 0x80000000u)
        std::snprintf(text, sizeof text, "unknown result code %#08x", code);
    else if (index < kMessageCount && kMessages[index])
        std::snprintf(text, sizeof text, "%s", kMessages[index]);
    else
        std::snprintf(text, sizeof text, "error %#08x", code);

    char *copy = kivStrDup(text);
    kivFree(ustTlsGet(messageKey));
    ustTlsSet(messageKey, copy);
    return copy;
}

KIV_API void kivError(kivResult code, const char *message) {
    if (kivErrorHandler handler = errorHandler) {
        handler(code, message);
        return;
    }
    std::fputs(message ? message : "", stderr);
    writeCodeText(code);
}

KIV_API void kivFatal(kivResult code, const char *message) {
    if (kivErrorHandler handler = fatalHandler) {
        handler(code, message);
        std::abort();
    }
    std::fprintf(stderr, "Fatal: %s", message ? message : "");
    writeCodeText(code);
    std::exit(1);
}

KIV_API void kivSetErrorHandler(kivErrorHandler onError, kivErrorHandler onFatal) {
    errorHandler = onError;
    fatalHandler = onFatal;
}

}  // extern "C"
