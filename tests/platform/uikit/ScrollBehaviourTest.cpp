#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIPanGestureRecognizer.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UITapGestureRecognizer.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"
#include "support/ui/ScriptedDisplay.h"

namespace scroll_behaviour_test {

namespace {

// Reads the offset at each release callback, as a pull-to-load control does.
class ReleaseWatcher : public UIScrollViewDelegate {
 public:
  std::vector<double> scrolled;
  double atWillEnd = 0, atDidEnd = 0;
  bool ended = false;
  int drags = 0;
  std::shared_ptr<UIView> zoomView;
  void scrollViewDidScroll(UIScrollView& s) override { scrolled.push_back(s.contentOffset().y); }
  void scrollViewWillBeginDragging(UIScrollView&) override { ++drags; }
  void scrollViewWillEndDragging(UIScrollView& s, CGPoint, CGPoint*) override {
    atWillEnd = s.contentOffset().y;
  }
  void scrollViewDidEndDragging(UIScrollView& s, bool) override { atDidEnd = s.contentOffset().y; }
  void scrollViewDidEndDecelerating(UIScrollView&) override { ended = true; }
  std::shared_ptr<UIView> viewForZoomingInScrollView(UIScrollView&) override { return zoomView; }
};

// Horizontal stripes of colour, so offsets show in pictures.
std::shared_ptr<UIView> stripes(CGSize size, double every, bool vertical) {
  auto content = std::make_shared<UIView>(CGRect{CGPointZero, size});
  double extent = vertical ? size.height : size.width;
  for (int i = 0; double(i) * every < extent; ++i) {
    double hue = std::fmod(i * 0.13, 1.0);
    auto band = std::make_shared<UIView>(
        vertical ? CGRectMake(0, i * every, size.width, every) : CGRectMake(i * every, 0, every, size.height));
    band->setBackgroundColor(UIColor::colorWithRed(0.3 + 0.7 * hue, 0.8 - 0.5 * hue, 0.5, 1));
    content->addSubview(band);
  }
  return content;
}

class ScrollBehaviourTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    UseScreenProfile(UIScreenProfile::phone());
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    hand = std::make_unique<UITouchDriver>(window);
  }

  std::shared_ptr<UIScrollView> scrollView(CGRect frame, CGSize content) {
    auto s = std::make_shared<UIScrollView>(frame);
    s->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
    s->setContentSize(content);
    return s;
  }

  std::shared_ptr<UIWindow> window;
  std::unique_ptr<UITouchDriver> hand;
};

TEST_F(ScrollBehaviourTest, AHorizontalPagerPassesVerticalDragsToTheScrollViewBelow) {
  auto outer = scrollView(CGRectMake(0, 0, 375, 667), CGSizeMake(375, 2000));
  outer->addSubview(stripes(CGSizeMake(375, 2000), 100, true));
  window->addSubview(outer);
  auto pager = scrollView(CGRectMake(0, 150, 375, 300), CGSizeMake(375 * 3, 300));
  pager->setPagingEnabled(true);
  pager->addSubview(stripes(CGSizeMake(375 * 3, 300), 375, false));
  outer->addSubview(pager);

  // Vertical over the pager: the outer view scrolls, the pager stays.
  auto touch = hand->drag({{200, 400}, {200, 200}}, 0.3, false);
  advance(0.2);
  hand->up({touch});
  EXPECT_EQ(pager->contentOffset(), CGPointMake(0, 0));
  EXPECT_EQ(outer->contentOffset().y, 200);
  SaveSnapshot(RenderView(*window, 1), "scroll-nested-pager-vertical-drag");
  double outerY = outer->contentOffset().y;

  // Sideways over the pager: the pager turns, the outer view stays.
  hand->drag({{300, 200}, {100, 200}}, 0.3);
  advance(1);
  EXPECT_EQ(pager->contentOffset(), CGPointMake(375, 0));
  EXPECT_EQ(outer->contentOffset().y, outerY);

  // A pan above a view that cannot scroll sideways gets sideways drags.
  auto row = scrollView(CGRectMake(0, 500, 375, 100), CGSizeMake(375, 100));
  outer->addSubview(row);
  auto swipe = std::make_shared<UIPanGestureRecognizer>();
  int began = 0;
  swipe->addTarget(outer, [&](UIGestureRecognizer& g) {
    if (g.state() == UIGestureRecognizerState::Began) ++began;
  });
  auto holder = std::make_shared<UIView>(CGRectMake(0, 0, 375, 667));
  window->addSubview(holder);
  holder->addSubview(row);
  holder->addGestureRecognizer(swipe);
  hand->drag({{100, 550}, {300, 550}}, 0.3);
  advance(1);
  EXPECT_EQ(began, 1);
  EXPECT_EQ(row->contentOffset(), CGPointMake(0, 0));
}

