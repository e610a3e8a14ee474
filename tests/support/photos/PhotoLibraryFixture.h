#pragma once
// A scratch photo library for each test: the shared library is pointed at a
// fresh folder through QX_PHOTO_LIBRARY and dropped again afterwards.

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/photos/PHPhotoLibrary.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/photos/MediaFixtures.h"

// Stops the shared library's folder watcher (of a library made now, if the
// test made none). Its thread sets a settle wake-up on the clock for a file
// it saw written and takes it back when it reads the file's close, which
// may come after the test's last write has long returned; stopped, it holds
// nothing on the clock and hands no more work on.
inline void StopPhotoLibraryWatcher() { PHPhotoLibrary::sharedPhotoLibrary()->stopWatching(); }

class PhotoLibraryTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    folder_ = std::make_unique<TempFolder>();
    library_ = folder_->makeFolder("Library");
    setenv("QX_PHOTO_LIBRARY", library_.c_str(), 1);
    addStopper(StopPhotoLibraryWatcher);
  }
  void TearDown() override {
    PlatformTest::TearDown();  // stops the watcher, checks, drops the shared library
    unsetenv("QX_PHOTO_LIBRARY");
    unsetenv("QX_PHOTO_AUTHORIZATION");
    unsetenv("QX_PHOTO_AUTHORIZATION_PROMPT");
    folder_.reset();
  }
  std::string path(const std::string& relative) const { return library_ + "/" + relative; }

  std::unique_ptr<TempFolder> folder_;
  std::string library_;
};

// Collects library changes and lets a test wait for them (bounded). Waits
// name how many changes must have come, never how many wake-ups: the watcher
// reports a burst once it has gone quiet, so what a test does may come as
// one change or several.
class ChangeCollector : public PHPhotoLibraryChangeObserver {
 public:
  void photoLibraryDidChange(const PHChangePtr& change) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      changes.push_back(change);
    }
    arrived.notify_all();
  }
  // True once at least `total` changes have come since registering.
  bool waitForChanges(size_t total) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds),
                            [&] { return changes.size() >= total; });
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return changes.size();
  }
  PHChangePtr at(size_t index) {
    std::lock_guard<std::mutex> lock(mutex);
    return changes.at(index);
  }
  PHChangePtr last() {
    std::lock_guard<std::mutex> lock(mutex);
    return changes.back();
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<PHChangePtr> changes;
};
