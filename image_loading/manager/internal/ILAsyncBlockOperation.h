#pragma once

// An operation whose work ends when its user says so: the block starts the
// work (on a global queue) and whoever finishes it calls complete(). Until
// then the operation holds its place in its queue.

#include <functional>
#include <memory>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSOperation.h"

class ILAsyncBlockOperation : public NSOperation {
 public:
  using Block = std::function<void(const std::shared_ptr<ILAsyncBlockOperation>&)>;

  explicit ILAsyncBlockOperation(Block block) : executionBlock_(std::move(block)) {}
  static std::shared_ptr<ILAsyncBlockOperation> blockOperationWithBlock(Block block);

  bool isAsynchronous() const override { return true; }
  void start() override;
  // Finishes an executing operation; does nothing otherwise.
  void complete();
  // Finishes at once when executing; the block may still be running.
  void cancel() override;

 private:
  RecursiveMutex lock_;  // guards executionBlock_ and the operation's state changes
  Block executionBlock_ GUARDED_BY(lock_);
};
using ILAsyncBlockOperationPtr = std::shared_ptr<ILAsyncBlockOperation>;
