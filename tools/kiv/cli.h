// Shared pieces of the kiv tool's subcommands.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kiv.h"

namespace kivtool {

// Exit statuses: 0 success, 1 failure of the operation, 2 wrong usage.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using Args = std::span<char *const>;

struct Command {
    std::string_view name;
    std::string_view synopsis;  // one line for `kiv --help`
    int (*run)(Args args);      // args[0] is the subcommand name
};

// Prints "kiv: <message>" on stderr and returns kExitUsage.
int usageError(std::string_view message);
// Prints "kiv: <what>: <text of code>" on stderr and returns kExitFailure.
int failure(std::string_view what, kivResult code);

// A result code written in hex (0x...) or decimal; nullopt when the text is not one.
std::optional<uint32_t> parseCode(std::string_view text);

// Subcommands, one per file.
int runStrError(Args args);
int runReg(Args args);
int runUuid(Args args);
int runRegister(Args args);
int runUnregister(Args args);
int runWhich(Args args);
int runCreate(Args args);
int runTLib(Args args);
int runIdl(Args args);
int runFixed(Args args);

}  // namespace kivtool
