// SPDX-License-Identifier: Apache-2.0
// Where the machine store and the user store live. Shared by the library and the kiv tool, so
// that `kiv reg where` names the same files.
#pragma once

#include <string>
#include <string_view>

namespace kiv::regdb {

// KIV_REGISTRY_MACHINE when set and not empty, else registry.db in the machine store folder of
// the installation root directory `root`; empty when neither is known.
std::string machineStorePath(const char *root);
// The machine store folder of an installation root: ROOT/var/lib/kiv, where ROOT drops a
// trailing lib/<multiarch> (lib/x86_64-linux-gnu and the like); /var/lib/kiv for the roots /usr
// and /.
std::string machineStoreFolder(std::string_view root);
// KIV_REGISTRY_USER when set and not empty, else kiv/registry.db under the user's
// configuration folder ($XDG_CONFIG_HOME when it is an absolute path, else ~/.config).
std::string userStorePath();

}  // namespace kiv::regdb
