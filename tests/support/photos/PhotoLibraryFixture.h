#pragma once
// A scratch photo library for each test: the shared library is pointed at a
// fresh folder through QX_PHOTO_LIBRARY and dropped again afterwards.

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/foundation/Dispatch.h"
#include "platform/photos/PHPhotoLibrary.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/photos/MediaFixtures.h"

class PhotoLibraryTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    folder_ = std::make_unique<TempFolder>();
    library_ = folder_->makeFolder("Library");
    setenv("QX_PHOTO_LIBRARY", library_.c_str(), 1);
  }
  void TearDown() override {
    PlatformTest::TearDown();  // drops the shared library
    unsetenv("QX_PHOTO_LIBRARY");
    unsetenv("QX_PHOTO_AUTHORIZATION");
    unsetenv("QX_PHOTO_AUTHORIZATION_PROMPT");
    folder_.reset();
  }
  std::string path(const std::string& relative) const { return library_ + "/" + relative; }

  std::unique_ptr<TempFolder> folder_;
  std::string library_;
};

// Collects library changes and lets a test wait for them (bounded).
class ChangeCollector : public PHPhotoLibraryChangeObserver {
 public:
  void photoLibraryDidChange(const PHChangePtr& change) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      changes.push_back(change);
    }
    dispatch_semaphore_signal(arrived);
  }
  bool waitForChange() {
    return dispatch_semaphore_wait(arrived, dispatch_time_after(kTestTimeoutSeconds)) == 0;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return changes.size();
  }
  PHChangePtr at(size_t index) {
    std::lock_guard<std::mutex> lock(mutex);
    return changes.at(index);
  }
  std::mutex mutex;
  std::vector<PHChangePtr> changes;
  dispatch_semaphore_t arrived = dispatch_semaphore_create(0);
};
