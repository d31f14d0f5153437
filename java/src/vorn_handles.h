// vorn_handles: the table of live engine contexts behind the Java bridge's integer handles.
//
// A Java int cannot hold a pointer on a 64-bit platform, so the bridge hands out small positive
// integers instead: the low 10 bits name a slot, the bits above hold the slot's generation, which
// changes every time the slot gets a new context. A handle that was never given out, was cleaned
// up, or belongs to an earlier user of a reused slot finds nothing; 0 is never a handle. Slots are
// taken round-robin, so a slot comes back only after every other one was used.
//
// A call holds its context with CVornUse for as long as it runs. Removing a handle while calls
// still use it refuses new calls at once and leaves the release of the context to the last of
// those calls, so a context is never released under a running command.
#ifndef ORX_JAVA_VORN_HANDLES_H
#define ORX_JAVA_VORN_HANDLES_H

#include <cstdint>
#include <mutex>
#include <orx/zafengine.h>

namespace orxjava {

class CVornHandleTable {
public:
    static constexpr int kSlotBits = 10;
    static constexpr int32_t kSlots = 1 << kSlotBits;                      // live contexts at most
    static constexpr uint32_t kGenerations = (1u << (31 - kSlotBits)) - 1; // 1 .. kGenerations

    // Registers a context and returns its handle (> 0), or 0 when every slot is taken.
    int32_t add(ZAFvornContext* context);
    // Removes the handle. Returns the context when the caller is to release it now; null for an
    // unknown handle, or when calls still run (the last of them releases it).
    ZAFvornContext* remove(int32_t handle);
    // Live handles (for tests).
    int32_t live() const;

private:
    friend class CVornUse;
    struct SSlot {
        ZAFvornContext* context = nullptr;
        uint32_t generation = 0; // of the current or last context
        uint32_t users = 0;      // calls running on the context
        bool closing = false;    // removed while calls ran
    };
    SSlot* find(int32_t handle);
    ZAFvornContext* acquire(int32_t handle);
    // Ends a use; returns the context when it is to be released now.
    ZAFvornContext* release(int32_t handle);

    mutable std::mutex m_lock;
    SSlot m_slots[kSlots];
    int32_t m_next = 0; // where the search for a free slot starts
    int32_t m_live = 0;
};

// One call's use of a handle's context; context() is null for a handle that is not live.
// Releases the context at scope end when the handle was removed meanwhile.
class CVornUse {
public:
    CVornUse(CVornHandleTable& table, int32_t handle);
    ~CVornUse();
    CVornUse(const CVornUse&) = delete;
    CVornUse& operator=(const CVornUse&) = delete;
    ZAFvornContext* context() const { return m_context; }

private:
    CVornHandleTable& m_table;
    int32_t m_handle;
    ZAFvornContext* m_context;
};

} // namespace orxjava

#endif
