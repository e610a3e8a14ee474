#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ScriptedLoader.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "image_loading/manager/ILRemoteImageManager.h"
#include "image_loading/transformers/ILImageTransformer.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIImage.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace manager_test {

namespace {

using il_test::RunMainLoopUntil;

struct Completion {
  UIImagePtr image;
  NSDataPtr data;
  NSErrorPtr error;
  ILImageCacheKind cacheType = -1;
  bool finished = false;
};

// Every answer a load's completion got, on the main thread.
struct LoadRecord {
  std::vector<Completion> calls;
  ILRemoteImageCompletionBlock block() {
    return [this](UIImagePtr image, NSDataPtr data, NSErrorPtr error, ILImageCacheKind type,
                  bool finished, NSURLPtr) {
      calls.push_back({image, data, error, type, finished});
    };
  }
  const Completion& last() const { return calls.back(); }
};

class ManagerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    cache = ILImageCache::create("manager", folder.path());
    loader = std::make_shared<ScriptedLoader>();
    manager = ILRemoteImageManager::create(cache, loader);
  }
  void TearDown() override {
    EXPECT_TRUE(RunMainLoopUntil([&] { return !manager->isRunning(); }));
    cache->diskImageDataExistsWithKey("flush");
    drainMainLoop();
    loader->forget();
    PlatformTest::TearDown();
  }
  ILRemoteImageCombinedOperationPtr load(const std::string& url, LoadRecord& record,
                                         ILRemoteImageOptions options = 0,
                                         const ILRemoteImageContext& context = Value()) {
    return manager->loadImageWithURL(url, options, context, nullptr, record.block());
  }
  static bool waitForCalls(const LoadRecord& record, size_t count) {
    return RunMainLoopUntil([&] { return record.calls.size() >= count; });
  }
  // Written to the disk only, so that a query has to go through the I/O queue.
  void storeOnDisk(const UIImagePtr& image, const std::string& key) {
    cache->storeImageDataToDisk(il_test::StillFile("public.png", image->CGImage()), key);
    cache->diskImageDataExistsWithKey(key);
  }

  TempFolder folder;
  ILImageCachePtr cache;
  std::shared_ptr<ScriptedLoader> loader;
  ILRemoteImageManagerPtr manager;
  const std::string url = "https://images.example/a.png";
};

TEST_F(ManagerTest, MissDownloadsAndStoresThenMemoryServes) {
  LoadRecord first;
  auto operation = load(url, first);
  ASSERT_NE(operation, nullptr);
  EXPECT_TRUE(manager->isRunning());
  ASSERT_TRUE(waitForCalls(first, 1));
  ASSERT_EQ(first.calls.size(), 1u);
  EXPECT_EQ(first.last().image, loader->nextImage);
  EXPECT_EQ(first.last().cacheType, ILImageCacheKindNone);
  EXPECT_TRUE(first.last().finished);
  ASSERT_EQ(loader->requestCount(), 1u);
  EXPECT_EQ(cache->imageFromMemoryCacheForKey(url), loader->nextImage);
  EXPECT_TRUE(cache->diskImageDataExistsWithKey(url));

  LoadRecord second;
  load(url, second);
  ASSERT_TRUE(waitForCalls(second, 1));
  EXPECT_EQ(second.last().image, loader->nextImage);
  EXPECT_EQ(second.last().cacheType, ILImageCacheKindMemory);
  // The hit ends the load: nothing is downloaded after it and no second
  // answer follows once all the queues have run.
  ASSERT_TRUE(RunMainLoopUntil([&] { return !manager->isRunning(); }));
  drainMainLoop();
  EXPECT_EQ(second.calls.size(), 1u);
  EXPECT_EQ(loader->requestCount(), 1u);

  // The same for a hit on the disk only.
  const std::string onDisk = "https://images.example/disk.png";
  storeOnDisk(il_test::SolidUIImage(3, 3, {0, 0, 255, 255}), onDisk);
  LoadRecord third;
  load(onDisk, third);
  ASSERT_TRUE(waitForCalls(third, 1));
  EXPECT_EQ(third.last().cacheType, ILImageCacheKindDisk);
  ASSERT_TRUE(third.last().image);
  EXPECT_EQ(cache->imageFromMemoryCacheForKey(onDisk), third.last().image)
      << "a disk hit is kept in memory for the next load";
  ASSERT_TRUE(RunMainLoopUntil([&] { return !manager->isRunning(); }));
  drainMainLoop();
  EXPECT_EQ(third.calls.size(), 1u);
  EXPECT_EQ(loader->requestCount(), 1u);
}

