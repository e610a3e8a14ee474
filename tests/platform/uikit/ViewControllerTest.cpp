#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIBarLook.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITouch.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedDisplay.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace view_controller_test {

namespace {

using Log = std::vector<std::string>;

class LoggingVC : public UIViewController {
 public:
  LoggingVC(std::string name, Log* log) : name_(std::move(name)), log_(log) {}
  void viewDidLoad() override { log_->push_back(name_ + ".didLoad"); }
  void viewWillAppear(bool) override { log_->push_back(name_ + ".willAppear"); }
  void viewDidAppear(bool) override { log_->push_back(name_ + ".didAppear"); }
  void viewWillDisappear(bool) override { log_->push_back(name_ + ".willDisappear"); }
  void viewDidDisappear(bool) override { log_->push_back(name_ + ".didDisappear"); }
  void viewWillTransitionToSize(const CGSize& size,
                                UIViewControllerTransitionCoordinator& c) override {
    log_->push_back(name_ + ".willTransitionTo " + std::to_string(int(size.width)));
    UIViewController::viewWillTransitionToSize(size, c);
  }

 private:
  std::string name_;
  Log* log_;
};

// Slides the presented view in and ends when the test says so.
class Animator : public UIViewControllerAnimatedTransitioning {
 public:
  std::shared_ptr<UIViewControllerContextTransitioning> context;
  std::vector<bool> ended;
  double transitionDuration(UIViewControllerContextTransitioning*) override { return 0.5; }
  void animateTransition(UIViewControllerContextTransitioning& c) override {
    context = std::static_pointer_cast<UIViewControllerContextTransitioning>(c.shared_from_this());
    if (auto to = c.viewForKey(UITransitionContextToViewKey)) {
      c.containerView()->addSubview(to);
      to->setFrame(c.finalFrameForViewController(
          c.viewControllerForKey(UITransitionContextToViewControllerKey).get()));
    }
  }
  void animationEnded(bool completed) override { ended.push_back(completed); }
};

class HalfHeight : public UIPresentationController {
 public:
  using UIPresentationController::UIPresentationController;
  CGRect frameOfPresentedViewInContainerView() const override {
    CGRect b = containerView()->bounds();
    return CGRectMake(0, b.size.height / 2, b.size.width, b.size.height / 2);
  }
};

class Transitions : public UIViewControllerTransitioningDelegate {
 public:
  std::shared_ptr<Animator> animator = std::make_shared<Animator>();
  std::shared_ptr<UIPercentDrivenInteractiveTransition> interaction;
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForPresentedController(
      const std::shared_ptr<UIViewController>&, const std::shared_ptr<UIViewController>&,
      const std::shared_ptr<UIViewController>&) override {
    return animator;
  }
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForDismissedController(
      const std::shared_ptr<UIViewController>&) override {
    return animator;
  }
  std::shared_ptr<UIViewControllerInteractiveTransitioning> interactionControllerForDismissal(
      UIViewControllerAnimatedTransitioning&) override {
    return interaction;
  }
  std::shared_ptr<UIPresentationController> presentationControllerForPresentedViewController(
      const std::shared_ptr<UIViewController>& presented,
      const std::shared_ptr<UIViewController>& presenting,
      const std::shared_ptr<UIViewController>&) override {
    return std::make_shared<HalfHeight>(presented, presenting);
  }
};

// Counts the fingers that come down on it.
class TouchCounter : public UIView {
 public:
  using UIView::UIView;
  int began = 0;
  void touchesBegan(const UITouchSet&, UIEvent*) override { ++began; }
};

std::shared_ptr<TouchCounter> coverWithCounter(const std::shared_ptr<UIView>& view) {
  auto counter = std::make_shared<TouchCounter>(view->bounds());
  counter->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  view->addSubview(counter);
  return counter;
}

class ViewControllerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // A phone without a notch: no safe area to adjust for.
    UseScreenProfile(UIScreenProfile::phone());
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    root = std::make_shared<LoggingVC>("A", &log);
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    log.clear();
  }
  void TearDown() override {
    UIDevice::currentDevice()->setUserInterfaceIdiom(UIUserInterfaceIdiomPhone);
    PlatformTest::TearDown();
  }

  Log log;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<LoggingVC> root;
};

