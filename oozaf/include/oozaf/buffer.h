// buffer: an owned array with its element count.
#ifndef OOZAF_BUFFER_H
#define OOZAF_BUFFER_H

#include <oozaf/obj.h>

#include <cstddef>
#include <cstring>

namespace oozaf {

// Owns an array of `count` elements allocated with new[]; the destructor releases it and zeroes
// both fields. Not copyable; movable.
template <class T> class CZAFBuffer : public CZAFObj {
public:
    CZAFBuffer() = default;
    explicit CZAFBuffer(std::size_t count)
        : m_count(count), m_data(count ? new T[count]() : nullptr) {}
    ~CZAFBuffer() override { release(); }
    CZAFBuffer(const CZAFBuffer&) = delete;
    CZAFBuffer& operator=(const CZAFBuffer&) = delete;
    CZAFBuffer(CZAFBuffer&& other) noexcept : m_count(other.m_count), m_data(other.m_data) {
        other.m_count = 0;
        other.m_data = nullptr;
    }
    CZAFBuffer& operator=(CZAFBuffer&& other) noexcept {
        if (this != &other) {
            release();
            m_count = other.m_count;
            m_data = other.m_data;
            other.m_count = 0;
            other.m_data = nullptr;
        }
        return *this;
    }

    // Replaces the contents with a new zero-initialised array of `count` elements.
    void resize(std::size_t count) {
        release();
        m_data = count ? new T[count]() : nullptr;
        m_count = count;
    }

    T* get() { return m_data; }
    const T* get() const { return m_data; }
    std::size_t getCount() const { return m_count; }
    T& operator[](std::size_t i) { return m_data[i]; }
    const T& operator[](std::size_t i) const { return m_data[i]; }

private:
    void release() {
        delete[] m_data;
        m_data = nullptr;
        m_count = 0;
    }

    std::size_t m_count = 0;
    T* m_data = nullptr;
};

} // namespace oozaf

#endif
