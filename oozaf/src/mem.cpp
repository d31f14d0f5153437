// mem: the tracking memory manager and CZAFObj's allocation operators.
#include <oozaf/mem.h>
#include <oozaf/throwable.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <typeinfo>

namespace oozaf {

CZAFMemoryManager::CZAFMemoryManager() : m_lock("mem", __LINE__) {}

// The recorded blocks are not freed: objects still alive belong to whoever holds them.
CZAFMemoryManager::~CZAFMemoryManager() = default;

void* CZAFMemoryManager::allocate(std::size_t size) {
    ZAF_ASSERT_TAG("mem", size != 0);
    void* block = std::malloc(size);
    if (block == nullptr)
        throw std::bad_alloc();
    std::memset(block, 0, size);
    CZAFLockGuard guard(m_lock);
    m_blocks[block] = size;
    return block;
}

void* CZAFMemoryManager::reallocate(void* block, std::size_t size) {
    void* fresh = allocate(size);
    if (block == nullptr)
        return fresh;
    std::size_t oldSize = 0;
    {
        CZAFLockGuard guard(m_lock);
        auto it = m_blocks.find(block);
        if (it != m_blocks.end())
            oldSize = it->second;
    }
    if (oldSize == 0) {
        deallocate(fresh);
        ZAF_FAIL_TAG("mem");
    }
    std::memcpy(fresh, block, oldSize < size ? oldSize : size);
    deallocate(block);
    return fresh;
}

void CZAFMemoryManager::deallocate(void*& block) {
    if (block == nullptr)
        return;
    {
        CZAFLockGuard guard(m_lock);
        m_blocks.erase(block);
    }
    std::free(block);
    block = nullptr;
}

void CZAFMemoryManager::printAlc(void* block, std::size_t size, std::ostream& out) const {
    out << "address = 0x" << std::hex << reinterpret_cast<std::uintptr_t>(block) << std::dec
        << ", size = " << size << " bytes\n";
}

std::size_t CZAFMemoryManager::getBlockCount() {
    CZAFLockGuard guard(m_lock);
    return m_blocks.size();
}

std::size_t CZAFMemoryManager::getTotalBytes() {
    CZAFLockGuard guard(m_lock);
    std::size_t total = 0;
    for (const auto& entry : m_blocks)
        total += entry.second;
    return total;
}

std::ostream& operator<<(std::ostream& out, CZAFMemoryManager& manager) {
    CZAFLockGuard guard(manager.m_lock);
    if (manager.m_blocks.empty()) {
        out << "No outstanding allocations.\n";
        return out;
    }
    out << "Outstanding allocations:\n------------------------\n\n";
    std::size_t total = 0;
    for (const auto& entry : manager.m_blocks) {
        manager.printAlc(entry.first, entry.second, out);
        total += entry.second;
    }
    out << "\nTotal unfreed bytes: " << total << "\n";
    return out;
}

void CZAFObjMemoryManager::printAlc(void* block, std::size_t size, std::ostream& out) const {
    const CZAFObj* object = static_cast<const CZAFObj*>(block);
    out << "type = " << typeid(*object).name() << ", address = 0x" << std::hex
        << reinterpret_cast<std::uintptr_t>(block) << std::dec << ", size = " << size << " bytes\n";
}

CZAFObjMemoryManager& gObjMemoryManager() {
    // Placement into static storage: never destroyed, so deletes during exit still work.
    alignas(CZAFObjMemoryManager) static unsigned char storage[sizeof(CZAFObjMemoryManager)];
    static CZAFObjMemoryManager* manager = new (storage) CZAFObjMemoryManager();
    return *manager;
}

void* CZAFObj::operator new(std::size_t size) { return gObjMemoryManager().allocate(size); }

void CZAFObj::operator delete(void* p) { gObjMemoryManager().deallocate(p); }

void CZAFObj::printMemoryAllocations(std::ostream& out) {
    out << static_cast<CZAFMemoryManager&>(gObjMemoryManager());
}

} // namespace oozaf
