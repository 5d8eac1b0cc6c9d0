// SPDX-License-Identifier: Apache-2.0
// Whole library files from arbitrary bytes, as a host meets them: open, read every record's
// definition and walk the scopes, then open read-write, add a definition and flush. Nothing may
// crash or hang, and a flush that returns 0 keeps every record that the file held.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kiv_tlib.h"
#include "tlib/btree.h"
#include "tlib/store.h"
#include "../scratch_library.h"

using namespace kiv::tlib;

namespace {

void writeFile(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
}

// Every definition the file holds, and what its scopes list.
void readEverything(kivTLib *t, const btree::Image &image) {
    for (size_t i = 0; i < image.size(); ++i) {
        std::string id(image.key(i));
        if (id.empty() || id.back() != '\0') continue;
        kivTLibDef *def = nullptr;
        if (kivTLibGetDefinition(t, id.c_str(), &def) != 0 || def->kind != KIV_DEF_MODULE) continue;
        auto *module = reinterpret_cast<kivTLibModuleDef *>(def);
        for (uint32_t c = 0; c < module->contentCount; ++c)
            if (module->contents[c]) kivTLibGetDefinition(t, module->contents[c], nullptr);
    }
    char local[32];
    kivTLibCreateLocalRepoId(t, local, sizeof local);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = kivfuzz::scratchLibrary("file-fuzz");
    writeFile(path, data, size);
    btree::Image image;
    btree::Image::load({data, data + size}, &image);

    // Lookups read only the pages on their paths: a damaged file may open, and its lookups
    // either fail or find records.
    kivTLib *t = nullptr;
    if (kivTLibOpen(path.c_str(), KIV_TLIB_READONLY, &t) == 0) {
        readEverything(t, image);
        kivTLibDef *root = nullptr;
        if (kivTLibGetRoot(t, &root) == 0) {
            auto *module = reinterpret_cast<kivTLibModuleDef *>(root);
            for (uint32_t c = 0; c < module->contentCount; ++c)
                if (module->contents[c]) kivTLibGetDefinition(t, module->contents[c], nullptr);
        }
        kivTLibClose(t);
    }
    if (kivTLibOpen(path.c_str(), 0, &t) != 0) return 0;
    kivTLibCreateRoot(t, 0, nullptr);
    kivResult flushed =
        kivTLibCreateModule(t, "Fuzz", "IDL:Fuzz:1.0", KIV_TLIB_ROOT_ID, 0, nullptr);
    if (flushed == 0) flushed = kivTLibFlush(t);
    kivTLibClose(t);
    if (flushed != 0) return 0;
    size_t after = 0;
    if (readAll(path, [&after](std::string_view, std::span<const uint8_t>) { ++after; }) != 0 ||
        after < image.size())
        std::abort();  // a flush that returned 0 lost records
    return 0;
}
