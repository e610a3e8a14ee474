#include "platform/uikit/UIProgressView.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/NSProgress.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/uikit/UIGraphics.h"

namespace {
constexpr double kBarHeight = 4;
}

UIProgressView::UIProgressView(UIProgressViewStyle style)
    : UIView(CGRectMake(0, 0, 100, kBarHeight)), style_(style) {
  setContentMode(UIViewContentModeRedraw);
  setNeedsDisplay();
}

namespace {
double clampedProgress(double progress) {
  return std::isnan(progress) ? 0 : std::clamp(progress, 0.0, 1.0);
}
}  // namespace

double UIProgressView::progress() const {
  return observedProgress_ ? clampedProgress(observedProgress_->fractionCompleted()) : progress_;
}

void UIProgressView::setObservedProgress(std::shared_ptr<NSProgress> progress) {
  QX_DCHECK_MAIN_THREAD();
  observedProgress_ = std::move(progress);
  setNeedsDisplay();
}

void UIProgressView::setProgress(double progress) { setProgress(progress, false); }

void UIProgressView::setProgress(double progress, bool) {
  QX_DCHECK_MAIN_THREAD();
  progress_ = clampedProgress(progress);
  setNeedsDisplay();
}

void UIProgressView::setProgressTintColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  progressTint_ = std::move(color);
  setNeedsDisplay();
}

void UIProgressView::setTrackTintColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  trackTint_ = std::move(color);
  setNeedsDisplay();
}

CGSize UIProgressView::sizeThatFits(CGSize size) const {
  return CGSizeMake(size.width > 0 ? size.width : bounds().size.width, kBarHeight);
}

CGSize UIProgressView::intrinsicContentSize() const {
  return CGSizeMake(UIViewNoIntrinsicMetric, kBarHeight);
}

void UIProgressView::drawRect(const CGRect&) {
  auto context = UIGraphicsGetCurrentContext();
  if (!context) return;
  CGRect b = bounds();
  double radius = style_ == UIProgressViewStyleBar ? 0 : b.size.height / 2;
  auto fill = [&](const CGRect& r, const UIColorPtr& color) {
    if (r.size.width <= 0) return;
    CGContextBeginPath(context);
    CGContextAddPath(context, CGPathCreateWithRoundedRect(r, radius, radius, nullptr));
    CGContextSetFillColorWithColor(context, color->CGColor());
    CGContextFillPath(context);
  };
  fill(b, trackTint_ ? trackTint_ : UIColor::colorWithWhite(0.0, 0.1));
  fill(CGRect{b.origin, CGSizeMake(b.size.width * progress(), b.size.height)},
       progressTint_ ? progressTint_ : tintColor());
}
