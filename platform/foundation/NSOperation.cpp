#include "NSOperation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Dispatch.h"
#include "Fatal.h"
#include "NSRunLoop.h"
#include "Value.h"
#include "platform/foundation/Mutex.h"

namespace {

// Width of a queue left at the default: enough for operations that wait on
// the network or on each other; the worker pool bounds the threads anyway.
constexpr int64_t kDefaultWidth = 64;
// Slice in which a wait on the main thread serves the main run loop.
constexpr double kMainThreadWaitSlice = 0.01;

// The keys an operation announces, made once: an announcement then builds
// no string, and the queue's own keys are told apart by address first.
struct OperationKeys {
  const std::string isExecuting{"isExecuting"};
  const std::string isFinished{"isFinished"};
  const std::string isCancelled{"isCancelled"};
  const std::string isReady{"isReady"};
  const std::string queuePriority{"queuePriority"};
};
const OperationKeys& keys() {
  static const OperationKeys* const made = new OperationKeys();
  return *made;
}

thread_local NSOperationQueue* tlsCurrentOperationQueue = nullptr;

// Starts put off until the finish that allowed them has been told to all
// (see NSOperationQueue::startsWhereOthersFinish()). The outermost finish on
// the thread runs them in turn, so an operation that finishes as soon as it
// starts (a cancelled one) lets the next start after it, not inside it.
struct DeferredStart {
  std::shared_ptr<NSOperationQueue> queue;
  NSOperationPtr operation;
};
struct DeferredStarts {
  int finishing = 0;  // nested setFinished calls on this thread
  std::vector<DeferredStart> starts;
};
thread_local DeferredStarts tlsDeferredStarts;

void startOnQueue(NSOperationQueue* queue, NSOperation& operation);

class FinishingScope {
 public:
  FinishingScope() { ++tlsDeferredStarts.finishing; }
  ~FinishingScope() {
    DeferredStarts& deferred = tlsDeferredStarts;
    if (deferred.finishing == 1) {
      // Still counted as finishing while they run: what they finish in turn
      // is appended here rather than run inside them.
      for (size_t i = 0; i < deferred.starts.size(); ++i) {
        DeferredStart start = std::move(deferred.starts[i]);
        startOnQueue(start.queue.get(), *start.operation);
      }
      deferred.starts.clear();
    }
    --deferred.finishing;
  }
  FinishingScope(const FinishingScope&) = delete;
  FinishingScope& operator=(const FinishingScope&) = delete;
};

class CurrentOperationQueueScope {
 public:
  explicit CurrentOperationQueueScope(NSOperationQueue* queue)
      : previous_(tlsCurrentOperationQueue) {
    tlsCurrentOperationQueue = queue;
  }
  ~CurrentOperationQueueScope() { tlsCurrentOperationQueue = previous_; }

 private:
  NSOperationQueue* previous_;
};

void startOnQueue(NSOperationQueue* queue, NSOperation& operation) {
  CurrentOperationQueueScope scope(queue);
  operation.start();
}

DispatchQoS dispatchQoS(NSQualityOfService qos) {
  switch (qos) {
    case NSQualityOfService::UserInteractive:
      return DispatchQoS::UserInteractive;
    case NSQualityOfService::UserInitiated:
      return DispatchQoS::UserInitiated;
    case NSQualityOfService::Utility:
      return DispatchQoS::Utility;
    case NSQualityOfService::Background:
      return DispatchQoS::Background;
    case NSQualityOfService::Default:
      break;
  }
  return DispatchQoS::Default;
}

// Waits until `done` holds or the real-time timeout passes. On the main thread
// the main run loop keeps running in short slices, so work that the awaited
// operations post to the main queue is not starved.
bool waitOrServeMainLoop(MutexLock& lock, std::condition_variable& cv,
                         double timeoutSeconds, const std::function<bool()>& done) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
  if (!isMainThread()) {
    DispatchBlockingScope blocking;
    return lock.waitUntil(cv, deadline, done);
  }
  while (!done()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    double left = std::chrono::duration<double>(deadline - now).count();
    lock.runUnlocked(
        [&] { NSRunLoop::mainRunLoop().runOnce(std::min(left, kMainThreadWaitSlice)); });
  }
  return true;
}

}  // namespace

// MARK: NSOperation

void NSOperation::start() {
  if (started_.exchange(true)) return;
  if (isCancelled()) {
    setFinished(true);
    return;
  }
  setExecuting(true);
  main();
  setExecuting(false);
  setFinished(true);
}

