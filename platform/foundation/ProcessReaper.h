#pragma once

// Waiting for child processes without a thread per child. One watcher thread,
// started on first use, polls a process descriptor (pidfd) for every watched
// child, reaps each one as it ends and hands its wait status to the queue the
// caller named; no dispatch worker ever blocks in waitpid(). Where the kernel
// has no pidfd the wait falls back to a pool worker that lends its place while
// it waits (DispatchBlockingScope), so the pool keeps serving other work.

#include <sys/types.h>

#include <functional>

#include "Dispatch.h"

namespace ProcessReaper {

// Reaps `pid`, a child of this process that nothing else waits for, once it
// has ended, then runs `exited` on `queue` with its waitpid() status.
void watch(pid_t pid, dispatch_queue_t queue, UniqueFunction<void(int status)> exited);

}  // namespace ProcessReaper
