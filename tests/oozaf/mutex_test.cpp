// Tests of the mutex wrapper on its own: the scope lock and the guarded value keep threads apart,
// and a mutex destroyed while locked is logged with its declaration place instead of thrown.
// ctest-labels: threaded
#include <oozaf/logger.h>
#include <oozaf/mutex.h>

#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

using namespace oozaf;

TEST(Mutex, ScopeLockAndGuardedValueKeepThreadsApart) {
    CZAFMutex mutex("mutex_test.cpp", __LINE__);
    CZAFSynchObject<int> guarded(0, "mutex_test.cpp", __LINE__);
    long plain = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                {
                    CZAFLockGuard hold(mutex);
                    ++plain;
                }
                // get and set are each locked, the pair is not: taken under the outer lock.
                CZAFLockGuard hold(mutex);
                guarded.set(guarded.get() + 1);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(20000, plain);
    EXPECT_EQ(20000, guarded.get());
    // The lock is free again: another scope takes it at once.
    CZAFLockGuard again(mutex);
}

TEST(Mutex, DestroyedWhileLockedIsLoggedWithItsDeclarationPlace) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer reports the locked destroy itself";
#endif
    CZAFLogger logger;
    std::ostringstream out;
    logger.setLog(out);
    logger.setLogLevel(CZAFLogger::eLogError);
    gSetOOZAFLogger(&logger);
    auto mutex = std::make_unique<CZAFMutex>("owner.cpp", 42);
    mutex->lock();
    EXPECT_NO_THROW(mutex.reset());
    gSetOOZAFLogger(nullptr);
    EXPECT_NE(std::string::npos, out.str().find("Mutex declaration file: owner.cpp")) << out.str();
    EXPECT_NE(std::string::npos, out.str().find("Mutex declaration line: 42")) << out.str();
}
