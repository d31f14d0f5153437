// thread: a joinable POSIX thread object and a timed event.
#ifndef OOZAF_THREAD_H
#define OOZAF_THREAD_H

#include <oozaf/mutex.h>
#include <oozaf/obj.h>

#include <cstdint>
#include <pthread.h>
#include <string>

namespace oozaf {

// A bare condition variable with its mutex: there is no signalled flag, so a signal with no
// waiter is lost. POSIX failures throw CZAFEventError (1800 init, 1802 wait, 1803 signal).
class CZAFEvent : public CZAFObj {
public:
    static constexpr unsigned int kInfinite = 0xFFFFFFFFu;

    CZAFEvent(const std::string& file, unsigned int line);
    ~CZAFEvent() override;
    CZAFEvent(const CZAFEvent&) = delete;
    CZAFEvent& operator=(const CZAFEvent&) = delete;

    // Waits for a signal, at most `milliseconds` (kInfinite: no limit). Returns false on time-out;
    // a spurious wake-up also returns true.
    bool wait(unsigned int milliseconds);
    // Wakes at most one waiter.
    void signal();

    // The absolute deadline `milliseconds` after (seconds, microseconds), nanoseconds normalised.
    static timespec computeDeadline(long seconds, long microseconds, unsigned int milliseconds);

private:
    std::string m_file;
    unsigned int m_line;
    CZAFMutex m_mutex;
    pthread_cond_t m_cond;
};

// A thread object: not started -> started (start) -> not started (join); reusable after join.
// start, join and getRc are serialised by the thread lock; cancel reads the id without it.
// Misuse (start twice, join when not started, destroy while started) throws CZAFInternalError.
class CZAFThread : public CZAFObj {
public:
    using Function = void* (*)(void*);

    CZAFThread();
    ~CZAFThread() override;
    CZAFThread(const CZAFThread&) = delete;
    CZAFThread& operator=(const CZAFThread&) = delete;

    // Throws CZAFThreadStartException when pthread_create fails.
    virtual void start(Function function, void* argument);
    // Requests cancellation; the caller still joins. Throws CZAFThreadCancelException.
    virtual void cancel();
    // Waits for the thread; throws CZAFThreadJoinException when pthread_join fails.
    virtual void join();
    // The thread function's return value of the last joined run.
    virtual void* getRc();
    virtual bool isStarted();

    // Sleeps; an interrupted sleep returns early.
    static void sleep(unsigned int milliseconds);

private:
    CZAFSynchObject<bool> m_started;
    CZAFMutex m_threadLock;
    pthread_t m_thread{};
    void* m_lastResult = nullptr;
};

} // namespace oozaf

#endif
