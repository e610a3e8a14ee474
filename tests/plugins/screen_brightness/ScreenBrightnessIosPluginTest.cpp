#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/flutter/FlutterAppDelegate.h"
#include "platform/flutter/FlutterSceneEvents.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIScene.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "plugins/screen_brightness/ScreenBrightnessIosPlugin.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace screen_brightness_ios_plugin_test {

namespace {

const std::string kChannel = "dev.tarnquell.plugins/screen_brightness";
const std::string kSystemStream = kChannel + "/system_brightness_changed";
const std::string kApplicationStream = kChannel + "/application_brightness_changed";

Value brightness(double value) { return Value::map({{"brightness", Value(value)}}); }

// One brightness change of a screen, as observed through its notification.
struct BrightnessSet {
  double value;
  double time;
  bool onMainThread;
};

class ScreenBrightnessTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    screen()->setBrightnessProvider(std::make_shared<UIMemoryBrightness>(0.2));
    screen()->setMaximumFramesPerSecond(60);
    ScreenBrightnessIosPlugin::registerWithRegistrar(peer.registrar("ScreenBrightnessIosPlugin"));
    for (auto& d : peer.engine()->sceneDelegates()) {
      if (auto p = std::dynamic_pointer_cast<ScreenBrightnessIosPlugin>(d)) plugin = p;
    }
    NSNotificationCenter::defaultCenter().addObserver(
        this, UIScreenBrightnessDidChangeNotification, nullptr, [this](const NSNotification& n) {
          auto s = std::dynamic_pointer_cast<UIScreen>(n.object);
          sets.push_back({s->brightness(), PlatformClock::now(), isMainThread()});
        });
  }

  void TearDown() override {
    NSNotificationCenter::defaultCenter().removeObserver(this);
    plugin->taskQueue()->cancelAllOperations();
    // A step already sleeping still has to wake before the queue empties.
    while (waitForSleeperOrEmptyQueue() && NSThread::sleepingThreadCount() > 0) {
      PlatformClock::advance(1.0);
    }
    NSRunLoop::mainRunLoop().runUntilIdle();
    PlatformTest::TearDown();
  }

  static std::shared_ptr<UIScreen> screen() { return UIScreen::mainScreen(); }
  std::shared_ptr<NSOperationQueue> queue() { return plugin->taskQueue(); }

  FlutterMethodOutcome call(const std::string& method, const Value& arguments = Value()) {
    return peer.call(kChannel, method, arguments);
  }

  std::vector<double> events(const std::string& stream) {
    NSRunLoop::mainRunLoop().runUntilIdle();
    std::vector<double> values;
    for (const auto& e : peer.events(stream)) values.push_back(e.value.asDouble());
    return values;
  }

  bool waitForSleeperOrEmptyQueue() {
    return TestPeer::pumpUntil(
        [&] { return NSThread::sleepingThreadCount() > 0 || queue()->operationCount() == 0; });
  }

  // Lets the sleeping ramp step wake after `pause` and waits until its value is set.
  bool step(double pause) {
    if (!TestPeer::pumpUntil([] { return NSThread::sleepingThreadCount() == 1; })) return false;
    const size_t before = sets.size();
    PlatformClock::advance(pause);
    return TestPeer::pumpUntil([&] { return sets.size() == before + 1; });
  }

  // Runs every remaining step; answers the values set meanwhile.
  std::vector<double> runRamp(double pause) {
    const size_t first = sets.size();
    while (waitForSleeperOrEmptyQueue() && NSThread::sleepingThreadCount() > 0) {
      if (!step(pause)) break;
    }
    NSRunLoop::mainRunLoop().runUntilIdle();
    std::vector<double> values;
    for (size_t i = first; i < sets.size(); ++i) values.push_back(sets[i].value);
    return values;
  }

  // The ramp's values by its own rule: start + k x step, one fused
  // multiply-add each, while short of the target or exactly on it.
  static std::vector<double> expectedRamp(double start, double target, double stepSize) {
    std::vector<double> values;
    const double step = start < target ? stepSize : -stepSize;
    for (int k = 0;; ++k) {
      double v = std::fma(k, step, start);
      bool short_of = step > 0 ? v < target : v > target;
      if (!short_of && v != target) break;
      values.push_back(v);
      if (v == target) break;
    }
    return values;
  }

  TestPeer peer;
  std::shared_ptr<ScreenBrightnessIosPlugin> plugin;
  std::vector<BrightnessSet> sets;
};

