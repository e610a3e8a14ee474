#include "platform/pdfkit/PDFView.h"

#include <algorithm>
#include <cmath>

#include "platform/uikit/UIScreen.h"

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
  for (auto& [index, shown] : shown_) shown.layer->removeFromSuperlayer();
  shown_.clear();
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
    if (shown.pixelsPerPoint != pixelsPerPoint) {
      // Opaque pages: nothing of the background shows through them.
      shown.layer->setContents(page->imageAtScale(pixelsPerPoint));
      shown.layer->setContentsScale(pixelsPerPoint / scaleFactor_);
      shown.pixelsPerPoint = pixelsPerPoint;
    }
    kept[i] = shown;
  }
  dropPages();
  shown_ = std::move(kept);
}
