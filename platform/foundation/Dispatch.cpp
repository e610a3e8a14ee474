#include "Dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "Fatal.h"
#include "NSRunLoop.h"
#include "PlatformClock.h"
#include "platform/foundation/Mutex.h"

namespace {

// Idle workers above the target leave after this much real time without work.
constexpr double kIdleWorkerLifetime = 20.0;
// A worker that runs out of work looks for more for this long before it
// sleeps, while no other worker is looking: work handed over in quick
// succession (a queue's next block, an answer to a reply) then finds it
// awake and costs its sender no wake-up, which on a virtual machine costs
// more than the spin.
constexpr auto kIdleSpin = std::chrono::microseconds(200);

// Serial queues run up to this many blocks in one turn on a worker before
// they go to the back of the pool's line: consecutive blocks skip a hand-over
// between threads, and other queues still get their turn.
constexpr int kSerialBurst = 16;

thread_local bool tlsIsPoolWorker = false;

// What the pool runs: a concurrent queue's block, or (no block) a serial
// queue's turn at its blocks. Carrying the block itself, rather than a
// closure around it, costs a submission no allocation.
struct PoolTask {
  std::shared_ptr<DispatchQueue> queue;
  dispatch_block_t block;
};
void runPoolTask(PoolTask& task);

// The one pool of threads behind every queue but the main one. It keeps about
// as many threads running as there are processors; a worker that blocks (see
// DispatchBlockingScope) no longer counts, so a waiting block cannot starve
// the block it waits for. The hard limit keeps the pool bounded.
class WorkerPool {
 public:
  static WorkerPool& shared() {
    static WorkerPool* pool = new WorkerPool();  // workers outlive static destruction
    return *pool;
  }

  int target() const { return target_; }
  int limit() const { return limit_; }

  bool idle() {
    MutexLock lock(mutex_);
    return tasks_.empty() && running_ == 0;
  }

  void submit(PoolTask task) {
    bool wake;
    {
      MutexLock lock(mutex_);
      tasks_.push_back(std::move(task));
      queued_.store(tasks_.size(), std::memory_order_relaxed);
      spawnIfNeededLocked();
      // A looking worker takes the task without being woken.
      wake = tasks_.size() > static_cast<size_t>(spinning_);
    }
    if (wake) cv_.notify_one();
  }

  void beginBlocking() {
    MutexLock lock(mutex_);
    ++blocked_;
    spawnIfNeededLocked();
  }

  void endBlocking() {
    MutexLock lock(mutex_);
    --blocked_;
  }

 private:
  WorkerPool() {
    int cpus = static_cast<int>(std::thread::hardware_concurrency());
    target_ = std::max(2, cpus);
    limit_ = target_ + 64;
  }

  void spawnIfNeededLocked() REQUIRES(mutex_) {
    if (tasks_.size() <= static_cast<size_t>(idle_ + spinning_)) return;
    if (threads_ - blocked_ >= target_ || threads_ >= limit_) return;
    ++threads_;
    std::thread([this] { pthread_setname_np(pthread_self(), "dispatch-worker"); workerLoop(); }).detach();
  }

  void workerLoop() {
    tlsIsPoolWorker = true;
    MutexLock lock(mutex_);
    for (;;) {
      if (tasks_.empty() && spinning_ == 0) {
        ++spinning_;
        lock.unlock();
        const auto until = std::chrono::steady_clock::now() + kIdleSpin;
        while (queued_.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < until) {
          std::this_thread::yield();
        }
        lock.lock();
        --spinning_;
      }
      while (tasks_.empty()) {
        ++idle_;
        bool woke = lock.waitFor(cv_, std::chrono::duration<double>(kIdleWorkerLifetime),
                                 [this]() REQUIRES(mutex_) { return !tasks_.empty(); });
        --idle_;
        if (!woke && threads_ > target_) {
          --threads_;
          return;
        }
      }
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      queued_.store(tasks_.size(), std::memory_order_relaxed);
      ++running_;
      lock.unlock();
      runPoolTask(task);
      // What the task held is let go before it counts as done.
      task = PoolTask{};
      lock.lock();
      --running_;
    }
  }

