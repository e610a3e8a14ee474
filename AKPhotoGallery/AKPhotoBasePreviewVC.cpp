#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"

#include <algorithm>

#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoPDFPreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoQRCodeResultVC.h"
#include "AKPhotoGallery/internal/AKPhotoWebVC.h"
#include "AKPhotoGallery/internal/AKPhotoPlayerPreviewVC.h"
#include "platform/avfoundation/AVUtilities.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/photos/PHAsset.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UILongPressGestureRecognizer.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIPresentationController.h"
#include "platform/uikit/UITapGestureRecognizer.h"

namespace {

constexpr uint64_t kFlexibleSize = UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight;

}  // namespace

AKPhotoBasePreviewVC::AKPhotoBasePreviewVC() : thumbnailView_(std::make_shared<UIImageView>()) {}

AKPhotoPreviewClass AKPhotoBasePreviewVC::photoPreviewClassWith(
    const std::shared_ptr<AKPhotoGalleryItem>& item) {
  if (item->image() || item->imageURL()) return kAKPhotoImagePreviewClass;
  if (const auto& asset = item->asset()) {
    return asset->mediaType() == PHAssetMediaTypeVideo ? kAKPhotoPlayerPreviewClass
                                                       : kAKPhotoImagePreviewClass;
  }
  if (const auto& identifier = item->assetLocalIdentifier()) {
    auto found = PHAsset::fetchAssetsWithLocalIdentifiers({*identifier}, nullptr);
    item->setAsset(found ? found->firstObject() : nullptr);
    item->setAssetLocalIdentifier(std::nullopt);
    return photoPreviewClassWith(item);
  }
  if (item->videoURL()) return kAKPhotoPlayerPreviewClass;
  if (item->pdfURL()) return kAKPhotoPDFPreviewClass;
  return kAKPhotoBasePreviewClass;
}

std::shared_ptr<AKPhotoBasePreviewVC> AKPhotoBasePreviewVC::photoPreviewVCWith(
    const std::shared_ptr<AKPhotoGalleryItem>& item) {
  auto name = photoPreviewClassWith(item);
  auto controller =
      std::dynamic_pointer_cast<AKPhotoBasePreviewVC>(NSClassRegistry::createInstance(name));
  if (!controller) FatalStop("No page class registered under " + name);
  controller->setItem(item);
  return controller;
}

void AKPhotoBasePreviewVC::loadView() {
  UIViewController::loadView();
  auto root = view();
  root->setAutoresizingMask(UIViewAutoresizingNone);
  scrollView_ = std::make_shared<UIScrollView>(root->bounds());
  root->addSubview(scrollView_);
  scrollView_->setAlwaysBounceVertical(false);
  scrollView_->setAlwaysBounceHorizontal(true);
  scrollView_->setShowsVerticalScrollIndicator(false);
  scrollView_->setShowsHorizontalScrollIndicator(false);
  scrollView_->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
  if (enableZoom()) {
    scrollView_->setMinimumZoomScale(1);
    scrollView_->setMaximumZoomScale(4);
  } else {
    scrollView_->setBounces(false);
  }
  scrollView_->setAutoresizingMask(kFlexibleSize);
  scrollView_->setBackgroundColor(UIColor::clearColor());
  scrollView_->setDelegate(std::static_pointer_cast<AKPhotoBasePreviewVC>(shared_from_this()));
}

void AKPhotoBasePreviewVC::viewDidLoad() {
  UIViewController::viewDidLoad();
  auto root = view();
  root->setBackgroundColor(UIColor::clearColor());
  contentView_ = createContentView();
  contentView_->setFrame(root->bounds());
  contentView_->setUserInteractionEnabled(true);
  contentView_->setContentMode(UIViewContentModeScaleAspectFit);
  contentView_->setAutoresizingMask(kFlexibleSize);
  contentView_->setBackgroundColor(UIColor::clearColor());
  scrollView_->addSubview(contentView_);
  if (enableIndicatorView()) indicatorView_ = AKPhotoProgressIndicator::withHostView(root);
  thumbnailView_->setFrame(contentView_->bounds());
  thumbnailView_->setAutoresizingMask(kFlexibleSize);
  contentView_->addSubview(thumbnailView_);
  setupGestures();
}

void AKPhotoBasePreviewVC::viewDidLayoutSubviews() {
  UIViewController::viewDidLayoutSubviews();
  // The view is made at zero size and sized by the pager later: the ring,
  // which draws itself in the middle of its bounds, follows it here.
  if (auto ring = std::dynamic_pointer_cast<UIView>(indicatorView_))
    ring->setFrame(view()->bounds());
}

void AKPhotoBasePreviewVC::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  if (!item_) return;
  photoPreviewWillAppear();
  startFetchContent();
}

void AKPhotoBasePreviewVC::resetScale() {
  scrollView_->setZoomScale(1);
  scrollView_->setContentSize({0, 0});
}

