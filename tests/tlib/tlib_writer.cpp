// A child process for the crash and concurrency tests: adds definitions to a library in
// batches and flushes after each batch, printing "flushed <n>" once n definitions are written.
//
//   tlib_writer PATH PREFIX FIRST COUNT BATCH
//
// Definition i is the string type PREFIX<i> with bound i, listed in the anonymous-types scope;
// ids already in the library are skipped, so a writer can resume after being killed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_fixtures.h"

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: tlib_writer PATH PREFIX FIRST COUNT BATCH\n");
        return 2;
    }
    std::string prefix = argv[2];
    long first = std::atol(argv[3]), count = std::atol(argv[4]), batch = std::atol(argv[5]);
    kivTLib *tlib = nullptr;
    if (kivResult rc = kivTLibOpen(argv[1], 0, &tlib)) {
        std::fprintf(stderr, "open: 0x%08x\n", rc);
        return 1;
    }
    for (long i = first; i < first + count; ++i) {
        std::string id = prefix + std::to_string(i);
        if (kivTLibGetDefinition(tlib, id.c_str(), nullptr) != 0)
            tlibtest::addDefinition(
                tlib, kiv::tlib::DefinitionPtr(&kiv::tlib::buildString(KIV_DEF_STRING, id.c_str(),
                                                                       KIV_DEF_MODIFIED,
                                                                       static_cast<uint32_t>(i))
                                                    ->header));
        if ((i - first + 1) % batch == 0 || i == first + count - 1) {
            if (kivResult rc = kivTLibFlush(tlib)) {
                std::fprintf(stderr, "flush: 0x%08x\n", rc);
                return 1;
            }
            std::printf("flushed %ld\n", i + 1);
            std::fflush(stdout);
        }
    }
    return kivTLibClose(tlib) == 0 ? 0 : 1;
}
