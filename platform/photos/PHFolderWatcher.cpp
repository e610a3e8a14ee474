#include "platform/photos/PHFolderWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                           IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
}

PHFolderWatcher::PHFolderWatcher(std::string root, std::function<void()> onBurst)
    : root_(std::move(root)), onBurst_(std::move(onBurst)) {
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (inotifyFd_ < 0 || stopFd_ < 0) {
    if (inotifyFd_ >= 0) close(inotifyFd_);
    if (stopFd_ >= 0) close(stopFd_);
    inotifyFd_ = stopFd_ = -1;
    return;
  }
  watchTree(root_);
  // From here on the watch table belongs to the watcher's thread.
  watcherThread_.detach();
  thread_ = std::thread([this] { run(); });
}

PHFolderWatcher::~PHFolderWatcher() {
  if (inotifyFd_ < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(stopFd_, &one, sizeof one);
  thread_.join();
  close(inotifyFd_);
  close(stopFd_);
}

void PHFolderWatcher::watchTree(const std::string& path) {
  QX_DCHECK_SEQUENCE(watcherThread_);
  int wd = inotify_add_watch(inotifyFd_, path.c_str(), kMask | IN_DONT_FOLLOW);
  if (wd < 0) return;
  watches_[wd] = path;
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string child = path + "/" + entry->d_name;
    struct stat st;
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) watchTree(child);
  }
  closedir(dir);
}

bool PHFolderWatcher::drainEvents() {
  QX_DCHECK_SEQUENCE(watcherThread_);
  bool visible = false;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (char* p = buffer; p < buffer + n;) {
      auto* event = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + event->len;
      if (event->mask & IN_IGNORED) {
        watches_.erase(event->wd);
        continue;
      }
      const char* name = event->len ? event->name : "";
      if (name[0] == '.') continue;
      visible = true;
      if ((event->mask & (IN_CREATE | IN_MOVED_TO)) && (event->mask & IN_ISDIR)) {
        auto parent = watches_.find(event->wd);
        if (parent != watches_.end()) watchTree(parent->second + "/" + name);
      }
    }
  }
  return visible;
}

void PHFolderWatcher::run() {
  bool pending = false;
  for (;;) {
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    int ready = poll(fds, 2, pending ? kQuietMilliseconds : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (ready == 0) {
      pending = false;
      onBurst_();
      continue;
    }
    if (fds[0].revents & POLLIN) pending = drainEvents() || pending;
  }
}