TEST_F(ScrollBehaviourTest, APullPastTheThresholdIsHeldThroughTheRelease) {
  auto s = scrollView(CGRectMake(0, 0, 375, 667), CGSizeMake(375, 2000));
  s->addSubview(stripes(CGSizeMake(375, 2000), 100, true));
  auto watcher = std::make_shared<ReleaseWatcher>();
  s->setDelegate(watcher);
  window->addSubview(s);
  auto touch = hand->drag({{200, 100}, {200, 400}}, 0.4, false);
  advance(0.2);
  double pulled = s->contentOffset().y;
  EXPECT_LT(pulled, -65);
  SaveSnapshot(RenderView(*window, 1), "scroll-pull-held-at-release");
  hand->up({touch});
  EXPECT_EQ(watcher->atWillEnd, pulled);
  EXPECT_EQ(watcher->atDidEnd, pulled);
  advance(UITouchDriver::kFrame);
  double firstFrame = s->contentOffset().y;
  EXPECT_LT(firstFrame, pulled * 0.95);  // the spring starts slowly
  EXPECT_GT(firstFrame, pulled);         // but does start
  advance(1.5);
  EXPECT_EQ(s->contentOffset().y, 0);
  EXPECT_TRUE(watcher->ended);
  // From rest, a critically damped return never passes the edge.
  EXPECT_LE(*std::max_element(watcher->scrolled.begin(), watcher->scrolled.end()), 0);
}

TEST_F(ScrollBehaviourTest, AFlickIntoAnEdgeOvershootsAndSettlesBack) {
  auto s = scrollView(CGRectMake(0, 0, 375, 667), CGSizeMake(375, 1000));
  auto watcher = std::make_shared<ReleaseWatcher>();
  s->setDelegate(watcher);
  window->addSubview(s);
  s->setContentOffset(CGPointMake(0, 200));
  hand->drag({{200, 500}, {200, 380}}, 0.08);
  double end = s->maximumContentOffset().y;
  advance(3);
  double furthest = *std::max_element(watcher->scrolled.begin(), watcher->scrolled.end());
  EXPECT_GT(furthest, end + 5);
  EXPECT_LT(furthest, end + 200);
  EXPECT_EQ(s->contentOffset().y, end);
  EXPECT_TRUE(watcher->ended);
  EXPECT_FALSE(s->isDecelerating());
}

TEST_F(ScrollBehaviourTest, PagingNeedsHalfAPageOrAFlick) {
  auto s = scrollView(CGRectMake(0, 0, 375, 667), CGSizeMake(375 * 4, 667));
  s->setPagingEnabled(true);
  window->addSubview(s);
  hand->drag({{200, 300}, {185, 300}}, 0.4);  // slow and short
  advance(1);
  EXPECT_EQ(s->contentOffset().x, 0);
  hand->drag({{300, 300}, {100, 300}}, 0.6);  // slow but past half a page
  advance(1);
  EXPECT_EQ(s->contentOffset().x, 375);
  hand->drag({{200, 300}, {150, 300}}, 0.08);  // short but fast
  advance(1);
  EXPECT_EQ(s->contentOffset().x, 750);
}

