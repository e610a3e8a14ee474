#include <atomic>
#include <memory>
#include <string>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/cache/ILMemoryCache.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "platform/foundation/Dispatch.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"

namespace memory_cache_test {

namespace {

class MemoryCacheTest : public PlatformTest {
 protected:
  static UIImagePtr image(size_t side) { return il_test::SolidUIImage(side, side, {1, 2, 3, 255}); }
  static ILImageCacheConfigPtr config(bool weak, uint64_t cost = 0, uint64_t count = 0) {
    auto c = std::make_shared<ILImageCacheConfig>();
    c->shouldUseWeakMemoryCache = weak;
    c->setMaxMemoryCost(cost);
    c->setMaxMemoryCount(count);
    return c;
  }
  static void postMemoryWarning() {
    NSNotificationCenter::defaultCenter().postNotificationName(
        UIApplicationDidReceiveMemoryWarningNotification, nullptr);
  }
};

TEST_F(MemoryCacheTest, CostAndCountLimitsEvictLeastRecentlyUsedFirst) {
  auto cache = ILMemoryCache::create(config(false, 300, 3));
  auto a = image(1), b = image(1), c = image(1), d = image(1);
  cache->setObject(a, "a", 100);
  cache->setObject(b, "b", 100);
  cache->setObject(c, "c", 100);
  EXPECT_EQ(cache->objectForKey("a"), a);  // "a" is now the most recent
  cache->setObject(d, "d", 50);            // over cost and count: "b" goes
  EXPECT_EQ(cache->objectForKey("b"), nullptr);
  EXPECT_EQ(cache->objectForKey("a"), a);
  EXPECT_EQ(cache->count(), 3u);
  EXPECT_EQ(cache->totalCost(), 250u);
  cache->setObject(image(1), "a", 10);  // replacing re-counts the cost
  EXPECT_EQ(cache->totalCost(), 160u);

  // Lowering the limit on the configuration evicts at once.
  cache->config()->setMaxMemoryCost(100);
  EXPECT_EQ(cache->totalCostLimit(), 100u);
  EXPECT_LE(cache->totalCost(), 100u);
  cache->config()->setMaxMemoryCount(1);
  EXPECT_EQ(cache->count(), 1u);
  cache->removeAllObjects();
  EXPECT_EQ(cache->count(), 0u);
  EXPECT_EQ(cache->totalCost(), 0u);
}

TEST_F(MemoryCacheTest, WeakMapResurrectsImagesHeldElsewhereWithTheirMemoryCost) {
  auto cache = ILMemoryCache::create(config(true, 100));
  auto shown = image(4);  // still held, as by an image view
  cache->setObject(shown, "shown", 80);
  cache->setObject(image(4), "dropped", 80);  // evicts "shown"; held by nobody else
  EXPECT_EQ(cache->count(), 1u);
  EXPECT_EQ(cache->objectForKey("shown"), shown);
  EXPECT_EQ(cache->totalCost(), il_memoryCost(*shown));  // back in with its own cost
  EXPECT_EQ(cache->objectForKey("dropped"), nullptr);

  // A memory warning empties the store but not the weak map.
  postMemoryWarning();
  EXPECT_EQ(cache->count(), 0u);
  EXPECT_EQ(cache->objectForKey("shown"), shown);
  cache->removeObjectForKey("shown");
  EXPECT_EQ(cache->objectForKey("shown"), nullptr);
  cache->setObject(shown, "again");
  cache->removeAllObjects();
  EXPECT_EQ(cache->objectForKey("again"), nullptr);
}

TEST_F(MemoryCacheTest, WithoutTheWeakMapEvictedImagesAreGone) {
  auto cache = ILMemoryCache::create(config(false));
  auto shown = image(2);
  cache->setObject(shown, "k");
  postMemoryWarning();
  EXPECT_EQ(cache->objectForKey("k"), nullptr);
  cache->setObject(nullptr, "k");  // a nil object removes
  EXPECT_EQ(cache->count(), 0u);
  // A released cache hears no more warnings.
  cache.reset();
  postMemoryWarning();
}

TEST_F(MemoryCacheTest, ConcurrentStoresLookupsAndRemovalsStayConsistent) {
  auto cache = ILMemoryCache::create(config(true, 50 * 16, 40));
  auto queue = dispatch_queue_create("memory-cache-test", DispatchQueueAttr::Concurrent);
  constexpr int kWorkers = 8;
  auto done = dispatch_semaphore_create(0);
  std::atomic<int> wrongHits{0};
  for (int w = 0; w < kWorkers; ++w) {
    dispatch_async(queue, [cache, w, done, &wrongHits] {
      for (int i = 0; i < 400; ++i) {
        const std::string key = std::to_string((w * 7 + i) % 60);
        auto img = image(2);
        il_setMemoryCost(*img, 16);
        cache->setObject(img, key, 16);
        auto found = cache->objectForKey(key);
        if (found && !dynamic_cast<UIImage*>(found.get())) wrongHits++;
        if (i % 50 == 0) cache->removeObjectForKey(key);
        if (i % 170 == 0) cache->didReceiveMemoryWarning();
      }
      dispatch_semaphore_signal(done);
    });
  }
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  }
  EXPECT_EQ(wrongHits.load(), 0);
  EXPECT_LE(cache->count(), 40u);
  EXPECT_LE(cache->totalCost(), 50u * 16);
}

}  // namespace

}  // namespace memory_cache_test
