// SPDX-License-Identifier: Apache-2.0
// Reading type library files without trusting them: a bounds-checked check of the whole
// B-tree file and an index of every record it holds.
//
// A file is checked as a whole before anything uses it: the meta page (magic number, version,
// page size, byte order), the file's size, then the tree level by level from the root page:
// every page number in range, each page's own number, its kind (internal or leaf on a tree
// level, all pages of a level of one kind), its entry table (line pointers inside the page and
// above the table, every entry wholly inside its page, sizes of overflow references), the
// sibling links of every level in left-to-right order, every overflow chain (page kinds and
// numbers, exactly as many pages as its length needs), and the free list; no page may be
// reached twice, which also rules out cycles, and the walk needs no recursion. Record contents
// are not checked here: the format has no checksums, so damage inside a record's bytes is
// found only by the record reader.
//
// The records are then served from the checked image, never by the database library: lookups
// by binary search over the sorted index, a full scan in key order. Keys are ordered here, so
// a file whose pages list them out of order still reads completely; a key stored twice is
// damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::tlib::btree {

constexpr uint32_t kPageSize = 1024;
// Larger files are refused (offsets into a file are kept in 32 bits).
constexpr size_t kMaxFileBytes = size_t{1} << 31;

// What is wrong with a file; page 0 is the meta page, kWholeFile the file as such.
struct Problem {
    static constexpr uint32_t kWholeFile = UINT32_MAX;
    uint32_t page;
    std::string what;
};

// "page 12: ..." or "file: ...".
std::string describe(const Problem &problem);

class Image {
  public:
    // Checks a whole file's bytes. On success *out owns them and indexes every record; an empty
    // file is an empty tree (a library created and not yet written). Otherwise false, with up to
    // `maxProblems` problems appended to *problems when it is given.
    static bool load(std::vector<uint8_t> bytes, Image *out,
                     std::vector<Problem> *problems = nullptr, size_t maxProblems = 1);

    size_t size() const { return items_.size(); }
    std::string_view key(size_t i) const;
    // The value of record i; a value kept in overflow pages is assembled in `scratch`, which
    // the result then points into.
    std::span<const uint8_t> value(size_t i, std::vector<uint8_t> &scratch) const;
    // The record of `key`, or npos.
    static constexpr size_t npos = SIZE_MAX;
    size_t find(std::string_view key) const;
    // Pages of the file (0 for an empty file).
    uint32_t pages() const { return static_cast<uint32_t>(bytes_.size() / kPageSize); }
    // The file's bytes.
    std::span<const uint8_t> bytes() const { return bytes_; }
    // Zeroes the free space of every tree page and the unused end of every value's last
    // overflow page: the database library leaves whatever its memory held there.
    void clearUnusedBytes();

  private:
    struct Item {
        uint64_t keyAt;  // offset into bytes_, or into ownedKeys_ when keyOwned
        uint32_t keySize;
        uint32_t valueAt;  // offset into bytes_, or the first overflow page when valueBig
        uint32_t valueSize;
        uint32_t page;  // the leaf page that lists the record
        bool keyOwned;
        bool valueBig;
    };
    friend class Checker;

    std::vector<uint8_t> bytes_;
    std::string ownedKeys_;  // keys kept in overflow pages, assembled
    std::vector<Item> items_;
};

}  // namespace kiv::tlib::btree
