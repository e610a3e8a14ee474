// Once-only callbacks, weak binding, thread checks, observable properties and
// the test environment's bookkeeping.

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/foundation/BuildFlags.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/ObservableProperty.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "support/TestEnvironment.h"

namespace groundwork_primitives_test {

namespace {

class GroundworkTest : public PlatformTest {};

TEST_F(GroundworkTest, OnceCallbackRunsOnceAndReleasesWhatItCaptured) {
  auto token = std::make_shared<int>(7);
  std::weak_ptr<int> watch = token;
  int seen = 0;
  OnceCallback<void(int)> done([token = std::move(token), &seen](int add) { seen = *token + add; });
  ASSERT_TRUE(done);
  EXPECT_FALSE(done.isConsumed());
  done(3);
  EXPECT_EQ(seen, 10);
  EXPECT_TRUE(done.isConsumed());
  EXPECT_TRUE(watch.expired()) << "the captured state must die with the call";

  // Move-only state travels with the callback.
  auto owned = std::make_unique<int>(5);
  OnceClosure moved([p = std::move(owned), &seen] { seen = *p; });
  OnceClosure target = std::move(moved);
  EXPECT_FALSE(moved);
  target();
  EXPECT_EQ(seen, 5);

  // A nil callback may be called and does nothing.
  OnceCallback<void(int)> nil;
  EXPECT_FALSE(nil);
  nil(1);
  OnceClosure fromEmptyFunction{std::function<void()>()};
  EXPECT_FALSE(fromEmptyFunction);
}

#if QX_CHECKED
using GroundworkDeathTest = PlatformTest;

TEST_F(GroundworkDeathTest, OnceCallbackSecondCallStops) {
  EXPECT_DEATH(
      {
        OnceClosure done([] {});
        done();
        done();
      },
      "called a second time");
}

TEST_F(GroundworkDeathTest, ReentrantCallIsASecondCall) {
  EXPECT_DEATH(
      {
        OnceClosure* self = nullptr;
        OnceClosure done([&self] { (*self)(); });
        self = &done;
        done();
      },
      "called a second time");
}

TEST_F(GroundworkDeathTest, MainThreadCheckStopsOffTheMainThread) {
  EXPECT_DEATH(
      {
        std::thread t([] { QX_DCHECK_MAIN_THREAD(); });
        t.join();
      },
      "must be called on the main thread");
}

TEST_F(GroundworkDeathTest, DrainingTheMainRunLoopOffTheMainThreadStops) {
  EXPECT_DEATH(
      {
        std::thread t([] { NSRunLoop::mainRunLoop().runUntilIdle(); });
        t.join();
      },
      "runUntilIdle must be called on the main thread");
}
#endif

struct Owner : std::enable_shared_from_this<Owner> {
  int calls = 0;
};

TEST_F(GroundworkTest, WeakBindRunsOnlyWhileTheOwnerLives) {
  auto owner = std::make_shared<Owner>();
  auto bump = WeakBind(owner, [](Owner& o, int by) { o.calls += by; });
  bump(2);
  EXPECT_EQ(owner->calls, 2);
  auto fromThis = WeakBind(owner.get(), [](Owner& o) { o.calls += 10; });
  fromThis();
  EXPECT_EQ(owner->calls, 12);
  std::weak_ptr<Owner> watch = owner;
  owner.reset();
  EXPECT_TRUE(watch.expired()) << "the bound block must not keep its owner alive";
  bump(1);  // does nothing, and does not crash
  fromThis();
}

TEST_F(GroundworkTest, SequenceCheckerBindsToOneSerialQueueOrThread) {
  SequenceChecker onMain;
  EXPECT_TRUE(onMain.calledOnValidSequence());
  bool fromThread = true;
  std::thread([&] { fromThread = onMain.calledOnValidSequence(); }).join();
  EXPECT_FALSE(fromThread);
  onMain.detach();
  std::thread([&] { fromThread = onMain.calledOnValidSequence(); }).join();
  EXPECT_TRUE(fromThread) << "detach lets the next caller bind it";
  EXPECT_FALSE(onMain.calledOnValidSequence());

  // A serial queue is one sequence whichever worker thread runs its blocks.
  SequenceChecker onQueue;
  auto queue = dispatch_queue_create("checker", DispatchQueueAttr::Serial);
  std::vector<bool> results;
  for (int i = 0; i < 20; ++i) {
    dispatch_sync(queue, [&] { results.push_back(onQueue.calledOnValidSequence()); });
  }
  for (bool ok : results) EXPECT_TRUE(ok);
  auto other = dispatch_queue_create("other", DispatchQueueAttr::Serial);
  bool onOther = true;
  dispatch_sync(other, [&] { onOther = onQueue.calledOnValidSequence(); });
  EXPECT_FALSE(onOther);
}

enum class Mode { Off = 0, On = 3 };

class Thing : public NSKeyValueObservable {
 public:
  ObservableProperty<double> level{this, "level", 0.5};
  ObservableProperty<Mode> mode{this, "mode", Mode::Off};

