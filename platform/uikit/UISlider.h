#pragma once

// A thumb sliding along a track between a minimum and a maximum value. A
// touch that comes down on the thumb drags it (value-changed as it moves, or
// once at the end when not continuous); a touch elsewhere on the track does
// nothing, and gestures of other views do not start from the thumb.

#include <map>
#include <memory>

#include "UIColor.h"
#include "UIControl.h"
#include "platform/foundation/ThreadChecks.h"

class UIImage;

class UISlider : public UIControl {
 public:
  static constexpr double kThumbSize = 28;
  static constexpr double kHeight = 34;

  using UIControl::UIControl;

  double value() const { return value_; }
  // Clamped into [minimum, maximum]; sends no event, as on the platform.
  void setValue(double value, bool animated = false);
  double minimumValue() const { return min_; }
  void setMinimumValue(double v);
  double maximumValue() const { return max_; }
  void setMaximumValue(double v);
  bool isContinuous() const { return continuous_; }
  void setContinuous(bool on) {
    QX_DCHECK_MAIN_THREAD();
    continuous_ = on;
  }
  void setThumbImage(std::shared_ptr<UIImage> image, uint64_t state);
  std::shared_ptr<UIImage> thumbImageForState(uint64_t state) const;
  UIColorPtr minimumTrackTintColor() const { return minTrack_; }
  void setMinimumTrackTintColor(UIColorPtr c) {
    QX_DCHECK_MAIN_THREAD();
    minTrack_ = std::move(c);
    setNeedsDisplay();
  }
  UIColorPtr maximumTrackTintColor() const { return maxTrack_; }
  void setMaximumTrackTintColor(UIColorPtr c) {
    QX_DCHECK_MAIN_THREAD();
    maxTrack_ = std::move(c);
    setNeedsDisplay();
  }

  CGRect trackRectForBounds(const CGRect& bounds) const;
  CGRect thumbRectForBounds(const CGRect& bounds, const CGRect& track, double value) const;
  CGSize sizeThatFits(CGSize size) const override;
  // The track (the minimum side in the tint colour up to the thumb, the
  // maximum side in light grey after it) and the thumb: its image for the
  // state, or a white disc with a grey rim.
  void drawRect(const CGRect& rect) override;

  bool beginTrackingWithTouch(UITouch& touch, UIEvent* event) override;
  bool continueTrackingWithTouch(UITouch& touch, UIEvent* event) override;
  void endTrackingWithTouch(UITouch* touch, UIEvent* event) override;
  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;

 protected:
  void stateDidChange() override { setNeedsDisplay(); }

 private:
  bool onThumb(const CGPoint& point) const;

  double value_ = 0;
  double min_ = 0;
  double max_ = 1;
  bool continuous_ = true;
  double grabOffset_ = 0;  // from the thumb's centre to the finger
  bool moved_ = false;
  std::map<uint64_t, std::shared_ptr<UIImage>> thumbImages_;
  UIColorPtr minTrack_;
  UIColorPtr maxTrack_;
};