TEST_F(ScreenBrightnessTest, RampStepsAreSpacedByTheFrameRateAndSetOnTheMainThread) {
  peer.listen(kApplicationStream);
  auto o = call("setApplicationScreenBrightness", brightness(0.5));
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_TRUE(o.result.isNull());
  EXPECT_EQ(events(kApplicationStream), std::vector<double>{0.5});
  EXPECT_TRUE(sets.empty());  // nothing is set before the first wait

  auto expected = expectedRamp(0.2, 0.5, 0.01);
  ASSERT_GE(expected.size(), 30u);
  EXPECT_EQ(queue()->operationCount(), static_cast<int64_t>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(TestPeer::pumpUntil([] { return NSThread::sleepingThreadCount() == 1; }));
    const double asleepAt = PlatformClock::now();
    PlatformClock::advance(0.009);
    EXPECT_EQ(NSThread::sleepingThreadCount(), 1u) << "woke early at step " << i;
    PlatformClock::advance(0.001);
    ASSERT_TRUE(TestPeer::pumpUntil([&] { return sets.size() == i + 1; })) << "step " << i;
    EXPECT_EQ(sets[i].value, expected[i]);
    EXPECT_NEAR(sets[i].time - asleepAt, 0.01, 1e-9);
    EXPECT_TRUE(sets[i].onMainThread);
  }
  ASSERT_TRUE(TestPeer::pumpUntil([&] { return queue()->operationCount() == 0; }));
  EXPECT_EQ(sets.size(), expected.size());
  // The ramp may stop short of the target: no step sets it afterwards.
  EXPECT_GT(screen()->brightness(), 0.49);
  EXPECT_LE(screen()->brightness(), 0.5);
  EXPECT_EQ(screen()->brightness(), expected.back());
}

TEST_F(ScreenBrightnessTest, StepSizeFollowsTheFrameRateAndTreatsNoneAsSixty) {
  screen()->setMaximumFramesPerSecond(120);
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.3))));
  EXPECT_EQ(queue()->operationCount(), static_cast<int64_t>(expectedRamp(0.2, 0.3, 0.005).size()));
  ASSERT_TRUE(step(0.005));
  ASSERT_TRUE(step(0.005));
  EXPECT_DOUBLE_EQ(sets[1].value, 0.205);
  EXPECT_NEAR(sets[1].time - sets[0].time, 0.005, 1e-9);

  // A screen that reports no frame rate must not make an infinite step.
  screen()->setMaximumFramesPerSecond(0);
  ASSERT_TRUE(TestPeer::pumpUntil([] { return NSThread::sleepingThreadCount() == 1; }));
  const double reached = screen()->brightness();
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.1))));
  ASSERT_TRUE(step(0.005));  // the cancelled ramp's sleeping step
  const size_t first = sets.size();
  auto values = runRamp(0.01);
  EXPECT_EQ(values, expectedRamp(reached, 0.1, 0.01));
  EXPECT_NEAR(sets[first + 1].time - sets[first].time, 0.01, 1e-9);
}

TEST_F(ScreenBrightnessTest, StartEqualToTargetSetsItOnceAfterOneWait) {
  screen()->setBrightness(0.4);
  sets.clear();
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.4))));
  EXPECT_EQ(queue()->operationCount(), 1);
  EXPECT_EQ(runRamp(0.01), std::vector<double>{0.4});
}

TEST_F(ScreenBrightnessTest, SecondRequestDropsTheRestOfTheFirstRamp) {
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.5))));
  ASSERT_TRUE(step(0.01));
  ASSERT_TRUE(step(0.01));
  ASSERT_TRUE(step(0.01));
  const double reached = screen()->brightness();
  EXPECT_DOUBLE_EQ(reached, 0.22);
  // The fourth step is asleep now; the new ramp starts from what the screen shows.
  ASSERT_TRUE(TestPeer::pumpUntil([] { return NSThread::sleepingThreadCount() == 1; }));
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.3))));
  auto values = runRamp(0.01);
  auto second = expectedRamp(reached, 0.3, 0.01);
  ASSERT_EQ(values.size(), second.size() + 1);
  EXPECT_EQ(values[0], std::fma(3, 0.01, 0.2));  // the sleeping step still lands
  EXPECT_EQ(std::vector<double>(values.begin() + 1, values.end()), second);
}

