#include "regdb/locations.h"

#include <cstdlib>
#include <vector>

#include "core/runtime.h"
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

}  // namespace

std::string machineStorePath() {
    if (const char *path = environment("KIV_REGISTRY_MACHINE")) return path;
    const char *root = kivGetRootDir();
    if (!root || !*root) return {};
    return std::string(root) + "/var/lib/kiv/registry.db";
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
