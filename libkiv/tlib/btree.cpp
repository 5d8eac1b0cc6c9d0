// SPDX-License-Identifier: Apache-2.0
// The bounds-checked B-tree file check and the record index over a checked file.
#include "tlib/btree.h"

#include <sys/mman.h>

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
constexpr uint32_t kMetaBytes = 24;
constexpr uint32_t kRootPage = 1;

// Page header: own number, previous and next page, flags, lower and upper end of free space;
// the line pointers (16-bit offsets of the entries) follow.
constexpr uint32_t kHeaderSize = 20;
constexpr uint32_t kInternalPage = TreePage::kInternal;
constexpr uint32_t kLeafPage = TreePage::kLeaf;
constexpr uint32_t kOverflowPage = 0x04;
constexpr uint32_t kPageKindMask = 0x1f;
constexpr uint32_t kPreserved = 0x20;  // an overflow chain that an internal entry also names

// Entries: 32-bit key size, then a 32-bit data size (leaf) or child page (internal), a flags
// byte, and the bytes. A key or value kept in overflow pages is stored as its first page and
// its size, 8 bytes.
constexpr uint32_t kEntryHeader = 9;
constexpr uint8_t kBigData = 0x01;
constexpr uint8_t kBigKey = 0x02;
constexpr uint32_t kReferenceSize = 8;

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

struct Header {
    uint32_t pgno, prev, next, flags;
    uint16_t lower, upper;
};

Header headerOf(const uint8_t *p) {
    return {be32(p), be32(p + 4), be32(p + 8), be32(p + 12), be16(p + 16), be16(p + 18)};
}

std::string entryName(uint32_t i, uint32_t at) {
    return "entry " + std::to_string(i) + " at offset " + std::to_string(at);
}

// Header and entry table of a tree page.
std::string headerProblem(uint32_t n, const Header &h) {
    if (h.pgno != n)
        return "page header names page " + std::to_string(h.pgno) + " (moved or damaged)";
    if (h.flags != kInternalPage && h.flags != kLeafPage)
        return "page kind " + std::to_string(h.flags) + " where a tree page belongs";
    if (h.lower < kHeaderSize || (h.lower - kHeaderSize) % 2 != 0 || h.lower > h.upper ||
        h.upper > kPageSize)
        return "free-space bounds " + std::to_string(h.lower) + ".." + std::to_string(h.upper) +
               " are impossible";
    if (h.lower == kHeaderSize && (h.flags == kInternalPage || n != kRootPage))
        return "a page without entries inside the tree";
    return {};
}

// Adds entry `e`, entry i at offset `at` of page n, to the page, or reports `problem` with it.
// False when the reporter wants no more problems.
bool admit(TreePage *out, const Entry &e, const std::string &problem, uint32_t n, uint32_t i,
           uint32_t at, bool *sound, const Reporter &report) {
    if (!problem.empty()) {
        *sound = false;
        return report(n, entryName(i, at) + problem);
    }
    out->bigKeys |= e.bigKey.size != 0;
    out->entries.push_back(e);
    return true;
}

bool sizeFits(uint32_t size, uint32_t pages) {
    uint64_t needed = (uint64_t{size} + kOverflowBytes - 1) / kOverflowBytes;
    return size != 0 && needed < pages;
}

