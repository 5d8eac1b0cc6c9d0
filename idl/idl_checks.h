// SPDX-License-Identifier: Apache-2.0
// Checks of the names that one declaration brings together: members, enumerators, parameters,
// union labels and the slots of an interface's function table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "idl_source.h"

namespace kivtool::idl {

struct Named {
    std::string name;
    Location at;  // unknown for names read from a library
};

// Two entries of one list whose names are equal, or differ only in case.
struct Clash {
    size_t later = 0;
    size_t first = 0;
    bool caseOnly = false;
};

// `name` with A-Z in lower case: the form in which two names must differ.
std::string foldCase(std::string_view name);

// Every entry whose name repeats an earlier one (compared without regard to case, as a
// generated C or C++ name would collide on a case-insensitive file system or in the IDL
// rules); linear in the number of entries.
std::vector<Clash> findClashes(std::span<const Named> names);

// The slot names that an interface member takes in its function table: an operation its own
// name; an attribute "get_NAME", and "set_NAME" unless read-only.
std::vector<std::string> slotNames(std::string_view member, bool attribute, bool readonly);

// The slots every interface table starts with.
std::span<const std::string_view> baseSlotNames();

// A union label as a comparable key: "default", or the value's bits.
std::string labelKey(uint32_t tag, uint64_t low, uint64_t high, bool isDefault);

// Why the type library cannot hold a construct of standard IDL named by `word` (a keyword or
// a predefined type); nullptr for any other word.
const char *unsupported(std::string_view word);

}  // namespace kivtool::idl
