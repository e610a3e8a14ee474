#include "AKImagePickerController/data/AKImageDataManager.h"
#include "AKImagePickerController/data/PickerTestSupport.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"

namespace data_manager_test {

class DataManagerTest : public PickerTest {
 protected:
  AKAssetPtr libraryAsset() {
    EXPECT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
    return AKAsset::initWithOriginalAsset(PHAsset::fetchAssetsWithOptions(nullptr)->firstObject());
  }
  ScriptedAnswer held() {
    ScriptedAnswer a;
    a.result = ScriptedAnswer::Result::Never;
    return a;
  }
};

TEST_F(DataManagerTest, IdentifiersCountUpAcrossKindsAndInMemoryAssetsAnswerAtOnce) {
  auto manager = getImageDataManager();
  auto asset = libraryAsset();
  provider_->setDefaultAnswer(held());
  EXPECT_EQ(manager->fetchImage(asset, CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFill, nullptr), 1);
  EXPECT_EQ(manager->fetchImageData(asset, nullptr, nullptr), 2);
  EXPECT_EQ(manager->fetchAVAsset(asset, nullptr, nullptr), 3);
  // The defaults allow network access; videos ask for medium quality.
  auto calls = provider_->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[0].imageOptions->networkAccessAllowed);
  EXPECT_EQ(calls[0].contentMode, PHImageContentModeAspectFill);
  EXPECT_EQ(calls[2].videoOptions->deliveryMode, PHVideoRequestOptionsDeliveryModeMediumQualityFormat);

  auto memory = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(2, 2)));
  bool answered = false;
  int32_t id = manager->fetchImage(memory, CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFit,
                                   [&](const UIImagePtr& image, const Value& info) {
                                     answered = !image && info.isNull();
                                   });
  EXPECT_EQ(id, 4);
  EXPECT_TRUE(answered);
  EXPECT_EQ(provider_->calls().size(), 3u);
  manager->cancelRequests({1, 2, 3});
  EXPECT_EQ(provider_->cancelled().size(), 3u);
}

TEST_F(DataManagerTest, CloudOnlyAssetsAreRetriedOnceWithNetworkUnderTheSameIdentifier) {
  auto manager = getImageDataManager();
  auto asset = libraryAsset();
  ScriptedAnswer cloud;
  cloud.result = ScriptedAnswer::Result::InCloudWithoutNetwork;
  cloud.image = UIImage::imageWithCGImage(MakeFixtureBitmap(3, 3));
  provider_->setDefaultAnswer(cloud);
  auto options = std::make_shared<PHImageRequestOptions>();  // network access off
  std::vector<Value> answers;
  int32_t id = manager->fetchImage(asset, CGSizeMake(3, 3), options, PHImageContentModeAspectFit,
                                   [&](const UIImagePtr& image, const Value& info) {
                                     EXPECT_TRUE(image);
                                     answers.push_back(info);
                                   });
  drainMainLoop();
  auto calls = provider_->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls[0].imageOptions->networkAccessAllowed);
  EXPECT_TRUE(calls[1].imageOptions->networkAccessAllowed);
  EXPECT_FALSE(options->networkAccessAllowed);  // the caller's options stay as they were
  ASSERT_EQ(answers.size(), 1u);                // the in-cloud miss is not passed on
  EXPECT_EQ(answers[0].find(PHImageResultRequestIDKey)->asInt64(), calls[1].requestID);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(manager->trackedRequestCount(), 0u);  // finished: nothing stale left
  EXPECT_EQ(manager->finishedRequestCount(), 0u);
}