void NSOperation::cancel() {
  if (cancelled_) return;
  announceFlag(keys().isCancelled, cancelled_, true);
  // A cancelled operation is ready whatever its dependencies say.
  changeValueForKey(keys().isReady, {});
}

bool NSOperation::isReady() const {
  if (isCancelled()) return true;
  // Dependencies are asked outside the lock: their answers may be virtual.
  for (;;) {
    std::shared_ptr<NSOperation> next;
    {
      MutexLock lock(mutex_);
      if (readyScan_ >= dependencies_.size()) return true;
      next = dependencies_[readyScan_];
    }
    if (!next->isFinished() && !next->isCancelled()) return false;
    MutexLock lock(mutex_);
    if (readyScan_ < dependencies_.size() && dependencies_[readyScan_] == next) ++readyScan_;
  }
}

void NSOperation::addDependency(const std::shared_ptr<NSOperation>& operation) {
  if (!operation || operation.get() == this) return;
  const bool wasReady = isReady();
  {
    MutexLock lock(mutex_);
    if (!dependencySet_.insert(operation.get()).second) return;
    dependencies_.push_back(operation);
  }
  auto me = std::dynamic_pointer_cast<NSOperation>(weak_from_this().lock());
  if (me) operation->addDependent(me);
  // Only an operation that was ready can change its readiness by waiting for
  // one more; telling the others would cost every waiting operation a look
  // at all its dependencies each time one is added.
  if (wasReady) changeValueForKey(keys().isReady, {});
}

void NSOperation::removeDependency(const std::shared_ptr<NSOperation>& operation) {
  {
    MutexLock lock(mutex_);
    auto it = std::find(dependencies_.begin(), dependencies_.end(), operation);
    if (it == dependencies_.end()) return;
    if (static_cast<size_t>(it - dependencies_.begin()) < readyScan_) --readyScan_;
    dependencies_.erase(it);
    dependencySet_.erase(operation.get());
  }
  changeValueForKey(keys().isReady, {});
}

std::vector<std::shared_ptr<NSOperation>> NSOperation::dependencies() const {
  MutexLock lock(mutex_);
  return dependencies_;
}

void NSOperation::addDependent(const std::shared_ptr<NSOperation>& dependent) {
  MutexLock lock(mutex_);
  if (dependents_.size() >= 2 * dependentsSwept_ + 8) {
    std::erase_if(dependents_, [](const std::weak_ptr<NSOperation>& w) { return w.expired(); });
    dependentsSwept_ = dependents_.size();
  }
  dependents_.push_back(dependent);
}

void NSOperation::notifyDependents() {
  std::vector<std::weak_ptr<NSOperation>> dependents;
  {
    MutexLock lock(mutex_);
    dependents = dependents_;
  }
  // A dependency that ends can only make a dependent ready: those still
  // waiting for another one are left alone (a dependency shared by a
  // thousand waiting operations would otherwise cost each a notification).
  for (auto& weak : dependents) {
    auto dependent = weak.lock();
    if (dependent && dependent->isReady()) dependent->changeValueForKey(keys().isReady, {});
  }
}

void NSOperation::setQueuePriority(int64_t priority) {
  int64_t named = NSOperationQueuePriorityVeryLow;
  if (priority >= 6) {
    named = NSOperationQueuePriorityVeryHigh;
  } else if (priority >= 2) {
    named = NSOperationQueuePriorityHigh;
  } else if (priority > -2) {
    named = NSOperationQueuePriorityNormal;
  } else if (priority > -6) {
    named = NSOperationQueuePriorityLow;
  }
  if (queuePriority_.exchange(named) == named) return;
  changeValueForKey(keys().queuePriority, {});
}

std::string NSOperation::name() const {
  MutexLock lock(mutex_);
  return name_;
}

void NSOperation::setName(std::string name) {
  MutexLock lock(mutex_);
  name_ = std::move(name);
}

std::function<void()> NSOperation::completionBlock() const {
  MutexLock lock(mutex_);
  return completionBlock_;
}

void NSOperation::setCompletionBlock(std::function<void()> block) {
  MutexLock lock(mutex_);
  completionBlock_ = std::move(block);
}

bool NSOperation::waitUntilFinished(double timeoutSeconds) {
  MutexLock lock(mutex_);
  return waitOrServeMainLoop(lock, finishedCv_, timeoutSeconds, [this] { return isFinished(); });
}

