// thread: POSIX thread object and timed event.
#include <oozaf/logger.h>
#include <oozaf/thread.h>
#include <oozaf/throwable.h>

#include <cerrno>
#include <ctime>
#include <sys/time.h>

namespace oozaf {

CZAFEvent::CZAFEvent(const std::string& file, unsigned int line)
    : m_file(file), m_line(line), m_mutex(file, line) {
    int rc = pthread_cond_init(&m_cond, nullptr);
    if (rc != 0)
        throw new CZAFEventError(m_file, m_line, eReasonEventInit, rc);
}

CZAFEvent::~CZAFEvent() {
    int rc = pthread_cond_destroy(&m_cond);
    if (rc != 0) {
        CZAFEventError error(m_file, m_line, eReasonEventDestroy, rc);
        ZAF_LOG_ERROR(error.getDetailedMessage());
    }
}

timespec CZAFEvent::computeDeadline(long seconds, long microseconds, unsigned int milliseconds) {
    timespec deadline{};
    long nanoseconds = microseconds * 1000 + static_cast<long>(milliseconds % 1000) * 1000000;
    deadline.tv_sec = seconds + static_cast<time_t>(milliseconds / 1000) + nanoseconds / 1000000000;
    deadline.tv_nsec = nanoseconds % 1000000000;
    return deadline;
}

bool CZAFEvent::wait(unsigned int milliseconds) {
    int rc = 0;
    if (milliseconds == kInfinite) {
        CZAFLockGuard guard(m_mutex);
        rc = pthread_cond_wait(&m_cond, m_mutex.getMutex());
    } else {
        timeval now{};
        ZAF_ASSERT_TAG("event", gettimeofday(&now, nullptr) == 0);
        timespec deadline = computeDeadline(now.tv_sec, now.tv_usec, milliseconds);
        CZAFLockGuard guard(m_mutex);
        rc = pthread_cond_timedwait(&m_cond, m_mutex.getMutex(), &deadline);
    }
    if (rc == 0)
        return true;
    if (rc == ETIMEDOUT)
        return false;
    throw new CZAFEventError(m_file, m_line, eReasonEventWait, rc);
}

void CZAFEvent::signal() {
    CZAFLockGuard guard(m_mutex);
    int rc = pthread_cond_signal(&m_cond);
    if (rc != 0)
        throw new CZAFEventError(m_file, m_line, eReasonEventSignal, rc);
}

CZAFThread::CZAFThread() : m_started(false, "thread", __LINE__), m_threadLock("thread", __LINE__) {}

CZAFThread::~CZAFThread() {
    try {
        CZAFLockGuard guard(m_threadLock);
        if (m_started.get()) {
            // A destructor may not throw, and leaving a joinable thread behind leaks it: report
            // the defect and detach so the thread's resources are reclaimed when it ends.
            CZAFInternalError error("thread", __LINE__, "Assertion Failed");
            ZAF_LOG_ERROR(error.getDetailedMessage());
            pthread_detach(m_thread);
        }
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
    }
}

void CZAFThread::start(Function function, void* argument) {
    CZAFLockGuard guard(m_threadLock);
    ZAF_ASSERT_TAG("thread", function != nullptr);
    ZAF_ASSERT_TAG("thread", !m_started.get());
    pthread_t id{};
    int rc = pthread_create(&id, nullptr, function, argument);
    if (rc != 0)
        throw new CZAFThreadStartException(rc);
    m_thread = id;
    ZAF_LOG_VERBOSE("Created new thread (id = " << static_cast<unsigned long>(id) << ")");
    m_started.set(true);
}

void CZAFThread::join() {
    CZAFLockGuard guard(m_threadLock);
    ZAF_ASSERT_TAG("thread", m_started.get());
    void* result = nullptr;
    int rc = pthread_join(m_thread, &result);
    if (rc != 0)
        throw new CZAFThreadJoinException(rc);
    m_lastResult = result;
    m_started.set(false);
    m_thread = pthread_t{};
}

void CZAFThread::cancel() {
    int rc = pthread_cancel(m_thread);
    if (rc != 0)
        throw new CZAFThreadCancelException(rc);
}

void* CZAFThread::getRc() {
    CZAFLockGuard guard(m_threadLock);
    ZAF_ASSERT_TAG("thread", !m_started.get());
    return m_lastResult;
}

bool CZAFThread::isStarted() { return m_started.get(); }

void CZAFThread::sleep(unsigned int milliseconds) {
    timespec duration{};
    duration.tv_sec = static_cast<time_t>(milliseconds / 1000);
    duration.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    nanosleep(&duration, nullptr);
}

} // namespace oozaf