  Mutex mutex_;  // guards tasks_, threads_ and the idle counts (with cv_)
  std::condition_variable cv_;
  std::deque<PoolTask> tasks_ GUARDED_BY(mutex_);
  int threads_ GUARDED_BY(mutex_) = 0;
  // tasks_.size(), read by a looking worker without the lock.
  std::atomic<size_t> queued_{0};
  int idle_ = 0;
  int spinning_ = 0;
  int running_ = 0;
  int blocked_ = 0;
  int target_ = 2;
  int limit_ = 66;
};

// Queues whose blocks the current thread is running, innermost last.
thread_local std::vector<DispatchQueue*> tlsQueueStack;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(DispatchQueue* queue) { tlsQueueStack.push_back(queue); }
  ~CurrentQueueScope() { tlsQueueStack.pop_back(); }
};

double realSecondsUntil(dispatch_time_t deadline) { return deadline - PlatformClock::now(); }

// Waits on `cv` for `ready` until the platform-clock deadline, measured as
// real time from now. Answers whether `ready` held.
bool waitUntilDeadline(MutexLock& lock, std::condition_variable& cv, dispatch_time_t deadline,
                       const std::function<bool()>& ready) {
  if (ready()) return true;
  DispatchBlockingScope blocking;
  if (deadline == DISPATCH_TIME_FOREVER) {
    lock.wait(cv, ready);
    return true;
  }
  double seconds = realSecondsUntil(deadline);
  if (seconds <= 0) return ready();
  return lock.waitFor(cv, std::chrono::duration<double>(seconds), ready);
}

}  // namespace