Value NSOperation::valueForKey(const std::string& key) const {
  if (key == keys().isExecuting) return Value(isExecuting());
  if (key == keys().isFinished) return Value(isFinished());
  if (key == keys().isCancelled) return Value(isCancelled());
  if (key == keys().isReady) return Value(isReady());
  if (key == "isAsynchronous") return Value(isAsynchronous());
  if (key == keys().queuePriority) return Value(queuePriority());
  if (key == "name") return Value(name());
  return NSKeyValueObservable::valueForKey(key);
}

void NSOperation::setExecuting(bool executing) {
  if (executing_ == executing) return;
  announceFlag(keys().isExecuting, executing_, executing);
}

void NSOperation::setFinished(bool finished) {
  if (finished_ == finished) return;
  FinishingScope finishing;
  announceFlag(keys().isFinished, finished_, finished);
}

void NSOperation::announceFlag(const std::string& key, std::atomic<bool>& flag, bool value) {
  willChangeValueForKey(key);
  flag = value;
  didChangeValueForKey(key);
}

void NSOperation::didNotifyChangeForKey(const std::string& key) {
  if (key == keys().isFinished && isFinished()) {
    // Passing through the lock orders this wake-up after a waiter's check.
    { MutexLock lock(mutex_); }
    finishedCv_.notify_all();
    notifyDependents();
    runCompletionBlockOnce();
  } else if (key == keys().isCancelled && isCancelled()) {
    notifyDependents();
  }
}

uint64_t NSOperation::builtInObserverRank(const std::string& key) const {
  if (!queueLinked_.load(std::memory_order_acquire)) return 0;
  const OperationKeys& k = keys();
  // This class announces with the keys' own strings; a subclass may not.
  const bool queueKey =
      &key == &k.isFinished || &key == &k.isReady || &key == &k.isCancelled ||
      &key == &k.queuePriority ||
      (&key != &k.isExecuting &&
       (key == k.isFinished || key == k.isReady || key == k.isCancelled || key == k.queuePriority));
  if (!queueKey) return 0;
  return queueRank_;
}

void NSOperation::notifyBuiltInObserver(const std::string& key) {
  if (!queueLinked_.load(std::memory_order_acquire)) return;
  // The queue stays alive while it reacts, even if this was its last operation.
  if (auto queue = queue_.lock()) queue->operationChanged(this, key);
}

void NSOperation::runCompletionBlockOnce() {
  std::function<void()> block;
  {
    MutexLock lock(mutex_);
    // Dropped once run, which also breaks cycles through the block's captures.
    block.swap(completionBlock_);
  }
  if (block) block();
}

// MARK: NSBlockOperation

std::shared_ptr<NSBlockOperation> NSBlockOperation::blockOperationWithBlock(
    UniqueFunction<void()> block) {
  auto operation = std::make_shared<NSBlockOperation>();
  operation->addExecutionBlock(std::move(block));
  return operation;
}

void NSBlockOperation::addExecutionBlock(UniqueFunction<void()> block) {
  if (!block) return;
  auto shared = std::make_shared<UniqueFunction<void()>>(std::move(block));
  MutexLock lock(blocksMutex_);
  blocks_.push_back(std::move(shared));
}

std::vector<NSBlockOperation::Block> NSBlockOperation::executionBlocks() const {
  MutexLock lock(blocksMutex_);
  return blocks_;
}

void NSBlockOperation::main() {
  for (auto& block : executionBlocks()) (*block)();
}

// MARK: NSOperationQueue

NSOperationQueue::NSOperationQueue() : NSOperationQueue(false) {}

NSOperationQueue::NSOperationQueue(bool isMain) : isMain_(isMain) {
  if (isMain_) {
    maxConcurrent_ = 1;
    name_ = "NSOperationQueue Main Queue";
  } else {
    char buf[64];
    std::snprintf(buf, sizeof buf, "NSOperationQueue %p", static_cast<void*>(this));
    name_ = buf;
  }
}

// A queue holding operations keeps itself alive, so none is linked to it here.
NSOperationQueue::~NSOperationQueue() = default;

std::shared_ptr<NSOperationQueue> NSOperationQueue::mainQueue() {
  static auto* queue = new std::shared_ptr<NSOperationQueue>(new NSOperationQueue(true));
  return *queue;
}

std::shared_ptr<NSOperationQueue> NSOperationQueue::currentQueue() {
  if (tlsCurrentOperationQueue) return tlsCurrentOperationQueue->self();
  if (isMainThread()) return mainQueue();
  return nullptr;
}

