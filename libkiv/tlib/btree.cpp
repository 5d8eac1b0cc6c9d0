// SPDX-License-Identifier: Apache-2.0
// The bounds-checked B-tree file check and the record index over a checked file.
#include "tlib/btree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace kiv::tlib::btree {

namespace {

// The file layout of the database library's B-tree, big-endian throughout.
constexpr uint32_t kMagic = 0x053162;
constexpr uint32_t kHashMagic = 0x061561;
constexpr uint32_t kVersion = 3;
constexpr uint32_t kRecordNumbers = 0x80;  // meta flag of a record-number tree
constexpr uint32_t kRootPage = 1;

// Page header: own number, previous and next page, flags, lower and upper end of free space;
// the line pointers (16-bit offsets of the entries) follow.
constexpr uint32_t kHeaderSize = 20;
constexpr uint32_t kInternalPage = 0x01;
constexpr uint32_t kLeafPage = 0x02;
constexpr uint32_t kOverflowPage = 0x04;
constexpr uint32_t kPageKindMask = 0x1f;
constexpr uint32_t kPreserved = 0x20;  // an overflow chain that an internal entry also names
constexpr uint32_t kOverflowBytes = kPageSize - kHeaderSize;

// Entries: 32-bit key size, then a 32-bit data size (leaf) or child page (internal), a flags
// byte, and the bytes. A key or value kept in overflow pages is stored as its first page and
// its size, 8 bytes.
constexpr uint32_t kEntryHeader = 9;
constexpr uint8_t kBigData = 0x01;
constexpr uint8_t kBigKey = 0x02;
constexpr uint32_t kReferenceSize = 8;

// Deeper than any tree of 2^32 pages with at least two entries per internal page.
constexpr size_t kMaxDepth = 40;

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

struct Header {
    uint32_t pgno, prev, next, flags;
    uint16_t lower, upper;
};

}  // namespace

std::string describe(const Problem &problem) {
    if (problem.page == Problem::kWholeFile) return "file: " + problem.what;
    if (problem.page == 0) return "meta page: " + problem.what;
    return "page " + std::to_string(problem.page) + ": " + problem.what;
}

// One pass over a file's pages; records what it finds into an Image.
class Checker {
  public:
    Checker(Image &image, std::vector<Problem> *problems, size_t maxProblems)
        : image_(image),
          bytes_(image.bytes_),
          problems_(problems),
          maxProblems_(std::max<size_t>(maxProblems, 1)) {}

    bool run();

  private:
    bool report(uint32_t page, std::string what) {
        ++found_;
        if (problems_ && problems_->size() < maxProblems_) problems_->push_back({page, what});
        return false;
    }
    bool full() const { return found_ >= maxProblems_; }

    const uint8_t *page(uint32_t n) const { return bytes_.data() + size_t{n} * kPageSize; }
    Header header(uint32_t n) const {
        const uint8_t *p = page(n);
        return {be32(p), be32(p + 4), be32(p + 8), be32(p + 12), be16(p + 16), be16(p + 18)};
    }
    // Claims page n for `what`: in range and not reached before.
    bool claim(uint32_t n, uint32_t from, const char *what) {
        if (n == 0 || n >= pages_)
            return report(from, std::string(what) + " names page " + std::to_string(n) +
                                    ", outside the file's " + std::to_string(pages_) + " pages");
        if (visited_[n])
            return report(from, std::string(what) + " names page " + std::to_string(n) +
                                    ", which was reached before (a cycle or a shared page)");
        visited_[n] = true;
        return true;
    }

    bool checkMeta();
    bool checkTreePage(uint32_t n, const Header &h);
    bool checkChain(uint32_t first, uint32_t size, uint32_t from, const char *what);
    void checkSiblings(const std::vector<uint32_t> &level);
    void readLeaf(uint32_t n, const Header &h);
    void readInternal(uint32_t n, const Header &h, std::vector<uint32_t> &children);
    void checkFreeList(uint32_t first);
    void assembleKey(Image::Item &item, uint32_t first, uint32_t size);

    Image &image_;
    const std::vector<uint8_t> &bytes_;
    std::vector<Problem> *problems_;
    size_t maxProblems_;
    size_t found_ = 0;
    uint32_t pages_ = 0;
    std::vector<bool> visited_;
};

