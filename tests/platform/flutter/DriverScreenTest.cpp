// The driver's screen requests against a real window on the manual clock:
// their order, the idle request, what the view tree says is selected,
// touches that land on nothing or come while a screen moves, where a
// snapshot may be written, and a touch whose work needs a class nobody
// registered.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "platform/flutter/FlutterJSONDriver.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/quartzcore/CAAnimation.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UICollectionViewCell.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UITableView.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace driver_screen_test {

namespace {

class DriverScreen : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    engine = FlutterEngine::create();
    driver = FlutterJSONDriver::create(engine, [this](const std::string& line) {
      auto json = NSJSONSerialization::JSONObjectWithData(line);
      ASSERT_TRUE(json) << line;
      replies[json->find("id")->asInt64()] = *json;
    });
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 200, 400));
    root = std::make_shared<UIViewController>();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    button = UIButton::buttonWithType(UIButtonType::Custom);
    button->setFrame(CGRectMake(20, 20, 100, 40));
    // A tap flips the button, and whatever the test hangs on it runs too.
    button->addTarget(
        button,
        [this](UIControl& sender, UIEvent*) {
          sender.setSelected(!sender.isSelected());
          if (onTap) onTap();
        },
        UIControlEventTouchUpInside);
    root->view()->addSubview(button);
    drainMainLoop();
  }
  void TearDown() override {
    window->setHidden(true);
    engine->destroyContext();
    PlatformTest::TearDown();
  }
  void send(int id, const std::string& body) {
    driver->handleLine(R"({"id":)" + std::to_string(id) + "," + body + "}");
  }
  const Value* reply(int id) {
    auto it = replies.find(id);
    return it == replies.end() ? nullptr : &it->second;
  }
  std::string errorCode(int id) {
    const Value* r = reply(id);
    const Value* e = r ? r->find("error") : nullptr;
    return e ? e->find("code")->asString() : "";
  }
  // The tree's views with a selected state, depth first, by frame origin.
  static void selectedOf(const Value& view, std::vector<std::pair<double, bool>>& out) {
    out.emplace_back(view.find("frame")->asList()[0].asDouble(), view.find("selected")->asBool());
    for (const Value& child : view.find("children")->asList()) selectedOf(child, out);
  }

  std::shared_ptr<FlutterEngine> engine;
  std::shared_ptr<FlutterJSONDriver> driver;
  std::map<int64_t, Value> replies;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root;
  std::shared_ptr<UIButton> button;
  std::function<void()> onTap;
};

TEST_F(DriverScreen, EachScreenRequestWaitsForTheOneBefore) {
  send(1, R"("touch":{"kind":"tap","point":[70,40]})");
  send(2, R"("viewTree":null)");
  send(3, R"("touch":{"kind":"tap","point":[70,40]})");
  send(4, R"("viewTree":null)");
  drainMainLoop();
  EXPECT_EQ(reply(1), nullptr) << "the finger is still down";
  EXPECT_EQ(reply(2), nullptr) << "the tree waits for the touch to land";
  advance(0.1);
  ASSERT_NE(reply(1), nullptr);
  ASSERT_NE(reply(2), nullptr);
  std::vector<std::pair<double, bool>> first;
  selectedOf(*reply(2)->find("result"), first);
  EXPECT_NE(std::find(first.begin(), first.end(), std::make_pair(20.0, true)), first.end());
  advance(0.2);
  std::vector<std::pair<double, bool>> second;
  ASSERT_NE(reply(4), nullptr);
  selectedOf(*reply(4)->find("result"), second);
  EXPECT_NE(std::find(second.begin(), second.end(), std::make_pair(20.0, false)), second.end());
}

TEST_F(DriverScreen, TheTreeReportsCellsAndControlsAsSelected) {
  auto selectedCollectionCell = std::make_shared<UICollectionViewCell>(CGRectMake(1, 100, 10, 10));
  selectedCollectionCell->setSelected(true);
  auto collectionCell = std::make_shared<UICollectionViewCell>(CGRectMake(2, 100, 10, 10));
  auto selectedTableCell = std::make_shared<UITableViewCell>();
  selectedTableCell->setFrame(CGRectMake(3, 120, 10, 10));
  selectedTableCell->setSelected(true);
  auto plain = std::make_shared<UIView>(CGRectMake(4, 140, 10, 10));
  for (const auto& v : std::vector<std::shared_ptr<UIView>>{selectedCollectionCell, collectionCell,
                                                            selectedTableCell, plain}) {
    root->view()->addSubview(v);
  }
  button->setSelected(true);
  send(1, R"("viewTree":null)");
  drainMainLoop();
  ASSERT_NE(reply(1), nullptr);
  std::vector<std::pair<double, bool>> got;
  selectedOf(*reply(1)->find("result"), got);
  const std::pair<double, bool> expected[] = {
      {1, true}, {2, false}, {3, true}, {4, false}, {20, true}};
  for (const auto& e : expected) {
    EXPECT_NE(std::find(got.begin(), got.end(), e), got.end()) << e.first;
  }
}

