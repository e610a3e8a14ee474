#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/cache/ILExtendedObjectCoding.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/OSLog.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImage.h"
#include "support/RecordedLog.h"
#include "support/ScriptedFileIO.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace image_cache_test {

namespace {

struct Answer {
  UIImagePtr image;
  NSDataPtr data;
  ILImageCacheKind kind = -1;
  int calls = 0;
};

class ImageCacheTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    cache = ILImageCache::create("test", folder.path());
  }

  // No alpha channel at all, so the cache picks JPEG.
  static UIImagePtr opaqueImage() {
    auto bytes = std::make_shared<Bytes>(6 * 4 * 4);
    for (size_t i = 0; i < bytes->size(); i += 4) {
      (*bytes)[i] = 200;
      (*bytes)[i + 1] = 10;
      (*bytes)[i + 2] = 20;
    }
    return UIImage::imageWithCGImage(
        CGImage::create(6, 4, 8, 32, 6 * 4, kCGImageAlphaNoneSkipLast, bytes));
  }
  static UIImagePtr clearImage() { return il_test::SolidUIImage(6, 4, {0, 0, 200, 100}); }
  static ILImageCacheQueryCompletion record(std::shared_ptr<Answer> answer) {
    return [answer](UIImagePtr image, NSDataPtr data, ILImageCacheKind kind) {
      answer->image = image;
      answer->data = data;
      answer->kind = kind;
      answer->calls++;
    };
  }
  // Answers delivered inline on whatever thread gives them, signalling.
  static ILRemoteImageContext inlineContext() {
    auto queue = std::make_shared<ILCallbackQueue>(dispatch_get_main_queue());
    queue->setPolicy(ILCallbackQueuePolicyInvoke);
    return Value::map({{ILRemoteImageContextCallbackQueue, Value(std::shared_ptr<NSObject>(queue))}});
  }
  // Everything queued on the I/O queue before this call has run.
  void flushIO() { cache->diskImageDataExistsWithKey("flush"); }
  void storeAndWait(const UIImagePtr& image, const NSDataPtr& data, const std::string& key) {
    auto done = dispatch_semaphore_create(0);
    cache->storeImage(image, data, key, 0, inlineContext(), ILImageCacheKindAll,
                      [done] { dispatch_semaphore_signal(done); });
    ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  }

  TempFolder folder;
  ILImageCachePtr cache;
};

TEST_F(ImageCacheTest, QueryAnswersAsTheOptionsSay) {
  auto answer = std::make_shared<Answer>();
  // Memory only, missing: (nil, nil, 2) at once, no token.
  EXPECT_EQ(cache->queryCacheOperationForKey("k", 0, Value(), ILImageCacheKindMemory,
                                             record(answer)),
            nullptr);
  EXPECT_EQ(answer->calls, 1);
  EXPECT_EQ(answer->kind, ILImageCacheKindMemory);
  EXPECT_EQ(answer->image, nullptr);

  auto image = opaqueImage();
  storeAndWait(image, nullptr, "k");
  // Memory hit with option 8: synchronous, no token, no data.
  answer = std::make_shared<Answer>();
  EXPECT_EQ(cache->queryCacheOperationForKey("k", 8, Value(), ILImageCacheKindAll, record(answer)),
            nullptr);
  EXPECT_EQ(answer->calls, 1);
  EXPECT_EQ(answer->image, image);
  EXPECT_EQ(answer->kind, ILImageCacheKindMemory);

  // Option 9 reads the disk data too, later, through the main queue.
  answer = std::make_shared<Answer>();
  auto token = cache->queryCacheOperationForKey("k", 9, Value(), ILImageCacheKindAll,
                                                record(answer));
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(answer->calls, 0);
  flushIO();
  drainMainLoop();
  EXPECT_EQ(answer->calls, 1);
  EXPECT_EQ(answer->image, image);
  ASSERT_NE(answer->data, nullptr);
  EXPECT_EQ(answer->data->bytes()[0], 0xFF);  // JPEG for an opaque image
  EXPECT_EQ(answer->kind, ILImageCacheKindDisk);

  // After the memory is cleared the disk copy is decoded, synchronously with 0x4.
  cache->clearMemory();
  answer = std::make_shared<Answer>();
  EXPECT_NE(cache->queryCacheOperationForKey("k", ILImageCacheQueryDiskDataSync, Value(),
                                             ILImageCacheKindAll, record(answer)),
            nullptr);
  EXPECT_EQ(answer->calls, 1);
  ASSERT_NE(answer->image, nullptr);
  EXPECT_TRUE(il_test::Near(il_test::PixelAt(answer->image->CGImage(), 2, 2), {200, 10, 20, 255}));
  // The query never fills the memory cache.
  EXPECT_EQ(cache->imageFromMemoryCacheForKey("k"), nullptr);

  // Nil key or type 0: (nil, nil, 0) at once.
  answer = std::make_shared<Answer>();
  EXPECT_EQ(cache->queryCacheOperationForKey("", 0, Value(), ILImageCacheKindAll, record(answer)),
            nullptr);
  EXPECT_EQ(answer->kind, ILImageCacheKindNone);
}

