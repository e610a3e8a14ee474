#pragma once

// Operations and operation queues. An operation publishes "isExecuting",
// "isFinished", "isCancelled" and "isReady" through key-value observing on the
// thread that changed them; a queue observes its operations and starts the
// ready ones, highest queue priority first, at most maxConcurrentOperationCount
// at a time. An asynchronous subclass overrides start() (and isAsynchronous())
// and marks itself finished later with setExecuting()/setFinished(), or with
// its own flags announced through will/didChangeValueForKey.
//
// Operations and queues live in std::shared_ptr. A queue keeps itself alive
// while it holds operations, so work handed to it is never dropped.
//
// A queue files its operations by readiness as their announcements arrive, so
// starting the next one, a cancel and a finish each cost a logarithmic step
// however many operations wait or were cancelled. An operation that overrides
// isReady() or its priority must announce the change ("isReady").
//
// The queue follows "isFinished", "isReady", "isCancelled" and "queuePriority"
// of its operations as a built-in observer (see KeyValueObserving.h) placed
// where registrations made when the operation was added would be, so that an
// operation nobody else observes announces its changes without any observer
// registry at all.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <set>
#include <unordered_set>
#include <vector>

#include "KeyValueObserving.h"
#include "OnceCallback.h"
#include "platform/foundation/Mutex.h"

enum NSOperationQueuePriority : int64_t {
  NSOperationQueuePriorityVeryLow = -8,
  NSOperationQueuePriorityLow = -4,
  NSOperationQueuePriorityNormal = 0,
  NSOperationQueuePriorityHigh = 4,
  NSOperationQueuePriorityVeryHigh = 8,
};

enum class NSQualityOfService : int64_t {
  UserInteractive = 0x21,
  UserInitiated = 0x19,
  Utility = 0x11,
  Background = 0x09,
  Default = -1,
};

class NSOperationQueue;

class NSOperation : public NSKeyValueObservable {
 public:
  NSOperation() = default;

  // Runs main() unless cancelled, then finishes. A second start does nothing.
  virtual void start();
  virtual void main() {}
  // Marks the operation cancelled; a cancelled operation counts as ready, so
  // its queue starts it at once and it finishes without running main().
  virtual void cancel();

  virtual bool isCancelled() const { return cancelled_; }
  virtual bool isExecuting() const { return executing_; }
  virtual bool isFinished() const { return finished_; }
  // Cancelled, or every dependency finished or was cancelled.
  virtual bool isReady() const;
  virtual bool isAsynchronous() const { return false; }
  bool isConcurrent() const { return isAsynchronous(); }

  void addDependency(const std::shared_ptr<NSOperation>& operation);
  void removeDependency(const std::shared_ptr<NSOperation>& operation);
  std::vector<std::shared_ptr<NSOperation>> dependencies() const;

  // Any value is rounded to the nearest named priority, as on the platform;
  // a change is announced under "queuePriority".
  int64_t queuePriority() const { return queuePriority_; }
  void setQueuePriority(int64_t priority);
  NSQualityOfService qualityOfService() const { return qualityOfService_; }
  void setQualityOfService(NSQualityOfService qos) { qualityOfService_ = qos; }
  std::string name() const;
  void setName(std::string name);

  // Runs once, when the operation finishes, on the thread that finished it,
  // after observers of "isFinished" have been told and after threads waiting
  // in waitUntilFinished() (or on the queue) have been woken: a waiter must
  // not expect the block to have run when its wait returns. Copyable: a property.
  std::function<void()> completionBlock() const;
  void setCompletionBlock(std::function<void()> block);

  // Waits (real time) for the operation to finish; false on timeout. On the
  // main thread the main run loop is served meanwhile.
  bool waitUntilFinished(double timeoutSeconds);

  Value valueForKey(const std::string& key) const override;

 protected:
  // Change the state with the key-value announcements the queue relies on.
  void setExecuting(bool executing);
  void setFinished(bool finished);
  void didNotifyChangeForKey(const std::string& key) override;
  uint64_t builtInObserverRank(const std::string& key) const override;
  void notifyBuiltInObserver(const std::string& key) override;

 private:
  friend class NSOperationQueue;
  // What the queue holding the operation keeps about it; guarded by that
  // queue's lock. An operation joins one queue in its life.
  struct QueueSlot {
    uint64_t order = 0;  // position in the order of adding
    bool held = false;   // still in the queue
    // The queue's hold on the operation while held: the operation itself
    // is the node of the queue's lists (all operations, in the order of
    // adding; the uncancelled ones, likewise), so joining and leaving a
    // queue allocates nothing.
    std::shared_ptr<NSOperation> holder;
    NSOperation* previous = nullptr;
    NSOperation* next = nullptr;
    NSOperation* previousUncancelled = nullptr;
    NSOperation* nextUncancelled = nullptr;
    bool running = false;
    bool ready = false;    // filed in the queue's ready set under (-priority, order)
    bool parked = false;   // ready, but held back by a newer operation (see holders_)
    bool cancelled = false;     // as the queue last heard
    bool holdsOlderBack = false;  // added while the queue ran the newest first
    int64_t priority = 0;  // the priority it is filed under
    uint64_t readinessAsked = 0;  // the latest look at its readiness
  };

