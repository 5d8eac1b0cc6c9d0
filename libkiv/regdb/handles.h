// SPDX-License-Identifier: Apache-2.0
// The table that turns open store keys into the small integer key handles callers see.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kiv::regdb {

class Key;

// Slots are numbered from 0; free slots form a chain through `next`, most recently freed
// first, so a closed handle's number is the next one handed out. A full table doubles.
class KeyHandleTable {
  public:
    static constexpr uint32_t kInitialCapacity = 32;
    static constexpr uint32_t kEndOfChain = 0xFFFFFFFF;

    KeyHandleTable();
    ~KeyHandleTable();  // closes the keys still open
    KeyHandleTable(const KeyHandleTable &) = delete;
    KeyHandleTable &operator=(const KeyHandleTable &) = delete;

    // Takes the key and returns its handle.
    int32_t add(std::unique_ptr<Key> key);
    // The key of an open handle; null for a negative, out-of-range or free one.
    Key *find(int32_t handle) const;
    // Frees the handle's slot and gives back its key; the handle must be valid.
    std::unique_ptr<Key> remove(int32_t handle);

    uint32_t capacity() const { return static_cast<uint32_t>(slots_.size()); }

  private:
    struct Slot {
        Key *key = nullptr;           // in use: the open key
        uint32_t next = kEndOfChain;  // free: the next free slot
        uint32_t inUse = 0;
    };
    // Appends slots n..2n-1, chained in order.
    void grow(uint32_t newCapacity);

    std::vector<Slot> slots_;
    uint32_t firstFree_ = kEndOfChain;
};

}  // namespace kiv::regdb
