// SPDX-License-Identifier: Apache-2.0
// Lookups that read and check the pages of one path from the root.
#include "tlib/reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <unordered_set>
#include <utility>

#include "ust_fs.h"

namespace kiv::tlib::btree {

namespace {

constexpr uint32_t kRootPage = 1;
constexpr size_t kCacheSlots = 256;

// The pages of one overflow chain, to refuse a chain that comes back to a page.
class ChainPages {
  public:
    bool insert(uint32_t n) {
        if (few_.size() < kFew) {
            if (std::find(few_.begin(), few_.end(), n) != few_.end()) return false;
            few_.push_back(n);
            return true;
        }
        if (many_.empty()) many_.insert(few_.begin(), few_.end());
        return many_.insert(n).second;
    }

  private:
    static constexpr size_t kFew = 32;
    std::vector<uint32_t> few_;
    std::unordered_set<uint32_t> many_;
};

int sign(int v) {
    return (v > 0) - (v < 0);
}

}  // namespace

Reader::Reader(Reader &&other) noexcept {
    *this = std::move(other);
}

Reader &Reader::operator=(Reader &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        bytes_ = other.bytes_;
        pages_ = other.pages_;
        metaChecked_ = other.metaChecked_;
        damaged_ = other.damaged_;
        cache_ = std::move(other.cache_);
    }
    return *this;
}

void Reader::open(int fd, uint64_t bytes) {
    close();
    fd_ = fd;
    bytes_ = bytes;
}

void Reader::close() {
    if (fd_ >= 0) ustFsClose(std::exchange(fd_, -1));
    bytes_ = 0;
    pages_ = 0;
    metaChecked_ = false;
    damaged_ = false;
    cache_.clear();
}

kivResult Reader::damage() {
    damaged_ = true;
    return KIV_E_FORMAT;
}

kivResult Reader::readRaw(uint32_t n, uint8_t *out) {
    for (;;) {
        ssize_t got = ustFsRead(fd_, out, kPageSize, static_cast<off_t>(n) * kPageSize);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return KIV_E_SYSTEM(errno ? errno : EIO);
        // Shorter than the size we were given: the file was cut under us.
        return got == static_cast<ssize_t>(kPageSize) ? 0 : damage();
    }
}

kivResult Reader::checkMeta() {
    if (damaged_) return KIV_E_FORMAT;
    if (bytes_ == 0 || metaChecked_) return 0;
    std::array<uint8_t, kPageSize> meta{};
    size_t have = static_cast<size_t>(std::min<uint64_t>(bytes_, kPageSize));
    if (have == kPageSize) {
        if (kivResult rc = readRaw(0, meta.data())) return rc;
    } else if (have > 0 && ustFsRead(fd_, meta.data(), have, 0) != static_cast<ssize_t>(have)) {
        return damage();
    }
    if (!metaProblem({meta.data(), have}, bytes_).what.empty()) return damage();
    pages_ = static_cast<uint32_t>(bytes_ / kPageSize);
    metaChecked_ = true;
    return 0;
}

kivResult Reader::treePage(uint32_t n, const TreePage **out) {
    if (cache_.empty()) cache_.resize(kCacheSlots);
    std::unique_ptr<Slot> &slot = cache_[n % kCacheSlots];
    if (!slot) slot = std::make_unique<Slot>();
    if (!slot->used || slot->page.number != n) {
        std::array<uint8_t, kPageSize> raw;
        if (kivResult rc = readRaw(n, raw.data())) return rc;
        slot->used = false;
        if (!readTreePage(raw.data(), n, pages_, &slot->page,
                          [](uint32_t, const std::string &) { return false; }))
            return damage();
        slot->used = true;
    }
    *out = &slot->page;
    return 0;
}

kivResult Reader::walkChain(Overflow chain,
                            const std::function<bool(std::string_view part)> &take) {
    std::array<uint8_t, kPageSize> raw;
    ChainPages seen;
    uint32_t n = chain.first;
    for (uint32_t left = chain.size; left > 0;) {
        if (n == 0 || n >= pages_ || !seen.insert(n)) return damage();
        if (kivResult rc = readRaw(n, raw.data())) return rc;
        uint32_t next = 0;
        if (!overflowNext(raw.data(), n, &next)) return damage();
        uint32_t size = std::min(left, kOverflowBytes);
        if (!take({reinterpret_cast<const char *>(raw.data()) + kOverflowData, size})) return 0;
        left -= size;
        n = next;
    }
    return 0;
}

