#include <gtest/gtest.h>

#include "crop/internal/CRCropSharing.h"
#include "crop/internal/CRCropToolbar.h"
#include "crop/CRCropViewController.h"
#include "crop/internal/CRCropViewControllerTransitioning.h"
#include "crop/CropTestSupport.h"
#include "crop/UIImageCropRotate.h"
#include "platform/foundation/NSBundle.h"
#include "platform/uikit/UIActivityViewController.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/ScriptedDisplay.h"

namespace cr_crop_view_controller_test {

namespace {

using Log = std::vector<std::string>;
using Op = CRCropViewControllerDelegate::Operation;

class Receiver : public CRCropViewControllerDelegate {
 public:
  explicit Receiver(std::vector<Op> ops, Log* log) : ops_(std::move(ops)), log_(log) {}
  bool respondsTo(Op op) const override {
    return std::find(ops_.begin(), ops_.end(), op) != ops_.end();
  }
  void cropViewControllerDidCropImageToRect(CRCropViewController&, CGRect, int64_t) override {
    log_->push_back("delegate.rect");
  }
  void cropViewControllerDidCropToImage(CRCropViewController&, const std::shared_ptr<UIImage>& i,
                                        CGRect, int64_t) override {
    image = i;
    log_->push_back("delegate.image");
  }
  void cropViewControllerDidCropToCircularImage(CRCropViewController&,
                                                const std::shared_ptr<UIImage>& i, CGRect,
                                                int64_t) override {
    image = i;
    log_->push_back("delegate.circle");
  }
  void cropViewControllerDidFinishCancelled(CRCropViewController&, bool cancelled) override {
    log_->push_back(cancelled ? "delegate.cancelled" : "delegate.shared");
  }
  std::shared_ptr<UIImage> image;

