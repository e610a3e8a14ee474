#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedDisplay.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace navigation_layout_test {

namespace {

using Log = std::vector<std::string>;

class Screen : public UIViewController {
 public:
  Screen(std::string name, Log* log, UIColorPtr color)
      : name_(std::move(name)), log_(log), color_(std::move(color)) {}
  void viewDidLoad() override { view()->setBackgroundColor(color_); }
  void viewWillAppear(bool) override { log_->push_back(name_ + ".willAppear"); }
  void viewDidAppear(bool) override { log_->push_back(name_ + ".didAppear"); }
  void viewWillDisappear(bool) override { log_->push_back(name_ + ".willDisappear"); }
  void viewDidDisappear(bool) override { log_->push_back(name_ + ".didDisappear"); }
  void viewSafeAreaInsetsDidChange() override {
    log_->push_back(name_ + ".safeArea " + std::to_string(int(view()->safeAreaInsets().top)));
  }

 private:
  std::string name_;
  Log* log_;
  UIColorPtr color_;
};

// Where a layer shows now, animations included.
CGPoint shownPosition(UIView& view) {
  return view.layer()->presentationLayer()->position();
}

class NavigationLayoutTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    UseScreenProfile(UIScreenProfile::phoneWithNotch());
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    presenter = std::make_shared<Screen>("P", &log, UIColor::whiteColor());
    window->setRootViewController(presenter);
    window->makeKeyAndVisible();
    hand = std::make_unique<UITouchDriver>(window);
  }

  Log log;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<Screen> presenter;
  std::unique_ptr<UITouchDriver> hand;
};

TEST_F(NavigationLayoutTest, WindowRootHearsItsAppearance) {
  EXPECT_EQ(log, (Log{"P.willAppear", "P.safeArea 47", "P.didAppear"}));
  EXPECT_TRUE(presenter->isVisible());
  log.clear();
  auto next = std::make_shared<Screen>("N", &log, UIColor::whiteColor());
  window->setRootViewController(next);
  EXPECT_EQ(log, (Log{"P.willDisappear", "P.didDisappear", "N.willAppear", "N.safeArea 47",
                      "N.didAppear"}));
  log.clear();
  window->setHidden(true);
  EXPECT_EQ(log, (Log{"N.willDisappear", "N.didDisappear"}));
}

