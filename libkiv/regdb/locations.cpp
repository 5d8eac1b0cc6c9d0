// SPDX-License-Identifier: Apache-2.0
// The files of the machine and user stores, from the environment and the installation root.
#include "regdb/locations.h"

#include <cstdlib>
#include <vector>

#include "ust.h"

namespace kiv::regdb {

namespace {

const char *environment(const char *name) {
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// $HOME, else the home folder of the effective user; empty when neither is known.
std::string homeFolder() {
    if (const char *home = environment("HOME")) return home;
    char home[4096];
    if (ustGetUserHome(home, sizeof home) == 0) return home;
    return {};
}

// A Debian-style multiarch folder name: three or more words joined by '-', such as
// x86_64-linux-gnu or arm-linux-gnueabihf.
bool isMultiarchName(std::string_view name) {
    size_t words = 1;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c == '-') {
            if (i == 0 || i + 1 == name.size() || name[i - 1] == '-') return false;
            ++words;
        } else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
            return false;
        }
    }
    return words >= 3;
}

}  // namespace

std::string machineStoreFolder(std::string_view root) {
    std::string prefix(root);
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    // A library in PREFIX/lib/<multiarch> belongs to PREFIX, as one in PREFIX/lib does.
    size_t slash = prefix.rfind('/');
    if (slash != std::string::npos && isMultiarchName(std::string_view(prefix).substr(slash + 1))) {
        std::string_view up = std::string_view(prefix).substr(0, slash);
        if (up.ends_with("/lib") || up == "lib") prefix.assign(up.substr(0, up.size() - 3));
        while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    }
    // The system's own prefixes keep variable data under /var, not /usr/var.
    if (prefix.empty() || prefix == "/" || prefix == "/usr") return "/var/lib/kiv";
    return prefix + "/var/lib/kiv";
}

std::string machineStorePath(const char *root) {
    if (const char *path = environment("KIV_REGISTRY_MACHINE")) return path;
    if (!root || !*root) return {};
    return machineStoreFolder(root) + "/registry.db";
}

std::string userStorePath() {
    if (const char *path = environment("KIV_REGISTRY_USER")) return path;
    const char *config = environment("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/kiv/registry.db";
    std::string home = homeFolder();
    if (home.empty()) return {};
    return home + "/.config/kiv/registry.db";
}

}  // namespace kiv::regdb
