// SPDX-License-Identifier: Apache-2.0
// A type library opened read-only by the tool, and the walk over its definitions.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kiv.h"

namespace kivtool {

class Library {
  public:
    // Opens `path` read-only; nothing the tool does can change the file.
    static kivResult open(const std::string &path, std::unique_ptr<Library> *out);
    ~Library() { kivTLibClose(tlib_); }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    kivTLib *handle() const { return tlib_; }
    // The definition of `repoId`, or null when it cannot be read (the code in *rc).
    const kivTLibDef *find(const char *repoId, kivResult *rc = nullptr) const;

    // What a walk from the root module and the anonymous-types scope reaches.
    struct Reachable {
        // Depth first in contents order: the root (when present), everything inside it, the
        // anonymous-types scope and its contents. Each definition once.
        std::vector<const kivTLibDef *> definitions;
        // Ids listed in some contents that name no definition.
        std::vector<std::string> dangling;
        // Null entries in contents (a damaged record): counted, never followed.
        size_t nullEntries = 0;
    };
    // Fails only when a record cannot be read (a malformed record gives KIV_E_FORMAT).
    kivResult walk(Reachable *out) const;

    // The next local id number that the library would hand out, without changing the file
    // (ids handed out on a read-only handle are never written).
    kivResult nextLocalId(uint32_t *out) const;

  private:
    explicit Library(kivTLib *tlib) : tlib_(tlib) {}
    kivTLib *tlib_;
};

// What is wrong with the file at `path`, one line each: the B-tree's pages first ("page 15:
// next-page link 0, expected 16"), then, when the pages are sound, records that cannot be
// read as definitions ("record IDL:Demo/Point:1.0: Type library format error") and a missing
// anonymous-types scope. Empty for a sound library. `records` receives the number of records.
std::vector<std::string> checkFile(const std::string &path, size_t *records = nullptr);

// Why opening `path` as a library failed with `code`, in plain words.
std::string whyNotOpened(const std::string &path, kivResult code);

// The contents of a scope (module, interface, structure, union); empty for other kinds.
std::vector<const char *> contentsOf(const kivTLibDef *def);

// The kind of definition that a type reference of `tag` names; 0 for tags that name none.
kivTLibDefKind kindOfTag(kivTLibTypeTag tag);

// "module", "interface", "struct", ... for a definition kind; "kind N" for anything else.
std::string kindName(kivTLibDefKind kind);

}  // namespace kivtool
