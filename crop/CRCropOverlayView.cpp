#include "crop/internal/CRCropOverlayView.h"

namespace {

constexpr double kCornerWidth = 20;
constexpr double kHandleThickness = 3;

}  // namespace

CRCropOverlayView::CRCropOverlayView(const CGRect& frame) : UIView(frame) {
  // The frame lines and handles lie outside the bounds.
  setClipsToBounds(false);
}

std::shared_ptr<CRCropOverlayView> CRCropOverlayView::overlayWithFrame(const CGRect& frame) {
  auto overlay = std::make_shared<CRCropOverlayView>(frame);
  overlay->setup();
  return overlay;
}

void CRCropOverlayView::setup() {
  outerLineViews_ = makeLines(4);
  topLeftLineViews_ = makeLines(2);
  bottomLeftLineViews_ = makeLines(2);
  topRightLineViews_ = makeLines(2);
  bottomRightLineViews_ = makeLines(2);
  setDisplayHorizontalGridLines(true);
  setDisplayVerticalGridLines(true);
}

std::shared_ptr<UIView> CRCropOverlayView::createNewLineView() {
  auto line = std::make_shared<UIView>(CGRectZero);
  line->setBackgroundColor(UIColor::whiteColor());
  addSubview(line);
  return line;
}

CRCropOverlayView::Lines CRCropOverlayView::makeLines(size_t count) {
  Lines lines;
  for (size_t i = 0; i < count; ++i) lines.push_back(createNewLineView());
  return lines;
}

void CRCropOverlayView::setFrame(const CGRect& frame) {
  UIView::setFrame(frame);
  layoutLines();
}

void CRCropOverlayView::didMoveToSuperview() {
  UIView::didMoveToSuperview();
  layoutLines();
}

void CRCropOverlayView::layoutLines() {
  if (outerLineViews_.empty()) return;
  CGSize size = bounds().size;
  double W = size.width, H = size.height;
  outerLineViews_[0]->setFrame(CGRectMake(-1, -1, W + 2, 1));
  outerLineViews_[1]->setFrame(CGRectMake(W, 0, 1, H));
  outerLineViews_[2]->setFrame(CGRectMake(-1, H, W + 2, 1));
  outerLineViews_[3]->setFrame(CGRectMake(-1, 0, 1, H + 1));

  const double t = kHandleThickness, c = kCornerWidth;
  topLeftLineViews_[0]->setFrame(CGRectMake(-t, -t, t, c + t));
  topLeftLineViews_[1]->setFrame(CGRectMake(0, -t, c, t));
  topRightLineViews_[0]->setFrame(CGRectMake(W, -t, t, c + t));
  topRightLineViews_[1]->setFrame(CGRectMake(W - c, -t, c, t));
  bottomRightLineViews_[0]->setFrame(CGRectMake(W, H - c, t, c + t));
  bottomRightLineViews_[1]->setFrame(CGRectMake(W - c, H, c, t));
  bottomLeftLineViews_[0]->setFrame(CGRectMake(-t, H - c, t, c));
  bottomLeftLineViews_[1]->setFrame(CGRectMake(-t, H, c + t, t));

  layoutGridLines(horizontalGridLines_, true, size);
  layoutGridLines(verticalGridLines_, false, size);
}

void CRCropOverlayView::layoutGridLines(const Lines& lines, bool horizontal, CGSize size) {
  if (lines.empty()) return;
  double scale = traitCollection().displayScale;
  double thickness = 1.0 / (scale > 0 ? scale : 1.0);
  double n = double(lines.size());
  double length = horizontal ? size.height : size.width;
  double gap = (length - thickness * n) / (n + 1);
  for (size_t i = 0; i < lines.size(); ++i) {
    double at = gap * double(i + 1) + thickness * double(i);
    lines[i]->setFrame(horizontal ? CGRectMake(0, at, size.width, thickness)
                                  : CGRectMake(at, 0, thickness, size.height));
  }
}

void CRCropOverlayView::setGridHidden(bool hidden, bool animated) {
  gridHidden_ = hidden;
  auto apply = [this, hidden] {
    for (auto& line : horizontalGridLines_) line->setAlpha(hidden ? 0 : 1);
    for (auto& line : verticalGridLines_) line->setAlpha(hidden ? 0 : 1);
  };
  if (!animated) {
    apply();
    return;
  }
  UIView::animateWithDuration(hidden ? 0.35 : 0.2, apply);
}

void CRCropOverlayView::setDisplayHorizontalGridLines(bool display) {
  displayHorizontalGridLines_ = display;
  for (auto& line : horizontalGridLines_) line->removeFromSuperview();
  horizontalGridLines_ = display ? makeLines(2) : Lines{};
  setNeedsDisplay();
}

void CRCropOverlayView::setDisplayVerticalGridLines(bool display) {
  displayVerticalGridLines_ = display;
  for (auto& line : verticalGridLines_) line->removeFromSuperview();
  verticalGridLines_ = display ? makeLines(2) : Lines{};
  setNeedsDisplay();
}
