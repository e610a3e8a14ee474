#pragma once

// A dispatch queue with a rule for how a block given to it runs, so that a
// completion can run inline when the caller is already where it should be.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSObject.h"

using ILCallbackQueuePolicy = uint64_t;
// Inline when already on the queue (or on the main thread for the main
// queue), else dispatched.
inline constexpr ILCallbackQueuePolicy ILCallbackQueuePolicySafeExecute = 0;
inline constexpr ILCallbackQueuePolicy ILCallbackQueuePolicyDispatch = 1;
inline constexpr ILCallbackQueuePolicy ILCallbackQueuePolicyInvoke = 2;
// Inline on the main thread, else asynchronously to the main queue.
inline constexpr ILCallbackQueuePolicy ILCallbackQueuePolicyMainThread = 3;

class ILCallbackQueue : public NSObject {
 public:
  explicit ILCallbackQueue(dispatch_queue_t queue);

  // Each call makes a new instance.
  static std::shared_ptr<ILCallbackQueue> mainQueue();
  static std::shared_ptr<ILCallbackQueue> currentQueue();
  static std::shared_ptr<ILCallbackQueue> globalQueue();

  const dispatch_queue_t& queue() const { return queue_; }
  void setQueue(dispatch_queue_t queue);
  ILCallbackQueuePolicy policy() const { return policy_; }
  void setPolicy(ILCallbackQueuePolicy policy) { policy_ = policy; }

  void sync(dispatch_block_t block) const;
  void async(dispatch_block_t block) const;

 private:
  void run(dispatch_block_t block, bool wait) const;

  dispatch_queue_t queue_;
  ILCallbackQueuePolicy policy_ = ILCallbackQueuePolicySafeExecute;
};

using ILCallbackQueuePtr = std::shared_ptr<ILCallbackQueue>;
