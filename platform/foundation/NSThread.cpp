#include "NSThread.h"

#include <pthread.h>

#include <condition_variable>
#include <memory>
#include <thread>

#include "Dispatch.h"
#include "Fatal.h"
#include "NSRunLoop.h"
#include "PlatformClock.h"
#include "platform/foundation/Mutex.h"

namespace {

// Sleepers whose deadline is scheduled and has not fired. Scheduling and
// counting happen under one lock that the firing also takes, so a test that
// sees the count can always advance past the deadline, and a woken sleeper
// no longer counts once advance() returns.
Mutex sleepersMutex;
size_t sleepers GUARDED_BY(sleepersMutex) = 0;

struct Wake {
  Mutex mutex;
  std::condition_variable cv;
  bool fired GUARDED_BY(mutex) = false;
};

void wakeUp(const std::shared_ptr<Wake>& wake) {
  {
    MutexLock lock(sleepersMutex);
    --sleepers;
  }
  MutexLock lock(wake->mutex);
  wake->fired = true;
  wake->cv.notify_all();
}

}  // namespace

bool NSThread::isMainThread() { return ::isMainThread(); }

void NSThread::sleepForTimeInterval(double seconds) {
  if (!(seconds > 0)) return;
  if (::isMainThread() && PlatformClock::isManual()) {
    FatalStop("NSThread: sleeping on the main thread under the manual clock");
  }
  auto wake = std::make_shared<Wake>();
  DispatchBlockingScope blocking;
  {
    MutexLock lock(sleepersMutex);
    PlatformClock::scheduleAt(PlatformClock::now() + seconds, [wake] { wakeUp(wake); });
    ++sleepers;
  }
  MutexLock lock(wake->mutex);
  lock.wait(wake->cv, [&]() REQUIRES(wake->mutex) { return wake->fired; });
}

size_t NSThread::sleepingThreadCount() {
  MutexLock lock(sleepersMutex);
  return sleepers;
}

void NSThread::detachNewThreadWithBlock(UniqueFunction<void()> block, const std::string& name) {
  // Linux keeps 15 characters of a thread's name; longer ones are refused whole.
  std::thread([block = std::move(block), name = name.substr(0, 15)]() mutable {
    pthread_setname_np(pthread_self(), name.c_str());
    block();
  }).detach();
}
