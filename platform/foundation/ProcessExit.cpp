#include "ProcessExit.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "BuildFlags.h"
#include "Mutex.h"

#if defined(QX_LEAK_CHECKED)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

struct EndTasks {
  Mutex mutex;
  std::vector<void (*)()> tasks GUARDED_BY(mutex);
};

// Never destroyed: it is read at the very end, when nothing static may go.
EndTasks& endTasks() {
  static EndTasks* tasks = new EndTasks;
  return *tasks;
}

}  // namespace

void AtProcessEnd(void (*task)()) {
  if (!task) return;
  EndTasks& end = endTasks();
  {
    MutexLock lock(end.mutex);
    end.tasks.push_back(task);
  }
  std::atexit(task);
}

void EndProcessWithoutStaticDestructors(int status) {
  std::vector<void (*)()> tasks;
  {
    EndTasks& end = endTasks();
    MutexLock lock(end.mutex);
    tasks = end.tasks;
  }
  for (auto task = tasks.rbegin(); task != tasks.rend(); ++task) (*task)();
  // The C++ streams first: once out of step with stdio they hold text of
  // their own.
  std::cout.flush();
  std::clog.flush();
  std::fflush(nullptr);
#if defined(QX_LEAK_CHECKED)
  // exit() would have checked; _exit() does not. What the statics and the
  // running threads still hold is reachable, so only real leaks show.
  __lsan_do_leak_check();
#endif
  // The system call's wrapper, which the thread sanitizer's runtime
  // intercepts to report its findings in the exit status; std::_Exit would
  // go round it.
  ::_exit(status);
}