TEST_F(ViewControllerTest, FullScreenPresentationRunsOnTheClockWithCallbacksInOrder) {
  auto b = std::make_shared<LoggingVC>("B", &log);
  b->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  root->presentViewController(b, true, [&] { log.push_back("presented"); });
  EXPECT_EQ(log, (Log{"B.didLoad", "A.willDisappear", "B.willAppear"}));
  EXPECT_EQ(root->presentedViewController(), b);
  EXPECT_EQ(b->presentingViewController(), root);
  EXPECT_TRUE(b->isBeingPresented());
  advance(UIViewController::kTransitionDuration);
  EXPECT_EQ(log, (Log{"B.didLoad", "A.willDisappear", "B.willAppear", "A.didDisappear",
                      "B.didAppear", "presented"}));
  EXPECT_FALSE(b->isBeingPresented());
  EXPECT_EQ(b->view()->window(), window);
  EXPECT_EQ(b->view()->frame(), window->bounds());
  EXPECT_EQ(root->view()->window(), nullptr);  // full screen takes the presenter away

  // A second presentation from the same presenter is refused.
  auto c = std::make_shared<UIViewController>();
  bool called = false;
  root->presentViewController(c, false, [&] { called = true; });
  EXPECT_FALSE(called);
  EXPECT_EQ(c->presentingViewController(), nullptr);

  log.clear();
  b->dismissViewControllerAnimated(true, [&] { log.push_back("dismissed"); });
  EXPECT_EQ(log, (Log{"B.willDisappear", "A.willAppear"}));
  EXPECT_TRUE(b->isBeingDismissed());
  EXPECT_EQ(root->presentedViewController(), b);  // until the animation ends
  advance(UIViewController::kTransitionDuration);
  EXPECT_EQ(log, (Log{"B.willDisappear", "A.willAppear", "B.didDisappear", "A.didAppear",
                      "dismissed"}));
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_EQ(root->view()->window(), window);
  EXPECT_EQ(b->view()->window(), nullptr);
}

TEST_F(ViewControllerTest, SheetsLeaveThePresenterOnScreenAndChainsDismissTogether) {
  auto b = std::make_shared<LoggingVC>("B", &log);  // automatic: a page sheet
  root->presentViewController(b, false);
  EXPECT_EQ(log, (Log{"B.didLoad", "B.willAppear", "B.didAppear"}));
  EXPECT_EQ(root->view()->window(), window);
  EXPECT_EQ(b->presentationController()->presentationStyle(), UIModalPresentationStyle::PageSheet);
  // A card 10 points below the status bar's safe area.
  double top = root->view()->safeAreaInsets().top + 10;
  EXPECT_EQ(b->view()->frame(), CGRectMake(0, top, 375, 667 - top));

  auto c = std::make_shared<LoggingVC>("C", &log);
  b->presentViewController(c, false);
  EXPECT_EQ(UIViewController::topmostPresented(root), c);
  log.clear();
  root->dismissViewControllerAnimated(false);
  EXPECT_EQ(log, (Log{"C.willDisappear", "C.didDisappear", "B.willDisappear", "B.didDisappear"}));
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_EQ(b->presentedViewController(), nullptr);

  // A person swiping a sheet down asks the delegate first.
  class Keeper : public UIAdaptivePresentationControllerDelegate {
   public:
    bool allow = false;
    Log* log;
    bool presentationControllerShouldDismiss(UIPresentationController&) override { return allow; }
    void presentationControllerDidAttemptToDismiss(UIPresentationController&) override {
      log->push_back("attempt");
    }
    void presentationControllerDidDismiss(UIPresentationController&) override {
      log->push_back("didDismiss");
    }
  };
  auto keeper = std::make_shared<Keeper>();
  keeper->log = &log;
  root->presentViewController(b, false);
  b->presentationController()->setDelegate(keeper);
  log.clear();
  EXPECT_FALSE(b->presentationController()->dismissByUser());
  keeper->allow = true;
  EXPECT_TRUE(b->presentationController()->dismissByUser());
  advance(UIViewController::kTransitionDuration);
  EXPECT_EQ(log, (Log{"attempt", "B.willDisappear", "B.didDisappear", "didDismiss"}));
}

TEST_F(ViewControllerTest, PresentationsAreSeenThroughContainers) {
  auto inner = std::make_shared<LoggingVC>("C", &log);
  auto nav = std::make_shared<UINavigationController>(inner);
  root->presentViewController(nav, false);
  // A controller inside the presented container answers its presenter.
  EXPECT_EQ(nav->presentingViewController(), root);
  EXPECT_EQ(inner->presentingViewController(), root);
  EXPECT_EQ(inner->presentedViewController(), nullptr);

  // What the container presents, its children see.
  auto alert = std::make_shared<LoggingVC>("D", &log);
  nav->presentViewController(alert, false);
  EXPECT_EQ(inner->presentedViewController(), alert);
  EXPECT_EQ(alert->presentingViewController(), nav);

  // The child dismisses what it sees presented first, then the container
  // holding it.
  inner->dismissViewControllerAnimated(false);
  EXPECT_EQ(nav->presentedViewController(), nullptr);
  EXPECT_EQ(root->presentedViewController(), nav);
  bool done = false;
  inner->dismissViewControllerAnimated(false, [&done] { done = true; });
  EXPECT_TRUE(done);
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_EQ(inner->presentingViewController(), nullptr);
  EXPECT_FALSE(nav->view()->window());
}

