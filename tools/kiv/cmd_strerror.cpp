// kiv strerror CODE...: the text of each result code.
#include <cstdio>
#include <string>

#include "cli.h"

namespace kivtool {

int runStrError(Args args) {
    if (args.size() < 2) return usageError("strerror: expected at least one result code");
    int status = kExitOk;
    for (size_t i = 1; i < args.size(); ++i) {
        auto code = parseCode(args[i]);
        if (!code) {
            usageError(std::string("strerror: not a result code: ") + args[i]);
            status = kExitUsage;
            continue;
        }
        std::printf("0x%08x  %s\n", *code, kivStrError(*code));
    }
    return status;
}

}  // namespace kivtool
