// guisync: the login deadline.
#include <oozaf/throwable.h>
#include <vorngui/guisync.h>

#include <chrono>

namespace vorngui {

namespace {

const char* const kTag = "gui";

} // namespace

CGUIDeadline::~CGUIDeadline() { cancel(); }

void CGUIDeadline::start(unsigned int milliseconds, Action action, void* argument) {
    ZAF_ASSERT_TAG(kTag, action != nullptr && !m_thread.isStarted());
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_cancelled = false;
        m_expired = false;
        m_milliseconds = milliseconds;
        m_action = action;
        m_argument = argument;
    }
    m_thread.start(body, this);
}

bool CGUIDeadline::cancel() {
    if (!m_thread.isStarted())
        return false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_cancelled = true;
    }
    m_wake.notify_all();
    m_thread.join();
    std::lock_guard<std::mutex> hold(m_lock);
    return m_expired;
}

void* CGUIDeadline::body(void* self) {
    auto* deadline = static_cast<CGUIDeadline*>(self);
    std::unique_lock<std::mutex> hold(deadline->m_lock);
    const bool cancelled =
        deadline->m_wake.wait_for(hold, std::chrono::milliseconds(deadline->m_milliseconds),
                                  [deadline] { return deadline->m_cancelled; });
    if (cancelled)
        return nullptr;
    deadline->m_expired = true;
    hold.unlock();
    deadline->m_action(deadline->m_argument);
    return nullptr;
}

} // namespace vorngui
