#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIView.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedDisplay.h"

namespace ui_view_test {

namespace {

class UIViewTest : public PlatformTest {};

// Logs its lifecycle and layout calls.
class LoggingView : public UIView {
 public:
  LoggingView(std::string name, std::vector<std::string>* log, const CGRect& frame = CGRectZero)
      : UIView(frame), name_(std::move(name)), log_(log) {}
  void didMoveToSuperview() override { log_->push_back(name_ + " superview"); }
  void willMoveToWindow(const std::shared_ptr<UIWindow>& w) override {
    log_->push_back(name_ + (w ? " will window" : " will leave window"));
  }
  void didMoveToWindow() override { log_->push_back(name_ + " window"); }
  void layoutSubviews() override { log_->push_back(name_ + " layout"); }
  void tintColorDidChange() override { log_->push_back(name_ + " tint"); }

 private:
  std::string name_;
  std::vector<std::string>* log_;
};

void expectRect(const CGRect& r, double x, double y, double w, double h) {
  EXPECT_NEAR(r.origin.x, x, 1e-9);
  EXPECT_NEAR(r.origin.y, y, 1e-9);
  EXPECT_NEAR(r.size.width, w, 1e-9);
  EXPECT_NEAR(r.size.height, h, 1e-9);
}

TEST_F(UIViewTest, SubviewOrderDrivesLayerOrder) {
  auto root = UIView::viewWithFrame(CGRectMake(0, 0, 100, 100));
  auto a = std::make_shared<UIView>(), b = std::make_shared<UIView>(),
       c = std::make_shared<UIView>(), d = std::make_shared<UIView>();
  root->addSubview(a);
  root->addSubview(b);
  // A layer of another kind between the views' layers keeps its place.
  auto extra = CALayer::layer();
  root->layer()->addSublayer(extra);
  root->insertSubviewAtIndex(c, 0);
  root->insertSubviewAboveSubview(d, a.get());
  EXPECT_EQ(root->subviews(), (std::vector<UIViewPtr>{c, a, d, b}));
  auto layers = root->layer()->sublayers();
  ASSERT_EQ(layers.size(), 5u);
  EXPECT_EQ(layers[0], c->layer());
  EXPECT_EQ(layers[1], a->layer());
  EXPECT_EQ(layers[2], d->layer());
  EXPECT_EQ(layers[3], b->layer());
  EXPECT_EQ(layers[4], extra);

  root->bringSubviewToFront(c.get());
  EXPECT_EQ(root->subviews().back(), c);
  EXPECT_EQ(root->layer()->sublayers()[3], c->layer());
  root->sendSubviewToBack(b.get());
  EXPECT_EQ(root->subviews().front(), b);
  root->insertSubviewBelowSubview(c, a.get());
  EXPECT_EQ(root->subviews(), (std::vector<UIViewPtr>{b, c, a, d}));

  // A view cannot contain its ancestor.
  a->addSubview(root);
  EXPECT_TRUE(a->subviews().empty());
  d->removeFromSuperview();
  EXPECT_EQ(d->superview(), nullptr);
  EXPECT_EQ(d->layer()->superlayer(), nullptr);
  EXPECT_EQ(root->subviews().size(), 3u);

  c->setTag(7);
  auto inner = std::make_shared<UIView>();
  inner->setTag(9);
  c->addSubview(inner);
  EXPECT_EQ(root->viewWithTag(9), inner);
  EXPECT_EQ(root->viewWithTag(42), nullptr);
}

TEST_F(UIViewTest, MovesReportSuperviewAndWindowChanges) {
  std::vector<std::string> log;
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 100, 100));
  auto parent = std::make_shared<LoggingView>("parent", &log);
  auto child = std::make_shared<LoggingView>("child", &log);
  parent->addSubview(child);
  EXPECT_EQ(log, std::vector<std::string>{"child superview"});
  log.clear();
  window->addSubview(parent);
  EXPECT_EQ(log, (std::vector<std::string>{"parent will window", "child will window",
                                           "parent superview", "parent window",
                                           "child window"}));
  EXPECT_EQ(child->window(), window);
  log.clear();
  // Moving within the window changes no window.
  auto other = std::make_shared<UIView>();
  window->addSubview(other);
  other->addSubview(child);
  EXPECT_EQ(log, std::vector<std::string>{"child superview"});
  log.clear();
  other->removeFromSuperview();
  EXPECT_EQ(log, (std::vector<std::string>{"child will leave window", "child window"}));
  EXPECT_EQ(child->window(), nullptr);
  drainMainLoop();
}