TEST_F(ScreenBrightnessTest, WithoutAnimationTheBrightnessIsSetAtOnce) {
  ASSERT_TRUE(IsSuccess(call("setAnimate", Value::map({{"isAnimate", Value(false)}}))));
  EXPECT_EQ(call("isAnimate").result, Value(false));
  peer.listen(kApplicationStream);
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.3))));
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.3);
  EXPECT_EQ(queue()->operationCount(), 0);
  EXPECT_EQ(events(kApplicationStream), std::vector<double>{0.3});
  EXPECT_EQ(call("hasApplicationScreenBrightnessChanged").result, Value(true));
  EXPECT_DOUBLE_EQ(call("getApplicationScreenBrightness").result.asDouble(), 0.3);

  // An immediate set cancels a running ramp's pending steps; only the one
  // already asleep still lands.
  call("setAnimate", Value::map({{"isAnimate", Value(true)}}));
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.8))));
  ASSERT_TRUE(step(0.01));
  ASSERT_TRUE(TestPeer::pumpUntil([] { return NSThread::sleepingThreadCount() == 1; }));
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(0.6))));
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.6);
  EXPECT_EQ(runRamp(0.01), std::vector<double>{0.31});
}

TEST_F(ScreenBrightnessTest, OutOfRangeTargetsRampOnlyToTheScreensLimit) {
  screen()->setBrightness(0.85);
  sets.clear();
  peer.listen(kApplicationStream);
  ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(1e308))));
  // Stored and reported as given...
  EXPECT_EQ(events(kApplicationStream), std::vector<double>{1e308});
  EXPECT_EQ(call("hasApplicationScreenBrightnessChanged").result, Value(true));
  // ...but the ramp is bounded by the screen's range, and ends exactly on it.
  auto expected = expectedRamp(0.85, 1.0, 0.01);
  if (expected.back() != 1.0) expected.push_back(1.0);
  EXPECT_EQ(queue()->operationCount(), static_cast<int64_t>(expected.size()));
  EXPECT_EQ(runRamp(0.01), expected);
  EXPECT_EQ(screen()->brightness(), 1.0);

  ASSERT_TRUE(IsSuccess(call("setSystemScreenBrightness", brightness(1.7))));
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(1.7));
  ASSERT_TRUE(IsSuccess(call("resetApplicationScreenBrightness")));
  EXPECT_LE(runRamp(0.01).size(), 2u);  // already at the top
  EXPECT_EQ(screen()->brightness(), 1.0);

  // From starts that no whole number of steps brings to the limit, either way.
  for (double target : {1.7, -0.5}) {
    const double limit = target > 1 ? 1.0 : 0.0;
    const double start = target > 1 ? 0.913 : 0.087;
    screen()->setBrightness(start);
    ASSERT_TRUE(IsSuccess(call("setApplicationScreenBrightness", brightness(target))));
    auto ramp = expectedRamp(start, limit, 0.01);
    ASSERT_NE(ramp.back(), limit);
    ramp.push_back(limit);
    EXPECT_EQ(runRamp(0.01), ramp) << target;
    EXPECT_EQ(screen()->brightness(), limit) << target;
  }
}

TEST_F(ScreenBrightnessTest, NonFiniteBrightnessIsRejectedAndChangesNothing) {
  peer.listen(kSystemStream);
  peer.listen(kApplicationStream);
  const double inf = std::numeric_limits<double>::infinity();
  for (double bad : {inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    for (const char* method : {"setSystemScreenBrightness", "setApplicationScreenBrightness"}) {
      auto o = call(method, brightness(bad));
      ASSERT_TRUE(IsError(o, "-2")) << method;
      EXPECT_EQ(o.message, std::optional<std::string>("Unexpected error on null brightness"));
      EXPECT_TRUE(o.details.isNull());
    }
  }
  EXPECT_EQ(queue()->operationCount(), 0);
  EXPECT_TRUE(events(kSystemStream).empty());
  EXPECT_TRUE(events(kApplicationStream).empty());
  EXPECT_EQ(call("hasApplicationScreenBrightnessChanged").result, Value(false));
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(0.2));
}

