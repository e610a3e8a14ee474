#pragma once
// Watches the library folder and its subfolders with inotify and reports
// each burst of file events once it has gone quiet. Dispatch has no
// file-descriptor sources, so one thread per watcher blocks in poll() on the
// inotify descriptor and only hands each burst on through the callback (the
// same exception as the network path monitor's netlink reader). Hidden names
// (the index and its journal, ".tmp" folders) are not events.
//
// A file written to while someone holds it open (opens and closes are
// counted) is "being written": half a photo is no photo. It stops being so
// when the last holder closes it, or once it has seen no write for
// kSettleMilliseconds (a writer that keeps it open idle), and that ends a
// burst too. Opening and reading alone are no events.
// A subfolder that could not be watched (unreadable) is watched as soon as
// its permissions change; so is the library folder itself, through its
// parent, which is watched for that alone until then.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "platform/foundation/NSThread.h"

#include "platform/foundation/Mutex.h"

struct inotify_event;

class PHFolderWatcher {
 public:
  // `onBurst` runs on the watcher's thread and must only hand work on.
  PHFolderWatcher(std::string root, std::function<void()> onBurst);
  ~PHFolderWatcher();
  PHFolderWatcher(const PHFolderWatcher&) = delete;
  PHFolderWatcher& operator=(const PHFolderWatcher&) = delete;

  bool isWatching() const { return inotifyFd_ >= 0; }

  // Takes in the events the kernel has queued so far (what any file call
  // that returned before made), from any thread, so that a reading of the
  // folder made now knows of every writer still at work.
  void catchUp();
  // Paths (below the root) of the files being written.
  std::set<std::string> filesBeingWritten() const;

  // Real time a burst must stay quiet before it is reported: kernel events
  // arrive in real time, whatever clock the rest of the process reads.
  static constexpr int kQuietMilliseconds = 60;
  static constexpr int kSettleMilliseconds = 2000;

 private:
  using Clock = std::chrono::steady_clock;
  void run();
  void watchTree(const std::string& path) REQUIRES(mutex_);
  void watchParent() REQUIRES(mutex_);
  // An event on the parent: true when the library folder could be watched
  // at last.
  bool noteParentEvent(const inotify_event& event) REQUIRES(mutex_);
  // Who holds a file open, and whether it was written since it was opened.
  struct Holder {
    int opens = 0;
    bool written = false;
    Clock::time_point lastWrite;
  };
  static bool isWriting(const Holder& holder, Clock::time_point now);
  bool drainEvents() REQUIRES(mutex_);  // true when a visible name changed
  void noteFileEvent(const std::string& relative, uint32_t mask, Clock::time_point now)
      REQUIRES(mutex_);
  bool settleWriters(Clock::time_point now) REQUIRES(mutex_);  // true when one settled
  int msUntilNextSettle(Clock::time_point now) const REQUIRES(mutex_);  // -1: none
  std::string relativePath(const std::string& folder, const std::string& name) const;

  const std::string root_;
  std::function<void()> onBurst_;
  int inotifyFd_ = -1;
  int stopFd_ = -1;
  int wakeFd_ = -1;  // a catch-up took events in: the watcher's deadlines moved
  int parentWatch_ GUARDED_BY(mutex_) = -1;  // the parent, while the folder is unreadable
  std::string rootName_;  // the folder's name in its parent
  mutable Mutex mutex_;
  std::map<int, std::string> watches_ GUARDED_BY(mutex_);
  std::set<std::string> watchedPaths_ GUARDED_BY(mutex_);
  std::map<std::string, Holder> holders_ GUARDED_BY(mutex_);
  NSJoinableThread thread_;
};