TEST_F(ViewControllerTest, CustomTransitionRunsWithARealContext) {
  auto transitions = std::make_shared<Transitions>();
  auto b = std::make_shared<LoggingVC>("B", &log);
  b->setModalPresentationStyle(UIModalPresentationStyle::Custom);
  b->setTransitioningDelegate(transitions);
  bool presented = false;
  root->presentViewController(b, true, [&] { presented = true; });
  auto ctx = transitions->animator->context;
  ASSERT_NE(ctx, nullptr);
  EXPECT_TRUE(ctx->isAnimated());
  EXPECT_EQ(ctx->viewControllerForKey(UITransitionContextFromViewControllerKey), root);
  EXPECT_EQ(ctx->viewControllerForKey(UITransitionContextToViewControllerKey), b);
  EXPECT_EQ(ctx->viewForKey(UITransitionContextToViewKey), b->view());
  EXPECT_EQ(ctx->viewForKey(UITransitionContextFromViewKey), nullptr);  // presenter stays
  EXPECT_EQ(ctx->containerView()->superview(), window);
  EXPECT_EQ(ctx->finalFrameForViewController(b.get()), CGRectMake(0, 333.5, 375, 333.5));
  EXPECT_EQ(b->view()->frame(), CGRectMake(0, 333.5, 375, 333.5));
  advance(5);
  EXPECT_FALSE(presented);  // the animator has not finished
  EXPECT_EQ(log.back(), "B.willAppear");
  const CGPoint onSheet = CGPointMake(187, 500);
  auto onB = coverWithCounter(b->view());
  auto onRoot = coverWithCounter(root->view());
  UITouchDriver hand(window);
  hand.tap(onSheet);  // mid-presentation: dropped
  ctx->completeTransition(true);
  EXPECT_TRUE(presented);
  EXPECT_EQ(onB->began + onRoot->began, 0);
  EXPECT_EQ(log.back(), "B.didAppear");
  EXPECT_EQ(transitions->animator->ended, (std::vector<bool>{true}));

  // An interactive dismissal that is cancelled leaves everything as it was.
  transitions->interaction =
      std::make_shared<UIPercentDrivenInteractiveTransition>(transitions->animator);
  log.clear();
  b->dismissViewControllerAnimated(true, [&] { log.push_back("dismissed"); });
  ctx = transitions->animator->context;
  EXPECT_TRUE(ctx->isInteractive());
  EXPECT_EQ(ctx->viewForKey(UITransitionContextFromViewKey), b->view());
  transitions->interaction->updateInteractiveTransition(0.4);
  EXPECT_DOUBLE_EQ(ctx->percentComplete(), 0.4);
  hand.tap(onSheet);  // mid-dismissal: dropped
  transitions->interaction->cancelInteractiveTransition();
  ctx->completeTransition(!ctx->transitionWasCancelled());
  EXPECT_EQ(root->presentedViewController(), b);
  EXPECT_EQ(b->view()->window(), window);
  EXPECT_EQ(log, (Log{"B.willDisappear", "B.willAppear", "B.didAppear"}));
  EXPECT_EQ(onB->began + onRoot->began, 0);
  // The sheet that stays takes touches again, though its animator still
  // holds the ended transition.
  hand.tap(onSheet);
  EXPECT_EQ(onB->began, 1);

  log.clear();
  b->dismissViewControllerAnimated(true, [&] { log.push_back("dismissed"); });
  ctx = transitions->animator->context;
  transitions->interaction->updateInteractiveTransition(0.7);
  transitions->interaction->finishInteractiveTransition();
  ctx->completeTransition(!ctx->transitionWasCancelled());
  EXPECT_EQ(log, (Log{"B.willDisappear", "B.didDisappear", "dismissed"}));
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_EQ(transitions->animator->ended, (std::vector<bool>{true, false, true}));
}

TEST_F(ViewControllerTest, AFullScreenDismissalPutsThePresenterBackInItsWindow) {
  auto transitions = std::make_shared<Transitions>();
  auto b = std::make_shared<LoggingVC>("B", &log);
  b->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  b->setTransitioningDelegate(transitions);
  root->presentViewController(b, true);
  transitions->animator->context->completeTransition(true);
  EXPECT_EQ(root->view()->window(), nullptr);  // taken off under a full screen

  // The animator adds the returning view to the container, which goes.
  b->dismissViewControllerAnimated(true);
  auto ctx = transitions->animator->context;
  EXPECT_EQ(root->view()->superview(), ctx->containerView());
  ctx->completeTransition(true);
  EXPECT_EQ(ctx->containerView()->superview(), nullptr);
  EXPECT_EQ(root->view()->superview(), window);
  EXPECT_EQ(window->subviews().back(), root->view());
}

