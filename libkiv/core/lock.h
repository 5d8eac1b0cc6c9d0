// SPDX-License-Identifier: Apache-2.0
// The library's one mutex and scoped lock, with annotations that clang's -Wthread-safety checks.
//
// State that a mutex guards is declared GUARDED_BY(that mutex); functions that expect the mutex
// held say REQUIRES(it), those that take it themselves EXCLUDES(it). A missing lock is then a
// compile error in clang builds rather than a comment.
#pragma once

#include "ust.h"

#if defined(__clang__)
#define KIV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KIV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KIV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KIV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KIV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KIV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KIV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KIV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KIV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KIV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KIV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kiv {

// A non-recursive mutex of the runtime layer. Usable from the moment its storage exists: the
// zero-filled state is unlocked, so a Mutex with static storage works before any constructor
// of the library has run.
class CAPABILITY("mutex") Mutex {
  public:
    constexpr Mutex() noexcept = default;
    ~Mutex() = default;  // never destroyed while held; the runtime needs no tear-down here
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() noexcept ACQUIRE() { ustMutexLock(&mutex_); }
    void unlock() noexcept RELEASE() { ustMutexUnlock(&mutex_); }

  private:
    ustMutex mutex_ = UST_MUTEX_INITIALIZER;
};

// Holds a Mutex for the rest of the enclosing scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex &mutex) noexcept ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

  private:
    Mutex &mutex_;
};

}  // namespace kiv
