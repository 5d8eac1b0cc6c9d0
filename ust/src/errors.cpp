// SPDX-License-Identifier: Apache-2.0
// Texts for result codes and the mapping of Windows error numbers to result codes.
#include "ust.h"
#include "internal.h"

#include <cstdio>
#include <cstring>

namespace {

struct CodeText {
    uint32_t code;
    const char *text;
};

constexpr CodeText kRuntimeTexts[] = {
    {UST_E_FAILED, "Operation failed"},
    {UST_E_INVALID_ARG, "Invalid argument"},
    {UST_E_NO_FILE, "No such file or directory"},
    {UST_E_BUFFER_TOO_SMALL, "Buffer too small"},
    {UST_E_NO_MEMORY, "Not enough memory"},
    {UST_E_ACCESS, "Permission denied"},
    {UST_E_NOT_DIRECTORY, "Not a directory"},
    {UST_E_IS_DIRECTORY, "Is a directory"},
    {UST_E_BUSY, "Resource busy"},
    {UST_E_IO, "Input/output error"},
    {UST_E_NOT_SUPPORTED, "Operation not supported"},
    {UST_E_EXISTS, "Already exists"},
    {UST_E_NOT_FOUND, "Not found"},
    {UST_E_NOT_EMPTY, "Not empty"},
    {UST_E_CORRUPT, "Stored data is damaged"},
    {UST_E_KEY_DELETED, "Key has been deleted"},
    {UST_E_NO_SYMBOL, "Symbol not found in shared library"},
    {UST_E_DSO_LOAD, "Shared library cannot be loaded"},
    {UST_E_NO_MORE_ITEMS, "No more items"},
    {UST_E_READ_ONLY, "Store is read-only"},
};

constexpr CodeText kHresultTexts[] = {
    {UST_E_NOTIMPL, "Not implemented"},
    {UST_E_NOINTERFACE, "No such interface supported"},
    {UST_E_POINTER, "Invalid pointer"},
    {UST_E_FAIL, "Unspecified failure"},
    {UST_E_UNEXPECTED, "Unexpected failure"},
    {UST_E_ACCESSDENIED, "Access denied"},
    {UST_E_INVALIDARG, "One or more arguments are invalid"},
};

// Windows error numbers that the registry layer produces, with their result codes.
struct Win32Mapping {
    uint32_t error;
    uint32_t code;
    const char *text;
};

constexpr uint32_t kHresultWin32 = 0x80070000u;

constexpr Win32Mapping kWin32[] = {
    {2, UST_E_NOT_FOUND, "The system cannot find the file specified"},
    {3, UST_E_NOT_FOUND, "The system cannot find the path specified"},
    {5, UST_E_ACCESSDENIED, "Access is denied"},
    {6, kHresultWin32 | 6, "The handle is invalid"},
    {8, UST_SYSTEM_ERROR(12), "Not enough memory"},
    {14, UST_SYSTEM_ERROR(12), "Not enough memory"},
    {19, UST_E_READ_ONLY, "The media is write protected"},
    {32, UST_E_BUSY, "The file is being used by another process"},
    {33, UST_E_BUSY, "A region of the file is locked by another process"},
    {80, UST_E_EXISTS, "The file exists"},
    {87, UST_E_INVALIDARG, "The parameter is incorrect"},
    {112, UST_SYSTEM_ERROR(28), "There is not enough space on the disk"},
    {161, kHresultWin32 | 161, "The specified path is invalid"},
    {183, UST_E_EXISTS, "Cannot create a file when that file already exists"},
    {206, kHresultWin32 | 206, "The file name or extension is too long"},
    {234, UST_E_BUFFER_TOO_SMALL, "More data is available"},
    {259, UST_E_NO_MORE_ITEMS, "No more data is available"},
    {1009, UST_E_CORRUPT, "The configuration registry database is corrupt"},
    {1010, kHresultWin32 | 1010, "The configuration registry key is invalid"},
    {1011, UST_E_IO, "The configuration registry key could not be opened"},
    {1012, UST_E_IO, "The configuration registry key could not be read"},
    {1013, UST_E_IO, "The configuration registry key could not be written"},
    {1015, UST_E_CORRUPT, "The registry is corrupted"},
    {1016, UST_E_IO, "An I/O operation initiated by the registry failed"},
    {1018, UST_E_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion"},
};

template <size_t N>
const char *find(const CodeText (&table)[N], uint32_t code) {
    for (const auto &entry : table)
        if (entry.code == code) return entry.text;
    return nullptr;
}

// Texts formatted per call live in a per-thread buffer until that thread's next call. The buffer
// is trivially destructible: it is never freed under a caller, not even by a thread-exit
// destructor of the host's that asks for a text, and filling it allocates nothing.
thread_local char formatted[640];

const char *format(const char *pattern, uint32_t value) {
    std::snprintf(formatted, sizeof formatted, pattern, value);
    return formatted;
}

const char *systemText(uint32_t code) {
    int err = static_cast<int>(code & 0xFFFFu);
    if (err == 0) return format("system error %#08x", code);
    // Known numbers have a static text: the out-of-memory path then touches no buffer at all.
    if (const char *text = strerrordesc_np(err)) return text;
    return format("Unknown error %u", static_cast<uint32_t>(err));
}

}  // namespace

const char *ustStrError(ustResult code) {
    if (code == 0) return "Success";
    if ((code & 0x1FFF0000u) == 0x16220000u && (code & 0x80000000u)) return systemText(code);
    if ((code & 0x1FFF0000u) == 0x16230000u && (code & 0x80000000u)) {
        if (code == UST_E_DSO_LOAD && *ust::lastDsoError()) {
            // The loader's own explanation is what a user needs to fix the plug-in.
            std::snprintf(formatted, sizeof formatted, "Shared library cannot be loaded: %s",
                          ust::lastDsoError());
            return formatted;
        }
        if (const char *text = find(kRuntimeTexts, code)) return text;
        return format("runtime error %#08x", code);
    }
    if (const char *text = find(kHresultTexts, code)) return text;
    if ((code & 0xFFFF0000u) == kHresultWin32) {
        for (const auto &m : kWin32)
            if (m.error == (code & 0xFFFFu)) return m.text;
        return format("Windows error %u", code & 0xFFFFu);
    }
    if (code & 0x80000000u) return format("error %#08x", code);
    return format("success code %#08x", code);
}

ustResult _ust_map_win32_error(uint32_t win32Error) {
    if (win32Error == 0) return 0;
    for (const auto &m : kWin32)
        if (m.error == win32Error) return m.code;
    if (win32Error > 0xFFFFu) return UST_E_FAIL;
    return kHresultWin32 | win32Error;
}
