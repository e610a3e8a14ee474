#include "AKPhotoGallery/AKPhotoGalleryContentVC.h"

#include <algorithm>
#include <cmath>

#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIScreen.h"

namespace {

constexpr double kFooterBottomInset = 34;
constexpr double kNotchedScreenLength = 812;
constexpr double kContentFooterFade = 0.2;
constexpr double kLoadMoreSlide = 0.4;

std::shared_ptr<AKPhotoBasePreviewVC> makePreview(const AKPhotoPreviewClass& name) {
  auto controller =
      std::dynamic_pointer_cast<AKPhotoBasePreviewVC>(NSClassRegistry::createInstance(name));
  if (!controller) FatalStop("No page class registered under " + name);
  return controller;
}

}  // namespace

AKPhotoGalleryContentFooterViewContainer::AKPhotoGalleryContentFooterViewContainer(
    std::shared_ptr<UIView> footerView)
    : UIView(CGRect{}),
      footerView_(std::move(footerView)),
      backgroundView_(std::make_shared<UIVisualEffectView>(
          UIBlurEffect::effectWithStyle(UIBlurEffectStyleExtraLight))) {}

void AKPhotoGalleryContentFooterViewContainer::layoutSubviews() {
  UIView::layoutSubviews();
  if (backgroundView_->superview().get() != this) {
    addSubview(backgroundView_);
    backgroundView_->contentView()->addSubview(footerView_);
  }
  const CGSize size = bounds().size;
  backgroundView_->setFrame({{0, 0}, size});
  footerView_->setFrame({{0, 0}, {size.width, footerView_->frame().size.height}});
}

AKPhotoGalleryContentVC::AKPhotoGalleryContentVC()
    : mainView_(std::make_shared<AKPhotoGalleryScrollView>(CGRect{})) {}

double AKPhotoGalleryContentVC::pageWidth() { return UIScreen::mainScreen()->bounds().size.width; }

std::shared_ptr<AKPhotoGalleryContentDataSource> AKPhotoGalleryContentVC::dataSource() const {
  auto source = dataSource_.lock();
  if (!source) FatalStop("The gallery's content has no data source.");
  return source;
}

void AKPhotoGalleryContentVC::setCurrentIndex(int64_t index) {
  currentIndex_ = index;
  if (pageChangeBlock_) pageChangeBlock_(index);
}

std::shared_ptr<AKPhotoBasePreviewVC> AKPhotoGalleryContentVC::currentVC() {
  return visibleVCForItem(dataSource()->itemForIndex(currentIndex_));
}

std::shared_ptr<UIView> AKPhotoGalleryContentVC::currentContentView() {
  auto controller = currentVC();
  return controller ? controller->contentView() : nullptr;
}

std::vector<std::shared_ptr<AKPhotoBasePreviewVC>> AKPhotoGalleryContentVC::visibleVCs() const {
  std::vector<std::shared_ptr<AKPhotoBasePreviewVC>> controllers;
  for (const auto& [key, entry] : visibleVCs_) controllers.push_back(entry.second);
  return controllers;
}

std::shared_ptr<AKPhotoBasePreviewVC> AKPhotoGalleryContentVC::visibleVCForItem(
    const std::shared_ptr<AKPhotoGalleryItem>& item) const {
  auto it = visibleVCs_.find(item.get());
  return it == visibleVCs_.end() ? nullptr : it->second.second;
}

size_t AKPhotoGalleryContentVC::reuseCount(const AKPhotoPreviewClass& previewClass) const {
  auto it = reuseableVCs_.find(previewClass);
  return it == reuseableVCs_.end() ? 0 : it->second.size();
}