  Value valueForKey(const std::string& key) const override {
    if (key == "computed") return Value("c");
    return NSKeyValueObservable::valueForKey(key);
  }
};

TEST_F(GroundworkTest, ObservablePropertyAnswersValueForKeyAndAnnouncesEverySetting) {
  Thing thing;
  EXPECT_EQ(thing.valueForKey("level"), Value(0.5));
  EXPECT_EQ(thing.valueForKey("mode"), Value(int64_t{0}));
  EXPECT_EQ(thing.valueForKey("computed"), Value("c"));
  EXPECT_TRUE(thing.valueForKey("missing").isNull());
  EXPECT_FALSE(thing.hasObserversForKey("level"));

  std::vector<Value> changes;
  auto observation = thing.observe(
      "level", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld,
      [&](NSObject*, const Value& change) { changes.push_back(change); });
  thing.level.set(0.75);
  thing.level.set(0.75);  // equal values are announced too
  thing.mode.set(Mode::On);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(ValueMapFind(changes[0].asMap(), "old")->asDouble(), 0.5);
  EXPECT_EQ(ValueMapFind(changes[0].asMap(), "new")->asDouble(), 0.75);
  EXPECT_EQ(ValueMapFind(changes[1].asMap(), "old")->asDouble(), 0.75);
  EXPECT_EQ(thing.valueForKey("mode"), Value(int64_t{3}));
  EXPECT_EQ(thing.level.get(), 0.75);

  observation->invalidate();
  thing.level.set(0.1);
  EXPECT_EQ(changes.size(), 2u);
}

TEST_F(GroundworkTest, ClockCountsPendingItemsAndResetsRunInOrder) {
  size_t before = PlatformClock::pendingCount();
  uint64_t token = PlatformClock::scheduleAt(PlatformClock::now() + 5, [] {});
  EXPECT_EQ(PlatformClock::pendingCount(), before + 1);
  PlatformClock::cancel(token);
  EXPECT_EQ(PlatformClock::pendingCount(), before);
  int fired = 0;
  PlatformClock::scheduleAt(PlatformClock::now() + 1, [&] { ++fired; });
  advance(1.0);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(PlatformClock::pendingCount(), before);

  // Registrations live for the process, as a shared instance's do: made once,
  // so that a repeated run of the test sees the same two.
  static std::vector<int> order;
  static const bool registered = [] {
    SingletonResets::add([] { order.push_back(1); });
    SingletonResets::add([] { order.push_back(2); });
    return true;
  }();
  ASSERT_TRUE(registered);
  order.clear();
  SingletonResets::runAll();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// Work that goes back and forth between a queue and the main thread, as a
// load does whose answer the main thread turns into the next load. It holds
// what it counts, so a wait that returns too soon fails the count, nothing
// worse.
struct HopChain {
  static constexpr int kHops = 200;
  dispatch_queue_t queue = dispatch_queue_create("test.hops");
  int hops = 0;  // touched by one side at a time
};

void Hop(const std::shared_ptr<HopChain>& chain) {
  if (++chain->hops == HopChain::kHops) return;
  dispatch_async(chain->hops % 2 ? dispatch_get_main_queue() : chain->queue, [chain] { Hop(chain); });
}

// The environment's wait returns once such work has ended, however many
// times it changes sides: waiting for the queues alone returns at its first
// hop to the main thread.
TEST_F(GroundworkTest, TheWaitForScreensOutlastsWorkHandedBackAndForth) {
  auto chain = std::make_shared<HopChain>();
  dispatch_async(dispatch_get_main_queue(), [chain] { Hop(chain); });
  endScreens(0);
  EXPECT_EQ(chain->hops, HopChain::kHops);
  EXPECT_TRUE(DispatchWorkersIdle());
  EXPECT_FALSE(NSRunLoop::mainRunLoop().hasPendingTasks());
}

}  // namespace

}  // namespace groundwork_primitives_test
