// SPDX-License-Identifier: Apache-2.0
// kiv uuid [-n N] | kiv uuid --name NAMESPACE NAME: new random UUIDs, or the version-3 UUID
// of a name in a namespace.
#include <cstdio>
#include <string>

#include "cli.h"
#include "uuid_text.h"

namespace kivtool {

namespace {

constexpr uint32_t kMaxCount = 1000000;

// The namespaces of RFC 4122 by name, or any UUID text.
std::optional<kivUUID> namespaceUuid(std::string_view text) {
    struct Known {
        std::string_view name;
        const char *uuid;
    };
    static constexpr Known known[] = {
        {"dns", "6ba7b810-9dad-11d1-80b4-00c04fd430c8"},
        {"url", "6ba7b811-9dad-11d1-80b4-00c04fd430c8"},
        {"oid", "6ba7b812-9dad-11d1-80b4-00c04fd430c8"},
        {"x500", "6ba7b814-9dad-11d1-80b4-00c04fd430c8"},
    };
    for (const auto &k : known)
        if (k.name == text) return parseUuid(k.uuid);
    return parseUuid(text);
}

int runNamed(std::string_view nsText, std::string_view name) {
    auto ns = namespaceUuid(nsText);
    if (!ns)
        return usageError("uuid: not a namespace (dns, url, oid, x500 or a UUID): " +
                          std::string(nsText));
    kivUUID uuid;
    kivResult rc = kivUUIDCreateFromName(&*ns, name.data(), name.size(), &uuid);
    if (KIV_FAILED(rc)) return failure("uuid", rc);
    std::printf("%s\n", formatUuid(uuid).c_str());
    return kExitOk;
}

constexpr OptionSpec kOptions[] = {
    {"-n", true, 1},
    {"--count", true, 1},
    {"--name", false, 2},
};

}  // namespace

int runUuid(Args args) {
    std::string error;
    const auto options = Options::parse(args, 1, kOptions, error);
    if (!options) return usageError("uuid: " + error);
    const auto &operands = options->operands();
    if (options->has("--name")) {
        if (options->has("-n") || options->has("--count"))
            return usageError("uuid: --name makes one UUID; -n does not apply");
        if (operands.size() != 2) return usageError("uuid: --name expects NAMESPACE NAME");
        return runNamed(operands[0], operands[1]);
    }
    if (!operands.empty()) return usageError("uuid: expected [-n N] or --name NAMESPACE NAME");
    uint32_t count = 1;
    if (auto text = options->has("-n") ? options->value("-n") : options->value("--count")) {
        auto n = parseCode(*text);
        if (!n || *n == 0 || *n > kMaxCount)
            return usageError("uuid: -n expects a count from 1 to 1000000: " + std::string(*text));
        count = *n;
    }
    for (uint32_t i = 0; i < count; ++i) {
        kivUUID uuid;
        kivResult rc = kivUUIDCreate(&uuid);
        if (KIV_FAILED(rc)) return failure("uuid", rc);
        std::printf("%s\n", formatUuid(uuid).c_str());
    }
    return kExitOk;
}

}  // namespace kivtool
