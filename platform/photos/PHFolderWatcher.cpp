#include "platform/photos/internal/PHFolderWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/PlatformClock.h"

namespace {
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                           IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_OPEN |
                           IN_CLOSE_NOWRITE;
// Opening and closing unwritten change nothing a reading shows (the library
// itself reads its files all the time): they only count who holds a file.
constexpr uint32_t kOpenClose = IN_OPEN | IN_CLOSE_NOWRITE | IN_ISDIR;

int millisecondsUntil(std::chrono::steady_clock::time_point when, std::chrono::steady_clock::time_point now) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
  // Rounded up, so that a wake-up never comes a hair before its deadline.
  if (when > now + std::chrono::milliseconds(ms)) ++ms;
  return static_cast<int>(std::max<int64_t>(0, ms));
}
}  // namespace

PHFolderWatcher::PHFolderWatcher(std::string root, std::function<void()> onBurst)
    : root_(std::move(root)), onBurst_(std::move(onBurst)) {
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  wake_ = std::make_shared<Wake>();
  wake_->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (inotifyFd_ < 0 || stopFd_ < 0 || wake_->fd < 0) {
    for (int fd : {inotifyFd_, stopFd_}) {
      if (fd >= 0) close(fd);
    }
    inotifyFd_ = stopFd_ = -1;
    wake_.reset();
    return;
  }
  {
    MutexLock lock(mutex_);
    watchTree(root_);
    if (!watchedPaths_.count(root_)) watchParent();
  }
  thread_.start([this] { run(); }, "folder-watcher");
}

PHFolderWatcher::~PHFolderWatcher() {
  if (inotifyFd_ < 0) return;
  stop();
  close(inotifyFd_);
  close(stopFd_);
}

void PHFolderWatcher::stop() {
  if (inotifyFd_ < 0) return;
  std::call_once(stopOnce_, [this] {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(stopFd_, &one, sizeof one);
    thread_.join();
    // A catch-up on another thread may schedule until this point; none
    // schedules after it.
    MutexLock lock(mutex_);
    stopped_ = true;
    if (settleToken_) PlatformClock::cancel(settleToken_);
    settleToken_ = 0;
  });
}

PHFolderWatcher::Wake::~Wake() {
  if (fd >= 0) close(fd);
}