// What a plugin does when a call comes while the last screen slides away: it
// presents from the topmost controller it finds, which may be the one
// leaving (or a child of it), or from the one underneath. Whichever it asks,
// the new screen ends up over the one that stays, on screen and closable.
// While either screen moves, a finger put down reaches no screen at all.
TEST_F(ViewControllerTest, PresentingWhileTheLastScreenSlidesAwayShowsOverTheOneThatStays) {
  enum class Asks { Stays, Leaving, LeavingsChild };
  struct Case {
    const char* name;
    Asks asks;
    double after;  // seconds into the leaving screen's dismissal
    bool fingerReachesBelow;  // a finger put down then, on the screen that stays
  };
  const double end = UIViewController::kTransitionDuration;
  const Case cases[] = {
      {"the one underneath, as the slide starts", Asks::Stays, 0, false},
      {"the leaving one, as the slide starts", Asks::Leaving, 0, false},
      {"the leaving one, just before the slide ends", Asks::Leaving, end - 0.01, false},
      {"a child of the leaving one", Asks::LeavingsChild, end / 2, false},
      {"the one underneath, once the slide is over", Asks::Stays, end, true},
  };
  const CGPoint middle = CGPointMake(187, 500);
  auto below = coverWithCounter(root->view());
  UITouchDriver hand(window);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    below->began = 0;
    auto child = std::make_shared<UIViewController>();
    auto leaving = std::make_shared<UINavigationController>(child);
    leaving->setModalPresentationStyle(UIModalPresentationStyle::OverFullScreen);
    root->presentViewController(leaving, false);
    auto onLeaving = coverWithCounter(leaving->view());
    int leavingGone = 0;
    leaving->dismissViewControllerAnimated(true, [&] { ++leavingGone; });
    advance(c.after);
    // Lifted only once the next screen shows: a dropped finger stays dropped.
    auto finger = hand.down({middle});
    EXPECT_EQ(below->began, c.fingerReachesBelow ? 1 : 0);
    EXPECT_EQ(onLeaving->began, 0);

    auto next = std::make_shared<UIViewController>();
    next->setModalPresentationStyle(UIModalPresentationStyle::OverFullScreen);
    auto onNext = coverWithCounter(next->view());
    int nextShown = 0;
    const std::shared_ptr<UIViewController> asked[] = {root, leaving, child};
    asked[static_cast<int>(c.asks)]->presentViewController(next, true, [&] { ++nextShown; });
    EXPECT_EQ(leavingGone, 1);
    EXPECT_EQ(leaving->view()->window().get(), nullptr);
    EXPECT_EQ(next->presentingViewController().get(), root.get());
    auto whileRising = hand.down({middle});
    advance(end);
    hand.up(whileRising);
    hand.up(finger);
    EXPECT_EQ(nextShown, 1);
    EXPECT_EQ(next->view()->window().get(), window.get());
    EXPECT_EQ(next->view()->convertRectToView(next->view()->bounds(), nullptr), window->bounds());
    EXPECT_EQ(onNext->began, 0);
    EXPECT_EQ(below->began, c.fingerReachesBelow ? 1 : 0);
    hand.tap(middle);
    EXPECT_EQ(onNext->began, 1);

    int nextGone = 0;
    next->dismissViewControllerAnimated(true, [&] { ++nextGone; });
    hand.tap(middle);  // still sliding: dropped
    advance(end);
    EXPECT_EQ(nextGone, 1);
    EXPECT_EQ(onNext->began, 1);
    EXPECT_EQ(next->view()->window().get(), nullptr);
    EXPECT_EQ(root->presentedViewController().get(), nullptr);
    hand.tap(middle);
    EXPECT_EQ(below->began, c.fingerReachesBelow ? 2 : 1);
  }
}

