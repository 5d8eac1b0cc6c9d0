// SPDX-License-Identifier: Apache-2.0
// Reading type library files without trusting them: the check of single tree pages that every
// reader applies before it uses a page, and the check of a whole file with an index of every
// record it holds.
//
// A page is used only after its own check: its number, its kind (internal or leaf), its entry
// table (line pointers inside the page and above the table, every entry wholly inside its page,
// sizes of overflow references, pages named inside the file). Record contents are not checked
// here: the format has no checksums, so damage inside a record's bytes is found only by the
// record reader.
//
// The whole-file check adds what only the whole file shows: the meta page (magic number,
// version, page size, byte order), the file's size, the tree level by level from the root page,
// the sibling links of every level in left-to-right order, every overflow chain (page kinds and
// numbers, exactly as many pages as its length needs); no page may be reached twice, which also
// rules out cycles and bounds the depth by the page count, and the walk needs no recursion. The
// free list is checked too, but only reported: no reader uses it (writers rebuild the file), and
// the database library itself leaves lists that it cannot follow.
//
// Checked files are served from the checked image, never by the database library: lookups by
// binary search over the sorted index, a full scan in key order. Keys are ordered here, so a
// file whose pages list them out of order still reads completely; a key stored twice is damage.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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

// Takes a problem; returns whether more are wanted.
using Reporter = std::function<bool(uint32_t page, std::string what)>;

uint32_t be32(const uint8_t *p);

// Why a file of `fileBytes` bytes whose meta page is `meta` (its first bytes, up to one page)
// cannot be a library; a problem with an empty text when it can.
Problem metaProblem(std::span<const uint8_t> meta, uint64_t fileBytes);

// Where a key or a value kept in overflow pages starts, and its size; size 0 for none.
struct Overflow {
    uint32_t first = 0;
    uint32_t size = 0;
};

// One entry of a checked tree page. Inline keys and values are offsets into TreePage::bytes.
struct Entry {
    uint32_t keyAt = 0, keySize = 0;
    Overflow bigKey;
    uint32_t child = 0;  // internal pages
    uint32_t valueAt = 0, valueSize = 0;
    Overflow bigValue;
};

// A tree page that passed its own check. Leaf bytes are held as the database library converts
// them when it reads the page (see readTreePage).
struct TreePage {
    static constexpr uint32_t kInternal = 0x01;
    static constexpr uint32_t kLeaf = 0x02;
    uint32_t number = 0, prev = 0, next = 0, kind = 0;
    bool bigKeys = false;  // some key of the page is kept in overflow pages
    std::array<uint8_t, kPageSize + 16> bytes{};
    std::vector<Entry> entries;

    std::string_view inlineKey(const Entry &e) const {
        return {reinterpret_cast<const char *>(bytes.data()) + e.keyAt, e.keySize};
    }
};

// Checks page `n` of a file of `pages` pages, whose bytes are `raw`, and fills *out. An entry
// with a problem is reported and left out; a page whose header or entry table is impossible is
// reported and gives false. Overflow chains are not followed here.
bool readTreePage(const uint8_t *raw, uint32_t n, uint32_t pages, TreePage *out,
                  const Reporter &report);

// Whether `raw` is overflow page n; its next page in *next.
bool overflowNext(const uint8_t *raw, uint32_t n, uint32_t *next);

// Bytes of a value or key that one overflow page holds.
constexpr uint32_t kOverflowBytes = kPageSize - 20;
// Where they start in the page.
constexpr uint32_t kOverflowData = 20;

// A writable mapping of a file's bytes, unmapped at destruction.
class Mapping {
  public:
    Mapping() = default;
    Mapping(void *address, size_t size) : address_(address), size_(size) {}
    Mapping(Mapping &&other) noexcept
        : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Mapping &operator=(Mapping &&other) noexcept;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping();
    std::span<uint8_t> bytes() const { return {static_cast<uint8_t *>(address_), size_}; }

  private:
    void *address_ = nullptr;
    size_t size_ = 0;
};

class Image {
  public:
    // Checks a whole file's bytes. On success *out owns them and indexes every record; an empty
    // file is an empty tree (a library created and not yet written). Otherwise false. Up to
    // `maxProblems` problems are appended to *problems when it is given, on success too: those
    // of the free list, which do not make the file unreadable.
    static bool load(std::vector<uint8_t> bytes, Image *out,
                     std::vector<Problem> *problems = nullptr, size_t maxProblems = 1);
    // The same for bytes that only this process can reach, mapped.
    static bool load(Mapping bytes, Image *out);

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

    static bool check(Image image, Image *out, std::vector<Problem> *problems, size_t maxProblems);

    std::vector<uint8_t> ownedBytes_;
    Mapping mapping_;
    std::span<uint8_t> bytes_;  // of the file, in ownedBytes_ or mapping_
    std::string ownedKeys_;     // keys kept in overflow pages, assembled
    std::vector<Item> items_;
};

}  // namespace kiv::tlib::btree