TEST_F(ImageCacheTest, CancelledTokenAnswersExactlyOnceWithNothing) {
  auto gate = dispatch_semaphore_create(0);
  auto entered = dispatch_semaphore_create(0);
  // Holds the I/O queue inside the first query until the test lets go.
  cache->setAdditionalCachePathBlock([gate, entered](const std::string& key) {
    if (key == "blocker") {
      dispatch_semaphore_signal(entered);
      dispatch_semaphore_wait(gate, dispatch_time_after(kTestTimeoutSeconds));
    }
    return std::string();
  });
  storeAndWait(nullptr, NSData::dataWithBytes("x", 1), "stored");
  auto blocker = std::make_shared<Answer>();
  auto answer = std::make_shared<Answer>();
  cache->queryCacheOperationForKey("blocker", 0, Value(), ILImageCacheKindAll, record(blocker));
  ASSERT_EQ(dispatch_semaphore_wait(entered, dispatch_time_after(kTestTimeoutSeconds)), 0);
  auto token = cache->queryCacheOperationForKey("stored", 0, Value(), ILImageCacheKindAll,
                                                record(answer));
  ASSERT_NE(token, nullptr);
  token->cancel();
  token->cancel();
  EXPECT_TRUE(token->isCancelled());
  dispatch_semaphore_signal(gate);
  flushIO();
  drainMainLoop();
  EXPECT_EQ(answer->calls, 1);
  EXPECT_EQ(answer->kind, ILImageCacheKindNone);
  EXPECT_EQ(answer->data, nullptr);
  EXPECT_EQ(blocker->calls, 1);  // the blocker answers as a miss
}

TEST_F(ImageCacheTest, RacingCancelsStillGiveOneAnswerPerToken) {
  storeAndWait(nullptr, NSData::dataWithBytes("bytes", 5), "k");
  constexpr int kQueries = 200;
  std::vector<std::atomic<int>> calls(kQueries);
  auto answered = dispatch_semaphore_create(0);
  auto workers = dispatch_queue_create("cancellers", DispatchQueueAttr::Concurrent);
  for (int i = 0; i < kQueries; ++i) {
    auto token = cache->queryCacheOperationForKey(
        "k", 0, inlineContext(), ILImageCacheKindDisk,
        [&calls, i, answered](UIImagePtr, NSDataPtr, ILImageCacheKind) {
          calls[i]++;
          dispatch_semaphore_signal(answered);
        });
    if (i % 2 == 0) dispatch_async(workers, [token] { token->cancel(); });
  }
  for (int i = 0; i < kQueries; ++i) {
    ASSERT_EQ(dispatch_semaphore_wait(answered, dispatch_time_after(kTestTimeoutSeconds)), 0);
  }
  flushIO();
  for (int i = 0; i < kQueries; ++i) EXPECT_EQ(calls[i].load(), 1) << i;
}

