// SPDX-License-Identifier: Apache-2.0
// Lookups in a library file that read only the pages on the way to a record, on demand, and
// check each page before using it (btree.h).
//
// Opening costs nothing but the meta page, and a lookup reads one path from the root: time and
// memory do not grow with the file. Pages are read with pread, never mapped, so a writer that
// shortens the file under a reader makes the reader see damage, not a fault. A path never
// visits a page twice and is never longer than the file has pages, so a lookup ends. What the
// pages of one path cannot show (pages no path reaches, sibling links, the order of keys
// across pages) is left to the whole-file check that scans, checks and flushes use.
//
// Damage met on the way makes that lookup and every later one KIV_E_FORMAT: the reader is
// then damaged until it is opened again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "kiv_base.h"
#include "tlib/btree.h"

namespace kiv::tlib::btree {

class Reader {
  public:
    Reader() = default;
    Reader(Reader &&other) noexcept;
    Reader &operator=(Reader &&other) noexcept;
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    ~Reader() { close(); }

    // Takes `fd`, a read descriptor of a regular file of `bytes` bytes; nothing is read yet.
    void open(int fd, uint64_t bytes);
    void close();
    // Checks the meta page (an empty file has none): KIV_E_FORMAT when the file is not a
    // library, a system error code when reading fails.
    kivResult checkMeta();

    // Looks `key` up. 0 with *found set (and the value in `value` when found), KIV_E_FORMAT
    // when the file is damaged, a system error code when reading fails.
    kivResult find(std::string_view key, bool *found, std::vector<uint8_t> &value);

  private:
    struct Slot {
        TreePage page;
        bool used = false;
    };

    kivResult readRaw(uint32_t n, uint8_t *out);
    kivResult treePage(uint32_t n, const TreePage **out);
    // Compares `key` with the key of `e` on `page`: <0, 0, >0 in *order.
    kivResult compare(std::string_view key, const TreePage &page, const Entry &e, int *order);
    kivResult compareChain(std::string_view key, Overflow chain, int *order);
    // Hands the bytes of each page of `chain` to `take`, each page checked first, until it
    // returns false.
    kivResult walkChain(Overflow chain, const std::function<bool(std::string_view part)> &take);
    kivResult readChain(Overflow chain, std::vector<uint8_t> &out);
    kivResult findInLeaf(std::string_view key, const TreePage &leaf, bool *found,
                         std::vector<uint8_t> &value);
    kivResult scanLeaves(std::string_view key, bool *found, std::vector<uint8_t> &value);
    kivResult damage();

    int fd_ = -1;
    uint64_t bytes_ = 0;
    uint32_t pages_ = 0;
    bool metaChecked_ = false;
    bool damaged_ = false;
    // Checked tree pages by page number, direct-mapped: the root and the upper levels stay.
    std::vector<std::unique_ptr<Slot>> cache_;
};

}  // namespace kiv::tlib::btree