std::shared_ptr<NSOperationQueue> NSOperationQueue::self() {
  auto me = std::static_pointer_cast<NSOperationQueue>(weak_from_this().lock());
  if (!me) FatalStop("NSOperationQueue must be owned by a std::shared_ptr");
  return me;
}

void NSOperationQueue::addOperation(const NSOperationPtr& operation) {
  NSParameterAssert(operation);
  if (operation->enqueued_.exchange(true)) {
    FatalStop("*** -[NSOperationQueue addOperation:]: operation is already enqueued on a queue");
  }
  if (operation->isFinished()) {
    FatalStop(
        "*** -[NSOperationQueue addOperation:]: operation is finished and cannot be enqueued");
  }
  auto me = self();
  // Linked before it is filed: a change from here on reaches the queue, and
  // the readiness asked below follows any change made before.
  operation->queue_ = me;
  operation->queueRank_ = operation->registrationRank();
  operation->queueLinked_.store(true, std::memory_order_release);
  {
    MutexLock lock(mutex_);
    NSOperation::QueueSlot& slot = operation->queueSlot_;
    slot.order = nextOrder_++;
    slot.held = true;
    NSOperation* const added = operation.get();
    slot.holder = operation;
    slot.previous = last_;
    (last_ ? last_->queueSlot_.next : first_) = added;
    last_ = added;
    ++count_;
    slot.cancelled = operation->isCancelled();
    if (!slot.cancelled) {
      slot.previousUncancelled = lastUncancelled_;
      (lastUncancelled_ ? lastUncancelled_->queueSlot_.nextUncancelled : firstUncancelled_) = added;
      lastUncancelled_ = added;
    }
    // A cancelled operation would hold nothing back, as a cancelled
    // dependency does not.
    if (holdsWaitingBehindNewest_ && !slot.cancelled) {
      slot.holdsOlderBack = true;
      holders_.insert(slot.order);
    }
    keepAlive_ = std::move(me);
  }
  refileReadiness(operation.get());
}

void NSOperationQueue::addOperationWithBlock(UniqueFunction<void()> block) {
  addOperation(NSBlockOperation::blockOperationWithBlock(std::move(block)));
}

std::vector<NSOperationPtr> NSOperationQueue::operations() const {
  MutexLock lock(mutex_);
  std::vector<NSOperationPtr> out;
  out.reserve(static_cast<size_t>(count_));
  for (NSOperation* held = first_; held; held = held->queueSlot_.next) {
    out.push_back(held->queueSlot_.holder);
  }
  return out;
}

int64_t NSOperationQueue::operationCount() const {
  MutexLock lock(mutex_);
  return count_;
}

int64_t NSOperationQueue::maxConcurrentOperationCount() const {
  MutexLock lock(mutex_);
  return maxConcurrent_;
}

void NSOperationQueue::setMaxConcurrentOperationCount(int64_t count) {
  {
    MutexLock lock(mutex_);
    if (isMain_) return;  // the main queue stays one at a time
    maxConcurrent_ = count < 0 ? NSOperationQueueDefaultMaxConcurrentOperationCount : count;
  }
  schedule();
}

bool NSOperationQueue::isSuspended() const {
  MutexLock lock(mutex_);
  return suspended_;
}

void NSOperationQueue::setSuspended(bool suspended) {
  {
    MutexLock lock(mutex_);
    suspended_ = suspended;
  }
  if (!suspended) schedule();
}

std::string NSOperationQueue::name() const {
  MutexLock lock(mutex_);
  return name_;
}

void NSOperationQueue::setName(std::string name) {
  MutexLock lock(mutex_);
  name_ = std::move(name);
}

NSQualityOfService NSOperationQueue::qualityOfService() const {
  MutexLock lock(mutex_);
  return qualityOfService_;
}

void NSOperationQueue::setQualityOfService(NSQualityOfService qos) {
  MutexLock lock(mutex_);
  qualityOfService_ = qos;
}

bool NSOperationQueue::holdsWaitingBehindNewest() const {
  MutexLock lock(mutex_);
  return holdsWaitingBehindNewest_;
}

void NSOperationQueue::setHoldsWaitingBehindNewest(bool holds) {
  MutexLock lock(mutex_);
  holdsWaitingBehindNewest_ = holds;
}

bool NSOperationQueue::startsWhereOthersFinish() const {
  return startsWhereOthersFinish_.load(std::memory_order_relaxed);
}

void NSOperationQueue::setStartsWhereOthersFinish(bool starts) {
  startsWhereOthersFinish_.store(starts, std::memory_order_relaxed);
}