TEST_F(DataManagerTest, AnAssetStillInTheCloudWithNetworkIsAnsweredNotRetried) {
  auto manager = getImageDataManager();
  auto asset = libraryAsset();
  ScriptedAnswer stuck;
  stuck.result = ScriptedAnswer::Result::InCloudAlways;
  provider_->setDefaultAnswer(stuck);
  // With network access already on there is nothing to retry with; without
  // it, one retry with network, and then the miss is the answer.
  for (bool network : {true, false}) {
    auto options = std::make_shared<PHImageRequestOptions>();
    options->networkAccessAllowed = network;
    const size_t before = provider_->calls().size();
    std::vector<Value> answers;
    manager->fetchImage(asset, CGSizeMake(3, 3), options, PHImageContentModeAspectFit,
                        [&](const UIImagePtr& image, const Value& info) {
                          EXPECT_FALSE(image);
                          answers.push_back(info);
                        });
    drainMainLoop();
    EXPECT_EQ(provider_->calls().size() - before, network ? 1u : 2u) << network;
    ASSERT_EQ(answers.size(), 1u) << network;
    EXPECT_TRUE(answers[0].find(PHImageResultIsInCloudKey)->asBool());
  }
  EXPECT_EQ(manager->trackedRequestCount(), 0u);
}

TEST_F(DataManagerTest, CancellationReachesTheLibraryOnceAndRemembersUntrackedRequests) {
  auto manager = getImageDataManager();
  auto asset = libraryAsset();
  provider_->setDefaultAnswer(held());
  int32_t id = manager->fetchImage(asset, CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFit, nullptr);
  EXPECT_TRUE(manager->isTracked(id));
  manager->cancelRequest(id);
  manager->cancelRequest(id);
  EXPECT_EQ(provider_->cancelled().size(), 1u);
  EXPECT_FALSE(manager->isTracked(id));

  // Issued on another thread: its tracking waits for the main queue. A
  // cancel in between is remembered and the tracking then cancels it.
  int32_t late = 0;
  ASSERT_TRUE(RunOnBackground([&] {
    late = manager->fetchImage(asset, CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFit, nullptr);
  }));
  size_t before = provider_->cancelled().size();
  manager->cancelRequest(late);
  EXPECT_EQ(provider_->cancelled().size(), before);
  drainMainLoop();
  ASSERT_EQ(provider_->cancelled().size(), before + 1);
  EXPECT_EQ(provider_->cancelled().back(), provider_->calls().back().requestID);
  EXPECT_FALSE(manager->isTracked(late));
}

TEST_F(DataManagerTest, TheCancelledSetIsTrimmedToAHundredBeforeEachCancellation) {
  auto manager = getImageDataManager();
  auto asset = libraryAsset();
  provider_->setDefaultAnswer(held());
  // The scripted library answers a cancel of a held request as cancelled,
  // which clears it; answer nothing instead so the set keeps growing.
  class Silent : public ScriptedMediaProvider {
   public:
    void cancelRequest(PHImageRequestID) override {}
  };
  auto silent = std::make_shared<Silent>();
  silent->setDefaultAnswer(held());
  PHImageManager::setDefaultMediaProvider(silent);
  std::vector<int32_t> ids;
  for (int i = 0; i < 105; ++i) {
    ids.push_back(manager->fetchImage(asset, CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFit, nullptr));
  }
  manager->cancelRequests(ids);
  EXPECT_EQ(manager->cancelledRequestCount(), 105u);
  int32_t one = manager->fetchImage(asset, CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFit, nullptr);
  manager->cancelRequest(one);
  EXPECT_EQ(manager->cancelledRequestCount(), 101u);  // trimmed to 100, then the new one
}

