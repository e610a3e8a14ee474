#include "AKPhotoGallery/AKPhotoGallery.h"

#include <algorithm>

#include "AKPhotoGallery/internal/AKPhotoGalleryTransitions.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UIColor.h"

namespace {

constexpr const char* kNoItems = "Please add at least one item.";
constexpr double kFirstAppearanceDelay = 0.35;
constexpr double kFooterFade = 0.2;
constexpr double kStatusBarFade = 0.1;

int64_t gStatusBarStyle = 0;

}  // namespace

AKPhotoGallery::AKPhotoGallery() : leftBarButtonItemColor_(UIColor::whiteColor()) {}

void AKPhotoGallery::setPreferredStatusBarStyle(int64_t style) { gStatusBarStyle = style; }
int64_t AKPhotoGallery::galleryStatusBarStyle() const { return gStatusBarStyle; }

void AKPhotoGallery::viewDidLoad() {
  UINavigationController::viewDidLoad();
  view()->setBackgroundColor(UIColor::blackColor());
  navigationBar()->setTintColor(UIColor::darkGrayColor());
  navigationBar()->setTranslucent(true);

  auto content = std::make_shared<AKPhotoGalleryContentVC>();
  contentVC_ = content;
  auto weak = WeakFromThis(this);
  content->setPrepareToShow(WeakBind(weak, [](AKPhotoGallery& self, AKPhotoBasePreviewVC& page) {
    self.setupPreviewVC(page);
  }));
  content->setPageChangeBlock(WeakBind(weak, [](AKPhotoGallery& self, int64_t index) {
    self.updateNavigation();
    if (auto delegate = self.galleryDelegate_.lock()) delegate->photoGalleryDidShow(self, index);
  }));
  auto cancel = UIBarButtonItem::itemWithBarButtonSystemItem(
      UIBarButtonSystemItem::Cancel, shared_from_this(),
      WeakBind(weak, [](AKPhotoGallery& self, UIBarButtonItem&) { self.dismissGallery(); }));
  cancel->setTintColor(leftBarButtonItemColor_);
  content->navigationItem()->setLeftBarButtonItem(cancel);
  auto self = std::static_pointer_cast<AKPhotoGallery>(shared_from_this());
  content->setDataSource(self);
  content->setDelegate(self);
  if (!items_ || items_->empty()) FatalStop(kNoItems);
  content->setCurrentIndex(std::min(static_cast<int64_t>(items_->size()) - 1, presentationIndex_));
  content->setFooterView(footerView_);
  // The stack loads the child's view at once here, so the child is given
  // everything its view loading reads first.
  setViewControllers({content}, false);
}

void AKPhotoGallery::viewWillAppear(bool animated) {
  UINavigationController::viewWillAppear(animated);
  if (!setupDone_) {
    setupDone_ = true;
    doSetupOnce();
  }
  // The gallery is presented over its client: it decides the status bar
  // (hidden) while it is on screen, and gives it back as it leaves.
  setModalPresentationCapturesStatusBarAppearance(true);
  setNeedsStatusBarAppearanceUpdate();
}

void AKPhotoGallery::viewWillDisappear(bool animated) {
  UINavigationController::viewWillDisappear(animated);
  setModalPresentationCapturesStatusBarAppearance(false);
  setNeedsStatusBarAppearanceUpdate();
}

void AKPhotoGallery::viewDidDisappear(bool animated) {
  UINavigationController::viewDidDisappear(animated);
  // Gone from the screen (by the cancel button, a tap, a pan or the
  // client): the presentation controller outlives the presentation as this
  // controller's, so the references it holds back to the gallery are cut
  // here, or neither would ever be released.
  if (transitionController_ && !view()->window()) {
    transitionController_->setInteractiveController(nullptr);
    transitionController_->setGallery(nullptr);
    transitionController_ = nullptr;
  }
}

void AKPhotoGallery::doSetupOnce() {
  setNavigationBarHidden(true, false);
  auto content = contentVC();
  if (auto container = content ? content->footerViewContainer() : nullptr;
      container && container->alpha() != 0) {
    container->setAlpha(0);
  }
  dispatch_after(
      dispatch_time_after(kFirstAppearanceDelay), dispatch_get_main_queue(),
      WeakBind(WeakFromThis(this), [](AKPhotoGallery& self) {
        auto content = self.contentVC();
        if (self.singleTapMode_ == AKPhotoGallerySingleTapMode::toggleControlView) {
          self.setNavigationBarHidden(false, true);
          if (content) content->setFooterViewHidden(false, true, nullptr);
          self.showsControlView();
          return;
        }
        auto container = content ? content->footerViewContainer() : nullptr;
        if (container && container->alpha() != 1) {
          UIView::animateWithDuration(kFooterFade, [container] { container->setAlpha(1); });
        }
      }));
}