bool Checker::checkMeta() {
    const uint8_t *m = bytes_.data();
    uint32_t magic = be32(m);
    if (magic != kMagic) {
        if (__builtin_bswap32(magic) == kMagic)
            return report(0, "a little-endian B-tree; type libraries are big-endian");
        if (magic == kHashMagic || __builtin_bswap32(magic) == kHashMagic)
            return report(0, "a hash-format database, not a B-tree");
        return report(0, "not a B-tree database file (magic number " + std::to_string(magic) + ")");
    }
    if (be32(m + 4) != kVersion)
        return report(0, "B-tree version " + std::to_string(be32(m + 4)) + ", expected 3");
    if (be32(m + 8) != kPageSize)
        return report(0, "page size " + std::to_string(be32(m + 8)) + ", expected 1024");
    if (be32(m + 20) & kRecordNumbers) return report(0, "a record-number tree, not a B-tree");
    return true;
}

// Header and entry table of a tree page.
bool Checker::checkTreePage(uint32_t n, const Header &h) {
    if (h.pgno != n)
        return report(n,
                      "page header names page " + std::to_string(h.pgno) + " (moved or damaged)");
    if (h.flags != kInternalPage && h.flags != kLeafPage)
        return report(n, "page kind " + std::to_string(h.flags) + " where a tree page belongs");
    if (h.lower < kHeaderSize || (h.lower - kHeaderSize) % 2 != 0 || h.lower > h.upper ||
        h.upper > kPageSize)
        return report(n, "free-space bounds " + std::to_string(h.lower) + ".." +
                             std::to_string(h.upper) + " are impossible");
    uint32_t entries = (h.lower - kHeaderSize) / 2;
    if (entries == 0 && (h.flags == kInternalPage || n != kRootPage))
        return report(n, "a page without entries inside the tree");
    return true;
}

bool Checker::checkChain(uint32_t first, uint32_t size, uint32_t from, const char *what) {
    uint64_t needed = (uint64_t{size} + kOverflowBytes - 1) / kOverflowBytes;
    if (size == 0 || needed >= pages_)
        return report(from, std::string(what) + " of " + std::to_string(size) +
                                " bytes cannot be stored in this file");
    uint32_t n = first;
    for (uint64_t i = 0; i < needed; ++i) {
        if (!claim(n, from, what)) return false;
        Header h = header(n);
        if (h.pgno != n || (h.flags & kPageKindMask) != kOverflowPage ||
            (h.flags & ~(kPageKindMask | kPreserved)))
            return report(n, std::string("not an overflow page, though a chain from page ") +
                                 std::to_string(from) + " leads here");
        n = h.next;
    }
    return true;
}

void Checker::assembleKey(Image::Item &item, uint32_t first, uint32_t size) {
    item.keyOwned = true;
    item.keyAt = image_.ownedKeys_.size();
    item.keySize = size;
    for (uint32_t n = first, left = size; left > 0; n = header(n).next) {
        uint32_t take = std::min(left, kOverflowBytes);
        image_.ownedKeys_.append(reinterpret_cast<const char *>(page(n) + kHeaderSize), take);
        left -= take;
    }
}

// The database library reads a leaf page by converting it to host byte order in place, and on
// this (little-endian) host it converts an overflow value's reference at the wrong place: four
// bytes into the entry's bytes instead of after the key. Whatever the library wrote went through
// the same conversion, so the file holds key bytes partly reversed and a reference in host
// order. The page is read here through the same conversion, on a copy with room for the up to
// one byte that a short key's conversion reaches past its entry.
void Checker::readLeaf(uint32_t n, const Header &h) {
    constexpr size_t kSlack = 16;
    std::array<uint8_t, kPageSize + kSlack> copy{};
    std::memcpy(copy.data(), page(n), kPageSize);
    auto swap32 = [&copy](size_t at) { std::reverse(copy.data() + at, copy.data() + at + 4); };
    auto le32 = [&copy](size_t at) {
        return uint32_t{copy[at]} | uint32_t{copy[at + 1]} << 8 | uint32_t{copy[at + 2]} << 16 |
               uint32_t{copy[at + 3]} << 24;
    };
    uint32_t entries = (h.lower - kHeaderSize) / 2;
    std::vector<uint32_t> offsets(entries);
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t at = be16(page(n) + kHeaderSize + 2 * i);
        if (at < h.upper || at + kEntryHeader > kPageSize) {
            report(n, "entry " + std::to_string(i) + " at offset " + std::to_string(at) +
                          " lies outside the page's entry area");
            return;
        }
        offsets[i] = at;
        swap32(at);
        swap32(at + 4);
        uint8_t flags = copy[at + 8];
        size_t ref = at + kEntryHeader;
        if (flags & kBigKey) {
            swap32(ref);
            swap32(ref + 4);
            ref += 4;
        }
        if (flags & kBigData) {
            swap32(ref + 4);
            swap32(ref + 8);
        }
    }
    for (uint32_t i = 0; i < entries && !full(); ++i) {
        uint32_t at = offsets[i];
        std::string entry = "entry " + std::to_string(i) + " at offset " + std::to_string(at);
        uint64_t keySize = le32(at), dataSize = le32(at + 4);
        uint8_t flags = copy[at + 8];
        if (at + kEntryHeader + keySize + dataSize > kPageSize) {
            report(n, entry + " claims " + std::to_string(keySize + dataSize) +
                          " bytes, more than the page holds");
            continue;
        }
        if (flags & ~(kBigData | kBigKey)) {
            report(n, entry + " has unknown flags " + std::to_string(flags));
            continue;
        }
        if (((flags & kBigKey) && keySize != kReferenceSize) ||
            ((flags & kBigData) && dataSize != kReferenceSize)) {
            report(n, entry + " has a malformed overflow reference");
            continue;
        }
        size_t data = at + kEntryHeader;
        Image::Item item{};
        item.page = n;
        if (flags & kBigKey) {
            uint32_t first = le32(data), size = le32(data + 4);
            if (!checkChain(first, size, n, "an overflow key")) continue;
            assembleKey(item, first, size);
        } else {
            item.keyOwned = true;
            item.keyAt = image_.ownedKeys_.size();
            item.keySize = static_cast<uint32_t>(keySize);
            image_.ownedKeys_.append(reinterpret_cast<const char *>(copy.data() + data), keySize);
        }
        size_t value = data + keySize;
        if (flags & kBigData) {
            uint32_t first = le32(value), size = le32(value + 4);
            if (!checkChain(first, size, n, "an overflow value")) continue;
            item.valueBig = true;
            item.valueAt = first;
            item.valueSize = size;
        } else {
            item.valueAt = static_cast<uint32_t>(size_t{n} * kPageSize + value);
            item.valueSize = static_cast<uint32_t>(dataSize);
        }
        image_.items_.push_back(item);
    }
}

