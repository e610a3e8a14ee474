#include "platform/photos/PHPhotoLibrary.h"

#include <cstdlib>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/photos/PHAssetCreationRequest.h"
#include "platform/photos/internal/PHFolderWatcher.h"

const char* const PHImageResultIsInCloudKey = "PHImageResultIsInCloudKey";
const char* const PHImageResultIsDegradedKey = "PHImageResultIsDegradedKey";
const char* const PHImageResultRequestIDKey = "PHImageResultRequestIDKey";
const char* const PHImageCancelledKey = "PHImageCancelledKey";
const char* const PHImageErrorKey = "PHImageErrorKey";
const char* const PHImageFileURLKey = "PHImageFileURLKey";
const char* const PHPhotosErrorDomain = "PHPhotosErrorDomain";

namespace {

Mutex gMutex;
std::shared_ptr<PHPhotoLibrary> gShared GUARDED_BY(gMutex);
std::optional<PHAuthorizationStatus> gStatus GUARDED_BY(gMutex);  // read from env on first use

PHAuthorizationStatus statusNamed(const char* text, PHAuthorizationStatus fallback) {
  return text ? PHAuthorizationStatusNamed(text).value_or(fallback) : fallback;
}

PHAuthorizationStatus currentStatusLocked() REQUIRES(gMutex) {
  if (!gStatus) {
    gStatus = statusNamed(std::getenv("QX_PHOTO_AUTHORIZATION"), PHAuthorizationStatusAuthorized);
  }
  return *gStatus;
}

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      std::shared_ptr<PHPhotoLibrary> old;
      {
        MutexLock lock(gMutex);
        old = std::move(gShared);
        gShared.reset();
        gStatus.reset();
      }
    });
  });
}

}  // namespace

std::optional<PHAuthorizationStatus> PHAuthorizationStatusNamed(const std::string& name) {
  if (name == "authorized") return PHAuthorizationStatusAuthorized;
  if (name == "denied") return PHAuthorizationStatusDenied;
  if (name == "limited") return PHAuthorizationStatusLimited;
  if (name == "restricted") return PHAuthorizationStatusRestricted;
  if (name == "notDetermined") return PHAuthorizationStatusNotDetermined;
  return std::nullopt;
}

std::string PHPhotoLibrary::defaultFolder() {
  if (const char* folder = std::getenv("QX_PHOTO_LIBRARY"); folder && *folder) return folder;
  auto library = NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Library);
  return library.front()->path() + "/PhotoLibrary";
}

std::shared_ptr<PHPhotoLibrary> PHPhotoLibrary::sharedPhotoLibrary() {
  registerReset();
  MutexLock lock(gMutex);
  if (!gShared) {
    gShared = std::make_shared<PHPhotoLibrary>(defaultFolder());
    gShared->startWatching();
  }
  return gShared;
}

std::shared_ptr<PHPhotoLibrary> PHPhotoLibrary::openSharedPhotoLibrary() {
  MutexLock lock(gMutex);
  return gShared;
}

PHPhotoLibrary::PHPhotoLibrary(std::string folder)
    : store_(std::make_unique<PHLibraryStore>(std::move(folder))),
      queue_(dispatch_queue_create("PHPhotoLibrary")) {
  // Every scan runs on the library's queue, the first one too.
  dispatch_sync(queue_, [this] { store_->scan(); });
}

PHPhotoLibrary::~PHPhotoLibrary() {
  std::shared_ptr<PHFolderWatcher> watcher;
  {
    MutexLock lock(watcherMutex_);
    watcher = std::move(watcher_);
  }
}

void PHPhotoLibrary::startWatching() {
  std::weak_ptr<PHPhotoLibrary> weak = std::static_pointer_cast<PHPhotoLibrary>(shared_from_this());
  dispatch_queue_t queue = queue_;
  auto watcher = std::make_shared<PHFolderWatcher>(store_->root(), [weak, queue] {
    dispatch_async(queue, WeakBind(weak, [](PHPhotoLibrary& library) { library.synchronizeOnQueue(); }));
  });
  MutexLock lock(watcherMutex_);
  watcher_ = std::move(watcher);
}

void PHPhotoLibrary::stopWatching() {
  std::shared_ptr<PHFolderWatcher> watcher;
  {
    MutexLock lock(watcherMutex_);
    watcher = std::move(watcher_);
  }
  // Stopped here, not when the last holder lets go: a synchronization under
  // way on the library's queue may still hold it.
  if (watcher) watcher->stop();
}