TEST_F(ImageCacheTest, StoringEncodesByAlphaAndKeepsThumbnailsApart) {
  storeAndWait(clearImage(), nullptr, "alpha");
  storeAndWait(opaqueImage(), nullptr, "opaque");
  const auto png = cache->diskImageDataForKey("alpha");
  const auto jpeg = cache->diskImageDataForKey("opaque");
  ASSERT_NE(png, nullptr);
  ASSERT_NE(jpeg, nullptr);
  EXPECT_EQ(png->bytes()[1], 'P');
  EXPECT_EQ(jpeg->bytes()[0], 0xFF);

  // A thumbnail with its full-size source under a thumbnail key: the
  // thumbnail itself is encoded, not the given bytes.
  auto thumbnail = opaqueImage();
  il_setDecodeOptions(*thumbnail, Value::map({{kILImageCoderDecodeThumbnailPixelSize,
                                               ILImageCoderSizeValue(CGSize{6, 4})}}));
  storeAndWait(thumbnail, NSData::dataWithBytes("full size", 9), "a-Thumbnail({6,4},1).png");
  auto stored = cache->diskImageDataForKey("a-Thumbnail({6,4},1).png");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->bytes()[0], 0xFF);
  // The same data under a plain key is kept as given.
  storeAndWait(thumbnail, NSData::dataWithBytes("full size", 9), "a.png");
  EXPECT_EQ(cache->diskImageDataForKey("a.png")->length(), 9u);

  // Memory only: the completion runs before the call returns.
  bool called = false;
  cache->storeImage(opaqueImage(), nullptr, "m", 0, Value(), ILImageCacheKindMemory,
                    [&called] { called = true; });
  EXPECT_TRUE(called);
  EXPECT_FALSE(cache->diskImageDataExistsWithKey("m"));
}

TEST_F(ImageCacheTest, ExtendedObjectSurvivesARestartAndUnknownTypesAreRefused) {
  auto image = opaqueImage();
  il_setExtendedObject(*image, NSData::dataWithBytes("extra", 5));
  storeAndWait(image, nullptr, "ext");
  cache.reset();
  auto again = ILImageCache::create("test", folder.path());
  auto restored = again->imageFromDiskCacheForKey("ext");
  ASSERT_NE(restored, nullptr);
  auto object = std::dynamic_pointer_cast<NSData>(il_extendedObject(*restored));
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(std::string(object->bytes(), object->bytes() + 5), "extra");

  // An object of no registered type is not written; the image still is.
  auto other = opaqueImage();
  il_setExtendedObject(*other, std::make_shared<UIImage>());
  cache = again;
  storeAndWait(other, nullptr, "other");
  EXPECT_NE(cache->diskImageDataForKey("other"), nullptr);
  EXPECT_EQ(cache->diskCache()->extendedDataForKey("other"), nullptr);

  // Hostile attribute contents decode to no extended object, not a crash.
  cache->diskCache()->setExtendedData(NSData::dataWithBytes("ILX1\x05UIIma", 10), "ext");
  auto plain = cache->imageFromDiskCacheForKey("ext");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(il_extendedObject(*plain), nullptr);
}

TEST_F(ImageCacheTest, AnImageAndItsExtendedObjectReachTheDiskInOneStep) {
  auto io = std::make_shared<ScriptedFileIO>();
  auto config = std::make_shared<ILImageCacheConfig>();
  config->fileManager = std::make_shared<NSFileManager>(io);
  cache = ILImageCache::create("test", folder.path(), config);
  auto image = opaqueImage();
  il_setExtendedObject(*image, NSData::dataWithBytes("extra", 5));
  storeAndWait(image, nullptr, "ext");
  // Whatever instant the process were killed at, the data under its cache
  // name already carried its extended data.
  const std::string target = cache->diskCache()->cachePathForKey("ext");
  auto archived = ILExtendedObjectCoding::archive(*NSData::dataWithBytes("extra", 5));
  ASSERT_TRUE(archived);
  size_t intoPlace = 0;
  for (auto& rename : io->renames()) {
    if (rename.to != target) continue;
    ++intoPlace;
    const std::string attribute = std::string("user.") + ILDiskCacheExtendedAttributeName;
    ASSERT_EQ(rename.attributes.count(attribute), 1u);
    EXPECT_EQ(rename.attributes.at(attribute), std::string(archived->begin(), archived->end()));
  }
  EXPECT_EQ(intoPlace, 1u);
  EXPECT_NE(cache->diskCache()->extendedDataForKey("ext"), nullptr);
}

