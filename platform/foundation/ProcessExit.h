#pragma once

// How a process that runs dispatch queues ends. The pool's workers are
// never stopped or joined: a block runs for as long as its work takes (a
// photo decoding, a child being waited for), so a worker may still be in one
// when the process ends. The destructors of static objects must then not
// run: a worker would be left using a photo library, a mutex or a table that
// the main thread is tearing down under it. A process ends through
// EndProcessWithoutStaticDestructors() once its own work is done instead of
// returning from main(), and what must happen at its end is given to
// AtProcessEnd(), which runs on either road.

#include "OnceCallback.h"

// Runs `task` when the process ends normally: in
// EndProcessWithoutStaticDestructors(), or at exit() (a return from main)
// with the other exit handlers. Tasks run last given, first run, on the
// thread that ends the process, while other threads may still run.
void AtProcessEnd(void (*task)());

// Ends the process with `status`: runs the tasks given to AtProcessEnd(),
// writes out what is buffered for every output stream (standard output's
// lines and the C++ streams too), and leaves without running exit handlers
// or static destructors. In the leak-checked builds the leak check runs
// before it leaves, as it would at exit(), with everything still held
// counted as reachable. After a stop signal (EndProcessOnStopSignals) the
// process dies of that signal instead of leaving with `status`. The end runs
// once: a second thread that calls this meanwhile waits for the first to end
// the process.
[[noreturn]] void EndProcessWithoutStaticDestructors(int status);

// Makes SIGTERM, SIGINT and SIGHUP end the process the way its own end does,
// after which it dies of the signal that came first, as a process stopped by
// one is expected to. The handler only takes note; `begin` then runs on a
// thread of its own and should lead the process to
// EndProcessWithoutStaticDestructors() soon. A process that has not begun
// its end `graceSeconds` after the signal is ended from that thread, its
// tasks run there, with nothing flushed; one whose end is not over twice
// that time after the signal dies of the signal as it stands. Signals after
// the first change nothing. A stop signal that was ignored when this is
// called stays ignored (a process started under nohup keeps running when
// its terminal goes). Only the first call does anything.
void EndProcessOnStopSignals(UniqueFunction<void()> begin, double graceSeconds);
