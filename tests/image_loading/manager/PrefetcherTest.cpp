#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ScriptedLoader.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/manager/internal/ILRemoteImagePrefetcher.h"
#include "platform/uikit/UIImage.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace prefetcher_test {

namespace {

using il_test::RunMainLoopUntil;

struct Finish {
  uint64_t finished = 0;
  uint64_t skipped = 0;
};

class RecordingDelegate : public ILRemoteImagePrefetcherDelegate {
 public:
  void imagePrefetcherDidPrefetchURL(ILRemoteImagePrefetcher&, const NSURLPtr& url,
                                     uint64_t finished, uint64_t total) override {
    prefetched.push_back(url);
    counts.emplace_back(finished, total);
  }
  void imagePrefetcherDidFinish(ILRemoteImagePrefetcher&, uint64_t total,
                                uint64_t skipped) override {
    finishes.emplace_back(total, skipped);
  }
  std::vector<NSURLPtr> prefetched;
  std::vector<std::pair<uint64_t, uint64_t>> counts;
  std::vector<std::pair<uint64_t, uint64_t>> finishes;
};

class PrefetcherTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    cache = ILImageCache::create("prefetch", folder.path());
    loader = std::make_shared<ScriptedLoader>();
    manager = ILRemoteImageManager::create(cache, loader);
    prefetcher = ILRemoteImagePrefetcher::create(manager);
    prefetcher->setDelegate(delegate);
  }
  void TearDown() override {
    EXPECT_TRUE(RunMainLoopUntil([&] {
      return !manager->isRunning() && prefetcher->prefetchQueue()->operationCount() == 0;
    }));
    cache->diskImageDataExistsWithKey("flush");
    drainMainLoop();
    loader->forget();
    PlatformTest::TearDown();
  }
  static std::vector<NSURLPtr> urls(int count, const std::string& prefix = "p") {
    std::vector<NSURLPtr> list;
    for (int i = 0; i < count; ++i) {
      list.push_back(NSURL::URLWithString("https://images.example/" + prefix + std::to_string(i) +
                                          ".png"));
    }
    return list;
  }
  static size_t executing(const NSOperationQueuePtr& queue) {
    size_t count = 0;
    for (const auto& operation : queue->operations()) count += operation->isExecuting();
    return count;
  }

  TempFolder folder;
  ILImageCachePtr cache;
  std::shared_ptr<ScriptedLoader> loader;
  ILRemoteImageManagerPtr manager;
  ILRemoteImagePrefetcherPtr prefetcher;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(PrefetcherTest, EmptyListCompletesAtOnce) {
  Finish finish{9, 9};
  EXPECT_EQ(prefetcher->prefetchURLs({}, nullptr,
                                     [&](uint64_t f, uint64_t s) { finish = {f, s}; }),
            nullptr);
  EXPECT_EQ(finish.finished, 0u);
  EXPECT_EQ(finish.skipped, 0u);
}

TEST_F(PrefetcherTest, ThreeAtATimeInListOrderWithFailuresSkipped) {
  loader->hold = true;
  const auto list = urls(10);
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  Finish finish;
  bool done = false;
  auto token = prefetcher->prefetchURLs(
      list, [&](uint64_t f, uint64_t t) { progress.emplace_back(f, t); },
      [&](uint64_t f, uint64_t s) {
        finish = {f, s};
        done = true;
      });
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(prefetcher->maxConcurrentPrefetchCount(), 3);
  for (size_t answered = 0; answered < list.size(); ++answered) {
    const size_t expected = std::min(list.size(), answered + 3);
    // Every slot is taken by a load still waiting for its answer.
    ASSERT_TRUE(RunMainLoopUntil([&] {
      return loader->requestCount() == expected &&
             executing(prefetcher->prefetchQueue()) == expected - answered;
    }));
    EXPECT_LE(executing(prefetcher->prefetchQueue()), 3u);
    // Loads start in list order (those in flight together may reach the
    // loader in any order), at low priority by default.
    size_t index = expected;
    for (size_t i = 0; i < expected; ++i) {
      const auto request = loader->request(i);
      EXPECT_EQ(request.options, ILLoadLowPriority);
      const auto at = std::find_if(list.begin(), list.begin() + expected,
                                   [&](const NSURLPtr& u) { return u == request.url; });
      EXPECT_NE(at, list.begin() + expected);
      if (request.url == list[answered]) index = i;
    }
    ASSERT_LT(index, expected);
    if (answered == 2 || answered == 7) {
      loader->answer(index, nullptr, ILRemoteImageError(ILRemoteImageErrorBadImageData, "bad"));
    } else {
      loader->answer(index, il_test::SolidUIImage(2, 2, {1, 1, 1, 255}));
    }
  }
  ASSERT_TRUE(RunMainLoopUntil([&] { return done; }));
  EXPECT_EQ(finish.finished, 10u);
  EXPECT_EQ(finish.skipped, 2u);
  ASSERT_EQ(progress.size(), 10u);
  EXPECT_EQ(progress.back(), std::make_pair(uint64_t{10}, uint64_t{10}));
  EXPECT_EQ(token->finishedCount(), 10u);
  EXPECT_EQ(prefetcher->countOfRunningTokens(), 0u);
  ASSERT_EQ(delegate->finishes.size(), 1u);
  EXPECT_EQ(delegate->finishes[0], std::make_pair(uint64_t{10}, uint64_t{2}));
}