void AKPhotoGallery::dismissGallery() {
  auto weak = WeakFromThis(this);
  dismissViewControllerAnimated(true, [weak] {
    auto self = weak.lock();
    if (self && !self->view()->window()) self->transitionController_ = nullptr;
  });
}

int64_t AKPhotoGallery::currentIndex() const { return contentVC()->currentIndex(); }

std::shared_ptr<AKPhotoBasePreviewVC> AKPhotoGallery::currentContentVC() const {
  auto content = contentVC();
  auto page = content->visibleVCForItem(const_cast<AKPhotoGallery*>(this)->itemForIndex(content->currentIndex()));
  if (!page) FatalStop("The gallery has no page for its current item.");
  return page;
}

std::shared_ptr<UIView> AKPhotoGallery::currentContentView() const {
  auto view = currentContentVC()->contentView();
  if (!view) FatalStop("The gallery's current page has no content view.");
  return view;
}

void AKPhotoGallery::updateNavigation() {
  if (!items_ || items_->empty()) FatalStop(kNoItems);
  auto content = contentVC();
  content->navigationItem()->setTitle(std::to_string(content->currentIndex() + 1) + "/" +
                                      std::to_string(items_->size()));
}

void AKPhotoGallery::handleSingleTap() {
  if (singleTapMode_ == AKPhotoGallerySingleTapMode::dismiss) {
    dismissGallery();
  } else {
    toggleControlView();
  }
}

void AKPhotoGallery::toggleControlView() {
  if (isNavigationBarHidden()) {
    showsControlView();
  } else {
    hidesControlView();
  }
}

void AKPhotoGallery::showsControlView() {
  setNavigationBarHidden(false, false);
  auto content = contentVC();
  if (auto container = content ? content->footerViewContainer() : nullptr;
      container && container->alpha() != 1) {
    container->setAlpha(1);
  }
  if (content) {
    for (const auto& page : content->visibleVCs()) page->setControlViewHidden(false);
  }
}

void AKPhotoGallery::hidesControlView() {
  setNavigationBarHidden(true, false);
  auto content = contentVC();
  if (auto container = content ? content->footerViewContainer() : nullptr;
      container && container->alpha() != 0) {
    container->setAlpha(0);
  }
  if (content) {
    for (const auto& page : content->visibleVCs()) page->setControlViewHidden(true);
  }
}

std::vector<std::shared_ptr<UIPreviewActionItem>> AKPhotoGallery::previewActionItems() {
  return currentContentVC()->previewActionItems();
}

void AKPhotoGallery::updateContextBackground(double alpha) {
  auto black = UIColor::colorWithWhite(0, alpha);
  view()->setBackgroundColor(black);
  if (auto page = currentContentVC()->view()->superview()) page->setBackgroundColor(black);
}

void AKPhotoGallery::setFooterView(std::shared_ptr<UIView> footer) {
  footerView_ = std::move(footer);
  if (auto content = contentVC()) content->setFooterView(footerView_);
  updateFooterView();
}

void AKPhotoGallery::updateFooterView() {
  if (!footerView_ || singleTapMode_ != AKPhotoGallerySingleTapMode::toggleControlView ||
      !isNavigationBarHidden()) {
    return;
  }
  auto content = contentVC();
  if (auto container = content ? content->footerViewContainer() : nullptr;
      container && container->alpha() != 0) {
    container->setAlpha(0);
  }
}

void AKPhotoGallery::setupPreviewVC(AKPhotoBasePreviewVC& page) {
  page.setCustomLongPressActions(customLongPressActions_);
  page.setCustomPreviewActions(customPreviewActions_);
  auto weak = WeakFromThis(this);
  page.setSingleTapBlock(WeakBind(weak, [](AKPhotoGallery& self) { self.handleSingleTap(); }));
  if (page.previewType() != AKPhotoPreviewType::video) return;
  if (singleTapMode_ == AKPhotoGallerySingleTapMode::toggleControlView) {
    page.configureVideoControls(isNavigationBarHidden(), false, false,
                                WeakBind(weak, [](AKPhotoGallery& self) { self.hidesControlView(); }),
                                nullptr);
  } else {
    page.configureVideoControls(true, true, true, nullptr,
                                WeakBind(weak, [](AKPhotoGallery& self) { self.dismissGallery(); }));
  }
}