const std::string& PHPhotoLibrary::folder() const { return store_->root(); }
PHLibrarySnapshotPtr PHPhotoLibrary::snapshot() const { return store_->snapshot(); }
bool PHPhotoLibrary::rebuiltIndex() const { return store_->rebuiltIndex(); }

PHAuthorizationStatus PHPhotoLibrary::authorizationStatus() {
  registerReset();
  MutexLock lock(gMutex);
  return currentStatusLocked();
}

void PHPhotoLibrary::requestAuthorization(OnceCallback<void(PHAuthorizationStatus)> handler) {
  registerReset();
  PHAuthorizationStatus status;
  {
    MutexLock lock(gMutex);
    status = currentStatusLocked();
    if (status == PHAuthorizationStatusNotDetermined) {
      // The person asked answers once; the answer then holds.
      status = statusNamed(std::getenv("QX_PHOTO_AUTHORIZATION_PROMPT"),
                           PHAuthorizationStatusAuthorized);
      if (status == PHAuthorizationStatusNotDetermined) status = PHAuthorizationStatusDenied;
      gStatus = status;
    }
  }
  dispatch_bind_to_queue(dispatch_get_global_queue(DispatchQoS::Default),
                         std::move(handler))(status);
}

void PHPhotoLibrary::registerChangeObserver(
    const std::shared_ptr<PHPhotoLibraryChangeObserver>& observer) {
  if (!observer) return;
  MutexLock lock(observersMutex_);
  for (auto& weak : observers_) {
    if (weak.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void PHPhotoLibrary::unregisterChangeObserver(const PHPhotoLibraryChangeObserver* observer) {
  MutexLock lock(observersMutex_);
  std::erase_if(observers_, [observer](const std::weak_ptr<PHPhotoLibraryChangeObserver>& weak) {
    auto strong = weak.lock();
    return !strong || strong.get() == observer;
  });
}

void PHPhotoLibrary::synchronize() {
  // The library's serial queue keeps one synchronization at a time.
  if (dispatch_current_queue() == queue_) {
    synchronizeOnQueue();
  } else {
    dispatch_sync(queue_, [this] { synchronizeOnQueue(); });
  }
}

void PHPhotoLibrary::synchronizeOnQueue() {
  std::shared_ptr<PHFolderWatcher> watcher;
  {
    MutexLock lock(watcherMutex_);
    watcher = watcher_;
  }
  std::set<std::string> beingWritten;
  if (watcher) {
    watcher->catchUp();
    beingWritten = watcher->filesBeingWritten();
  }
  bool again = false;
  auto writtenWhileReading = [&watcher, &again] {
    auto checked = watcher->catchUpAfterReading();
    again = checked.readAgain;
    return std::move(checked.holdBack);
  };
  auto before = store_->snapshot();
  auto after =
      watcher ? store_->scan(beingWritten, writtenWhileReading) : store_->scan(beingWritten);
  publish(before, after);
  if (again) {
    dispatch_async(queue_, WeakBind(std::static_pointer_cast<PHPhotoLibrary>(shared_from_this()),
                                    [](PHPhotoLibrary& library) { library.synchronizeOnQueue(); }));
  }
}

void PHPhotoLibrary::publish(const PHLibrarySnapshotPtr& before, const PHLibrarySnapshotPtr& after) {
  if (!before || !after || !PHChange::differs(*before, *after)) return;
  auto change = std::make_shared<PHChange>(before, after);
  dispatch_async(queue_, WeakBind(std::static_pointer_cast<PHPhotoLibrary>(shared_from_this()),
                                  [change](PHPhotoLibrary& library) {
                                    std::vector<std::shared_ptr<PHPhotoLibraryChangeObserver>> live;
                                    {
                                      MutexLock lock(library.observersMutex_);
                                      for (auto& weak : library.observers_) {
                                        if (auto strong = weak.lock()) live.push_back(strong);
                                      }
                                    }
                                    for (auto& observer : live) observer->photoLibraryDidChange(change);
                                  }));
}

void PHPhotoLibrary::performChanges(OnceClosure changes,
                                    OnceCallback<void(bool, NSErrorPtr)> completion) {
  auto self = std::static_pointer_cast<PHPhotoLibrary>(shared_from_this());
  auto done = dispatch_bind_to_queue(dispatch_get_global_queue(DispatchQoS::Default),
                                     std::move(completion));
  dispatch_async(queue_, [self, changes = std::move(changes), done = std::move(done)]() mutable {
    NSErrorPtr error;
    {
      PHChangeTransaction transaction;
      if (changes) changes();
      error = PHApplyChangeTransaction(transaction, *self->store_);
    }
    if (!error) self->synchronizeOnQueue();
    done(error == nullptr, error);
  });
}