TEST_F(PrefetcherTest, OverlappingBatchesFinishTheDelegateOnce) {
  loader->hold = true;
  std::vector<int> batchesDone;
  prefetcher->prefetchURLs(urls(2, "a"), nullptr, [&](uint64_t, uint64_t) { batchesDone.push_back(1); });
  prefetcher->prefetchURLs(urls(1, "b"), nullptr, [&](uint64_t, uint64_t) { batchesDone.push_back(2); });
  ASSERT_TRUE(RunMainLoopUntil([&] { return loader->requestCount() == 3; }));
  EXPECT_EQ(prefetcher->tokenTotalCount(), 3u);
  // The first batch ends first; the delegate waits for the second.
  for (size_t i = 0; i < 3; ++i) {
    const std::string path = loader->request(i).url->absoluteString();
    if (path.find("/a") != std::string::npos) loader->answer(i, il_test::SolidUIImage(1, 1, {}));
  }
  ASSERT_TRUE(RunMainLoopUntil([&] { return batchesDone.size() == 1; }));
  EXPECT_EQ(batchesDone[0], 1);
  EXPECT_TRUE(delegate->finishes.empty());
  for (size_t i = 0; i < 3; ++i) {
    const std::string path = loader->request(i).url->absoluteString();
    if (path.find("/b") != std::string::npos) loader->answer(i, il_test::SolidUIImage(1, 1, {}));
  }
  ASSERT_TRUE(RunMainLoopUntil([&] { return batchesDone.size() == 2; }));
  ASSERT_EQ(delegate->finishes.size(), 1u);
  EXPECT_EQ(delegate->finishes[0].first, 1u);
  EXPECT_EQ(delegate->prefetched.size(), 3u);
}

TEST_F(PrefetcherTest, CancelStopsQueuedURLsAndSilencesTheBatch) {
  loader->hold = true;
  int calls = 0;
  auto token = prefetcher->prefetchURLs(urls(6), [&](uint64_t, uint64_t) { calls++; },
                                        [&](uint64_t, uint64_t) { calls++; });
  ASSERT_TRUE(RunMainLoopUntil([&] { return loader->requestCount() == 3; }));
  token->cancel();
  ASSERT_TRUE(RunMainLoopUntil([&] {
    return !manager->isRunning() && prefetcher->prefetchQueue()->operationCount() == 0;
  }));
  drainMainLoop();
  EXPECT_EQ(loader->requestCount(), 3u);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(prefetcher->countOfRunningTokens(), 0u);
  // The loads that were cancelled still count, and still reach the delegate.
  EXPECT_EQ(token->finishedCount(), 3u);
  EXPECT_EQ(token->skippedCount(), 3u);
  EXPECT_EQ(delegate->prefetched.size(), 3u);
}

TEST_F(PrefetcherTest, RefreshedURLCountsOnce) {
  const auto list = urls(1, "cached");
  cache->storeImageToMemory(il_test::SolidUIImage(2, 2, {5, 5, 5, 255}), list[0]->absoluteString());
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  Finish finish;
  auto token = prefetcher->prefetchURLs(
      list, ILLoadRefreshCached, Value(), [&](uint64_t f, uint64_t t) { progress.emplace_back(f, t); },
      [&](uint64_t f, uint64_t s) { finish = {f, s}; });
  // The cached image answers first, the new download second.
  ASSERT_TRUE(RunMainLoopUntil([&] { return loader->requestCount() == 1 && !manager->isRunning(); }));
  ASSERT_TRUE(RunMainLoopUntil([&] { return prefetcher->prefetchQueue()->operationCount() == 0; }));
  drainMainLoop();
  EXPECT_EQ(token->finishedCount(), 1u);
  EXPECT_EQ(token->skippedCount(), 0u);
  EXPECT_EQ(finish.finished, 1u);
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(delegate->prefetched.size(), 1u);
}

}  // namespace

}  // namespace prefetcher_test