// The database library reads a leaf page by converting it to host byte order in place, and on
// this (little-endian) host it converts an overflow value's reference at the wrong place: four
// bytes into the entry's bytes instead of after the key. Whatever the library wrote went through
// the same conversion, so the file holds key bytes partly reversed and a reference in host
// order. The page is read here through the same conversion, on a copy with room for the up to
// one byte that a short key's conversion reaches past its entry.
bool readLeaf(uint32_t n, uint32_t pages, uint32_t entries, TreePage *out, const Reporter &report) {
    auto &copy = out->bytes;
    auto swap32 = [&copy](size_t at) { std::reverse(copy.data() + at, copy.data() + at + 4); };
    auto le32 = [&copy](size_t at) {
        return uint32_t{copy[at]} | uint32_t{copy[at + 1]} << 8 | uint32_t{copy[at + 2]} << 16 |
               uint32_t{copy[at + 3]} << 24;
    };
    uint32_t upper = be16(copy.data() + 18);
    // The header check bounds the entry count by the page size.
    std::array<uint32_t, (kPageSize - kHeaderSize) / 2> offsetsOf;
    std::span<uint32_t> offsets(offsetsOf.data(), entries);
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t at = be16(copy.data() + kHeaderSize + 2 * i);
        if (at < upper || at + kEntryHeader > kPageSize) {
            report(n, entryName(i, at) + " lies outside the page's entry area");
            return false;
        }
        offsets[i] = at;
    }
    for (uint32_t at : offsets) {
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
    bool sound = true;
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t at = offsets[i];
        uint64_t keySize = le32(at), dataSize = le32(at + 4);
        uint8_t flags = copy[at + 8];
        std::string problem;
        if (at + kEntryHeader + keySize + dataSize > kPageSize)
            problem = " claims " + std::to_string(keySize + dataSize) +
                      " bytes, more than the page holds";
        else if (flags & ~(kBigData | kBigKey))
            problem = " has unknown flags " + std::to_string(flags);
        else if (((flags & kBigKey) && keySize != kReferenceSize) ||
                 ((flags & kBigData) && dataSize != kReferenceSize))
            problem = " has a malformed overflow reference";
        Entry e;
        uint32_t data = at + kEntryHeader;
        if (problem.empty() && (flags & kBigKey)) {
            e.bigKey = {le32(data), le32(data + 4)};
            if (!sizeFits(e.bigKey.size, pages))
                problem = ": an overflow key of " + std::to_string(e.bigKey.size) +
                          " bytes cannot be stored in this file";
        }
        uint32_t value = data + static_cast<uint32_t>(keySize);
        if (problem.empty() && (flags & kBigData)) {
            e.bigValue = {le32(value), le32(value + 4)};
            if (!sizeFits(e.bigValue.size, pages))
                problem = ": an overflow value of " + std::to_string(e.bigValue.size) +
                          " bytes cannot be stored in this file";
        }
        if (!(flags & kBigKey)) {
            e.keyAt = data;
            e.keySize = static_cast<uint32_t>(keySize);
        }
        if (!(flags & kBigData)) {
            e.valueAt = value;
            e.valueSize = static_cast<uint32_t>(dataSize);
        }
        if (!admit(out, e, problem, n, i, at, &sound, report)) return false;
    }
    return sound;
}

bool readInternal(uint32_t n, uint32_t pages, uint32_t entries, TreePage *out,
                  const Reporter &report) {
    const uint8_t *p = out->bytes.data();
    uint32_t upper = be16(p + 18);
    bool sound = true;
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t at = be16(p + kHeaderSize + 2 * i);
        std::string problem;
        uint64_t keySize = 0;
        uint8_t flags = 0;
        Entry e;
        if (at < upper || at + kEntryHeader > kPageSize) {
            problem = " lies outside the page's entry area";
        } else {
            keySize = be32(p + at);
            flags = p[at + 8];
            e.child = be32(p + at + 4);
            if (at + kEntryHeader + keySize > kPageSize)
                problem = " claims " + std::to_string(keySize) + " bytes, more than the page holds";
            else if (flags & ~(kBigData | kBigKey))
                problem = " has unknown flags " + std::to_string(flags);
            else if (e.child == 0 || e.child >= pages)
                problem = " names page " + std::to_string(e.child) + ", outside the file's " +
                          std::to_string(pages) + " pages";
        }
        // An internal key kept in overflow pages shares the chain of the leaf entry it was
        // copied from.
        if (problem.empty() && (flags & kBigKey)) {
            if (keySize == kReferenceSize)
                e.bigKey = {be32(p + at + kEntryHeader), be32(p + at + kEntryHeader + 4)};
            if (e.bigKey.first == 0 || e.bigKey.first >= pages || !sizeFits(e.bigKey.size, pages))
                problem = " has a malformed overflow reference";
        }
        if (!(flags & kBigKey)) {
            e.keyAt = at + kEntryHeader;
            e.keySize = static_cast<uint32_t>(keySize);
        }
        if (!admit(out, e, problem, n, i, at, &sound, report)) return false;
    }
    return sound;
}

}  // namespace

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::string describe(const Problem &problem) {
    if (problem.page == Problem::kWholeFile) return "file: " + problem.what;
    if (problem.page == 0) return "meta page: " + problem.what;
    return "page " + std::to_string(problem.page) + ": " + problem.what;
}

