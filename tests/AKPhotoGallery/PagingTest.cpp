#include <gtest/gtest.h>

#include <map>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryContentVC.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "GalleryTestSupport.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace paging_test {

namespace {

UIImagePtr Picture(size_t width, size_t height) {
  return UIImage::imageWithCGImage(TwoBandBitmap(width, height), 1, UIImageOrientationUp);
}

// A video page as far as paging is concerned: it counts what the content
// controller tells it.
class CountingVideoPage : public AKPhotoBasePreviewVC {
 public:
  static inline std::map<const AKPhotoBasePreviewVC*, int> disappearCalls;
  AKPhotoPreviewClass previewClass() const override { return kAKPhotoPlayerPreviewClass; }
  AKPhotoPreviewType previewType() const override { return AKPhotoPreviewType::video; }
  bool enableZoom() override { return false; }
  bool enableIndicatorView() override { return false; }
  void photoPreviewWillDisappear() override { ++disappearCalls[this]; }
};

// Items and more of them on request, as a gallery's client would give them.
class Source : public AKPhotoGalleryIncrementalDataSource {
 public:
  std::vector<AKPhotoGalleryItemPtr> before, after;
  int asks = 0;
  void photoGalleryItemsBefore(AKPhotoGallery&, const AKPhotoGalleryItemPtr&,
                               ResultHandler handler) override {
    ++asks;
    handler(before, nullptr);
    before.clear();
  }
  void photoGalleryItemsAfter(AKPhotoGallery&, const AKPhotoGalleryItemPtr&,
                              ResultHandler handler) override {
    ++asks;
    handler(after, nullptr);
    after.clear();
  }
};

class Listener : public AKPhotoGalleryDelegate {
 public:
  std::vector<int64_t> shown;
  void photoGalleryDidShow(AKPhotoGallery&, int64_t index) override { shown.push_back(index); }
};

std::vector<AKPhotoGalleryItemPtr> Photos(size_t count) {
  std::vector<AKPhotoGalleryItemPtr> items;
  for (size_t i = 0; i < count; ++i) items.push_back(AKPhotoGalleryItem::itemWithImage(Picture(60, 40)));
  return items;
}

}  // namespace

class PagingTest : public GalleryTest {
 protected:
  void SetUp() override {
    GalleryTest::SetUp();
    registerAKPhotoGalleryClasses();
    NSClassRegistry::registerClass(kAKPhotoPlayerPreviewClass,
                                   [] { return std::make_shared<CountingVideoPage>(); });
    CountingVideoPage::disappearCalls.clear();
    CGSize screen = UIScreen::mainScreen()->bounds().size;
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, screen.width, screen.height));
    window->makeKeyAndVisible();
    stride = screen.width + 20;
  }
  std::shared_ptr<AKPhotoGallery> open(std::vector<AKPhotoGalleryItemPtr> items, int64_t start) {
    gallery = std::make_shared<AKPhotoGallery>();
    gallery->setItems(std::move(items));
    gallery->setPresentationIndex(start);
    gallery->setGalleryDelegate(listener);
    window->setRootViewController(gallery);
    appear();
    return gallery;
  }
  std::shared_ptr<AKPhotoGalleryContentVC> content() { return gallery->contentVC(); }
  // The gallery and its page appear, and the delayed first-appearance step
  // (showing the bars) runs.
  void appear() {
    gallery->view()->setFrame(window->bounds());
    gallery->viewWillAppear(false);
    content()->viewWillAppear(false);
    advance(1.0);
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<AKPhotoGallery> gallery;
  std::shared_ptr<Listener> listener = std::make_shared<Listener>();
  double stride = 0;
};

