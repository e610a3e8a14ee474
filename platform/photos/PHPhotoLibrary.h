#pragma once
// The shared photo library over a folder: QX_PHOTO_LIBRARY when set, else
// Library/PhotoLibrary of the application container. It keeps the folder's
// index current, watches the folder (inotify) and tells registered
// observers about every change on its own serial queue, a burst of file
// events giving one change. Change requests write real files into it.
//
// Authorization: QX_PHOTO_AUTHORIZATION sets the status ("authorized", the
// default, "denied", "limited", "restricted" or "notDetermined"); a request
// made while it is not determined is answered, on a background queue, with
// QX_PHOTO_AUTHORIZATION_PROMPT ("authorized" unless set), which then holds.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/photos/PHChange.h"

// The status a setting names ("authorized", "denied", "limited",
// "restricted", "notDetermined"), or nullopt for any other text.
std::optional<PHAuthorizationStatus> PHAuthorizationStatusNamed(const std::string& name);

class PHPhotoLibraryChangeObserver {
 public:
  virtual ~PHPhotoLibraryChangeObserver() = default;
  virtual void photoLibraryDidChange(const PHChangePtr& change) = 0;
};

class PHFolderWatcher;

class PHPhotoLibrary : public NSObject {
 public:
  explicit PHPhotoLibrary(std::string folder);
  ~PHPhotoLibrary() override;

  static std::shared_ptr<PHPhotoLibrary> sharedPhotoLibrary();
  // The shared library when something has opened it, without opening it.
  static std::shared_ptr<PHPhotoLibrary> openSharedPhotoLibrary();
  static std::string defaultFolder();

  static PHAuthorizationStatus authorizationStatus();
  static void requestAuthorization(OnceCallback<void(PHAuthorizationStatus)> handler);

  // Observers are held weakly and called on the library's queue.
  void registerChangeObserver(const std::shared_ptr<PHPhotoLibraryChangeObserver>& observer);
  void unregisterChangeObserver(const PHPhotoLibraryChangeObserver* observer);

  // Runs `changes` (which makes change requests) on the library's queue,
  // writes what they ask for, brings the index up to date and tells the
  // observers; then the completion runs on a background queue with success
  // or the error that stopped it (nothing is left half-written).
  void performChanges(OnceClosure changes, OnceCallback<void(bool, NSErrorPtr)> completion);

  const std::string& folder() const;
  PHLibrarySnapshotPtr snapshot() const;
  dispatch_queue_t queue() const { return queue_; }
  bool rebuiltIndex() const;

  // Reads the folder again now, on the library's queue, and delivers the
  // change, if any; the folder watcher does this after each burst of file
  // events. Files still being written are left as they were until their
  // writers are done.
  void synchronize();
  // Stops following the folder: the watcher's thread ends and the wake-up
  // it set on the clock for a writer goes with it. The library then reads
  // the folder only for its own change requests and synchronize().
  void stopWatching();

  std::string className() const override { return "PHPhotoLibrary"; }

 private:
  void startWatching();
  void synchronizeOnQueue();
  void publish(const PHLibrarySnapshotPtr& before, const PHLibrarySnapshotPtr& after);

  std::unique_ptr<PHLibraryStore> store_;
  dispatch_queue_t queue_;
  mutable Mutex watcherMutex_;
  std::shared_ptr<PHFolderWatcher> watcher_ GUARDED_BY(watcherMutex_);
  mutable Mutex observersMutex_;
  std::vector<std::weak_ptr<PHPhotoLibraryChangeObserver>> observers_ GUARDED_BY(observersMutex_);
};
using PHPhotoLibraryPtr = std::shared_ptr<PHPhotoLibrary>;