// A screen is closed while the one it presents already slides away (its
// close button tapped twice in the plugin's flow, say): it does not stay
// behind, and what it presents goes at once.
TEST_F(ViewControllerTest, DismissingAScreenWhosePresentedScreenSlidesAwayTakesBoth) {
  enum class Asks { Presenter, PresentersChild, Leaving };
  struct Case {
    const char* name;
    Asks asks;
    double after;  // seconds into the presented screen's dismissal
    bool presenterGoes;
  };
  const double end = UIViewController::kTransitionDuration;
  const Case cases[] = {
      {"the presenter, as the slide starts", Asks::Presenter, 0, true},
      {"the presenter, just before the slide ends", Asks::Presenter, end - 0.01, true},
      {"a child of the presenter", Asks::PresentersChild, end / 2, true},
      {"the leaving one again: only it goes", Asks::Leaving, end / 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = std::make_shared<UIViewController>();
    auto presenter = std::make_shared<UINavigationController>(child);
    root->presentViewController(presenter, false);
    auto leaving = std::make_shared<UIViewController>();
    presenter->presentViewController(leaving, false);
    int leavingGone = 0, asked = 0;
    leaving->dismissViewControllerAnimated(true, [&] { ++leavingGone; });
    advance(c.after);
    const std::shared_ptr<UIViewController> who[] = {presenter, child, leaving};
    who[static_cast<int>(c.asks)]->dismissViewControllerAnimated(true, [&] { ++asked; });
    EXPECT_EQ(leavingGone, 1);
    EXPECT_EQ(leaving->view()->window().get(), nullptr);
    EXPECT_EQ(presenter->presentedViewController().get(), nullptr);
    advance(end);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(leavingGone, 1);
    EXPECT_FALSE(window->isTransitioning());
    EXPECT_EQ(presenter->view()->window().get(), c.presenterGoes ? nullptr : window.get());
    EXPECT_EQ(root->presentedViewController().get(), c.presenterGoes ? nullptr : presenter.get());
    if (!c.presenterGoes) presenter->dismissViewControllerAnimated(false);
  }
}

TEST_F(ViewControllerTest, NavigationPushesAndPopsOnTheClock) {
  auto a = std::make_shared<LoggingVC>("N1", &log);
  auto nav = std::make_shared<UINavigationController>(a);
  window->setRootViewController(nav);
  EXPECT_EQ(nav->topViewController(), a);
  EXPECT_EQ(a->navigationController(), nav);
  EXPECT_EQ(a->parentViewController(), nav);
  log.clear();

  auto b = std::make_shared<LoggingVC>("N2", &log);
  b->setTitle("Second");
  nav->pushViewController(b, true);
  EXPECT_EQ(nav->topViewController(), b);
  EXPECT_EQ(log, (Log{"N1.willDisappear", "N2.didLoad", "N2.willAppear"}));
  EXPECT_EQ(nav->navigationBar()->topItem()->title(), "Second");
  EXPECT_EQ(nav->navigationBar()->backItem(), a->navigationItem());
  advance(UIViewController::kTransitionDuration);
  EXPECT_EQ(log, (Log{"N1.willDisappear", "N2.didLoad", "N2.willAppear", "N1.didDisappear",
                      "N2.didAppear"}));
  EXPECT_EQ(b->view()->frame(), nav->view()->bounds());
  EXPECT_EQ(a->view()->superview(), nullptr);

  // A push while one runs completes the running one first.
  auto c = std::make_shared<LoggingVC>("N3", &log);
  nav->pushViewController(c, true);
  log.clear();
  auto d = std::make_shared<LoggingVC>("N4", &log);
  nav->pushViewController(d, true);
  EXPECT_EQ(log, (Log{"N2.didDisappear", "N3.didAppear", "N3.willDisappear", "N4.didLoad",
                      "N4.willAppear"}));
  advance(UIViewController::kTransitionDuration);

  log.clear();
  EXPECT_EQ(nav->popViewControllerAnimated(false), d);
  EXPECT_EQ(log, (Log{"N4.willDisappear", "N3.willAppear", "N4.didDisappear", "N3.didAppear"}));
  EXPECT_EQ(d->parentViewController(), nullptr);
  EXPECT_EQ(nav->popToRootViewControllerAnimated(false),
            (std::vector<std::shared_ptr<UIViewController>>{b, c}));
  EXPECT_EQ(nav->popViewControllerAnimated(true), nullptr);  // the root stays
  EXPECT_EQ(nav->viewControllers().size(), 1u);

  nav->setNavigationBarHidden(true);
  EXPECT_TRUE(nav->navigationBar()->isHidden());
  auto modal = std::make_shared<UIViewController>();
  nav->presentViewController(modal, false);
  EXPECT_EQ(nav->visibleViewController(), modal);
  EXPECT_EQ(nav->topViewController(), a);
  nav->dismissViewControllerAnimated(false);
}

// While a pushed screen slides in or a popped one slides out, a finger put
// down reaches no screen, for its whole life: the screen under it is about
// to change. Once the slide is over fingers land again. A double tap on a
// pushed screen's back button so goes back one screen only.
TEST_F(ViewControllerTest, NoFingerIsTakenWhileANavigationPushOrPopSlides) {
  struct Case {
    const char* name;
    bool push;
    bool animated;
    double after;  // seconds into the slide when the finger comes down
    bool taken;
  };
  const double end = UIViewController::kTransitionDuration;
  const Case cases[] = {
      {"push, as the slide starts", true, true, 0, false},
      {"push, mid-slide", true, true, end / 2, false},
      {"push, just before the slide ends", true, true, end - 0.01, false},
      {"push, once the slide is over", true, true, end, true},
      {"push without animation", true, false, 0, true},
      {"pop, as the slide starts", false, true, 0, false},
      {"pop, mid-slide", false, true, end / 2, false},
      {"pop, just before the slide ends", false, true, end - 0.01, false},
      {"pop, once the slide is over", false, true, end, true},
      {"pop without animation", false, false, 0, true},
  };
  const CGPoint middle = CGPointMake(187, 400);
  UITouchDriver hand(window);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto first = std::make_shared<UIViewController>();
    auto nav = std::make_shared<UINavigationController>(first);
    window->setRootViewController(nav);
    auto onFirst = coverWithCounter(first->view());
    auto second = std::make_shared<UIViewController>();
    auto onSecond = coverWithCounter(second->view());
    if (!c.push) nav->pushViewController(second, false);
    if (c.push) {
      nav->pushViewController(second, c.animated);
    } else {
      nav->popViewControllerAnimated(c.animated);
    }
    EXPECT_EQ(window->isTransitioning(), c.animated);
    advance(c.after);
    auto finger = hand.down({middle});
    advance(end);
    EXPECT_FALSE(window->isTransitioning());
    hand.up(finger);
    auto shown = c.push ? onSecond : onFirst;
    auto left = c.push ? onFirst : onSecond;
    EXPECT_EQ(shown->began, c.taken ? 1 : 0);
    EXPECT_EQ(left->began, 0);
    hand.tap(middle);
    EXPECT_EQ(shown->began, c.taken ? 2 : 1);
  }

  // A push cut short by another: the window waits for the second.
  auto first = std::make_shared<UIViewController>();
  auto nav = std::make_shared<UINavigationController>(first);
  window->setRootViewController(nav);
  auto second = std::make_shared<UIViewController>();
  second->setTitle("Second");
  auto third = std::make_shared<UIViewController>();
  auto onSecond = coverWithCounter(second->view());
  nav->pushViewController(second, true);
  advance(end / 2);
  nav->pushViewController(third, true);
  EXPECT_TRUE(window->isTransitioning());
  advance(end - 0.01);
  EXPECT_TRUE(window->isTransitioning());
  advance(0.01);
  EXPECT_FALSE(window->isTransitioning());

  // Back one screen for a double tap on the back button: the second tap
  // comes while the third screen slides away.
  auto back = nav->navigationBar()->backButton();
  ASSERT_NE(back, nullptr);
  CGRect r = back->convertRectToView(back->bounds(), nullptr);
  hand.tap(CGPointMake(CGRectGetMidX(r), CGRectGetMidY(r)), 2);
  advance(end);
  EXPECT_EQ(nav->topViewController(), second);
  EXPECT_EQ(nav->viewControllers().size(), 2u);
  EXPECT_EQ(onSecond->began, 0);
}

