// Where the machine store and the user store live.
#pragma once

#include <string>

namespace kiv::regdb {

// KIV_REGISTRY_MACHINE when set and not empty, else var/lib/kiv/registry.db under the
// installation root directory; empty when neither is known.
std::string machineStorePath();
// KIV_REGISTRY_USER when set and not empty, else kiv/registry.db under the user's
// configuration folder ($XDG_CONFIG_HOME when it is an absolute path, else ~/.config).
std::string userStorePath();

}  // namespace kiv::regdb
