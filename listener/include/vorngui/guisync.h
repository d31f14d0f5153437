// guisync: the timer that ends a login which takes too long.
#ifndef VORNGUI_GUISYNC_H
#define VORNGUI_GUISYNC_H

#include <oozaf/obj.h>
#include <oozaf/thread.h>

#include <condition_variable>
#include <mutex>

namespace vorngui {

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