  // will/didChange around setting `flag`, without wrapping the change.
  void announceFlag(const std::string& key, std::atomic<bool>& flag, bool value);
  void addDependent(const std::shared_ptr<NSOperation>& dependent);
  void notifyDependents();
  void runCompletionBlockOnce();

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> enqueued_{false};
  std::atomic<int64_t> queuePriority_{NSOperationQueuePriorityNormal};
  std::atomic<NSQualityOfService> qualityOfService_{NSQualityOfService::Default};
  mutable Mutex mutex_;
  std::condition_variable finishedCv_;
  std::string name_;
  std::function<void()> completionBlock_;  // copyable, see completionBlock()
  std::vector<std::shared_ptr<NSOperation>> dependencies_;
  // Membership of dependencies_, so that adding one costs the same however
  // many there are (a last-in-first-out queue gives every waiting operation
  // a dependency on each newer one).
  std::unordered_set<const NSOperation*> dependencySet_;
  // dependencies_[0, readyScan_) are known to be finished or cancelled, which
  // they stay: readiness is decided by looking on from there.
  mutable size_t readyScan_ = 0;
  std::vector<std::weak_ptr<NSOperation>> dependents_;
  // Size of dependents_ after its last sweep of expired entries; swept again
  // when it has doubled, so adding a dependent costs constant time on average.
  size_t dependentsSwept_ = 0;
  QueueSlot queueSlot_;
  // The queue's link: queue_ and queueRank_ are written once, before
  // queueLinked_ is first set; it is cleared when the queue lets go.
  std::weak_ptr<NSOperationQueue> queue_;
  uint64_t queueRank_ = 0;
  std::atomic<bool> queueLinked_{false};
};

using NSOperationPtr = std::shared_ptr<NSOperation>;

class NSBlockOperation : public NSOperation {
 public:
  // Blocks are move-only (they may own a once-only completion); the list of
  // blocks shares them.
  using Block = std::shared_ptr<UniqueFunction<void()>>;
  static std::shared_ptr<NSBlockOperation> blockOperationWithBlock(UniqueFunction<void()> block);
  void addExecutionBlock(UniqueFunction<void()> block);
  std::vector<Block> executionBlocks() const;
  // Runs the blocks one after the other, in the order they were added.
  void main() override;

 private:
  mutable Mutex blocksMutex_;  // guards blocks_
  std::vector<Block> blocks_ GUARDED_BY(blocksMutex_);
};

inline constexpr int64_t NSOperationQueueDefaultMaxConcurrentOperationCount = -1;

class NSOperationQueue : public NSKeyValueObservable {
 public:
  NSOperationQueue();
  ~NSOperationQueue() override;

  // Runs its operations one at a time on the main run loop.
  static std::shared_ptr<NSOperationQueue> mainQueue();
  // The queue running the current operation; the main queue on the main
  // thread outside any operation; nullptr elsewhere.
  static std::shared_ptr<NSOperationQueue> currentQueue();

  // Adding an operation twice, or a finished one, is a fatal misuse.
  void addOperation(const NSOperationPtr& operation);
  void addOperationWithBlock(UniqueFunction<void()> block);

  std::vector<NSOperationPtr> operations() const;
  int64_t operationCount() const;

  // -1 (the default) lets the system choose; 1 runs one operation at a time.
  int64_t maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(int64_t count);
  bool isSuspended() const;
  void setSuspended(bool suspended);
  std::string name() const;
  void setName(std::string name);
  NSQualityOfService qualityOfService() const;
  void setQualityOfService(NSQualityOfService qos);

  // Not a platform property: the seam a last-in-first-out user needs. While
  // set, an operation added holds back every operation the queue already
  // holds that has not started, until it finishes or is cancelled: what
  // making each of them depend on it would do (a cancelled operation is not
  // held back; running ones are unaffected), at a cost that does not grow
  // with the number waiting. Unlike a dependency it shows in neither
  // isReady() nor dependencies() of those held back. Operations added while
  // it is clear hold nothing back.
  bool holdsWaitingBehindNewest() const;
  void setHoldsWaitingBehindNewest(bool holds);