// A queue of blocks. Serial queues run one block at a time, concurrent queues
// any number (the pool bounds the threads); barrier blocks run alone. The main
// queue hands its blocks to the main run loop, which is serial by itself.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Kind { Main, Serial, Concurrent };

  DispatchQueue(std::string label, Kind kind) : label_(std::move(label)), kind_(kind) {}

  const std::string& label() const { return label_; }
  Kind kind() const { return kind_; }

  void async(dispatch_block_t block, bool barrier) {
    if (!block) return;
    if (kind_ == Kind::Main) {
      auto self = shared_from_this();
      NSRunLoop::mainRunLoop().perform([self, block = std::move(block)] {
        CurrentQueueScope scope(self.get());
        block();
      });
      return;
    }
    enqueue(Item{std::move(block), barrier, nullptr});
  }

  void sync(const dispatch_block_t& block, bool barrier) {
    if (!block) return;
    if (kind_ == Kind::Main) {
      syncOnMain(block);
      return;
    }
    if (kind_ == Kind::Serial && isHeldByCurrentThread()) {
      FatalStop("dispatch_sync called on queue already owned by current thread");
    }
    // The caller's own thread runs the block once the queue grants it a turn.
    // The turn lives on the caller's stack: the caller waits until it is
    // granted, and the grant is made while holding the turn's lock.
    Turn turn;
    enqueue(Item{nullptr, barrier, &turn});
    {
      MutexLock lock(turn.mutex);
      if (!turn.granted) {
        DispatchBlockingScope blocking;
        lock.wait(turn.cv, [&]() REQUIRES(turn.mutex) { return turn.granted; });
      }
    }
    {
      CurrentQueueScope scope(this);
      block();
    }
    itemDone();
  }

  void setSpecific(const void* key, void* context) {
    MutexLock lock(mutex_);
    if (context) {
      specific_[key] = context;
    } else {
      specific_.erase(key);
    }
  }

  void* specific(const void* key) {
    MutexLock lock(mutex_);
    auto it = specific_.find(key);
    return it == specific_.end() ? nullptr : it->second;
  }

  // A concurrent queue's block, on a worker of the pool.
  void runOne(const dispatch_block_t& block) {
    {
      CurrentQueueScope scope(this);
      block();
    }
    itemDone();
  }

  // A serial queue's turn on a worker: its blocks in order, one at a time,
  // until it runs dry, reaches a sync caller's turn (which it hands the queue
  // to) or has run a burst's worth (then it queues its next turn behind the
  // pool's other work).
  void drain(std::shared_ptr<DispatchQueue>& self) {
    MutexLock lock(mutex_);
    for (int ran = 0;; ++ran) {
      if (items_.empty()) {
        running_ = 0;
        return;
      }
      Item& next = items_.front();
      if (next.turn) {
        Turn* turn = next.turn;
        items_.pop_front();
        lock.unlock();
        grant(turn);
        return;
      }
      if (ran == kSerialBurst) {
        lock.unlock();
        WorkerPool::shared().submit(PoolTask{std::move(self), nullptr});
        return;
      }
      dispatch_block_t block = std::move(next.block);
      items_.pop_front();
      lock.unlock();
      {
        CurrentQueueScope scope(this);
        block();
      }
      // What a block held is let go before the next one starts.
      block = nullptr;
      lock.lock();
    }
  }

 private:
  struct Turn {
    Mutex mutex;
    std::condition_variable cv;
    bool granted GUARDED_BY(mutex) = false;
  };
  struct Item {
    dispatch_block_t block;
    bool barrier;
    Turn* turn;  // set for a sync caller waiting for its turn
  };

  bool isHeldByCurrentThread() const {
    return std::find(tlsQueueStack.begin(), tlsQueueStack.end(), this) != tlsQueueStack.end();
  }

  void syncOnMain(const dispatch_block_t& block) {
    if (isMainThread()) {
      CurrentQueueScope scope(this);
      block();
      return;
    }
    auto done = std::make_shared<Turn>();
    // The caller waits below until the block has run, so it may be borrowed.
    async(
        [&block, done] {
          block();
          {
            MutexLock lock(done->mutex);
            done->granted = true;
          }
          done->cv.notify_all();
        },
        false);
    DispatchBlockingScope blocking;
    MutexLock lock(done->mutex);
    lock.wait(done->cv, [&]() REQUIRES(done->mutex) { return done->granted; });
  }

  static void grant(Turn* turn) {
    MutexLock lock(turn->mutex);
    turn->granted = true;
    turn->cv.notify_all();
  }

  void enqueue(Item item) {
    MutexLock lock(mutex_);
    if (kind_ == Kind::Serial) {
      const bool start = running_ == 0;
      if (start && item.turn) {
        running_ = 1;
        lock.unlock();
        grant(item.turn);
        return;
      }
      items_.push_back(std::move(item));
      if (!start) return;
      running_ = 1;
      lock.unlock();
      WorkerPool::shared().submit(PoolTask{shared_from_this(), nullptr});
      return;
    }
    // Straight through when nothing waits ahead of it.
    if (items_.empty() && mayStartLocked(item)) {
      startLocked(item);
      lock.unlock();
      launch(item);
      return;
    }
    items_.push_back(std::move(item));
    std::vector<Item> ready;
    takeRunnableLocked(ready);
    lock.unlock();
    for (Item& next : ready) launch(next);
  }

  void itemDone() {
    MutexLock lock(mutex_);
    if (kind_ == Kind::Serial) {
      // A sync caller is done with the queue: the next in line gets it.
      if (items_.empty()) {
        running_ = 0;
        return;
      }
      if (Turn* turn = items_.front().turn) {
        items_.pop_front();
        lock.unlock();
        grant(turn);
        return;
      }
      lock.unlock();
      WorkerPool::shared().submit(PoolTask{shared_from_this(), nullptr});
      return;
    }
    --running_;
    barrierRunning_ = false;
    if (items_.empty()) return;
    std::vector<Item> ready;
    takeRunnableLocked(ready);
    lock.unlock();
    for (Item& next : ready) launch(next);
  }

  // Concurrent queues: moves the items that may start now out of the FIFO, in order.
  void takeRunnableLocked(std::vector<Item>& ready) REQUIRES(mutex_) {
    while (!items_.empty() && mayStartLocked(items_.front())) {
      startLocked(items_.front());
      ready.push_back(std::move(items_.front()));
      items_.pop_front();
    }
  }

  // Concurrent queues: nothing starts beside a barrier, and a barrier starts alone.
  bool mayStartLocked(const Item& item) const REQUIRES(mutex_) {
    return !barrierRunning_ && !(item.barrier && running_ > 0);
  }
  void startLocked(const Item& item) REQUIRES(mutex_) {
    ++running_;
    barrierRunning_ = item.barrier;
  }

  void launch(Item& item) {
    if (item.turn) {
      grant(item.turn);
      return;
    }
    WorkerPool::shared().submit(PoolTask{shared_from_this(), std::move(item.block)});
  }

  const std::string label_;
  const Kind kind_;
  Mutex mutex_;  // guards items_, running_, barrierRunning_ and specific_
  std::deque<Item> items_ GUARDED_BY(mutex_);
  int running_ GUARDED_BY(mutex_) = 0;
  bool barrierRunning_ GUARDED_BY(mutex_) = false;
  std::map<const void*, void*> specific_ GUARDED_BY(mutex_);
};