TEST_F(UIViewTest, FrameBoundsCenterAndTransformStayConsistent) {
  auto v = UIView::viewWithFrame(CGRectMake(10, 20, 100, 50));
  EXPECT_EQ(v->center(), CGPointMake(60, 45));
  expectRect(v->bounds(), 0, 0, 100, 50);
  v->setCenter(CGPointMake(100, 100));
  expectRect(v->frame(), 50, 75, 100, 50);
  v->setBounds(CGRectMake(5, 5, 40, 20));  // resizes about the centre
  expectRect(v->frame(), 80, 90, 40, 20);
  v->setTransform(CGAffineTransformMakeScale(2, 2));
  expectRect(v->frame(), 60, 80, 80, 40);
  expectRect(v->bounds(), 5, 5, 40, 20);
  EXPECT_EQ(v->center(), CGPointMake(100, 100));
  v->setTransform(CGAffineTransformIdentity);
  v->setFrame(CGRectMake(0, 0, 10, 10));
  expectRect(v->bounds(), 5, 5, 10, 10);  // the bounds origin is kept
}

TEST_F(UIViewTest, FrameSetUnderATransformIsTheTransformedBoundsBox) {
  auto v = UIView::viewWithFrame(CGRectMake(0, 0, 40, 20));
  v->setBounds(CGRectMake(3, 4, 40, 20));
  // A quarter turn: the bounds take the frame's sides swapped.
  v->setTransform(CGAffineTransformMakeRotation(M_PI / 2));
  v->setFrame(CGRectMake(10, 20, 60, 100));
  expectRect(v->bounds(), 3, 4, 100, 60);
  EXPECT_NEAR(v->center().x, 40, 1e-9);
  EXPECT_NEAR(v->center().y, 70, 1e-9);
  expectRect(v->frame(), 10, 20, 60, 100);

  // Scale and turn together, read back exactly.
  v->setTransform(CGAffineTransformScale(CGAffineTransformMakeRotation(M_PI / 6), 2, 0.5));
  v->setFrame(CGRectMake(-5, 7, 90, 70));
  expectRect(v->frame(), -5, 7, 90, 70);

  // A 45° turn boxes every size as a square: the bounds keep their size and
  // the box is centred on the frame.
  v->setTransform(CGAffineTransformMakeRotation(M_PI / 4));
  CGSize kept = v->bounds().size;
  v->setFrame(CGRectMake(0, 0, 50, 30));
  EXPECT_EQ(v->bounds().size, kept);
  EXPECT_NEAR(v->center().x, 25, 1e-9);
  EXPECT_NEAR(v->center().y, 15, 1e-9);
}

