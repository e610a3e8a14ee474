#include "platform/pdfkit/PDFView.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIScreen.h"

namespace {

// poppler renders one page at a time in the whole process: one queue serves
// every view.
const dispatch_queue_t& renderQueue() {
  static const dispatch_queue_t queue = dispatch_queue_create("PDFView.render");
  return queue;
}

}  // namespace

PDFView::PDFView() { setBackgroundColor(UIColor::colorWithWhite(0.82, 1)); }

void PDFView::setDocument(PDFDocumentPtr document) {
  QX_DCHECK_MAIN_THREAD();
  if (document == document_) return;
  dropPages();
  document_ = std::move(document);
  setNeedsLayout();
}

void PDFView::setDisplayDirection(PDFDisplayDirection direction) {
  QX_DCHECK_MAIN_THREAD();
  if (direction != kPDFDisplayDirectionVertical && direction != kPDFDisplayDirectionHorizontal) {
    return;
  }
  direction_ = direction;
  setNeedsLayout();
}

void PDFView::setScaleFactor(double scale) {
  QX_DCHECK_MAIN_THREAD();
  if (!(scale > 0) || !std::isfinite(scale)) return;
  scaleFactor_ = scale;
  setNeedsLayout();
}

void PDFView::setAutoScales(bool on) {
  QX_DCHECK_MAIN_THREAD();
  autoScales_ = on;
  setNeedsLayout();
}

double PDFView::scaleFactorForSizeToFit() const {
  if (!document_) return 1;
  double widest = 0, tallest = 0;
  for (int64_t i = 0; i < document_->pageCount(); ++i) {
    CGSize size = document_->pageAtIndex(i)->displayedSize();
    widest = std::max(widest, size.width);
    tallest = std::max(tallest, size.height);
  }
  const bool vertical = direction_ == kPDFDisplayDirectionVertical;
  const double room = vertical ? bounds().size.width : bounds().size.height;
  const double page = vertical ? widest : tallest;
  if (!(room > 0) || !(page > 0)) return 1;
  return room / page;
}

std::vector<CGRect> PDFView::pageFrames() const {
  std::vector<CGRect> frames;
  if (!document_) return frames;
  const bool vertical = direction_ == kPDFDisplayDirectionVertical;
  const CGSize view = bounds().size;
  double along = 0;
  for (int64_t i = 0; i < document_->pageCount(); ++i) {
    CGSize size = document_->pageAtIndex(i)->displayedSize();
    double w = size.width * scaleFactor_, h = size.height * scaleFactor_;
    // Centred across the direction of reading when narrower than the view.
    frames.push_back(vertical ? CGRectMake(std::max(0.0, (view.width - w) / 2), along, w, h)
                              : CGRectMake(along, std::max(0.0, (view.height - h) / 2), w, h));
    along += (vertical ? h : w) + kPageGap * scaleFactor_;
  }
  return frames;
}

CGRect PDFView::frameForPage(const PDFPagePtr& page) const {
  if (!document_ || !page || page->document() != document_) return CGRectZero;
  auto frames = pageFrames();
  for (int64_t i = 0; i < document_->pageCount(); ++i) {
    if (document_->pageAtIndex(i) == page) return frames[size_t(i)];
  }
  return CGRectZero;
}

void PDFView::layoutSubviews() {
  UIView::layoutSubviews();
  if (autoScales_) scaleFactor_ = scaleFactorForSizeToFit();
  showVisiblePages();
}

void PDFView::dropPages() {
  for (auto& [index, shown] : shown_) {
    shown.layer->removeFromSuperlayer();
    if (shown.dropped) *shown.dropped = true;
  }
  shown_.clear();
}

void PDFView::render(const PDFPagePtr& page, ShownPage& shown, double pixelsPerPoint) {
  if (shown.dropped) *shown.dropped = true;
  auto request = std::make_shared<std::atomic<bool>>(false);
  shown.dropped = request;
  shown.pixelsPerPoint = pixelsPerPoint;
  auto view = WeakFromThis(this);
  dispatch_async(renderQueue(), [view, page, request, pixelsPerPoint] {
    if (*request) return;
    CGImageRef image = page->imageAtScale(pixelsPerPoint);
    dispatch_async(dispatch_get_main_queue(), WeakBind(view, [request, image](PDFView& self) {
                     self.rendered(request, image);
                   }));
  });
}

void PDFView::rendered(const std::shared_ptr<std::atomic<bool>>& request, const CGImageRef& image) {
  QX_DCHECK_MAIN_THREAD();
  for (auto& [index, shown] : shown_) {
    if (shown.dropped != request) continue;
    // Opaque pages: nothing of the background shows through them.
    if (image) shown.layer->setContents(image);
    shown.layer->setContentsScale(shown.pixelsPerPoint / scaleFactor_);
    return;
  }
}

void PDFView::showVisiblePages() {
  if (!document_) {
    dropPages();
    return;
  }
  const double pixelsPerPoint = scaleFactor_ * UIScreen::mainScreen()->scale();
  const CGRect visible = bounds();
  std::map<int64_t, ShownPage> kept;
  const auto frames = pageFrames();
  for (int64_t i = 0; i < document_->pageCount(); ++i) {
    auto page = document_->pageAtIndex(i);
    const CGRect frame = frames[size_t(i)];
    if (!CGRectIntersectsRect(frame, visible)) continue;
    ShownPage shown;
    if (auto it = shown_.find(i); it != shown_.end()) {
      shown = it->second;
      shown_.erase(it);
    } else {
      shown.layer = CALayer::layer();
      layer()->addSublayer(shown.layer);
    }
    shown.layer->setFrame(frame);
    if (shown.pixelsPerPoint != pixelsPerPoint) render(page, shown, pixelsPerPoint);
    kept[i] = shown;
  }
  dropPages();
  shown_ = std::move(kept);
}