TEST_F(ImageCacheTest, ExtendedCodingChecksEveryLength) {
  NSErrorPtr error;
  EXPECT_EQ(ILExtendedObjectCoding::unarchive({}, &error), nullptr);
  EXPECT_EQ(ILExtendedObjectCoding::unarchive({'I', 'L', 'X', '1', 0}, &error), nullptr);
  EXPECT_EQ(ILExtendedObjectCoding::unarchive({'I', 'L', 'X', '1', 9, 'N'}, &error), nullptr);
  EXPECT_EQ(ILExtendedObjectCoding::unarchive({'I', 'L', 'X', '2', 1, 'N'}, &error), nullptr);
  ASSERT_NE(error, nullptr);
  auto archived = ILExtendedObjectCoding::archive(*NSData::dataWithBytes("ab", 2));
  ASSERT_TRUE(archived);
  EXPECT_EQ(archived->size(), 4u + 1 + 6 + 2);
  ILExtendedObjectCoding::registerType(
      {"Refusing", [](const NSObject& o) { return dynamic_cast<const UIImage*>(&o) != nullptr; },
       [](const NSObject&) -> std::optional<Bytes> { return Bytes{1}; },
       [](const Bytes&) -> std::shared_ptr<NSObject> { return nullptr; }});
  auto refused = ILExtendedObjectCoding::archive(UIImage());
  ASSERT_TRUE(refused);
  EXPECT_EQ(ILExtendedObjectCoding::unarchive(*refused, &error), nullptr);
  ILExtendedObjectCoding::registerType(
      {"Refusing", [](const NSObject&) { return false; }, nullptr, nullptr});
}

TEST_F(ImageCacheTest, RemoveContainsClearAndSizes) {
  storeAndWait(opaqueImage(), nullptr, "a");
  storeAndWait(nullptr, NSData::dataWithBytes("12345", 5), "b");
  EXPECT_EQ(cache->totalDiskCount(), 2u);
  std::vector<ILImageCacheKind> found;
  auto note = [&found](ILImageCacheKind k) { found.push_back(k); };
  cache->containsImageForKey("a", ILImageCacheKindAll, note);  // memory: at once
  cache->containsImageForKey("b", ILImageCacheKindAll, note);  // disk: on the main queue
  cache->containsImageForKey("z", ILImageCacheKindDisk, note);
  EXPECT_EQ(found, (std::vector<ILImageCacheKind>{2}));
  flushIO();
  drainMainLoop();
  EXPECT_EQ(found, (std::vector<ILImageCacheKind>{2, 1, 0}));

  bool removed = false;
  cache->removeImageForKey("a", ILImageCacheKindAll, [&removed] { removed = true; });
  EXPECT_EQ(cache->imageFromMemoryCacheForKey("a"), nullptr);
  flushIO();
  drainMainLoop();
  EXPECT_TRUE(removed);
  EXPECT_FALSE(cache->diskImageDataExistsWithKey("a"));

  uint64_t count = 99, size = 0;
  cache->calculateSizeWithCompletionBlock([&](uint64_t c, uint64_t s) {
    count = c;
    size = s;
  });
  flushIO();
  drainMainLoop();
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(size, 5u);

  bool cleared = false;
  cache->clearWithCacheType(ILImageCacheKindAll, [&cleared] { cleared = true; });
  flushIO();
  drainMainLoop();
  EXPECT_TRUE(cleared);
  EXPECT_EQ(cache->totalDiskCount(), 0u);
}

TEST_F(ImageCacheTest, TerminationExpiresOldFiles) {
  auto config = std::make_shared<ILImageCacheConfig>();
  config->maxDiskAge = 0;  // everything is past the limit
  cache = ILImageCache::create("expiring", folder.path(), config);
  storeAndWait(nullptr, NSData::dataWithBytes("x", 1), "k");
  advance(1);  // the file's date is now in the past
  NSNotificationCenter::defaultCenter().postNotificationName(
      UIApplicationWillTerminateNotification, nullptr);
  EXPECT_FALSE(cache->diskImageDataExistsWithKey("k"));
  // The cache copied the config: later changes to the caller's object do nothing.
  config->maxDiskAge = 1000;
  EXPECT_EQ(cache->config()->maxDiskAge, 0);
}

TEST_F(ImageCacheTest, AFullDiskIsLoggedAndTheStoreStillAnswers) {
  auto io = std::make_shared<ScriptedFileIO>();
  auto config = std::make_shared<ILImageCacheConfig>();
  config->fileManager = std::make_shared<NSFileManager>(io);
  cache = ILImageCache::create("full", folder.path(), config);
  auto log = RecordedLog::install();
  io->failWritesAfter(0);
  storeAndWait(opaqueImage(), nullptr, "full.jpg");
  OSLogSetSink(nullptr);
  auto logged = log->messages();
  EXPECT_FALSE(cache->diskImageDataExistsWithKey("full.jpg"));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("Image data not stored for full.jpg"), std::string::npos) << logged[0];
  EXPECT_NE(cache->imageFromMemoryCacheForKey("full.jpg"), nullptr);  // memory still has it
}

