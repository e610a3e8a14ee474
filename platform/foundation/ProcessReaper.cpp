#include "ProcessReaper.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/Mutex.h"

namespace {

struct Child {
  pid_t pid;
  int pidfd;
  dispatch_queue_t queue;
  UniqueFunction<void(int)> exited;
};

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// Reaps `child` (already ended, or about to) and hands its status on.
void reap(Child& child, int options) {
  int status = 0;
  while (::waitpid(child.pid, &status, options) < 0 && errno == EINTR) {
  }
  auto exited = std::move(child.exited);
  if (exited) {
    dispatch_async(child.queue,
                   [exited = std::move(exited), status]() mutable { exited(status); });
  }
}

class Watcher {
 public:
  static Watcher& shared() {
    static Watcher* watcher = new Watcher;  // serves until the process ends
    return *watcher;
  }

  // False when the watcher cannot take the child (no pidfd support).
  bool add(Child& child) {
    MutexLock lock(mutex_);
    if (wakeFd_ < 0) return false;
    added_.push_back(std::move(child));
    if (!started_) {
      started_ = true;
      std::thread([this] { run(); }).detach();
    }
    ::eventfd_write(wakeFd_, 1);
    return true;
  }

 private:
  Watcher() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  void run() {
    std::vector<Child> watched;
    std::vector<pollfd> fds;
    for (;;) {
      {
        MutexLock lock(mutex_);
        for (auto& child : added_) watched.push_back(std::move(child));
        added_.clear();
      }
      fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
      for (const Child& child : watched) fds.push_back(pollfd{child.pidfd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;  // EINTR: look again
      if (fds[0].revents) {
        eventfd_t ignored;
        ::eventfd_read(wakeFd_, &ignored);
      }
      // A readable pidfd means the child has ended: the wait returns at once.
      for (size_t i = watched.size(); i-- > 0;) {
        if (!fds[i + 1].revents) continue;
        reap(watched[i], 0);
        ::close(watched[i].pidfd);
        watched.erase(watched.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

  Mutex mutex_;
  std::vector<Child> added_ GUARDED_BY(mutex_);  // taken by the thread
  bool started_ GUARDED_BY(mutex_) = false;
  const int wakeFd_;
};

}  // namespace

namespace ProcessReaper {

void watch(pid_t pid, dispatch_queue_t queue, UniqueFunction<void(int status)> exited) {
  Child child{pid, openPidfd(pid), std::move(queue), std::move(exited)};
  if (child.pidfd >= 0) {
    if (Watcher::shared().add(child)) return;
    ::close(child.pidfd);
    child.pidfd = -1;
  }
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Utility),
                 [child = std::move(child)]() mutable {
                   DispatchBlockingScope blocking;
                   reap(child, 0);
                 });
}

}  // namespace ProcessReaper
