// Limits of the disk cache's expiry: the size limit reached exactly, the trim
// target reached exactly, and a file exactly as old as the age limit.

#include <sys/time.h>

#include <cmath>
#include <memory>
#include <string>

#include "image_loading/cache/ILDiskCache.h"
#include "platform/foundation/PlatformClock.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace boundaries_test {

namespace {

class DiskCacheBoundariesTest : public PlatformTest {
 protected:
  std::unique_ptr<ILDiskCache> makeCache(const ILImageCacheConfigPtr& config) {
    return std::make_unique<ILDiskCache>(folder.path() + "/cache", config);
  }
  static void setDates(const std::string& path, time_t seconds) {
    struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
  }
  // Files of one 4 KiB block each, "f0" the oldest.
  static void fill(ILDiskCache& cache, int files, time_t newest) {
    for (int i = 0; i < files; ++i) {
      const std::string key = "f" + std::to_string(i);
      ASSERT_TRUE(cache.setData(NSData::dataWithBytes(std::string(4000, 'x').data(), 4000), key));
      setDates(cache.cachePathForKey(key), newest - 100 * (files - i));
    }
  }
  static int kept(ILDiskCache& cache, int files) {
    int n = 0;
    for (int i = 0; i < files; ++i) n += cache.containsDataForKey("f" + std::to_string(i));
    return n;
  }
  TempFolder folder;
};

TEST_F(DiskCacheBoundariesTest, SizeTrimStartsPastTheLimitAndStopsBelowHalfOfIt) {
  constexpr uint64_t kBlock = 4096;
  struct Row {
    int files;
    uint64_t maxSize;
    int kept;
  } rows[] = {
      {3, 3 * kBlock, 3},  // exactly the limit: nothing goes
      {3, 3 * kBlock + 1, 3},
      {3, 3 * kBlock - 1, 1},  // one byte over: down to below half
      {5, 4 * kBlock, 1},      // two blocks is half exactly: not below it, one more goes
      {5, 4 * kBlock + 2, 2},  // half is a byte more: two blocks are below it
      {5, 0, 5},               // no limit
  };
  for (const Row& r : rows) {
    auto config = std::make_shared<ILImageCacheConfig>();
    config->maxDiskAge = -1;
    config->maxDiskSize = r.maxSize;
    auto cache = makeCache(config);
    cache->removeAllData();
    fill(*cache, r.files, time_t(PlatformClock::wallNow()));
    cache->removeExpiredData();
    EXPECT_EQ(kept(*cache, r.files), r.kept) << r.files << " files, limit " << r.maxSize;
    // The newest survive.
    EXPECT_TRUE(cache->containsDataForKey("f" + std::to_string(r.files - 1))) << r.maxSize;
  }
}

TEST_F(DiskCacheBoundariesTest, AFileExactlyAsOldAsTheAgeLimitExpires) {
  // Bring the wall clock to a whole second so file dates can equal the cut-off.
  const double wall = PlatformClock::wallNow();
  advance(std::ceil(wall) - wall);
  const time_t now = time_t(PlatformClock::wallNow());
  ASSERT_EQ(double(now), PlatformClock::wallNow());
  struct Row {
    int age;
    bool kept;
  } rows[] = {{999, true}, {1000, false}, {1001, false}};
  auto config = std::make_shared<ILImageCacheConfig>();
  config->maxDiskAge = 1000;
  auto cache = makeCache(config);
  for (const Row& r : rows) {
    const std::string key = "aged" + std::to_string(r.age);
    ASSERT_TRUE(cache->setData(NSData::dataWithBytes("x", 1), key));
    setDates(cache->cachePathForKey(key), now - r.age);
  }
  cache->removeExpiredData();
  for (const Row& r : rows) {
    EXPECT_EQ(cache->containsDataForKey("aged" + std::to_string(r.age)), r.kept) << r.age;
  }
}

}  // namespace

}  // namespace boundaries_test