TEST_F(PagingTest, StartsOnTheClampedIndexWithTitleAndKeepsThreeLivePages) {
  open(Photos(3), 10);
  EXPECT_EQ(content()->currentIndex(), 2);
  EXPECT_EQ(content()->navigationItem()->title(), "3/3");
  ASSERT_FALSE(listener->shown.empty());
  EXPECT_EQ(listener->shown.front(), 2);
  EXPECT_EQ(content()->mainView()->contentSize().width, stride * 3 - 20);
  EXPECT_EQ(content()->mainView()->contentOffset().x, stride * 2);
  // Photo first page: two image pages and three video pages pre-filled, the
  // neighbour then took one image page from them.
  EXPECT_EQ(content()->visibleVCs().size(), 2u);
  EXPECT_EQ(content()->reuseCount(kAKPhotoImagePreviewClass), 1u);
  EXPECT_EQ(content()->reuseCount(kAKPhotoPlayerPreviewClass), 3u);
}

TEST_F(PagingTest, TenThousandItemsPageWithAtMostThreeLiveControllersRecycledByClass) {
  auto items = Photos(10000);
  items[5] = AKPhotoGalleryItem::itemWithVideoURL(NSURL::fileURLWithPath("/tmp/v.mp4"));
  open(items, 4);
  auto leaving = content()->visibleVCForItem(items[3]);
  ASSERT_TRUE(leaving);
  auto staying = content()->visibleVCForItem(items[4]);
  content()->updateVisibleViews(5, true, false, false);
  EXPECT_EQ(content()->currentIndex(), 5);
  EXPECT_EQ(content()->navigationItem()->title(), "6/10000");
  EXPECT_FALSE(content()->visibleVCForItem(items[3]));
  EXPECT_EQ(content()->visibleVCForItem(items[4]), staying);
  // The page that left went onto its class's stack and was the first taken
  // for the image page that came in.
  EXPECT_EQ(content()->visibleVCForItem(items[6]), leaving);
  EXPECT_FALSE(leaving->view()->isHidden());
  EXPECT_EQ(leaving->view()->frame().origin.x, stride * 6);
  EXPECT_EQ(leaving->item(), items[6]);
  // The neighbour that stays and the page that left were both told.
  EXPECT_EQ(CountingVideoPage::disappearCalls.size(), 0u);
  content()->updateVisibleViews(6, false, false, false);
  auto video = content()->visibleVCForItem(items[5]);
  ASSERT_TRUE(std::dynamic_pointer_cast<CountingVideoPage>(video));
  EXPECT_EQ(CountingVideoPage::disappearCalls[video.get()], 1);
  for (int64_t i = 7; i < 100; ++i) {
    content()->updateVisibleViews(i, true, false, false);
    ASSERT_LE(content()->visibleVCs().size(), 3u);
  }
  size_t made = content()->reuseCount(kAKPhotoImagePreviewClass) +
                content()->reuseCount(kAKPhotoPlayerPreviewClass) + content()->visibleVCs().size();
  EXPECT_LE(made, 8u);
}

TEST_F(PagingTest, DragReleasesTurnThePageByDistanceOrFlickSpeed) {
  open(Photos(5), 2);
  auto turn = [&](double targetFraction, double velocity) {
    content()->updateVisibleViews(2, true, false, false);
    CGPoint target{stride * 2 + (AKPhotoGalleryContentVC::pageWidth() * targetFraction), 0};
    content()->scrollViewWillEndDragging(*content()->mainView(), {velocity, 0}, &target);
    EXPECT_EQ(target.x, stride * static_cast<double>(content()->currentIndex()));
    return content()->currentIndex();
  };
  EXPECT_EQ(turn(0.4, 0.3), 3);
  EXPECT_EQ(turn(0.4, 0.2), 2);
  EXPECT_EQ(turn(0.6, 0), 3);
  EXPECT_EQ(turn(-0.4, -0.3), 1);
  EXPECT_EQ(turn(-0.6, 0.1), 1);

  // Scrolling 0.95 of a page turns it during the scroll; 0.85 does not.
  content()->updateVisibleViews(2, true, false, false);
  content()->mainView()->setContentOffset({stride * 2.85, 0});
  EXPECT_EQ(content()->currentIndex(), 2);
  content()->mainView()->setContentOffset({stride * 2.95, 0});
  EXPECT_EQ(content()->currentIndex(), 3);
}

