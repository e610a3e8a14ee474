#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "support/TestEnvironment.h"

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
    heard.push_back("any:" + n.userInfo.find("k")->asString());
  });
  center.addObserver(&observer, "", sender,
                     [&](const NSNotification& n) { heard.push_back("all-names:" + n.name); });
  center.postNotificationName("test.ping", sender, Value::map({{"k", Value("v")}}));
  center.postNotificationName("test.ping", other, Value::map({{"k", Value("w")}}));
  center.postNotificationName("test.pong", sender);
  EXPECT_EQ(heard, (std::vector<std::string>{"filtered:test.ping", "any:v", "all-names:test.ping",
                                             "any:w", "all-names:test.pong"}));
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
