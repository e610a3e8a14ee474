#include "NSThread.h"

#include <pthread.h>

#include <condition_variable>
#include <future>
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

namespace {

std::thread namedThread(UniqueFunction<void()> block, const std::string& name) {
  // Linux keeps 15 characters of a thread's name; longer ones are refused whole.
  return std::thread([block = std::move(block), name = name.substr(0, 15)]() mutable {
    pthread_setname_np(pthread_self(), name.c_str());
    block();
  });
}

}  // namespace

void NSThread::detachNewThreadWithBlock(UniqueFunction<void()> block, const std::string& name) {
  namedThread(std::move(block), name).detach();
}

struct NSJoinableThread::Handle {
  std::thread thread;
};

NSJoinableThread::NSJoinableThread() = default;

NSJoinableThread::~NSJoinableThread() { join(); }

void NSJoinableThread::start(UniqueFunction<void()> block, const std::string& name) {
  if (handle_) FatalStop("NSJoinableThread: started again before it was joined");
  // The block may end its owner (and so join) at once: it waits until the
  // thread is stored for the join to find.
  auto stored = std::make_shared<std::promise<void>>();
  std::shared_future<void> ready = stored->get_future().share();
  handle_ = std::make_unique<Handle>();
  handle_->thread = namedThread(
      [block = std::move(block), ready]() mutable {
        ready.wait();
        block();
      },
      name);
  stored->set_value();
}

void NSJoinableThread::join() {
  if (!handle_) return;
  if (handle_->thread.get_id() == std::this_thread::get_id()) {
    handle_->thread.detach();
  } else {
    handle_->thread.join();
  }
  handle_.reset();
}

bool NSJoinableThread::isStarted() const { return handle_ != nullptr; }
