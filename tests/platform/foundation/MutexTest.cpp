#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <stdexcept>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "support/TestEnvironment.h"

namespace mutex_test {

namespace {

using MutexTest = PlatformTest;

// Whether a thread other than the caller can take `mutex` right now.
template <class M>
bool freeElsewhere(M& mutex) {
  static const dispatch_queue_t queue = dispatch_queue_create("test.mutex");
  auto done = dispatch_semaphore_create(0);
  bool got = false;
  // The semaphore is held by the block too: the signal may still be leaving
  // it when the wait below has returned.
  dispatch_async(queue, [&mutex, &got, done] {
    if (mutex.try_lock()) {
      got = true;
      mutex.unlock();
    }
    dispatch_semaphore_signal(done);
  });
  EXPECT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  return got;
}

TEST_F(MutexTest, ALockHoldsItsMutexExactlyWhileItSaysSo) {
  Mutex mutex;
  {
    MutexLock lock(mutex);
    EXPECT_FALSE(freeElsewhere(mutex));
    lock.runUnlocked([&] { EXPECT_TRUE(freeElsewhere(mutex)); });
    EXPECT_FALSE(freeElsewhere(mutex));
    // Taken back even when the work throws.
    EXPECT_THROW(lock.runUnlocked([] { throw std::runtime_error("out"); }), std::runtime_error);
    EXPECT_FALSE(freeElsewhere(mutex));
    lock.unlock();
    EXPECT_TRUE(freeElsewhere(mutex));
    lock.lock();
    EXPECT_FALSE(freeElsewhere(mutex));
  }
  EXPECT_TRUE(freeElsewhere(mutex));
  {
    // Released by hand: the end of the scope does not release it again.
    MutexLock lock(mutex);
    lock.unlock();
  }
  EXPECT_TRUE(freeElsewhere(mutex));

  RecursiveMutex recursive;
  // Taken again on the same thread, as a callback into its owner does.
  auto reenter = [&] { RecursiveMutexLock inner(recursive); };
  {
    RecursiveMutexLock outer(recursive);
    reenter();
    EXPECT_FALSE(freeElsewhere(recursive));
  }
  EXPECT_TRUE(freeElsewhere(recursive));
}

TEST_F(MutexTest, TimedWaitsAnswerWhetherThePredicateHeld) {
  struct Case {
    bool ready;
    std::chrono::milliseconds limit;
    bool expected;
  };
  const Case cases[] = {
      {true, std::chrono::milliseconds(0), true},
      {false, std::chrono::milliseconds(0), false},
      {false, std::chrono::milliseconds(1), false},
      {true, std::chrono::hours(1), true},  // true already: no wait at all
  };
  Mutex mutex;
  std::condition_variable cv;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ready << " within " << c.limit.count() << " ms");
    MutexLock lock(mutex);
    EXPECT_EQ(lock.waitFor(cv, c.limit, [&] { return c.ready; }), c.expected);
    auto deadline = std::chrono::steady_clock::now() + c.limit;
    EXPECT_EQ(lock.waitUntil(cv, deadline, [&] { return c.ready; }), c.expected);
  }

  // A wait gives the mutex up until another thread, under it, makes it true.
  struct Shared {
    Mutex mutex;
    std::condition_variable cv;
    bool flag GUARDED_BY(mutex) = false;
  } shared;
  auto queue = dispatch_queue_create("test.mutex.signal");
  MutexLock lock(shared.mutex);
  dispatch_async(queue, [&] {
    MutexLock other(shared.mutex);
    shared.flag = true;
    shared.cv.notify_all();
  });
  EXPECT_TRUE(lock.waitFor(shared.cv, std::chrono::duration<double>(kTestTimeoutSeconds),
                           [&]() REQUIRES(shared.mutex) { return shared.flag; }));
}

}  // namespace

}  // namespace mutex_test
