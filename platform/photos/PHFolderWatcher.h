#pragma once
// Watches the library folder and its subfolders with inotify and reports
// each burst of file events once it has gone quiet. Dispatch has no
// file-descriptor sources, so one thread per watcher blocks in poll() on the
// inotify descriptor and only hands each burst on through the callback (the
// same exception as the network path monitor's netlink reader). Hidden names
// (the index and its journal, ".tmp" folders) are not events.

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "platform/foundation/ThreadChecks.h"

class PHFolderWatcher {
 public:
  // `onBurst` runs on the watcher's thread and must only hand work on.
  PHFolderWatcher(std::string root, std::function<void()> onBurst);
  ~PHFolderWatcher();
  PHFolderWatcher(const PHFolderWatcher&) = delete;
  PHFolderWatcher& operator=(const PHFolderWatcher&) = delete;

  bool isWatching() const { return inotifyFd_ >= 0; }

  // Real time a burst must stay quiet before it is reported: kernel events
  // arrive in real time, whatever clock the rest of the process reads.
  static constexpr int kQuietMilliseconds = 60;

 private:
  void run();
  void watchTree(const std::string& path);
  bool drainEvents();  // true when a visible name changed

  const std::string root_;
  std::function<void()> onBurst_;
  int inotifyFd_ = -1;
  int stopFd_ = -1;
  // The creating thread fills the watch table, then the watcher's thread
  // alone touches it.
  SequenceChecker watcherThread_;
  std::map<int, std::string> watches_;
  std::thread thread_;
};