 private:
  std::vector<Op> ops_;
  Log* log_;
};

class CRCropViewControllerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = CropTestWindow();
    root = std::make_shared<UIViewController>();
    window->setRootViewController(root);
    picture = CropTestPicture(400, 300);
  }
  std::shared_ptr<CRCropViewController> present(
      CRCropViewCroppingStyle style = CRCropViewCroppingStyleRectangular) {
    auto crop = CRCropViewController::controllerWithCroppingStyle(style, picture);
    root->presentViewController(crop, false);
    drainMainLoop();
    crop->view()->layoutIfNeeded();
    crop->viewDidLayoutSubviews();
    return crop;
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root;
  UIImagePtr picture;
  Log log;
};

TEST_F(CRCropViewControllerTest, PresentedScreenLaysOutCanvasAndToolbar) {
  auto crop = present();
  EXPECT_EQ(crop->transitioningDelegate().get(),
            static_cast<UIViewControllerTransitioningDelegate*>(crop.get()));
  EXPECT_TRUE(crop->verticalLayout());
  EXPECT_EQ(crop->toolbar()->frame(), CGRectMake(0, 623, 375, 44));
  EXPECT_EQ(crop->cropView()->frame(), CGRectMake(0, 0, 375, 623));
  EXPECT_EQ(crop->imageCropFrame(), CGRectMake(0, 0, 400, 300));
  EXPECT_FALSE(crop->toolbar()->resetButtonEnabled());
  crop->rotateCropViewClockwise();
  EXPECT_TRUE(crop->toolbar()->resetButtonEnabled());
  advance(2);
  EXPECT_EQ(crop->angle(), 90);
  SaveSnapshot(RenderView(*window, 2), "crop-screen-rotated");
  crop->rotateCropViewCounterclockwise();
  advance(2);
  EXPECT_EQ(crop->angle(), 0);
  // Reset: an unturned canvas glides back, a turned one jumps back at once.
  crop->cropView()->setCropBoxFrame(CGRectMake(60, 200, 200, 150));
  crop->resetCropViewLayout();
  EXPECT_TRUE(crop->cropView()->simpleRenderMode());
  advance(1);
  EXPECT_FALSE(crop->cropView()->simpleRenderMode());
  EXPECT_EQ(crop->imageCropFrame(), CGRectMake(0, 0, 400, 300));
  crop->rotateCropViewClockwise();
  advance(2);
  crop->resetCropViewLayout();
  EXPECT_EQ(crop->angle(), 0);
  EXPECT_FALSE(crop->cropView()->simpleRenderMode());
  // With the toolbar on top the canvas starts below it.
  crop->toolbarPosition = CRCropViewControllerToolbarPositionTop;
  EXPECT_EQ(crop->frameForCropViewWithVerticalLayout(true).origin.y, crop->statusBarHeight() + 44);
  // A square view is not a vertical layout.
  crop->view()->setFrame(CGRectMake(0, 0, 400, 400));
  EXPECT_FALSE(crop->verticalLayout());
}

TEST_F(CRCropViewControllerTest, NotchedPhoneKeepsToolbarAndBoxInsideTheSafeArea) {
  UseScreenProfile(UIScreenProfile::phoneWithNotch());
  window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
  window->setRootViewController(root);
  window->makeKeyAndVisible();
  auto crop = present();
  ASSERT_EQ(crop->view()->window(), window);
  UIEdgeInsets safe = crop->view()->safeAreaInsets();
  ASSERT_GT(safe.bottom, 0);
  // A phone with a home indicator always keeps the status bar's height.
  EXPECT_EQ(crop->statusBarHeight(), safe.top);
  EXPECT_EQ(crop->toolbar()->frame(), CGRectMake(0, 844 - safe.bottom - 44, 390, 44));
  EXPECT_EQ(crop->toolbar()->backgroundViewOutsets(), UIEdgeInsetsMake(0, 0, safe.bottom, 0));
  EXPECT_EQ(crop->cropView()->cropRegionInsets(), UIEdgeInsetsMake(safe.top, 0, 0, 0));
  EXPECT_GE(crop->cropView()->cropBoxFrame().origin.y, safe.top + 14);
  // A toolbar on top sits below the status bar, and the canvas below both.
  crop->toolbarPosition = CRCropViewControllerToolbarPositionTop;
  EXPECT_EQ(crop->frameForToolbarWithVerticalLayout(true).origin.y, safe.top);
  EXPECT_EQ(crop->frameForCropViewWithVerticalLayout(true).origin.y, safe.top + 44);
  crop->toolbarPosition = CRCropViewControllerToolbarPositionBottom;
  advance(1);  // the screen's fade-in
  SaveSnapshot(RenderView(*window, 3), "crop-screen-notched");
}

TEST_F(CRCropViewControllerTest, ZeroSizedOrMissingImagesAreRefused) {
  EXPECT_DEATH(CRCropViewController::controllerWithImage(nullptr),
               "Invalid parameter not satisfying: image");
  EXPECT_DEATH(CRCropViewController::controllerWithImage(std::make_shared<UIImage>()),
               "image.size.width > 0 && image.size.height > 0");
}

TEST_F(CRCropViewControllerTest, DoneWithNothingListeningDismisses) {
  auto crop = present();
  crop->doneButtonTapped();
  advance(1);
  EXPECT_EQ(root->presentedViewController(), nullptr);
}

TEST_F(CRCropViewControllerTest, DoneReportsGeometryAtOnceAndTheImageLaterOnce) {
  auto crop = present();
  auto receiver = std::make_shared<Receiver>(
      std::vector<Op>{Op::DidCropImageToRect, Op::DidCropToImage}, &log);
  crop->setDelegate(receiver);
  crop->onDidCropImageToRect = [&](CGRect, int64_t) { log.push_back("block.rect"); };
  UIImagePtr delivered;
  crop->onDidCropToRect = [&](const UIImagePtr& image, CGRect, int64_t) {
    delivered = image;
    log.push_back("block.image");
  };
  crop->doneButtonTapped();
  crop->doneButtonTapped();  // a double tap
  EXPECT_EQ(log, (Log{"delegate.rect", "block.rect"}));
  EXPECT_FALSE(crop->toolbar()->doneTextButton()->isEnabled());
  EXPECT_FALSE(crop->toolbar()->doneIconButton()->isEnabled());
  advance(0.02);
  EXPECT_EQ(log.size(), 2u);
  advance(0.02);
  EXPECT_EQ(log, (Log{"delegate.rect", "block.rect", "delegate.image", "block.image"}));
  // The whole unturned image is handed out as it is, and the screen stays.
  EXPECT_EQ(delivered, picture);
  EXPECT_EQ(root->presentedViewController(), crop);
  advance(1);
}

TEST_F(CRCropViewControllerTest, TurnedAndCircularResultsAreRendered) {
  auto crop = present(CRCropViewCroppingStyleCircular);
  UIImagePtr circle, rect;
  crop->onDidCropToRect = [&](const UIImagePtr& image, CGRect, int64_t) { rect = image; };
  crop->doneButtonTapped();
  advance(0.1);
  // Circular style with only the rectangular block: an unclipped rectangle.
  ASSERT_TRUE(rect);
  EXPECT_FALSE(hasAlpha(*rect));
  EXPECT_EQ(rect->size().width, rect->size().height);

  // A turned rectangular crop is rendered: the pixels of the reported crop.
  root->dismissViewControllerAnimated(false);
  advance(1);
  auto turned = present();
  CGRect reported;
  turned->onDidCropToRect = [&](const UIImagePtr& image, CGRect r, int64_t angle) {
    rect = image;
    reported = r;
    EXPECT_EQ(angle, -90);
  };
  turned->rotateCropViewCounterclockwise();
  advance(2);
  turned->doneButtonTapped();
  advance(0.1);
  ASSERT_TRUE(rect);
  EXPECT_EQ(reported, CGRectMake(0, 0, 300, 400));
  EXPECT_EQ(rect->size(), reported.size);
  EXPECT_EQ(RGBAPixels(rect->CGImage()),
            RGBAPixels(CRCroppedImageByDrawing(*picture, reported, -90, false)->CGImage()));
  root->dismissViewControllerAnimated(false);
  advance(1);
  // A half turn of the whole picture frames all of it, yet is no copy of it.
  auto half = present();
  half->onDidCropToRect = [&](const UIImagePtr& image, CGRect r, int64_t angle) {
    rect = image;
    reported = r;
    EXPECT_EQ(angle, 180);
  };
  half->rotateCropViewClockwise();
  advance(2);
  half->rotateCropViewClockwise();
  advance(2);
  rect = nullptr;
  half->doneButtonTapped();
  advance(0.1);
  ASSERT_TRUE(rect);
  EXPECT_EQ(reported, CGRectMake(0, 0, 400, 300));
  EXPECT_NE(rect, picture);
  EXPECT_EQ(RGBAPixels(rect->CGImage()),
            RGBAPixels(CRCroppedImageByDrawing(*picture, reported, 180, false)->CGImage()));
  root->dismissViewControllerAnimated(false);
  advance(1);
  auto circular = CRCropViewController::controllerWithCroppingStyle(CRCropViewCroppingStyleCircular,
                                                                    picture);
  root->presentViewController(circular, false);
  circular->view()->layoutIfNeeded();
  circular->viewDidLayoutSubviews();
  circular->onDidCropToCircleImage = [&](const UIImagePtr& image, CGRect, int64_t angle) {
    circle = image;
    EXPECT_EQ(angle, 90);
  };
  circular->rotateCropViewClockwise();
  advance(2);
  circular->doneButtonTapped();
  advance(0.1);
  ASSERT_TRUE(circle);
  EXPECT_TRUE(hasAlpha(*circle));
  SaveSnapshot(circle, "crop-result-circular");
  root->dismissViewControllerAnimated(false);
  advance(1);
}

TEST_F(CRCropViewControllerTest, CancelTellsDelegateThenBlockAndDismissesOnlyWhenNobodyListens) {
  auto crop = present();
  auto receiver = std::make_shared<Receiver>(std::vector<Op>{Op::DidFinishCancelled}, &log);
  crop->setDelegate(receiver);
  crop->onDidFinishCancelled = [&](bool cancelled) {
    log.push_back(cancelled ? "block.cancelled" : "block.shared");
  };
  crop->cancelButtonTapped();
  EXPECT_EQ(log, (Log{"delegate.cancelled", "block.cancelled"}));
  advance(1);
  EXPECT_EQ(root->presentedViewController(), crop);
  // A delegate alone that hears of it leaves the screen to the delegate too.
  crop->onDidFinishCancelled = nullptr;
  log.clear();
  crop->cancelButtonTapped();
  EXPECT_EQ(log, (Log{"delegate.cancelled"}));
  advance(1);
  EXPECT_EQ(root->presentedViewController(), crop);

  crop->onDidFinishCancelled = nullptr;
  crop->setDelegate(nullptr);
  crop->showCancelConfirmationDialog = true;
  crop->cancelButtonTapped();
  auto sheet = std::dynamic_pointer_cast<UIAlertController>(crop->presentedViewController());
  ASSERT_TRUE(sheet);
  ASSERT_EQ(sheet->actions().size(), 2u);
  EXPECT_EQ(sheet->actions()[0]->title(), "Delete Changes");
  EXPECT_EQ(sheet->actions()[1]->style(), UIAlertActionStyle::Cancel);
  advance(1);
  sheet->tapAction(sheet->actions()[0]);
  advance(1);
  EXPECT_EQ(root->presentedViewController(), nullptr);
}

TEST_F(CRCropViewControllerTest, PresetsTurnForPortraitBoxesUnlessLocked) {
  auto crop = present();
  // Every preset's ratio, as it is for a landscape box and turned for a
  // portrait one.
  const CGSize ratios[] = {{0, 0}, {1, 1}, {3, 2}, {5, 3}, {4, 3}, {5, 4}, {7, 5}, {16, 9}};
  for (int64_t preset = 0; preset < 8; ++preset) {
    crop->cropView()->setAspectRatio(CGSizeMake(4, 3));
    crop->setAspectRatioPreset(CRCropViewControllerAspectRatioPreset(preset), false);
    EXPECT_EQ(crop->cropView()->aspectRatio(), ratios[preset]) << preset;
    crop->cropView()->setAspectRatio(CGSizeMake(3, 4));
    crop->setAspectRatioPreset(CRCropViewControllerAspectRatioPreset(preset), false);
    EXPECT_EQ(crop->cropView()->aspectRatio(),
              CGSizeMake(ratios[preset].height, ratios[preset].width))
        << preset;
  }
  crop->cropView()->setAspectRatio(CGSizeMake(3, 4));
  ASSERT_TRUE(crop->cropView()->cropBoxAspectRatioIsPortrait());
  crop->setAspectRatioPreset(CRCropViewControllerAspectRatioPreset16x9, false);
  EXPECT_EQ(crop->cropView()->aspectRatio(), CGSizeMake(9, 16));
  crop->setAspectRatioLockEnabled(true);
  // Locked while a reset may still clear the ratio: the picker stays.
  EXPECT_FALSE(crop->aspectRatioPickerButtonHidden());
  crop->setAspectRatioPreset(CRCropViewControllerAspectRatioPreset16x9, false);
  EXPECT_EQ(crop->cropView()->aspectRatio(), CGSizeMake(16, 9));
  // Swapping allowed under the lock: the portrait box keeps a portrait pair.
  crop->setAspectRatioLockDimensionSwapEnabled(true);
  EXPECT_TRUE(crop->cropView()->aspectRatioLockDimensionSwapEnabled());
  crop->cropView()->setAspectRatio(CGSizeMake(3, 4));
  crop->setAspectRatioPreset(CRCropViewControllerAspectRatioPreset16x9, false);
  EXPECT_EQ(crop->cropView()->aspectRatio(), CGSizeMake(9, 16));
  crop->setAspectRatioLockDimensionSwapEnabled(false);
  crop->setAspectRatioPreset(CRCropViewControllerAspectRatioPresetOriginal, false);
  EXPECT_EQ(crop->cropView()->aspectRatio(), CGSizeZero);
  crop->setCustomAspectRatio(CGSizeMake(2, 1));
  EXPECT_EQ(crop->aspectRatioPreset(), CRCropViewControllerAspectRatioPresetCustom);
  EXPECT_EQ(crop->cropView()->aspectRatio(), CGSizeMake(2, 1));

  // Locked while the reset keeps the ratio: the picker hides for good.
  crop->setAspectRatioLockEnabled(false);
  crop->setResetAspectRatioEnabled(false);
  crop->setAspectRatioLockEnabled(true);
  EXPECT_TRUE(crop->aspectRatioPickerButtonHidden());
  crop->setAspectRatioLockEnabled(false);
  EXPECT_TRUE(crop->aspectRatioPickerButtonHidden());
  advance(2);
}

TEST_F(CRCropViewControllerTest, SheetListsAllowedPresetsAndLocksTheChoice) {
  auto crop = present();
  crop->allowedAspectRatios = std::vector<int64_t>{7, 1};
  crop->customAspectRatioName = "Wide";  // without a size: no entry
  crop->showAspectRatioDialog();
  auto sheet = std::dynamic_pointer_cast<UIAlertController>(crop->presentedViewController());
  ASSERT_TRUE(sheet);
  std::vector<std::string> titles;
  for (auto& a : sheet->actions()) titles.push_back(a->title());
  EXPECT_EQ(titles, (std::vector<std::string>{"Cancel", "16:9", "Square"}));
  advance(1);
  sheet->tapAction(sheet->actions()[1]);
  advance(2);
  EXPECT_TRUE(crop->aspectRatioLockEnabled());
  EXPECT_TRUE(crop->toolbar()->clampButtonGlowing());
  CGSize box = crop->cropView()->cropBoxFrame().size;
  EXPECT_NEAR(box.width / box.height, 16.0 / 9, 0.01);
  SaveSnapshot(RenderView(*window, 2), "crop-screen-16x9");
  // A tap on the glowing button unlocks and opens nothing.
  crop->showAspectRatioDialog();
  EXPECT_EQ(crop->presentedViewController(), nullptr);
  EXPECT_FALSE(crop->aspectRatioLockEnabled());
  EXPECT_FALSE(crop->toolbar()->clampButtonGlowing());
}

TEST_F(CRCropViewControllerTest, ShareSheetRendersOnlyWhenAnActivityAsks) {
  auto crop = present(CRCropViewCroppingStyleCircular);
  crop->showActivitySheetOnDone = true;
  crop->activityItems = {Value("caption")};
  crop->onDidFinishCancelled = [&](bool cancelled) {
    log.push_back(cancelled ? "block.cancelled" : "block.shared");
  };
  crop->doneButtonTapped();
  advance(1);
  auto sheet = std::dynamic_pointer_cast<UIActivityViewController>(crop->presentedViewController());
  ASSERT_TRUE(sheet);
  ASSERT_EQ(sheet->activityItems().size(), 3u);
  auto provider = sheet->activityItems()[0].objectAs<CRActivityCroppedImageProvider>();
  auto attributes = sheet->activityItems()[1].objectAs<CRCroppedImageAttributes>();
  ASSERT_TRUE(provider && attributes);
  EXPECT_EQ(attributes->originalImageSize, CGSizeMake(400, 300));
  EXPECT_EQ(provider->croppedImage(), nullptr);
  auto items = sheet->itemsForActivityType(std::string(UIActivityTypeMail));
  ASSERT_EQ(items.size(), 3u);
  auto shared = items[0].objectAs<UIImage>();
  ASSERT_TRUE(shared);
  // Circular crops always share the clipped image, never the source.
  EXPECT_NE(shared, picture);
  EXPECT_TRUE(hasAlpha(*shared));
  EXPECT_TRUE(sheet->completeWithActivityType(std::string(UIActivityTypeMail), true));
  EXPECT_EQ(log, (Log{"block.shared"}));
  advance(1);
  // The block heard of it, so leaving the screen is left to its owner.
  EXPECT_EQ(root->presentedViewController(), crop);
}

TEST_F(CRCropViewControllerTest, ProviderSharesTheSourceForAnUnturnedWholeRectangle) {
  auto provider = std::make_shared<CRActivityCroppedImageProvider>(
      picture, CGRectMake(0, 0, 400, 300), 0, false);
  auto sheet = std::make_shared<UIActivityViewController>(
      ValueList{Value(std::static_pointer_cast<NSObject>(provider))},
      std::vector<std::shared_ptr<UIActivity>>{});
  auto placeholder = sheet->placeholderItems();
  ASSERT_EQ(placeholder.size(), 1u);
  EXPECT_NE(placeholder[0].objectAs<UIImage>(), nullptr);
  EXPECT_EQ(provider->croppedImage(), nullptr);
  auto items = sheet->itemsForActivityType(std::nullopt);
  EXPECT_EQ(items[0].objectAs<UIImage>(), picture);
  EXPECT_EQ(provider->croppedImage(), picture);

  // A half turn of all of it is no longer the source.
  auto turned = std::make_shared<CRActivityCroppedImageProvider>(
      picture, CGRectMake(0, 0, 400, 300), 180, false);
  auto turnedSheet = std::make_shared<UIActivityViewController>(
      ValueList{Value(std::static_pointer_cast<NSObject>(turned))},
      std::vector<std::shared_ptr<UIActivity>>{});
  auto turnedItems = turnedSheet->itemsForActivityType(std::nullopt);
  ASSERT_TRUE(turnedItems[0].objectAs<UIImage>());
  EXPECT_NE(turnedItems[0].objectAs<UIImage>(), picture);
  EXPECT_EQ(RGBAPixels(turnedItems[0].objectAs<UIImage>()->CGImage()),
            RGBAPixels(CRCroppedImageByDrawing(*picture, CGRectMake(0, 0, 400, 300), 180, false)->CGImage()));

  // An untouched circular crop of a square picture covers all of it, yet
  // must still be cut to the circle.
  auto square = CropTestPicture(300, 300);
  auto round = std::make_shared<CRActivityCroppedImageProvider>(
      square, CGRectMake(0, 0, 300, 300), 0, true);
  auto roundSheet = std::make_shared<UIActivityViewController>(
      ValueList{Value(std::static_pointer_cast<NSObject>(round))},
      std::vector<std::shared_ptr<UIActivity>>{});
  auto cut = roundSheet->itemsForActivityType(std::nullopt)[0].objectAs<UIImage>();
  ASSERT_TRUE(cut);
  EXPECT_NE(cut, square);
  EXPECT_TRUE(hasAlpha(*cut));
}

TEST_F(CRCropViewControllerTest, ZoomTransitionFliesThePictureIntoTheBox) {
  auto crop = CRCropViewController::controllerWithImage(picture);
  auto source = std::make_shared<UIImageView>(picture);
  source->setFrame(CGRectMake(20, 40, 80, 60));
  root->view()->addSubview(source);
  bool setUp = false, presented = false;
  crop->presentAnimatedFromParentViewController(
      root, source, CGRectZero, [&] { setUp = true; }, [&] { presented = true; });
  EXPECT_TRUE(setUp);
  auto& transition = *crop->transitionController();
  EXPECT_FALSE(transition.isDismissing);
  EXPECT_EQ(transition.fromFrame, CGRectMake(20, 40, 80, 60));
  // The flying picture sets off from the source view.
  std::shared_ptr<UIImageView> flying;
  for (const auto& v : crop->view()->superview()->subviews()) {
    auto imageView = std::dynamic_pointer_cast<UIImageView>(v);
    if (imageView && imageView != source && imageView->image() == picture) flying = imageView;
  }
  ASSERT_TRUE(flying);
  const CGRect setOff = flying->layer()->presentationLayer()->frame();
  EXPECT_NEAR(setOff.origin.x, 20, 1);
  EXPECT_NEAR(setOff.origin.y, 40, 1);
  EXPECT_NEAR(setOff.size.width, 80, 1);
  EXPECT_TRUE(crop->cropView()->croppingViewsHidden());
  EXPECT_TRUE(crop->cropView()->simpleRenderMode());
  EXPECT_EQ(crop->view()->alpha(), 1);  // the model value; the layer fades in
  advance(0.3);
  EXPECT_FALSE(presented);
  advance(0.2);
  EXPECT_TRUE(presented);
  EXPECT_EQ(transition.image, nullptr);  // reset once the fade ended
  EXPECT_FALSE(transition.prepareForTransitionHandler);
  advance(1);
  EXPECT_FALSE(crop->cropView()->croppingViewsHidden());
  EXPECT_FALSE(crop->cropView()->simpleRenderMode());

  bool dismissed = false;
  setUp = false;
  crop->dismissAnimatedFromParentViewController(root, nullptr, CGRectZero, nullptr,
                                                [&] { dismissed = true; });
  EXPECT_FALSE(setUp) << "the presentation's set-up belongs to it alone";
  EXPECT_TRUE(transition.isDismissing);
  EXPECT_TRUE(crop->cropView()->simpleRenderMode());
  advance(0.5);
  EXPECT_TRUE(dismissed);
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_EQ(root->view()->window(), window);
}

TEST_F(CRCropViewControllerTest, AZoomTransitionCancelledOnTheWayReportsThatItDidNotComplete) {
  // An interaction may cancel the transition while the picture flies: the
  // animator must hand that on, or the platform keeps a screen the user
  // backed out of.
  for (bool cancel : {false, true}) {
    auto crop = CRCropViewController::controllerWithImage(picture);
    auto container = std::make_shared<UIView>();
    container->setFrame(window->bounds());
    window->addSubview(container);
    auto animator = std::make_shared<CRCropViewControllerTransitioning>();
    animator->image = picture;
    bool finished = false, completed = !cancel;
    auto context = std::make_shared<UIViewControllerContextTransitioning>(
        container, root, crop, root->view(), crop->view(), true, [&](bool didComplete) {
          finished = true;
          completed = didComplete;
        });
    animator->animateTransition(*context);
    if (cancel) context->cancelInteractiveTransition();
    advance(1);
    EXPECT_TRUE(finished) << "cancelled: " << cancel;
    EXPECT_EQ(completed, !cancel) << "cancelled: " << cancel;
    container->removeFromSuperview();
  }
}

TEST_F(CRCropViewControllerTest, TitleLabelComesAndGoesWithTheTitle) {
  auto crop = present();
  crop->setTitle("Crop your photo");
  ASSERT_TRUE(crop->titleLabel());
  EXPECT_EQ(crop->titleLabel()->superview(), crop->view());
  crop->viewDidLayoutSubviews();
  CGRect label = crop->titleLabel()->frame();
  EXPECT_EQ(label.origin.y, crop->view()->safeAreaInsets().top + 14);
  EXPECT_NEAR(CGRectGetMidX(label), 187.5, 1);
  EXPECT_EQ(crop->cropView()->cropRegionInsets().top,
            crop->statusBarHeight() + 14 + label.size.height);
  crop->setTitle("");
  EXPECT_EQ(crop->titleLabel(), nullptr);
  EXPECT_EQ(crop->cropView()->cropRegionInsets(), UIEdgeInsetsZero);
  advance(1);
}

TEST_F(CRCropViewControllerTest, InsideANavigationControllerThePlatformTransitionRuns) {
  auto crop = CRCropViewController::controllerWithImage(picture);
  auto nav = std::make_shared<UINavigationController>(crop);
  nav->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  root->presentViewController(nav, true);
  advance(1);
  EXPECT_EQ(crop->modalTransitionStyle(), UIModalTransitionStyle::CoverVertical);
  EXPECT_EQ(crop->animationControllerForPresentedController(crop, root, root), nullptr);
  EXPECT_EQ(crop->animationControllerForDismissedController(crop), nullptr);
  EXPECT_TRUE(nav->isNavigationBarHidden());
  EXPECT_EQ(crop->prefersStatusBarHidden(), nav->prefersStatusBarHidden());
  EXPECT_EQ(crop->preferredStatusBarStyle(), UIStatusBarStyle::LightContent);
  crop->cancelButtonTapped();  // a single controller: dismissed by its presenter
  advance(1);
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_FALSE(nav->isNavigationBarHidden());  // the saved state is back
}

TEST_F(CRCropViewControllerTest, PlainPresentationOnlyFadesAndTurningTheDeviceRelaysTheCanvas) {
  auto crop = CRCropViewController::controllerWithImage(picture);
  root->presentViewController(crop, true);
  // No start rectangle: no flying picture, the canvas stays simple until it appears.
  EXPECT_TRUE(crop->cropView()->simpleRenderMode());
  EXPECT_FALSE(crop->cropView()->croppingViewsHidden());
  size_t views = crop->view()->superview()->subviews().size();
  EXPECT_EQ(views, 1u);
  advance(0.5);
  EXPECT_FALSE(crop->cropView()->simpleRenderMode());
  EXPECT_TRUE(crop->isVisible());

  UIViewController::transitionWindowToSize(window, CGSizeMake(667, 375), 0.3);
  advance(1);
  EXPECT_FALSE(crop->verticalLayout());
  EXPECT_EQ(crop->toolbar()->frame(), CGRectMake(0, 0, 44, 375));
  EXPECT_EQ(crop->cropView()->frame(), CGRectMake(44, 0, 623, 375));
  EXPECT_FALSE(crop->cropView()->internalLayoutDisabled());
  CGRect box = crop->cropView()->cropBoxFrame();
  CGRect region = crop->cropView()->contentBounds();
  EXPECT_TRUE(CGRectContainsRect(region, box));
  EXPECT_EQ(crop->imageCropFrame(), CGRectMake(0, 0, 400, 300));
  UIViewController::transitionWindowToSize(window, CGSizeMake(375, 667), 0.3);
  advance(1);
  EXPECT_TRUE(crop->verticalLayout());
}

TEST_F(CRCropViewControllerTest, DismissingToAViewFliesTheCropThere) {
  auto crop = present();
  auto target = UIView::viewWithFrame(CGRectMake(30, 500, 90, 60));
  root->view()->addSubview(target);
  auto cropped = croppedImageWithFrame(*picture, crop->imageCropFrame(), 0, false);
  bool setUp = false;
  crop->dismissAnimatedFromParentViewController(root, cropped, target, CGRectZero,
                                                [&] { setUp = true; }, nullptr);
  EXPECT_TRUE(setUp);
  EXPECT_TRUE(crop->cropView()->croppingViewsHidden());
  auto container = crop->view()->superview();
  ASSERT_TRUE(container);
  std::shared_ptr<UIImageView> flying;
  for (auto& v : container->subviews()) {
    if (auto iv = std::dynamic_pointer_cast<UIImageView>(v)) flying = iv;
  }
  ASSERT_TRUE(flying);
  EXPECT_EQ(flying->image(), cropped);
  EXPECT_EQ(flying->frame(), CGRectMake(30, 500, 90, 60));  // the model value at the end
  advance(0.5);
  EXPECT_EQ(root->presentedViewController(), nullptr);
  EXPECT_EQ(root->view()->window(), window);  // the screen below is back
  EXPECT_NE(flying->superview(), nullptr);  // fading out after it landed
  advance(0.3);
  EXPECT_EQ(flying->superview(), nullptr);
}

TEST_F(CRCropViewControllerTest, TextsComeFromTheResourceBundle) {
  TempFolder main;
  main.writeFile("CRCropViewController_CRCropViewController.bundle/CRCropViewControllerLocalizable.strings",
                 std::string("\"Done\" = \"Crop\";\n\"Square\" = \"1:1\";\n"));
  ScriptedLocations::installed().setMainBundlePath(main.path());
  auto crop = present();
  EXPECT_EQ(crop->toolbar()->doneTextButton()->titleForState(UIControlStateNormal), "Crop");
  EXPECT_EQ(crop->toolbar()->cancelTextButton()->titleForState(UIControlStateNormal), "Cancel");
  crop->showAspectRatioDialog();
  auto sheet = std::dynamic_pointer_cast<UIAlertController>(crop->presentedViewController());
  ASSERT_TRUE(sheet);
  EXPECT_EQ(sheet->actions()[2]->title(), "1:1");
  advance(1);
  ScriptedLocations::installed().setMainBundlePath("");
}

TEST_F(CRCropViewControllerTest, AnUnopenableResourceBundleStops) {
  TempFolder main;
  main.writeFile("CRCropViewController_CRCropViewController.bundle", std::string("not a folder"));
  ScriptedLocations::installed().setMainBundlePath(main.path());
  EXPECT_DEATH(CRCropToolbar::toolbarWithFrame(CGRectMake(0, 0, 320, 44)),
               "unable to find bundle named CRCropViewController_CRCropViewController");
  ScriptedLocations::installed().setMainBundlePath("");
}

}  // namespace

}  // namespace cr_crop_view_controller_test