TEST_F(DriverScreen, ATouchThatLandsOnNoViewIsAnErrorNamingThePoint) {
  struct Case {
    const char* touch;
    const char* missed;  // nullptr: the touch lands
  };
  const Case cases[] = {
      {R"({"kind":"tap","point":[-1,10]})", "(-1, 10)"},
      {R"({"kind":"tap","point":[200,10]})", "(200, 10)"},
      {R"({"kind":"tap","point":[199.5,399.5]})", nullptr},
      {R"({"kind":"tap","point":[0,0]})", nullptr},
      {R"({"kind":"longPress","point":[10,400],"duration":0.1})", "(10, 400)"},
      {R"({"kind":"drag","path":[[10,-0.5],[10,10]]})", "(10, -0.5)"},
      {R"({"kind":"drag","path":[[10,10],[10,-50]]})", nullptr},
  };
  int id = 1;
  for (const Case& c : cases) {
    send(id, std::string(R"("touch":)") + c.touch);
    advance(1);
    ASSERT_NE(reply(id), nullptr) << c.touch;
    if (!c.missed) {
      EXPECT_TRUE(reply(id)->find("result")) << c.touch;
    } else {
      ASSERT_EQ(errorCode(id), "no_view") << c.touch;
      EXPECT_EQ(reply(id)->find("error")->find("message")->asString(),
                std::string("No view takes touches at ") + c.missed + " (window points)");
    }
    ++id;
  }
}

