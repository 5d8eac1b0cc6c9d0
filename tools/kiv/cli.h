// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the kiv tool's subcommands: exit statuses, messages, help pages and the
// option parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kiv.h"

namespace kivtool {

// Exit statuses: 0 success, 1 failure of the operation, 2 wrong usage.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using Args = std::span<char *const>;

struct Command {
    std::string_view name;
    int (*run)(Args args);  // args[0] is the subcommand name
};

// A command's help text: the page docs/man/kiv-COMMAND.txt ("kiv" for the tool itself), which
// is also its manual page.
struct HelpPage {
    std::string_view command;
    std::string_view text;
};
extern const HelpPage kHelpPages[];
extern const size_t kHelpPageCount;
const HelpPage *findHelp(std::string_view command);

// Prints "kiv: <message>" on stderr and returns kExitUsage.
int usageError(std::string_view message);
// Prints "kiv: <what>: <text of code>" on stderr and returns kExitFailure.
int failure(std::string_view what, kivResult code);
// Prints "kiv: warning: <message>" on stderr.
void warning(std::string_view message);

// A result code written in hex (0x...) or decimal; nullopt when the text is not one.
std::optional<uint32_t> parseCode(std::string_view text);

// " (did you mean X?)" for the candidate closest to a mistyped word, `otherwise` when none is
// close.
std::string didYouMean(std::string_view word, std::span<const std::string_view> candidates,
                       std::string_view otherwise = {});

// An option a command accepts. Long names start with "--", short ones are "-x".
struct OptionSpec {
    std::string_view name;
    bool takesValue = false;
    int group = 0;                   // options sharing a nonzero group exclude each other
    bool repeatable = false;         // may be given more than once; values() has every value
    std::string_view longName = {};  // another spelling of a short option ("--output" for -o)
};

// The options and operands of one command line. Options may stand anywhere among the operands;
// "--name=value" and "--name value" both give a value, as do "-xvalue" and "-x value" for a
// short option; "--" makes every later argument an operand. An argument starting with "-" that
// is no known short option is an operand, so that negative numbers need no "--". Unknown long
// options (with the closest known one suggested), missing values, an option given twice
// unless repeatable, and two options of one group are errors.
class Options {
  public:
    // Parses args[first...]; on failure returns nullopt with a message in `error`.
    static std::optional<Options> parse(Args args, size_t first, std::span<const OptionSpec> specs,
                                        std::string &error);

    bool has(std::string_view name) const;
    // The value of an option; for a repeatable one, the first.
    std::optional<std::string_view> value(std::string_view name) const;
    // Every value of an option, in the order given.
    std::vector<std::string_view> values(std::string_view name) const;
    const std::vector<std::string_view> &operands() const { return operands_; }

  private:
    struct Given {
        std::string_view name;
        std::optional<std::string_view> value;
    };
    std::vector<Given> given_;
    std::vector<std::string_view> operands_;
};

// The plug-in path that the registry database gives for a class, looked up as class resolution
// does (user root, then machine root); nullopt when no root registers it or one fails first.
std::optional<std::string> registeredPath(const char *clsid);

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
int runCall(Args args);

}  // namespace kivtool
