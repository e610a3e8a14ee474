#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace key_value_observing_test {

namespace {

class Counter : public NSKeyValueObservable {
 public:
  Value valueForKey(const std::string& key) const override {
    if (key == "count") return Value(count_);
    return NSKeyValueObservable::valueForKey(key);
  }
  void setCount(int64_t count) {
    changeValueForKey("count", [&] { count_ = count; });
  }

 private:
  int64_t count_ = 0;
};

struct Heard {
  std::string keyPath;
  NSObject* object;
  Value change;
  void* context;
};

class Listener : public NSKeyValueObserver {
 public:
  void observeValueForKeyPath(const std::string& keyPath, NSObject* object, const Value& change,
                              void* context) override {
    heard.push_back({keyPath, object, change, context});
    if (onHear) onHear();
  }
  std::vector<Heard> heard;
  std::function<void()> onHear;
};

}  // namespace

using KeyValueObservingTest = PlatformTest;

TEST_F(KeyValueObservingTest, OptionsShapeTheChange) {
  auto counter = std::make_shared<Counter>();
  counter->setCount(3);
  Listener all, bare;
  static int context;
  counter->addObserver(&all, "count",
                       NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld |
                           NSKeyValueObservingOptionInitial,
                       &context);
  counter->addObserver(&bare, "count", 0, nullptr);
  ASSERT_EQ(all.heard.size(), 1u);  // the initial call
  EXPECT_EQ(all.heard[0].change,
            Value::map({{"kind", Value(int64_t{1})}, {"new", Value(int64_t{3})}}));
  EXPECT_TRUE(bare.heard.empty());

  counter->setCount(4);
  ASSERT_EQ(all.heard.size(), 2u);
  EXPECT_EQ(all.heard[1].keyPath, "count");
  EXPECT_EQ(all.heard[1].object, counter.get());
  EXPECT_EQ(all.heard[1].context, &context);
  EXPECT_EQ(*all.heard[1].change.find(NSKeyValueChangeNewKey), Value(int64_t{4}));
  EXPECT_EQ(*all.heard[1].change.find(NSKeyValueChangeOldKey), Value(int64_t{3}));
  ASSERT_EQ(bare.heard.size(), 1u);
  EXPECT_EQ(bare.heard[0].change.find(NSKeyValueChangeNewKey), nullptr);
  EXPECT_EQ(bare.heard[0].change.find(NSKeyValueChangeOldKey), nullptr);

  counter->removeObserver(&all, "count", &context);
  counter->removeObserver(&bare, "count");
  counter->removeObserver(&bare, "count");  // not registered any more: nothing happens
  counter->setCount(5);
  EXPECT_EQ(all.heard.size(), 2u);
  EXPECT_EQ(bare.heard.size(), 1u);
  EXPECT_FALSE(counter->hasObserversForKey("count"));
}

TEST_F(KeyValueObservingTest, PriorNotificationComesBeforeTheChange) {
  auto counter = std::make_shared<Counter>();
  Listener listener;
  counter->addObserver(
      &listener, "count",
      NSKeyValueObservingOptionPrior | NSKeyValueObservingOptionOld | NSKeyValueObservingOptionNew,
      nullptr);
  counter->setCount(9);
  ASSERT_EQ(listener.heard.size(), 2u);
  const Value& prior = listener.heard[0].change;
  EXPECT_TRUE(prior.find(NSKeyValueChangeNotificationIsPriorKey)->asBool());
  EXPECT_EQ(*prior.find(NSKeyValueChangeOldKey), Value(int64_t{0}));
  EXPECT_EQ(prior.find(NSKeyValueChangeNewKey), nullptr);
  EXPECT_EQ(*listener.heard[1].change.find(NSKeyValueChangeNewKey), Value(int64_t{9}));
  counter->removeObserver(&listener, "count");
}

TEST_F(KeyValueObservingTest, RemovalDuringANotificationIsSafe) {
  auto counter = std::make_shared<Counter>();
  Listener first, second;
  first.onHear = [&] {
    counter->removeObserver(&second, "count");
    counter->removeObserver(&first, "count");
  };
  counter->addObserver(&first, "count", 0, nullptr);
  counter->addObserver(&second, "count", 0, nullptr);
  counter->setCount(1);
  counter->setCount(2);
  EXPECT_EQ(first.heard.size(), 1u);
  EXPECT_TRUE(second.heard.empty());
}

TEST_F(KeyValueObservingTest, BlockObservationEndsWithItsToken) {
  auto counter = std::make_shared<Counter>();
  std::vector<int64_t> seen;
  auto token = counter->observe(
      "count", NSKeyValueObservingOptionNew,
      [&](NSObject*, const Value& change) { seen.push_back(change.find("new")->asInt64()); });
  counter->setCount(1);
  token->invalidate();
  counter->setCount(2);
  auto scoped = counter->observe(
      "count", NSKeyValueObservingOptionNew,
      [&](NSObject*, const Value& change) { seen.push_back(10 * change.find("new")->asInt64()); });
  counter->setCount(3);
  scoped.reset();
  counter->setCount(4);
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 30}));

  // A token may outlive what it observes.
  auto late = counter->observe("count", 0, [](NSObject*, const Value&) {});
  counter.reset();
  late->invalidate();
}