Problem metaProblem(std::span<const uint8_t> meta, uint64_t fileBytes) {
    // The meta page speaks first: a file of another format or page size is named as such even
    // when its size is no whole number of our pages.
    if (meta.size() >= kMetaBytes) {
        const uint8_t *m = meta.data();
        uint32_t magic = be32(m);
        if (magic != kMagic) {
            if (__builtin_bswap32(magic) == kMagic)
                return {0, "a little-endian B-tree; type libraries are big-endian"};
            if (magic == kHashMagic || __builtin_bswap32(magic) == kHashMagic)
                return {0, "a hash-format database, not a B-tree"};
            return {0, "not a B-tree database file (magic number " + std::to_string(magic) + ")"};
        }
        if (be32(m + 4) != kVersion)
            return {0, "B-tree version " + std::to_string(be32(m + 4)) + ", expected 3"};
        if (be32(m + 8) != kPageSize)
            return {0, "page size " + std::to_string(be32(m + 8)) + ", expected 1024"};
        if (be32(m + 20) & kRecordNumbers) return {0, "a record-number tree, not a B-tree"};
    }
    if (fileBytes % kPageSize != 0 || fileBytes < 2 * kPageSize)
        return {Problem::kWholeFile, "size " + std::to_string(fileBytes) +
                                         " is not a whole number (at least 2) of " +
                                         "1024-byte pages: truncated or not a library"};
    if (fileBytes > kMaxFileBytes) return {Problem::kWholeFile, "too large for a type library"};
    return {0, {}};
}

bool readTreePage(const uint8_t *raw, uint32_t n, uint32_t pages, TreePage *out,
                  const Reporter &report) {
    Header h = headerOf(raw);
    out->number = 0;
    if (std::string problem = headerProblem(n, h); !problem.empty()) {
        report(n, problem);
        return false;
    }
    out->number = n;
    out->prev = h.prev;
    out->next = h.next;
    out->kind = h.flags;
    out->bigKeys = false;
    out->entries.clear();
    std::memcpy(out->bytes.data(), raw, kPageSize);
    std::fill(out->bytes.begin() + kPageSize, out->bytes.end(), uint8_t{0});
    uint32_t entries = (h.lower - kHeaderSize) / 2;
    return h.flags == kLeafPage ? readLeaf(n, pages, entries, out, report)
                                : readInternal(n, pages, entries, out, report);
}

bool overflowNext(const uint8_t *raw, uint32_t n, uint32_t *next) {
    Header h = headerOf(raw);
    *next = h.next;
    return h.pgno == n && (h.flags & kPageKindMask) == kOverflowPage &&
           !(h.flags & ~(kPageKindMask | kPreserved));
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
    Reporter reporter() {
        return [this](uint32_t page, std::string what) {
            report(page, std::move(what));
            return !full();
        };
    }

    const uint8_t *page(uint32_t n) const { return bytes_.data() + size_t{n} * kPageSize; }
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

    bool checkChain(Overflow chain, uint32_t from, const char *what);
    void checkSiblings(const std::vector<uint32_t> &level);
    void readLeaf(const TreePage &leaf);
    void checkFreeList(uint32_t first);
    void assembleKey(Image::Item &item, uint32_t first, uint32_t size);

    Image &image_;
    std::span<const uint8_t> bytes_;
    std::vector<Problem> *problems_;
    size_t maxProblems_;
    size_t found_ = 0;
    uint32_t pages_ = 0;
    std::vector<bool> visited_;
};

bool Checker::checkChain(Overflow chain, uint32_t from, const char *what) {
    uint64_t needed = (uint64_t{chain.size} + kOverflowBytes - 1) / kOverflowBytes;
    uint32_t n = chain.first;
    for (uint64_t i = 0; i < needed; ++i) {
        if (!claim(n, from, what)) return false;
        if (!overflowNext(page(n), n, &n))
            return report(n, std::string("not an overflow page, though a chain from page ") +
                                 std::to_string(from) + " leads here");
    }
    return true;
}

void Checker::assembleKey(Image::Item &item, uint32_t first, uint32_t size) {
    item.keyOwned = true;
    item.keyAt = image_.ownedKeys_.size();
    item.keySize = size;
    for (uint32_t n = first, left = size; left > 0; n = be32(page(n) + 8)) {
        uint32_t take = std::min(left, kOverflowBytes);
        image_.ownedKeys_.append(reinterpret_cast<const char *>(page(n) + kOverflowData), take);
        left -= take;
    }
}

