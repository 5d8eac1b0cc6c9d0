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

int runNamed(Args args) {
    if (args.size() != 4) return usageError("uuid: --name expects NAMESPACE NAME");
    auto ns = namespaceUuid(args[2]);
    if (!ns)
        return usageError(std::string("uuid: not a namespace (dns, url, oid, x500 or a UUID): ") +
                          args[2]);
    std::string_view name = args[3];
    kivUUID uuid;
    kivResult rc = kivUUIDCreateFromName(&*ns, name.data(), name.size(), &uuid);
    if (KIV_FAILED(rc)) return failure("uuid", rc);
    std::printf("%s\n", formatUuid(uuid).c_str());
    return kExitOk;
}

}  // namespace

int runUuid(Args args) {
    if (args.size() >= 2 && std::string_view(args[1]) == "--name") return runNamed(args);
    uint32_t count = 1;
    if (args.size() == 3 && std::string_view(args[1]) == "-n") {
        auto n = parseCode(args[2]);
        if (!n || *n == 0 || *n > kMaxCount)
            return usageError(std::string("uuid: -n expects a count from 1 to 1000000: ") +
                              args[2]);
        count = *n;
    } else if (args.size() != 1) {
        return usageError("uuid: expected [-n N] or --name NAMESPACE NAME");
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
