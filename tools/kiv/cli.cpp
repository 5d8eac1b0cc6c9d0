// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the kiv tool's subcommands.
#include "cli.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

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

void warning(std::string_view message) {
    std::fflush(stdout);
    std::fprintf(stderr, "kiv: warning: %.*s\n", static_cast<int>(message.size()), message.data());
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

const HelpPage *findHelp(std::string_view command) {
    for (size_t i = 0; i < kHelpPageCount; ++i)
        if (kHelpPages[i].command == command) return &kHelpPages[i];
    return nullptr;
}

std::optional<Options> Options::parse(Args args, size_t first,
                                      std::span<const OptionSpec> optionDefs, std::string &error) {
    Options result;
    bool optionsEnded = false;
    for (size_t i = first; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            result.operands_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const bool isLong = arg.starts_with("--");
        const size_t equals = isLong ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        const auto def = std::find_if(optionDefs.begin(), optionDefs.end(),
                                      [&](const OptionSpec &s) { return s.name == name; });
        if (def == optionDefs.end()) {
            if (!isLong) {  // "-5", "-Inf": an operand
                result.operands_.push_back(arg);
                continue;
            }
            error = "unknown option '" + std::string(name) + "'";
            return std::nullopt;
        }
        Given given{def->name, std::nullopt};
        if (def->takesValue) {
            if (equals != std::string_view::npos) {
                given.value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                given.value = std::string_view(args[++i]);
            } else {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
        } else if (equals != std::string_view::npos) {
            error = std::string(name) + " takes no value";
            return std::nullopt;
        }
        for (const Given &earlier : result.given_) {
            if (earlier.name == def->name) {
                error = std::string(name) + " given twice";
                return std::nullopt;
            }
            const auto other =
                std::find_if(optionDefs.begin(), optionDefs.end(),
                             [&](const OptionSpec &s) { return s.name == earlier.name; });
            if (def->group != 0 && other->group == def->group) {
                error =
                    std::string(earlier.name) + " and " + std::string(name) + " cannot be combined";
                return std::nullopt;
            }
        }
        result.given_.push_back(given);
    }
    return result;
}

bool Options::has(std::string_view name) const {
    return std::any_of(given_.begin(), given_.end(),
                       [&](const Given &g) { return g.name == name; });
}

std::optional<std::string_view> Options::value(std::string_view name) const {
    for (const Given &g : given_)
        if (g.name == name) return g.value;
    return std::nullopt;
}

}  // namespace kivtool
