#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/cache/internal/ILImageCachesManager.h"
#include "image_loading/cache/ILImageLoadersManager.h"
#include "platform/foundation/Dispatch.h"
#include "platform/uikit/UIImage.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace managers_test {

namespace {

// A cache that holds its answers until the test releases them, so order and
// counting can be checked; `image` is what its queries find.
class ScriptedCache : public ILImageCacheProtocol {
 public:
  explicit ScriptedCache(std::string name, UIImagePtr image = nullptr)
      : name(std::move(name)), image(std::move(image)) {}

  ILRemoteImageOperationPtr queryImageForKey(const std::string&, ILRemoteImageOptions,
                                             const ILRemoteImageContext&, ILImageCacheKind,
                                             ILImageCacheQueryCompletion completion) override {
    calls.push_back("query");
    auto shared = std::make_shared<ILImageCacheQueryCompletion>(std::move(completion));
    pending.push_back([shared, img = image] {
      (*shared)(img, nullptr, img ? ILImageCacheKindMemory : ILImageCacheKindNone);
    });
    return nullptr;
  }
  void storeImage(const UIImagePtr&, const NSDataPtr&, const std::string&, ILRemoteImageOptions,
                  const ILRemoteImageContext&, ILImageCacheKind,
                  ILImageCacheCompletion completion) override {
    record("store", std::move(completion));
  }
  void removeImageForKey(const std::string&, ILImageCacheKind,
                         ILImageCacheCompletion completion) override {
    record("remove", std::move(completion));
  }
  void containsImageForKey(const std::string&, ILImageCacheKind,
                           ILImageCacheContainsCompletion completion) override {
    calls.push_back("contains");
    auto shared = std::make_shared<ILImageCacheContainsCompletion>(std::move(completion));
    pending.push_back([shared, found = image != nullptr] {
      (*shared)(found ? ILImageCacheKindDisk : ILImageCacheKindNone);
    });
  }
  void clearWithCacheType(ILImageCacheKind, ILImageCacheCompletion completion) override {
    record("clear", std::move(completion));
  }

  void answerAll() {
    auto answers = std::move(pending);
    pending.clear();
    for (auto& a : answers) a();
  }

  std::string name;
  UIImagePtr image;
  std::vector<std::string> calls;
  std::vector<std::function<void()>> pending;