TEST_F(ViewControllerTest, PopoversHangFromTheirSourceAndAdaptOnThePhone) {
  UIDevice::currentDevice()->setUserInterfaceIdiom(UIUserInterfaceIdiomPad);
  auto source = std::make_shared<UIView>(CGRectMake(100, 50, 40, 30));
  root->view()->addSubview(source);
  auto pop = std::make_shared<UIViewController>();
  pop->setModalPresentationStyle(UIModalPresentationStyle::Popover);
  pop->setPreferredContentSize(CGSizeMake(200, 150));
  auto anchor = pop->popoverPresentationController();
  ASSERT_NE(anchor, nullptr);
  anchor->setSourceView(source);
  anchor->setSourceRect(source->bounds());
  root->presentViewController(pop, false);
  EXPECT_EQ(pop->view()->frame(), CGRectMake(20, 93, 200, 150));
  EXPECT_EQ(anchor->arrowDirection(), UIPopoverArrowDirectionUp);
  root->dismissViewControllerAnimated(false);

  anchor->setPermittedArrowDirections(UIPopoverArrowDirectionLeft);
  root->presentViewController(pop, false);
  EXPECT_EQ(pop->view()->frame(), CGRectMake(153, 0, 200, 150));
  root->dismissViewControllerAnimated(false);

  auto lost = std::make_shared<UIViewController>();
  lost->setModalPresentationStyle(UIModalPresentationStyle::Popover);
  EXPECT_DEATH(root->presentViewController(lost, false),
               "should have a non-nil sourceView or barButtonItem");

  // On a phone the popover fills the screen unless its delegate keeps it.
  UIDevice::currentDevice()->setUserInterfaceIdiom(UIUserInterfaceIdiomPhone);
  root->presentViewController(pop, false);
  EXPECT_EQ(anchor->presentationStyle(), UIModalPresentationStyle::FullScreen);
  EXPECT_EQ(pop->view()->frame(), window->bounds());
  root->dismissViewControllerAnimated(false);
  class KeepPopover : public UIAdaptivePresentationControllerDelegate {
    std::optional<UIModalPresentationStyle> adaptivePresentationStyleForPresentationController(
        UIPresentationController&) override {
      return UIModalPresentationStyle::None;
    }
  };
  auto keep = std::make_shared<KeepPopover>();
  anchor->setDelegate(keep);
  root->presentViewController(pop, false);
  EXPECT_EQ(anchor->presentationStyle(), UIModalPresentationStyle::Popover);
  EXPECT_EQ(pop->view()->frame().size, CGSizeMake(200, 150));
  root->dismissViewControllerAnimated(false);
}

TEST_F(ViewControllerTest, AlertActionsRunAfterTheAlertIsGone) {
  auto alert = UIAlertController::alertControllerWithTitle("Delete?", "It goes for good.",
                                                           UIAlertControllerStyle::Alert);
  std::string chosen;
  auto remove = UIAlertAction::actionWithTitle("Delete", UIAlertActionStyle::Destructive,
                                               [&](UIAlertAction& a) { chosen = a.title(); });
  alert->addAction(remove);
  alert->addAction(UIAlertAction::actionWithTitle("Cancel", UIAlertActionStyle::Cancel, nullptr));
  EXPECT_DEATH(alert->addAction(UIAlertAction::actionWithTitle("No", UIAlertActionStyle::Cancel,
                                                               nullptr)),
               "can only have one action with a style of UIAlertActionStyleCancel");
  EXPECT_FALSE(alert->tapAction(remove));  // not on screen
  root->presentViewController(alert, true);
  advance(UIViewController::kTransitionDuration);
  EXPECT_EQ(root->view()->window(), window);  // an alert leaves the presenter showing
  EXPECT_TRUE(alert->tapAction(remove));
  EXPECT_FALSE(alert->tapAction(alert->actions()[1]));  // one tap only
  EXPECT_EQ(chosen, "");
  advance(UIViewController::kTransitionDuration);
  EXPECT_EQ(chosen, "Delete");
  EXPECT_EQ(root->presentedViewController(), nullptr);
}

