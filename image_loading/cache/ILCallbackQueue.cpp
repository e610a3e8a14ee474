#include "image_loading/cache/ILCallbackQueue.h"

#include <string>

#include "platform/foundation/Fatal.h"

ILCallbackQueue::ILCallbackQueue(dispatch_queue_t queue) : queue_(std::move(queue)) {
  NSParameterAssert(queue_);
}

void ILCallbackQueue::setQueue(dispatch_queue_t queue) {
  NSParameterAssert(queue);
  queue_ = std::move(queue);
}

std::shared_ptr<ILCallbackQueue> ILCallbackQueue::mainQueue() {
  auto q = std::make_shared<ILCallbackQueue>(dispatch_get_main_queue());
  q->policy_ = ILCallbackQueuePolicyMainThread;
  return q;
}

std::shared_ptr<ILCallbackQueue> ILCallbackQueue::currentQueue() {
  dispatch_queue_t current = dispatch_current_queue();
  return std::make_shared<ILCallbackQueue>(current ? current : dispatch_get_main_queue());
}

std::shared_ptr<ILCallbackQueue> ILCallbackQueue::globalQueue() {
  return std::make_shared<ILCallbackQueue>(
      dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0));
}

void ILCallbackQueue::run(dispatch_block_t block, bool wait) const {
  switch (policy_) {
    case ILCallbackQueuePolicySafeExecute:
      if (dispatch_current_queue() == queue_) {
        block();
      } else if (queue_ == dispatch_get_main_queue() && !wait) {
        dispatch_main_now_or_async(std::move(block));
      } else if (wait) {
        dispatch_sync(queue_, std::move(block));
      } else {
        dispatch_async(queue_, std::move(block));
      }
      return;
    case ILCallbackQueuePolicyDispatch:
      if (wait) {
        dispatch_sync(queue_, std::move(block));
      } else {
        dispatch_async(queue_, std::move(block));
      }
      return;
    case ILCallbackQueuePolicyInvoke:
      block();
      return;
    case ILCallbackQueuePolicyMainThread:
      dispatch_main_now_or_async(std::move(block));
      return;
    default:
      FatalStop("unexpected policy " + std::to_string(policy_));
  }
}

void ILCallbackQueue::sync(dispatch_block_t block) const { run(std::move(block), true); }

void ILCallbackQueue::async(dispatch_block_t block) const { run(std::move(block), false); }
