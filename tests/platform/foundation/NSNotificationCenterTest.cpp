#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace ns_notification_center_test {

using NSNotificationCenterTest = PlatformTest;

TEST_F(NSNotificationCenterTest, DeliversByNameAndObjectFilter) {
  auto& center = NSNotificationCenter::defaultCenter();
  auto sender = std::make_shared<NSObject>();
  auto other = std::make_shared<NSObject>();
  int observer = 0;
  std::vector<std::string> heard;
  center.addObserver(&observer, "test.ping", sender,
                     [&](const NSNotification& n) { heard.push_back("filtered:" + n.name); });
  center.addObserver(&observer, "test.ping", nullptr, [&](const NSNotification& n) {
    heard.push_back("any:" + n.userInfo().find("k")->asString());
  });
  // Without user info a post carries a null value; with it, its own.
  center.addObserver(&observer, "", sender, [&](const NSNotification& n) {
    heard.push_back("all-names:" + n.name + (n.userInfo().isNull() ? "" : "+info"));
  });
  center.postNotificationName("test.ping", sender, Value::map({{"k", Value("v")}}));
  center.postNotificationName("test.ping", other, Value::map({{"k", Value("w")}}));
  center.postNotificationName("test.pong", sender);
  center.postNotificationName("test.pang", sender, Value(false));
  EXPECT_EQ(heard,
            (std::vector<std::string>{"filtered:test.ping", "any:v", "all-names:test.ping+info",
                                      "any:w", "all-names:test.pong", "all-names:test.pang+info"}));
  center.removeObserver(&observer);
  heard.clear();
  center.postNotificationName("test.ping", sender, Value::map({{"k", Value("v")}}));
  EXPECT_TRUE(heard.empty());
}

TEST_F(NSNotificationCenterTest, RemovalByNameAndByToken) {
  auto& center = NSNotificationCenter::defaultCenter();
  int observer = 0;
  int a = 0, b = 0, token = 0;
  center.addObserver(&observer, "test.a", nullptr, [&](const NSNotification&) { ++a; });
  center.addObserver(&observer, "test.b", nullptr, [&](const NSNotification&) { ++b; });
  auto handle =
      center.addObserverForName("test.a", nullptr, [&](const NSNotification&) { ++token; });
  center.removeObserver(&observer, "test.a");
  center.postNotificationName("test.a", nullptr);
  center.postNotificationName("test.b", nullptr);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(token, 1);
  center.removeObserver(handle);
  center.postNotificationName("test.a", nullptr);
  EXPECT_EQ(token, 1);
  center.removeObserver(&observer);
}

TEST_F(NSNotificationCenterTest, AnObserverRemovedDuringAPostIsNotCalled) {
  auto& center = NSNotificationCenter::defaultCenter();
  int first = 0, second = 0;
  std::vector<std::string> heard;
  center.addObserver(&first, "test.remove", nullptr, [&](const NSNotification&) {
    heard.push_back("first");
    center.removeObserver(&second);  // as an owner tearing down another observer would
    center.removeObserver(&first);
  });
  center.addObserver(&second, "test.remove", nullptr,
                     [&](const NSNotification&) { heard.push_back("second"); });
  center.postNotificationName("test.remove", nullptr);
  center.postNotificationName("test.remove", nullptr);
  EXPECT_EQ(heard, (std::vector<std::string>{"first"}));
}

TEST_F(NSNotificationCenterTest, MatchingObserversHearInRegistrationOrderWhateverTheirFilters) {
  NSNotificationCenter center;
  auto sender = std::make_shared<NSObject>();
  std::vector<std::string> heard;
  auto hear = [&](const std::string& who) {
    return [&heard, who](const NSNotification&) { heard.push_back(who); };
  };
  int observer = 0;
  center.addObserver(&observer, "", nullptr, hear("every name"));
  center.addObserver(&observer, "test.order", sender, hear("name and sender"));
  center.addObserver(&observer, "test.order", nullptr, hear("name"));
  center.addObserver(&observer, "", sender, hear("sender"));
  center.addObserver(&observer, "test.order", sender, hear("name and sender again"));
  center.addObserver(&observer, "test.order", nullptr, hear("name again"));
  center.addObserver(&observer, "", nullptr, hear("every name again"));
  center.postNotificationName("test.order", sender);
  EXPECT_EQ(heard,
            (std::vector<std::string>{"every name", "name and sender", "name", "sender",
                                      "name and sender again", "name again", "every name again"}));
  heard.clear();
  center.postNotificationName("test.order", nullptr);
  EXPECT_EQ(heard,
            (std::vector<std::string>{"every name", "name", "name again", "every name again"}));
}

