#include "AKPhotoGallery/AKPhotoGalleryScrollView.h"

#include <algorithm>
#include <cmath>

#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "platform/foundation/Fatal.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UISlider.h"
#include "platform/uikit/UIViewController.h"

namespace {
CGSize screenSize() { return UIScreen::mainScreen()->bounds().size; }
}  // namespace

AKPhotoGalleryScrollView::AKPhotoGalleryScrollView(const CGRect& frame) : UIScrollView(frame) {
  setBackgroundColor(UIColor::blackColor());
  setShowsHorizontalScrollIndicator(false);
  setShowsVerticalScrollIndicator(false);
  setAlwaysBounceHorizontal(true);
  setAlwaysBounceVertical(false);
  setDelaysContentTouches(false);
}

double AKPhotoGalleryScrollView::pageStride() { return screenSize().width + kPageGap; }

CGRect AKPhotoGalleryScrollView::pageFrame(size_t index) {
  CGSize size = screenSize();
  return {{pageStride() * static_cast<double>(index), 0}, size};
}

double AKPhotoGalleryScrollView::contentWidth(size_t slots) {
  return pageStride() * static_cast<double>(slots) - kPageGap;
}

void AKPhotoGalleryScrollView::insertEmptyPagesBefore(size_t count) {
  const double stride = pageStride();
  // The whole pages in the offset, cut toward zero: pulled past the start
  // (a negative offset) the first page is still the one on screen.
  const auto current = static_cast<int64_t>(std::trunc(contentOffset().x / stride));
  views_.insert(views_.begin(), count, nullptr);
  const auto n = static_cast<int64_t>(count);
  const auto last = static_cast<int64_t>(views_.size()) - 1;
  // Only the page on screen and its neighbours move now; the others are
  // placed again when they come into view.
  for (int64_t i = std::max<int64_t>(current + n - 1, 0); i <= std::min(current + n + 1, last); ++i) {
    if (const auto& view = views_[static_cast<size_t>(i)]) {
      CGRect frame = view->frame();
      frame.origin.x = stride * static_cast<double>(i);
      view->setFrame(frame);
    }
  }
  setContentSize({contentWidth(views_.size()), contentSize().height});
  CGPoint offset = contentOffset();
  setContentOffset({offset.x + stride * static_cast<double>(count), offset.y});
}

void AKPhotoGalleryScrollView::appendEmptyPages(size_t count) {
  views_.insert(views_.end(), count, nullptr);
  setContentSize({contentWidth(views_.size()), contentSize().height});
}

void AKPhotoGalleryScrollView::placePreviewVC(const std::shared_ptr<UIViewController>& controller,
                                              const std::shared_ptr<AKPhotoGalleryItem>& item,
                                              size_t index) {
  if (index >= views_.size()) FatalStop("Invalid parameter not satisfying: index < views.count");
  auto view = controller->view();
  views_[index] = view;
  if (!view->superview()) {
    addSubview(view);
  } else {
    controller->viewWillAppear(true);
    view->setHidden(false);
    controller->viewDidAppear(true);
  }
  view->setFrame(pageFrame(index));
  items_[item.get()] = view;
  keys_[item.get()] = item;
}

std::shared_ptr<UIView> AKPhotoGalleryScrollView::viewForItem(
    const std::shared_ptr<AKPhotoGalleryItem>& item) const {
  auto it = items_.find(item.get());
  return it == items_.end() ? nullptr : it->second;
}

std::shared_ptr<UIView> AKPhotoGalleryScrollView::hitTest(const CGPoint& point, UIEvent* event) {
  auto hit = UIScrollView::hitTest(point, event);
  if (hit) setScrollEnabled(!std::dynamic_pointer_cast<UISlider>(hit));
  return hit;
}
