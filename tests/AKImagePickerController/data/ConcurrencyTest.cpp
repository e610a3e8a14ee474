#include <set>

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "AKImagePickerController/data/AKImageDataManager.h"
#include "AKImagePickerController/data/PickerTestSupport.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"

namespace concurrency_test {

class ConcurrencyTest : public PickerTest {};

TEST_F(ConcurrencyTest, TwoExportersOnDifferentThreadsWriteEveryAssetOnce) {
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(WriteFixtureImage(path("p" + std::to_string(i) + ".jpg"), "public.jpeg", 8, 8));
  }
  auto library = PHAsset::fetchAssetsWithOptions(nullptr);
  ScriptedAnswer data;
  data.data = NSData::dataWithContentsOfFile(path("p0.jpg"));
  data.thread = ScriptedAnswer::Thread::Background;
  provider_->setDefaultAnswer(data);

  AKImageAssetExporterConfiguration one, two;
  one.exportDirectory = NSURL::fileURLWithPath(folder_->path() + "/One", true);
  two.exportDirectory = NSURL::fileURLWithPath(folder_->path() + "/Two", true);
  auto first = AKImageAssetExporter::initWithConfiguration(one);
  auto second = AKImageAssetExporter::initWithConfiguration(two);
  auto makeAssets = [&] {
    std::vector<AKAssetPtr> assets;
    for (auto& asset : library->objects()) assets.push_back(AKAsset::initWithOriginalAsset(asset));
    for (int i = 0; i < 3; ++i) {
      assets.push_back(AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(4, 4))));
    }
    return assets;
  };
  auto a = makeAssets(), b = makeAssets();
  std::atomic<int> done{0};
  std::set<int32_t> ids;
  std::mutex idsMutex;
  // The two threads meet before they export, so the two requests are made
  // at the same time, not one after the other on one pool thread.
  auto arrivedA = dispatch_semaphore_create(0), arrivedB = dispatch_semaphore_create(0);
  auto start = [&](const AKImageAssetExporterPtr& exporter, const std::vector<AKAssetPtr>& assets,
                   dispatch_semaphore_t mine, dispatch_semaphore_t other) {
    dispatch_semaphore_signal(mine);
    {
      DispatchBlockingScope blocking;
      EXPECT_EQ(dispatch_semaphore_wait(other, dispatch_time_after(kTestTimeoutSeconds)), 0);
    }
    int32_t id = exporter->exportAssetsAsynchronously(assets, [&](const Value&) { ++done; });
    std::lock_guard<std::mutex> lock(idsMutex);
    ids.insert(id);
  };
  auto group = dispatch_group_create();
  dispatch_group_async(group, dispatch_get_global_queue(DispatchQoS::Default),
                       [&] { start(first, a, arrivedA, arrivedB); });
  dispatch_group_async(group, dispatch_get_global_queue(DispatchQoS::Default),
                       [&] { start(second, b, arrivedB, arrivedA); });
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(kTestTimeoutSeconds)), 0);
  for (int i = 0; i < 400 && done < 2; ++i) NSRunLoop::mainRunLoop().runOnce(0.05);
  ASSERT_EQ(done, 2);
  EXPECT_EQ(ids, (std::set<int32_t>{1, 2}));
  for (auto* assets : {&a, &b}) {
    for (auto& asset : *assets) {
      ASSERT_TRUE(asset->localTemporaryPath()) << (asset->error() ? asset->error()->localizedDescription() : "");
      EXPECT_GT(asset->fileSize(), 0u);
    }
  }
}

TEST_F(ConcurrencyTest, DataManagerBookkeepingHoldsUnderRequestsAndCancelsFromManyThreads) {
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  auto asset = AKAsset::initWithOriginalAsset(PHAsset::fetchAssetsWithOptions(nullptr)->firstObject());
  ScriptedAnswer twice;
  twice.result = ScriptedAnswer::Result::DegradedThenFinal;
  twice.thread = ScriptedAnswer::Thread::Background;
  twice.image = UIImage::imageWithCGImage(MakeFixtureBitmap(2, 2));
  provider_->setDefaultAnswer(twice);
  auto manager = getImageDataManager();
  std::atomic<int> finals{0};
  auto group = dispatch_group_create();
  for (int t = 0; t < 4; ++t) {
    dispatch_group_async(group, dispatch_get_global_queue(DispatchQoS::Default), [&] {
      for (int i = 0; i < 20; ++i) {
        int32_t id = manager->fetchImage(asset, CGSizeMake(2, 2), nullptr, PHImageContentModeAspectFit,
                                         [&](const UIImagePtr&, const Value& info) {
                                           const Value* degraded = info.find(PHImageResultIsDegradedKey);
                                           if (degraded && !degraded->asBool()) ++finals;
                                         });
        if (i % 2) manager->cancelRequest(id);
      }
    });
  }
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(kTestTimeoutSeconds)), 0);
  for (int i = 0; i < 400 && finals < 80; ++i) NSRunLoop::mainRunLoop().runOnce(0.05);
  EXPECT_EQ(finals, 80);  // cancels came too late for answers already under way
  drainMainLoop();
  EXPECT_EQ(manager->trackedRequestCount(), 0u);
  EXPECT_EQ(manager->finishedRequestCount(), 0u);
}

}  // namespace concurrency_test