// A memory cache of another class: a plain map that counts what it is asked.
class CountingMemoryCache : public ILMemoryCacheProtocol {
 public:
  void setObject(const std::shared_ptr<NSObject>& object, const std::string& key,
                 uint64_t) override {
    std::lock_guard<std::mutex> lock(mutex);
    objects[key] = object;
    ++stores;
  }
  std::shared_ptr<NSObject> objectForKey(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++lookups;
    auto it = objects.find(key);
    return it == objects.end() ? nullptr : it->second;
  }
  void removeObjectForKey(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mutex);
    objects.erase(key);
  }
  void removeAllObjects() override {
    std::lock_guard<std::mutex> lock(mutex);
    objects.clear();
  }
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<NSObject>> objects;
  int stores = 0, lookups = 0;
};

// A disk cache of another class: the real one, remembering which keys it wrote.
class RecordingDiskCache : public ILDiskCache {
 public:
  using ILDiskCache::ILDiskCache;
  bool setData(const NSDataPtr& data, const std::string& key, NSErrorPtr* error) override {
    written.push_back(key);
    return ILDiskCache::setData(data, key, error);
  }
  std::vector<std::string> written;
};

TEST_F(ImageCacheTest, TheConfigurationChoosesTheCacheClasses) {
  auto memory = std::make_shared<CountingMemoryCache>();
  std::shared_ptr<RecordingDiskCache> disk;
  std::string diskPath;
  auto config = std::make_shared<ILImageCacheConfig>();
  config->memoryCacheClass = [memory](const ILImageCacheConfigPtr&) { return memory; };
  config->diskCacheClass = [&](const std::string& path, const ILImageCacheConfigPtr& given) {
    diskPath = path;
    disk = std::make_shared<RecordingDiskCache>(path, given);
    return disk;
  };
  cache = ILImageCache::create("custom", folder.path(), config);
  EXPECT_EQ(cache->memoryCache(), memory);
  EXPECT_EQ(cache->diskCache(), disk);
  EXPECT_EQ(diskPath, folder.path() + "/custom");

  storeAndWait(opaqueImage(), nullptr, "k.jpg");
  EXPECT_EQ(memory->stores, 1);
  EXPECT_EQ(disk->written, (std::vector<std::string>{"k.jpg"}));
  EXPECT_NE(cache->imageFromMemoryCacheForKey("k.jpg"), nullptr);
  EXPECT_EQ(memory->lookups, 1);
  cache->clearMemory();
  EXPECT_NE(cache->imageFromDiskCacheForKey("k.jpg"), nullptr);

  // A class that makes nothing does not conform.
  config->memoryCacheClass = [](const ILImageCacheConfigPtr&) { return nullptr; };
  EXPECT_DEATH(ILImageCache::create("bad", folder.path(), config),
               "Custom memory cache class must conform to `ILMemoryCache` protocol");
  config->memoryCacheClass = nullptr;
  EXPECT_DEATH(ILImageCache::create("bad", folder.path(), config),
               "Custom memory cache class must conform");
  config = std::make_shared<ILImageCacheConfig>();
  config->diskCacheClass = nullptr;
  EXPECT_DEATH(ILImageCache::create("bad", folder.path(), config),
               "Custom disk cache class must conform to `ILDiskCache` protocol");
}

