// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the kiv tool's subcommands.
#include "cli.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "idl_source.h"

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

std::string didYouMean(std::string_view word, std::span<const std::string_view> candidates,
                       std::string_view otherwise) {
    const std::vector<std::string> names(candidates.begin(), candidates.end());
    const auto close = idl::closest(word, names);
    return close ? " (did you mean " + *close + "?)" : std::string(otherwise);
}

namespace {

const OptionSpec *findSpec(std::span<const OptionSpec> specs, std::string_view name) {
    const auto it = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec &s) {
        return s.name == name || (!s.longName.empty() && s.longName == name);
    });
    return it == specs.end() ? nullptr : &*it;
}

// The option an argument names, and the value written into it ("--name=value", "-xvalue").
struct Spelled {
    const OptionSpec *option = nullptr;
    std::string_view name;
    std::optional<std::string_view> value;
};

Spelled spelling(std::string_view arg, std::span<const OptionSpec> specs) {
    if (arg.starts_with("--")) {
        const size_t equals = arg.find('=');
        Spelled s{nullptr, arg.substr(0, equals), std::nullopt};
        if (equals != std::string_view::npos) s.value = arg.substr(equals + 1);
        s.option = findSpec(specs, s.name);
        return s;
    }
    Spelled s{findSpec(specs, arg), arg, std::nullopt};
    if (!s.option && arg.size() > 2) {
        const OptionSpec *shortSpec = findSpec(specs, arg.substr(0, 2));
        if (shortSpec && shortSpec->takesValue) s = {shortSpec, arg.substr(0, 2), arg.substr(2)};
    }
    return s;
}

// A negative number as the commands take them, which is an operand rather than an option.
bool looksNegative(std::string_view arg) {
    if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') return false;
    const char first = arg[1];
    if ((first >= '0' && first <= '9') || first == '.') return true;
    std::string rest;
    for (char c : arg.substr(1)) rest += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return rest == "inf" || rest == "infinity" || rest == "nan" || rest == "snan";
}

}  // namespace

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
        const Spelled spelled = spelling(arg, optionDefs);
        const OptionSpec *def = spelled.option;
        const std::string name(spelled.name);
        if (!def) {
            if (looksNegative(arg)) {  // "-5", "-.5", "-Inf": an operand
                result.operands_.push_back(arg);
                continue;
            }
            std::vector<std::string_view> known{"--help"};
            for (const OptionSpec &s : optionDefs) {
                known.push_back(s.name);
                if (!s.longName.empty()) known.push_back(s.longName);
            }
            error = "unknown option '" + name + "'" + didYouMean(name, known);
            return std::nullopt;
        }
        Given given{def->name, spelled.value};
        if (def->takesValue && !given.value) {
            if (i + 1 == args.size()) {
                error = name + " needs a value";
                return std::nullopt;
            }
            given.value = std::string_view(args[++i]);
        } else if (!def->takesValue && given.value) {
            error = name + " takes no value";
            return std::nullopt;
        }
        for (const Given &earlier : result.given_) {
            if (earlier.name == def->name && !def->repeatable) {
                error = name + " given twice";
                return std::nullopt;
            }
            if (def->group != 0 && earlier.name != def->name &&
                findSpec(optionDefs, earlier.name)->group == def->group) {
                error = std::string(earlier.name) + " and " + name + " cannot be combined";
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

std::vector<std::string_view> Options::values(std::string_view name) const {
    std::vector<std::string_view> found;
    for (const Given &g : given_)
        if (g.name == name && g.value) found.push_back(*g.value);
    return found;
}

}  // namespace kivtool
