#include "image_loading/manager/internal/ILAsyncBlockOperation.h"

#include <utility>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/WeakSelf.h"

std::shared_ptr<ILAsyncBlockOperation> ILAsyncBlockOperation::blockOperationWithBlock(Block block) {
  return std::make_shared<ILAsyncBlockOperation>(std::move(block));
}

void ILAsyncBlockOperation::start() {
  Block block;
  {
    RecursiveMutexLock lock(lock_);
    if (isCancelled()) {
      setFinished(true);
      return;
    }
    setFinished(false);
    setExecuting(true);
    block = executionBlock_;
  }
  if (!block) return;
  std::weak_ptr<ILAsyncBlockOperation> weak = WeakFromThis(this);
  dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0),
                 [weak, block = std::move(block)] {
                   if (auto operation = weak.lock()) block(operation);
                 });
}

void ILAsyncBlockOperation::complete() {
  RecursiveMutexLock lock(lock_);
  if (!isExecuting()) return;
  // Whoever sees the operation finished must not still see it executing.
  setExecuting(false);
  setFinished(true);
}

void ILAsyncBlockOperation::cancel() {
  RecursiveMutexLock lock(lock_);
  NSOperation::cancel();
  if (isExecuting()) {
    setExecuting(false);
    setFinished(true);
  }
}