TEST_F(ImageCacheTest, OptionTranslationsAndDecodeOptions) {
  EXPECT_EQ(ILImageCacheOptionsFromImageOptions(0x800 | 0x1000 | 0x2000 | 0x4000 | 0x200000 | 0x4),
            0x8u | 0x1 | 0x2 | 0x4 | 0x80);
  EXPECT_EQ(ILImageOptionsFromCacheOptions(0x7 | 0x10 | 0x20 | 0x40), 0x40000u | 0x80000 | 0x100000);
  EXPECT_EQ(ILImageCacheOptionsFromImageOptions(ILImageOptionsFromCacheOptions(0x7)), 0u);

  EXPECT_EQ(ILScaleFactorInCacheKey("https://h/a%403x.png"), 3);
  EXPECT_EQ(ILScaleFactorInCacheKey("icon@2x.png"), 2);
  EXPECT_EQ(ILScaleFactorInCacheKey("a%403x.png"), 1);  // encoded marker only in web URLs
  Value options = ILImageDecodeOptionsFromContext(
      Value::map({{ILRemoteImageContextImageScaleFactor, Value(0.5)}}), 0x80000, "img@2x.png");
  EXPECT_EQ(options.find(kILImageCoderDecodeScaleFactor)->asDouble(), 2);  // below 1: ignored
  EXPECT_TRUE(options.find(kILImageCoderDecodeFirstFrameOnly)->asBool());
  EXPECT_EQ(options.find(kILImageCoderDecodeFileExtensionHint)->asString(), "png");
  EXPECT_EQ(options.find(kILImageCoderDecodeScaleDownLimitBytes), nullptr);
  options = ILImageDecodeOptionsFromContext(
      Value::map({{ILRemoteImageContextImageTypeIdentifierHint, Value("public.png")},
                  {ILRemoteImageContextImageDecodeOptions,
                   Value::map({{kILImageCoderDecodeToHDR, Value(true)}})}}),
      0x800, "k.jpg");
  EXPECT_EQ(options.find(kILImageCoderDecodeFileExtensionHint), nullptr);
  EXPECT_TRUE(options.find(kILImageCoderDecodeToHDR)->asBool());
  EXPECT_NE(options.find(kILImageCoderDecodeScaleDownLimitBytes), nullptr);
}

// The extension hint is what NSURL's decoded path gives for a URL key, and
// the key's own text for a key that is no URL: escapes, queries, fragments,
// trailing slashes and dots at a component's start included.
TEST_F(ImageCacheTest, ExtensionHintFollowsTheDecodedURLPath) {
  const struct {
    const char* key;
    const char* extension;  // empty: no hint
  } cases[] = {{"https://h/a%2Epng", "png"},     {"https://h/a.b%2Fc", ""},
               {"https://h/a/%2Egif", ""},       {"https://h/a/x%2Egif", "gif"},
               {"https://h/p.j%70g", "jpg"},     {"https://h/d.x/f?y=1.png", ""},
               {"https://h/f#a.png", ""},        {"https://h/f.tif#a.png", "tif"},
               {"https://h/a.png%2F", "png"},    {"https://h/a.png//", ""},
               {"https://h.com", ""},            {"https://h.com/", ""},
               {"https://h/a.", ""},             {"https://h/a/.b.c", "c"},
               {"a b.png", "png"},               {"a b/c", ""},
               {"a b/.c", ""},                   {"a b/x.c?q.d", "d"},
               {"http://h/%zz.png", "png"},      {"x.y%2Fz", ""},
               {"/x/.ab", ""},                   {"/x/y.ab", "ab"},
               {"noext", ""},                    {"a.tar.gz", "gz"}};
  for (const auto& c : cases) {
    const Value options = ILImageDecodeOptionsFromContext(Value(), 0, c.key);
    const Value* hint = options.find(kILImageCoderDecodeFileExtensionHint);
    // The reading of the key through a built URL, as the hint was once made.
    const NSURLPtr url = NSURL::URLWithString(c.key);
    const std::string path = url ? url->path() : c.key;
    const size_t slash = path.find_last_of('/'), dot = path.find_last_of('.');
    const bool has = dot != std::string::npos && (slash == std::string::npos || dot >= slash + 2);
    EXPECT_EQ(has ? path.substr(dot + 1) : "", c.extension) << c.key;
    EXPECT_EQ(hint ? hint->asString() : "", c.extension) << c.key;
    // The parsed URL handed along gives the same options.
    EXPECT_EQ(ILImageDecodeOptionsFromContext(Value(), 0, c.key, url.get()), options) << c.key;
  }
  // A URL whose text is not the key (a filtered key) plays no part.
  const NSURLPtr other = NSURL::URLWithString("https://h/other.gif");
  for (const char* key : {"https://h/a.png", "b.jpg?x", "other.gif"}) {
    EXPECT_EQ(ILImageDecodeOptionsFromContext(Value(), 0, key, other.get()),
              ILImageDecodeOptionsFromContext(Value(), 0, key))
        << key;
  }
  EXPECT_EQ(ILImageDecodeOptionsFromContext(Value(), 0, "k", other.get())
                .find(kILImageCoderDecodeFileExtensionHint),
            nullptr);
}