TEST_F(NavigationLayoutTest, PresentedControllerSizesBarAndContentBelowTheStatusBar) {
  auto first = std::make_shared<Screen>("A", &log, UIColor::colorWithWhite(0.9, 1));
  first->setTitle("Photos");
  auto nav = std::make_shared<UINavigationController>(first);
  nav->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  int rightTaps = 0, leftTaps = 0;
  auto custom = std::make_shared<UIButton>();
  custom->setFrame(CGRectMake(0, 0, 30, 30));
  custom->setBackgroundColor(UIColor::redColor());
  custom->addTarget(custom, [&](UIControl&, UIEvent*) { ++rightTaps; },
                    UIControlEventTouchUpInside);
  first->navigationItem()->setRightBarButtonItem(UIBarButtonItem::itemWithCustomView(custom));
  first->navigationItem()->setLeftBarButtonItem(UIBarButtonItem::itemWithBarButtonSystemItem(
      UIBarButtonSystemItem::Cancel, nav, [&](UIBarButtonItem&) { ++leftTaps; }));
  presenter->presentViewController(nav, false);
  drainMainLoop();

  auto bar = nav->navigationBar();
  EXPECT_EQ(nav->view()->frame(), CGRectMake(0, 0, 390, 844));
  EXPECT_EQ(bar->frame(), CGRectMake(0, 47, 390, 44));
  // Content runs under the translucent bar; its safe area ends at the bar.
  EXPECT_EQ(first->view()->frame(), CGRectMake(0, 0, 390, 844));
  EXPECT_EQ(first->view()->safeAreaInsets(), UIEdgeInsetsMake(91, 0, 34, 0));
  EXPECT_EQ(bar->titleLabel()->text(), "Photos");
  CGRect title = bar->titleLabel()->frame();
  EXPECT_NEAR(CGRectGetMidX(title), 195, 0.5);
  EXPECT_GT(title.size.width, 20);
  EXPECT_EQ(custom->frame(), CGRectMake(390 - 16 - 30, 7, 30, 30));
  ASSERT_EQ(bar->leftItemViews().size(), 1u);
  EXPECT_EQ(bar->leftItemViews()[0]->frame().origin.x, 16);

  // Taps in window space reach the bar's items.
  hand->tap(CGPointMake(390 - 16 - 15, 47 + 22));
  EXPECT_EQ(rightTaps, 1);
  CGRect cancel = bar->leftItemViews()[0]->convertRectToView(bar->leftItemViews()[0]->bounds(),
                                                             nullptr);
  hand->tap(CGPointMake(CGRectGetMidX(cancel), CGRectGetMidY(cancel)));
  EXPECT_EQ(leftTaps, 1);

  // A push slides the new screen in from the right on the clock.
  auto second = std::make_shared<Screen>("B", &log, UIColor::colorWithRed(0.2, 0.5, 0.9, 1));
  second->setTitle("Detail");
  nav->pushViewController(second, true);
  advance(UIViewController::kTransitionDuration / 2);
  double shownX = shownPosition(*second->view()).x;
  EXPECT_GT(shownX, 195 + 20);
  EXPECT_LT(shownX, 195 + 390 - 20);
  double leavingX = shownPosition(*first->view()).x;
  EXPECT_LT(leavingX, 195);
  EXPECT_GT(leavingX, 195 - 130);
  SaveSnapshot(RenderView(*window, 1), "navigation-push-mid-slide");
  advance(UIViewController::kTransitionDuration / 2 + 0.02);
  EXPECT_EQ(second->view()->frame(), CGRectMake(0, 0, 390, 844));
  EXPECT_EQ(shownPosition(*second->view()).x, 195);
  EXPECT_EQ(bar->titleLabel()->text(), "Detail");
  ASSERT_NE(bar->backButton(), nullptr);
  SaveSnapshot(RenderView(*window, 1), "navigation-pushed");

  // The back button pops, sliding the first screen back.
  CGRect back = bar->backButton()->convertRectToView(bar->backButton()->bounds(), nullptr);
  hand->tap(CGPointMake(CGRectGetMidX(back), CGRectGetMidY(back)));
  EXPECT_EQ(nav->topViewController(), first);
  advance(UIViewController::kTransitionDuration / 2);
  EXPECT_GT(shownPosition(*second->view()).x, 195 + 20);
  advance(UIViewController::kTransitionDuration);
  EXPECT_EQ(second->view()->superview(), nullptr);
  EXPECT_EQ(first->view()->frame(), CGRectMake(0, 0, 390, 844));
  presenter->dismissViewControllerAnimated(false);
}

double shownOpacity(UIView& view) { return view.layer()->presentationLayer()->opacity(); }

// The bar's own labels (not those inside its buttons) with their text.
std::vector<std::string> barLabels(UINavigationBar& bar) {
  std::vector<std::string> texts;
  for (auto& v : bar.subviews()) {
    if (auto label = std::dynamic_pointer_cast<UILabel>(v)) texts.push_back(label->text());
  }
  return texts;
}

