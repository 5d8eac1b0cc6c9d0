// Shared helpers of the type library tests: handles, byte strings, raw records, and a library
// holding every kind of definition.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv_tlib.h"

namespace tlibtest {

using Bytes = std::vector<uint8_t>;
using Records = std::map<std::string, Bytes>;  // record key (id plus NUL) -> value

struct Closer {
    void operator()(kivTLib *t) const { kivTLibClose(t); }
};
using Handle = std::unique_ptr<kivTLib, Closer>;
// kivTLibCreate and kivTLibOpen, failing the current test when they fail.
Handle create(const std::string &path, uint32_t flags = 0);
Handle open(const std::string &path, uint32_t flags = 0);

// Bytes from hex pairs and 'quoted text' separated by blanks: "02 'ab' 00" is 02 61 62 00.
Bytes bytes(std::string_view pattern);
std::string hex(const Bytes &b);
std::string key(std::string_view repoId);

// Every record of a library file, read with the 1.85 library.
Records readRecords(const std::string &path);
// Puts raw records into a library file (created when missing).
void putRecords(const std::string &path, const Records &records);

// Fills a new library through the creating operations: a module M holding every kind of
// definition, a constant of every value tag but NaN, and anonymous types of every kind.
void addEveryKind(kivTLib *t);

}  // namespace tlibtest