TEST_F(ScreenBrightnessTest, ArgumentsOfTheWrongKindGetTheMethodsError) {
  peer.listen(kSystemStream);
  const Value badBrightness[] = {
      Value(),
      Value::map({{"brightness", Value("0.5")}}),
      Value::map({{"brightness", Value(true)}}),
      Value::map({{"level", Value(0.5)}}),
      Value::list({Value(0.5)}),
      Value(0.5),
  };
  for (const auto& args : badBrightness) {
    for (const char* method : {"setSystemScreenBrightness", "setApplicationScreenBrightness"}) {
      auto o = call(method, args);
      ASSERT_TRUE(IsError(o, "-2")) << method << " " << args.description();
      EXPECT_EQ(o.message, std::optional<std::string>("Unexpected error on null brightness"));
    }
  }
  EXPECT_TRUE(events(kSystemStream).empty());
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(0.2));

  auto o = call("setAutoReset", Value::map({{"isAutoReset", Value("yes")}}));
  ASSERT_TRUE(IsError(o, "-2"));
  EXPECT_EQ(o.message, std::optional<std::string>("Unexpected error on null isAutoReset"));
  o = call("setAnimate", Value::map({{"isAnimate", Value(int32_t{1})}}));
  ASSERT_TRUE(IsError(o, "-2"));
  EXPECT_EQ(o.message, std::optional<std::string>("Unexpected error on null isAnimate"));
  EXPECT_TRUE(IsError(call("setAnimate"), "-2"));
  EXPECT_EQ(call("isAutoReset").result, Value(true));
  EXPECT_EQ(call("isAnimate").result, Value(true));

  EXPECT_EQ(call("canChangeSystemBrightness").result, Value(true));
  EXPECT_TRUE(IsNotImplemented(call("setScreenBrightness", brightness(0.5))));
  // Integers are numbers too.
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  ASSERT_TRUE(IsSuccess(
      call("setApplicationScreenBrightness", Value::map({{"brightness", Value(int32_t{1})}}))));
  EXPECT_DOUBLE_EQ(screen()->brightness(), 1.0);
}

TEST_F(ScreenBrightnessTest, SystemBrightnessUnderAnApplicationOverride) {
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  peer.listen(kSystemStream);
  peer.listen(kApplicationStream);
  // Listening alone delivers nothing.
  EXPECT_TRUE(events(kSystemStream).empty());
  EXPECT_TRUE(events(kApplicationStream).empty());

  ASSERT_TRUE(IsSuccess(call("setSystemScreenBrightness", brightness(0.4))));
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.4);
  EXPECT_EQ(events(kApplicationStream), std::vector<double>{0.4});

  call("setApplicationScreenBrightness", brightness(0.3));
  ASSERT_TRUE(IsSuccess(call("setSystemScreenBrightness", brightness(0.8))));
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.3);
  EXPECT_EQ(events(kSystemStream), (std::vector<double>{0.4, 0.8}));
  EXPECT_EQ(events(kApplicationStream), (std::vector<double>{0.4, 0.3}));
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(0.8));

  ASSERT_TRUE(IsSuccess(call("resetApplicationScreenBrightness")));
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.8);
  EXPECT_EQ(call("hasApplicationScreenBrightnessChanged").result, Value(false));
  EXPECT_EQ(events(kApplicationStream), (std::vector<double>{0.4, 0.3, 0.8}));
}

TEST_F(ScreenBrightnessTest, InactiveSceneRestoresAndRecordsTheSystemBrightness) {
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  call("setApplicationScreenBrightness", brightness(0.7));
  peer.listen(kSystemStream);
  peer.listen(kApplicationStream);
  auto& scene = *UIWindowScene::defaultScene();

  FlutterEngineSceneWillResignActive(*peer.engine(), scene);
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.2);
  // The user changes the brightness while the application is inactive.
  screen()->setBrightness(0.35);
  EXPECT_EQ(events(kSystemStream), std::vector<double>{0.35});
  EXPECT_TRUE(events(kApplicationStream).empty());
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(0.35));

  FlutterEngineSceneDidBecomeActive(*peer.engine(), scene);
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.7);
  EXPECT_EQ(events(kSystemStream), (std::vector<double>{0.35, 0.35}));
  // Active again: outside changes are no longer recorded.
  screen()->setBrightness(0.9);
  EXPECT_EQ(events(kSystemStream).size(), 2u);
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(0.35));

  // Without an application brightness, activation reports on both streams.
  call("resetApplicationScreenBrightness");
  peer.clearEvents();
  FlutterEngineSceneWillResignActive(*peer.engine(), scene);
  FlutterEngineSceneDidBecomeActive(*peer.engine(), scene);
  EXPECT_EQ(events(kSystemStream), std::vector<double>{0.35});
  EXPECT_EQ(events(kApplicationStream), std::vector<double>{0.35});
}

