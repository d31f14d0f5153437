// Test helper: runs a callable that should throw a library throwable and hands back ownership.
#ifndef ORX_TEST_EXPECT_THROW_H
#define ORX_TEST_EXPECT_THROW_H

#include <oozaf/throwable.h>

#include <gtest/gtest.h>
#include <memory>
#include <typeinfo>

// Returns the thrown object as a T when `f` throws one; otherwise records a failure (deleting
// whatever else was thrown) and returns null.
template <class T, class F> std::unique_ptr<T> expectThrow(F&& f) {
    try {
        f();
    } catch (oozaf::CZAFThrowable* thrown) {
        std::unique_ptr<oozaf::CZAFThrowable> owner(thrown);
        if (T* typed = dynamic_cast<T*>(thrown)) {
            owner.release();
            return std::unique_ptr<T>(typed);
        }
        ADD_FAILURE() << "expected " << typeid(T).name() << ", got " << typeid(*thrown).name()
                      << ": " << thrown->getDetailedMessage();
        return nullptr;
    }
    ADD_FAILURE() << "expected " << typeid(T).name() << ", nothing was thrown";
    return nullptr;
}

#endif
