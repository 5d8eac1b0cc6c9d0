// SPDX-License-Identifier: Apache-2.0
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
// What kivTLibOpen answers (a handle it opens is closed again; a failure hands out none).
kivResult openResult(const std::string &path, uint32_t flags = 0);
// Module `name`, "IDL:name:1.0", at the root.
kivResult addModule(kivTLib *t, const std::string &name);

// Bytes from blank-separated hex pairs and 'quoted text': "02 'ab' 00" is 02 61 62 00.
Bytes bytes(const std::string &pattern);
std::string hex(const Bytes &b);
std::string key(const std::string &repoId);

// All records of a library file, and raw records put into one (created when missing).
Records readRecords(const std::string &path);
void putRecords(const std::string &path, const Records &records);

// The one place where tests look inside a handle, for what no exported function tells: how
// many definitions it holds (decoded or created), which are pending for the next flush, and
// whether the local id counter is. Everything else goes through the exported functions.
struct HandleState {
    uint32_t cached;
    uint32_t pending;
    bool counterPending;
};
HandleState stateOf(const kivTLib *t);
bool isPending(const kivTLib *t, const kivTLibDef *def);

// Fills a new library through the creating operations: module M with a constant of every value
// tag but NaN, and every other kind of definition, named and anonymous.
void addEveryKind(kivTLib *t);

}  // namespace tlibtest