TEST_F(NavigationLayoutTest, TheBarTitleCrossFadesWhileScreensSlide) {
  auto first = std::make_shared<Screen>("A", &log, UIColor::colorWithWhite(0.9, 1));
  first->setTitle("Photos");
  auto shared = std::make_shared<UIView>(CGRectMake(0, 0, 30, 30));
  shared->setBackgroundColor(UIColor::redColor());
  auto sharedItem = UIBarButtonItem::itemWithCustomView(shared);
  first->navigationItem()->setRightBarButtonItem(sharedItem);
  auto nav = std::make_shared<UINavigationController>(first);
  window->setRootViewController(nav);
  drainMainLoop();
  auto bar = nav->navigationBar();
  auto photos = bar->titleLabel();

  auto second = std::make_shared<Screen>("B", &log, UIColor::colorWithRed(0.2, 0.5, 0.9, 1));
  second->setTitle("Albums");
  second->navigationItem()->setRightBarButtonItem(sharedItem);
  nav->pushViewController(second, true);
  advance(UIViewController::kTransitionDuration / 2);
  // Half way: both titles show at half strength where they stand.
  auto albums = bar->titleLabel();
  ASSERT_NE(albums, photos);
  EXPECT_EQ(albums->text(), "Albums");
  EXPECT_EQ(photos->superview(), bar);
  EXPECT_EQ(photos->text(), "Photos");
  EXPECT_NEAR(shownOpacity(*photos), 0.5, 0.02);
  EXPECT_NEAR(shownOpacity(*albums), 0.5, 0.02);
  EXPECT_NEAR(CGRectGetMidX(photos->frame()), 195, 0.5);
  EXPECT_NEAR(CGRectGetMidX(albums->frame()), 195, 0.5);
  ASSERT_NE(bar->backButton(), nullptr);
  EXPECT_NEAR(shownOpacity(*bar->backButton()), 0.5, 0.02);
  EXPECT_EQ(shownOpacity(*shared), 1);  // on both screens: stays
  SaveSnapshot(RenderView(*window, 1), "navigation-title-crossfade-mid-slide");
  advance(UIViewController::kTransitionDuration / 2 + 0.02);
  EXPECT_EQ(photos->superview(), nullptr);
  EXPECT_TRUE(bar->fadingItemViews().empty());
  EXPECT_EQ(barLabels(*bar), std::vector<std::string>{"Albums"});
  EXPECT_EQ(shownOpacity(*albums), 1);
  EXPECT_EQ(albums->alpha(), 1);
  EXPECT_EQ(shared->superview(), bar);
  EXPECT_EQ(shared->alpha(), 1);

  // Popping fades the back button out with the title; a pop cut short by a
  // push ends the first fade at once.
  auto back = bar->backButton();
  nav->popViewControllerAnimated(true);
  advance(UIViewController::kTransitionDuration / 4);
  EXPECT_LT(shownOpacity(*back), 0.95);
  EXPECT_GT(shownOpacity(*back), 0.05);
  EXPECT_EQ(bar->backButton(), nullptr);
  auto third = std::make_shared<Screen>("C", &log, UIColor::whiteColor());
  third->setTitle("Edit");
  nav->pushViewController(third, true);
  EXPECT_EQ(back->superview(), nullptr);
  EXPECT_EQ(back->alpha(), 1);
  EXPECT_EQ(barLabels(*bar), (std::vector<std::string>{"Photos", "Edit"}));
  advance(UIViewController::kTransitionDuration + 0.02);
  EXPECT_EQ(barLabels(*bar), std::vector<std::string>{"Edit"});
  EXPECT_EQ(shared->superview(), nullptr);  // the third screen shows no right item

  // Without animation the title changes at once.
  nav->popViewControllerAnimated(false);
  window->layoutIfNeeded();
  EXPECT_EQ(barLabels(*bar), std::vector<std::string>{"Photos"});
  EXPECT_TRUE(bar->fadingItemViews().empty());
}

CGPoint centreInWindow(UIView& view) {
  CGRect r = view.convertRectToView(view.bounds(), nullptr);
  return CGPointMake(CGRectGetMidX(r), CGRectGetMidY(r));
}