TEST_F(NSNotificationCenterTest, AFilterOnAnObjectThatDiedIgnoresTheNextObjectAtItsAddress) {
  NSNotificationCenter center;
  // Objects freed without their control block, so the second takes the
  // first one's address while the center still holds a weak pointer to it.
  alignas(NSObject) unsigned char storage[sizeof(NSObject)];
  auto inStorage = [&] {
    return std::shared_ptr<NSObject>(new (storage) NSObject, [](NSObject* o) { o->~NSObject(); });
  };
  auto first = inStorage();
  int heard = 0;
  auto token =
      center.addObserverForName("test.reuse", first, [&](const NSNotification&) { ++heard; });
  center.postNotificationName("test.reuse", first);
  EXPECT_EQ(heard, 1);
  first.reset();
  auto second = inStorage();
  ASSERT_EQ(static_cast<void*>(second.get()), static_cast<void*>(storage));
  center.postNotificationName("test.reuse", second);
  EXPECT_EQ(heard, 1);
  center.removeObserver(token);
}

TEST_F(NSNotificationCenterTest, AnObserverAddedDuringAPostHearsOnlyTheNextOne) {
  NSNotificationCenter center;
  auto sender = std::make_shared<NSObject>();
  int adder = 0, added = 0;
  std::vector<std::string> heard;
  center.addObserver(&adder, "test.add", sender, [&](const NSNotification&) {
    heard.push_back("adder");
    if (added) return;
    // Into each list a post reads, behind the observer being called.
    center.addObserver(&added, "test.add", sender,
                       [&](const NSNotification&) { heard.push_back("added"); });
    center.addObserver(&added, "", nullptr,
                       [&](const NSNotification&) { heard.push_back("added to every name"); });
    added = 1;
  });
  center.postNotificationName("test.add", sender);
  EXPECT_EQ(heard, (std::vector<std::string>{"adder"}));
  center.postNotificationName("test.add", sender);
  EXPECT_EQ(heard, (std::vector<std::string>{"adder", "adder", "added", "added to every name"}));
}

TEST_F(NSNotificationCenterTest, RemovalFromAnotherThreadDuringAPostStopsTheRestOfIt) {
  NSNotificationCenter center;
  auto sender = std::make_shared<NSObject>();
  Latch calling(1), removed(1), posted(1);
  std::atomic<int> later{0}, first{0};
  auto blocking = center.addObserverForName("test.race", nullptr, [&](const NSNotification&) {
    ++first;
    calling.countDown();
    removed.wait();
  });
  int owner = 0;
  center.addObserver(&owner, "test.race", sender, [&](const NSNotification&) { ++later; });
  center.addObserver(&owner, "", nullptr, [&](const NSNotification&) { ++later; });
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    center.postNotificationName("test.race", sender);
    posted.countDown();
  });
  ASSERT_TRUE(calling.wait());
  center.removeObserver(&owner);
  removed.countDown();
  ASSERT_TRUE(posted.wait());
  EXPECT_EQ(first.load(), 1);
  EXPECT_EQ(later.load(), 0);
  center.removeObserver(blocking);
}

TEST_F(NSNotificationCenterTest, RemovingOneNameKeepsTheObserversOtherRegistrations) {
  NSNotificationCenter center;
  auto sender = std::make_shared<NSObject>();
  int observer = 0;
  std::vector<std::string> heard;
  center.addObserver(&observer, "test.x", sender,
                     [&](const NSNotification&) { heard.push_back("x"); });
  center.addObserver(&observer, "test.y", sender,
                     [&](const NSNotification&) { heard.push_back("y"); });
  center.addObserver(&observer, "", sender, [&](const NSNotification&) { heard.push_back("all"); });
  center.removeObserver(&observer, "test.x");
  center.removeObserver(&observer, "test.x");  // nothing left to remove
  center.postNotificationName("test.x", sender);
  center.postNotificationName("test.y", sender);
  EXPECT_EQ(heard, (std::vector<std::string>{"all", "y", "all"}));
  // A name and sender emptied of observers take new ones.
  center.removeObserver(&observer);
  center.addObserver(&observer, "test.x", sender,
                     [&](const NSNotification&) { heard.push_back("x again"); });
  heard.clear();
  center.postNotificationName("test.x", sender);
  center.postNotificationName("test.y", sender);
  EXPECT_EQ(heard, (std::vector<std::string>{"x again"}));
}

}  // namespace ns_notification_center_test
