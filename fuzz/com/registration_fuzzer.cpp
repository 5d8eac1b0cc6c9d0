// SPDX-License-Identifier: Apache-2.0
// In-process registration with arbitrary class ids, flags and paths: exactly the well-formed
// ones are taken (36-character lower-case UUID text, known flags, a non-empty path), and a
// taken one can be removed again. Nothing is loaded and the registry database is not touched.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "kiv.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

const std::regex kClassId("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool initialised = kivInitialize() == 0;
    check(initialised);
    if (size < 4) return 0;
    uint32_t flags;
    std::memcpy(&flags, data, 4);
    flags |= KIV_REGISTER_PROCESS;  // never the persistent store
    std::string rest(reinterpret_cast<const char *>(data) + 4, size - 4);
    std::string clsid = rest.substr(0, rest.find('\0'));
    std::string path = clsid.size() < rest.size() ? rest.substr(clsid.size() + 1) : std::string();
    path = path.substr(0, path.find('\0'));

    const bool wellFormed =
        std::regex_match(clsid, kClassId) &&
        !(flags & ~(KIV_REGISTER_PROCESS | KIV_REGISTER_USER_ONLY | KIV_REGISTER_VARIANT)) &&
        !path.empty();
    kivResult registered = kivRegisterDSO(clsid.c_str(), flags, path.c_str());
    check(wellFormed ? registered == 0 : registered == KIV_E_INVALIDARG);
    if (wellFormed) check(kivUnregisterDSO(clsid.c_str(), flags) == 0);
    return 0;
}
