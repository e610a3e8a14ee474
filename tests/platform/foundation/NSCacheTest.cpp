#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/NSCache.h"
#include "platform/foundation/NSObject.h"
#include "support/TestEnvironment.h"

namespace ns_cache_test {

namespace {

struct Item : NSObject {
  explicit Item(int v) : value(v) {}
  int value;
};
using Cache = NSCache<std::string, Item>;

struct Evictions : NSCacheDelegate<std::string, Item> {
  std::vector<int> evicted;
  Cache* cache = nullptr;
  void cacheWillEvictObject(Cache& c, const std::shared_ptr<Item>& item) override {
    evicted.push_back(item->value);
    // The cache may be used from the callback.
    EXPECT_EQ(&c, cache);
    c.objectForKey("a");
  }
};

using NSCacheTest = PlatformTest;

TEST_F(NSCacheTest, CostLimitEvictsLeastRecentlyUsedFirst) {
  Cache cache;
  auto delegate = std::make_shared<Evictions>();
  delegate->cache = &cache;
  cache.setDelegate(delegate);
  cache.setTotalCostLimit(10);
  cache.setObject(std::make_shared<Item>(1), "a", 4);
  cache.setObject(std::make_shared<Item>(2), "b", 4);
  ASSERT_TRUE(cache.objectForKey("a"));  // a is now more recent than b
  cache.setObject(std::make_shared<Item>(3), "c", 4);
  EXPECT_EQ(delegate->evicted, std::vector<int>{2});
  EXPECT_FALSE(cache.objectForKey("b"));
  EXPECT_EQ(cache.objectForKey("a")->value, 1);
  EXPECT_EQ(cache.totalCost(), 8u);

  // Replacing a key counts its new cost only, and is no eviction.
  cache.setObject(std::make_shared<Item>(4), "a", 1);
  EXPECT_EQ(cache.totalCost(), 5u);
  EXPECT_EQ(delegate->evicted.size(), 1u);
  // An object dearer than the limit does not stay, nor does it keep others out.
  cache.setObject(std::make_shared<Item>(5), "big", 11);
  EXPECT_FALSE(cache.objectForKey("big"));
  EXPECT_EQ(cache.count(), 2u);
  EXPECT_EQ(delegate->evicted, (std::vector<int>{2, 5}));
  // Lowering the limit evicts at once.
  cache.setTotalCostLimit(1);
  EXPECT_EQ(cache.count(), 1u);
  EXPECT_EQ(cache.objectForKey("a")->value, 4);
}

TEST_F(NSCacheTest, CountLimitRemovalAndNoLimits) {
  Cache cache;
  for (int i = 0; i < 5; ++i) cache.setObject(std::make_shared<Item>(i), std::to_string(i));
  EXPECT_EQ(cache.count(), 5u);  // 0: no limit
  cache.setCountLimit(2);
  EXPECT_EQ(cache.count(), 2u);
  EXPECT_TRUE(cache.objectForKey("3") && cache.objectForKey("4"));

  // Removals are not evictions, and a null object removes its key.
  auto delegate = std::make_shared<Evictions>();
  delegate->cache = &cache;
  cache.setDelegate(delegate);
  cache.removeObjectForKey("3");
  cache.setObject(nullptr, "4");
  EXPECT_EQ(cache.count(), 0u);
  cache.setObject(std::make_shared<Item>(7), "x", 3);
  cache.removeAllObjects();
  EXPECT_EQ(cache.totalCost(), 0u);
  EXPECT_TRUE(delegate->evicted.empty());
  // The delegate is held weakly.
  delegate.reset();
  EXPECT_EQ(cache.delegate(), nullptr);
}

}  // namespace

}  // namespace ns_cache_test
