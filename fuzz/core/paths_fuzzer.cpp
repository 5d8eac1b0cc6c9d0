// SPDX-License-Identifier: Apache-2.0
// The runtime layer's path operations on arbitrary text (plug-in paths come from the registry
// and the environment): each answer is made of the input's own parts, and buffers that are too
// small are refused, never overrun.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ust.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Runs a path operation into an exact-size heap buffer (so that an overrun shows), after
// checking that one byte less is refused.
template <typename Operation>
bool answer(size_t maxLength, std::string &out, Operation operation) {
    std::vector<char> buffer(maxLength + 1);
    if (operation(buffer.data(), buffer.size()) != 0) return false;
    out = buffer.data();
    if (!out.empty()) {
        std::vector<char> tight(out.size());
        check(operation(tight.data(), tight.size()) == UST_E_BUFFER_TOO_SMALL);
        check(tight[0] == '\0');
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Two texts: up to the first NUL, and the rest.
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string path = input.substr(0, input.find('\0'));
    std::string component =
        path.size() < input.size() ? input.substr(path.size() + 1) : std::string("x");
    component = component.substr(0, component.find('\0'));

    std::string dir, base, joined, absolute;
    check(answer(path.size() + 1, dir,
                 [&](char *b, size_t n) { return ustGetDirname(path.c_str(), b, n); }));
    check(dir == "." || dir == "/" || std::string_view(path).starts_with(dir));
    check(answer(path.size() + 1, base,
                 [&](char *b, size_t n) { return ustGetBasename(path.c_str(), b, n); }));
    check(base == "." || path.find(base) != std::string::npos);

    check(answer(path.size() + component.size() + 1, joined, [&](char *b, size_t n) {
        return ustAppendToPath(path.c_str(), component.c_str(), b, n);
    }));
    const bool slash = !path.empty() && path.back() != '/' && !component.empty();
    check(joined == path + (slash ? "/" : "") + component);

    if (!path.empty() && answer(path.size() + 8192, absolute, [&](char *b, size_t n) {
            return ustGetAbsolutePath(path.c_str(), b, n);
        })) {
        check(absolute.front() == '/');
        if (path.front() == '/') check(absolute == path);
    }
    return 0;
}