TEST_F(DriverScreen, ASnapshotReplacesOnlyARegularFileOrANewPath) {
  TempFolder scratch;
  const std::string target = scratch.path() + "/target.txt";
  std::ofstream(target) << "keep";
  ::symlink(target.c_str(), (scratch.path() + "/link.png").c_str());
  ::mkfifo((scratch.path() + "/fifo.png").c_str(), 0600);
  std::ofstream(scratch.path() + "/old.png") << "old";
  struct Case {
    std::string path;
    bool written;
  };
  const Case cases[] = {{scratch.path() + "/new.png", true},
                        {scratch.path() + "/old.png", true},
                        {scratch.path() + "/link.png", false},
                        {scratch.path() + "/fifo.png", false},
                        {scratch.path(), false},
                        {"/dev/null", false}};
  int id = 1;
  for (const Case& c : cases) {
    send(id, R"("snapshot":")" + c.path + "\"");
    drainMainLoop();
    ASSERT_NE(reply(id), nullptr) << c.path;
    if (c.written) {
      EXPECT_EQ(reply(id)->find("result")->find("width")->asInt64(), 600) << c.path;
      std::ifstream in(c.path, std::ios::binary);
      std::string head(4, '\0');
      in.read(head.data(), 4);
      EXPECT_EQ(head.substr(1), "PNG") << c.path;
    } else {
      ASSERT_EQ(errorCode(id), "write_failed") << c.path;
      EXPECT_EQ(reply(id)->find("error")->find("message")->asString(),
                c.path + " exists and is not a regular file");
    }
    ++id;
  }
  struct stat info {};
  ASSERT_EQ(::lstat((scratch.path() + "/link.png").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(::lstat((scratch.path() + "/fifo.png").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  std::ifstream kept(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

TEST_F(DriverScreen, IdleWaitsForAnimationsAndMainQueueWork) {
  // A view animation of one second, then half a second of stillness.
  UIView::animateWithDuration(1.0, [this] { button->setAlpha(0.5); });
  send(1, R"("idle":null)");
  advance(1.45);
  EXPECT_EQ(reply(1), nullptr) << "the animation ended less than half a second ago";
  advance(0.1);
  ASSERT_NE(reply(1), nullptr);
  EXPECT_TRUE(reply(1)->find("result")->isNull());

  // Work on the main queue each frame for a second (a timer, a scroll
  // view's deceleration), and no animation.
  send(2, R"("idle":null)");
  const double start = PlatformClock::now();
  std::function<void()> work = [&] {
    if (PlatformClock::now() - start < 1 - 1e-9) {
      NSRunLoop::mainRunLoop().performAfter(1.0 / 60, [&] { work(); });
    }
  };
  NSRunLoop::mainRunLoop().performAfter(1.0 / 60, [&] { work(); });
  advance(1.45);
  EXPECT_EQ(reply(2), nullptr) << "the queue was busy less than half a second ago";
  advance(0.1);
  ASSERT_NE(reply(2), nullptr);
  EXPECT_TRUE(reply(2)->find("result")->isNull());

  // Work on a worker (a photo still decoding) does not count: the screen is
  // idle while it runs, and what it hands the main queue comes after.
  auto decoding = dispatch_semaphore_create(0);
  std::atomic<bool> delivered{false};
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&, decoding] {
    DispatchBlockingScope blocking;
    dispatch_semaphore_wait(decoding, DISPATCH_TIME_FOREVER);
    dispatch_async(dispatch_get_main_queue(), [&] { delivered = true; });
  });
  send(3, R"("idle":null)");
  advance(0.55);
  EXPECT_NE(reply(3), nullptr) << "a worker's decode held the idle request";
  EXPECT_FALSE(delivered);
  dispatch_semaphore_signal(decoding);
  EXPECT_TRUE(RunMainLoopUntil([&] { return delivered.load(); }));

  // An animation that never ends: the wait gives up, saying why.
  auto spin = CABasicAnimation::animationWithKeyPath("opacity");
  spin->setDuration(1);
  spin->setRepeatCount(HUGE_VAL);
  button->layer()->addAnimation(spin, "spin");
  send(4, R"("idle":null)");
  advance(29.9);
  EXPECT_EQ(reply(4), nullptr);
  advance(0.2);
  ASSERT_NE(reply(4), nullptr);
  ASSERT_EQ(errorCode(4), "not_idle");
  EXPECT_EQ(reply(4)->find("error")->find("message")->asString(),
            "Still busy after 30 seconds: an animation is running");
  button->layer()->removeAllAnimations();
  drainMainLoop();
}

// Holds a presentation until the test completes its context.
class HeldAnimator : public UIViewControllerAnimatedTransitioning {
 public:
  std::shared_ptr<UIViewControllerContextTransitioning> context;
  double transitionDuration(UIViewControllerContextTransitioning*) override { return 1; }
  void animateTransition(UIViewControllerContextTransitioning& c) override {
    context = std::static_pointer_cast<UIViewControllerContextTransitioning>(c.shared_from_this());
  }
};

class HeldTransition : public UIViewControllerTransitioningDelegate {
 public:
  std::shared_ptr<HeldAnimator> animator = std::make_shared<HeldAnimator>();
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForPresentedController(
      const std::shared_ptr<UIViewController>&, const std::shared_ptr<UIViewController>&,
      const std::shared_ptr<UIViewController>&) override {
    return animator;
  }
};

// The window drops fingers put down while a screen comes or goes, so a touch
// waits for the transition and then plays on the screen that stays; one held
// past the bound is refused unplayed.
TEST_F(DriverScreen, ATouchWaitsForTheRunningTransitionOrGivesUp) {
  auto sheet = std::make_shared<UIViewController>();
  sheet->setModalPresentationStyle(UIModalPresentationStyle::OverFullScreen);
  root->presentViewController(sheet, false);
  sheet->dismissViewControllerAnimated(true);
  send(1, R"("touch":{"kind":"tap","point":[70,40]})");
  advance(UIViewController::kTransitionDuration - 0.01);
  EXPECT_EQ(reply(1), nullptr);
  EXPECT_FALSE(button->isSelected());
  advance(0.2);
  ASSERT_NE(reply(1), nullptr);
  EXPECT_TRUE(reply(1)->find("result"));
  EXPECT_TRUE(button->isSelected()) << "played on the screen the sheet uncovered";

  // A press that waited keeps its whole length: sent while the sheet slides
  // away, it comes down once the slide is over and stays down for its 0.8 s
  // from then, not from when it was sent.
  root->presentViewController(sheet, false);
  sheet->dismissViewControllerAnimated(true);
  send(2, R"("touch":{"kind":"longPress","point":[70,40],"duration":0.8})");
  advance(UIViewController::kTransitionDuration);
  advance(0.6);
  EXPECT_TRUE(button->isHighlighted()) << "the finger is down";
  EXPECT_EQ(reply(2), nullptr);
  advance(0.18);
  EXPECT_TRUE(button->isHighlighted()) << "the finger is still down";
  EXPECT_EQ(reply(2), nullptr);
  EXPECT_TRUE(button->isSelected());
  advance(0.05);
  ASSERT_NE(reply(2), nullptr);
  EXPECT_TRUE(reply(2)->find("result"));
  EXPECT_FALSE(button->isHighlighted());
  EXPECT_FALSE(button->isSelected()) << "lifted on the button";

  auto held = std::make_shared<HeldTransition>();
  sheet->setTransitioningDelegate(held);
  root->presentViewController(sheet, true);
  auto context = held->animator->context;
  ASSERT_NE(context, nullptr);
  send(3, R"("touch":{"kind":"tap","point":[70,40]})");
  advance(10 - 0.05);
  EXPECT_EQ(reply(3), nullptr);
  advance(0.1);
  ASSERT_EQ(errorCode(3), "busy");
  EXPECT_EQ(reply(3)->find("error")->find("message")->asString(),
            "A screen was still being presented, dismissed, pushed or popped after 10 seconds; "
            "the touch was not played");
  EXPECT_FALSE(button->isSelected());
  context->completeTransition(true);
  root->dismissViewControllerAnimated(false);
}

// A navigation push or pop is a transition too: a touch sent while a screen
// slides in waits and lands on it; a double tap on its back button goes back
// one screen, as its second tap comes while the screen slides away; two taps
// sent one after the other go back two, the second played once the first
// pop is over.
TEST_F(DriverScreen, ATouchWaitsForAPushOrPopAndADoubleTapOnBackGoesBackOneScreen) {
  auto first = std::make_shared<UIViewController>();
  auto nav = std::make_shared<UINavigationController>(first);
  window->setRootViewController(nav);
  auto second = std::make_shared<UIViewController>();
  second->setTitle("Second");
  nav->pushViewController(second, false);
  auto third = std::make_shared<UIViewController>();
  int thirdTaps = 0;
  auto onThird = UIButton::buttonWithType(UIButtonType::Custom);
  onThird->setFrame(CGRectMake(20, 200, 100, 40));
  onThird->addTarget(
      onThird, [&](UIControl&, UIEvent*) { ++thirdTaps; }, UIControlEventTouchUpInside);
  third->view()->addSubview(onThird);
  nav->pushViewController(third, true);
  send(1, R"("touch":{"kind":"tap","point":[70,220]})");
  advance(UIViewController::kTransitionDuration - 0.01);
  EXPECT_EQ(reply(1), nullptr);
  advance(0.2);
  ASSERT_NE(reply(1), nullptr);
  EXPECT_TRUE(reply(1)->find("result"));
  EXPECT_EQ(thirdTaps, 1) << "played on the pushed screen";

  auto backAt = [&] {
    window->layoutIfNeeded();
    auto back = nav->navigationBar()->backButton();
    if (!back) return std::string("[-1,-1]");
    CGRect r = back->convertRectToView(back->bounds(), nullptr);
    return "[" + std::to_string(CGRectGetMidX(r)) + "," + std::to_string(CGRectGetMidY(r)) + "]";
  };
  send(2, R"("touch":{"kind":"tap","count":2,"point":)" + backAt() + "}");
  advance(1);
  ASSERT_NE(reply(2), nullptr);
  EXPECT_TRUE(reply(2)->find("result"));
  EXPECT_EQ(nav->topViewController(), second);
  EXPECT_EQ(nav->viewControllers().size(), 2u);

  nav->pushViewController(third, false);
  const std::string back = backAt();
  send(3, R"("touch":{"kind":"tap","point":)" + back + "}");
  send(4, R"("touch":{"kind":"tap","point":)" + back + "}");
  advance(2);
  ASSERT_NE(reply(4), nullptr);
  EXPECT_TRUE(reply(3)->find("result"));
  EXPECT_TRUE(reply(4)->find("result"));
  EXPECT_EQ(nav->topViewController(), first);
}

TEST_F(DriverScreen, ATouchWhoseWorkFindsNoClassIsAnErrorNamingIt) {
  onTap = [] {
    EXPECT_EQ(NSClassRegistry::createInstance("DriverScreenTest.Unregistered"), nullptr);
  };
  send(1, R"("touch":{"kind":"tap","point":[70,40]})");
  advance(0.2);
  ASSERT_EQ(errorCode(1), "class_not_found");
  EXPECT_EQ(reply(1)->find("error")->find("message")->asString(),
            "No class registered under DriverScreenTest.Unregistered");
  // The next touch needs nothing missing and lands as usual.
  onTap = nullptr;
  send(2, R"("touch":{"kind":"tap","point":[70,40]})");
  advance(0.2);
  EXPECT_TRUE(reply(2)->find("result"));
}

}  // namespace

}  // namespace driver_screen_test