 private:
  void record(const char* what, ILImageCacheCompletion completion) {
    calls.push_back(what);
    auto shared = std::make_shared<ILImageCacheCompletion>(std::move(completion));
    pending.push_back([shared] { (*shared)(); });
  }
};

class ManagersTest : public PlatformTest {
 protected:
  std::shared_ptr<ILImageCachesManager> manager = std::make_shared<ILImageCachesManager>();
  std::shared_ptr<ScriptedCache> low = std::make_shared<ScriptedCache>("low");
  std::shared_ptr<ScriptedCache> high = std::make_shared<ScriptedCache>("high");
  void SetUp() override {
    PlatformTest::SetUp();
    manager->setCaches({low, high});
  }
};

TEST_F(ManagersTest, StoreGoesToTheHighestAndQueryWalksFromItDownward) {
  int stored = 0;
  manager->storeImage(il_test::SolidUIImage(1, 1, {}), nullptr, "k", 0, Value(),
                      ILImageCacheKindAll, [&stored] { stored++; });
  EXPECT_EQ(high->calls, (std::vector<std::string>{"store"}));
  EXPECT_TRUE(low->calls.empty());
  high->answerAll();
  EXPECT_EQ(stored, 1);

  low->image = il_test::SolidUIImage(1, 1, {});
  high->calls.clear();
  UIImagePtr found;
  ILImageCacheKind kind = -1;
  auto op = manager->queryImageForKey("k", 0, Value(), ILImageCacheKindAll,
                                      [&](UIImagePtr image, NSDataPtr, ILImageCacheKind k) {
                                        found = image;
                                        kind = k;
                                      });
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(high->calls.size(), 1u);
  EXPECT_TRUE(low->calls.empty());  // asked only on a miss
  high->answerAll();
  EXPECT_EQ(low->calls.size(), 1u);
  low->answerAll();
  EXPECT_EQ(found, low->image);
  EXPECT_EQ(kind, ILImageCacheKindMemory);

  // A cancelled multi-member query answers nothing.
  int answers = 0;
  op = manager->queryImageForKey("k", 0, Value(), ILImageCacheKindAll,
                                 [&answers](UIImagePtr, NSDataPtr, ILImageCacheKind) { answers++; });
  op->cancel();
  high->answerAll();
  low->answerAll();
  EXPECT_EQ(answers, 0);
  EXPECT_TRUE(low->pending.empty());
  // No key: nothing happens.
  EXPECT_EQ(manager->queryImageForKey("", 0, Value(), 3, nullptr), nullptr);
  EXPECT_TRUE(high->pending.empty());
}

TEST_F(ManagersTest, ConcurrentClearCompletesOnceAfterTheLastMember) {
  auto third = std::make_shared<ScriptedCache>("third");
  manager->addCache(third);
  int cleared = 0;
  manager->clearWithCacheType(ILImageCacheKindAll, [&cleared] { cleared++; });
  EXPECT_EQ(low->calls.size() + high->calls.size() + third->calls.size(), 3u);
  high->answerAll();
  third->answerAll();
  EXPECT_EQ(cleared, 0);
  low->answerAll();
  EXPECT_EQ(cleared, 1);

  // Serial removal walks the members one after another.
  manager->removeOperationPolicy = ILImageCachesManagerPolicySerial;
  int removed = 0;
  manager->removeImageForKey("k", ILImageCacheKindAll, [&removed] { removed++; });
  EXPECT_EQ(third->calls.back(), "remove");
  EXPECT_EQ(high->calls.back(), "clear");  // not yet asked
  third->answerAll();
  EXPECT_EQ(high->calls.back(), "remove");
  high->answerAll();
  low->answerAll();
  EXPECT_EQ(removed, 1);

  // Lowest only.
  manager->clearOperationPolicy = ILImageCachesManagerPolicyLowestOnly;
  manager->clearWithCacheType(ILImageCacheKindAll, nullptr);
  EXPECT_EQ(low->pending.size(), 1u);
  EXPECT_TRUE(high->pending.empty());
  low->answerAll();
}

TEST_F(ManagersTest, AFullMissIsAnsweredOnceAfterTheLastMember) {
  auto third = std::make_shared<ScriptedCache>("third");
  manager->addCache(third);
  for (auto policy : {ILImageCachesManagerPolicyConcurrent, ILImageCachesManagerPolicySerial}) {
    SCOPED_TRACE(policy);
    manager->queryOperationPolicy = policy;
    std::vector<ILImageCacheKind> answers;
    UIImagePtr found = il_test::SolidUIImage(1, 1, {});
    manager->queryImageForKey("k", 0, Value(), ILImageCacheKindAll,
                              [&](UIImagePtr image, NSDataPtr, ILImageCacheKind kind) {
                                found = image;
                                answers.push_back(kind);
                              });
    // Highest first: a serial walk asks the next member on each miss.
    third->answerAll();
    high->answerAll();
    EXPECT_TRUE(answers.empty()) << "answered before the last member missed";
    low->answerAll();
    EXPECT_EQ(answers, (std::vector<ILImageCacheKind>{ILImageCacheKindNone}));
    EXPECT_EQ(found, nullptr);
  }
}

TEST_F(ManagersTest, ContainsStopsAtTheFirstFinding) {
  low->image = il_test::SolidUIImage(1, 1, {});
  std::vector<ILImageCacheKind> answers;
  manager->containsImageForKey("k", ILImageCacheKindAll,
                               [&answers](ILImageCacheKind k) { answers.push_back(k); });
  high->answerAll();
  low->answerAll();
  EXPECT_EQ(answers, (std::vector<ILImageCacheKind>{ILImageCacheKindDisk}));
  manager->containsOperationPolicy = ILImageCachesManagerPolicyConcurrent;
  low->image = nullptr;
  manager->containsImageForKey("k", ILImageCacheKindAll,
                               [&answers](ILImageCacheKind k) { answers.push_back(k); });
  low->answerAll();
  high->answerAll();
  EXPECT_EQ(answers, (std::vector<ILImageCacheKind>{ILImageCacheKindDisk, ILImageCacheKindNone}));
}

TEST_F(ManagersTest, ConcurrentClearFromManyThreadsAnswersEachOnce) {
  TempFolder folder;
  std::vector<ILImageCachePtr> real;
  for (const char* name : {"one", "two", "three"}) {
    real.push_back(ILImageCache::create(name, folder.path()));
  }
  manager->setCaches({real[0], real[1], real[2]});
  constexpr int kClears = 24;
  auto issued = dispatch_semaphore_create(0);
  auto workers = dispatch_queue_create("clearers", DispatchQueueAttr::Concurrent);
  std::atomic<int> answers{0};
  for (int i = 0; i < kClears; ++i) {
    dispatch_async(workers, [this, &answers, issued] {
      manager->clearWithCacheType(ILImageCacheKindAll, [&answers] { answers++; });
      dispatch_semaphore_signal(issued);
    });
  }
  for (int i = 0; i < kClears; ++i) {
    ASSERT_EQ(dispatch_semaphore_wait(issued, dispatch_time_after(kTestTimeoutSeconds)), 0);
  }
  for (auto& cache : real) cache->totalDiskCount();  // every clear has reached the disk
  drainMainLoop();
  EXPECT_EQ(answers.load(), kClears);
}

class ScriptedLoader : public ILImageLoader {
 public:
  explicit ScriptedLoader(bool accepts) : accepts(accepts) {}
  bool canRequestImageForURL(const NSURLPtr&) override { return accepts; }
  ILRemoteImageOperationPtr requestImageWithURL(const NSURLPtr&, ILRemoteImageOptions,
                                                const ILRemoteImageContext&,
                                                ILImageLoaderProgressBlock,
                                                ILImageLoaderCompletedBlock completed) override {
    requests++;
    completed(nullptr, nullptr, nullptr, true);
    return nullptr;
  }
  bool shouldBlockFailedURL(const NSURLPtr&, const NSErrorPtr&) override { return true; }
  bool accepts;
  int requests = 0;
};

TEST_F(ManagersTest, LoaderThatRefusesAnswersNothing) {
  auto loaders = std::make_shared<ILImageLoadersManager>();
  auto refusing = std::make_shared<ScriptedLoader>(false);
  loaders->addLoader(refusing);
  const auto url = NSURL::URLWithString("https://example.com/a.png");
  bool called = false;
  EXPECT_EQ(loaders->requestImageWithURL(url, 0, Value(), nullptr,
                                         [&called](UIImagePtr, NSDataPtr, NSErrorPtr, bool) {
                                           called = true;
                                         }),
            nullptr);
  EXPECT_FALSE(called);
  EXPECT_FALSE(loaders->canRequestImageForURL(url));
  EXPECT_FALSE(loaders->shouldBlockFailedURL(url, nullptr));

  auto accepting = std::make_shared<ScriptedLoader>(true);
  loaders->setLoaders({accepting, refusing});
  loaders->requestImageWithURL(url, 0, Value(), nullptr,
                               [&called](UIImagePtr, NSDataPtr, NSErrorPtr, bool) { called = true; });
  EXPECT_TRUE(called);
  EXPECT_EQ(accepting->requests, 1);
  EXPECT_TRUE(loaders->shouldBlockFailedURL(url, nullptr));
  loaders->removeLoader(accepting);
  EXPECT_FALSE(loaders->canRequestImageForURL(url));
}

}  // namespace

}  // namespace managers_test
