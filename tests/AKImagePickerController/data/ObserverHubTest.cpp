#include "AKImagePickerController/data/AKImageBaseManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "AKImagePickerController/data/PickerTestSupport.h"
#include "platform/foundation/Value.h"

namespace observer_hub_test {

namespace {

class OnlyRemovals : public NSObject, public AKImageGroupDataManagerObserver {
 public:
  bool groupDidRemove(const std::string& id) override {
    removed.push_back(id);
    return true;
  }
  std::vector<std::string> removed;
};

}  // namespace

class ObserverHubTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    AKRegisterObserverSelectors();
  }
};

TEST_F(ObserverHubTest, DeliversOnTheMainThreadOnlyToLiveObserversThatRespond) {
  auto hub = std::make_shared<AKImageBaseManager>();
  // Nothing registered: nothing happens and nothing is scheduled.
  ASSERT_TRUE(RunOnBackground([&] { hub->notify("groupDidRemoveWithGroupId:", Value("a")); }));
  EXPECT_FALSE(NSRunLoop::mainRunLoop().hasPendingTasks());

  auto all = std::make_shared<RecordingObserver>();
  auto partial = std::make_shared<OnlyRemovals>();
  hub->add(all);
  hub->add(all);
  hub->add(partial);
  EXPECT_EQ(hub->observerCount(), 2u);

  // From the main thread the callback has run when notify returns.
  hub->notify("groupDidRemoveWithGroupId:", Value("g1"));
  EXPECT_EQ(all->events, std::vector<std::string>{"remove g1"});
  EXPECT_EQ(partial->removed, std::vector<std::string>{"g1"});

  // A callback the observer lacks is skipped; an unknown selector reaches nobody.
  hub->notify("groupDidUpdateWithGroupId:", Value("g2"));
  hub->notify("noSuchCallback:", Value("g2"));
  EXPECT_EQ(all->events.back(), "update g2");
  EXPECT_EQ(partial->removed.size(), 1u);

  // From another thread it arrives later, on the main thread, in order.
  ASSERT_TRUE(RunOnBackground([&] {
    hub->notify("groupDidRemoveWithGroupId:", Value("g3"));
    hub->notify("groupDidUpdateCompleteWithGroupId:", Value("g3"));
  }));
  EXPECT_EQ(all->events.size(), 2u);
  drainMainLoop();
  EXPECT_EQ(all->events, (std::vector<std::string>{"remove g1", "update g2", "remove g3", "complete g3"}));

  // A freed observer is simply not called; a removed one neither.
  hub->remove(partial);
  all.reset();
  hub->notify("groupDidRemoveWithGroupId:", Value("g4"));
  EXPECT_EQ(partial->removed.size(), 2u);
  EXPECT_EQ(hub->observerCount(), 0u);
}

TEST_F(ObserverHubTest, AnObserverFreedBeforeADeferredDeliveryIsNotReached) {
  auto hub = std::make_shared<AKImageBaseManager>();
  auto observer = std::make_shared<OnlyRemovals>();
  hub->add(observer);
  ASSERT_TRUE(RunOnBackground([&] { hub->notify("groupDidRemoveWithGroupId:", Value("late")); }));
  auto later = std::make_shared<OnlyRemovals>();
  hub->add(later);
  observer.reset();
  drainMainLoop();
  EXPECT_EQ(later->removed, std::vector<std::string>{"late"});
}

}  // namespace observer_hub_test
