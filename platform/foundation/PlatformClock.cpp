#include "PlatformClock.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <utility>

#include "NSRunLoop.h"
#include "platform/foundation/Mutex.h"

namespace {

double realNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double realWallNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// One scheduler for the process. On the real clock its thread fires items when
// due; on the manual clock only advance() fires them.
class Scheduler {
 public:
  static Scheduler& shared() {
    static Scheduler* s = new Scheduler();  // never destroyed: its thread lives on
    return *s;
  }

  double now() {
    MutexLock lock(mutex_);
    return manual_ ? manualNow_ : realNow();
  }

  double wallNow() {
    MutexLock lock(mutex_);
    return manual_ ? manualWallStart_ + (manualNow_ - manualStart_) : realWallNow();
  }

  void setManual(bool manual, double start) {
    {
      MutexLock lock(mutex_);
      manual_ = manual;
      manualNow_ = start;
      manualStart_ = start;
      manualWallStart_ = realWallNow();
    }
    cv_.notify_all();
  }

  bool isManual() {
    MutexLock lock(mutex_);
    return manual_;
  }

  uint64_t schedule(double deadline, UniqueFunction<void()> fire) {
    uint64_t token;
    {
      MutexLock lock(mutex_);
      token = ++nextToken_;
      items_.emplace(std::make_pair(deadline, token), std::move(fire));
      ensureThread();
    }
    cv_.notify_all();
    return token;
  }

  size_t pendingCount() {
    MutexLock lock(mutex_);
    return items_.size();
  }

  void cancel(uint64_t token) {
    MutexLock lock(mutex_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->first.second == token) {
        items_.erase(it);
        return;
      }
    }
  }

  void advance(double seconds) {
    double target;
    {
      MutexLock lock(mutex_);
      if (!manual_) return;
      target = manualNow_ + (seconds > 0 ? seconds : 0);
    }
    const bool onMain = isMainThread();
    for (;;) {
      UniqueFunction<void()> fire;
      {
        MutexLock lock(mutex_);
        auto it = items_.begin();
        if (it == items_.end() || it->first.first > target) break;
        if (it->first.first > manualNow_) manualNow_ = it->first.first;
        fire = std::move(it->second);
        items_.erase(it);
      }
      if (fire) fire();
      if (onMain) NSRunLoop::mainRunLoop().runUntilIdle();
    }
    {
      MutexLock lock(mutex_);
      if (target > manualNow_) manualNow_ = target;
    }
    if (onMain) NSRunLoop::mainRunLoop().runUntilIdle();
  }

 private:
  void ensureThread() {
    if (started_) return;
    started_ = true;
    std::thread([this] { loop(); }).detach();
  }

  void loop() {
    MutexLock lock(mutex_);
    for (;;) {
      if (manual_ || items_.empty()) {
        lock.wait(cv_);
        continue;
      }
      auto it = items_.begin();
      double wait = it->first.first - realNow();
      if (wait > 0) {
        lock.waitFor(cv_, std::chrono::duration<double>(wait));
        continue;
      }
      auto fire = std::move(it->second);
      items_.erase(it);
      lock.unlock();
      if (fire) fire();
      lock.lock();
    }
  }

  Mutex mutex_;  // guards items_, the tokens and the manual time below (with cv_)
  std::condition_variable cv_;
  std::multimap<std::pair<double, uint64_t>, UniqueFunction<void()>> items_ GUARDED_BY(mutex_);
  uint64_t nextToken_ = 0;
  bool manual_ GUARDED_BY(mutex_) = false;
  double manualNow_ GUARDED_BY(mutex_) = 0;
  double manualStart_ GUARDED_BY(mutex_) = 0;
  double manualWallStart_ GUARDED_BY(mutex_) = 0;
  bool started_ = false;
};

}  // namespace

namespace PlatformClock {

double now() { return Scheduler::shared().now(); }
double wallNow() { return Scheduler::shared().wallNow(); }
void useManualClock(double start) { Scheduler::shared().setManual(true, start); }
void useRealClock() { Scheduler::shared().setManual(false, 0); }
bool isManual() { return Scheduler::shared().isManual(); }
void advance(double seconds) { Scheduler::shared().advance(seconds); }
uint64_t scheduleAt(double deadline, UniqueFunction<void()> fire) {
  return Scheduler::shared().schedule(deadline, std::move(fire));
}
void cancel(uint64_t token) { Scheduler::shared().cancel(token); }
size_t pendingCount() { return Scheduler::shared().pendingCount(); }

}  // namespace PlatformClock