TEST_F(ManagerTest, FailedURLIsBlacklistedUntilRetried) {
  loader->nextImage = nullptr;
  loader->nextError = ILRemoteImageError(ILRemoteImageErrorBadImageData, "bad");
  LoadRecord failing;
  load(url, failing);
  ASSERT_TRUE(waitForCalls(failing, 1));
  EXPECT_TRUE(ILIsRemoteImageError(failing.last().error, ILRemoteImageErrorBadImageData));
  EXPECT_TRUE(manager->isFailedURL(NSURL::URLWithString(url)));

  LoadRecord blocked;
  load(url, blocked);
  ASSERT_TRUE(waitForCalls(blocked, 1));
  ASSERT_TRUE(ILIsRemoteImageError(blocked.last().error, ILRemoteImageErrorBlackListed));
  EXPECT_EQ(blocked.last().error->localizedDescription(), "Image url is blacklisted");
  EXPECT_EQ(loader->requestCount(), 1u);

  loader->nextError = nullptr;
  loader->nextImage = il_test::SolidUIImage(2, 2, {0, 0, 255, 255});
  LoadRecord retried;
  load(url, retried, ILLoadRetryFailed);
  ASSERT_TRUE(waitForCalls(retried, 1));
  EXPECT_EQ(retried.last().image, loader->nextImage);
  EXPECT_FALSE(manager->isFailedURL(NSURL::URLWithString(url)));

  // Cancellations never block.
  loader->nextImage = nullptr;
  loader->nextError = ILRemoteImageError(ILRemoteImageErrorCancelled, "x");
  LoadRecord cancelled;
  load("https://images.example/b.png", cancelled);
  ASSERT_TRUE(waitForCalls(cancelled, 1));
  EXPECT_FALSE(manager->isFailedURL(NSURL::URLWithString("https://images.example/b.png")));
}

TEST_F(ManagerTest, RefreshDeliversTheCachedImageThenTheNewOne) {
  auto cached = il_test::SolidUIImage(3, 3, {0, 255, 0, 255});
  cache->storeImageToMemory(cached, url);
  LoadRecord refreshed;
  load(url, refreshed, ILLoadRefreshCached);
  ASSERT_TRUE(waitForCalls(refreshed, 2));
  EXPECT_EQ(refreshed.calls[0].image, cached);
  EXPECT_EQ(refreshed.calls[0].cacheType, ILImageCacheKindMemory);
  EXPECT_EQ(refreshed.calls[1].image, loader->nextImage);
  EXPECT_EQ(refreshed.calls[1].cacheType, ILImageCacheKindNone);
  ASSERT_EQ(loader->requestCount(), 1u);
  EXPECT_NE(ILContextValue(loader->request(0).context, ILRemoteImageContextLoaderCachedImage),
            nullptr);

  // An unchanged image on the server: only the cached answer.
  loader->nextImage = nullptr;
  loader->nextError = ILRemoteImageError(ILRemoteImageErrorCacheNotModified, "same");
  LoadRecord unchanged;
  load(url, unchanged, ILLoadRefreshCached);
  ASSERT_TRUE(RunMainLoopUntil([&] { return !manager->isRunning(); }));
  drainMainLoop();
  ASSERT_EQ(unchanged.calls.size(), 1u);
  EXPECT_EQ(unchanged.calls[0].error, nullptr);
  EXPECT_NE(unchanged.calls[0].image, nullptr);
}