TEST_F(ScrollBehaviourTest, AnimatedZoomsEndWhereUnanimatedOnesDo) {
  auto make = [&](std::shared_ptr<ReleaseWatcher>& watcher) {
    auto s = scrollView(CGRectMake(0, 0, 375, 667), CGSizeMake(375, 667));
    auto photo = stripes(CGSizeMake(375, 667), 60, true);
    s->addSubview(photo);
    watcher = std::make_shared<ReleaseWatcher>();
    watcher->zoomView = photo;
    s->setDelegate(watcher);
    s->setMinimumZoomScale(1);
    s->setMaximumZoomScale(4);
    window->addSubview(s);
    return s;
  };
  std::shared_ptr<ReleaseWatcher> w1, w2;
  auto still = make(w1);
  auto moving = make(w2);
  CGRect rect = CGRectMake(250, 400, 100, 150);
  still->zoomToRect(rect, false);
  moving->zoomToRect(rect, true);
  advance(UIScrollView::kAnimationDuration + 0.05);
  EXPECT_EQ(moving->zoomScale(), still->zoomScale());
  EXPECT_NEAR(moving->contentOffset().x, still->contentOffset().x, 1e-9);
  EXPECT_NEAR(moving->contentOffset().y, still->contentOffset().y, 1e-9);
  still->setZoomScale(3, false);
  moving->setZoomScale(3, true);
  advance(UIScrollView::kAnimationDuration + 0.05);
  EXPECT_EQ(moving->zoomScale(), 3);
  EXPECT_NEAR(moving->contentOffset().x, still->contentOffset().x, 1e-9);
  EXPECT_NEAR(moving->contentOffset().y, still->contentOffset().y, 1e-9);
  still->removeFromSuperview();

  // A double tap zooms in on the point tapped.
  moving->setZoomScale(1, false);
  auto doubleTap = std::make_shared<UITapGestureRecognizer>();
  doubleTap->setNumberOfTapsRequired(2);
  CGPoint tappedInPhoto;
  doubleTap->addTarget(moving, [&](UIGestureRecognizer& g) {
    tappedInPhoto = g.locationInView(w2->zoomView.get());
    CGSize size = CGSizeMake(375.0 / 2, 667.0 / 2);
    moving->zoomToRect(CGRectMake(tappedInPhoto.x - size.width / 2,
                                  tappedInPhoto.y - size.height / 2, size.width, size.height),
                       true);
  });
  moving->addGestureRecognizer(doubleTap);
  hand->tap(CGPointMake(120, 250), 2);
  advance(UIScrollView::kAnimationDuration + 0.05);
  EXPECT_NEAR(tappedInPhoto.x, 120, 1);
  EXPECT_EQ(moving->zoomScale(), 2);
  // The tapped point sits in the middle of the view.
  CGPoint shown = w2->zoomView->convertPointToView(tappedInPhoto, window.get());
  EXPECT_NEAR(shown.x, 187.5, 1);
  EXPECT_NEAR(shown.y, 333.5, 1);
  SaveSnapshot(RenderView(*window, 1), "scroll-double-tap-zoom");
}

TEST_F(ScrollBehaviourTest, ContentStartsBelowTheSafeArea) {
  UseScreenProfile(UIScreenProfile::phoneWithNotch());
  window->setFrame(CGRectMake(0, 0, 390, 844));
  auto list = std::make_shared<UIScrollView>(CGRectMake(0, 0, 390, 844));
  list->setContentSize(CGSizeMake(390, 3000));
  window->addSubview(list);
  drainMainLoop();
  EXPECT_EQ(list->adjustedContentInset(), UIEdgeInsetsMake(47, 0, 34, 0));
  EXPECT_EQ(list->contentOffset(), CGPointMake(0, -47));

  auto never = std::make_shared<UIScrollView>(CGRectMake(0, 0, 390, 844));
  never->setContentSize(CGSizeMake(390, 3000));
  never->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
  window->addSubview(never);
  drainMainLoop();
  EXPECT_EQ(never->contentOffset(), CGPointMake(0, 0));

  // Under a navigation bar the content starts below the bar; a view the
  // user moved keeps its place.
  auto screen = std::make_shared<UIViewController>();
  auto nav = std::make_shared<UINavigationController>(screen);
  auto table = std::make_shared<UIScrollView>(CGRectMake(0, 0, 390, 844));
  table->setContentSize(CGSizeMake(390, 3000));
  screen->view()->addSubview(table);
  window->setRootViewController(nav);
  drainMainLoop();
  EXPECT_EQ(table->adjustedContentInset().top, 91);
  EXPECT_EQ(table->contentOffset(), CGPointMake(0, -91));
  table->setContentOffset(CGPointMake(0, 300));
  nav->setNavigationBarHidden(true);
  drainMainLoop();
  EXPECT_EQ(table->adjustedContentInset().top, 47);
  EXPECT_EQ(table->contentOffset(), CGPointMake(0, 300));
}

