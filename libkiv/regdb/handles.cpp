// SPDX-License-Identifier: Apache-2.0
// The table of open store keys behind the integer key handles that callers hold.
#include "regdb/handles.h"

#include "regdb/store.h"

namespace kiv::regdb {

KeyHandleTable::KeyHandleTable() {
    grow(kInitialCapacity);
}

KeyHandleTable::~KeyHandleTable() {
    for (Slot &slot : slots_)
        if (slot.inUse) delete slot.key;
}

void KeyHandleTable::grow(uint32_t newCapacity) {
    uint32_t first = capacity();
    slots_.resize(newCapacity);
    for (uint32_t i = first; i < newCapacity; ++i)
        slots_[i] = Slot{nullptr, i + 1 < newCapacity ? i + 1 : kEndOfChain, 0};
    firstFree_ = first;
}

int32_t KeyHandleTable::add(std::unique_ptr<Key> key) {
    // Handles stay below 2^31: the table would need billions of open keys to get there.
    if (firstFree_ == kEndOfChain) grow(capacity() * 2);
    uint32_t handle = firstFree_;
    Slot &slot = slots_[handle];
    firstFree_ = slot.next;
    slot = Slot{key.release(), kEndOfChain, 1};
    return static_cast<int32_t>(handle);
}

Key *KeyHandleTable::find(int32_t handle) const {
    if (handle < 0 || static_cast<uint32_t>(handle) >= capacity()) return nullptr;
    const Slot &slot = slots_[static_cast<uint32_t>(handle)];
    return slot.inUse ? slot.key : nullptr;
}

std::unique_ptr<Key> KeyHandleTable::remove(int32_t handle) {
    Slot &slot = slots_[static_cast<uint32_t>(handle)];
    std::unique_ptr<Key> key(slot.key);
    slot = Slot{nullptr, firstFree_, 0};
    firstFree_ = static_cast<uint32_t>(handle);
    return key;
}

}  // namespace kiv::regdb
