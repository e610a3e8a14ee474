#include "ThreadChecks.h"

#include <functional>
#include <string>
#include <thread>

#include "Dispatch.h"
#include "Fatal.h"
#include "NSRunLoop.h"

namespace {

// The queue running the caller (the main queue and the main thread are one
// sequence), else the thread.
uintptr_t currentSequenceToken() {
  dispatch_queue_t queue = dispatch_current_queue();
  if (queue && queue != dispatch_get_main_queue()) {
    return reinterpret_cast<uintptr_t>(queue.get());
  }
  if (isMainThread()) return 1;
  // Odd values cannot collide with queue addresses.
  return (std::hash<std::thread::id>()(std::this_thread::get_id()) << 1) | 1;
}

}  // namespace

void QXCheckMainThread(const char* function) {
  if (!isMainThread()) FatalStop(std::string(function) + " must be called on the main thread");
}

bool SequenceChecker::calledOnValidSequence() const {
  uintptr_t current = currentSequenceToken();
  uintptr_t expected = 0;
  if (bound_.compare_exchange_strong(expected, current, std::memory_order_acq_rel)) return true;
  return expected == current;
}

void QXCheckSequence(const SequenceChecker& checker, const char* function) {
  if (!checker.calledOnValidSequence()) {
    FatalStop(std::string(function) + " was called off the sequence its object is bound to");
  }
}