AKPhotoGalleryItemPtr AKPhotoGallery::itemForIndex(int64_t index) {
  if (!items_) FatalStop(kNoItems);
  return items_->at(static_cast<size_t>(index));
}

int64_t AKPhotoGallery::numberOfItems() {
  if (!items_ || items_->empty()) FatalStop(kNoItems);
  return static_cast<int64_t>(items_->size());
}

bool AKPhotoGallery::hasIncrementalDataForLeft() { return incrementalDataSource_ && hasMoreForLeft_; }
bool AKPhotoGallery::hasIncrementalDataForRight() {
  return incrementalDataSource_ && hasMoreForRight_;
}

void AKPhotoGallery::incrementalItemsForLeft(ResultHandler handler) { loadMore(true, std::move(handler)); }
void AKPhotoGallery::incrementalItemsForRight(ResultHandler handler) {
  loadMore(false, std::move(handler));
}

// `handler` is copyable: it travels inside the data source's result handler, a
// plain function.
void AKPhotoGallery::loadMore(bool left, ResultHandler handler) {
  auto source = incrementalDataSource_;
  if (!source) return;
  AKPhotoGalleryItemPtr edge;
  if (items_ && !items_->empty()) edge = left ? items_->front() : items_->back();
  auto result = WeakBind(WeakFromThis(this), [left, handler](AKPhotoGallery& self,
                                                             std::optional<std::vector<AKPhotoGalleryItemPtr>> items,
                                                             NSErrorPtr error) {
    int64_t received = 0;
    if (!error) {
      if (!items || items->empty()) {
        (left ? self.hasMoreForLeft_ : self.hasMoreForRight_) = false;
      } else {
        std::vector<AKPhotoGalleryItemPtr> merged = self.items_.value_or(std::vector<AKPhotoGalleryItemPtr>{});
        if (left) {
          merged.insert(merged.begin(), items->begin(), items->end());
        } else {
          merged.insert(merged.end(), items->begin(), items->end());
        }
        self.items_ = std::move(merged);
        received = static_cast<int64_t>(items->size());
      }
    }
    if (handler) handler(received);
  });
  if (left) {
    source->photoGalleryItemsBefore(*this, edge, result);
  } else {
    source->photoGalleryItemsAfter(*this, edge, result);
  }
}

bool AKPhotoGallery::contentVCCanScroll(AKPhotoGalleryContentVC&) {
  return !(transitionController_ && transitionController_->interactiveController() &&
           transitionController_->interactiveController()->isInteracting());
}

void AKPhotoGallery::pushViewController(const std::shared_ptr<UIViewController>& vc, bool animated) {
  UINavigationController::pushViewController(vc, animated);
  if (viewControllers().size() == 2 && isNavigationBarHidden()) {
    isNavigationBarHidden_ = true;
    setNavigationBarHidden(false, true);
  }
}

std::shared_ptr<UIViewController> AKPhotoGallery::popViewControllerAnimated(bool animated) {
  auto popped = UINavigationController::popViewControllerAnimated(animated);
  if (viewControllers().size() == 1 && isNavigationBarHidden_) {
    isNavigationBarHidden_ = false;
    setNavigationBarHidden(true, true);
  }
  return popped;
}

void presentWithPhotoGallery(const std::shared_ptr<UIViewController>& presenter,
                             const std::shared_ptr<AKPhotoGallery>& gallery, OnceClosure completion) {
  // Pages are made by class name as they scroll in: without every page class
  // the gallery is not shown at all, and the failed look-up is left for
  // whoever asked (the running host answers the touch with the name).
  if (!NSClassRegistry::requireClasses(AKPhotoGalleryPageClasses())) return;
  gallery->setModalPresentationStyle(UIModalPresentationStyle::Custom);
  auto controller = std::make_shared<AKPhotoGalleryTransitionController>(gallery, presenter);
  controller->setGallery(gallery);
  gallery->setTransitionController(controller);
  gallery->setTransitioningDelegate(controller);
  controller->setInteractiveController(std::make_shared<AKPhotoGalleryInteractiveTransition>(gallery));
  presenter->presentViewController(gallery, true, std::move(completion));
}
