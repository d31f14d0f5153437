// expect_throw: runs a callable that should throw a library throwable and hands back ownership.
#ifndef ORX_TESTS_EXPECT_THROW_H
#define ORX_TESTS_EXPECT_THROW_H

#include <oozaf/throwable.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

// Calls `f`, which should throw a pointer to a throwable of type T (or a subclass). Returns the
// caught object, owned by the caller. When nothing is thrown, or a throwable of another type, the
// test fails (ADD_FAILURE), the stray object is deleted and null is returned, so
// `ASSERT_TRUE(e)` stops the test without leaking. Other exceptions pass through unchanged.
//
//     auto e = expectThrow<CZAFTimeParseException>([&] { CZAFTime::createFromYMD("2004/1/1"); });
//     ASSERT_TRUE(e);
//     EXPECT_EQ("Bad date format", e->getDetail());
template <class T, class F> std::unique_ptr<T> expectThrow(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (oozaf::CZAFThrowable* thrown) {
        std::unique_ptr<oozaf::CZAFThrowable> owned(thrown);
        if (!owned) {
            ADD_FAILURE() << "a null throwable pointer was thrown";
            return nullptr;
        }
        if (T* typed = dynamic_cast<T*>(owned.get())) {
            owned.release();
            return std::unique_ptr<T>(typed);
        }
        const oozaf::CZAFThrowable& other = *owned;
        ADD_FAILURE() << "expected a throwable of type " << typeid(T).name() << ", got "
                      << typeid(other).name() << ":\n"
                      << owned->getDetailedMessage();
        return nullptr;
    }
    ADD_FAILURE() << "expected a throwable of type " << typeid(T).name()
                  << ", but nothing was thrown";
    return nullptr;
}

#endif