void AKPhotoBasePreviewVC::prepareForReuse() {
  if (enableZoom() && scrollView_) resetScale();
  if (indicatorView_) indicatorView_->stopIndicating();
  thumbnailView_->setHidden(true);
}

void AKPhotoBasePreviewVC::setupGestures() {
  auto self = std::static_pointer_cast<AKPhotoBasePreviewVC>(shared_from_this());
  auto singleTap = std::make_shared<UITapGestureRecognizer>();
  singleTap->addTarget(self, [this](UIGestureRecognizer& g) { singleTapAction(g); });
  auto doubleTap = std::make_shared<UITapGestureRecognizer>();
  doubleTap->setNumberOfTapsRequired(2);
  doubleTap->addTarget(self, [this](UIGestureRecognizer& g) { doubleTapAction(g); });
  singleTap->requireGestureRecognizerToFail(doubleTap);
  auto longPress = std::make_shared<UILongPressGestureRecognizer>();
  longPress->addTarget(self, [this](UIGestureRecognizer& g) { longPressAction(g); });
  view()->addGestureRecognizer(singleTap);
  view()->addGestureRecognizer(doubleTap);
  view()->addGestureRecognizer(longPress);
}

void AKPhotoBasePreviewVC::startFetchContent() {
  if (!item_) return;
  if (const auto& thumbnail = item_->thumbnail()) {
    thumbnailView_->setHidden(false);
    thumbnailView_->setImage(thumbnail);
    centerContentView(thumbnail->size());
  } else if (indicatorView_) {
    indicatorView_->startIndicating();
    indicatorView_->setProgress(0);
  }
  auto weak = WeakFromThis(this);
  auto self = std::static_pointer_cast<AKPhotoBasePreviewVC>(shared_from_this());
  fetchContent(
      [weak](float progress) {
        auto page = weak.lock();
        if (progress > 0 && page && page->indicatorView_) page->indicatorView_->setProgress(progress);
      },
      [self](AKPhotoPreviewContent content, NSErrorPtr) {
        if (content) {
          self->updateContentView(content);
          self->centerContentView(self->contentSize());
          self->hidesError();
          self->thumbnailView_->setHidden(true);
        } else {
          self->showError();
        }
        if (self->indicatorView_) self->indicatorView_->stopIndicating();
      });
}

void AKPhotoBasePreviewVC::centerContentView(CGSize size) {
  if (size.width == 0 && size.height == 0) return;
  const CGSize contentSize = scrollView_->contentSize();
  CGRect reference = contentSize.width == 0 && contentSize.height == 0
                         ? scrollView_->bounds()
                         : CGRect{{0, 0}, contentSize};
  CGSize fitted = AVMakeRectWithAspectRatioInsideRect(size, reference).size;
  CGSize bounds = scrollView_->bounds().size;
  double x = fitted.width < bounds.width ? (bounds.width - fitted.width) * 0.5 : 0;
  double y = fitted.height < bounds.height ? (bounds.height - fitted.height) * 0.5 : 0;
  contentView_->setFrame({{x, y}, fitted});
}

void AKPhotoBasePreviewVC::singleTapAction(UIGestureRecognizer& gesture) {
  if (singleTapBlock_ && gesture.state() == UIGestureRecognizerState::Ended) singleTapBlock_();
}

void AKPhotoBasePreviewVC::doubleTapAction(UIGestureRecognizer& gesture) {
  if (gesture.state() != UIGestureRecognizerState::Ended) return;
  const double minimum = scrollView_->minimumZoomScale();
  const double maximum = scrollView_->maximumZoomScale();
  if (!(minimum < maximum)) return;
  if (scrollView_->zoomScale() > minimum) {
    scrollView_->setZoomScale(minimum, true);
    return;
  }
  CGPoint p = gesture.locationInView(gesture.view().get());
  double x = 0, y = 0;
  if (maximum != 1.0) {
    x = (1 - 1 / maximum) * p.x;
    y = (1 - 1 / maximum) * p.y;
  }
  CGSize frame = scrollView_->frame().size;
  CGRect rect{{x, y}, {frame.width / maximum, frame.height / maximum}};
  // The rectangle is the screen shrunk by the maximum scale, so zooming to it
  // reaches that scale with the tapped point where it was; the scale asked
  // for next is the one that zoom is heading to, and keeps it.
  scrollView_->zoomToRect(scrollView_->convertRectToView(rect, contentView_.get()), true);
  scrollView_->setZoomScale(maximum, true);
}