TEST_F(ViewControllerTest, ChildrenFollowAppearanceAndRotation) {
  auto child = std::make_shared<LoggingVC>("C", &log);
  root->addChildViewController(child);
  root->view()->addSubview(child->view());
  child->didMoveToParentViewController(root);
  log.clear();
  auto b = std::make_shared<UIViewController>();
  b->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  root->presentViewController(b, false);
  EXPECT_EQ(log, (Log{"A.willDisappear", "C.willDisappear", "A.didDisappear", "C.didDisappear"}));
  root->dismissViewControllerAnimated(false);

  log.clear();
  bool rotated = false;
  class Watcher : public UIViewController {
   public:
    bool* rotated;
    void viewWillTransitionToSize(const CGSize&, UIViewControllerTransitionCoordinator& c) override {
      c.animateAlongsideTransition(nullptr, [this](auto&) { *rotated = true; });
    }
  };
  auto watcher = std::make_shared<Watcher>();
  watcher->rotated = &rotated;
  child->addChildViewController(watcher);
  UIViewController::transitionWindowToSize(window, CGSizeMake(667, 375), 0.3);
  EXPECT_EQ(log, (Log{"A.willTransitionTo 667", "C.willTransitionTo 667"}));
  EXPECT_EQ(root->view()->frame(), CGRectMake(0, 0, 667, 375));
  EXPECT_FALSE(rotated);
  advance(0.3);
  EXPECT_TRUE(rotated);

  int observed = 0;
  auto observation = root->observe("preferredContentSize", 0,
                                   [&](NSObject*, const Value&) { ++observed; });
  root->setPreferredContentSize(CGSizeMake(300, 200));
  EXPECT_EQ(observed, 1);
  observation->invalidate();
  EXPECT_EQ(root->supportedInterfaceOrientations(), UIInterfaceOrientationMaskAllButUpsideDown);
}

TEST_F(ViewControllerTest, BarsTakeTheAppearanceAndItemsRunTheirActions) {
  UINavigationBar::appearance().barTintColor = UIColor::blackColor();
  UINavigationBar::appearance().titleTextAttributes =
      std::map<std::string, Value>{{"NSColor", Value("white")}};
  auto nav = std::make_shared<UINavigationController>(root);
  EXPECT_TRUE(nav->navigationBar()->barTintColor()->isEqual(*UIColor::blackColor()));
  EXPECT_EQ(nav->navigationBar()->titleTextAttributes().at("NSColor"), Value("white"));
  EXPECT_TRUE(nav->navigationBar()->isTranslucent());  // not set on the proxy

  auto owner = std::make_shared<NSObject>();
  int done = 0;
  auto item = UIBarButtonItem::itemWithBarButtonSystemItem(
      UIBarButtonSystemItem::Done, owner, [&](UIBarButtonItem&) { ++done; });
  root->navigationItem()->setRightBarButtonItem(item);
  EXPECT_EQ(nav->navigationBar()->topItem()->rightBarButtonItem(), item);
  EXPECT_EQ(item->style(), UIBarButtonItemStyle::Done);
  EXPECT_TRUE(item->trigger());
  item->setEnabled(false);
  EXPECT_FALSE(item->trigger());
  item->setEnabled(true);
  owner.reset();
  EXPECT_FALSE(item->trigger());  // the target is gone
  EXPECT_EQ(done, 1);

  nav->view()->setFrame(CGRectMake(0, 0, 375, 667));
  nav->setToolbarHidden(false);
  EXPECT_EQ(nav->toolbar()->frame(), CGRectMake(0, 623, 375, 44));
  EXPECT_FALSE(nav->toolbar()->isHidden());
  nav->navigationBar()->setTranslucent(false);
  nav->setNavigationBarHidden(false);
  nav->view()->layoutIfNeeded();
  EXPECT_EQ(root->view()->frame(), CGRectMake(0, 44, 375, 623));  // below an opaque bar
}

// Slides the leaving screen down, linearly so that the numbers read plainly,
// and puts it back when the transition was cancelled.
class SlideDownAnimator : public UIViewControllerAnimatedTransitioning {
 public:
  double transitionDuration(UIViewControllerContextTransitioning*) override { return 0.5; }
  void animateTransition(UIViewControllerContextTransitioning& c) override {
    auto ctx = std::static_pointer_cast<UIViewControllerContextTransitioning>(c.shared_from_this());
    auto from = c.viewForKey(UITransitionContextFromViewKey);
    const CGRect start = from->frame();
    UIView::animateWithDuration(
        0.5, 0, UIViewAnimationOptionCurveLinear,
        [&] { from->setFrame(CGRectOffset(start, 0, start.size.height)); },
        [ctx, from, start](bool) {
          const bool cancelled = ctx->transitionWasCancelled();
          if (cancelled) from->setFrame(start);
          ctx->completeTransition(!cancelled);
        });
  }
};

