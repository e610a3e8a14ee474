#pragma once

// A view showing an image through its layer's contents, placed by its
// content mode, or a sequence of images played on the platform clock
// (a discrete keyframe animation of the layer's contents). Template images
// are drawn in the view's tint colour.

#include <vector>

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIView.h"

class UIImageView : public UIView {
 public:
  UIImageView();
  explicit UIImageView(const CGRect& frame);
  explicit UIImageView(UIImagePtr image);

  const UIImagePtr& image() const { return image_; }
  virtual void setImage(UIImagePtr image);
  const UIImagePtr& highlightedImage() const { return highlightedImage_; }
  void setHighlightedImage(UIImagePtr image);
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool highlighted);

  const std::vector<UIImagePtr>& animationImages() const { return animationImages_; }
  void setAnimationImages(std::vector<UIImagePtr> images);
  // 0 means 1/30 s per image.
  double animationDuration() const { return animationDuration_; }
  void setAnimationDuration(double duration);
  // 0 means forever.
  int64_t animationRepeatCount() const { return animationRepeatCount_; }
  virtual void setAnimationRepeatCount(int64_t count);
  // Plays the animation images (the highlighted ones' when highlighted);
  // nothing without images.
  virtual void startAnimating();
  virtual void stopAnimating();
  // True until stopped or, with a repeat count, until the clock passes the end.
  virtual bool isAnimating() const;

  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override;
  void tintColorDidChange() override;
  void layoutSubviews() override;
  // A layer marked for display shows the image again (image views draw
  // nothing of their own).
  bool displayLayer(CALayer& layer) override;
  std::string className() const override { return "UIImageView"; }

  static const char* const kAnimationKey;

 private:
  void updateContents();

  UIImagePtr image_, highlightedImage_;
  bool highlighted_ = false;
  CGSize drawnSize_ = CGSizeZero;  // the bounds a resizable image was laid out for
  std::vector<UIImagePtr> animationImages_;
  double animationDuration_ = 0;
  int64_t animationRepeatCount_ = 0;
};