// A gallery: a pager of three screen-wide pages, each a zoomable photo
// whose scroll view bounces sideways, as photo pages do.
TEST_F(ScrollBehaviourTest, NestedZoomingPagesHandTheSwipeToThePager) {
  struct Case {
    const char* what;
    int startPage;
    double zoom;     // of the page the finger is on, zoomed at its centre
    double dx;       // the finger's slide, left is negative
    double seconds;  // how long it slides (then rests before lifting)
    int page;        // where the pager settles
    double innerX;   // where the page's own content rests
    bool pulledPastAnEnd;
  };
  const double half = 375.0 / 2;
  const double toEdge = 187.5;  // a 2x page zoomed at its centre, to either edge
  const Case cases[] = {
      {"unzoomed swipe left", 1, 1, -250, 0.15, 2, 0, false},
      {"unzoomed swipe right", 1, 1, 250, 0.15, 0, 0, false},
      {"unzoomed slow drag of half a page", 1, 1, -half, 1, 2, 0, false},
      {"unzoomed slow drag just short of half a page", 1, 1, -(half - 0.5), 1, 1, 0, false},
      {"zoomed: the drag only pans", 1, 2, -150, 1, 1, toEdge + 150, false},
      {"zoomed: to the edge, then half a page", 1, 2, -(toEdge + half), 1.5, 2, 2 * toEdge, false},
      {"zoomed: to the edge, then short of half", 1, 2, -(toEdge + half - 0.5), 1.5, 1, 2 * toEdge,
       false},
      {"zoomed: right to the edge and on", 1, 2, toEdge + half, 1.5, 0, 0, false},
      {"zoomed: a flick just past the edge", 1, 2, -(toEdge + 60), 0.15, 2, 2 * toEdge, false},
      {"unzoomed pull at the first page", 0, 1, 200, 0.5, 0, 0, true},
      {"zoomed pull at the first page", 0, 2, toEdge + 200, 0.8, 0, 0, true},
      {"unzoomed pull at the last page", 2, 1, -200, 0.5, 2, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto pager = scrollView(CGRectMake(0, 0, 375, 667), CGSizeMake(375 * 3, 667));
    pager->setPagingEnabled(true);
    pager->setAlwaysBounceHorizontal(true);
    struct PagerWatch : ReleaseWatcher {
      std::vector<double> xs;
      void scrollViewDidScroll(UIScrollView& s) override { xs.push_back(s.contentOffset().x); }
    };
    auto pagerWatch = std::make_shared<PagerWatch>();
    auto& pagerX = pagerWatch->xs;
    pager->setDelegate(pagerWatch);
    window->addSubview(pager);
    std::vector<std::shared_ptr<UIScrollView>> pages;
    std::vector<std::shared_ptr<ReleaseWatcher>> zoomers;
    for (int i = 0; i < 3; ++i) {
      auto page = scrollView(CGRectMake(375.0 * i, 0, 375, 667), CGSizeMake(375, 667));
      page->setAlwaysBounceHorizontal(true);
      auto photo = stripes(CGSizeMake(375, 667), 60, false);
      page->addSubview(photo);
      auto zoomer = std::make_shared<ReleaseWatcher>();
      zoomer->zoomView = photo;
      page->setDelegate(zoomer);
      page->setMinimumZoomScale(1);
      page->setMaximumZoomScale(4);
      pager->addSubview(page);
      pages.push_back(page);
      zoomers.push_back(zoomer);
    }
    pager->setContentOffset(CGPointMake(375.0 * c.startPage, 0));
    auto page = pages[size_t(c.startPage)];
    page->setZoomScale(c.zoom, false);
    ASSERT_EQ(page->contentOffset().x, c.zoom == 1 ? 0 : toEdge);
    pagerX.clear();

    double x0 = c.dx < 0 ? 300 : 60;
    auto finger = hand->drag({{x0, 300}, {x0 + c.dx, 300}}, c.seconds, false);
    if (c.seconds > 0.5) advance(0.2);  // a slow drag rests before lifting
    bool pulled = !pagerX.empty() && (*std::min_element(pagerX.begin(), pagerX.end()) < -20 ||
                                      *std::max_element(pagerX.begin(), pagerX.end()) > 750 + 20);
    hand->up({finger});
    advance(2);
    EXPECT_EQ(pager->contentOffset().x, 375.0 * c.page);
    EXPECT_NEAR(page->contentOffset().x, c.innerX, 1e-9);
    EXPECT_EQ(pulled, c.pulledPastAnEnd);
    EXPECT_FALSE(pager->isDragging());
    EXPECT_FALSE(pager->isDecelerating());
    // An unzoomed page never starts a drag of its own; the pager drags once
    // when the finger goes further than the page can pan.
    EXPECT_EQ(zoomers[size_t(c.startPage)]->drags, c.zoom == 1 ? 0 : 1);
    EXPECT_EQ(pagerWatch->drags, c.zoom == 1 || std::abs(c.dx) > toEdge ? 1 : 0);
    if (c.page != c.startPage) SaveSnapshot(RenderView(*window, 1), "scroll-nested-pager-turned");
    pager->removeFromSuperview();
  }
}

}  // namespace

}  // namespace scroll_behaviour_test