TEST_F(UIViewTest, ConvertsAndHitTestsThroughTransforms) {
  auto root = UIView::viewWithFrame(CGRectMake(0, 0, 300, 300));
  auto box = UIView::viewWithFrame(CGRectMake(100, 100, 100, 100));
  box->setTransform(CGAffineTransformMakeRotation(M_PI / 2));
  auto dot = UIView::viewWithFrame(CGRectMake(0, 0, 10, 10));
  root->addSubview(box);
  box->addSubview(dot);
  // A quarter turn about the centre (150, 150) takes the box's top-left
  // corner to the top-right.
  CGPoint p = dot->convertPointToView(CGPointMake(0, 0), root.get());
  EXPECT_NEAR(p.x, 200, 1e-9);
  EXPECT_NEAR(p.y, 100, 1e-9);
  CGPoint q = root->convertPointToView(CGPointMake(195, 105), dot.get());
  EXPECT_NEAR(q.x, 5, 1e-9);
  EXPECT_NEAR(q.y, 5, 1e-9);
  CGRect r = dot->convertRectToView(dot->bounds(), nullptr);
  expectRect(r, 190, 100, 10, 10);
  expectRect(root->convertRectFromView(dot->bounds(), dot.get()), 190, 100, 10, 10);
  expectRect(dot->convertRectFromView(r, root.get()), 0, 0, 10, 10);

  EXPECT_EQ(root->hitTest(CGPointMake(195, 105), nullptr), dot);
  EXPECT_EQ(root->hitTest(CGPointMake(105, 105), nullptr), box);
  EXPECT_EQ(root->hitTest(CGPointMake(50, 50), nullptr), root);
  EXPECT_EQ(root->hitTest(CGPointMake(350, 50), nullptr), nullptr);
  dot->setHidden(true);
  EXPECT_EQ(root->hitTest(CGPointMake(195, 105), nullptr), box);
  dot->setHidden(false);
  dot->setAlpha(0.005);
  EXPECT_EQ(root->hitTest(CGPointMake(195, 105), nullptr), box);
  dot->setAlpha(1);
  box->setUserInteractionEnabled(false);
  EXPECT_EQ(root->hitTest(CGPointMake(195, 105), nullptr), root);
  box->setUserInteractionEnabled(true);
  // Outside its parent's bounds a subview is out of reach.
  dot->setFrame(CGRectMake(-20, 0, 10, 10));
  CGPoint outside = dot->convertPointToView(CGPointMake(5, 5), root.get());
  EXPECT_EQ(root->hitTest(outside, nullptr), root);
}

TEST_F(UIViewTest, AutoresizingSharesTheChangeAmongFlexibleParts) {
  auto parent = UIView::viewWithFrame(CGRectMake(0, 0, 100, 100));
  auto fill = UIView::viewWithFrame(CGRectMake(10, 10, 80, 80));
  fill->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  auto pinned = UIView::viewWithFrame(CGRectMake(10, 70, 20, 20));
  pinned->setAutoresizingMask(UIViewAutoresizingFlexibleTopMargin);
  auto floating = UIView::viewWithFrame(CGRectMake(20, 0, 20, 10));
  floating->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                UIViewAutoresizingFlexibleRightMargin);
  auto fixed = UIView::viewWithFrame(CGRectMake(5, 5, 5, 5));
  for (auto& v : {fill, pinned, floating, fixed}) parent->addSubview(v);

  parent->setFrame(CGRectMake(0, 0, 200, 150));
  expectRect(fill->frame(), 10, 10, 180, 130);
  expectRect(pinned->frame(), 10, 120, 20, 20);
  // Margins 20 and 60 share 100 points as 1:3.
  expectRect(floating->frame(), 45, 0, 20, 10);
  expectRect(fixed->frame(), 5, 5, 5, 5);

  parent->setAutoresizesSubviews(false);
  parent->setFrame(CGRectMake(0, 0, 100, 100));
  expectRect(fill->frame(), 10, 10, 180, 130);
}