void AKPhotoGalleryContentVC::viewDidLoad() {
  UIViewController::viewDidLoad();
  auto root = view();
  root->setBackgroundColor(nullptr);
  const CGSize size = root->bounds().size;
  mainView_->setFrame({{0, 0}, size});
  mainView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  mainView_->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
  mainView_->setDelegate(std::static_pointer_cast<AKPhotoGalleryContentVC>(shared_from_this()));
  mainView_->setDecelerationRate(UIScrollView::UIScrollViewDecelerationRateFast);
  const int64_t count = dataSource()->numberOfItems();
  mainView_->appendEmptyPages(static_cast<size_t>(std::max<int64_t>(count, 0)));
  mainView_->setContentSize({AKPhotoGalleryScrollView::contentWidth(static_cast<size_t>(count)), 0});
  root->addSubview(mainView_);
  mainView_->setContentOffset({pageStride() * static_cast<double>(currentIndex_), 0}, false);
  showViewIfNeeded(currentIndex_);
  updateFooterView();
  auto weak = WeakFromThis(this);
  if (dataSource()->hasIncrementalDataForLeft()) {
    leftIndicator_ = AKPhotoIncrementalIndicator::make(
        AKPhotoIncrementalIndicatorDirection::left,
        WeakBind(weak, [](AKPhotoGalleryContentVC& self) { self.loadMore(true); }));
    mainView_->addSubview(leftIndicator_);
  }
  if (dataSource()->hasIncrementalDataForRight()) {
    rightIndicator_ = AKPhotoIncrementalIndicator::make(
        AKPhotoIncrementalIndicatorDirection::right,
        WeakBind(weak, [](AKPhotoGalleryContentVC& self) { self.loadMore(false); }));
    mainView_->addSubview(rightIndicator_);
  }
}

void AKPhotoGalleryContentVC::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  prefillingReuseQueue();
}

void AKPhotoGalleryContentVC::prefillingReuseQueue() {
  if (isFilled_) return;
  isFilled_ = true;
  auto current = currentVC();
  if (!current) FatalStop("The current page has no controller.");
  std::vector<AKPhotoPreviewClass> classes = {kAKPhotoImagePreviewClass, kAKPhotoImagePreviewClass,
                                              kAKPhotoPlayerPreviewClass, kAKPhotoPlayerPreviewClass};
  classes.push_back(current->previewType() == AKPhotoPreviewType::photo ? kAKPhotoPlayerPreviewClass
                                                                       : kAKPhotoImagePreviewClass);
  for (const auto& name : classes) {
    auto controller = makePreview(name);
    controller->view()->setHidden(true);
    mainView_->addSubview(controller->view());
    addToReuseQueue(controller);
  }
  updateVisibleViews(currentIndex_, false, false, false);
}

void AKPhotoGalleryContentVC::addToReuseQueue(const std::shared_ptr<AKPhotoBasePreviewVC>& controller) {
  reuseableVCs_[controller->previewClass()].push_back(controller);
}

std::shared_ptr<AKPhotoBasePreviewVC> AKPhotoGalleryContentVC::previewVCFor(
    const std::shared_ptr<AKPhotoGalleryItem>& item) {
  if (auto visible = visibleVCForItem(item)) return visible;
  const AKPhotoPreviewClass name = AKPhotoBasePreviewVC::photoPreviewClassWith(item);
  std::shared_ptr<AKPhotoBasePreviewVC> controller;
  auto& stack = reuseableVCs_[name];
  if (!stack.empty()) {
    controller = stack.back();
    stack.pop_back();
    controller->prepareForReuse();
  } else {
    controller = makePreview(name);
  }
  if (prepareToShow_) prepareToShow_(*controller);
  controller->setItem(item);
  visibleVCs_[item.get()] = {item, controller};
  return controller;
}

void AKPhotoGalleryContentVC::attach(const std::shared_ptr<AKPhotoBasePreviewVC>& controller,
                                     const std::shared_ptr<AKPhotoGalleryItem>& item, int64_t index) {
  if (controller->parentViewController().get() != this) {
    addChildViewController(controller);
  }
  mainView_->placePreviewVC(controller, item, static_cast<size_t>(index));
}

