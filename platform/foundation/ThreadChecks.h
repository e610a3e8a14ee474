#pragma once

// Run-time thread rules. In checked builds (see BuildFlags.h) a breach stops
// the process with a message naming the function; in release builds the
// checks compile to nothing.
//
// QX_DCHECK_MAIN_THREAD() starts every UIKit mutator, channel-handler wrapper
// and run-loop drain: those objects belong to the main thread.
//
// SequenceChecker guards an object that is not thread-safe but may move
// between threads as long as its calls never overlap and stay on one
// sequence: the first checked call binds it to the current serial dispatch
// queue (any of its worker threads) or, outside a queue, to the current
// thread. detach() lets the next call bind it anew.
//
// Locks carry no annotations for clang's thread-safety analysis: Mutex
// has no capability, so the analysis could only report false positives.

#include <atomic>
#include <cstdint>

#include "BuildFlags.h"
#include "platform/foundation/Mutex.h"

// Instead every mutex says in a comment what it guards: "guards ..." on the
// mutex (or just above it), or "guarded by <mutex>" on the fields it guards.
// tools/check-layering refuses a mutex that says neither, so the rule holds
// as code changes; the comments are what a reader (and a reviewer) checks
// a lock's use against.

// Fatal stop unless called on the main thread (checked builds only).
void QXCheckMainThread(const char* function);

#if QX_CHECKED
#define QX_DCHECK_MAIN_THREAD() QXCheckMainThread(__func__)
// For lambdas and other places where __func__ names nothing useful.
#define QX_DCHECK_MAIN_THREAD_FOR(what) QXCheckMainThread(what)
#else
#define QX_DCHECK_MAIN_THREAD() ((void)0)
#define QX_DCHECK_MAIN_THREAD_FOR(what) ((void)0)
#endif

class SequenceChecker {
 public:
  // True when called on the bound sequence (binding it on the first call).
  bool calledOnValidSequence() const;
  void detach() { bound_.store(0, std::memory_order_release); }

 private:
  mutable std::atomic<uintptr_t> bound_{0};
};

void QXCheckSequence(const SequenceChecker& checker, const char* function);

#if QX_CHECKED
#define QX_DCHECK_SEQUENCE(checker) QXCheckSequence(checker, __func__)
#else
#define QX_DCHECK_SEQUENCE(checker) ((void)0)
#endif