void AKPhotoBasePreviewVC::longPressAction(UIGestureRecognizer& gesture) {
  if (gesture.state() != UIGestureRecognizerState::Began) return;
  if (!(scrollView_->minimumZoomScale() < scrollView_->maximumZoomScale())) return;
  auto actions = defaultLongPressActions();
  actions.insert(actions.end(), customLongPressActions_.begin(), customLongPressActions_.end());
  if (actions.empty()) return;
  auto sheet = UIAlertController::alertControllerWithTitle(std::nullopt, std::nullopt,
                                                           UIAlertControllerStyle::ActionSheet);
  for (const auto& action : actions) sheet->addAction(action);
  sheet->addAction(UIAlertAction::actionWithTitle(
      AKPhotoGalleryResource::localizedStringWithKey("preview.image.longPress.cancel"),
      UIAlertActionStyle::Cancel, nullptr));
  if (auto popover = sheet->popoverPresentationController()) {
    CGRect bounds = view()->bounds();
    popover->setSourceView(view());
    popover->setSourceRect({{bounds.size.width / 2, bounds.size.height / 2}, {0, 0}});
    popover->setPermittedArrowDirections(0);
  }
  presentViewController(sheet, true, nullptr);
}

std::vector<std::shared_ptr<UIPreviewActionItem>> AKPhotoBasePreviewVC::previewActionItems() {
  // Custom entries that are no preview action items are skipped.
  std::vector<std::shared_ptr<UIPreviewActionItem>> items;
  for (const auto& custom : customPreviewActions_)
    if (auto item = std::dynamic_pointer_cast<UIPreviewActionItem>(custom)) items.push_back(item);
  auto builtIn = defaultPreviewActions();
  items.insert(items.end(), builtIn.begin(), builtIn.end());
  return items;
}

void AKPhotoBasePreviewVC::showTips(const std::string& message) { AKShowToast(view(), message); }

// A page without content shows nothing at all.
std::shared_ptr<UIView> AKPhotoBasePreviewVC::createContentView() {
  return std::make_shared<UIView>();
}
void AKPhotoBasePreviewVC::updateContentView(const AKPhotoPreviewContent&) {}
CGSize AKPhotoBasePreviewVC::contentSize() { return {0, 0}; }
void AKPhotoBasePreviewVC::fetchContent(ProgressBlock, CompleteBlock complete) {
  complete(nullptr, nullptr);
}

void AKShowToast(const std::shared_ptr<UIView>& view, const std::string& message) {
  auto toolbar = std::make_shared<UIToolbar>(CGRect{});
  toolbar->layer()->setCornerRadius(5);
  toolbar->setClipsToBounds(true);
  auto label = std::make_shared<UILabel>(CGRect{});
  label->setNumberOfLines(0);
  label->setBackgroundColor(UIColor::clearColor());
  label->setTextColor(UIColor::colorWithWhite(0.2, 1));
  label->setTextAlignment(NSTextAlignmentCenter);
  if (auto font = UIFont::fontWithName("Montserrat-Light", 12)) label->setFont(font);
  label->setText(message);
  const CGSize bounds = view->bounds().size;
  CGSize fit = label->sizeThatFits({bounds.width - 40 - 20, 200});
  toolbar->setFrame({{(bounds.width - fit.width) * 0.5, (bounds.height - fit.height) * 0.5},
                     {fit.width + 10, fit.height + 10}});
  label->setFrame(toolbar->bounds());
  toolbar->addSubview(label);
  view->addSubview(toolbar);
  UIView::animateWithDuration(
      1.0, 2.0, UIViewAnimationOptionCurveEaseOut, [toolbar] { toolbar->setAlpha(0); },
      [toolbar](bool) { toolbar->removeFromSuperview(); });
}

void registerAKPhotoGalleryClasses() {
  NSClassRegistry::registerClass(kAKPhotoBasePreviewClass,
                                 [] { return std::make_shared<AKPhotoBasePreviewVC>(); });
  NSClassRegistry::registerClass(kAKPhotoImagePreviewClass,
                                 [] { return std::make_shared<AKPhotoImagePreviewVC>(); });
  NSClassRegistry::registerClass(kAKPhotoPlayerPreviewClass,
                                 [] { return std::make_shared<AKPhotoPlayerPreviewVC>(); });
  NSClassRegistry::registerClass(kAKPhotoPDFPreviewClass,
                                 [] { return std::make_shared<AKPhotoPDFPreviewVC>(); });
  NSClassRegistry::registerClass("AKPhotoGallery.AKPhotoQRCodeResultVC",
                                 [] { return std::make_shared<AKPhotoQRCodeResultVC>(); });
  NSClassRegistry::registerClass("AKPhotoGallery.AKPhotoWebVC",
                                 [] { return std::make_shared<AKPhotoWebVC>(); });
  NSClassRegistry::registerClass("AKPhotoGallery.AKPlayerView", [] {
    return AKPlayerView::playerView(CGRectZero, nullptr);
  });
}

const std::vector<AKPhotoPreviewClass>& AKPhotoGalleryPageClasses() {
  static const std::vector<AKPhotoPreviewClass> names = {
      kAKPhotoBasePreviewClass, kAKPhotoImagePreviewClass, kAKPhotoPlayerPreviewClass,
      kAKPhotoPDFPreviewClass};
  return names;
}