void AKPhotoGalleryContentVC::showViewIfNeeded(int64_t index) {
  auto item = dataSource()->itemForIndex(index);
  if (visibleVCForItem(item)) return;
  attach(previewVCFor(item), item, index);
}

void AKPhotoGalleryContentVC::updateVisibleViews(int64_t index, bool scrollToIndex, bool animated,
                                                 bool indexOnly) {
  if (scrollToIndex) {
    mainView_->setContentOffset({pageStride() * static_cast<double>(index), 0}, animated);
  }
  if (indexOnly) {
    showViewIfNeeded(index);
    return;
  }
  auto source = dataSource();
  const int64_t count = source->numberOfItems();
  std::vector<std::pair<int64_t, std::shared_ptr<AKPhotoGalleryItem>>> window;
  for (int64_t i = std::max<int64_t>(index - 1, 0); i <= std::min(index + 1, count - 1); ++i) {
    window.emplace_back(i, source->itemForIndex(i));
  }
  auto current = source->itemForIndex(index);
  auto inWindow = [&](const AKPhotoGalleryItem* item) {
    return std::any_of(window.begin(), window.end(),
                       [item](const auto& entry) { return entry.second.get() == item; });
  };
  for (auto it = visibleVCs_.begin(); it != visibleVCs_.end();) {
    const auto& [item, controller] = it->second;
    if (inWindow(item.get())) {
      if (item != current) controller->photoPreviewWillDisappear();
      ++it;
      continue;
    }
    controller->photoPreviewWillDisappear();
    addToReuseQueue(controller);
    if (auto page = mainView_->viewForItem(item); page && !page->isHidden()) {
      controller->viewWillDisappear(true);
      page->setHidden(true);
      controller->viewDidDisappear(true);
    }
    it = visibleVCs_.erase(it);
  }
  UIView::performWithoutAnimation([&] {
    for (const auto& [i, item] : window) {
      if (visibleVCForItem(item)) continue;
      attach(previewVCFor(item), item, i);
    }
  });
  setCurrentIndex(index);
}

bool AKPhotoGalleryContentVC::isScrollViewBouncing() const {
  const double x = mainView_->contentOffset().x;
  const UIEdgeInsets inset = mainView_->contentInset();
  return x < -inset.left ||
         x > mainView_->contentSize().width - mainView_->bounds().size.width + inset.right;
}

void AKPhotoGalleryContentVC::scrollViewDidScroll(UIScrollView&) {
  if (isScrollViewBouncing()) return;
  const double position = mainView_->contentOffset().x / pageStride();
  if (1 - std::fabs(static_cast<double>(currentIndex_) - position) < 0.1) {
    const auto index = static_cast<int64_t>(std::round(position));
    if (index != currentIndex_) updateVisibleViews(index, false, false, false);
  }
}

void AKPhotoGalleryContentVC::scrollViewWillEndDragging(UIScrollView&, CGPoint velocity,
                                                        CGPoint* target) {
  if (isScrollViewBouncing()) return;
  const double distance = target->x - pageStride() * static_cast<double>(currentIndex_);
  const double half = pageWidth() / 2;
  int64_t index = currentIndex_;
  if (distance < -half) {
    index = currentIndex_ - 1;
  } else if (distance > half) {
    index = currentIndex_ + 1;
  } else if (std::fabs(velocity.x) >= 0.25) {
    index = velocity.x > 0 ? currentIndex_ + 1 : currentIndex_ - 1;
  }
  index = std::max<int64_t>(std::min(index, dataSource()->numberOfItems() - 1), 0);
  if (index != currentIndex_) updateVisibleViews(index, false, false, false);
  target->x = pageStride() * static_cast<double>(currentIndex_);
}

void AKPhotoGalleryContentVC::loadMore(bool left) {
  auto handler = WeakBind(WeakFromThis(this), [left](AKPhotoGalleryContentVC& self, int64_t count) {
    self.didLoadMore(left, count);
  });
  if (left) {
    dataSource()->incrementalItemsForLeft(handler);
  } else {
    dataSource()->incrementalItemsForRight(handler);
  }
}