TEST_F(DataManagerTest, AFinalAnswerBeforeTheTrackingLeavesNoStaleEntry) {
  auto manager = getImageDataManager();
  auto asset = libraryAsset();
  ScriptedAnswer sync;  // answered inside the request call, before its identifier is known
  sync.image = UIImage::imageWithCGImage(MakeFixtureBitmap(2, 2));
  provider_->setDefaultAnswer(sync);
  int calls = 0;
  int32_t id = manager->fetchImage(asset, CGSizeMake(2, 2), nullptr, PHImageContentModeAspectFit,
                                   [&](const UIImagePtr&, const Value&) { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(manager->isTracked(id));
  EXPECT_EQ(manager->finishedRequestCount(), 0u);

  // Degraded then final from another thread: both reach the caller; the
  // bookkeeping settles on the main thread.
  ScriptedAnswer twice = sync;
  twice.result = ScriptedAnswer::Result::DegradedThenFinal;
  twice.thread = ScriptedAnswer::Thread::Background;
  provider_->setDefaultAnswer(twice);
  auto done = dispatch_semaphore_create(0);
  std::atomic<int> deliveries{0};
  int32_t second = manager->fetchImage(asset, CGSizeMake(2, 2), nullptr, PHImageContentModeAspectFit,
                                       [&, done](const UIImagePtr&, const Value&) {
                                         if (++deliveries == 2) dispatch_semaphore_signal(done);
                                       });
  ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  drainMainLoop();
  EXPECT_FALSE(manager->isTracked(second));
  EXPECT_EQ(manager->finishedRequestCount(), 0u);
}

TEST_F(DataManagerTest, ADegradedAnswerLeavesTheRequestOpenToCancel) {
  // The library answers a first, degraded image and keeps working on the
  // final one: the request is still running and a cancel must reach it.
  class Degrading : public ScriptedMediaProvider {
   public:
    PHImageResultHandler handler;
    void requestImage(const PHImageRequest& request, PHImageResultHandler h) override {
      handler = h;
      ScriptedMediaProvider::requestImage(request, [](const UIImagePtr&, const Value&) {});
    }
  };
  auto degrading = std::make_shared<Degrading>();
  ScriptedAnswer never;
  never.result = ScriptedAnswer::Result::Never;
  degrading->setDefaultAnswer(never);
  PHImageManager::setDefaultMediaProvider(degrading);
  auto manager = getImageDataManager();
  auto asset = libraryAsset();
  std::vector<UIImagePtr> heard;
  int32_t id = manager->fetchImage(asset, CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFit,
                                   [&](const UIImagePtr& image, const Value&) { heard.push_back(image); });
  drainMainLoop();
  ASSERT_TRUE(manager->isTracked(id));
  ASSERT_TRUE(degrading->handler);
  auto rough = UIImage::imageWithCGImage(MakeFixtureBitmap(2, 2));
  degrading->handler(rough, Value(ValueMap{{Value(PHImageResultIsDegradedKey), Value(true)}}));
  drainMainLoop();
  EXPECT_EQ(heard, std::vector<UIImagePtr>{rough});
  EXPECT_TRUE(manager->isTracked(id));
  manager->cancelRequest(id);
  EXPECT_EQ(degrading->cancelled().size(), 1u);
  EXPECT_FALSE(manager->isTracked(id));
}

TEST_F(DataManagerTest, PermissionIsGrantedOnlyWhenAuthorized) {
  std::vector<bool> answers;
  AKImageDataManager::checkPhotoPermission([&](bool granted) { answers.push_back(granted); });
  EXPECT_EQ(answers, std::vector<bool>{true});  // at once, on the caller's thread

  setenv("QX_PHOTO_AUTHORIZATION", "limited", 1);
  SingletonResets::runAll();
  AKImageDataManager::checkPhotoPermission([&](bool granted) { answers.push_back(granted); });
  EXPECT_EQ(answers, (std::vector<bool>{true, false}));

  setenv("QX_PHOTO_AUTHORIZATION", "notDetermined", 1);
  SingletonResets::runAll();
  AKImageDataManager::checkPhotoPermission([&](bool granted) {
    EXPECT_TRUE(NSThread::isMainThread());
    answers.push_back(granted);
  });
  EXPECT_EQ(answers.size(), 2u);  // answered later, on the main queue
  // Bounded: the answer comes from a background queue through the main queue.
  for (int i = 0; i < 100 && answers.size() < 3; ++i) NSRunLoop::mainRunLoop().runOnce(0.1);
  EXPECT_EQ(answers, (std::vector<bool>{true, false, true}));
}

}  // namespace data_manager_test