namespace {

void runPoolTask(PoolTask& task) {
  if (task.block) {
    task.queue->runOne(task.block);
  } else {
    task.queue->drain(task.queue);
  }
}

}  // namespace

class DispatchGroup {
 public:
  void enter() {
    MutexLock lock(mutex_);
    ++count_;
  }

  void leave() {
    std::vector<std::pair<dispatch_queue_t, dispatch_block_t>> notify;
    {
      MutexLock lock(mutex_);
      if (count_ == 0) FatalStop("Unbalanced call to dispatch_group_leave()");
      if (--count_ > 0) return;
      notify.swap(notify_);
    }
    cv_.notify_all();
    for (auto& [queue, block] : notify) dispatch_async(queue, std::move(block));
  }

  void notify(const dispatch_queue_t& queue, dispatch_block_t block) {
    {
      MutexLock lock(mutex_);
      if (count_ > 0) {
        notify_.emplace_back(queue, std::move(block));
        return;
      }
    }
    dispatch_async(queue, std::move(block));
  }

  long wait(dispatch_time_t timeout) {
    MutexLock lock(mutex_);
    return waitUntilDeadline(lock, cv_, timeout, [this]() REQUIRES(mutex_) { return count_ == 0; })
               ? 0
               : 1;
  }

 private:
  Mutex mutex_;  // guards count_ and notify_ (with cv_)
  std::condition_variable cv_;
  long count_ GUARDED_BY(mutex_) = 0;
  std::vector<std::pair<dispatch_queue_t, dispatch_block_t>> notify_ GUARDED_BY(mutex_);
};

class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value) : value_(value) {}

  long signal() {
    bool woke;
    {
      MutexLock lock(mutex_);
      ++value_;
      woke = waiters_ > 0;
    }
    cv_.notify_one();
    return woke ? 1 : 0;
  }

  long wait(dispatch_time_t timeout) {
    MutexLock lock(mutex_);
    ++waiters_;
    bool got =
        waitUntilDeadline(lock, cv_, timeout, [this]() REQUIRES(mutex_) { return value_ > 0; });
    --waiters_;
    if (!got) return 1;
    --value_;
    return 0;
  }

 private:
  Mutex mutex_;  // guards value_ and waiters_ (with cv_)
  std::condition_variable cv_;
  long value_ GUARDED_BY(mutex_);
  int waiters_ GUARDED_BY(mutex_) = 0;
};

DispatchBlockingScope::DispatchBlockingScope() : active_(tlsIsPoolWorker) {
  if (active_) WorkerPool::shared().beginBlocking();
}

DispatchBlockingScope::~DispatchBlockingScope() {
  if (active_) WorkerPool::shared().endBlocking();
}

int DispatchWorkerTarget() { return WorkerPool::shared().target(); }
int DispatchWorkerLimit() { return WorkerPool::shared().limit(); }
bool DispatchWorkersIdle() { return WorkerPool::shared().idle(); }

dispatch_time_t dispatch_time_after(double seconds) { return PlatformClock::now() + seconds; }

dispatch_queue_t dispatch_get_main_queue() {
  static auto* queue = new dispatch_queue_t(
      std::make_shared<DispatchQueue>("com.apple.main-thread", DispatchQueue::Kind::Main));
  return *queue;
}

dispatch_queue_t dispatch_get_global_queue(DispatchQoS qos) {
  static const char* const kLabels[] = {
      "com.apple.root.user-interactive-qos", "com.apple.root.user-initiated-qos",
      "com.apple.root.default-qos", "com.apple.root.utility-qos", "com.apple.root.background-qos"};
  static auto* queues = [] {
    auto* all = new std::vector<dispatch_queue_t>();
    for (const char* label : kLabels) {
      all->push_back(std::make_shared<DispatchQueue>(label, DispatchQueue::Kind::Concurrent));
    }
    return all;
  }();
  return (*queues)[static_cast<size_t>(qos)];
}

dispatch_queue_t dispatch_get_global_queue(long priority, unsigned long) {
  if (priority >= DISPATCH_QUEUE_PRIORITY_HIGH)
    return dispatch_get_global_queue(DispatchQoS::UserInitiated);
  if (priority == DISPATCH_QUEUE_PRIORITY_BACKGROUND) {
    return dispatch_get_global_queue(DispatchQoS::Background);
  }
  if (priority <= DISPATCH_QUEUE_PRIORITY_LOW)
    return dispatch_get_global_queue(DispatchQoS::Utility);
  return dispatch_get_global_queue(DispatchQoS::Default);
}