  // Not a platform property either. While set, an asynchronous operation
  // that may start because another of this queue finished, off the main
  // thread, is started on that thread once the finish has been told to
  // everyone who asked (observers, dependents, the completion block),
  // instead of being handed to a worker: an asynchronous start only sets
  // its work going, and the hand-over would cost more than the start.
  // Operations that start for any other reason still start on a worker.
  bool startsWhereOthersFinish() const;
  void setStartsWhereOthersFinish(bool starts);

  void cancelAllOperations();
  // Waits (real time) until the queue holds no operation; false on timeout.
  // On the main thread the main run loop is served meanwhile.
  bool waitUntilAllOperationsAreFinished(double timeoutSeconds);

  Value valueForKey(const std::string& key) const override;

 private:
  friend class NSOperation;  // tells the queue of its changes
  explicit NSOperationQueue(bool isMain);
  // Operations taken to start, launched once the lock is released.
  struct Launches {
    static constexpr int kCapacity = 4;
    NSOperationPtr operations[kCapacity];
    int count = 0;
    NSQualityOfService qualityOfService = NSQualityOfService::Default;
  };

  std::shared_ptr<NSOperationQueue> self();
  int64_t effectiveWidthLocked() const REQUIRES(mutex_);
  // Takes the ready operations the width allows, at most a batch.
  void takeLaunchesLocked(Launches& launches) REQUIRES(mutex_);
  // Launches what was taken, then takes and launches more while any may start.
  // `afterFinish`: an operation's finish made them startable.
  void launch(Launches& launches, bool afterFinish = false);
  void schedule();
  void refileReadiness(NSOperation* operation);
  // Files an answer to the readiness question numbered `asked`.
  void fileReadinessLocked(NSOperation* operation, uint64_t asked, bool ready, int64_t priority)
      REQUIRES(mutex_);
  // True when a newer operation holds this one back from starting.
  bool heldBackLocked(const NSOperation::QueueSlot& slot) const REQUIRES(mutex_);
  // Lets `order` go as a holder; refiles what it alone held back.
  void releaseHolderLocked(uint64_t order) REQUIRES(mutex_);
  void unlinkUncancelledLocked(NSOperation* operation) REQUIRES(mutex_);
  void operationChanged(NSOperation* operation, const std::string& key);
  void operationFinished(NSOperation* operation);

  const bool isMain_;
  mutable Mutex mutex_;
  std::condition_variable emptyCv_;
  // All guarded by mutex_.
  uint64_t nextOrder_ GUARDED_BY(mutex_) = 0;
  // The operations held, in the order of adding (linked through their slots).
  NSOperation* first_ GUARDED_BY(mutex_) = nullptr;
  NSOperation* last_ GUARDED_BY(mutex_) = nullptr;
  int64_t count_ GUARDED_BY(mutex_) = 0;
  // Ready operations not yet started: highest priority, then earliest, first.
  struct ReadyKey {
    int64_t negatedPriority;
    uint64_t order;
    NSOperation* operation;  // not part of the ordering
    bool operator<(const ReadyKey& other) const {
      return negatedPriority != other.negatedPriority ? negatedPriority < other.negatedPriority
                                                      : order < other.order;
    }
  };
  std::set<ReadyKey> ready_ GUARDED_BY(mutex_);
  // Ready operations held back by a newer holder, by order; refiled once
  // the newest holder is older than they are.
  std::map<uint64_t, NSOperation*> parked_ GUARDED_BY(mutex_);
  // Orders of the held operations, not cancelled, that hold back the older
  // ones (see holdsWaitingBehindNewest()); only the newest counts.
  std::set<uint64_t> holders_ GUARDED_BY(mutex_);
  bool holdsWaitingBehindNewest_ GUARDED_BY(mutex_) = false;
  std::atomic<bool> startsWhereOthersFinish_{false};
  // The operations not yet cancelled, in the order of adding, so that
  // cancelling all skips those a previous call already cancelled.
  NSOperation* firstUncancelled_ GUARDED_BY(mutex_) = nullptr;
  NSOperation* lastUncancelled_ GUARDED_BY(mutex_) = nullptr;
  int64_t runningCount_ GUARDED_BY(mutex_) = 0;
  std::shared_ptr<NSOperationQueue> keepAlive_ GUARDED_BY(mutex_);
  int64_t maxConcurrent_ GUARDED_BY(mutex_) = NSOperationQueueDefaultMaxConcurrentOperationCount;
  bool suspended_ GUARDED_BY(mutex_) = false;
  std::string name_ GUARDED_BY(mutex_);
  NSQualityOfService qualityOfService_ GUARDED_BY(mutex_) = NSQualityOfService::Default;
};

using NSOperationQueuePtr = std::shared_ptr<NSOperationQueue>;
