// Helpers of the type library tests: handles, byte strings, raw records, and a library holding
// every kind of definition.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kiv_tlib.h"

namespace tlibtest {

using Bytes = std::vector<uint8_t>;
using Records = std::map<std::string, Bytes>;  // key (repository id and NUL) -> value

struct Closer {
    void operator()(kivTLib *t) const { kivTLibClose(t); }
};
using Handle = std::unique_ptr<kivTLib, Closer>;
// kivTLibCreate and kivTLibOpen, failing the current test when they fail.
Handle create(const std::string &path, uint32_t flags = 0);
Handle open(const std::string &path, uint32_t flags = 0);

// Bytes from blank-separated hex pairs and 'quoted text': "02 'ab' 00" is 02 61 62 00.
Bytes bytes(const std::string &pattern);
std::string hex(const Bytes &b);
std::string key(const std::string &repoId);

// All records of a library file, and raw records put into one (created when missing).
Records readRecords(const std::string &path);
void putRecords(const std::string &path, const Records &records);

// Fills a new library through the creating operations: module M with a constant of every value
// tag but NaN, and every other kind of definition, named and anonymous.
void addEveryKind(kivTLib *t);

}  // namespace tlibtest
