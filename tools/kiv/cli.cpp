#include "cli.h"

#include <charconv>
#include <cstdio>
#include <string>

namespace kivtool {

int usageError(std::string_view message) {
    std::fflush(stdout);  // keep what was printed before the message ahead of it
    std::fprintf(stderr, "kiv: %.*s\n", static_cast<int>(message.size()), message.data());
    return kExitUsage;
}

int failure(std::string_view what, kivResult code) {
    std::fflush(stdout);
    std::fprintf(stderr, "kiv: %.*s: %s\n", static_cast<int>(what.size()), what.data(),
                 kivStrError(code));
    return kExitFailure;
}

std::optional<uint32_t> parseCode(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace kivtool
