#include "UISlider.h"

#include <algorithm>
#include <cmath>

#include "UIGraphics.h"
#include "UIImage.h"
#include "platform/coregraphics/CGPath.h"
#include "UIPanGestureRecognizer.h"
#include "internal/UISwipeGestureRecognizer.h"
#include "UITouch.h"
#include "platform/foundation/ThreadChecks.h"

// --- Slider ---

void UISlider::setValue(double value, bool) {
  QX_DCHECK_MAIN_THREAD();
  value_ = std::clamp(value, min_, std::max(min_, max_));
  setNeedsDisplay();
}

void UISlider::setMinimumValue(double v) {
  QX_DCHECK_MAIN_THREAD();
  min_ = v;
  if (max_ < min_) max_ = min_;
  setValue(value_);
}

void UISlider::setMaximumValue(double v) {
  QX_DCHECK_MAIN_THREAD();
  max_ = v;
  if (min_ > max_) min_ = max_;
  setValue(value_);
}

void UISlider::setThumbImage(std::shared_ptr<UIImage> image, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  thumbImages_[state] = std::move(image);
  setNeedsDisplay();
}

std::shared_ptr<UIImage> UISlider::thumbImageForState(uint64_t state) const {
  auto it = thumbImages_.find(state);
  if (it != thumbImages_.end() && it->second) return it->second;
  it = thumbImages_.find(UIControlStateNormal);
  return it == thumbImages_.end() ? nullptr : it->second;
}

CGRect UISlider::trackRectForBounds(const CGRect& b) const {
  return CGRectMake(b.origin.x, CGRectGetMidY(b) - 2, b.size.width, 4);
}

CGRect UISlider::thumbRectForBounds(const CGRect& b, const CGRect& track, double value) const {
  CGSize thumb = CGSizeMake(kThumbSize, kThumbSize);
  if (auto image = thumbImageForState(state())) thumb = image->size();
  double range = max_ - min_;
  double f = range > 0 ? (value - min_) / range : 0;
  double x = track.origin.x + f * (track.size.width - thumb.width);
  return CGRectMake(x, CGRectGetMidY(b) - thumb.height / 2, thumb.width, thumb.height);
}

CGSize UISlider::sizeThatFits(CGSize size) const { return CGSizeMake(size.width, kHeight); }

void UISlider::drawRect(const CGRect&) {
  auto context = UIGraphicsGetCurrentContext();
  if (!context) return;
  const CGRect b = bounds();
  const CGRect track = trackRectForBounds(b);
  const CGRect thumb = thumbRectForBounds(b, track, value_);
  const double split = std::clamp(CGRectGetMidX(thumb), track.origin.x, CGRectGetMaxX(track));
  const double radius = track.size.height / 2;
  auto fill = [&](const CGRect& r, const UIColorPtr& color) {
    if (r.size.width <= 0) return;
    CGContextBeginPath(context);
    CGContextAddPath(context, CGPathCreateWithRoundedRect(r, radius, radius, nullptr));
    CGContextSetFillColorWithColor(context, color->CGColor());
    CGContextFillPath(context);
  };
  fill(CGRectMake(split, track.origin.y, CGRectGetMaxX(track) - split, track.size.height),
       maxTrack_ ? maxTrack_ : UIColor::colorWithWhite(0.85, 1));
  fill(CGRectMake(track.origin.x, track.origin.y, split - track.origin.x, track.size.height),
       minTrack_ ? minTrack_ : tintColor());
  if (auto image = thumbImageForState(state())) {
    image->drawInRect(thumb);
    return;
  }
  CGContextBeginPath(context);
  CGContextAddEllipseInRect(context, CGRectInset(thumb, 0.5, 0.5));
  CGContextSetFillColorWithColor(context, UIColor::whiteColor()->CGColor());
  CGContextSetStrokeColorWithColor(context, UIColor::colorWithWhite(0.7, 1)->CGColor());
  CGContextSetLineWidth(context, 1);
  CGContextDrawPath(context, kCGPathFillStroke);
}

bool UISlider::onThumb(const CGPoint& p) const {
  CGRect b = bounds();
  // The thumb answers a little beyond its picture, as on the platform.
  return CGRectContainsPoint(CGRectInset(thumbRectForBounds(b, trackRectForBounds(b), value_), -10,
                                         -10),
                             p);
}

bool UISlider::beginTrackingWithTouch(UITouch& touch, UIEvent*) {
  CGPoint p = touch.locationInView(this);
  if (!onThumb(p)) return false;
  CGRect b = bounds();
  grabOffset_ = p.x - CGRectGetMidX(thumbRectForBounds(b, trackRectForBounds(b), value_));
  moved_ = false;
  return true;
}

bool UISlider::continueTrackingWithTouch(UITouch& touch, UIEvent* event) {
  CGRect b = bounds();
  CGRect track = trackRectForBounds(b);
  double thumbWidth = thumbRectForBounds(b, track, value_).size.width;
  double usable = track.size.width - thumbWidth;
  if (usable <= 0) return true;
  double centre = touch.locationInView(this).x - grabOffset_;
  double f = (centre - track.origin.x - thumbWidth / 2) / usable;
  double before = value_;
  setValue(min_ + std::clamp(f, 0.0, 1.0) * (max_ - min_));
  if (value_ != before) {
    moved_ = true;
    if (continuous_) sendActions(UIControlEventValueChanged, event);
  }
  return true;
}

void UISlider::endTrackingWithTouch(UITouch*, UIEvent* event) {
  if (!continuous_ && moved_) sendActions(UIControlEventValueChanged, event);
}

bool UISlider::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  bool sliding = dynamic_cast<UIPanGestureRecognizer*>(&recognizer) ||
                 dynamic_cast<UISwipeGestureRecognizer*>(&recognizer);
  if (sliding && recognizer.view().get() != this &&
      onThumb(recognizer.locationInView(this))) {
    return false;
  }
  return UIControl::gestureRecognizerShouldBegin(recognizer);
}