TEST_F(ManagerTest, OriginalFromTheCacheIsTransformedWithoutDownloading) {
  auto transformer = ILImageFlippingTransformer::transformerWithHorizontal(true, false);
  const ILRemoteImageContext context = Value::map(
      {{ILRemoteImageContextImageTransformer, Value(std::static_pointer_cast<NSObject>(transformer))}});
  const std::string transformedKey = manager->cacheKeyForURL(NSURL::URLWithString(url), context);
  EXPECT_EQ(transformedKey, ILCacheKeyWithSuffix(url, transformer->transformerKey()));
  storeOnDisk(il_test::SolidUIImage(4, 2, {0, 0, 250, 255}), url);

  LoadRecord record;
  load(url, record, 0, context);
  ASSERT_TRUE(waitForCalls(record, 1));
  ASSERT_NE(record.last().image, nullptr);
  EXPECT_TRUE(il_isTransformed(*record.last().image));
  EXPECT_EQ(record.last().cacheType, ILImageCacheKindDisk);
  EXPECT_TRUE(loader->requestCount() == 0);
  EXPECT_NE(cache->imageFromMemoryCacheForKey(url), nullptr);
  EXPECT_EQ(cache->imageFromMemoryCacheForKey(transformedKey), record.last().image);
  // The transformed image goes to the disk too, encoded off the I/O queue
  // after the answer; the test ends only once it is there, so no encode or
  // write is left running into the next test or the process's exit.
  EXPECT_TRUE(RunMainLoopUntil([&] { return cache->diskImageDataExistsWithKey(transformedKey); }));

  // The manager's own transformer applies unless the context turns it off.
  manager->setTransformer(transformer);
  EXPECT_EQ(manager->cacheKeyForURL(NSURL::URLWithString(url), Value()), transformedKey);
  const ILRemoteImageContext none = Value::map({{ILRemoteImageContextImageTransformer, Value()}});
  EXPECT_EQ(manager->cacheKeyForURL(NSURL::URLWithString(url), none), url);

  // A thumbnail's key carries its size and whether it keeps the aspect
  // ratio (kept unless the context says otherwise).
  manager->setTransformer(nullptr);
  const Value size = ILImageCoderSizeValue(CGSizeMake(30, 20));
  for (std::optional<bool> preserve : {std::optional<bool>(), std::optional<bool>(true),
                                       std::optional<bool>(false)}) {
    ValueMap thumbnail;
    ValueMapSet(thumbnail, Value(ILRemoteImageContextImageThumbnailPixelSize), size);
    if (preserve) {
      ValueMapSet(thumbnail, Value(ILRemoteImageContextImagePreserveAspectRatio), Value(*preserve));
    }
    EXPECT_EQ(manager->cacheKeyForURL(NSURL::URLWithString(url), Value(thumbnail)),
              ILThumbnailCacheKey(url, CGSizeMake(30, 20), preserve.value_or(true)));
  }
  EXPECT_NE(ILThumbnailCacheKey(url, CGSizeMake(30, 20), true),
            ILThumbnailCacheKey(url, CGSizeMake(30, 20), false));
}

TEST_F(ManagerTest, CancelAnswersOnceWhereverTheLoadIs) {
  storeOnDisk(il_test::SolidUIImage(2, 2, {1, 2, 3, 255}), url);
  LoadRecord querying;
  auto operation = load(url, querying);
  operation->cancel();
  operation->cancel();
  ASSERT_TRUE(RunMainLoopUntil([&] { return !manager->isRunning(); }));
  cache->diskImageDataExistsWithKey("flush");
  drainMainLoop();
  ASSERT_EQ(querying.calls.size(), 1u);
  ASSERT_TRUE(ILIsRemoteImageError(querying.last().error, ILRemoteImageErrorCancelled));
  EXPECT_EQ(querying.last().error->localizedDescription(),
            "Operation cancelled by user during querying the cache");

  loader->hold = true;
  LoadRecord downloading;
  operation = load("https://images.example/slow.png", downloading);
  ASSERT_TRUE(RunMainLoopUntil([&] { return operation->loaderOperation() != nullptr; }));
  // The request is the load's loader part, not its cache part.
  EXPECT_NE(std::dynamic_pointer_cast<ScriptedLoader::Operation>(operation->loaderOperation()),
            nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<ScriptedLoader::Operation>(operation->cacheOperation()),
            nullptr);
  operation->cancel();
  ASSERT_TRUE(waitForCalls(downloading, 1));
  drainMainLoop();
  ASSERT_EQ(downloading.calls.size(), 1u);
  EXPECT_EQ(downloading.last().error->localizedDescription(),
            "Operation cancelled by user during sending the request");
  EXPECT_FALSE(manager->isRunning());
}

