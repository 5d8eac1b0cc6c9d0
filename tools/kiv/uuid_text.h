// SPDX-License-Identifier: Apache-2.0
// UUIDs as text: "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", the form of class ids.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kiv.h"

namespace kivtool {

std::string formatUuid(const kivUUID &uuid);  // lower case
// Accepts either case; nullopt for anything else.
std::optional<kivUUID> parseUuid(std::string_view text);
// A class id as the library compares them: UUID text in lower case.
bool isClassId(std::string_view text);
// UUID text in either case as a class id; nullopt for anything else.
std::optional<std::string> classIdOf(std::string_view text);

}  // namespace kivtool
