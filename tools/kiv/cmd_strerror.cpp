// SPDX-License-Identifier: Apache-2.0
// kiv strerror CODE...: the text of each result code.
#include <cstdio>
#include <string>

#include "cli.h"

namespace kivtool {

int runStrError(Args args) {
    std::string error;
    const auto options = Options::parse(args, 1, {}, error);
    if (!options) return usageError("strerror: " + error);
    if (options->operands().empty())
        return usageError("strerror: expected at least one result code");
    int status = kExitOk;
    for (const std::string_view text : options->operands()) {
        auto code = parseCode(text);
        if (!code) {
            usageError("strerror: not a result code: " + std::string(text));
            status = kExitUsage;
            continue;
        }
        std::printf("0x%08x  %s\n", *code, kivStrError(*code));
    }
    return status;
}

}  // namespace kivtool
