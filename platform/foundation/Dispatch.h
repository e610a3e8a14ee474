#pragma once

// Dispatch queues: the main queue (the main run loop), serial and concurrent
// queues, global queues by quality of service, delayed work on the platform
// clock, once, groups, counting semaphores and queue-specific values.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "OnceCallback.h"

class DispatchQueue;
class DispatchGroup;
class DispatchSemaphore;
using dispatch_queue_t = std::shared_ptr<DispatchQueue>;
using dispatch_group_t = std::shared_ptr<DispatchGroup>;
using dispatch_semaphore_t = std::shared_ptr<DispatchSemaphore>;
// Move-only, so a block may own what it captures (a once-only completion).
using dispatch_block_t = UniqueFunction<void()>;
// Seconds on the platform clock (PlatformClock::now()), or DISPATCH_TIME_FOREVER.
using dispatch_time_t = double;

inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;
inline constexpr dispatch_time_t DISPATCH_TIME_FOREVER = -1;
// A deadline `seconds` from now on the platform clock.
dispatch_time_t dispatch_time_after(double seconds);

enum class DispatchQueueAttr { Serial, Concurrent };
enum class DispatchQoS { UserInteractive, UserInitiated, Default, Utility, Background };
// The platform's legacy priority constants map onto QoS classes.
inline constexpr long DISPATCH_QUEUE_PRIORITY_HIGH = 2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_DEFAULT = 0;
inline constexpr long DISPATCH_QUEUE_PRIORITY_LOW = -2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_BACKGROUND = INT16_MIN;

dispatch_queue_t dispatch_get_main_queue();
dispatch_queue_t dispatch_get_global_queue(DispatchQoS qos);
dispatch_queue_t dispatch_get_global_queue(long priority, unsigned long flags);
dispatch_queue_t dispatch_queue_create(const std::string& label,
                                       DispatchQueueAttr attr = DispatchQueueAttr::Serial);
const std::string& dispatch_queue_get_label(const dispatch_queue_t& queue);

void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block);
// Runs the block on the queue and waits for it. On the main queue from the
// main thread it runs inline rather than deadlocking.
void dispatch_sync(const dispatch_queue_t& queue, dispatch_block_t block);
void dispatch_after(dispatch_time_t when, const dispatch_queue_t& queue, dispatch_block_t block);
// Concurrent queues: waits for earlier blocks, runs alone, then lets later ones in.
void dispatch_barrier_async(const dispatch_queue_t& queue, dispatch_block_t block);

using dispatch_once_t = std::once_flag;
void dispatch_once(dispatch_once_t* predicate, dispatch_block_t block);

dispatch_group_t dispatch_group_create();
void dispatch_group_enter(const dispatch_group_t& group);
void dispatch_group_leave(const dispatch_group_t& group);
void dispatch_group_async(const dispatch_group_t& group, const dispatch_queue_t& queue,
                          dispatch_block_t block);
void dispatch_group_notify(const dispatch_group_t& group, const dispatch_queue_t& queue,
                           dispatch_block_t block);
// 0 when the group emptied before the deadline, non-zero on timeout.
long dispatch_group_wait(const dispatch_group_t& group, dispatch_time_t timeout);

dispatch_semaphore_t dispatch_semaphore_create(long value);
long dispatch_semaphore_signal(const dispatch_semaphore_t& sema);
// 0 on success, non-zero on timeout. Deadlines are on the real clock even when
// the platform clock is manual, so a test can never hang on one.
long dispatch_semaphore_wait(const dispatch_semaphore_t& sema, dispatch_time_t timeout);

// Runs the block at once on the main thread; from any other thread posts it
// to the main queue. The one way to hop to the main thread when the caller
// may already be there.
void dispatch_main_now_or_async(dispatch_block_t block);

// A callback that, whoever calls it on whatever thread, runs on `queue`: each
// call posts the callback with its arguments there. A nil callback stays nil.
template <typename... Args>
OnceCallback<void(Args...)> dispatch_bind_to_queue(dispatch_queue_t queue,
                                                   OnceCallback<void(Args...)> callback) {
  if (!callback) return nullptr;
  return [queue = std::move(queue), callback = std::move(callback)](Args... args) mutable {
    dispatch_async(queue, [callback = std::move(callback),
                           ... args = std::decay_t<Args>(std::forward<Args>(args))]() mutable {
      callback(std::move(args)...);
    });
  };
}

// Queue-specific values: a key (any address) set on a queue is read back by
// code running on that queue, which is how code asks "am I on this queue?".
void dispatch_queue_set_specific(const dispatch_queue_t& queue, const void* key, void* context);
void* dispatch_queue_get_specific(const dispatch_queue_t& queue, const void* key);
void* dispatch_get_specific(const void* key);
// The queue running the current block, or nullptr on a thread outside any queue.
dispatch_queue_t dispatch_current_queue();

// Marks the calling thread as waiting for the scope. A worker of the shared
// pool that waits (on a semaphore, a group, a sync block, an operation) lends
// its place to a new worker so that the work it waits for can still run; the
// pool stays bounded all the same.
class DispatchBlockingScope {
 public:
  DispatchBlockingScope();
  ~DispatchBlockingScope();
  DispatchBlockingScope(const DispatchBlockingScope&) = delete;
  DispatchBlockingScope& operator=(const DispatchBlockingScope&) = delete;

 private:
  bool active_;
};

// Threads the shared worker pool aims to keep busy (the processor count, at
// least 2) and the most it ever runs.
int DispatchWorkerTarget();
int DispatchWorkerLimit();
// True when no block is queued for or running on the shared pool: nothing
// (on any queue but the main one) is left to run.
bool DispatchWorkersIdle();
