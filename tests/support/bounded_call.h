// bounded_call: runs a call that must not wait on anything (opening a FIFO, say) on a thread of
// its own, and tells whether it came back within a bound. A call that hangs is released by the
// test's `unblock` (for a FIFO: a writer that opens and closes it), so a failure never hangs the
// test run.
#ifndef ORX_TESTS_BOUNDED_CALL_H
#define ORX_TESTS_BOUNDED_CALL_H

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>

namespace orxtest {

// True when `call` returned within `seconds`. Otherwise `unblock` is run until the call returns
// (each try a second apart, at most a minute) and false is returned.
inline bool returnsWithin(int seconds, const std::function<void()>& call,
                          const std::function<void()>& unblock = {}) {
    std::packaged_task<void()> task(call);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    const bool inTime = done.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
    for (int i = 0; !inTime && unblock && i < 60; ++i) {
        unblock();
        if (done.wait_for(std::chrono::seconds(1)) == std::future_status::ready)
            break;
    }
    runner.join();
    done.get(); // the call's own exception, if any
    return inTime;
}

// An unblocker for a call stuck opening or reading the FIFO at `path`: opens it as a writer
// (without waiting) and closes it again, which ends a blocked open and gives the reader its end.
inline std::function<void()> fifoWriter(const std::string& path) {
    return [path] {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
    };
}

} // namespace orxtest

#endif