TEST_F(UIViewTest, LayoutRunsOncePerRunLoopTurnForViewsInAWindow) {
  std::vector<std::string> log;
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 100, 100));
  auto view = std::make_shared<LoggingView>("view", &log, CGRectMake(0, 0, 50, 50));
  window->addSubview(view);
  log.clear();
  drainMainLoop();
  EXPECT_EQ(log, std::vector<std::string>{"view layout"});
  log.clear();

  view->setNeedsLayout();
  view->setNeedsLayout();
  view->setFrame(CGRectMake(0, 0, 60, 60));
  EXPECT_TRUE(log.empty());  // not during the turn
  drainMainLoop();
  EXPECT_EQ(log, std::vector<std::string>{"view layout"});
  drainMainLoop();
  EXPECT_EQ(log.size(), 1u);
  // Moving without resizing needs no layout.
  view->setCenter(CGPointMake(10, 10));
  drainMainLoop();
  EXPECT_EQ(log.size(), 1u);

  // Outside a window only layoutIfNeeded lays out, and only once.
  auto loose = std::make_shared<LoggingView>("loose", &log, CGRectMake(0, 0, 10, 10));
  loose->setNeedsLayout();
  drainMainLoop();
  EXPECT_EQ(log.size(), 1u);
  loose->layoutIfNeeded();
  loose->layoutIfNeeded();
  EXPECT_EQ(log.back(), "loose layout");
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(UIViewTest, TintIsInheritedUntilAViewSetsItsOwn) {
  std::vector<std::string> log;
  auto parent = std::make_shared<LoggingView>("parent", &log);
  auto child = std::make_shared<LoggingView>("child", &log);
  auto own = std::make_shared<LoggingView>("own", &log);
  own->setTintColor(UIColor::redColor());
  parent->addSubview(child);
  parent->addSubview(own);
  EXPECT_TRUE(child->tintColor()->isEqual(*UIColor::systemBlueColor()));
  log.clear();
  parent->setTintColor(UIColor::greenColor());
  EXPECT_EQ(log, (std::vector<std::string>{"parent tint", "child tint"}));
  EXPECT_TRUE(child->tintColor()->isEqual(*UIColor::greenColor()));
  EXPECT_TRUE(own->tintColor()->isEqual(*UIColor::redColor()));
}

TEST_F(UIViewTest, SafeAreaComesFromTheWindowsScreen) {
  UseScreenProfile(UIScreenProfile::phoneWithNotch());
  auto window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
  auto full = UIView::viewWithFrame(window->bounds());
  auto middle = UIView::viewWithFrame(CGRectMake(0, 100, 390, 100));
  auto bottom = UIView::viewWithFrame(CGRectMake(0, 824, 390, 20));
  EXPECT_EQ(full->safeAreaInsets(), UIEdgeInsetsZero);  // not in a window
  for (auto& v : {full, middle, bottom}) window->addSubview(v);
  EXPECT_EQ(full->safeAreaInsets(), UIEdgeInsetsMake(47, 0, 34, 0));
  EXPECT_EQ(middle->safeAreaInsets(), UIEdgeInsetsZero);
  EXPECT_EQ(bottom->safeAreaInsets(), UIEdgeInsetsMake(0, 0, 20, 0));

  UIScreen::mainScreen()->setInterfaceOrientation(UIInterfaceOrientationLandscapeLeft);
  window->setFrame(UIScreen::mainScreen()->bounds());
  EXPECT_EQ(window->bounds().size, CGSizeMake(844, 390));
  EXPECT_EQ(window->safeAreaInsets(), UIEdgeInsetsMake(0, 47, 21, 47));
  EXPECT_EQ(full->traitCollection().verticalSizeClass, UIUserInterfaceSizeClassCompact);

  UseScreenProfile(UIScreenProfile::pad());
  EXPECT_EQ(UIDevice::currentDevice()->userInterfaceIdiom(), UIUserInterfaceIdiomPad);
  EXPECT_EQ(UIScreen::mainScreen()->scale(), 2);
  EXPECT_EQ(full->traitCollection().horizontalSizeClass, UIUserInterfaceSizeClassRegular);
  drainMainLoop();
}

TEST_F(UIViewTest, SizeToFitUsesSizeThatFits) {
  class Fixed : public UIView {
   public:
    CGSize sizeThatFits(CGSize) const override { return CGSizeMake(33, 11); }
  };
  auto v = std::make_shared<Fixed>();
  v->setFrame(CGRectMake(5, 6, 1, 1));
  v->sizeToFit();
  expectRect(v->frame(), 5, 6, 33, 11);
}

}  // namespace

}  // namespace ui_view_test
