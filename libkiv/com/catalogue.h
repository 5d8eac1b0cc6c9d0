// SPDX-License-Identifier: Apache-2.0
// Message catalogues of plug-ins.
#pragma once

#include <string>

namespace kiv::com {

// The text domain of a plug-in file: its name without the platform's DSO prefix and suffix
// ("libgreeter.so" gives "greeter").
std::string textDomainOf(std::string_view fileName);

// The first existing "locale" directory for a plug-in at dsoPath: beside it, in ../lib/locale,
// then under the root directory's lib/locale (rootDir may be null or empty). Empty when none.
std::string catalogueDirectory(const char *dsoPath, const char *rootDir);

// Binds the plug-in's text domain to its catalogue directory, if it has one. Reports nothing.
void bindCatalogue(const char *dsoPath);

}  // namespace kiv::com
