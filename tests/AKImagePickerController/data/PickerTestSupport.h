#pragma once
// A scratch photo library with the scripted media provider installed, and
// observers that record the hub's callbacks.

#include <mutex>
#include <string>
#include <vector>

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "platform/foundation/NSThread.h"
#include "platform/photos/PHImageManager.h"
#include "support/photos/PhotoLibraryFixture.h"
#include "support/photos/ScriptedMediaProvider.h"

// Runs `work` on a background queue and waits (bounded) for it.
inline bool RunOnBackground(std::function<void()> work) {
  auto done = dispatch_semaphore_create(0);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&, done] {
    work();
    dispatch_semaphore_signal(done);
  });
  return dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)) == 0;
}

class PickerTest : public PhotoLibraryTest {
 protected:
  void SetUp() override {
    PhotoLibraryTest::SetUp();
    provider_ = std::make_shared<ScriptedMediaProvider>();
    PHImageManager::setDefaultMediaProvider(provider_);
  }
  std::shared_ptr<ScriptedMediaProvider> provider_;
};

// Records every callback it implements, as "selector argument".
class RecordingObserver : public NSObject,
                          public AKImageGroupDataManagerObserver,
                          public AKImageAssetExporterObserver {
 public:
  bool groupDidUpdate(const std::string& id) override { return add("update " + id); }
  bool groupDidRemove(const std::string& id) override { return add("remove " + id); }
  bool groupDidRemoveAssets(const std::string& id, const std::vector<AKAssetPtr>& assets) override {
    removedAssets.insert(removedAssets.end(), assets.begin(), assets.end());
    return add("removeAssets " + id + " " + std::to_string(assets.size()));
  }
  bool groupDidInsertAssets(const std::string& id, const std::vector<AKAssetPtr>& assets) override {
    insertedAssets.insert(insertedAssets.end(), assets.begin(), assets.end());
    return add("insertAssets " + id + " " + std::to_string(assets.size()));
  }
  bool groupDidUpdateComplete(const std::string& id) override { return add("complete " + id); }
  bool groupsDidInsert(const std::vector<std::string>& ids) override {
    std::string text = "insertGroups";
    for (auto& id : ids) text += " " + id;
    return add(text);
  }
  bool exporterWillBeginExporting(AKImageAssetExporter&, const AKAssetPtr& asset) override {
    return add("begin " + asset->localIdentifier());
  }
  bool exporterDidUpdateProgress(AKImageAssetExporter&, const AKAssetPtr& asset) override {
    progress.push_back(asset->progress());
    return true;
  }
  bool exporterDidEndExporting(AKImageAssetExporter&, const AKAssetPtr& asset) override {
    return add("end " + asset->localIdentifier());
  }

  bool add(const std::string& event) {
    EXPECT_TRUE(NSThread::isMainThread()) << event;
    events.push_back(event);
    return true;
  }
  std::vector<std::string> events;
  std::vector<AKAssetPtr> insertedAssets, removedAssets;
  std::vector<double> progress;
};
