#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "image_loading/cache/ILDiskCache.h"
#include "image_loading/cache/internal/ILFileAttributeHelper.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/Value.h"
#include "support/ScriptedFileIO.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace disk_cache_test {

namespace {

class DiskCacheTest : public PlatformTest {
 protected:
  std::string cacheFolder() const { return folder.path() + "/cache"; }
  std::unique_ptr<ILDiskCache> makeCache(ILImageCacheConfigPtr config = nullptr) {
    return std::make_unique<ILDiskCache>(cacheFolder(),
                                         config ? config : std::make_shared<ILImageCacheConfig>());
  }
  static NSDataPtr bytes(const std::string& text) {
    return NSData::dataWithBytes(text.data(), text.size());
  }
  static std::string text(const NSDataPtr& data) {
    return data ? std::string(data->bytes(), data->bytes() + data->length()) : "<nil>";
  }
  // md5sum of the key, as the shell tool prints it.
  std::string md5sum(const std::string& key) const {
    const std::string input = folder.writeFile("md5-input", key);
    FILE* p = popen(("md5sum '" + input + "'").c_str(), "r");
    std::array<char, 33> hex{};
    EXPECT_EQ(fread(hex.data(), 1, 32, p), 32u);
    pclose(p);
    return std::string(hex.data(), 32);
  }
  static void setDates(const std::string& path, double seconds) {
    struct timeval times[2] = {{static_cast<time_t>(seconds), 0},
                               {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
  }
  static double now() { return PlatformClock::wallNow(); }
  // Names in the cache folder, hidden ones included.
  std::vector<std::string> folderNames() const {
    return NSFileManager().contentsOfDirectoryAtPath(cacheFolder()).value_or(
        std::vector<std::string>{});
  }

  TempFolder folder;
};

TEST_F(DiskCacheTest, FileNamesAreTheMd5OfTheKeyWithTheExtensionRule) {
  const std::string urlKey = "https://example.com/photos/cat.png?size=large";
  EXPECT_EQ(ILDiskCacheFileNameForKey(urlKey), md5sum(urlKey) + ".png");
  EXPECT_EQ(ILDiskCacheFileNameForKey("plain/name.jpeg"), md5sum("plain/name.jpeg") + ".jpeg");
  EXPECT_EQ(ILDiskCacheFileNameForKey("no-extension"), md5sum("no-extension"));
  // ":" and NUL are taken out of the extension; a "/" decoded from a URL
  // ends the extension's component, so it never names a sub-folder.
  const std::string odd = std::string("odd.p:n\0g", 9);
  EXPECT_EQ(ILDiskCacheFileNameForKey(odd), md5sum(odd) + ".png");
  EXPECT_EQ(ILDiskCacheFileNameForKey("https://h/a.x%2Fy"), md5sum("https://h/a.x%2Fy"));

  // The limit is 255 bytes of name: 222 bytes of extension fit, 223 do not.
  const std::string fits = "k." + std::string(222, 'e');
  EXPECT_EQ(ILDiskCacheFileNameForKey(fits).size(), 255u);
  EXPECT_EQ(ILDiskCacheFileNameForKey("k." + std::string(223, 'e')).size(), 32u);
  // 111 two-byte characters are 222 bytes and fit; 112 (224 bytes) do not.
  std::string wide;
  for (int i = 0; i < 112; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(ILDiskCacheFileNameForKey("k." + wide).size(), 32u);
  EXPECT_EQ(ILDiskCacheFileNameForKey("k." + wide.substr(2)).size(), 255u);
}

TEST_F(DiskCacheTest, WritesReadsAndRemovesRealFiles) {
  auto cache = makeCache();
  std::string key = "k.";
  for (int i = 0; i < 111; ++i) key += "\xC3\xA9";
  for (const std::string& k : {std::string("https://h/a.png"), std::string("a/b:c"), key}) {
    ASSERT_TRUE(cache->setData(bytes("data of " + k), k)) << k;
    EXPECT_TRUE(cache->containsDataForKey(k));
    EXPECT_EQ(text(cache->dataForKey(k)), "data of " + k);
    EXPECT_EQ(cache->cachePathForKey(k), cacheFolder() + "/" + ILDiskCacheFileNameForKey(k));
  }
  EXPECT_EQ(cache->totalCount(), 3u);  // no temporary file is left behind
  cache->removeDataForKey("a/b:c");
  EXPECT_FALSE(cache->containsDataForKey("a/b:c"));
  EXPECT_EQ(cache->dataForKey("a/b:c"), nullptr);
  cache->removeAllData();
  EXPECT_EQ(cache->totalCount(), 0u);
  struct stat st;
  EXPECT_EQ(stat(cacheFolder().c_str(), &st), 0);  // made again after clearing
}

TEST_F(DiskCacheTest, TemporariesOfKilledWritesAreNotCountedAndGoAway) {
  // A write killed midway left its temporary an hour ago; another is being
  // written right now.
  folder.writeFile("cache/.il-tmp-dead01", std::string(5000, 'x'));
  setDates(cacheFolder() + "/.il-tmp-dead01", now() - 3600);
  auto cache = makeCache();
  EXPECT_EQ(folderNames(), std::vector<std::string>{}) << "removed when the cache opens";

  folder.writeFile("cache/.il-tmp-live01", std::string(7000, 'y'));
  folder.writeFile("cache/.il-tmp-dead02", std::string(9000, 'z'));
  setDates(cacheFolder() + "/.il-tmp-dead02", now() - 3600);
  ASSERT_TRUE(cache->setData(bytes("12345"), "k"));
  EXPECT_EQ(cache->totalCount(), 1u);
  EXPECT_EQ(cache->totalSize(), 5u);
  cache->removeExpiredData();
  std::vector<std::string> names = folderNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".il-tmp-live01", ILDiskCacheFileNameForKey("k")}));
}

TEST_F(DiskCacheTest, LegacyFileWithoutExtensionIsFoundAndReadsTouchTheAccessDate) {
  auto cache = makeCache();
  const std::string key = "https://h/legacy.jpg";
  const std::string legacy = cacheFolder() + "/" + md5sum(key);
  folder.writeFile("cache/" + md5sum(key), std::string("old bytes"));
  EXPECT_TRUE(cache->containsDataForKey(key));
  setDates(legacy, now() - 5000);
  EXPECT_EQ(text(cache->dataForKey(key)), "old bytes");
  struct stat st;
  ASSERT_EQ(stat(legacy.c_str(), &st), 0);
  EXPECT_GT(static_cast<double>(st.st_atime), now() - 100);
}

TEST_F(DiskCacheTest, ExpiryRemovesByAgeThenTrimsOldestFirstToHalf) {
  auto config = std::make_shared<ILImageCacheConfig>();
  config->maxDiskAge = 1000;
  config->maxDiskSize = 3 * 4096;
  auto cache = makeCache(config);
  const double t = now();
  // Allocated sizes count: each file takes one 4 KiB block.
  const std::array<std::pair<const char*, double>, 5> files = {
      {{"ancient", t - 5000}, {"old", t - 900}, {"middle", t - 500}, {"new", t - 100},
       {"newest", t - 10}}};
  for (const auto& [key, date] : files) {
    ASSERT_TRUE(cache->setData(bytes(std::string(4000, 'x')), key));
    setDates(cache->cachePathForKey(key), date);
  }
  cache->removeExpiredData();
  // "ancient" goes by age; 4 blocks remain over a 3-block limit, so the oldest
  // go until fewer than 1.5 blocks are left.
  EXPECT_FALSE(cache->containsDataForKey("ancient"));
  EXPECT_FALSE(cache->containsDataForKey("old"));
  EXPECT_FALSE(cache->containsDataForKey("middle"));
  EXPECT_FALSE(cache->containsDataForKey("new"));
  EXPECT_TRUE(cache->containsDataForKey("newest"));
}

TEST_F(DiskCacheTest, ExpiryHonoursTheDateKeyAndANegativeAge) {
  auto config = std::make_shared<ILImageCacheConfig>();
  config->maxDiskAge = -1;
  auto cache = makeCache(config);
  ASSERT_TRUE(cache->setData(bytes("x"), "a"));
  setDates(cache->cachePathForKey("a"), 1000);
  cache->removeExpiredData();
  EXPECT_TRUE(cache->containsDataForKey("a"));  // no age limit

  // By modification date, a fresh access date does not save an old file.
  config->maxDiskAge = 100;
  config->diskCacheExpireType = 1;
  struct timeval times[2] = {{static_cast<time_t>(now()), 0}, {1000, 0}};
  ASSERT_EQ(utimes(cache->cachePathForKey("a").c_str(), times), 0);
  cache->removeExpiredData();
  EXPECT_FALSE(cache->containsDataForKey("a"));

  // By access date (the default), a read keeps an otherwise old file.
  config->diskCacheExpireType = 0;
  ASSERT_TRUE(cache->setData(bytes("y"), "b"));
  setDates(cache->cachePathForKey("b"), 1000);
  ASSERT_NE(cache->dataForKey("b"), nullptr);
  cache->removeExpiredData();
  EXPECT_TRUE(cache->containsDataForKey("b"));
}

TEST_F(DiskCacheTest, ExpiryAndAccessDatesFollowThePlatformClock) {
  auto config = std::make_shared<ILImageCacheConfig>();
  config->maxDiskAge = 1000;
  auto cache = makeCache(config);
  ASSERT_TRUE(cache->setData(bytes("read later"), "read"));
  ASSERT_TRUE(cache->setData(bytes("left alone"), "idle"));
  cache->removeExpiredData();
  EXPECT_TRUE(cache->containsDataForKey("idle"));  // just written: not expired

  advance(600);
  ASSERT_NE(cache->dataForKey("read"), nullptr);  // dated at the clock's "now"
  struct stat st;
  ASSERT_EQ(stat(cache->cachePathForKey("read").c_str(), &st), 0);
  EXPECT_NEAR(static_cast<double>(st.st_atime), now(), 2);
  advance(600);
  cache->removeExpiredData();
  EXPECT_FALSE(cache->containsDataForKey("idle"));  // 1200 s old by the clock
  EXPECT_TRUE(cache->containsDataForKey("read"));   // read 600 s ago
}

TEST_F(DiskCacheTest, AFullDiskFailsTheWriteVisiblyAndLeavesNothingHalfWritten) {
  auto io = std::make_shared<ScriptedFileIO>();
  auto config = std::make_shared<ILImageCacheConfig>();
  config->fileManager = std::make_shared<NSFileManager>(io);
  auto cache = makeCache(config);
  ASSERT_TRUE(cache->setData(bytes("the old image"), "photo.png"));

  const std::string big(100000, 'n');
  io->failWritesAfter(4096);  // a part gets written before the disk is full
  NSErrorPtr error;
  EXPECT_FALSE(cache->setData(bytes(big), "photo.png", &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
  EXPECT_EQ(error->code(), ENOSPC);
  EXPECT_EQ(text(cache->dataForKey("photo.png")), "the old image");
  EXPECT_FALSE(cache->setData(bytes(big), "fresh.png", &error));
  EXPECT_FALSE(cache->containsDataForKey("fresh.png"));
  EXPECT_EQ(folderNames(), (std::vector<std::string>{ILDiskCacheFileNameForKey("photo.png")}));
  EXPECT_EQ(io->temporaries().size(), 3u);
  EXPECT_EQ(io->unlinked().size(), 2u);  // both temporaries of the failed writes

  // A full disk that shows only when flushing, and a failing rename.
  io->heal();
  io->failSync(ENOSPC);
  EXPECT_FALSE(cache->setData(bytes("flushed"), "photo.png", &error));
  EXPECT_EQ(error->code(), ENOSPC);
  io->heal();
  io->failRename(EROFS);
  EXPECT_FALSE(cache->setData(bytes("renamed"), "photo.png", &error));
  EXPECT_EQ(error->code(), EROFS);
  EXPECT_EQ(text(cache->dataForKey("photo.png")), "the old image");
  EXPECT_EQ(folderNames().size(), 1u);

  io->heal();
  EXPECT_TRUE(cache->setData(bytes(big), "photo.png"));
  EXPECT_EQ(cache->dataForKey("photo.png")->length(), big.size());
}

TEST_F(DiskCacheTest, ExtendedDataSurvivesANewCacheAndOversizeIsRefusedVisibly) {
  {
    auto cache = makeCache();
    ASSERT_TRUE(cache->setData(bytes("image"), "key.png"));
    ASSERT_TRUE(cache->setExtendedData(bytes("first"), "key.png"));
    ASSERT_TRUE(cache->setExtendedData(bytes("second"), "key.png"));  // overwrites
  }
  auto cache = makeCache();
  EXPECT_EQ(text(cache->extendedDataForKey("key.png")), "second");

  NSErrorPtr error;
  EXPECT_FALSE(cache->setExtendedData(NSData::dataWithBytes(Bytes(1 << 20, 7)), "key.png",
                                      &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
  EXPECT_TRUE(error->code() == E2BIG || error->code() == ENOSPC) << error->code();
  EXPECT_EQ(text(cache->extendedDataForKey("key.png")), "second");  // the old value stays

  ASSERT_TRUE(cache->setExtendedData(nullptr, "key.png"));
  EXPECT_EQ(cache->extendedDataForKey("key.png"), nullptr);
  EXPECT_TRUE(cache->setExtendedData(nullptr, "key.png"));  // removing nothing is fine
  EXPECT_FALSE(cache->setExtendedData(bytes("x"), "missing", &error));
  EXPECT_EQ(error->code(), ENOENT);
}

TEST_F(DiskCacheTest, DataAndItsExtendedDataAppearTogetherOrNotAtAll) {
  auto io = std::make_shared<ScriptedFileIO>();
  auto config = std::make_shared<ILImageCacheConfig>();
  config->fileManager = std::make_shared<NSFileManager>(io);
  auto cache = makeCache(config);
  const std::string attribute = std::string("user.") + ILDiskCacheExtendedAttributeName;

  // The file carries its attribute already when it takes the cache name.
  ASSERT_TRUE(cache->setDataWithExtendedData(bytes("image"), bytes("extra"), "key.png"));
  auto renames = io->renames();
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0].to, cache->cachePathForKey("key.png"));
  EXPECT_EQ(renames[0].attributes[attribute], "extra");
  EXPECT_EQ(text(cache->dataForKey("key.png")), "image");
  EXPECT_EQ(text(cache->extendedDataForKey("key.png")), "extra");

  // New data without extended data does not inherit the old file's.
  ASSERT_TRUE(cache->setDataWithExtendedData(bytes("newer"), nullptr, "key.png"));
  EXPECT_EQ(io->renames().back().attributes.count(attribute), 0u);
  EXPECT_EQ(cache->extendedDataForKey("key.png"), nullptr);
  ASSERT_TRUE(cache->setData(bytes("plain"), "key.png"));
  EXPECT_EQ(io->renames().back().attributes.count(attribute), 0u);

  // A write that fails at its last step leaves the old pair as it was.
  ASSERT_TRUE(cache->setDataWithExtendedData(bytes("kept"), bytes("kept extra"), "key.png"));
  io->failRename(EIO);
  NSErrorPtr error;
  EXPECT_FALSE(cache->setDataWithExtendedData(bytes("lost"), bytes("lost extra"), "key.png", &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), EIO);
  EXPECT_EQ(text(cache->dataForKey("key.png")), "kept");
  EXPECT_EQ(text(cache->extendedDataForKey("key.png")), "kept extra");
  EXPECT_EQ(folderNames().size(), 1u);
  io->heal();

  // Extended data too large for an attribute: the data is stored without
  // it, and the refusal is said.
  NSErrorPtr extendedError;
  error = nullptr;
  EXPECT_TRUE(cache->setDataWithExtendedData(bytes("big"), NSData::dataWithBytes(Bytes(1 << 20, 7)), "key.png",
                                             &error, &extendedError));
  EXPECT_EQ(error, nullptr);
  ASSERT_NE(extendedError, nullptr);
  EXPECT_TRUE(extendedError->code() == E2BIG || extendedError->code() == ENOSPC) << extendedError->code();
  EXPECT_EQ(text(cache->dataForKey("key.png")), "big");
  EXPECT_EQ(cache->extendedDataForKey("key.png"), nullptr);
  EXPECT_EQ(folderNames().size(), 1u);
}

TEST_F(DiskCacheTest, AttributeHelperDoesNotFollowLinksUnlessAsked) {
  const std::string target = folder.writeFile("target", std::string("t"));
  const std::string link = folder.path() + "/link";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  NSErrorPtr error;
  ASSERT_TRUE(ILFileAttributeHelper::setExtendedAttribute("n", {1, 2}, link, true, true));
  EXPECT_TRUE(ILFileAttributeHelper::hasExtendedAttribute("n", target, false));
  EXPECT_FALSE(ILFileAttributeHelper::hasExtendedAttribute("n", link, false));
  EXPECT_EQ(ILFileAttributeHelper::extendedAttribute("n", link, true), (Bytes{1, 2}));
  EXPECT_FALSE(ILFileAttributeHelper::extendedAttribute("n", link, false, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->userInfo().find("function")->asString(), "getxattr");
  EXPECT_EQ(error->userInfo().find(":name")->asString(), "n");
  EXPECT_EQ(error->userInfo().find(":path")->asString(), link);
  EXPECT_EQ(error->userInfo().find(":traverseLink")->asInt64(), 0);
  EXPECT_FALSE(error->userInfo().find(":overwrite")) << "set only";
  // Create-only refuses an existing attribute.
  EXPECT_FALSE(ILFileAttributeHelper::setExtendedAttribute("n", {3, 4, 5}, target, true, false,
                                                           &error));
  EXPECT_EQ(error->code(), EEXIST);
  EXPECT_EQ(error->userInfo().find("function")->asString(), "setxattr");
  EXPECT_EQ(error->userInfo().find(":value.length")->asInt64(), 3);
  EXPECT_EQ(error->userInfo().find(":overwrite")->asInt64(), 0);
  EXPECT_EQ(error->userInfo().find(":traverseLink")->asInt64(), 1);
  EXPECT_EQ(error->userInfo().find(":path")->asString(), target);
  EXPECT_EQ(ILFileAttributeHelper::extendedAttributeNamesAtPath(target, false),
            (std::vector<std::string>{"n"}));
  EXPECT_TRUE(ILFileAttributeHelper::removeExtendedAttribute("n", target, false));
  EXPECT_EQ(ILFileAttributeHelper::extendedAttributeNamesAtPath(target, false),
            (std::vector<std::string>{}));
  EXPECT_FALSE(ILFileAttributeHelper::extendedAttributeNamesAtPath("/nonexistent", true,
                                                                   &error));
  EXPECT_EQ(error->userInfo().find("function")->asString(), "listxattr");
}

TEST_F(DiskCacheTest, MovesAndMergesOldFolders) {
  const std::string source = folder.makeFolder("old");
  folder.writeFile("old/a", std::string("old a"));
  folder.writeFile("old/b", std::string("old b"));
  auto cache = makeCache();
  ASSERT_TRUE(cache->setData(bytes("new b"), "k"));
  const std::string clash = cache->cachePathForKey("k");
  rename(clash.c_str(), (cacheFolder() + "/b").c_str());

  cache->moveCacheDirectory(source, cacheFolder());  // merge into the existing folder
  EXPECT_EQ(text(NSData::dataWithContentsOfFile(cacheFolder() + "/a")), "old a");
  EXPECT_EQ(text(NSData::dataWithContentsOfFile(cacheFolder() + "/b")), "new b");
  EXPECT_NE(access(source.c_str(), F_OK), 0);

  // A file where the destination should be is replaced by the moved folder.
  folder.makeFolder("old2");
  folder.writeFile("old2/c", std::string("c"));
  folder.writeFile("parent/dest", std::string("in the way"));
  cache->moveCacheDirectory(folder.path() + "/old2", folder.path() + "/parent/dest");
  EXPECT_EQ(text(NSData::dataWithContentsOfFile(folder.path() + "/parent/dest/c")), "c");
  // A missing or non-folder source changes nothing.
  cache->moveCacheDirectory(folder.path() + "/none", folder.path() + "/parent/dest");
  EXPECT_EQ(text(NSData::dataWithContentsOfFile(folder.path() + "/parent/dest/c")), "c");
}

TEST_F(DiskCacheTest, SizesCountsAndBadFolders) {
  auto cache = makeCache();
  ASSERT_TRUE(cache->setData(bytes("12345"), "a"));
  ASSERT_TRUE(cache->setData(bytes("123"), "b"));
  EXPECT_EQ(cache->totalSize(), 8u);
  EXPECT_EQ(cache->totalCount(), 2u);

  // A cache folder that is a file: writes fail with an error, reads give nil.
  folder.writeFile("blocked", std::string("file"));
  ILDiskCache blocked(folder.path() + "/blocked", std::make_shared<ILImageCacheConfig>());
  NSErrorPtr error;
  EXPECT_FALSE(blocked.setData(bytes("x"), "k", &error));
  EXPECT_NE(error, nullptr);
  EXPECT_EQ(blocked.dataForKey("k"), nullptr);
  EXPECT_EQ(blocked.totalCount(), 0u);
  blocked.removeExpiredData();  // nothing to walk, no crash

  // A corrupt (unreadable) file reads as nil rather than failing loudly.
  if (geteuid() != 0) {
    ASSERT_TRUE(cache->setData(bytes("secret"), "locked"));
    chmod(cache->cachePathForKey("locked").c_str(), 0);
    EXPECT_EQ(cache->dataForKey("locked"), nullptr);
  }
}

}  // namespace

}  // namespace disk_cache_test