void AKPhotoGalleryContentVC::didLoadMore(bool left, int64_t count) {
  auto indicator = left ? leftIndicator_ : rightIndicator_;
  if (!indicator) return;
  auto delegate = delegate_.lock();
  bool moving = false;
  if (!(delegate && !delegate->contentVCCanScroll(*this)) && !mainView_->isDragging()) {
    const double x = mainView_->contentOffset().x;
    moving = left ? x == -AKPhotoIncrementalIndicator::kPullDistance
                  : mainView_->contentSize().width ==
                        x + mainView_->bounds().size.width - AKPhotoIncrementalIndicator::kPullDistance;
  }
  if (count > 0) {
    if (left) {
      setCurrentIndex(currentIndex_ + count);
      mainView_->insertEmptyPagesBefore(static_cast<size_t>(count));
    } else {
      mainView_->appendEmptyPages(static_cast<size_t>(count));
    }
    updateVisibleViews(currentIndex_, false, false, false);
  }
  if (!left) indicator->endRefreshing();
  auto weak = WeakFromThis(this);
  UIView::animateWithDuration(
      kLoadMoreSlide,
      [this, left, moving] {
        const int64_t n = dataSource()->numberOfItems();
        if (moving) {
          if (left && currentIndex_ >= 1) updateVisibleViews(currentIndex_ - 1, true, false, false);
          if (!left && currentIndex_ < n - 1) updateVisibleViews(currentIndex_ + 1, true, false, false);
        } else if (!mainView_->isDragging() && currentIndex_ >= 0 && currentIndex_ < n) {
          updateVisibleViews(currentIndex_, true, false, false);
        }
      },
      WeakBind(weak, [left, indicator](AKPhotoGalleryContentVC& self, bool) {
        auto source = self.dataSource();
        bool more = left ? source->hasIncrementalDataForLeft() : source->hasIncrementalDataForRight();
        indicator->setEnabled(more);
        indicator->setHidden(!more);
      }));
  if (left) indicator->endRefreshing();
}

void AKPhotoGalleryContentVC::updateFooterView() {
  if (!isViewLoaded()) return;
  if (footerView_) {
    auto container = std::make_shared<AKPhotoGalleryContentFooterViewContainer>(footerView_);
    footerViewContainer_ = container;
    const CGSize screen = UIScreen::mainScreen()->bounds().size;
    const double bottom =
        std::max(screen.width, screen.height) >= kNotchedScreenLength ? kFooterBottomInset : 0;
    const double height = footerView_->frame().size.height + bottom;
    const CGSize size = view()->bounds().size;
    container->setFrame({{0, size.height - height}, {size.width, height}});
    view()->addSubview(container);
    container->layoutIfNeeded();
    return;
  }
  if (auto container = footerViewContainer_) {
    setFooterViewHidden(true, true, [container] { container->removeFromSuperview(); });
    footerViewContainer_ = nullptr;
  }
}

void AKPhotoGalleryContentVC::setFooterView(std::shared_ptr<UIView> footer) {
  footerView_ = std::move(footer);
  updateFooterView();
  if (footerViewContainer_) {
    footerViewContainer_->setAlpha(0);
    setFooterViewHidden(false, true, nullptr);
  }
}

void AKPhotoGalleryContentVC::setFooterViewHidden(bool hidden, bool animated,
                                                  OnceClosure completion) {
  auto container = footerViewContainer_;
  if (!container) return;
  const double target = hidden ? 0 : 1;
  if (container->alpha() == target) return;
  if (!animated) {
    container->setAlpha(target);
    return;
  }
  UIView::animateWithDuration(
      kContentFooterFade, [container, target] { container->setAlpha(target); },
      [completion = std::move(completion)](bool) mutable { completion(); });
}