// Album lists and counters answer while a person's finger rests on a bar
// button: whatever else of the bar they change, the button under the finger
// stays and its tap completes once. Only the views of items that changed
// are made anew.
TEST_F(NavigationLayoutTest, AFingerOnABarButtonLiftsThereWhateverElseOfTheBarChanged) {
  auto first = std::make_shared<Screen>("A", &log, UIColor::whiteColor());
  auto nav = std::make_shared<UINavigationController>(first);
  window->setRootViewController(nav);
  drainMainLoop();
  auto bar = nav->navigationBar();
  auto item = first->navigationItem();
  auto owner = std::make_shared<NSObject>();
  int cancels = 0, dones = 0;
  auto cancel = UIBarButtonItem::itemWithBarButtonSystemItem(UIBarButtonSystemItem::Cancel, owner,
                                                             [&](UIBarButtonItem&) { ++cancels; });
  auto done = UIBarButtonItem::itemWithTitle("Done", UIBarButtonItemStyle::Done, owner,
                                             [&](UIBarButtonItem&) { ++dones; });
  auto selector = UIButton::buttonWithType(UIButtonType::System);
  selector->setTitle("Recents", UIControlStateNormal);
  auto otherSelector = UIButton::buttonWithType(UIButtonType::System);
  otherSelector->setTitle("Favourites", UIControlStateNormal);

  struct Case {
    const char* name;
    std::function<void()> change;
    bool replacesDone;  // the right item's view is made anew
  };
  const Case cases[] = {
      {"the same title", [&] { first->setTitle("Photos"); }, false},
      {"a new title", [&] { first->setTitle("Recents"); }, false},
      {"the same title view", [&] { item->setTitleView(selector); }, false},
      {"another title view", [&] { item->setTitleView(otherSelector); }, false},
      {"no title view", [&] { item->setTitleView(nullptr); }, false},
      {"a title view taken from another view",
       [&] {
         window->addSubview(otherSelector);
         item->setTitleView(otherSelector);
       },
       false},
      {"the same left item", [&] { item->setLeftBarButtonItem(cancel); }, false},
      {"the right item's title", [&] { done->setTitle("Done (1)"); }, true},
      {"the right item disabled", [&] { done->setEnabled(false); }, true},
      {"another right item",
       [&] {
         item->setRightBarButtonItem(UIBarButtonItem::itemWithTitle(
             "Select", UIBarButtonItemStyle::Plain, owner, [](UIBarButtonItem&) {}));
       },
       true},
      {"the title and both right items at once",
       [&] {
         first->setTitle("Albums");
         item->setTitleView(otherSelector);
         item->setRightBarButtonItems(
             {done, UIBarButtonItem::itemWithTitle("Edit", UIBarButtonItemStyle::Plain, owner,
                                                   [](UIBarButtonItem&) {})});
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    first->setTitle("Photos");
    item->setTitleView(selector);
    item->setLeftBarButtonItem(cancel);
    done->setTitle("Done");
    done->setEnabled(true);
    item->setRightBarButtonItem(done);
    window->layoutIfNeeded();
    cancels = 0;
    ASSERT_EQ(bar->leftItemViews().size(), 1u);
    ASSERT_EQ(bar->rightItemViews().size(), 1u);
    auto cancelView = bar->leftItemViews()[0];
    auto doneView = bar->rightItemViews()[0];

    auto finger = hand->down({centreInWindow(*cancelView)});
    c.change();
    window->layoutIfNeeded();
    hand->up(finger);
    EXPECT_EQ(cancels, 1);
    ASSERT_EQ(bar->leftItemViews().size(), 1u);
    EXPECT_EQ(bar->leftItemViews()[0], cancelView);
    EXPECT_EQ(cancelView->superview(), bar);
    ASSERT_FALSE(bar->rightItemViews().empty());
    EXPECT_EQ(bar->rightItemViews()[0] != doneView, c.replacesDone);
    EXPECT_EQ(doneView->superview() == bar, !c.replacesDone);
    // The bar shows the item as it is now.
    for (auto& view : {selector, otherSelector}) {
      EXPECT_EQ(view->superview() == bar, item->titleView() == view);
    }
    EXPECT_EQ(bar->titleLabel()->isHidden(), item->titleView() != nullptr);
    if (!item->titleView()) {
      EXPECT_EQ(bar->titleLabel()->text(), first->title());
    }
  }

  // The view of the item that changed is a new one, and it is the one a tap
  // reaches; the one it replaced left the bar.
  done->setTitle("Done");
  done->setEnabled(true);
  item->setRightBarButtonItem(done);
  window->layoutIfNeeded();
  auto doneView = bar->rightItemViews().at(0);
  done->setTitle("Done (2)");
  window->layoutIfNeeded();
  auto newDone = std::dynamic_pointer_cast<UIButton>(bar->rightItemViews().at(0));
  ASSERT_NE(newDone, nullptr);
  EXPECT_NE(newDone, doneView);
  EXPECT_EQ(doneView->superview(), nullptr);
  EXPECT_EQ(newDone->titleForState(UIControlStateNormal), "Done (2)");
  dones = 0;
  hand->tap(centreInWindow(*newDone));
  EXPECT_EQ(dones, 1);

  // What the item already holds, set again, does not even ask the bar to
  // lay out; a change does.
  window->layoutIfNeeded();
  ASSERT_FALSE(bar->needsLayout());
  first->setTitle(first->title());
  item->setTitleView(item->titleView());
  EXPECT_FALSE(bar->needsLayout());
  item->setTitle("Library");
  EXPECT_TRUE(bar->needsLayout());
  window->layoutIfNeeded();
  item->setTitleView(selector);
  EXPECT_TRUE(bar->needsLayout());
  window->layoutIfNeeded();

  // The back button stays while its title does: a finger on it while the
  // pushed screen's bar changes goes back once.
  auto second = std::make_shared<Screen>("B", &log, UIColor::whiteColor());
  nav->pushViewController(second, false);
  window->layoutIfNeeded();
  auto back = bar->backButton();
  ASSERT_NE(back, nullptr);
  auto finger = hand->down({centreInWindow(*back)});
  second->setTitle("Details");
  second->navigationItem()->setRightBarButtonItem(done);
  window->layoutIfNeeded();
  EXPECT_EQ(bar->backButton(), back);
  hand->up(finger);
  EXPECT_EQ(nav->topViewController(), first);
  // The back item's new title is a new back button.
  nav->pushViewController(second, false);
  window->layoutIfNeeded();
  back = bar->backButton();
  item->setTitle("Camera Roll");
  window->layoutIfNeeded();
  ASSERT_NE(bar->backButton(), nullptr);
  EXPECT_NE(bar->backButton(), back);
  EXPECT_EQ(back->superview(), nullptr);
  EXPECT_EQ(bar->backButton()->titleForState(UIControlStateNormal), " Camera Roll");
}

TEST_F(NavigationLayoutTest, HidingTheBarSlidesItAwayAndGivesBackTheSafeArea) {
  auto first = std::make_shared<Screen>("A", &log, UIColor::whiteColor());
  auto nav = std::make_shared<UINavigationController>(first);
  window->setRootViewController(nav);
  drainMainLoop();
  EXPECT_EQ(first->view()->safeAreaInsets().top, 91);
  log.clear();
  nav->setNavigationBarHidden(true, true);
  EXPECT_TRUE(nav->isNavigationBarHidden());
  advance(UINavigationController::kHideShowBarDuration / 2);
  EXPECT_FALSE(nav->navigationBar()->isHidden());  // still sliding
  double y = shownPosition(*nav->navigationBar()).y;
  EXPECT_LT(y, 47 + 22);
  EXPECT_GT(y, -22);
  advance(UINavigationController::kHideShowBarDuration);
  EXPECT_TRUE(nav->navigationBar()->isHidden());
  EXPECT_EQ(first->view()->safeAreaInsets().top, 47);
  EXPECT_EQ(log, (Log{"A.safeArea 47"}));

  nav->setNavigationBarHidden(false, false);
  drainMainLoop();
  EXPECT_FALSE(nav->navigationBar()->isHidden());
  EXPECT_EQ(nav->navigationBar()->frame(), CGRectMake(0, 47, 390, 44));
  EXPECT_EQ(first->view()->safeAreaInsets().top, 91);

  // Rotation re-lays the bar out at the new width.
  UIViewController::transitionWindowToSize(window, CGSizeMake(844, 390), 0);
  advance(0.01);
  EXPECT_EQ(nav->navigationBar()->frame().size.width, 844);
  EXPECT_EQ(first->view()->frame().size, CGSizeMake(844, 390));
}

TEST_F(NavigationLayoutTest, ToolbarSpreadsItsItems) {
  auto first = std::make_shared<Screen>("A", &log, UIColor::whiteColor());
  auto nav = std::make_shared<UINavigationController>(first);
  auto owner = std::make_shared<NSObject>();
  int taps = 0;
  auto left = UIBarButtonItem::itemWithTitle("Edit", UIBarButtonItemStyle::Plain, owner,
                                             [&](UIBarButtonItem&) { ++taps; });
  auto right = UIBarButtonItem::itemWithCustomView(
      std::make_shared<UIView>(CGRectMake(0, 0, 40, 20)));
  auto fixed = UIBarButtonItem::itemWithBarButtonSystemItem(UIBarButtonSystemItem::FixedSpace,
                                                            nullptr, nullptr);
  fixed->setWidth(10);
  first->setToolbarItems(
      {left,
       UIBarButtonItem::itemWithBarButtonSystemItem(UIBarButtonSystemItem::FlexibleSpace, nullptr,
                                                    nullptr),
       right, fixed});
  window->setRootViewController(nav);
  nav->setToolbarHidden(false);
  drainMainLoop();
  auto toolbar = nav->toolbar();
  EXPECT_EQ(toolbar->frame(), CGRectMake(0, 844 - 34 - 44, 390, 44));
  ASSERT_EQ(toolbar->itemViews().size(), 4u);
  EXPECT_EQ(toolbar->itemViews()[0]->frame().origin.x, 16);
  // The flexible space pushes the custom view against the fixed space at the end.
  EXPECT_EQ(toolbar->itemViews()[2]->frame(), CGRectMake(390 - 16 - 10 - 40, 12, 40, 20));
  EXPECT_EQ(first->view()->safeAreaInsets().bottom, 34 + 44);
  CGRect edit = toolbar->itemViews()[0]->convertRectToView(toolbar->itemViews()[0]->bounds(),
                                                           nullptr);
  hand->tap(CGPointMake(CGRectGetMidX(edit), CGRectGetMidY(edit)));
  EXPECT_EQ(taps, 1);
  SaveSnapshot(RenderView(*window, 1), "navigation-toolbar");
}

// Views that build their subviews in the constructor, as cells do.
class Card : public UIView {
 public:
  Card() : UIView(CGRectMake(0, 0, 100, 60)), label(std::make_shared<UILabel>()) {
    addSubview(label);
    auto badge = std::make_shared<UIView>(CGRectMake(80, 0, 20, 20));
    addSubview(badge);
    badge->removeFromSuperview();
  }
  std::shared_ptr<UILabel> label;
};

TEST_F(NavigationLayoutTest, ViewsAdoptSubviewsWhileBeingConstructed) {
  auto card = std::make_shared<Card>();
  EXPECT_EQ(card->subviews().size(), 1u);
  EXPECT_EQ(card->label->superview(), card);
  window->addSubview(card);
  EXPECT_EQ(card->label->window(), window);
  card->label->removeFromSuperview();
  EXPECT_TRUE(card->subviews().empty());
  std::weak_ptr<UIView> gone = card->label;
  auto orphan = card->label;
  card->removeFromSuperview();
  card.reset();
  EXPECT_EQ(orphan->superview(), nullptr);
  // A subview outliving its superview forgets it.
  auto keep = std::make_shared<Card>();
  auto label = keep->label;
  keep.reset();
  EXPECT_EQ(label->superview(), nullptr);
  EXPECT_EQ(label->window(), nullptr);
}

}  // namespace

}  // namespace navigation_layout_test
