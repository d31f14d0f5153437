// guisync: the listener's synchronisation helpers: the fair lock every request queues for and the
// timer that ends a login which takes too long.
#ifndef VORNGUI_GUISYNC_H
#define VORNGUI_GUISYNC_H

#include <oozaf/obj.h>
#include <oozaf/thread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorngui {

// A lock that hands itself out in the order it was asked for. Every session's requests queue for
// the one request lock; with an ordinary mutex, a session whose turn came could lose it again and
// again to sessions whose next request had just arrived, and wait for minutes under load.
// Not recursive; any thread may take it, the holder releases it.
class CGUIFairMutex final : public oozaf::CZAFObj {
public:
    CGUIFairMutex() = default;
    CGUIFairMutex(const CGUIFairMutex&) = delete;
    CGUIFairMutex& operator=(const CGUIFairMutex&) = delete;

    void lock();
    void unlock();
    // Takes the lock when nobody holds it or waits for it.
    bool tryLock();
    // The number of threads holding or waiting for the lock.
    uint64_t getQueueLength();

private:
    std::mutex m_lock;
    std::condition_variable m_turn;
    uint64_t m_nextTicket = 0;
    uint64_t m_serving = 0;
};

// Holds a CGUIFairMutex for the lifetime of a scope.
class CGUIFairLock final {
public:
    explicit CGUIFairLock(CGUIFairMutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~CGUIFairLock() { m_mutex.unlock(); }
    CGUIFairLock(const CGUIFairLock&) = delete;
    CGUIFairLock& operator=(const CGUIFairLock&) = delete;

private:
    CGUIFairMutex& m_mutex;
};

// Serialises every request of the daemon: held from impersonate() to unimpersonate(). The
// identity switch itself is made for the calling thread alone (the kernel keeps credentials per
// thread), so a login checks its password as root while another session's request runs as its
// user; the lock keeps the facades and the toolkit to one request at a time.
extern CGUIFairMutex gRequestMutex;

// Calls a function on a thread of its own when a time limit passes before cancel().
class CGUIDeadline final : public oozaf::CZAFObj {
public:
    using Action = void (*)(void*);

    CGUIDeadline() = default;
    ~CGUIDeadline() override;
    CGUIDeadline(const CGUIDeadline&) = delete;
    CGUIDeadline& operator=(const CGUIDeadline&) = delete;

    // Starts the timer; `action(argument)` runs once if `milliseconds` pass first. Throws
    // CZAFThreadStartException. Starting a running timer is an internal error.
    void start(unsigned int milliseconds, Action action, void* argument);
    // Stops the timer and waits for its thread. True when the action ran. Harmless when the
    // timer never started.
    bool cancel();

private:
    static void* body(void* self);

    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_cancelled = false;
    bool m_expired = false;
    unsigned int m_milliseconds = 0;
    Action m_action = nullptr;
    void* m_argument = nullptr;
    oozaf::CZAFThread m_thread;
};

} // namespace vorngui

#endif