// Calls one after another on one thread, each changing one input from the
// call before: every answer is that input's own, a context is told from an
// equal-looking newer one, and an answer keeps nothing of its context alive.
TEST_F(ImageCacheTest, DecodeOptionsFollowEveryInputFromOneCallToTheNext) {
  const uint64_t defaultLimit = ILImageCoderHelper::defaultScaleDownLimitBytes();
  auto object = std::make_shared<NSObject>();
  const std::weak_ptr<NSObject> watched = object;
  auto thumbnail = [&](int64_t side) {
    return Value::map({{ILRemoteImageContextImageThumbnailPixelSize, Value::integer(side)},
                       {ILRemoteImageContextCallbackQueue, Value(object)}});
  };
  Value first = thumbnail(10);
  const struct {
    int context;  // 0: none, 1: `first`, 2: made anew with side 20
    ILRemoteImageOptions options;
    const char* key;
    uint64_t limitSet;  // 0: the default
    bool firstFrame;
    double scale;
    const char* extension;
    int64_t limit;  // 0: none
    int64_t side;   // 0: none
  } cases[] = {
      {1, 0, "a@2x.png", 0, false, 2, "png", 0, 10},
      {1, 0, "a@2x.png", 0, false, 2, "png", 0, 10},
      {1, ILRemoteImageDecodeFirstFrameOnly, "a@2x.png", 0, true, 2, "png", 0, 10},
      {1, 0, "a@3x.png", 0, false, 3, "png", 0, 10},
      {1, 0, "a@2x.png", 0, false, 2, "png", 0, 10},
      {1, 0, "a@3x.gif", 0, false, 3, "gif", 0, 10},
      {1, ILRemoteImageScaleDownLargeImages, "a@3x.gif", 0, false, 3, "gif", int64_t(defaultLimit),
       10},
      {1, ILRemoteImageScaleDownLargeImages, "a@3x.gif", 4096, false, 3, "gif", 4096, 10},
      {2, ILRemoteImageScaleDownLargeImages, "a@3x.gif", 4096, false, 3, "gif", 4096, 20},
      {2, ILRemoteImageScaleDownLargeImages, "a@3x.gif", 4096, false, 3, "gif", 4096, 20},
      {0, ILRemoteImageScaleDownLargeImages, "a@3x.gif", 4096, false, 3, "gif", 4096, 0},
      {1, 0, "a@3x.gif", 0, false, 3, "gif", 0, 10},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    ILImageCoderHelper::setDefaultScaleDownLimitBytes(c.limitSet ? c.limitSet : defaultLimit);
    const Value options = ILImageDecodeOptionsFromContext(
        c.context == 0 ? Value() : c.context == 1 ? first : thumbnail(20), c.options, c.key);
    EXPECT_EQ(options.find(kILImageCoderDecodeFirstFrameOnly)->asBool(), c.firstFrame) << i;
    EXPECT_EQ(options.find(kILImageCoderDecodeScaleFactor)->asDouble(), c.scale) << i;
    EXPECT_EQ(options.find(kILImageCoderDecodeFileExtensionHint)->asString(), c.extension) << i;
    const Value* limit = options.find(kILImageCoderDecodeScaleDownLimitBytes);
    EXPECT_EQ(limit ? limit->asInt64() : 0, c.limit) << i;
    const Value* side = options.find(kILImageCoderDecodeThumbnailPixelSize);
    EXPECT_EQ(side ? side->asInt64() : 0, c.side) << i;
  }
  ILImageCoderHelper::setDefaultScaleDownLimitBytes(defaultLimit);
  object.reset();
  EXPECT_FALSE(watched.expired());
  first = Value();
  EXPECT_TRUE(watched.expired());
}