class ScrubbedDismissal : public UIViewControllerTransitioningDelegate {
 public:
  std::shared_ptr<SlideDownAnimator> animator = std::make_shared<SlideDownAnimator>();
  std::shared_ptr<UIPercentDrivenInteractiveTransition> interaction =
      std::make_shared<UIPercentDrivenInteractiveTransition>(animator);
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForDismissedController(
      const std::shared_ptr<UIViewController>&) override {
    return animator;
  }
  std::shared_ptr<UIViewControllerInteractiveTransitioning> interactionControllerForDismissal(
      UIViewControllerAnimatedTransitioning&) override {
    return interaction;
  }
};

TEST_F(ViewControllerTest, APercentDrivenDismissalScrubsThenFinishesOrCancelsFromThere) {
  auto transitions = std::make_shared<ScrubbedDismissal>();
  root->view()->setBackgroundColor(UIColor::whiteColor());
  auto b = std::make_shared<LoggingVC>("B", &log);
  b->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  b->setTransitioningDelegate(transitions);
  root->presentViewController(b, false);
  b->view()->setBackgroundColor(UIColor::blueColor());
  drainMainLoop();
  auto shownY = [&] { return b->view()->layer()->presentationLayer()->position().y; };
  auto interaction = transitions->interaction;

  // Cancelled at 30 %: held there whatever the clock does, then back at
  // twice the speed.
  bool dismissed = false;
  auto onB = coverWithCounter(b->view());
  auto onRoot = coverWithCounter(root->view());
  UITouchDriver hand(window);
  b->dismissViewControllerAnimated(true, [&] { dismissed = true; });
  EXPECT_NEAR(shownY(), 333.5, 1e-9);
  advance(1);
  EXPECT_NEAR(shownY(), 333.5, 1e-9);  // a held transition does not run by itself
  // A second finger while the first drives reaches no view at all.
  auto second = hand.down({CGPointMake(187, 100)});
  hand.up(second);
  EXPECT_EQ(second.at(0)->view(), nullptr);
  EXPECT_EQ(onB->began + onRoot->began, 0);
  interaction->updateInteractiveTransition(0.3);
  EXPECT_NEAR(shownY(), 333.5 + 0.3 * 667, 1e-6);
  advance(0.2);
  EXPECT_NEAR(shownY(), 333.5 + 0.3 * 667, 1e-6);
  // Mid-scrub the screen below shows above the sliding one.
  auto picture = RenderView(*window, 1);
  SaveSnapshot(picture, "interactive-dismissal-at-30-percent");
  auto pixels = RGBAPixels(picture->CGImage());
  auto blueAt = [&](int y) { return pixels[(size_t(y) * 375 + 187) * 4 + 2]; };
  auto redAt = [&](int y) { return pixels[(size_t(y) * 375 + 187) * 4]; };
  EXPECT_EQ(redAt(190), 255);  // white: the presenter
  EXPECT_EQ(blueAt(210), 255);
  EXPECT_EQ(redAt(210), 0);  // blue: the screen going down
  interaction->setCompletionSpeed(2);
  interaction->cancelInteractiveTransition();
  interaction->updateInteractiveTransition(0.9);  // let go: changes nothing
  advance(0.05);
  EXPECT_NEAR(shownY(), 333.5 + 0.1 * 667, 1e-6);
  advance(0.1);
  EXPECT_FALSE(dismissed);
  EXPECT_EQ(root->presentedViewController(), b);
  EXPECT_EQ(b->view()->frame(), CGRectMake(0, 0, 375, 667));
  EXPECT_NEAR(shownY(), 333.5, 1e-9);
  // The container has its own clock back.
  auto container = b->view()->superview();
  ASSERT_NE(container, nullptr);
  EXPECT_EQ(container->layer()->speed(), 1);
  EXPECT_EQ(container->layer()->timeOffset(), 0);
  // Back on screen, it takes touches again.
  hand.tap(CGPointMake(187, 100));
  EXPECT_EQ(onB->began, 1);

  // Finished at 30 %: runs on from there at the normal speed.
  interaction->setCompletionSpeed(1);
  b->dismissViewControllerAnimated(true, [&] { dismissed = true; });
  interaction->updateInteractiveTransition(0.3);
  advance(0.3);
  EXPECT_NEAR(shownY(), 333.5 + 0.3 * 667, 1e-6);
  interaction->finishInteractiveTransition();
  EXPECT_DOUBLE_EQ(interaction->percentComplete(), 1);
  advance(0.1);
  EXPECT_NEAR(shownY(), 333.5 + 0.5 * 667, 1e-6);
  advance(0.2);
  EXPECT_FALSE(dismissed);  // 0.05 s left
  advance(0.1);
  EXPECT_TRUE(dismissed);
  EXPECT_EQ(root->presentedViewController(), nullptr);
}

}  // namespace

}  // namespace view_controller_test
