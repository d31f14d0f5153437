#include "vorn_handles.h"

namespace orxjava {

int32_t CVornHandleTable::add(ZAFvornContext* context) {
    if (context == nullptr)
        return 0;
    std::lock_guard<std::mutex> hold(m_lock);
    for (int32_t i = 0; i < kSlots; ++i) {
        const int32_t index = (m_next + i) % kSlots;
        SSlot& slot = m_slots[index];
        if (slot.context != nullptr)
            continue;
        slot.generation = slot.generation >= kGenerations ? 1 : slot.generation + 1;
        slot.context = context;
        slot.users = 0;
        slot.closing = false;
        m_next = (index + 1) % kSlots;
        ++m_live;
        return static_cast<int32_t>((slot.generation << kSlotBits) | static_cast<uint32_t>(index));
    }
    return 0;
}

CVornHandleTable::SSlot* CVornHandleTable::find(int32_t handle) {
    if (handle <= 0)
        return nullptr;
    const uint32_t bits = static_cast<uint32_t>(handle);
    SSlot& slot = m_slots[bits & (kSlots - 1)];
    if (slot.context == nullptr || slot.closing || slot.generation != (bits >> kSlotBits))
        return nullptr;
    return &slot;
}

ZAFvornContext* CVornHandleTable::remove(int32_t handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    SSlot* slot = find(handle);
    if (slot == nullptr)
        return nullptr;
    if (slot->users > 0) {
        slot->closing = true;
        return nullptr;
    }
    ZAFvornContext* context = slot->context;
    slot->context = nullptr;
    --m_live;
    return context;
}

int32_t CVornHandleTable::live() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_live;
}

ZAFvornContext* CVornHandleTable::acquire(int32_t handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    SSlot* slot = find(handle);
    if (slot == nullptr)
        return nullptr;
    ++slot->users;
    return slot->context;
}

ZAFvornContext* CVornHandleTable::release(int32_t handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    SSlot& slot = m_slots[static_cast<uint32_t>(handle) & (kSlots - 1)];
    if (--slot.users > 0 || !slot.closing)
        return nullptr;
    ZAFvornContext* context = slot.context;
    slot.context = nullptr;
    slot.closing = false;
    --m_live;
    return context;
}

CVornUse::CVornUse(CVornHandleTable& table, int32_t handle)
    : m_table(table), m_handle(handle), m_context(table.acquire(handle)) {}

CVornUse::~CVornUse() {
    if (m_context == nullptr)
        return;
    if (ZAFvornContext* done = m_table.release(m_handle))
        ZAFvornCleanUp(done);
}

} // namespace orxjava