TEST_F(ManagerTest, CacheOnlyMissAndMissingURLs) {
  LoadRecord cacheOnly;
  load(url, cacheOnly, ILLoadFromCacheOnly);
  ASSERT_TRUE(waitForCalls(cacheOnly, 1));
  EXPECT_EQ(cacheOnly.last().image, nullptr);
  EXPECT_EQ(cacheOnly.last().error, nullptr);
  EXPECT_EQ(cacheOnly.last().cacheType, ILImageCacheKindNone);
  EXPECT_TRUE(cacheOnly.last().finished);
  EXPECT_TRUE(loader->requestCount() == 0);

  for (const std::string& bad : {std::string(), std::string("not a url")}) {
    LoadRecord record;
    auto operation = load(bad, record);
    EXPECT_NE(operation, nullptr);
    ASSERT_TRUE(waitForCalls(record, 1));
    ASSERT_TRUE(ILIsRemoteImageError(record.last().error, ILRemoteImageErrorInvalidURL));
    EXPECT_EQ(record.last().error->localizedDescription(), "Image url is nil");
  }
  EXPECT_FALSE(manager->isRunning());
  // The class-wide defaults stand in for the shared cache and downloader.
  ILRemoteImageManager::setDefaultImageCache(cache);
  ILRemoteImageManager::setDefaultImageLoader(loader);
  auto defaults = ILRemoteImageManager::create();
  EXPECT_EQ(defaults->imageCache(), cache);
  EXPECT_EQ(defaults->imageLoader(), loader);
  ILRemoteImageManager::setDefaultImageLoader(nullptr);
  EXPECT_EQ(ILRemoteImageManager::create()->imageLoader(), ILRemoteImageDownloader::sharedDownloader());
  EXPECT_DEATH(manager->loadImageWithURL(url, 0, Value(), nullptr, nullptr),
               "If you mean to prefetch the image");
}

// The whole road against a real server: download, decode, both caches, and
// a memory hit for the next load.
TEST_F(ManagerTest, LoadsThroughTheDownloader) {
  LoopbackHttpServer server;
  NSDataPtr png = il_test::StillFile("public.png", il_test::SolidImage(5, 4, {9, 9, 200, 255}));
  ScriptedResponse response;
  response.headers = {{"Content-Type", "image/png"}};
  response.body.assign(reinterpret_cast<const char*>(png->bytes()), png->length());
  server.script("/real.png", response);
  auto downloader = ILRemoteImageDownloader::create();
  manager = ILRemoteImageManager::create(cache, downloader);
  const std::string address = server.url("/real.png");

  LoadRecord record;
  load(address, record);
  ASSERT_TRUE(waitForCalls(record, 1));
  ASSERT_NE(record.last().image, nullptr);
  EXPECT_EQ(record.last().image->size().width, 5);
  EXPECT_EQ(record.last().data->length(), png->length());
  EXPECT_NE(cache->imageFromMemoryCacheForKey(address), nullptr);
  EXPECT_TRUE(cache->diskImageDataExistsWithKey(address));

  LoadRecord again;
  load(address, again);
  ASSERT_TRUE(waitForCalls(again, 1));
  EXPECT_EQ(again.last().cacheType, ILImageCacheKindMemory);
  EXPECT_EQ(server.requests().size(), 1u);

  // A refused connection is reported and does not block the URL.
  const std::string closed =
      "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/x.png";
  LoadRecord refused;
  load(closed, refused);
  ASSERT_TRUE(waitForCalls(refused, 1));
  ASSERT_NE(refused.last().error, nullptr);
  EXPECT_EQ(refused.last().error->code(), NSURLErrorCannotConnectToHost);
  EXPECT_FALSE(manager->isFailedURL(NSURL::URLWithString(closed)));
  ASSERT_TRUE(RunMainLoopUntil([&] { return downloader->currentDownloadCount() == 0; }));
}

}  // namespace

}  // namespace manager_test
