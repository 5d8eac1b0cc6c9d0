// SPDX-License-Identifier: Apache-2.0
// Message catalogues of plug-ins: a text domain named after the plug-in file, bound to the
// first "locale" directory found near the plug-in or under the installation root.
#include "com/catalogue.h"

#include <cstring>
#include <optional>

#include "core/runtime.h"
#include "ust.h"

namespace kiv::com {

namespace {

// Runs a ust path operation into a buffer large enough for any result it can give.
template <typename Operation>
std::optional<std::string> pathResult(size_t maxLength, Operation operation) {
    std::string buffer(maxLength + 1, '\0');
    if (KIV_FAILED(operation(buffer.data(), buffer.size()))) return std::nullopt;
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

std::optional<std::string> dirname(const std::string &path) {
    // "a" gives ".", so the answer may be longer than the path.
    return pathResult(path.size() + 1,
                      [&](char *b, size_t n) { return ustGetDirname(path.c_str(), b, n); });
}

std::optional<std::string> basename(const std::string &path) {
    return pathResult(path.size() + 1,
                      [&](char *b, size_t n) { return ustGetBasename(path.c_str(), b, n); });
}

std::optional<std::string> append(const std::optional<std::string> &directory,
                                  const char *component) {
    if (!directory) return std::nullopt;
    return pathResult(directory->size() + std::strlen(component) + 1, [&](char *b, size_t n) {
        return ustAppendToPath(directory->c_str(), component, b, n);
    });
}

bool isDirectory(const std::optional<std::string> &path) {
    if (!path) return false;
    ustFileInfo info{};
    info.version = UST_FILE_INFO_VERSION;
    return ustGetFileInfo(path->c_str(), &info) == 0 && info.kind == UST_FILE_DIRECTORY;
}

}  // namespace

std::string textDomainOf(std::string_view name) {
    const char *prefix = ustGetDSOPrefix();
    const char *suffix = ustGetDSOSuffix();
    if (prefix && *prefix && name.starts_with(prefix)) name.remove_prefix(std::strlen(prefix));
    if (suffix && *suffix && name.size() > std::strlen(suffix) && name.ends_with(suffix))
        name.remove_suffix(std::strlen(suffix));
    return std::string(name);
}

std::string catalogueDirectory(const char *dsoPath, const char *rootDir) {
    auto directory = dirname(dsoPath);
    if (!directory) return {};
    std::optional<std::string> candidates[3] = {
        append(directory, "locale"),
        append(append(dirname(*directory), "lib"), "locale"),
    };
    if (rootDir && *rootDir) candidates[2] = append(append(std::string(rootDir), "lib"), "locale");
    for (const auto &candidate : candidates)
        if (isDirectory(candidate)) return *candidate;
    return {};
}

void bindCatalogue(const char *dsoPath) {
    auto fileName = basename(dsoPath);
    if (!fileName) return;
    std::string directory = catalogueDirectory(dsoPath, kivGetRootDir());
    if (!directory.empty()) ustBindTextDomain(textDomainOf(*fileName).c_str(), directory.c_str());
}

}  // namespace kiv::com