void PHFolderWatcher::Wake::ring() const {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

std::string PHFolderWatcher::relativePath(const std::string& folder, const std::string& name) const {
  if (folder.size() <= root_.size()) return name;
  return folder.substr(root_.size() + 1) + "/" + name;
}

void PHFolderWatcher::watchTree(const std::string& path) {
  // An unreadable folder cannot be watched yet; its permission change, seen
  // from its parent, brings it back here.
  int wd = inotify_add_watch(inotifyFd_, path.c_str(), kMask | IN_DONT_FOLLOW);
  if (wd < 0) return;
  watches_[wd] = path;
  watchedPaths_.insert(path);
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

void PHFolderWatcher::watchParent() {
  const auto slash = root_.find_last_of('/');
  if (slash == std::string::npos || slash + 1 >= root_.size()) return;
  const std::string parent = slash == 0 ? "/" : root_.substr(0, slash);
  rootName_ = root_.substr(slash + 1);
  // Only what can make the folder readable: its permission change, or a
  // folder put in its place.
  parentWatch_ = inotify_add_watch(inotifyFd_, parent.c_str(), IN_ATTRIB | IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
}

bool PHFolderWatcher::noteParentEvent(const inotify_event& event) {
  if (event.mask & IN_IGNORED) {
    parentWatch_ = -1;
    return false;
  }
  if (!event.len || rootName_ != event.name) return false;
  watchTree(root_);
  if (!watchedPaths_.count(root_)) return false;
  // The parent's other names are none of the library's business.
  inotify_rm_watch(inotifyFd_, parentWatch_);
  parentWatch_ = -1;
  return true;
}

bool PHFolderWatcher::drainEvents() {
  bool visible = false;
  const double now = PlatformClock::now();
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (char* p = buffer; p < buffer + n;) {
      auto* event = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + event->len;
      if (parentWatch_ >= 0 && event->wd == parentWatch_) {
        if (noteParentEvent(*event)) visible = true;
        continue;
      }
      auto folder = watches_.find(event->wd);
      if (event->mask & IN_IGNORED) {
        if (folder != watches_.end()) {
          watchedPaths_.erase(folder->second);
          watches_.erase(folder);
        }
        continue;
      }
      const char* name = event->len ? event->name : "";
      if (name[0] == '.') continue;
      if (event->mask & ~kOpenClose) visible = true;
      if (folder == watches_.end() || !*name) continue;
      if (event->mask & ~kOpenClose) changed_.insert(relativePath(folder->second, name));
      const std::string child = folder->second + "/" + name;
      if (event->mask & IN_ISDIR) {
        if ((event->mask & (IN_CREATE | IN_MOVED_TO)) ||
            ((event->mask & IN_ATTRIB) && !watchedPaths_.count(child))) {
          watchTree(child);
        }
        continue;
      }
      noteFileEvent(relativePath(folder->second, name), event->mask, now);
    }
  }
  return visible;
}

void PHFolderWatcher::noteFileEvent(const std::string& relative, uint32_t mask, double now) {
  if (mask & (IN_DELETE | IN_MOVED_FROM)) {
    holders_.erase(relative);
    return;
  }
  if (mask & IN_OPEN) ++holders_[relative].opens;
  auto it = holders_.find(relative);
  // A write needs an open: a time set with utimes() shows as a modification
  // too, and a file opened before the watch began is not counted.
  if ((mask & (IN_CREATE | IN_MODIFY)) && it != holders_.end()) {
    it->second.written = true;
    it->second.lastWrite = now;
  }
  if ((mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && it != holders_.end() && --it->second.opens <= 0) {
    holders_.erase(it);
  }
}

double PHFolderWatcher::settlesAt(const Holder& holder) {
  return holder.lastWrite + kSettleMilliseconds / 1000.0;
}

bool PHFolderWatcher::isWriting(const Holder& holder, double now) {
  return holder.written && now < settlesAt(holder);
}

bool PHFolderWatcher::settleWriters(double now) {
  bool settled = false;
  for (auto& [path, holder] : holders_) {
    if (holder.written && !isWriting(holder, now)) {
      holder.written = false;  // still open, but done writing as far as anyone can tell
      settled = true;
    }
  }
  return settled;
}

void PHFolderWatcher::scheduleNextSettle() {
  // A stopped watcher has no thread for the wake-up to reach.
  if (stopped_) return;
  std::optional<double> soonest;
  for (auto& [path, holder] : holders_) {
    if (!holder.written) continue;
    const double at = settlesAt(holder);
    if (!soonest || at < *soonest) soonest = at;
  }
  if (settleToken_ && (!soonest || *soonest != settleAt_)) {
    PlatformClock::cancel(settleToken_);
    settleToken_ = 0;
  }
  if (!soonest) return;
  if (!settleToken_) {
    settleAt_ = *soonest;
    settleToken_ = PlatformClock::scheduleAt(settleAt_, [wake = wake_] { wake->ring(); });
  }
  // A manual clock may have passed the deadline before the wake-up was
  // scheduled for it, and fires it no more: the watcher settles it now.
  if (PlatformClock::now() >= settleAt_) {
    PlatformClock::cancel(settleToken_);
    settleToken_ = 0;
    wake_->ring();
  }
}

std::set<std::string> PHFolderWatcher::catchUp() {
  if (inotifyFd_ < 0) return {};
  MutexLock lock(mutex_);
  drainEvents();
  settleWriters(PlatformClock::now());
  // Scheduled here, not left to the watcher's thread, so that the clock
  // holds the wake-up (or no more) as soon as the catch-up returns.
  scheduleNextSettle();
  return std::exchange(changed_, {});
}

PHFolderWatcher::AfterReading PHFolderWatcher::catchUpAfterReading() {
  AfterReading out;
  out.holdBack = catchUp();
  const std::set<std::string> writers = filesBeingWritten();
  // One still being written is read once its writer is done.
  out.readAgain = std::any_of(out.holdBack.begin(), out.holdBack.end(),
                              [&](const std::string& path) { return !writers.count(path); });
  out.holdBack.insert(writers.begin(), writers.end());
  return out;
}

std::set<std::string> PHFolderWatcher::filesBeingWritten() const {
  MutexLock lock(mutex_);
  std::set<std::string> out;
  const double now = PlatformClock::now();
  for (auto& [path, holder] : holders_) {
    if (isWriting(holder, now)) out.insert(path);
  }
  return out;
}

void PHFolderWatcher::run() {
  std::optional<Clock::time_point> quietAt;  // when the burst under way is reported
  for (;;) {
    // Settling times wake the watcher through wake_; only the quiet time
    // of a burst is a poll timeout.
    const int timeout = quietAt ? millisecondsUntil(*quietAt, Clock::now()) : -1;
    pollfd fds[3] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}, {wake_->fd, POLLIN, 0}};
    int ready = poll(fds, 3, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[2].revents) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = read(wake_->fd, &count, sizeof count);
    }
    const Clock::time_point now = Clock::now();
    {
      MutexLock lock(mutex_);
      if ((fds[0].revents & POLLIN) && drainEvents()) quietAt = now + std::chrono::milliseconds(kQuietMilliseconds);
      // A writer done without a close changes what the folder shows.
      if (settleWriters(PlatformClock::now()) && !quietAt) quietAt = now;
      scheduleNextSettle();
    }
    if (quietAt && now >= *quietAt) {
      quietAt.reset();
      onBurst_();
    }
  }
}
