// Shared helpers of the type library tests: byte strings, sample definitions of every kind,
// and raw access to library files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv_tlib.h"
#include "tlib/model.h"

namespace tlibtest {

using Bytes = std::vector<uint8_t>;

// A handle that closes itself.
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

// One definition of every kind, with every field that the kind has in use.
std::vector<kiv::tlib::DefinitionPtr> sampleDefinitions();

// A structure whose record (key plus value) has exactly `recordBytes` bytes in total.
kiv::tlib::DefinitionPtr structOfRecordSize(const std::string &repoId, size_t recordBytes);

// Enters `def` into the handle and lists it in the scope `scopeId` (the anonymous-types scope
// for the anonymous kinds), as a creating operation does. Returns the definition.
kivTLibDef *addDefinition(kivTLib *tlib, kiv::tlib::DefinitionPtr def,
                          const char *scopeId = nullptr);
// A module `IDL:<name>:1.0` in the root (created when missing).
kivTLibDef *addModule(kivTLib *tlib, const std::string &name);

// Every record of a library file as key -> value, read with the 1.85 library.
std::vector<std::pair<std::string, Bytes>> readAllRecords(const std::string &path);
// Writes raw records into a library file (created when missing).
void putRawRecords(const std::string &path,
                   const std::vector<std::pair<std::string, Bytes>> &records);

}  // namespace tlibtest