void Checker::readLeaf(const TreePage &leaf) {
    uint32_t n = leaf.number;
    for (const Entry &e : leaf.entries) {
        if (full()) return;
        Image::Item item{};
        item.page = n;
        if (e.bigKey.size) {
            if (!checkChain(e.bigKey, n, "an overflow key")) continue;
            assembleKey(item, e.bigKey.first, e.bigKey.size);
        } else {
            item.keyOwned = true;
            item.keyAt = image_.ownedKeys_.size();
            item.keySize = e.keySize;
            image_.ownedKeys_.append(leaf.inlineKey(e));
        }
        if (e.bigValue.size) {
            if (!checkChain(e.bigValue, n, "an overflow value")) continue;
            item.valueBig = true;
            item.valueAt = e.bigValue.first;
            item.valueSize = e.bigValue.size;
        } else {
            item.valueAt = static_cast<uint32_t>(size_t{n} * kPageSize + e.valueAt);
            item.valueSize = e.valueSize;
        }
        image_.items_.push_back(item);
    }
}

// Each level's pages, left to right, must link to each other and to nothing beyond.
void Checker::checkSiblings(const std::vector<uint32_t> &level) {
    for (size_t i = 0; i < level.size() && !full(); ++i) {
        Header h = headerOf(page(level[i]));
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

// Reported without making the file unreadable. Pages of the tree are not claimed again here:
// a list that runs into them is as wrong as one that loops, and either ends the walk.
void Checker::checkFreeList(uint32_t first) {
    std::vector<Problem> *kept = problems_;
    for (uint32_t n = first, steps = 0; n != 0 && steps < pages_; n = be32(page(n) + 8), ++steps) {
        if (n >= pages_ || visited_[n]) {
            if (kept && kept->size() < maxProblems_)
                kept->push_back({0, "the free list names page " + std::to_string(n) +
                                        (n >= pages_ ? ", outside the file"
                                                     : ", which is in use or listed before")});
            return;
        }
        visited_[n] = true;
    }
}

bool Checker::run() {
    if (bytes_.empty()) return true;
    if (Problem problem = metaProblem(bytes_, bytes_.size()); !problem.what.empty())
        return report(problem.page, problem.what);
    pages_ = static_cast<uint32_t>(bytes_.size() / kPageSize);
    visited_.assign(pages_, false);
    visited_[0] = true;

    // No page is claimed twice, so the walk ends after at most as many levels as pages.
    std::vector<uint32_t> level{kRootPage};
    visited_[kRootPage] = true;
    TreePage tree;
    while (!level.empty() && !full()) {
        std::vector<uint32_t> valid, children;
        uint32_t kind = 0;
        for (uint32_t n : level) {
            if (full()) break;
            // A page with a bad entry still counts as a page of its level.
            readTreePage(page(n), n, pages_, &tree, reporter());
            if (tree.number != n) continue;
            if (kind == 0) kind = tree.kind;
            if (tree.kind != kind) {
                report(n, "leaf and internal pages mixed on one level of the tree");
                continue;
            }
            valid.push_back(n);
            if (tree.kind == kLeafPage) {
                readLeaf(tree);
            } else {
                for (size_t i = 0; i < tree.entries.size(); ++i)
                    if (claim(tree.entries[i].child, n, "an internal entry"))
                        children.push_back(tree.entries[i].child);
            }
        }
        if (valid.size() == level.size()) checkSiblings(level);
        level = kind == kInternalPage ? std::move(children) : std::vector<uint32_t>{};
    }
    if (found_ != 0) return false;
    checkFreeList(be32(bytes_.data() + 12));

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

Mapping &Mapping::operator=(Mapping &&other) noexcept {
    if (this != &other) {
        Mapping old(std::move(*this));
        address_ = std::exchange(other.address_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Mapping::~Mapping() {
    if (address_) munmap(address_, size_);
}

bool Image::check(Image image, Image *out, std::vector<Problem> *problems, size_t maxProblems) {
    if (!Checker(image, problems, maxProblems).run()) return false;
    *out = std::move(image);
    return true;
}

bool Image::load(std::vector<uint8_t> bytes, Image *out, std::vector<Problem> *problems,
                 size_t maxProblems) {
    Image image;
    image.ownedBytes_ = std::move(bytes);
    image.bytes_ = image.ownedBytes_;
    return check(std::move(image), out, problems, maxProblems);
}

bool Image::load(Mapping bytes, Image *out) {
    Image image;
    image.mapping_ = std::move(bytes);
    image.bytes_ = image.mapping_.bytes();
    return check(std::move(image), out, nullptr, 1);
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
        scratch.insert(scratch.end(), p + kOverflowData, p + kOverflowData + take);
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
        std::fill(p + kOverflowData + left, p + kPageSize, uint8_t{0});
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