kivResult Reader::compareChain(std::string_view key, Overflow chain, int *order) {
    size_t at = 0;
    *order = 0;
    kivResult rc = walkChain(chain, [&](std::string_view part) {
        std::string_view ours = key.substr(std::min(at, key.size()), part.size());
        if (int c = ours.compare(part); c != 0 || ours.size() < part.size()) {
            *order = c != 0 ? sign(c) : -1;
            return false;
        }
        at += part.size();
        return true;
    });
    if (rc == 0 && *order == 0 && key.size() > at) *order = 1;
    return rc;
}

kivResult Reader::compare(std::string_view key, const TreePage &page, const Entry &e, int *order) {
    if (e.bigKey.size == 0) {
        *order = sign(key.compare(page.inlineKey(e)));
        return 0;
    }
    return compareChain(key, e.bigKey, order);
}

kivResult Reader::readChain(Overflow chain, std::vector<uint8_t> &out) {
    out.clear();
    return walkChain(chain, [&out](std::string_view part) {
        out.insert(out.end(), part.begin(), part.end());
        return true;
    });
}

kivResult Reader::findInLeaf(std::string_view key, const TreePage &leaf, bool *found,
                             std::vector<uint8_t> &value) {
    // Every entry is looked at: a leaf whose keys are out of order is still read right.
    for (const Entry &e : leaf.entries) {
        if (e.bigKey.size != 0 && e.bigKey.size != key.size()) continue;
        int order = 0;
        if (kivResult rc = compare(key, leaf, e, &order)) return rc;
        if (order != 0) continue;
        *found = true;
        if (e.bigValue.size != 0) return readChain(e.bigValue, value);
        const uint8_t *v = leaf.bytes.data() + e.valueAt;
        value.assign(v, v + e.valueSize);
        return 0;
    }
    return 0;
}

// The database library orders keys kept in overflow pages wrongly on this host (it reads
// their references unconverted), so a tree that holds such keys is not in key order and a
// key's path may lead elsewhere. Then every leaf is looked at, left to right: slow, but such
// keys (hundreds of bytes) are no repository ids that IDL produces.
kivResult Reader::scanLeaves(std::string_view key, bool *found, std::vector<uint8_t> &value) {
    uint32_t n = kRootPage, prev = 0;
    for (uint32_t steps = 0;; ++steps) {
        if (steps + 1 >= pages_) return damage();
        const TreePage *page = nullptr;
        if (kivResult rc = treePage(n, &page)) return rc;
        if (page->kind == TreePage::kInternal) {
            n = page->entries.front().child;
            continue;
        }
        // The previous-page links rule out a loop: each page has one predecessor.
        if (page->prev != prev) return damage();
        if (kivResult rc = findInLeaf(key, *page, found, value); rc != 0 || *found) return rc;
        if (page->next == 0) return 0;
        prev = n;
        n = page->next;
        if (n >= pages_) return damage();
    }
}

kivResult Reader::find(std::string_view key, bool *found, std::vector<uint8_t> &value) {
    *found = false;
    if (damaged_) return KIV_E_FORMAT;
    if (bytes_ == 0) return 0;  // a library created and not yet written
    if (kivResult rc = checkMeta()) return rc;
    // Every page of a path is a different page, so no path is longer than the file has pages.
    std::vector<uint32_t> path;
    bool disordered = false;
    for (uint32_t n = kRootPage;;) {
        if (path.size() + 1 >= pages_ || std::find(path.begin(), path.end(), n) != path.end())
            return damage();
        path.push_back(n);
        const TreePage *page = nullptr;
        if (kivResult rc = treePage(n, &page)) return rc;
        const std::vector<Entry> &entries = page->entries;
        disordered |= page->bigKeys;
        if (page->kind == TreePage::kLeaf) {
            if (kivResult rc = findInLeaf(key, *page, found, value); rc != 0 || *found) return rc;
            return disordered ? scanLeaves(key, found, value) : 0;
        }
        // The child of the last entry whose key is not above ours; the first entry's key is
        // below every key.
        size_t lo = 1, hi = entries.size();
        while (lo < hi) {
            size_t mid = lo + (hi - lo) / 2;
            int order = 0;
            if (kivResult rc = compare(key, *page, entries[mid], &order)) return rc;
            if (order >= 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        n = entries[lo - 1].child;
    }
}

}  // namespace kiv::tlib::btree
