// mutex: a POSIX mutex that remembers where it was declared, a scope lock and a guarded value.
#ifndef OOZAF_MUTEX_H
#define OOZAF_MUTEX_H

#include <oozaf/obj.h>

#include <pthread.h>
#include <string>

namespace oozaf {

// A non-recursive mutex. The declaration file (the owner's source tag) and line appear in the
// CZAFMutexError thrown when a POSIX call fails (reasons 1804 init, 1806 lock, 1807 unlock).
// Any thread may lock it; locking it twice from one thread deadlocks. A destroy failure (1805,
// a mutex still locked) cannot be thrown from a destructor; it is logged as an error instead.
class CZAFMutex : public CZAFObj {
public:
    CZAFMutex(const std::string& file, unsigned int line);
    ~CZAFMutex() override;
    CZAFMutex(const CZAFMutex&) = delete;
    CZAFMutex& operator=(const CZAFMutex&) = delete;

    void lock();
    void unlock();
    pthread_mutex_t* getMutex() { return &m_mutex; }
    const std::string& getFile() const { return m_file; }
    unsigned int getLine() const { return m_line; }

private:
    std::string m_file;
    unsigned int m_line;
    pthread_mutex_t m_mutex;
};

// Holds a CZAFMutex for the lifetime of the scope. An unlock failure in the destructor is logged
// and swallowed: a destructor must not throw while another throwable is in flight.
class CZAFLockGuard final {
public:
    explicit CZAFLockGuard(CZAFMutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~CZAFLockGuard();
    CZAFLockGuard(const CZAFLockGuard&) = delete;
    CZAFLockGuard& operator=(const CZAFLockGuard&) = delete;

private:
    CZAFMutex& m_mutex;
};

// A value of type T whose every read and write happens under its own mutex.
template <class T> class CZAFSynchObject : public CZAFObj {
public:
    CZAFSynchObject(const T& value, const std::string& file, unsigned int line)
        : m_value(value), m_mutex(file, line) {}

    T get() {
        CZAFLockGuard guard(m_mutex);
        return m_value;
    }
    void set(const T& value) {
        CZAFLockGuard guard(m_mutex);
        m_value = value;
    }
    CZAFMutex& getMutex() { return m_mutex; }

private:
    T m_value;
    CZAFMutex m_mutex;
};

} // namespace oozaf

#endif
