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
// burst too. Opening and reading alone are no events. That settling time is
// read on the platform clock, whose scheduler wakes the watcher when it is
// due, so a process on the manual clock decides when a writer went idle.
// A subfolder that could not be watched (unreadable) is watched as soon as
// its permissions change; so is the library folder itself, through its
// parent, which is watched for that alone until then.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
  // Ends the watcher's thread and takes the settle wake-up it set off the
  // clock; from then on it reports no burst and sets no wake-up, while
  // catch-ups still take in the kernel's events. Idempotent, from any thread
  // but the watcher's own (onBurst); the destructor stops it too.
  void stop();

  // Takes in the events the kernel has queued so far (what any file call
  // that returned before made), from any thread, so that a reading of the
  // folder made now knows of every writer still at work. Answers the paths
  // (below the root) of the files and folders changed since the last
  // catch-up, whichever thread took their events in.
  std::set<std::string> catchUp();
  // Paths (below the root) of the files being written.
  std::set<std::string> filesBeingWritten() const;
  // A catch-up made once a reading of the folder is done, which began with
  // a catch-up: the files to hold back from that reading (changed since, or
  // being written, so perhaps read half written), and whether to read the
  // folder again at once, for a file changed and done with since: its
  // events were taken in here, so the watcher will report no burst of them.
  struct AfterReading {
    std::set<std::string> holdBack;
    bool readAgain = false;
  };
  AfterReading catchUpAfterReading();

  // Real time a burst must stay quiet before it is reported: kernel events
  // arrive in real time, whatever clock the rest of the process reads.
  static constexpr int kQuietMilliseconds = 60;
  // Platform clock time after its last write that an open file counts as
  // written no more.
  static constexpr int kSettleMilliseconds = 2000;

 private:
  using Clock = std::chrono::steady_clock;
  // The watcher's wake-up descriptor, shared with the clock's scheduled
  // wake-up, which may still be firing on the scheduler's thread while the
  // watcher goes: the descriptor closes with the last of them.
  struct Wake {
    int fd = -1;
    ~Wake();
    void ring() const;
  };
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
    double lastWrite = 0;  // platform clock seconds
  };
  static double settlesAt(const Holder& holder);
  static bool isWriting(const Holder& holder, double now);
  bool drainEvents() REQUIRES(mutex_);  // true when a visible name changed
  void noteFileEvent(const std::string& relative, uint32_t mask, double now) REQUIRES(mutex_);
  bool settleWriters(double now) REQUIRES(mutex_);  // true when one settled
  // Keeps one wake-up scheduled on the platform clock for the next writer
  // to settle (none when no writer waits), and rings at once for one that
  // is already due.
  void scheduleNextSettle() REQUIRES(mutex_);
  std::string relativePath(const std::string& folder, const std::string& name) const;

  const std::string root_;
  std::function<void()> onBurst_;
  int inotifyFd_ = -1;
  int stopFd_ = -1;
  std::shared_ptr<Wake> wake_;  // rung when a writer's settling time is due
  int parentWatch_ GUARDED_BY(mutex_) = -1;  // the parent, while the folder is unreadable
  std::string rootName_;  // the folder's name in its parent
  mutable Mutex mutex_;
  std::map<int, std::string> watches_ GUARDED_BY(mutex_);
  std::set<std::string> watchedPaths_ GUARDED_BY(mutex_);
  std::map<std::string, Holder> holders_ GUARDED_BY(mutex_);
  std::set<std::string> changed_ GUARDED_BY(mutex_);  // since the last catch-up
  uint64_t settleToken_ GUARDED_BY(mutex_) = 0;  // the wake-up scheduled on the clock; 0: none
  double settleAt_ GUARDED_BY(mutex_) = 0;  // its deadline
  bool stopped_ GUARDED_BY(mutex_) = false;
  std::once_flag stopOnce_;
  NSJoinableThread thread_;
};
