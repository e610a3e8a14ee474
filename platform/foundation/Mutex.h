#pragma once

// The mutex every product lock uses, and its scoped lock. Both carry clang's
// thread-safety attributes, so a clang build with -Wthread-safety proves that
// each GUARDED_BY member is touched only with its mutex held and that each
// REQUIRES function is called only by a holder. Under gcc the attributes are
// empty and the types are a std::mutex and a std::unique_lock.
//
// Waiting on a condition variable goes through the lock (lock.wait(cv, pred)):
// the analysis then sees the mutex held before and after the wait, which is
// what the wait guarantees. A predicate that reads guarded members says so
// with REQUIRES(mutex) on the lambda, because a lambda body is checked as a
// function of its own.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) QX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QX_THREAD_ANNOTATION(no_thread_safety_analysis)

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis what it cannot see: that the caller's caller took
  // this mutex (through another object's reference to it). Checks nothing.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// For the few owners whose callbacks re-enter them on the same thread.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a Mutex for its scope. unlock() and lock() let a holder call out
// without the mutex and take it back; the destructor releases it only if held.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() { lock_.unlock(); }
  void lock() ACQUIRE() { lock_.lock(); }
  // Runs `work` without the mutex and takes it back after. The analysis sees
  // the mutex held throughout, and checks `work` (a lambda: a function of its
  // own) as holding nothing, so it can hand out a held lock to a helper.
  template <class Work>
  void runUnlocked(Work&& work) {
    lock_.unlock();
    struct Relock {
      std::unique_lock<std::mutex>& lock;
      ~Relock() { lock.lock(); }
    } relock{lock_};
    work();
  }

  void wait(std::condition_variable& cv) { cv.wait(lock_); }
  template <class Pred>
  void wait(std::condition_variable& cv, Pred ready) {
    cv.wait(lock_, ready);
  }
  // False when the time ran out (for the predicate forms: with it still false).
  template <class Rep, class Period>
  bool waitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& limit) {
    return cv.wait_for(lock_, limit) == std::cv_status::no_timeout;
  }
  template <class Rep, class Period, class Pred>
  bool waitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& limit,
               Pred ready) {
    return cv.wait_for(lock_, limit, ready);
  }
  template <class Clock, class Duration, class Pred>
  bool waitUntil(std::condition_variable& cv,
                 const std::chrono::time_point<Clock, Duration>& deadline, Pred ready) {
    return cv.wait_until(lock_, deadline, ready);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

class SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~RecursiveMutexLock() RELEASE() { mutex_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};