void NSOperationQueue::cancelAllOperations() {
  std::vector<NSOperationPtr> uncancelled;
  {
    MutexLock lock(mutex_);
    for (NSOperation* held = firstUncancelled_; held; held = held->queueSlot_.nextUncancelled) {
      uncancelled.push_back(held->queueSlot_.holder);
    }
  }
  for (auto& operation : uncancelled) operation->cancel();
}

bool NSOperationQueue::waitUntilAllOperationsAreFinished(double timeoutSeconds) {
  MutexLock lock(mutex_);
  return waitOrServeMainLoop(lock, emptyCv_, timeoutSeconds,
                             [this]() REQUIRES(mutex_) { return count_ == 0; });
}

Value NSOperationQueue::valueForKey(const std::string& key) const {
  if (key == "operationCount") return Value(operationCount());
  if (key == "maxConcurrentOperationCount") return Value(maxConcurrentOperationCount());
  if (key == "suspended") return Value(isSuspended());
  if (key == "name") return Value(name());
  return NSKeyValueObservable::valueForKey(key);
}

int64_t NSOperationQueue::effectiveWidthLocked() const {
  return maxConcurrent_ < 0 ? kDefaultWidth : maxConcurrent_;
}

void NSOperationQueue::takeLaunchesLocked(Launches& launches) {
  launches.qualityOfService = qualityOfService_;
  while (launches.count < Launches::kCapacity && !suspended_ && !ready_.empty() &&
         runningCount_ < effectiveWidthLocked()) {
    auto best = ready_.begin();
    NSOperation* const operation = best->operation;
    NSOperation::QueueSlot& slot = operation->queueSlot_;
    ready_.erase(best);
    slot.ready = false;
    // A newer holder arriving leaves the ready ones filed; they are parked
    // here, when first passed over, so that an add costs the same however
    // many wait.
    if (heldBackLocked(slot)) {
      slot.parked = true;
      parked_.emplace(slot.order, operation);
      continue;
    }
    slot.running = true;
    ++runningCount_;
    launches.operations[launches.count++] = slot.holder;
  }
}

void NSOperationQueue::launch(Launches& launches, bool afterFinish) {
  if (launches.count == 0) return;
  auto queue = self();
  // Only a finish inside setFinished, on a queue's worker: a thread of the
  // caller's own (or the main one) is not borrowed for another's start.
  const bool startHere = afterFinish && !isMain_ && tlsDeferredStarts.finishing > 0 &&
                         startsWhereOthersFinish_.load(std::memory_order_relaxed) &&
                         !isMainThread() && dispatch_current_queue() != nullptr;
  for (;;) {
    for (int i = 0; i < launches.count; ++i) {
      NSOperationPtr operation = std::move(launches.operations[i]);
      NSQualityOfService qos = operation->qualityOfService();
      if (qos == NSQualityOfService::Default) qos = launches.qualityOfService;
      if (startHere && operation->isAsynchronous()) {
        tlsDeferredStarts.starts.push_back({queue, std::move(operation)});
        continue;
      }
      auto run = [queue, operation = std::move(operation)] {
        startOnQueue(queue.get(), *operation);
      };
      if (isMain_) {
        dispatch_async(dispatch_get_main_queue(), std::move(run));
      } else {
        dispatch_async(dispatch_get_global_queue(dispatchQoS(qos)), std::move(run));
      }
    }
    // A full batch may have left more that can start.
    if (launches.count < Launches::kCapacity) return;
    launches.count = 0;
    MutexLock lock(mutex_);
    takeLaunchesLocked(launches);
  }
}

void NSOperationQueue::schedule() {
  Launches launches;
  {
    MutexLock lock(mutex_);
    takeLaunchesLocked(launches);
  }
  launch(launches);
}

// Readiness is asked outside the queue's lock: an operation's own state
// accessors may take locks that it also holds while announcing a change.
// Announcements may race; only the answer to the latest question is filed,
// and each question is asked after the change it follows, so the filing ends
// up matching the operation's state.
void NSOperationQueue::refileReadiness(NSOperation* operation) {
  uint64_t asked = 0;
  {
    MutexLock lock(mutex_);
    NSOperation::QueueSlot& slot = operation->queueSlot_;
    if (!slot.held || slot.running) return;
    asked = ++slot.readinessAsked;
  }
  const bool ready = !operation->isFinished() && operation->isReady();
  const int64_t priority = operation->queuePriority();
  Launches launches;
  {
    MutexLock lock(mutex_);
    fileReadinessLocked(operation, asked, ready, priority);
    takeLaunchesLocked(launches);
  }
  launch(launches);
}

