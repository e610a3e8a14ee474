#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIDevice.h"
#include "platform/foundation/SingletonResets.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedApplicationState.h"

namespace ui_application_test {

namespace {

using Log = std::shared_ptr<std::vector<std::string>>;

class RecordingDelegate : public UIApplicationDelegate {
 public:
  explicit RecordingDelegate(Log log) : log_(std::move(log)) {}
  bool applicationDidFinishLaunchingWithOptions(UIApplication&, const Value& options) override {
    log_->push_back("launch " + options.description());
    return true;
  }
  void applicationDidBecomeActive(UIApplication&) override { log_->push_back("active"); }
  void applicationWillResignActive(UIApplication&) override { log_->push_back("resign"); }
  void applicationDidEnterBackground(UIApplication&) override { log_->push_back("background"); }
  void applicationWillEnterForeground(UIApplication&) override { log_->push_back("foreground"); }
  void applicationWillTerminate(UIApplication&) override { log_->push_back("terminate"); }

 private:
  Log log_;
};

class UIApplicationTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    NSNotificationCenter::defaultCenter().addObserver(
        this, UIApplicationWillTerminateNotification, nullptr,
        [this](const NSNotification&) { log->push_back("terminate notification"); });
  }
  void TearDown() override {
    NSNotificationCenter::defaultCenter().removeObserver(this);
    app->setDelegate(nullptr);
    PlatformTest::TearDown();
  }

  // Runs UIApplicationMain; should the loop not end within the test timeout,
  // a rescue stops it so that the test fails instead of hanging.
  int runMain(const std::string& delegateClass, const Value& options, bool* rescued) {
    auto returned = dispatch_semaphore_create(0);
    auto rescue = std::make_shared<std::atomic<bool>>(false);
    dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [returned, rescue] {
      if (dispatch_semaphore_wait(returned, dispatch_time_after(kTestTimeoutSeconds)) != 0) {
        *rescue = true;
        NSRunLoop::mainRunLoop().stop();
      }
    });
    int status = UIApplicationMain(0, nullptr, std::nullopt, delegateClass, options);
    dispatch_semaphore_signal(returned);
    *rescued = *rescue;
    return status;
  }

  std::shared_ptr<UIApplication> app = UIApplication::sharedApplication();
  Log log = std::make_shared<std::vector<std::string>>();
};

TEST_F(UIApplicationTest, MainLaunchesServesTheLoopAndEndsOnTerminate) {
  Log log = this->log;
  NSClassRegistry::registerClass("UIApplicationTest.Delegate",
                                 [log] { return std::make_shared<RecordingDelegate>(log); });
  auto& loop = NSRunLoop::mainRunLoop();
  loop.perform([log, app = app] {
    log->push_back("task");
    // A launched application follows the device: turns reach it unasked.
    EXPECT_TRUE(UIDevice::currentDevice()->isGeneratingDeviceOrientationNotifications());
    EXPECT_EQ(UIDevice::currentDevice()->orientation(), UIDeviceOrientationPortrait);
    app->terminate();
  });
  loop.perform([log] { log->push_back("after terminate"); });

  bool rescued = false;
  EXPECT_EQ(runMain("UIApplicationTest.Delegate", Value::map({{"k", 1}}), &rescued), 0);
  EXPECT_FALSE(rescued);
  EXPECT_EQ(*log, (std::vector<std::string>{"launch {\"k\": 1}", "active", "task", "terminate",
                                            "terminate notification"}));
  EXPECT_EQ(app->applicationState(), UIApplicationState::Active);
  ASSERT_NE(std::dynamic_pointer_cast<RecordingDelegate>(app->delegate()), nullptr);

  // The stop was used by that run: what was queued behind it runs as usual.
  EXPECT_EQ(loop.runUntilIdle(), 1u);
  EXPECT_EQ(log->back(), "after terminate");
}

TEST_F(UIApplicationTest, MainRefusesAnUnknownDelegateClassWithoutRunning) {
  bool ran = false;
  NSRunLoop::mainRunLoop().perform([&] { ran = true; });
  EXPECT_EQ(UIApplicationMain(0, nullptr, std::nullopt, "UIApplicationTest.NoSuchClass"), 1);
  EXPECT_FALSE(ran);
  EXPECT_EQ(app->delegate(), nullptr);
  EXPECT_EQ(app->applicationState(), UIApplicationState::Inactive);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_TRUE(ran);
}

TEST_F(UIApplicationTest, StateChangesTellTheDelegateInOrder) {
  app->setDelegate(std::make_shared<RecordingDelegate>(log));
  auto system = ScriptedApplicationState::install();
  EXPECT_TRUE(log->empty()) << "installed in the state the application is in";
  system->set(UIApplicationState::Active);
  system->set(UIApplicationState::Active);  // no change, no calls
  system->set(UIApplicationState::Background);
  EXPECT_EQ(app->applicationState(), UIApplicationState::Background);
  system->set(UIApplicationState::Active);
  system->set(UIApplicationState::Inactive);
  EXPECT_EQ(*log, (std::vector<std::string>{"active", "resign", "background", "foreground",
                                            "active", "resign"}));

  // The host's own system keeps the application active; the test
  // environment puts back an application not yet launched, telling nobody.
  log->clear();
  app->setStateProvider(nullptr);
  EXPECT_EQ(app->applicationState(), UIApplicationState::Active);
  EXPECT_EQ(*log, std::vector<std::string>{"active"});
  SingletonResets::runAll();
  EXPECT_EQ(app->applicationState(), UIApplicationState::Inactive);
  EXPECT_EQ(*log, std::vector<std::string>{"active"});
}

}  // namespace

}  // namespace ui_application_test
