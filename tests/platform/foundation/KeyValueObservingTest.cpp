#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

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