TEST_F(ScreenBrightnessTest, SceneRestoreRampsInHalfTheTime) {
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  call("setApplicationScreenBrightness", brightness(0.7));
  call("setAnimate", Value::map({{"isAnimate", Value(true)}}));
  FlutterEngineSceneWillResignActive(*peer.engine(), *UIWindowScene::defaultScene());
  ASSERT_TRUE(TestPeer::pumpUntil([] { return NSThread::sleepingThreadCount() == 1; }));
  sets.clear();
  PlatformClock::advance(0.004);
  EXPECT_EQ(NSThread::sleepingThreadCount(), 1u);
  PlatformClock::advance(0.001);
  ASSERT_TRUE(TestPeer::pumpUntil([&] { return sets.size() == 1; }));
  EXPECT_DOUBLE_EQ(sets[0].value, 0.7);
}

TEST_F(ScreenBrightnessTest, WithoutAutoResetSceneEventsChangeNothing) {
  ASSERT_TRUE(IsSuccess(call("setAutoReset", Value::map({{"isAutoReset", Value(false)}}))));
  EXPECT_EQ(call("isAutoReset").result, Value(false));
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  call("setApplicationScreenBrightness", brightness(0.6));
  peer.listen(kSystemStream);
  peer.listen(kApplicationStream);
  FlutterEngineSceneWillResignActive(*peer.engine(), *UIWindowScene::defaultScene());
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.6);
  screen()->setBrightness(0.1);
  FlutterEngineSceneDidBecomeActive(*peer.engine(), *UIWindowScene::defaultScene());
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.1);
  EXPECT_TRUE(events(kSystemStream).empty());
  EXPECT_TRUE(events(kApplicationStream).empty());
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(0.2));
}

TEST_F(ScreenBrightnessTest, DisconnectRestoresTheMainScreenAndStopsObserving) {
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  call("setApplicationScreenBrightness", brightness(0.9));
  peer.listen(kSystemStream);
  auto& scene = *UIWindowScene::defaultScene();
  FlutterEngineSceneWillResignActive(*peer.engine(), scene);
  screen()->setBrightness(0.45);
  FlutterEngineSceneDidDisconnect(*peer.engine(), scene);
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.45);
  // The restore itself is still observed; nothing after it is.
  EXPECT_EQ(events(kSystemStream), (std::vector<double>{0.45, 0.45}));
  screen()->setBrightness(0.05);
  EXPECT_EQ(events(kSystemStream).size(), 2u);
  EXPECT_EQ(call("getSystemScreenBrightness").result, Value(0.45));
}

TEST_F(ScreenBrightnessTest, CurrentScreenIsTheViewControllersScreen) {
  auto other = std::make_shared<UIScreen>();
  other->setBrightnessProvider(std::make_shared<UIMemoryBrightness>(0.9));
  auto scene = std::make_shared<UIWindowScene>(other);
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  window->setWindowScene(scene);
  auto vc = std::make_shared<UIViewController>();
  window->setRootViewController(vc);
  peer.engine()->setViewController(vc);

  EXPECT_DOUBLE_EQ(call("getApplicationScreenBrightness").result.asDouble(), 0.9);
  call("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  call("setApplicationScreenBrightness", brightness(0.4));
  EXPECT_DOUBLE_EQ(other->brightness(), 0.4);
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.2);
  peer.engine()->setViewController(nullptr);
}

TEST_F(ScreenBrightnessTest, ApplicationStateChangesReachThePlugin) {
  // The engine's application delegate turns the application's activation
  // into the scene's, as the host's delegate inherits it.
  FlutterAppDelegate appDelegate;
  auto app = UIApplication::sharedApplication();
  appDelegate.applicationDidFinishLaunchingWithOptions(*app, Value());
  auto engine = appDelegate.engine();
  ScreenBrightnessIosPlugin::registerWithRegistrar(engine->registrarForPlugin("Hosted"));
  std::shared_ptr<ScreenBrightnessIosPlugin> hosted;
  for (auto& d : engine->sceneDelegates()) {
    hosted = std::dynamic_pointer_cast<ScreenBrightnessIosPlugin>(d);
  }
  ASSERT_TRUE(hosted);
  auto send = [&](const char* method, const Value& args) {
    hosted->handleMethodCall(FlutterMethodCall{method, args}, FlutterResult([](FlutterReply) {}));
  };
  send("setAnimate", Value::map({{"isAnimate", Value(false)}}));
  send("setApplicationScreenBrightness", brightness(0.7));

  appDelegate.applicationWillResignActive(*app);
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.2);
  screen()->setBrightness(0.35);
  appDelegate.applicationDidBecomeActive(*app);
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.7);
  appDelegate.applicationWillTerminate(*app);
  EXPECT_DOUBLE_EQ(screen()->brightness(), 0.35);
  engine->destroyContext();
}

}  // namespace

}  // namespace screen_brightness_ios_plugin_test