void NSOperationQueue::fileReadinessLocked(NSOperation* operation, uint64_t asked, bool ready,
                                           int64_t priority) {
  NSOperation::QueueSlot& slot = operation->queueSlot_;
  if (!slot.held || slot.running || slot.readinessAsked != asked) return;
  if (slot.ready) ready_.erase({-slot.priority, slot.order, operation});
  if (slot.parked) parked_.erase(slot.order);
  // Filed as ready even when held back: the next look at the ready ones
  // parks it.
  slot.parked = false;
  slot.ready = ready;
  slot.priority = priority;
  if (ready) ready_.insert({-priority, slot.order, operation});
}

bool NSOperationQueue::heldBackLocked(const NSOperation::QueueSlot& slot) const {
  return !slot.cancelled && !holders_.empty() && slot.order < *holders_.rbegin();
}

void NSOperationQueue::releaseHolderLocked(uint64_t order) {
  const uint64_t newest = *holders_.rbegin();
  holders_.erase(order);
  if (order != newest) return;  // a newer one still holds the same ones back
  // What was parked and is no older than the next holder may start now.
  const uint64_t bound = holders_.empty() ? 0 : *holders_.rbegin();
  for (auto it = parked_.lower_bound(bound); it != parked_.end(); it = parked_.erase(it)) {
    NSOperation::QueueSlot& slot = it->second->queueSlot_;
    slot.parked = false;
    slot.ready = true;
    ready_.insert({-slot.priority, slot.order, it->second});
  }
}

// The operation is alive here: it is announcing a change.
void NSOperationQueue::operationChanged(NSOperation* operation, const std::string& key) {
  if (key == keys().isFinished && operation->isFinished()) {
    operationFinished(operation);
    return;
  }
  if (key == keys().isCancelled && operation->isCancelled()) {
    Launches launches;
    {
      MutexLock lock(mutex_);
      NSOperation::QueueSlot& slot = operation->queueSlot_;
      if (slot.held) {
        if (!slot.cancelled) unlinkUncancelledLocked(operation);
        slot.cancelled = true;
        // A cancelled holder holds nothing back any more, even running.
        if (slot.holdsOlderBack) {
          slot.holdsOlderBack = false;
          releaseHolderLocked(slot.order);
          takeLaunchesLocked(launches);
        }
      }
    }
    launch(launches);
  }
  refileReadiness(operation);
}

void NSOperationQueue::unlinkUncancelledLocked(NSOperation* operation) {
  NSOperation::QueueSlot& slot = operation->queueSlot_;
  (slot.previousUncancelled ? slot.previousUncancelled->queueSlot_.nextUncancelled
                            : firstUncancelled_) = slot.nextUncancelled;
  (slot.nextUncancelled ? slot.nextUncancelled->queueSlot_.previousUncancelled : lastUncancelled_) =
      slot.previousUncancelled;
  slot.previousUncancelled = slot.nextUncancelled = nullptr;
}

void NSOperationQueue::operationFinished(NSOperation* operation) {
  std::shared_ptr<NSOperationQueue> keepAlive;  // released last, after every member use
  NSOperationPtr held;
  bool empty = false;
  Launches launches;
  {
    MutexLock lock(mutex_);
    NSOperation::QueueSlot& slot = operation->queueSlot_;
    if (!slot.held) return;
    slot.held = false;
    if (slot.running) --runningCount_;
    if (slot.ready) ready_.erase({-slot.priority, slot.order, operation});
    if (slot.parked) parked_.erase(slot.order);
    if (slot.holdsOlderBack) releaseHolderLocked(slot.order);
    slot.running = slot.ready = slot.parked = slot.holdsOlderBack = false;
    held = std::move(slot.holder);
    (slot.previous ? slot.previous->queueSlot_.next : first_) = slot.next;
    (slot.next ? slot.next->queueSlot_.previous : last_) = slot.previous;
    slot.previous = slot.next = nullptr;
    --count_;
    if (!slot.cancelled) unlinkUncancelledLocked(operation);
    // The queue hears nothing more of it.
    operation->queueLinked_.store(false, std::memory_order_release);
    empty = count_ == 0;
    if (empty) keepAlive.swap(keepAlive_);
    takeLaunchesLocked(launches);
  }
  if (empty) emptyCv_.notify_all();
  launch(launches, /*afterFinish=*/true);
}