void Checker::readInternal(uint32_t n, const Header &h, std::vector<uint32_t> &children) {
    const uint8_t *p = page(n);
    uint32_t entries = (h.lower - kHeaderSize) / 2;
    for (uint32_t i = 0; i < entries && !full(); ++i) {
        uint32_t at = be16(p + kHeaderSize + 2 * i);
        std::string entry = "entry " + std::to_string(i) + " at offset " + std::to_string(at);
        if (at < h.upper || at + kEntryHeader > kPageSize) {
            report(n, entry + " lies outside the page's entry area");
            continue;
        }
        uint64_t keySize = be32(p + at);
        uint8_t flags = p[at + 8];
        if (at + kEntryHeader + keySize > kPageSize) {
            report(n, entry + " claims " + std::to_string(keySize) +
                          " bytes, more than the page holds");
            continue;
        }
        if (flags & ~(kBigData | kBigKey)) {
            report(n, entry + " has unknown flags " + std::to_string(flags));
            continue;
        }
        // An internal key kept in overflow pages shares the chain of the leaf entry it was
        // copied from; the records never come from internal keys, so it is not followed.
        if (flags & kBigKey) {
            uint32_t first = keySize == kReferenceSize ? be32(p + at + kEntryHeader) : 0;
            if (first == 0 || first >= pages_) {
                report(n, entry + " has a malformed overflow reference");
                continue;
            }
        }
        uint32_t child = be32(p + at + 4);
        if (claim(child, n, entry.c_str())) children.push_back(child);
    }
}

// Each level's pages, left to right, must link to each other and to nothing beyond.
void Checker::checkSiblings(const std::vector<uint32_t> &level) {
    for (size_t i = 0; i < level.size() && !full(); ++i) {
        Header h = header(level[i]);
        uint32_t prev = i == 0 ? 0 : level[i - 1];
        uint32_t next = i + 1 == level.size() ? 0 : level[i + 1];
        if (h.prev != prev)
            report(level[i], "previous-page link " + std::to_string(h.prev) + ", expected " +
                                 std::to_string(prev));
        if (h.next != next)
            report(level[i], "next-page link " + std::to_string(h.next) + ", expected " +
                                 std::to_string(next));
    }
}

void Checker::checkFreeList(uint32_t first) {
    for (uint32_t n = first; n != 0 && !full(); n = header(n).next)
        if (!claim(n, 0, "the free list")) return;
}

