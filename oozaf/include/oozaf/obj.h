// obj: the base of every class of the library, allocated through the tracking memory manager.
#ifndef OOZAF_OBJ_H
#define OOZAF_OBJ_H

#include <cstddef>
#include <iosfwd>

namespace oozaf {

// Base of every library and listener class. Its allocation operators route every object through
// the process-wide tracking memory manager (see mem.h), which zero-fills the block and records
// it until it is deleted. Has no data; any thread may create and delete objects.
class CZAFObj {
public:
    CZAFObj() = default;
    CZAFObj(const CZAFObj&) = default;
    CZAFObj& operator=(const CZAFObj&) = default;
    virtual ~CZAFObj() = default;

    static void* operator new(std::size_t size);
    static void operator delete(void* p);

    // Writes the report of the objects still allocated (see CZAFMemoryManager) to `out`.
    static void printMemoryAllocations(std::ostream& out);
};

} // namespace oozaf

#endif
