// mutex: POSIX mutex wrapper.
#include <oozaf/logger.h>
#include <oozaf/mutex.h>
#include <oozaf/throwable.h>

#include <cstring>

namespace oozaf {

CZAFMutex::CZAFMutex(const std::string& file, unsigned int line) : m_file(file), m_line(line) {
    std::memset(&m_mutex, 0, sizeof(m_mutex));
    int rc = pthread_mutex_init(&m_mutex, nullptr);
    if (rc != 0)
        throw new CZAFMutexError(m_file, m_line, eReasonMutexInit, rc);
}

CZAFMutex::~CZAFMutex() {
    int rc = pthread_mutex_destroy(&m_mutex);
    if (rc != 0) {
        // A destructor may not throw; a mutex destroyed while locked is a defect worth a log line.
        CZAFMutexError error(m_file, m_line, eReasonMutexDestroy, rc);
        ZAF_LOG_ERROR(error.getDetailedMessage());
    }
}

void CZAFMutex::lock() {
    int rc = pthread_mutex_lock(&m_mutex);
    if (rc != 0)
        throw new CZAFMutexError(m_file, m_line, eReasonMutexLock, rc);
}

void CZAFMutex::unlock() {
    int rc = pthread_mutex_unlock(&m_mutex);
    if (rc != 0)
        throw new CZAFMutexError(m_file, m_line, eReasonMutexUnlock, rc);
}

CZAFLockGuard::~CZAFLockGuard() {
    try {
        m_mutex.unlock();
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
    }
}

} // namespace oozaf