TEST_F(KeyValueObservingTest, ObserversHearOnTheChangingThread) {
  auto counter = std::make_shared<Counter>();
  bool heardOnMain = true;
  auto token =
      counter->observe("count", 0, [&](NSObject*, const Value&) { heardOnMain = isMainThread(); });
  Latch changed(1);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    counter->setCount(1);
    changed.countDown();
  });
  ASSERT_TRUE(changed.wait());
  EXPECT_FALSE(heardOnMain);
  counter->setCount(2);
  EXPECT_TRUE(heardOnMain);
}

namespace {

// Follows its own "count" from the inside once told to, as a queue follows
// its operations.
class SelfFollowingCounter : public Counter {
 public:
  void followFromNow() { rank_ = registrationRank(); }
  std::function<void()> onBuiltIn;

 protected:
  uint64_t builtInObserverRank(const std::string& key) const override {
    return key == "count" ? rank_ : 0;
  }
  void notifyBuiltInObserver(const std::string&) override { onBuiltIn(); }

 private:
  uint64_t rank_ = 0;
};

}  // namespace

TEST_F(KeyValueObservingTest, BuiltInObserverHearsInItsPlaceAmongTheRegistered) {
  std::vector<std::string> order;
  auto counter = std::make_shared<SelfFollowingCounter>();
  counter->onBuiltIn = [&] { order.push_back("built-in"); };
  counter->setCount(1);  // not following yet
  EXPECT_TRUE(order.empty());
  EXPECT_FALSE(counter->hasObserversForKey("count"));

  // Nobody registered: it hears alone, and counts as an observer of its key only.
  counter->followFromNow();
  counter->setCount(2);
  EXPECT_EQ(order, (std::vector<std::string>{"built-in"}));
  EXPECT_TRUE(counter->hasObserversForKey("count"));
  EXPECT_FALSE(counter->hasObserversForKey("other"));

  // Registered before and after its place.
  order.clear();
  auto follower = std::make_shared<SelfFollowingCounter>();
  follower->onBuiltIn = [&] { order.push_back("built-in"); };
  Listener early, late;
  early.onHear = [&] { order.push_back("early"); };
  late.onHear = [&] { order.push_back("late"); };
  follower->addObserver(&early, "count", 0, nullptr);
  auto unrelated = follower->observe("other", 0, [](NSObject*, const Value&) {});
  follower->followFromNow();
  follower->addObserver(&late, "count", 0, nullptr);
  follower->setCount(3);
  EXPECT_EQ(order, (std::vector<std::string>{"early", "built-in", "late"}));

  // Once the earlier ones have left, it comes first; once all have, alone.
  order.clear();
  follower->removeObserver(&early, "count");
  follower->setCount(4);
  follower->removeObserver(&late, "count");
  follower->setCount(5);
  EXPECT_EQ(order, (std::vector<std::string>{"built-in", "late", "built-in"}));
}

TEST_F(KeyValueObservingTest, NestedChangesOfOneKeyEachReportTheirOwnOldValue) {
  auto counter = std::make_shared<Counter>();
  counter->setCount(1);
  Listener listener;
  counter->addObserver(&listener, "count",
                       NSKeyValueObservingOptionOld | NSKeyValueObservingOptionNew, nullptr);
  counter->willChangeValueForKey("count");
  counter->setCount(2);  // a whole change inside the outer one
  counter->setCount(3);
  counter->didChangeValueForKey("count");
  ASSERT_EQ(listener.heard.size(), 3u);
  EXPECT_EQ(*listener.heard[0].change.find(NSKeyValueChangeOldKey), Value(int64_t{1}));
  EXPECT_EQ(*listener.heard[1].change.find(NSKeyValueChangeOldKey), Value(int64_t{2}));
  // The outer change reports the value from before it began.
  EXPECT_EQ(*listener.heard[2].change.find(NSKeyValueChangeOldKey), Value(int64_t{1}));
  EXPECT_EQ(*listener.heard[2].change.find(NSKeyValueChangeNewKey), Value(int64_t{3}));

  // A did without a will has no old value; a will left open on another
  // thread is not taken for this thread's.
  Latch opened(1);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    counter->willChangeValueForKey("count");
    opened.countDown();
  });
  ASSERT_TRUE(opened.wait());
  counter->didChangeValueForKey("count");
  ASSERT_EQ(listener.heard.size(), 4u);
  EXPECT_EQ(listener.heard[3].change.find(NSKeyValueChangeOldKey), nullptr);
  counter->removeObserver(&listener, "count");
}

}  // namespace key_value_observing_test
