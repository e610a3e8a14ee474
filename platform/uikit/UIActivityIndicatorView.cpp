#include "platform/uikit/UIActivityIndicatorView.h"

#include <cmath>
#include <limits>

#include "platform/foundation/ThreadChecks.h"
#include "platform/uikit/UIGraphics.h"

const char* const UIActivityIndicatorView::kSpinKey = "spin";

namespace {
constexpr int kSpokes = 12;

// The colour an older, colour-naming style stands for; nullptr for the others.
UIColorPtr colorOfStyle(UIActivityIndicatorViewStyle style) {
  switch (style) {
    case UIActivityIndicatorViewStyleWhiteLarge:
    case UIActivityIndicatorViewStyleWhite: return UIColor::whiteColor();
    case UIActivityIndicatorViewStyleGray: return UIColor::grayColor();
    default: return nullptr;
  }
}
}  // namespace

UIActivityIndicatorView::UIActivityIndicatorView(UIActivityIndicatorViewStyle style)
    : style_(style) {
  if (auto color = colorOfStyle(style)) color_ = std::move(color);
  CGSize size = sizeThatFits(CGSizeZero);
  setFrame(CGRect{CGPointZero, size});
  setHidden(true);
  setUserInteractionEnabled(false);
  setNeedsDisplay();
}

void UIActivityIndicatorView::setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle style) {
  QX_DCHECK_MAIN_THREAD();
  style_ = style;
  if (auto color = colorOfStyle(style)) color_ = std::move(color);
  invalidateIntrinsicContentSize();
  setNeedsDisplay();
}

void UIActivityIndicatorView::setColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  color_ = color ? std::move(color) : UIColor::grayColor();
  setNeedsDisplay();
}

void UIActivityIndicatorView::setHidesWhenStopped(bool hides) {
  QX_DCHECK_MAIN_THREAD();
  hidesWhenStopped_ = hides;
  if (!animating_) setHidden(hides);
}

void UIActivityIndicatorView::startAnimating() {
  QX_DCHECK_MAIN_THREAD();
  if (animating_) return;
  animating_ = true;
  setHidden(false);
  auto spin = CAKeyframeAnimation::animationWithKeyPath("transform.rotation.z");
  std::vector<CAValue> steps;
  for (int i = 0; i <= kSpokes; ++i) steps.emplace_back(2 * M_PI * i / kSpokes);
  spin->setValues(std::move(steps));
  spin->setCalculationMode(kCAAnimationDiscrete);
  spin->setDuration(1);
  spin->setRepeatCount(std::numeric_limits<double>::infinity());
  layer()->addAnimation(spin, kSpinKey);
}

void UIActivityIndicatorView::stopAnimating() {
  QX_DCHECK_MAIN_THREAD();
  if (!animating_) return;
  animating_ = false;
  layer()->removeAnimationForKey(kSpinKey);
  if (hidesWhenStopped_) setHidden(true);
}

CGSize UIActivityIndicatorView::sizeThatFits(CGSize) const {
  const bool large =
      style_ == UIActivityIndicatorViewStyleLarge || style_ == UIActivityIndicatorViewStyleWhiteLarge;
  double side = large ? 37 : 20;
  return CGSizeMake(side, side);
}

void UIActivityIndicatorView::drawRect(const CGRect&) {
  auto context = UIGraphicsGetCurrentContext();
  if (!context) return;
  CGRect b = bounds();
  double r = std::min(b.size.width, b.size.height) / 2;
  CGPoint c = CGPointMake(CGRectGetMidX(b), CGRectGetMidY(b));
  CGContextSaveGState(context);
  CGContextSetLineWidth(context, r * 0.2);
  CGContextSetLineCap(context, kCGLineCapRound);
  for (int i = 0; i < kSpokes; ++i) {
    double angle = -M_PI / 2 + 2 * M_PI * i / kSpokes;
    double alpha = 0.25 + 0.75 * double(i) / (kSpokes - 1);
    CGContextSetStrokeColorWithColor(context,
                                     CGColorCreateCopyWithAlpha(color_->CGColor(),
                                                                color_->alpha() * alpha));
    CGContextBeginPath(context);
    CGContextMoveToPoint(context, c.x + std::cos(angle) * r * 0.45, c.y + std::sin(angle) * r * 0.45);
    CGContextAddLineToPoint(context, c.x + std::cos(angle) * r * 0.9,
                            c.y + std::sin(angle) * r * 0.9);
    CGContextStrokePath(context);
  }
  CGContextRestoreGState(context);
}