// Keys one after another on one thread, as a download and its operation ask:
// each gets its own extension, and a base option the context also sets is
// replaced, not listed twice.
TEST_F(ImageCacheTest, DecodeOptionsFollowEachKeyAndReplaceBaseEntries) {
  const struct {
    const char* key;
    const char* extension;  // empty: no hint
  } cases[] = {{"a.png", "png"},
               {"a.png", "png"},
               {"b.jpg", "jpg"},
               {"dir.d/noext", ""},
               {"https://h/x.gif?q=1.2", "gif"},
               {"https://h/y.webp/", "webp"},
               {"https://h/.png", ""},
               {"https://h/z.heic", "heic"},
               {"https://h/z.heic", "heic"}};
  for (const auto& c : cases) {
    const Value options = ILImageDecodeOptionsFromContext(Value(), 0, c.key);
    const Value* hint = options.find(kILImageCoderDecodeFileExtensionHint);
    if (*c.extension == '\0') {
      EXPECT_EQ(hint, nullptr) << c.key;
    } else {
      ASSERT_NE(hint, nullptr) << c.key;
      EXPECT_EQ(hint->asString(), c.extension) << c.key;
    }
  }
  ValueMap base{{Value(kILImageCoderDecodeScaleFactor), Value(9.0)},
                {Value(int64_t{7}), Value("kept")},
                {Value(kILImageCoderDecodeFirstFrameOnly), Value(true)}};
  const Value options = ILImageDecodeOptionsFromContext(
      Value::map({{ILRemoteImageContextImageDecodeOptions, Value(base)}}), 0, "k@3x.png");
  size_t scales = 0, firstFrames = 0, others = 0;
  for (const auto& [name, value] : options.asMap()) {
    if (!name.isString()) {
      ++others;
      EXPECT_EQ(value.asString(), "kept");
    } else if (name.asString() == kILImageCoderDecodeScaleFactor) {
      ++scales;
      EXPECT_EQ(value.asDouble(), 3);
    } else if (name.asString() == kILImageCoderDecodeFirstFrameOnly) {
      ++firstFrames;
      EXPECT_FALSE(value.asBool());
    }
  }
  EXPECT_EQ(scales, 1u);
  EXPECT_EQ(firstFrames, 1u);
  EXPECT_EQ(others, 1u);
}

TEST_F(ImageCacheTest, CallbackQueuePolicies) {
  bool ran = false;
  ILCallbackQueue::mainQueue()->async([&ran] { ran = true; });
  EXPECT_TRUE(ran);  // on the main thread: inline

  auto serial = dispatch_queue_create("callback-test");
  auto onQueue = std::make_shared<ILCallbackQueue>(serial);
  std::atomic<bool> inlineRun{false};
  dispatch_sync(serial, [&] {
    bool done = false;
    onQueue->sync([&done] { done = true; });  // already on it: inline, no deadlock
    auto current = ILCallbackQueue::currentQueue();
    bool ranInline = false;
    current->async([&ranInline] { ranInline = true; });
    inlineRun = done && ranInline && current->policy() == ILCallbackQueuePolicySafeExecute;
  });
  EXPECT_TRUE(inlineRun);

  auto dispatching = std::make_shared<ILCallbackQueue>(dispatch_get_main_queue());
  dispatching->setPolicy(ILCallbackQueuePolicyDispatch);
  ran = false;
  dispatching->async([&ran] { ran = true; });
  EXPECT_FALSE(ran);
  drainMainLoop();
  EXPECT_TRUE(ran);

  auto bad = std::make_shared<ILCallbackQueue>(serial);
  bad->setPolicy(7);
  EXPECT_DEATH(bad->async([] {}), "unexpected policy 7");
}

TEST_F(ImageCacheTest, MainQueueCallbacksFromAWorkerRunOnMainAndWaitOnlyWhenAskedTo) {
  struct Case {
    ILCallbackQueuePolicy policy;
    bool wait;
  };
  auto onMain = std::make_shared<ILCallbackQueue>(dispatch_get_main_queue());
  for (Case c : {Case{ILCallbackQueuePolicySafeExecute, true},
                 Case{ILCallbackQueuePolicySafeExecute, false},
                 Case{ILCallbackQueuePolicyMainThread, false}}) {
    SCOPED_TRACE(testing::Message() << "policy " << c.policy << (c.wait ? " sync" : " async"));
    onMain->setPolicy(c.policy);
    std::atomic<bool> inCall{false}, returned{false}, ran{false}, ranOnMain{false},
        callerWaited{false};
    dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&, c] {
      auto block = [&] {
        ranOnMain = isMainThread();
        callerWaited = inCall.load();
        ran = true;
      };
      inCall = true;
      if (c.wait) {
        onMain->sync(block);
      } else {
        onMain->async(block);
      }
      inCall = false;
      returned = true;
    });
    for (int turns = 0; !(ran && returned) && turns < 1000; ++turns) {
      NSRunLoop::mainRunLoop().runOnce(kTestTimeoutSeconds / 1000);
    }
    ASSERT_TRUE(ran && returned);
    EXPECT_TRUE(ranOnMain);
    // A sync caller is still inside the call while the block runs.
    if (c.wait) {
      EXPECT_TRUE(callerWaited);
    }
  }
}

}  // namespace

}  // namespace image_cache_test