TEST_F(PagingTest, MoreItemsBeforeTheFirstKeepTheSamePageOnScreen) {
  auto source = std::make_shared<Source>();
  auto items = Photos(3);
  auto first = items[0];
  gallery = std::make_shared<AKPhotoGallery>();
  gallery->setItems(items);
  gallery->setIncrementalDataSource(source);
  gallery->setGalleryDelegate(listener);
  window->setRootViewController(gallery);
  appear();
  ASSERT_TRUE(content()->leftIncrementalIndicator());
  ASSERT_TRUE(content()->rightIncrementalIndicator());

  source->before = Photos(2);
  listener->shown.clear();
  content()->mainView()->setContentOffset({-65, 0});
  EXPECT_EQ(source->asks, 1);
  EXPECT_EQ(gallery->items()->size(), 5u);
  EXPECT_EQ(gallery->itemForIndex(2), first);
  ASSERT_FALSE(listener->shown.empty());
  EXPECT_EQ(listener->shown.front(), 2);
  EXPECT_EQ(content()->visibleVCForItem(first)->view()->frame().origin.x, stride * 2);
  advance(0.5);
  // An empty answer ends loading at that end for good.
  content()->mainView()->setContentOffset({0, 0});
  content()->mainView()->setContentOffset({-65, 0});
  advance(0.5);
  EXPECT_FALSE(gallery->hasMoreForLeft());
  EXPECT_FALSE(gallery->hasIncrementalDataForLeft());
  EXPECT_TRUE(content()->leftIncrementalIndicator()->isHidden());
  EXPECT_FALSE(content()->leftIncrementalIndicator()->isEnabled());
}

TEST_F(PagingTest, FooterSitsOverTheBottomInsetAndFadesOutWhenRemoved) {
  open(Photos(2), 0);
  auto footer = std::make_shared<UIView>(CGRectMake(0, 0, 100, 44));
  gallery->setFooterView(footer);
  auto container = content()->footerViewContainer();
  ASSERT_TRUE(container);
  const CGSize size = content()->view()->bounds().size;
  const double expected = UIScreen::mainScreen()->bounds().size.height >= 812 ? 78 : 44;
  EXPECT_EQ(container->frame(), CGRectMake(0, size.height - expected, size.width, expected));
  advance(0.3);
  EXPECT_EQ(footer->frame(), CGRectMake(0, 0, size.width, 44));

  int completions = 0;
  container->setAlpha(1);
  content()->setFooterViewHidden(false, true, [&] { ++completions; });
  advance(0.3);
  EXPECT_EQ(completions, 0);
  gallery->setFooterView(nullptr);
  EXPECT_FALSE(content()->footerViewContainer());
  advance(0.3);
  EXPECT_FALSE(container->superview());
}

TEST_F(PagingTest, AnImagePageWithItsTitleBarAndFooter) {
  auto items = Photos(3);
  items[1] = AKPhotoGalleryItem::itemWithImage(Picture(600, 400));
  open(items, 1);
  auto footer = std::make_shared<UILabel>(CGRectMake(0, 0, 100, 44));
  footer->setText("Footer");
  footer->setTextColor(UIColor::whiteColor());
  footer->setTextAlignment(NSTextAlignmentCenter);
  gallery->setFooterView(footer);
  advance(0.5);
  EXPECT_EQ(content()->navigationItem()->title(), "2/3");
  EXPECT_FALSE(gallery->isNavigationBarHidden());
  auto page = content()->currentVC();
  const double width = UIScreen::mainScreen()->bounds().size.width;
  EXPECT_EQ(page->contentView()->frame().size, CGSizeMake(width, width * 400 / 600));
  auto picture = RenderView(*gallery->view(), 1);
  SaveSnapshot(picture, "gallery-image-page");
  EXPECT_TRUE(MatchesGolden(picture, "AKPhotoGallery/gallery-image-page.png", 8, 400));
  // A single tap hides the bar and the footer together.
  gallery->handleSingleTap();
  EXPECT_TRUE(gallery->isNavigationBarHidden());
  EXPECT_EQ(content()->footerViewContainer()->alpha(), 0);
}

}  // namespace paging_test
