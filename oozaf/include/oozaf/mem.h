// mem: the tracking memory manager behind CZAFObj's allocation operators.
#ifndef OOZAF_MEM_H
#define OOZAF_MEM_H

#include <oozaf/mutex.h>

#include <cstddef>
#include <map>
#include <ostream>

namespace oozaf {

// Hands out zero-filled blocks and remembers the address and size of every live one, so that a
// report of outstanding allocations can be printed. Each block has its own malloc/free (no pool),
// so memory checkers see overruns. Thread-safe: the map is touched only under the manager's mutex.
class CZAFMemoryManager {
public:
    CZAFMemoryManager();
    virtual ~CZAFMemoryManager();
    CZAFMemoryManager(const CZAFMemoryManager&) = delete;
    CZAFMemoryManager& operator=(const CZAFMemoryManager&) = delete;

    // Returns a new zero-filled block of `size` bytes; size 0 throws CZAFInternalError.
    // std::bad_alloc from the global allocator passes through unchanged.
    virtual void* allocate(std::size_t size);
    // Moves `block` into a new block of `size` bytes (the tail of a larger block stays zero) and
    // frees the old one; a null block acts as allocate. An unknown block throws CZAFInternalError.
    virtual void* reallocate(void* block, std::size_t size);
    // Frees the block and sets the caller's pointer to null; null does nothing.
    virtual void deallocate(void*& block);
    // Writes one report line for a block.
    virtual void printAlc(void* block, std::size_t size, std::ostream& out) const;

    void lock() { m_lock.lock(); }
    void unlock() { m_lock.unlock(); }

    // Number of live blocks and their total size, read under the lock.
    std::size_t getBlockCount();
    std::size_t getTotalBytes();

    friend std::ostream& operator<<(std::ostream& out, CZAFMemoryManager& manager);

private:
    std::map<void*, std::size_t> m_blocks;
    CZAFMutex m_lock;
};

// The manager used by CZAFObj: its report names each object's dynamic type.
class CZAFObjMemoryManager final : public CZAFMemoryManager {
public:
    void printAlc(void* block, std::size_t size, std::ostream& out) const override;
};

// The process-wide manager of CZAFObj. It is built on first use and never destroyed, so objects
// may be created and deleted during static construction and destruction of any module.
CZAFObjMemoryManager& gObjMemoryManager();

} // namespace oozaf

#endif
