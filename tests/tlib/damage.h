// SPDX-License-Identifier: Apache-2.0
// Damaged copies of library files, of the kinds that broken storage or a hostile sender
// produce, and the round of calls that a host makes on a file it was given.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tlibtest {

enum class Damage {
    BitFlips,
    ByteFlips,
    Truncation,
    ZeroedPage,
    PageHeaderField,
    LinePointer,
    RecordLength,
    SwappedPages,
    RandomAfterFirstPage,
    NextPageZeroed,
    Cycle,
};
constexpr int kDamageKinds = 11;
const char *damageName(Damage kind);

// The big-endian 32-bit number at `at` of a library file's bytes.
uint32_t be32(const std::string &file, size_t at);
// The first leaf page of a library file's bytes that links to a next page; 0 when none does.
size_t linkedLeafPage(const std::string &file);

// A copy of `file` (a library's bytes) with one damage of `kind`.
std::string damaged(const std::string &file, Damage kind, std::mt19937 &random);

// Builds a library of about `definitions` definitions of every kind at `path`; returns their ids.
std::vector<std::string> buildLibrary(const std::string &path, int definitions);

// What a host does with a file it was given: opens it read-only and looks up every id of
// `ids` and the root, then opens a copy at `scratch` read-write, adds a definition and
// flushes. Fails (returns a message) only on a broken promise: a flush that returned 0 but left
// fewer readable ids than before, or a refused file whose copy was changed.
std::string exercise(const std::string &path, const std::string &scratch,
                     const std::vector<std::string> &ids);

}  // namespace tlibtest