dispatch_queue_t dispatch_queue_create(const std::string& label, DispatchQueueAttr attr) {
  return std::make_shared<DispatchQueue>(label, attr == DispatchQueueAttr::Concurrent
                                                    ? DispatchQueue::Kind::Concurrent
                                                    : DispatchQueue::Kind::Serial);
}

const std::string& dispatch_queue_get_label(const dispatch_queue_t& queue) {
  static const std::string kNone;
  return queue ? queue->label() : kNone;
}

void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block) {
  NSParameterAssert(queue);
  queue->async(std::move(block), false);
}

void dispatch_sync(const dispatch_queue_t& queue, dispatch_block_t block) {
  NSParameterAssert(queue);
  queue->sync(block, false);
}

void dispatch_barrier_async(const dispatch_queue_t& queue, dispatch_block_t block) {
  NSParameterAssert(queue);
  queue->async(std::move(block), true);
}

void dispatch_after(dispatch_time_t when, const dispatch_queue_t& queue, dispatch_block_t block) {
  NSParameterAssert(queue);
  if (!block || when == DISPATCH_TIME_FOREVER) return;
  if (when <= PlatformClock::now()) {
    queue->async(std::move(block), false);
    return;
  }
  PlatformClock::scheduleAt(
      when, [queue, block = std::move(block)]() mutable { queue->async(std::move(block), false); });
}

void dispatch_once(dispatch_once_t* predicate, dispatch_block_t block) {
  NSParameterAssert(predicate);
  std::call_once(*predicate, [&] {
    if (block) block();
  });
}

dispatch_group_t dispatch_group_create() { return std::make_shared<DispatchGroup>(); }

void dispatch_group_enter(const dispatch_group_t& group) {
  NSParameterAssert(group);
  group->enter();
}

void dispatch_group_leave(const dispatch_group_t& group) {
  NSParameterAssert(group);
  group->leave();
}

void dispatch_group_async(const dispatch_group_t& group, const dispatch_queue_t& queue,
                          dispatch_block_t block) {
  NSParameterAssert(group);
  NSParameterAssert(queue);
  group->enter();
  queue->async(
      [group, block = std::move(block)] {
        if (block) block();
        group->leave();
      },
      false);
}

void dispatch_group_notify(const dispatch_group_t& group, const dispatch_queue_t& queue,
                           dispatch_block_t block) {
  NSParameterAssert(group);
  NSParameterAssert(queue);
  if (block) group->notify(queue, std::move(block));
}

long dispatch_group_wait(const dispatch_group_t& group, dispatch_time_t timeout) {
  NSParameterAssert(group);
  return group->wait(timeout);
}

dispatch_semaphore_t dispatch_semaphore_create(long value) {
  if (value < 0) return nullptr;
  return std::make_shared<DispatchSemaphore>(value);
}

long dispatch_semaphore_signal(const dispatch_semaphore_t& sema) {
  NSParameterAssert(sema);
  return sema->signal();
}

long dispatch_semaphore_wait(const dispatch_semaphore_t& sema, dispatch_time_t timeout) {
  NSParameterAssert(sema);
  return sema->wait(timeout);
}

void dispatch_main_now_or_async(dispatch_block_t block) {
  if (!block) return;
  if (isMainThread()) {
    block();
    return;
  }
  dispatch_async(dispatch_get_main_queue(), std::move(block));
}

void dispatch_queue_set_specific(const dispatch_queue_t& queue, const void* key, void* context) {
  NSParameterAssert(queue);
  queue->setSpecific(key, context);
}

void* dispatch_queue_get_specific(const dispatch_queue_t& queue, const void* key) {
  return queue ? queue->specific(key) : nullptr;
}

void* dispatch_get_specific(const void* key) {
  dispatch_queue_t current = dispatch_current_queue();
  return current ? current->specific(key) : nullptr;
}

dispatch_queue_t dispatch_current_queue() {
  if (!tlsQueueStack.empty()) return tlsQueueStack.back()->shared_from_this();
  if (isMainThread()) return dispatch_get_main_queue();
  return nullptr;
}