bool Checker::run() {
    if (bytes_.empty()) return true;
    if (bytes_.size() % kPageSize != 0 || bytes_.size() < 2 * kPageSize)
        return report(Problem::kWholeFile, "size " + std::to_string(bytes_.size()) +
                                               " is not a whole number (at least 2) of " +
                                               "1024-byte pages: truncated or not a library");
    if (bytes_.size() > kMaxFileBytes)
        return report(Problem::kWholeFile, "too large for a type library");
    pages_ = static_cast<uint32_t>(bytes_.size() / kPageSize);
    if (!checkMeta()) return false;
    visited_.assign(pages_, false);
    visited_[0] = true;

    std::vector<uint32_t> level{kRootPage};
    visited_[kRootPage] = true;
    for (size_t depth = 1; !level.empty() && !full(); ++depth) {
        if (depth > kMaxDepth) {
            report(level.front(), "the tree is deeper than any valid one");
            break;
        }
        std::vector<uint32_t> valid, children;
        uint32_t kind = 0;
        for (uint32_t n : level) {
            Header h = header(n);
            if (!checkTreePage(n, h)) continue;
            if (kind == 0) kind = h.flags;
            if (h.flags != kind) {
                report(n, "leaf and internal pages mixed on one level of the tree");
                continue;
            }
            valid.push_back(n);
            if (h.flags == kLeafPage)
                readLeaf(n, h);
            else
                readInternal(n, h, children);
        }
        if (valid.size() == level.size()) checkSiblings(level);
        level = kind == kInternalPage ? std::move(children) : std::vector<uint32_t>{};
    }
    if (!full()) checkFreeList(be32(bytes_.data() + 12));
    if (found_ != 0) return false;

    // Key order: the tree's own (bytes as unsigned values, a prefix first).
    std::vector<Image::Item> &items = image_.items_;
    auto keyOf = [this](const Image::Item &item) {
        const char *base = item.keyOwned ? image_.ownedKeys_.data()
                                         : reinterpret_cast<const char *>(bytes_.data());
        return std::string_view(base + item.keyAt, item.keySize);
    };
    if (!std::is_sorted(
            items.begin(), items.end(),
            [&](const Image::Item &a, const Image::Item &b) { return keyOf(a) < keyOf(b); }))
        std::stable_sort(
            items.begin(), items.end(),
            [&](const Image::Item &a, const Image::Item &b) { return keyOf(a) < keyOf(b); });
    for (size_t i = 1; i < items.size(); ++i)
        if (keyOf(items[i - 1]) == keyOf(items[i]))
            return report(items[i].page, "a key stored twice (also on page " +
                                             std::to_string(items[i - 1].page) + ")");
    return true;
}

bool Image::load(std::vector<uint8_t> bytes, Image *out, std::vector<Problem> *problems,
                 size_t maxProblems) {
    Image image;
    image.bytes_ = std::move(bytes);
    if (!Checker(image, problems, maxProblems).run()) return false;
    *out = std::move(image);
    return true;
}

std::string_view Image::key(size_t i) const {
    const Item &item = items_[i];
    const char *base =
        item.keyOwned ? ownedKeys_.data() : reinterpret_cast<const char *>(bytes_.data());
    return {base + item.keyAt, item.keySize};
}

std::span<const uint8_t> Image::value(size_t i, std::vector<uint8_t> &scratch) const {
    const Item &item = items_[i];
    if (!item.valueBig) return {bytes_.data() + item.valueAt, item.valueSize};
    scratch.clear();
    scratch.reserve(item.valueSize);
    for (uint32_t n = item.valueAt, left = item.valueSize; left > 0;) {
        const uint8_t *p = bytes_.data() + size_t{n} * kPageSize;
        uint32_t take = std::min(left, kOverflowBytes);
        scratch.insert(scratch.end(), p + kHeaderSize, p + kHeaderSize + take);
        left -= take;
        n = be32(p + 8);
    }
    return scratch;
}

void Image::clearUnusedBytes() {
    for (uint32_t n = 1; n < pages(); ++n) {
        uint8_t *p = bytes_.data() + size_t{n} * kPageSize;
        uint32_t flags = be32(p + 12);
        uint16_t lower = be16(p + 16), upper = be16(p + 18);
        if ((flags == kInternalPage || flags == kLeafPage) && kHeaderSize <= lower &&
            lower <= upper && upper <= kPageSize)
            std::fill(p + lower, p + upper, uint8_t{0});
    }
    for (const Item &item : items_) {
        if (!item.valueBig) continue;
        uint32_t n = item.valueAt, left = item.valueSize;
        for (; left > kOverflowBytes; left -= kOverflowBytes)
            n = be32(bytes_.data() + size_t{n} * kPageSize + 8);
        uint8_t *p = bytes_.data() + size_t{n} * kPageSize;
        std::fill(p + kHeaderSize + left, p + kPageSize, uint8_t{0});
    }
}

size_t Image::find(std::string_view key) const {
    size_t lo = 0, hi = items_.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        std::string_view k = this->key(mid);
        if (k == key) return mid;
        if (k < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return npos;
}

}  // namespace kiv::tlib::btree
